#pragma once

#include <array>
#include <cstdint>

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

    std::uint8_t* context(std::uint32_t offset) { return m_heap.at(offset, PpmdHeap::kUnitSize); }
    // The state array of a context with `numStats` (2..256) states.
    std::uint8_t* states(const std::uint8_t* context, unsigned numStats);
    std::uint8_t* state(std::uint32_t offset) { return m_heap.at(offset, kStateSize); }
    std::uint8_t* findState(std::uint8_t* states, unsigned numStats, unsigned symbol);

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
    // On to the found state's successor, or (when that is not a real context yet) updateModel().
    void nextContext();
    // Halves the counts of the context at m_minContext, dropping the states that fall to 0.
    void rescale();
    // Adds the found symbol to the contexts escaped from and moves to the next longest context.
    void updateModel();
    // Makes the contexts that the found state's raw text successor stands for; 0 when memory is out.
    std::uint32_t createSuccessors(bool skip);
    See* makeEscapeFrequency(const std::uint8_t* context, unsigned numMasked, std::uint32_t& escape);
    static void updateSee(See* see);
    void maskSymbol(unsigned symbol) { m_charMask[symbol] = m_escapeMark; }
    bool masked(unsigned symbol) const { return m_charMask[symbol] == m_escapeMark; }
    void newMask();

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

    // The symbols of the contexts escaped from while decoding one symbol carry the current mark, so a
    // new symbol starts with a new mark instead of clearing the array.
    std::array<std::uint8_t, 256> m_charMask{};
    std::uint8_t m_escapeMark = 0;
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
    std::uint8_t* mc = context(m_minContext);
    const unsigned numStats = ppmdLoad16(mc);
    if (numStats != 1) {
        std::uint8_t* first = states(mc, numStats);
        const std::uint32_t total = ppmdLoad16(mc + 2);
        std::uint32_t count = 0;
        if (total == 0 || !coder.threshold(total, count) || count >= total) {
            return -1;
        }
        std::uint32_t hi = first[1];
        if (count < hi) {
            if (!coder.decode(0, hi)) {
                return -1;
            }
            const int symbol = first[0];
            update1First(mc, first);
            return symbol;
        }
        m_prevSuccess = 0;
        const std::uint8_t* end = first + numStats * kStateSize;
        for (std::uint8_t* s = first + kStateSize; s != end; s += kStateSize) {
            hi += s[1];
            if (hi > count) {
                if (!coder.decode(hi - s[1], s[1])) {
                    return -1;
                }
                const int symbol = s[0];
                update1(mc, s);
                return symbol;
            }
        }
        m_hiBitsFlag = highBitsFlag(*state(m_foundState)); // the symbol before this one
        if (!coder.decode(hi, total - hi)) {
            return -1;
        }
        newMask();
        for (const std::uint8_t* s = first; s != end; s += kStateSize) {
            maskSymbol(s[0]);
        }
    } else {
        std::uint8_t* s = mc + 2; // the context's only state lives inside it
        m_hiBitsFlag = highBitsFlag(*state(m_foundState));
        const std::uint32_t suffix = ppmdLoad32(mc + 8);
        if (suffix == 0) { // the root has all 256 symbols
            ppmdHeapFault();
        }
        const unsigned suffixStats = ppmdLoad16(context(suffix));
        const unsigned freq = s[1];
        if (freq == 0 || freq > 128 || suffixStats == 0 || suffixStats > 256) {
            ppmdHeapFault();
        }
        // Bit 31 of the run length is its sign: 0x20 while it is negative.
        std::uint16_t& probability =
            m_binSumm[freq - 1][m_prevSuccess + kNumStatsToBinIndex[suffixStats - 1] + m_hiBitsFlag +
                                2 * highBitsFlag(s[0]) + ((m_runLength >> 26) & 0x20)];
        std::uint32_t count = 0;
        if (!coder.threshold(kBinScale, count) || count >= kBinScale) {
            return -1;
        }
        if (count < probability) {
            if (!coder.decode(0, probability)) {
                return -1;
            }
            probability = static_cast<std::uint16_t>(probability + (1u << kIntBits) - mean(probability));
            const int symbol = s[0];
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
        maskSymbol(s[0]);
        m_prevSuccess = 0;
    }
    return decodeAfterEscape(coder);
}

template <class Coder> int PpmdContextModel::decodeAfterEscape(Coder& coder) {
    std::array<std::uint8_t*, 256> candidates;
    std::uint8_t* mc = context(m_minContext);
    unsigned steps = 0;
    for (;;) {
        // Up to the first shorter context that has symbols not seen yet.
        const unsigned numMasked = ppmdLoad16(mc);
        std::uint32_t offset = 0;
        do {
            ++m_orderFall;
            offset = ppmdLoad32(mc + 8);
            if (offset == 0) {
                return -1; // an escape from the root: no symbol
            }
            if (++steps > kChainLimit) {
                ppmdHeapFault();
            }
            mc = context(offset);
        } while (ppmdLoad16(mc) == numMasked);
        m_minContext = offset;
        const unsigned numStats = ppmdLoad16(mc);
        if (numStats < numMasked) { // a shorter context has every symbol of the longer ones
            ppmdHeapFault();
        }
        std::uint8_t* first = states(mc, numStats);
        std::uint32_t escape = 0;
        See* see = makeEscapeFrequency(mc, numMasked, escape);

        unsigned found = 0;
        std::uint32_t hi = 0;
        const std::uint8_t* end = first + numStats * kStateSize;
        for (std::uint8_t* s = first; s != end; s += kStateSize) {
            // Without a branch: whether a symbol was seen before follows no pattern.
            const unsigned fresh = masked(s[0]) ? 0 : 1;
            candidates[found] = s;
            found += fresh;
            hi += s[1] & (0u - fresh);
        }
        const std::uint32_t total = hi + escape;
        std::uint32_t count = 0;
        if (!coder.threshold(total, count) || count >= total) {
            return -1;
        }
        if (count < hi) {
            std::uint32_t low = 0;
            unsigned k = 0;
            while (low + candidates[k][1] <= count) { // stops before `found`: the sum is hi > count
                low += candidates[k][1];
                ++k;
            }
            std::uint8_t* s = candidates[k];
            if (!coder.decode(low, s[1])) {
                return -1;
            }
            updateSee(see);
            const int symbol = s[0];
            update2(mc, s);
            return symbol;
        }
        if (!coder.decode(hi, total - hi)) {
            return -1;
        }
        see->summ = static_cast<std::uint16_t>(see->summ + total);
        for (unsigned k = 0; k < found; ++k) {
            maskSymbol(candidates[k][0]);
        }
    }
}

} // namespace brisko::rardec
