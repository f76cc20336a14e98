#include "acedec/BitReader.h"

#include "acedec/DecodeError.h"

#include <algorithm>
#include <cstring>

namespace brisko::acedec {

namespace {

constexpr std::size_t kChunkSize = 64 * 1024; // a multiple of 8, as decryption needs

}

std::size_t MemoryByteStream::read(std::uint8_t* buffer, std::size_t length) {
    const std::size_t n = std::min(length, m_size - m_pos);
    if (n > 0) {
        std::memcpy(buffer, m_data + m_pos, n);
    }
    m_pos += n;
    return n;
}

BitReader::BitReader(ByteStream& input, std::uint64_t totalBytes)
    : m_input(input), m_remaining(totalBytes), m_limit(((totalBytes + 3) / 4 + 1) * 32) {}

void BitReader::refill() {
    while (m_count <= 32) {
        m_buffer |= static_cast<std::uint64_t>(nextWord()) << (32 - m_count);
        m_count += 32;
    }
}

std::uint32_t BitReader::nextWord() {
    if (m_chunkSize - m_chunkPos >= 4) {
        const std::uint8_t* p = m_chunk.data() + m_chunkPos;
        m_chunkPos += 4;
        return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
               static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    }
    std::uint8_t b[4] = {0, 0, 0, 0};
    for (auto& byte : b) {
        if (m_chunkPos == m_chunkSize) {
            if (m_remaining == 0) {
                break; // zero padding past the end
            }
            if (m_chunk.empty()) {
                m_chunk.resize(kChunkSize);
            }
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, m_remaining));
            const std::size_t got = m_input.read(m_chunk.data(), want);
            if (got != want) {
                fail(Status::ReadError, "packed data ends early");
            }
            m_remaining -= got;
            m_chunkPos = 0;
            m_chunkSize = got;
        }
        byte = m_chunk[m_chunkPos++];
    }
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

void BitReader::overrun() {
    corrupt("compressed data ends early");
}

} // namespace brisko::acedec
