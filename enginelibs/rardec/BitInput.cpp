#include "rardec/BitInput.h"

#include <cstring>

namespace brisko::rardec {

namespace {

constexpr std::size_t kBuffer = 1 << 16;
constexpr std::size_t kLookahead = 4; // bytes peek() may need beyond the current one

} // namespace

BitInput::BitInput(PackedInput& input) : m_input(input), m_buffer(kBuffer + kLookahead) {}

void BitInput::fill() {
    // Keep what is unread, then read more behind it.
    const std::size_t keep = m_size - m_byte;
    std::memmove(m_buffer.data(), m_buffer.data() + m_byte, keep);
    m_before += m_byte;
    m_byte = 0;
    m_size = keep;
    while (!m_ended && m_size < kLookahead + 1) {
        const long got = m_input.read(m_buffer.data() + m_size, kBuffer - m_size);
        if (got <= 0) {
            m_failed = got < 0;
            m_ended = true;
            m_end = m_before + m_size;
        } else {
            m_size += static_cast<std::size_t>(got);
        }
    }
    // Past the end: zeros.
    while (m_size < kLookahead + 1) {
        m_buffer[m_size++] = 0;
    }
}

unsigned BitInput::peek(unsigned count) {
    if (m_size - m_byte < kLookahead) {
        fill();
    }
    const std::uint32_t window = (std::uint32_t(m_buffer[m_byte]) << 24) | (std::uint32_t(m_buffer[m_byte + 1]) << 16) |
                                 (std::uint32_t(m_buffer[m_byte + 2]) << 8) | std::uint32_t(m_buffer[m_byte + 3]);
    return count == 0 ? 0 : static_cast<unsigned>((window << m_bit) >> (32 - count));
}

void BitInput::skip(unsigned count) {
    if (m_size - m_byte < kLookahead) {
        fill();
    }
    m_bit += count;
    m_byte += m_bit >> 3;
    m_bit &= 7;
}

void BitInput::align() {
    if (m_bit != 0) {
        skip(8 - m_bit);
    }
}

bool BitInput::overrun(std::size_t slack) const {
    return m_ended && m_before + m_byte > m_end + slack;
}

std::uint64_t BitInput::consumed() const {
    return m_before + m_byte + (m_bit != 0 ? 1 : 0);
}

} // namespace brisko::rardec
