#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brisko::acedec {

// A forward-only supply of bytes (a member's packed data, possibly decrypted and spread over volumes).
class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Copies up to `length` bytes; returns fewer only at the end. Throws DecodeError on a read failure.
    virtual std::size_t read(std::uint8_t* buffer, std::size_t length) = 0;
};

// A stream over bytes in memory (comments, tests); the bytes are borrowed.
class MemoryByteStream : public ByteStream {
public:
    MemoryByteStream(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::size_t read(std::uint8_t* buffer, std::size_t length) override;

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// Reads the ACE bit stream: 32-bit little-endian words, each consumed from its most significant bit.
// Past the end of the data the stream reads as zero bits, so that a code near the end can be looked up
// with a full-width peek; consuming more than one word past the end is truncation and throws
// DecodeError(Corrupt).
class BitReader {
public:
    // `totalBytes` is the length of the stream; a final partial word is padded with zero bytes.
    BitReader(ByteStream& input, std::uint64_t totalBytes);

    // The next `count` bits (1..32) without consuming them, first bit most significant.
    std::uint32_t peek(unsigned count) {
        if (m_count < count) {
            refill();
        }
        return static_cast<std::uint32_t>(m_buffer >> (64 - count));
    }

    // Consumes `count` bits (0..32) that were peeked.
    void skip(unsigned count) {
        m_buffer <<= count;
        m_count -= count;
        m_consumed += count;
        if (m_consumed > m_limit) {
            overrun();
        }
    }

    // Reads `count` bits (0..32).
    std::uint32_t bits(unsigned count) {
        if (count == 0) {
            return 0;
        }
        const std::uint32_t value = peek(count);
        skip(count);
        return value;
    }

    std::uint64_t consumedBits() const { return m_consumed; }

private:
    void refill();
    std::uint32_t nextWord();
    [[noreturn]] static void overrun();

    ByteStream& m_input;
    std::vector<std::uint8_t> m_chunk;
    std::size_t m_chunkPos = 0;
    std::size_t m_chunkSize = 0;
    std::uint64_t m_remaining;  // bytes not yet fetched from the input
    std::uint64_t m_buffer = 0; // bits not yet consumed, aligned to the top
    unsigned m_count = 0;       // number of valid bits in m_buffer
    std::uint64_t m_consumed = 0;
    std::uint64_t m_limit; // the most bits that may be consumed
};

} // namespace brisko::acedec
