#include "rardec/PpmdContextModel.h"

#include <algorithm>
#include <cstring>

namespace brisko::rardec {

namespace {

constexpr std::array<std::uint16_t, 8> kInitBinEsc = {0x3CDD, 0x1F3F, 0x59BF, 0x48F3,
                                                      0x64A1, 0x5ABC, 0x6632, 0x6051};

} // namespace

bool PpmdContextModel::restart(std::uint32_t heapSize, int maxOrder) {
    m_valid = false;
    m_error = PpmdError::None;
    m_memoryRestarts = 0;
    if (maxOrder < kMinOrder || maxOrder > kMaxOrder || !m_heap.allocate(heapSize)) {
        release();
        return false;
    }
    m_maxOrder = static_cast<unsigned>(maxOrder);
    try {
        restartModel();
    } catch (const PpmdHeapFault&) { // the heap is at least 1 MiB: the root always fits
        release();
        return false;
    }
    m_dummySee = {0, kPeriodBits, 64};
    m_valid = true;
    return true;
}

void PpmdContextModel::release() {
    m_heap.release();
    m_valid = false;
}

void PpmdContextModel::restartModel() {
    m_heap.restart();
    m_orderFall = m_maxOrder;
    m_initRL = static_cast<std::uint32_t>(-static_cast<int>(std::min(m_maxOrder, 12u)) - 1);
    m_runLength = m_initRL;
    m_prevSuccess = 0;

    // The root: all 256 symbols once each.
    m_minContext = m_maxContext = m_heap.allocContext();
    const std::uint32_t stats = m_heap.allocUnits(PpmdHeap::kIndexCount - 1);
    std::uint8_t* root = context(m_minContext);
    ppmdStore16(root + kNumStats, 256);
    ppmdStore16(root + kSummFreq, 257);
    ppmdStore32(root + kStats, stats);
    ppmdStore32(root + kSuffix, 0);
    std::uint8_t* s = m_heap.at(stats, 256 * kStateSize);
    for (unsigned i = 0; i < 256; ++i, s += kStateSize) {
        s[kSymbol] = static_cast<std::uint8_t>(i);
        s[kFreq] = 1;
        ppmdStore32(s + kSuccessor, 0);
    }
    m_foundState = stats;

    for (unsigned i = 0; i < 128; ++i) {
        for (unsigned k = 0; k < 8; ++k) {
            for (unsigned m = 0; m < 64; m += 8) {
                m_binSumm[i][k + m] = static_cast<std::uint16_t>(kBinScale - kInitBinEsc[k] / (i + 2));
            }
        }
    }
    for (unsigned i = 0; i < 25; ++i) {
        for (See& see : m_see[i]) {
            see = {static_cast<std::uint16_t>((5 * i + 10) << (kPeriodBits - 4)), kPeriodBits - 4, 4};
        }
    }
}

void PpmdContextModel::rescale() {
    std::uint8_t* mc = context(m_minContext);
    unsigned numStats = ppmdLoad16(mc + kNumStats);
    const std::uint32_t statsOffset = ppmdLoad32(mc + kStats);
    std::uint8_t* stats = states(m_heap.arena(), mc, numStats);
    const std::uint32_t foundAt = m_foundState - statsOffset;
    if (m_foundState < statsOffset || foundAt % kStateSize != 0 || foundAt / kStateSize >= numStats) {
        ppmdHeapFault();
    }

    // The found state to the front, the ones before it one place down.
    std::uint8_t t[6];
    std::memcpy(t, stats + foundAt, kStateSize);
    std::memmove(stats + kStateSize, stats, foundAt);
    std::memcpy(stats, t, kStateSize);

    std::uint32_t escape = ppmdLoad16(mc + kSummFreq) - stats[kFreq];
    const unsigned adder = m_orderFall != 0 ? 1 : 0;
    stats[kFreq] = static_cast<std::uint8_t>((stats[kFreq] + 4 + adder) >> 1);
    std::uint32_t sum = stats[kFreq];
    for (unsigned i = 1; i < numStats; ++i) {
        std::uint8_t* s = stats + i * kStateSize;
        escape -= s[kFreq];
        s[kFreq] = static_cast<std::uint8_t>((s[kFreq] + adder) >> 1);
        sum += s[kFreq];
        if (s[kFreq] > (s - kStateSize)[kFreq]) { // keep the states in falling frequency
            std::memcpy(t, s, kStateSize);
            std::uint8_t* to = s;
            do {
                std::memcpy(to, to - kStateSize, kStateSize);
                to -= kStateSize;
            } while (to != stats && t[kFreq] > (to - kStateSize)[kFreq]);
            std::memcpy(to, t, kStateSize);
        }
    }

    if (stats[(numStats - 1) * kStateSize + kFreq] == 0) {
        // Drop the states that fell to 0 (the first one is at least 2, so some remain).
        const unsigned oldNumStats = numStats;
        unsigned zeros = 0;
        do {
            ++zeros;
            --numStats;
        } while (stats[(numStats - 1) * kStateSize + kFreq] == 0);
        escape += zeros;
        if (numStats == 1) {
            std::memcpy(t, stats, kStateSize);
            do {
                t[kFreq] = static_cast<std::uint8_t>(t[kFreq] - (t[kFreq] >> 1));
                escape >>= 1;
            } while (escape > 1);
            m_heap.insertNode(statsOffset, PpmdHeap::unitsToIndex((oldNumStats + 1) >> 1));
            ppmdStore16(mc + kNumStats, 1);
            std::memcpy(mc + kOneState, t, kStateSize);
            m_foundState = m_minContext + kOneState;
            return;
        }
        ppmdStore16(mc + kNumStats, numStats);
        const unsigned oldUnits = (oldNumStats + 1) >> 1;
        const unsigned newUnits = (numStats + 1) >> 1;
        if (oldUnits != newUnits) {
            ppmdStore32(mc + kStats, m_heap.shrinkUnits(statsOffset, oldUnits, newUnits));
        }
    }
    ppmdStore16(mc + kSummFreq, sum + escape - (escape >> 1));
    m_foundState = ppmdLoad32(mc + kStats);
}

std::uint32_t PpmdContextModel::createSuccessors(bool skip) {
    const PpmdArena heap = m_heap.arena();
    std::uint8_t* fs = heap.state(m_foundState);
    const unsigned fsSymbol = fs[kSymbol];
    const std::uint32_t up = ppmdLoad32(fs + kSuccessor); // a raw position in the text
    std::array<std::uint8_t*, kChainLimit + 1> pending;
    unsigned count = 0;
    if (!skip) {
        pending[count++] = fs;
    }

    // Down the suffixes, collecting the states that point to the same text position; the first one
    // that has a real successor context is where the new contexts hang.
    std::uint32_t offset = m_minContext;
    std::uint8_t* c = heap.context(offset);
    for (std::uint32_t suffix; (suffix = ppmdLoad32(c + kSuffix)) != 0;) {
        offset = suffix;
        c = heap.context(offset);
        const unsigned numStats = ppmdLoad16(c + kNumStats);
        std::uint8_t* s =
            numStats != 1 ? findState(states(heap, c, numStats), numStats, fsSymbol) : c + kOneState;
        const std::uint32_t successor = ppmdLoad32(s + kSuccessor);
        if (successor != up) {
            offset = successor;
            c = heap.context(offset);
            if (count == 0) {
                return offset;
            }
            break;
        }
        if (count == pending.size()) {
            ppmdHeapFault();
        }
        pending[count++] = s;
    }

    // The symbol that followed in the text, with a frequency guessed from the context found.
    const unsigned newSymbol = *heap.text(up);
    const std::uint32_t newSuccessor = up + 1;
    unsigned newFreq;
    const unsigned numStats = ppmdLoad16(c + kNumStats);
    if (numStats == 1) {
        newFreq = c[kOneState + kFreq];
    } else {
        const std::uint8_t* s = findState(states(heap, c, numStats), numStats, newSymbol);
        const std::uint32_t cf = s[kFreq] - 1u;
        const std::uint32_t s0 = ppmdLoad16(c + kSummFreq) - numStats - cf;
        if (2 * cf <= s0) {
            newFreq = 1 + (5 * cf > s0 ? 1 : 0);
        } else {
            if (s0 == 0) { // a context's SummFreq holds more than its states' frequencies
                ppmdHeapFault();
            }
            newFreq = 1 + (2 * cf + 3 * s0 - 1) / (2 * s0);
        }
    }

    // Each new context: NumStats 1 and its state in the first eight bytes, then the suffix.
    const std::uint64_t head = 1 | (std::uint64_t{newSymbol} << 16) | (std::uint64_t{newFreq & 0xFF} << 24) |
                               (std::uint64_t{newSuccessor} << 32);
    while (count != 0) {
        const std::uint32_t created = m_heap.allocContext();
        if (created == 0) {
            return 0;
        }
        std::uint8_t* n = heap.context(created);
        ppmdStore64(n, head);
        ppmdStore32(n + kSuffix, offset);
        ppmdStore32(pending[--count] + kSuccessor, created);
        offset = created;
    }
    return offset;
}

void PpmdContextModel::updateModel() {
    const PpmdArena heap = m_heap.arena();
    std::uint8_t* fs = heap.state(m_foundState);
    const unsigned fsSymbol = fs[kSymbol];
    const unsigned fsFreq = fs[kFreq];
    std::uint32_t fsSuccessor = ppmdLoad32(fs + kSuccessor);
    std::uint8_t* mc = heap.context(m_minContext);

    // A rare symbol counts in the next shorter context too.
    const std::uint32_t suffix = ppmdLoad32(mc + kSuffix);
    if (fsFreq < kMaxFreq / 4 && suffix != 0) {
        std::uint8_t* c = heap.context(suffix);
        const unsigned numStats = ppmdLoad16(c + kNumStats);
        if (numStats == 1) {
            std::uint8_t* s = c + kOneState;
            if (s[kFreq] < 32) {
                ++s[kFreq];
            }
        } else {
            std::uint8_t* first = states(heap, c, numStats);
            std::uint8_t* s = first;
            if (s[kSymbol] != fsSymbol) {
                s = findState(first + kStateSize, numStats - 1, fsSymbol);
                if (s[kFreq] >= (s - kStateSize)[kFreq]) {
                    swapStates(s, s - kStateSize);
                    s -= kStateSize;
                }
            }
            if (s[kFreq] < kMaxFreq - 9) {
                s[kFreq] = static_cast<std::uint8_t>(s[kFreq] + 2);
                ppmdStore16(c + kSummFreq, ppmdLoad16(c + kSummFreq) + 2u);
            }
        }
    }

    if (m_orderFall == 0) {
        const std::uint32_t next = createSuccessors(true);
        if (next == 0) {
            ++m_memoryRestarts;
            restartModel();
            return;
        }
        m_minContext = m_maxContext = next;
        ppmdStore32(fs + kSuccessor, next);
        return;
    }

    if (!m_heap.appendText(static_cast<std::uint8_t>(fsSymbol))) {
        ++m_memoryRestarts;
        restartModel();
        return;
    }
    std::uint32_t successor = m_heap.text();
    if (fsSuccessor != 0) {
        if (fsSuccessor <= successor) { // a raw text position: make it a real context
            fsSuccessor = createSuccessors(false);
            if (fsSuccessor == 0) {
                ++m_memoryRestarts;
                restartModel();
                return;
            }
        }
        if (--m_orderFall == 0) {
            successor = fsSuccessor;
            if (m_maxContext != m_minContext) {
                m_heap.dropLastText();
            }
        }
    } else {
        ppmdStore32(fs + kSuccessor, successor);
        fsSuccessor = m_minContext;
    }

    // Add the symbol to every longer context that escaped to here. For a context of one state the
    // SummFreq field read here is that state's Symbol and Freq, as the compressor read it.
    const unsigned ns = ppmdLoad16(mc + kNumStats);
    const std::uint32_t s0 = ppmdLoad16(mc + kSummFreq) - ns - (fsFreq - 1);
    const std::uint32_t minContext = m_minContext;
    unsigned steps = 0;
    for (std::uint32_t offset = m_maxContext; offset != minContext;) {
        if (offset == 0 || ++steps > kChainLimit) {
            ppmdHeapFault();
        }
        std::uint8_t* c = heap.context(offset);
        const unsigned ns1 = ppmdLoad16(c + kNumStats);
        std::uint8_t* stats;
        std::uint32_t summ;
        if (ns1 != 1) {
            if (ns1 - 2 > 253u) { // 2..255: a full context would have had the symbol
                ppmdHeapFault();
            }
            std::uint32_t statsOffset = ppmdLoad32(c + kStats);
            if ((ns1 & 1) == 0) { // the array fills its units: one more unit
                const unsigned oldUnits = ns1 >> 1;
                const unsigned index = PpmdHeap::unitsToIndex(oldUnits);
                if (index != PpmdHeap::unitsToIndex(oldUnits + 1)) {
                    const std::uint32_t grown = m_heap.allocUnits(index + 1);
                    if (grown == 0) {
                        ++m_memoryRestarts;
                        restartModel();
                        return;
                    }
                    std::memcpy(heap.units(grown, oldUnits), heap.units(statsOffset, oldUnits),
                                oldUnits * kUnit);
                    m_heap.insertNode(statsOffset, index);
                    statsOffset = grown;
                    ppmdStore32(c + kStats, grown);
                }
            }
            summ = ppmdLoad16(c + kSummFreq);
            summ = static_cast<std::uint16_t>(summ + (2 * ns1 < ns ? 1 : 0) +
                                              2 * ((4 * ns1 <= ns ? 1 : 0) & (summ <= 8 * ns1 ? 1 : 0)));
            stats = heap.states(statsOffset, ns1 + 1);
        } else {
            const std::uint32_t units = m_heap.allocUnits(0);
            if (units == 0) {
                ++m_memoryRestarts;
                restartModel();
                return;
            }
            stats = heap.states(units, 2);
            std::memcpy(stats, c + kOneState, kStateSize);
            ppmdStore32(c + kStats, units);
            unsigned freq = stats[kFreq];
            freq = freq < kMaxFreq / 4 - 1 ? freq * 2 : kMaxFreq - 4;
            stats[kFreq] = static_cast<std::uint8_t>(freq);
            summ = freq + m_initEsc + (ns > 3 ? 1 : 0);
        }

        std::uint32_t cf = 2 * fsFreq * (summ + 6);
        const std::uint32_t sf = s0 + summ;
        if (cf < 6 * sf) {
            cf = 1 + (cf > sf ? 1 : 0) + (cf >= 4 * sf ? 1 : 0);
            summ += 3;
        } else {
            cf = 4 + (cf >= 9 * sf ? 1 : 0) + (cf >= 12 * sf ? 1 : 0) + (cf >= 15 * sf ? 1 : 0);
            summ += cf;
        }
        ppmdStore16(c + kSummFreq, summ);
        std::uint8_t* added = stats + ns1 * kStateSize;
        ppmdStore16(added + kSymbol, fsSymbol | (cf << 8));
        ppmdStore32(added + kSuccessor, successor);
        ppmdStore16(c + kNumStats, ns1 + 1);
        offset = ppmdLoad32(c + kSuffix);
    }
    m_maxContext = m_minContext = fsSuccessor;
}

} // namespace brisko::rardec
