#include "acedec/PackedStream.h"

#include "acedec/DecodeError.h"

#include <algorithm>

namespace brisko::acedec {

PackedStream::PackedStream(std::vector<Segment> segments, AceCipher* cipher)
    : m_segments(std::move(segments)), m_cipher(cipher) {
    for (const auto& s : m_segments) {
        m_total += s.size;
    }
    if (m_cipher) {
        m_cipher->restart();
    }
}

std::size_t PackedStream::readRaw(std::uint8_t* buffer, std::size_t length) {
    std::size_t done = 0;
    while (done < length && m_index < m_segments.size()) {
        const Segment& s = m_segments[m_index];
        const std::uint64_t left = s.size - m_inSegment;
        if (left == 0) {
            ++m_index;
            m_inSegment = 0;
            continue;
        }
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, length - done));
        if (s.volume->readAt(s.offset + m_inSegment, buffer + done, want) != want) {
            fail(Status::ReadError, "read failed");
        }
        m_inSegment += want;
        done += want;
    }
    return done;
}

std::size_t PackedStream::read(std::uint8_t* buffer, std::size_t length) {
    if (!m_cipher) {
        return readRaw(buffer, length);
    }
    std::size_t done = std::min(length, m_spareEnd - m_spareStart);
    std::copy_n(m_spare + m_spareStart, done, buffer);
    m_spareStart += done;

    const std::size_t whole = (length - done) / 8 * 8;
    const std::size_t got = readRaw(buffer + done, whole) / 8 * 8;
    m_cipher->decrypt(buffer + done, got);
    done += got;
    if (got < whole) {
        return done; // the end of the data
    }
    if (done < length && readRaw(m_spare, 8) == 8) {
        m_cipher->decrypt(m_spare, 8);
        m_spareStart = std::min<std::size_t>(8, length - done);
        m_spareEnd = 8;
        std::copy_n(m_spare, m_spareStart, buffer + done);
        done += m_spareStart;
    }
    return done;
}

} // namespace brisko::acedec
