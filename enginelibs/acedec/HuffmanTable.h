#pragma once

#include "acedec/BitReader.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace brisko::acedec {

// A prefix code as ACE transmits it: a list of code widths from which the codes follow by a fixed
// rule, decoded through a lookup table indexed by the next maxWidth bits.
class HuffmanTable {
public:
    static constexpr std::size_t kMaxSymbols = 290; // the largest alphabet (sound models: 0..289)
    static constexpr unsigned kMaxWidth = 11;

    // Reads a transmitted width list (at most maxSymbols entries) and builds the table. Throws
    // DecodeError(Corrupt) on a width above maxWidth or an over-subscribed code.
    void read(BitReader& bits, unsigned maxWidth, std::size_t maxSymbols);

    // Builds the table from explicit widths. False when a width exceeds maxWidth, the code is
    // over-subscribed or there are no symbols.
    bool build(std::span<const std::uint8_t> widths, unsigned maxWidth);

    // Decodes one symbol. Throws DecodeError(Corrupt) when the bits hit no code (an incomplete table)
    // or the table was never built.
    unsigned decode(BitReader& bits) const {
        const std::uint16_t symbol = m_slots[bits.peek(m_maxWidth)];
        if (symbol == kNoSymbol) {
            invalidCode();
        }
        bits.skip(m_widths[symbol]);
        return symbol;
    }

    // The number of symbols in the alphabet (the width list's length).
    std::size_t size() const { return m_size; }

private:
    static constexpr std::uint16_t kNoSymbol = 0xFFFF;
    [[noreturn]] static void invalidCode();

    unsigned m_maxWidth = 1;
    std::size_t m_size = 0;
    std::array<std::uint8_t, kMaxSymbols> m_widths{};
    std::array<std::uint16_t, 1u << kMaxWidth> m_slots = makeEmpty();

    static std::array<std::uint16_t, 1u << kMaxWidth> makeEmpty() {
        std::array<std::uint16_t, 1u << kMaxWidth> slots;
        slots.fill(kNoSymbol);
        return slots;
    }
};

// Orders `keys` from the widest down, permuting `symbols` alongside, in exactly the order of the
// compressor's sort: codes are handed out in that order, so any other tie order (a stable sort, say)
// assigns different codes to equal widths and misreads every stream.
void sortByWidth(std::span<std::uint8_t> keys, std::span<std::uint16_t> symbols);

} // namespace brisko::acedec
