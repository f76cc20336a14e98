#pragma once

#include "acedec/BitReader.h"
#include "acedec/HuffmanTable.h"
#include "acedec/Window.h"

#include <array>
#include <cstdint>

namespace brisko::acedec {

// The LZ77 layer shared by ACE 1.0 members and the LZ77, EXE and DELTA modes of ACE 2.0: literal and
// match symbols from a main code, match lengths from a length code, four recent distances. Tables,
// the symbol counter and the distances live as long as the member, across mode switches.
class Lz77Decoder {
public:
    static constexpr int kModeSwitch = -1;
    static constexpr std::size_t kMaxMatch = 259;

    // Decodes one main symbol. Its bytes go to the window and to `out` (room for kMaxMatch bytes);
    // returns their number (at least 1), or kModeSwitch for the mode-switch code when `switchAllowed`.
    // Throws DecodeError(Corrupt) for an invalid symbol, a distance beyond the window's history or a
    // match longer than `room`, the bytes the member may still take.
    int decodeSymbol(BitReader& bits, Window& window, std::uint8_t* out, bool switchAllowed,
                     std::uint64_t room);

private:
    void readTables(BitReader& bits);

    HuffmanTable m_main;
    HuffmanTable m_lengths;
    unsigned m_symbolsLeft = 0;
    std::array<std::uint32_t, 4> m_recent{}; // [0] is the most recent distance
};

} // namespace brisko::acedec
