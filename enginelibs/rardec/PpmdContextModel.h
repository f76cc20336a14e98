#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "rardec/PpmdHeap.h"

namespace brisko::rardec {

// Why the model stopped.
enum class PpmdError {
    None,
    Stream,    // the coder's numbers fit no symbol, or an escape ran past the shortest context
    Structure, // the model's own structure is broken (cannot come from any input; a defect)
};

// The PPMd variant H context model (orders 2..64, 1 to 256 MiB), decoding through a coder:
//   bool threshold(std::uint32_t total, std::uint32_t& count); // a count in [0, total) if the data is
//                                                               // valid; false: the coder cannot go on
//   bool decode(std::uint32_t start, std::uint32_t size);       // takes [start, start + size)
// RAR's range decoder is one; tests drive the model with others. Every offset the model follows is
// checked against its heap; the model never reads or writes outside it.
class PpmdContextModel {
public:
    static constexpr int kMinOrder = 2;
    static constexpr int kMaxOrder = 64;

    // Takes `heapSize` bytes (PpmdHeap::kMinSize..kMaxSize) and starts afresh with contexts up to
    // `maxOrder` symbols long. False when the memory cannot be had or an argument is out of range;
    // the model is then invalid.
    bool restart(std::uint32_t heapSize, int maxOrder);
    // Gives the memory back; the model is invalid.
    void release();
    // The model is invalid; its memory stays for the next restart.
    void invalidate() { m_valid = false; }

    bool valid() const { return m_valid; }
    // Why the last decodeSymbol() made the model invalid.
    PpmdError error() const { return m_error; }
    // How often the model ran out of memory and started afresh since restart().
    std::uint32_t memoryRestarts() const { return m_memoryRestarts; }

    // The next symbol (0..255), or -1 when the data is not valid, after which the model is invalid
    // until the next restart().
    template <class Coder> int decodeSymbol(Coder& coder);

private:
    static constexpr std::uint32_t kUnit = PpmdHeap::kUnitSize;
    // Context fields (12 bytes). A context with one state keeps it at kOneState, over SummFreq and Stats.
    static constexpr std::uint32_t kNumStats = 0;
    static constexpr std::uint32_t kSummFreq = 2;
    static constexpr std::uint32_t kStats = 4;
    static constexpr std::uint32_t kSuffix = 8;
    static constexpr std::uint32_t kOneState = 2;
    // State fields (6 bytes).
    static constexpr std::uint32_t kSymbol = 0;
    static constexpr std::uint32_t kFreq = 1;
    static constexpr std::uint32_t kSuccessor = 2;
    static constexpr std::uint32_t kStateSize = 6; // u8 Symbol, u8 Freq, u32 Successor
    static constexpr unsigned kMaxFreq = 124;
    static constexpr unsigned kBinScale = 1u << 14;
    static constexpr unsigned kIntBits = 7;
    static constexpr unsigned kPeriodBits = 7;
    // Far more suffix steps than a valid model can have (one per order): beyond it the chain loops.
    static constexpr unsigned kChainLimit = 255;

    // Which column of the binary contexts' table a context's suffix selects, by its NumStats - 1.
    static constexpr std::array<std::uint8_t, 256> kNumStatsToBinIndex = [] {
        std::array<std::uint8_t, 256> table{};
        for (unsigned i = 0; i < 256; ++i) {
            table[i] = static_cast<std::uint8_t>(i == 0 ? 0 : i == 1 ? 2 : i <= 10 ? 4 : 6);
        }
        return table;
    }();
    // The SEE row for a count of unmasked symbols - 1: 0,1,2, then 3 once, 4 twice, 5 three times...
    static constexpr std::array<std::uint8_t, 256> kNumStatsToSeeIndex = [] {
        std::array<std::uint8_t, 256> table{};
        unsigned value = 3;
        unsigned left = 1;
        unsigned run = 1;
        for (unsigned i = 0; i < 256; ++i) {
            if (i < 3) {
                table[i] = static_cast<std::uint8_t>(i);
                continue;
            }
            table[i] = static_cast<std::uint8_t>(value);
            if (--left == 0) {
                ++value;
                left = ++run;
            }
        }
        return table;
    }();
    static constexpr std::array<std::uint8_t, 16> kExpEscape = {25, 14, 9, 7, 5, 5, 4, 4,
                                                                4,  3,  3, 3, 2, 2, 2, 2};
    static unsigned highBitsFlag(unsigned symbol) { return symbol >= 0x40 ? 8 : 0; }
    static unsigned mean(unsigned summ) { return (summ + (1u << (kPeriodBits - 2))) >> kPeriodBits; }

    struct See {
        std::uint16_t summ;
        std::uint8_t shift;
        std::uint8_t count;
    };

    std::uint8_t* context(std::uint32_t offset) { return m_heap.at(offset, kUnit); }
    std::uint8_t* state(std::uint32_t offset) { return m_heap.at(offset, kStateSize); }
    // The state array of a context with `numStats` (2..256) states.
    static std::uint8_t* states(const PpmdArena& heap, const std::uint8_t* context, unsigned numStats) {
        return heap.states(ppmdLoad32(context + kStats), numStats);
    }
    static std::uint8_t* findState(std::uint8_t* states, unsigned numStats, unsigned symbol) {
        const std::uint8_t* end = states + numStats * kStateSize;
        if ((numStats & 1) != 0) {
            if (states[kSymbol] == symbol) {
                return states;
            }
            states += kStateSize;
        }
        for (; states != end; states += 2 * kStateSize) { // two a step: fewer loop tests
            if (states[kSymbol] == symbol) {
                return states;
            }
            if (states[kStateSize + kSymbol] == symbol) {
                return states + kStateSize;
            }
        }
        ppmdHeapFault(); // a shorter context lacks a symbol of a longer one
    }
    static void swapStates(std::uint8_t* a, std::uint8_t* b) {
        std::uint8_t t[kStateSize];
        std::memcpy(t, a, kStateSize);
        std::memcpy(a, b, kStateSize);
        std::memcpy(b, t, kStateSize);
    }

    template <class Coder> int decodeStep(Coder& coder);
    // After an escape from the context at m_minContext, whose symbols are all masked now.
    template <class Coder> int decodeAfterEscape(Coder& coder);

    // Everything afresh in the heap it has: the root context alone, the adaptive tables reset.
    void restartModel();
    // The statistics updates after a symbol was found: the first state of a context of several,
    // a later one, one found after escapes, the state of a context of one.
    void update1First(std::uint8_t* context, std::uint8_t* state);
    void update1(std::uint8_t* context, std::uint8_t* state);
    void update2(std::uint8_t* context, std::uint8_t* state);
    void updateBin(std::uint8_t* state);
    // On to the successor of the found state `found` (the state at m_foundState), or (when that is not
    // a real context yet) updateModel().
    void nextContext(const std::uint8_t* found);
    // Halves the counts of the context at m_minContext, dropping the states that fall to 0.
    void rescale();
    // Adds the found symbol to the contexts escaped from and moves to the next longest context.
    void updateModel();
    // Makes the contexts that the found state's raw text successor stands for; 0 when memory is out.
    std::uint32_t createSuccessors(bool skip);
    // The SEE cell for an escape from `context` (`numStats` states, 2..256, more than `numMasked`),
    // and the escape count it gives.
    See* makeEscapeFrequency(const PpmdArena& heap, const std::uint8_t* context, unsigned numStats,
                             unsigned numMasked, std::uint32_t& escape);
    static void updateSee(See* see) {
        if (see->shift < kPeriodBits && --see->count == 0) {
            see->summ = static_cast<std::uint16_t>(see->summ << 1);
            see->count = static_cast<std::uint8_t>(3 << see->shift++);
        }
    }
    // Starts the set of masked symbols afresh for the next symbol: none masked. Word by word, which the
    // compiler turns into a few vector stores in place (fill() becomes a call of memset).
    void newMask() {
        constexpr std::uint64_t kNone = ~std::uint64_t{0};
        for (std::size_t i = 0; i < m_charMask.size(); i += sizeof kNone) {
            std::memcpy(m_charMask.data() + i, &kNone, sizeof kNone);
        }
    }
    void maskSymbol(unsigned symbol) { m_charMask[symbol] = 0; }

    PpmdHeap m_heap;
    bool m_valid = false;
    PpmdError m_error = PpmdError::None;
    std::uint32_t m_memoryRestarts = 0;

    std::uint32_t m_minContext = 0; // where the next symbol is looked up (after escapes: shorter)
    std::uint32_t m_maxContext = 0; // where the lookup of the current symbol began
    std::uint32_t m_foundState = 0; // the state of the last symbol
    unsigned m_orderFall = 0;       // how far below the longest order the model works
    unsigned m_initEsc = 0;         // escape count for a context of one that grows a second state
    unsigned m_prevSuccess = 0;     // the last symbol was the most probable one
    unsigned m_maxOrder = 0;
    unsigned m_hiBitsFlag = 0;     // 8 when the last symbol was 0x40 or above
    std::uint32_t m_runLength = 0; // a signed count kept in two's complement: wraps without harm
    std::uint32_t m_initRL = 0;

    std::array<std::array<std::uint16_t, 64>, 128> m_binSumm{};
    std::array<std::array<See, 16>, 25> m_see{};
    See m_dummySee{};

    // 0 for the symbols of the contexts escaped from while decoding one symbol, 0xFF for the others: a
    // state's frequency ANDed with its symbol's byte is what it counts for, without a branch.
    std::array<std::uint8_t, 256> m_charMask{};
};

} // namespace brisko::rardec

// ---- The decoding steps, inline for the coder that drives them.

namespace brisko::rardec {

template <class Coder> int PpmdContextModel::decodeSymbol(Coder& coder) {
    if (!m_valid) {
        return -1;
    }
    int symbol;
    try {
        symbol = decodeStep(coder);
    } catch (const PpmdHeapFault&) {
        m_valid = false;
        m_error = PpmdError::Structure;
        return -1;
    }
    if (symbol < 0) {
        m_valid = false;
        m_error = PpmdError::Stream;
    }
    return symbol;
}

template <class Coder> int PpmdContextModel::decodeStep(Coder& coder) {
    const PpmdArena heap = m_heap.arena();
    std::uint8_t* mc = heap.context(m_minContext);
    const unsigned numStats = ppmdLoad16(mc + kNumStats);
    if (numStats != 1) {
        std::uint8_t* first = states(heap, mc, numStats);
        const std::uint32_t total = ppmdLoad16(mc + kSummFreq);
        std::uint32_t count = 0;
        if (total == 0 || !coder.threshold(total, count) || count >= total) {
            return -1;
        }
        std::uint32_t hi = first[kFreq];
        if (count < hi) {
            if (!coder.decode(0, hi)) {
                return -1;
            }
            const int symbol = first[kSymbol];
            update1First(mc, first);
            return symbol;
        }
        m_prevSuccess = 0;
        const std::uint8_t* end = first + numStats * kStateSize;
        for (std::uint8_t* s = first + kStateSize; s != end; s += kStateSize) {
            hi += s[kFreq];
            if (hi > count) {
                if (!coder.decode(hi - s[kFreq], s[kFreq])) {
                    return -1;
                }
                const int symbol = s[kSymbol];
                update1(mc, s);
                return symbol;
            }
        }
        m_hiBitsFlag = highBitsFlag(*heap.state(m_foundState)); // the symbol before this one
        if (!coder.decode(hi, total - hi)) {
            return -1;
        }
        newMask();
        for (const std::uint8_t* s = first; s != end; s += kStateSize) {
            maskSymbol(s[kSymbol]);
        }
    } else {
        std::uint8_t* s = mc + kOneState; // the context's only state lives inside it
        m_hiBitsFlag = highBitsFlag(*heap.state(m_foundState));
        const std::uint32_t suffix = ppmdLoad32(mc + kSuffix);
        if (suffix == 0) { // the root has all 256 symbols
            ppmdHeapFault();
        }
        const unsigned suffixStats = ppmdLoad16(heap.context(suffix) + kNumStats);
        const unsigned freq = s[kFreq];
        if (freq - 1 > 127u || suffixStats - 1 > 255u) { // freq 1..128, suffixStats 1..256
            ppmdHeapFault();
        }
        // Bit 31 of the run length is its sign: 0x20 while it is negative.
        std::uint16_t& probability =
            m_binSumm[freq - 1][m_prevSuccess + kNumStatsToBinIndex[suffixStats - 1] + m_hiBitsFlag +
                                2 * highBitsFlag(s[kSymbol]) + ((m_runLength >> 26) & 0x20)];
        std::uint32_t count = 0;
        if (!coder.threshold(kBinScale, count) || count >= kBinScale) {
            return -1;
        }
        if (count < probability) {
            if (!coder.decode(0, probability)) {
                return -1;
            }
            probability = static_cast<std::uint16_t>(probability + (1u << kIntBits) - mean(probability));
            const int symbol = s[kSymbol];
            updateBin(s);
            return symbol;
        }
        if (!coder.decode(probability, kBinScale - probability)) {
            return -1;
        }
        // The updates keep a probability within 95..16352, so the escape index is below 16.
        probability = static_cast<std::uint16_t>(probability - mean(probability));
        m_initEsc = kExpEscape[probability >> 10];
        newMask();
        maskSymbol(s[kSymbol]);
        m_prevSuccess = 0;
    }
    return decodeAfterEscape(coder);
}

template <class Coder> int PpmdContextModel::decodeAfterEscape(Coder& coder) {
    const PpmdArena heap = m_heap.arena();
    std::uint8_t* mc = heap.context(m_minContext);
    unsigned steps = 0;
    for (;;) {
        // Up to the first shorter context that has symbols not seen yet.
        const unsigned numMasked = ppmdLoad16(mc + kNumStats);
        std::uint32_t offset = 0;
        do {
            ++m_orderFall;
            offset = ppmdLoad32(mc + kSuffix);
            if (offset == 0) {
                return -1; // an escape from the root: no symbol
            }
            if (++steps > kChainLimit) {
                ppmdHeapFault();
            }
            mc = heap.context(offset);
        } while (ppmdLoad16(mc + kNumStats) == numMasked);
        m_minContext = offset;
        const unsigned numStats = ppmdLoad16(mc + kNumStats);
        if (numStats < numMasked) { // a shorter context has every symbol of the longer ones
            ppmdHeapFault();
        }
        std::uint8_t* first = states(heap, mc, numStats);
        std::uint32_t escape = 0;
        See* see = makeEscapeFrequency(heap, mc, numStats, numMasked, escape);

        // The symbols not seen yet count with their frequency, the others with 0: the odd states first,
        // then four a step (this loop is where an escape spends most of its time).
        const std::uint8_t* mask = m_charMask.data();
        const std::uint8_t* end = first + numStats * kStateSize;
        const std::uint8_t* s = first;
        std::uint32_t hi = 0;
        for (unsigned odd = numStats & 3; odd != 0; --odd, s += kStateSize) {
            hi += s[kFreq] & mask[s[kSymbol]];
        }
        for (; s != end; s += 4 * kStateSize) {
            hi += (s[kFreq] & mask[s[kSymbol]]) + (s[kStateSize + kFreq] & mask[s[kStateSize + kSymbol]]) +
                  (s[2 * kStateSize + kFreq] & mask[s[2 * kStateSize + kSymbol]]) +
                  (s[3 * kStateSize + kFreq] & mask[s[3 * kStateSize + kSymbol]]);
        }
        const std::uint32_t total = hi + escape;
        std::uint32_t count = 0;
        if (!coder.threshold(total, count) || count >= total) {
            return -1;
        }
        if (count < hi) {
            // The states' counts add up to hi > count, so the walk stops at a state of the array: the odd
            // first state, or one of a pair after it.
            std::uint32_t low = 0;
            std::uint8_t* found = first;
            const std::uint32_t single = (numStats & 1) != 0 ? found[kFreq] & mask[found[kSymbol]] : 0;
            if (single <= count) {
                low = single;
                found += (numStats & 1) * kStateSize;
                for (;; found += 2 * kStateSize) {
                    const std::uint32_t freq = found[kFreq] & mask[found[kSymbol]];
                    const std::uint32_t pair =
                        freq + (found[kStateSize + kFreq] & mask[found[kStateSize + kSymbol]]);
                    if (low + pair > count) {
                        if (low + freq <= count) {
                            low += freq;
                            found += kStateSize;
                        }
                        break;
                    }
                    low += pair;
                }
            }
            if (!coder.decode(low, found[kFreq])) {
                return -1;
            }
            updateSee(see);
            const int symbol = found[kSymbol];
            update2(mc, found);
            return symbol;
        }
        if (!coder.decode(hi, total - hi)) {
            return -1;
        }
        see->summ = static_cast<std::uint16_t>(see->summ + total);
        for (s = first; s != end; s += kStateSize) {
            maskSymbol(s[kSymbol]);
        }
    }
}

inline void PpmdContextModel::update1First(std::uint8_t* context, std::uint8_t* state) {
    const unsigned summ = ppmdLoad16(context + kSummFreq);
    m_prevSuccess = 2u * state[kFreq] > summ ? 1 : 0;
    m_runLength += m_prevSuccess;
    ppmdStore16(context + kSummFreq, summ + 4);
    const unsigned freq = static_cast<std::uint8_t>(state[kFreq] + 4);
    state[kFreq] = static_cast<std::uint8_t>(freq);
    m_foundState = m_heap.offsetOf(state);
    if (freq > kMaxFreq) {
        rescale();
        nextContext(m_heap.at(m_foundState, kStateSize));
        return;
    }
    nextContext(state);
}

inline void PpmdContextModel::update1(std::uint8_t* context, std::uint8_t* state) {
    const unsigned freq = static_cast<std::uint8_t>(state[kFreq] + 4);
    state[kFreq] = static_cast<std::uint8_t>(freq);
    ppmdStore16(context + kSummFreq, ppmdLoad16(context + kSummFreq) + 4u);
    m_foundState = m_heap.offsetOf(state);
    std::uint8_t* before = state - kStateSize; // the caller passes a state after the first
    if (freq > before[kFreq]) {
        swapStates(state, before);
        m_foundState -= kStateSize;
        if (freq > kMaxFreq) {
            rescale();
            nextContext(m_heap.at(m_foundState, kStateSize));
            return;
        }
        nextContext(before);
        return;
    }
    nextContext(state);
}

inline void PpmdContextModel::update2(std::uint8_t* context, std::uint8_t* state) {
    m_foundState = m_heap.offsetOf(state);
    ppmdStore16(context + kSummFreq, ppmdLoad16(context + kSummFreq) + 4u);
    const unsigned freq = static_cast<std::uint8_t>(state[kFreq] + 4);
    state[kFreq] = static_cast<std::uint8_t>(freq);
    if (freq > kMaxFreq) {
        rescale();
    }
    m_runLength = m_initRL;
    updateModel();
}

inline void PpmdContextModel::updateBin(std::uint8_t* state) {
    m_foundState = m_heap.offsetOf(state);
    state[kFreq] = static_cast<std::uint8_t>(state[kFreq] + (state[kFreq] < 128 ? 1 : 0));
    m_prevSuccess = 1;
    ++m_runLength;
    nextContext(state);
}

inline void PpmdContextModel::nextContext(const std::uint8_t* found) {
    const std::uint32_t successor = ppmdLoad32(found + kSuccessor);
    // A successor above the text area is a real context; at or below it, a raw position in the text.
    if (m_orderFall == 0 && successor > m_heap.text()) {
        m_minContext = m_maxContext = successor;
    } else {
        updateModel();
    }
}

inline PpmdContextModel::See* PpmdContextModel::makeEscapeFrequency(const PpmdArena& heap,
                                                                    const std::uint8_t* context,
                                                                    unsigned numStats, unsigned numMasked,
                                                                    std::uint32_t& escape) {
    if (numStats == 256) {
        escape = 1;
        return &m_dummySee;
    }
    const unsigned nonMasked = numStats - numMasked; // 1..254: the caller saw numMasked < numStats < 256
    const std::uint32_t suffix = ppmdLoad32(context + kSuffix);
    if (suffix == 0) { // only the root has no suffix, and it keeps all 256 symbols
        ppmdHeapFault();
    }
    const int suffixStats = ppmdLoad16(heap.context(suffix) + kNumStats);
    See* see = &m_see[kNumStatsToSeeIndex[nonMasked - 1]]
                     [(static_cast<int>(nonMasked) < suffixStats - static_cast<int>(numStats) ? 1 : 0) +
                      2 * (ppmdLoad16(context + kSummFreq) < 11 * numStats ? 1 : 0) +
                      4 * (numMasked > nonMasked ? 1 : 0) + m_hiBitsFlag];
    const unsigned r = see->summ >> see->shift;
    see->summ = static_cast<std::uint16_t>(see->summ - r);
    escape = r + (r == 0 ? 1 : 0);
    return see;
}

} // namespace brisko::rardec
