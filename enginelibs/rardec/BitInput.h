#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rardec/Decoder.h"

namespace brisko::rardec {

// The bits of an entry's packed data, most significant first, as every RAR decoder reads them.
// Reading past the end gives zero bits and marks the input overrun: decoders look ahead a little,
// so a few bytes past the end are normal, more is a damaged stream (see overrun()).
class BitInput {
public:
    explicit BitInput(PackedInput& input);

    // The next `count` bits (0..16) as a number, without consuming them.
    unsigned peek(unsigned count) {
        if (m_size - m_byte < kLookahead) {
            fill();
        }
        std::uint32_t window;
        std::memcpy(&window, m_buffer.data() + m_byte, sizeof window);
        window = __builtin_bswap32(window) << m_bit;
        return count == 0 ? 0 : static_cast<unsigned>(window >> (32 - count));
    }
    void skip(unsigned count) {
        if (m_size - m_byte < kLookahead) {
            fill();
        }
        m_bit += count;
        m_byte += m_bit >> 3;
        m_bit &= 7;
    }
    // Reads `count` bits (0..16).
    unsigned bits(unsigned count) {
        const unsigned value = peek(count);
        skip(count);
        return value;
    }
    // Moves to the next byte boundary (nothing when already there).
    void align();
    // The next whole byte; the input must be byte-aligned. The same as bits(8), taken straight from the
    // buffer when no refill is due (the range decoder of PPMd reads every byte here).
    unsigned byte() {
        if (m_bit == 0 && m_size - m_byte >= kLookahead) [[likely]] {
            return m_buffer[m_byte++];
        }
        return bits(8);
    }

    // Bytes consumed so far (a partly read byte counts).
    std::uint64_t consumed() const;
    // More than `slack` bytes were read past the end of the input.
    bool overrun(std::size_t slack = 16) const { return m_ended && m_before + m_byte > m_end + slack; }
    // The input reported an error.
    bool failed() const { return m_failed; }

private:
    static constexpr std::size_t kLookahead = 4; // bytes peek() reads from the current one on

    void fill();

    PackedInput& m_input;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_size = 0;     // valid bytes in the buffer
    std::size_t m_byte = 0;     // of the next bit
    unsigned m_bit = 0;         // 0..7, bits of m_buffer[m_byte] already consumed
    std::uint64_t m_before = 0; // bytes consumed before the buffer's first byte
    std::uint64_t m_end = 0;    // where the input ended, once it has
    bool m_ended = false;
    bool m_failed = false;
};

} // namespace brisko::rardec
