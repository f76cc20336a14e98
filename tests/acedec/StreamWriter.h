#pragma once

#include "acedec/HuffmanTable.h"
#include "rardec/BitWriter.h"

#include <cstdint>
#include <utility>
#include <vector>

// Writes compressed streams for cases no sample archive holds: the bit layout and the width-list
// format in their simplest forms, with codes in the order the decoder assigns them.
namespace brisko::acedec::test {

// Bits most significant first in 32-bit little-endian words, the last one padded with zeros.
inline std::vector<std::uint8_t> aceWords(const brisko::test::BitWriter& bits) {
    std::vector<std::uint8_t> out = bits.bytes;
    out.resize((out.size() + 3) / 4 * 4, 0);
    for (std::size_t i = 0; i < out.size(); i += 4) {
        std::swap(out[i], out[i + 3]), std::swap(out[i + 1], out[i + 2]);
    }
    return out;
}
using BitWriter = brisko::test::BitWriter;

// A prefix code as the decoder derives it from widths: sorted by sortByWidth, the shortest codes
// taking the lowest values.
class Code {
public:
    Code(std::vector<std::uint8_t> widths, unsigned maxWidth)
        : m_widths(std::move(widths)), m_values(m_widths.size()) {
        std::vector<std::uint8_t> keys = m_widths;
        std::vector<std::uint16_t> symbols(keys.size());
        for (std::size_t i = 0; i < symbols.size(); ++i) {
            symbols[i] = static_cast<std::uint16_t>(i);
        }
        sortByWidth(keys, symbols);
        std::size_t used = 0;
        while (used < keys.size() && keys[used] != 0) {
            ++used;
        }
        std::uint32_t pos = 0;
        for (std::size_t idx = used; idx-- > 0;) {
            m_values[symbols[idx]] = pos >> (maxWidth - keys[idx]);
            pos += 1u << (maxWidth - keys[idx]);
        }
    }

    void put(BitWriter& out, unsigned symbol) const { out.put(m_values[symbol], m_widths[symbol]); }
    const std::vector<std::uint8_t>& widths() const { return m_widths; }

private:
    std::vector<std::uint8_t> m_widths;
    std::vector<std::uint32_t> m_values;
};

// Sends `widths` (each 0..14) as a width list: no offset, differences modulo 15, no zero runs, and a
// width alphabet of sixteen 4-bit codes.
inline void putWidthList(BitWriter& out, const std::vector<std::uint8_t>& widths) {
    out.put(static_cast<std::uint32_t>(widths.size() - 1), 9);
    out.put(0, 4);  // lower
    out.put(15, 4); // upper
    for (int i = 0; i < 16; ++i) {
        out.put(4, 3);
    }
    const Code widthCode(std::vector<std::uint8_t>(16, 4), 7);
    unsigned previous = 0;
    for (const std::uint8_t w : widths) {
        widthCode.put(out, (w + 15 - previous) % 15);
        previous = w;
    }
}

} // namespace brisko::acedec::test
