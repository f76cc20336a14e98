#include "rardec/BitInput.h"

#include <cstring>

namespace brisko::rardec {

namespace {

constexpr std::size_t kBuffer = 1 << 16;

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

void BitInput::align() {
    if (m_bit != 0) {
        skip(8 - m_bit);
    }
}

std::uint64_t BitInput::consumed() const {
    return m_before + m_byte + (m_bit != 0 ? 1 : 0);
}

} // namespace brisko::rardec
