#pragma once

#include <cstddef>
#include <cstdint>
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
    unsigned peek(unsigned count);
    void skip(unsigned count);
    // Reads `count` bits (0..16).
    unsigned bits(unsigned count) {
        const unsigned value = peek(count);
        skip(count);
        return value;
    }
    // Moves to the next byte boundary (nothing when already there).
    void align();
    // The next whole byte; the input must be byte-aligned.
    unsigned byte() { return bits(8); }

    // Bytes consumed so far (a partly read byte counts).
    std::uint64_t consumed() const;
    // More than `slack` bytes were read past the end of the input.
    bool overrun(std::size_t slack = 16) const;
    // The input reported an error.
    bool failed() const { return m_failed; }

private:
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
