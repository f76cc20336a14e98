#pragma once

#include <cstdint>
#include <vector>

#include "rardec/BitInput.h"

namespace brisko::rardec {

// A canonical prefix code as RAR transmits it: a code length per symbol (0 = unused, at most 15),
// codes assigned by increasing length and, within one length, increasing symbol.
class HuffmanCode {
public:
    static constexpr unsigned kMaxLength = 15;

    // Builds the code; false when the lengths over-subscribe the code space (an incomplete code,
    // down to a single symbol or none at all, is fine: its unused patterns decode as errors).
    bool build(const std::uint8_t* lengths, unsigned count);

    // The next symbol, or -1 for a bit pattern that belongs to no symbol.
    int decode(BitInput& input) const;

private:
    static constexpr unsigned kQuickBits = 10;
    struct Quick {
        std::uint16_t symbol = 0;
        std::uint8_t length = 0; // 0: longer than kQuickBits (or unassigned)
    };
    std::vector<Quick> m_quick;
    // For the slow path: per length, the first code (left-aligned to 15 bits), its first index into
    // m_symbols, and how many codes there are.
    std::uint32_t m_limit[kMaxLength + 2] = {};
    std::uint32_t m_first[kMaxLength + 1] = {};
    std::uint32_t m_offset[kMaxLength + 1] = {};
    std::vector<std::uint16_t> m_symbols;
};

} // namespace brisko::rardec
