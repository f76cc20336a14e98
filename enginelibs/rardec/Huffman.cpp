#include "rardec/Huffman.h"

namespace brisko::rardec {

bool HuffmanCode::build(const std::uint8_t* lengths, unsigned count) {
    unsigned perLength[kMaxLength + 1] = {};
    for (unsigned s = 0; s < count; ++s) {
        if (lengths[s] > kMaxLength) {
            return false;
        }
        ++perLength[lengths[s]];
    }
    perLength[0] = 0;
    // Codes left-aligned to kMaxLength bits: the first code of each length, and where it ends.
    std::uint32_t code = 0;
    std::uint32_t index = 0;
    for (unsigned len = 1; len <= kMaxLength; ++len) {
        m_first[len] = code;
        m_offset[len] = index;
        code += perLength[len] << (kMaxLength - len);
        if (code > (1u << kMaxLength)) {
            return false; // over-subscribed
        }
        m_limit[len] = code;
        index += perLength[len];
    }
    m_limit[kMaxLength + 1] = 1u << kMaxLength;
    m_symbols.assign(index, 0);
    unsigned next[kMaxLength + 1] = {};
    for (unsigned s = 0; s < count; ++s) {
        const unsigned len = lengths[s];
        if (len != 0) {
            m_symbols[m_offset[len] + next[len]++] = static_cast<std::uint16_t>(s);
        }
    }
    m_quick.assign(1u << kQuickBits, Quick{});
    for (unsigned len = 1; len <= kQuickBits; ++len) {
        for (unsigned i = 0; i < perLength[len]; ++i) {
            const std::uint32_t start = (m_first[len] >> (kMaxLength - kQuickBits)) + (i << (kQuickBits - len));
            for (std::uint32_t fill = 0; fill < (1u << (kQuickBits - len)); ++fill) {
                m_quick[start + fill] = {m_symbols[m_offset[len] + i], static_cast<std::uint8_t>(len)};
            }
        }
    }
    return true;
}

int HuffmanCode::decode(BitInput& input) const {
    const std::uint32_t bits = input.peek(kMaxLength);
    const Quick& quick = m_quick[bits >> (kMaxLength - kQuickBits)];
    if (quick.length != 0) {
        input.skip(quick.length);
        return quick.symbol;
    }
    for (unsigned len = kQuickBits + 1; len <= kMaxLength; ++len) {
        if (bits < m_limit[len]) {
            if (bits < m_first[len]) {
                return -1;
            }
            input.skip(len);
            return m_symbols[m_offset[len] + ((bits - m_first[len]) >> (kMaxLength - len))];
        }
    }
    return -1; // a pattern no symbol has
}

} // namespace brisko::rardec
