#include "unrar/PlainStream.h"

#include <algorithm>
#include <cstring>

namespace brisko::enginelib::rar {

namespace {

constexpr std::size_t kChunk = std::size_t(1) << 20;

} // namespace

bool readPieces(Volumes& volumes, const std::vector<Piece>& pieces, std::uint64_t offset, std::uint8_t* out,
                std::size_t size) {
    for (const Piece& piece : pieces) {
        if (size == 0) {
            break;
        }
        if (offset >= piece.size) {
            offset -= piece.size;
            continue;
        }
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(size, piece.size - offset));
        if (!volumes.read(piece.volume, piece.offset + offset, out, take)) {
            return false;
        }
        out += take;
        size -= take;
        offset = 0;
    }
    return size == 0;
}

bool compressedLength(Volumes& volumes, const Segment& data, std::uint64_t cipherSize,
                      std::uint64_t& length) {
    // CBC allows decrypting any block from the one before it, so only the block headers are read.
    auto plainAt = [&](std::uint64_t offset, std::uint8_t* out, std::size_t size) {
        const std::uint64_t first = offset / 16 * 16;
        const std::uint64_t end = (offset + size + 15) / 16 * 16;
        if (end > cipherSize) {
            return false;
        }
        std::uint8_t iv[16];
        if (first == 0) {
            std::memcpy(iv, data.iv, 16);
        } else if (!readPieces(volumes, data.pieces, first - 16, iv, 16)) {
            return false;
        }
        std::vector<std::uint8_t> blocks(static_cast<std::size_t>(end - first));
        if (!readPieces(volumes, data.pieces, first, blocks.data(), blocks.size())) {
            return false;
        }
        CbcDecryptor cipher(data.key, data.keySize, iv);
        cipher.decrypt(blocks.data(), blocks.size());
        std::memcpy(out, blocks.data() + (offset - first), size);
        return true;
    };
    std::uint64_t pos = 0;
    while (pos < cipherSize) {
        std::uint8_t head[5] = {};
        const auto available = static_cast<std::size_t>(std::min<std::uint64_t>(5, cipherSize - pos));
        if (available < 3 || !plainAt(pos, head, available)) {
            return false;
        }
        const std::size_t sizeBytes = ((head[0] >> 3) & 7) + 1;
        if (sizeBytes > 3 || 2 + sizeBytes > available) {
            return false;
        }
        std::uint64_t blockSize = 0;
        for (std::size_t i = 0; i < sizeBytes; ++i) {
            blockSize |= std::uint64_t(head[2 + i]) << (8 * i);
        }
        pos += 2 + sizeBytes + blockSize;
        if ((head[0] & 0x40) != 0) {
            length = pos;
            return pos <= cipherSize;
        }
    }
    return false;
}

PlainStream::PlainStream(Volumes& volumes, std::vector<Segment> segments)
    : m_volumes(volumes), m_segments(std::move(segments)) {}

la_ssize_t PlainStream::read(struct archive* reader, void* self, const void** block) {
    auto* stream = static_cast<PlainStream*>(self);
    const la_ssize_t got = stream->next(block);
    if (got < 0) {
        archive_set_error(reader, EIO, "archive data cannot be read");
        return ARCHIVE_FATAL;
    }
    return got;
}

la_ssize_t PlainStream::next(const void** block) {
    while (m_segment < m_segments.size()) {
        Segment& segment = m_segments[m_segment];
        if (segment.pieces.empty()) {
            if (m_done < segment.bytes.size()) {
                *block = segment.bytes.data() + m_done;
                const auto size = static_cast<la_ssize_t>(segment.bytes.size() - m_done);
                m_done = segment.bytes.size();
                return size;
            }
        } else if (m_done < segment.length) {
            const std::uint64_t remaining = segment.length - m_done;
            std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, remaining));
            if (segment.decrypt) {
                if (!m_cipher) {
                    m_cipher = std::make_unique<CbcDecryptor>(segment.key, segment.keySize, segment.iv);
                }
                want = (want + 15) / 16 * 16;
            }
            m_buffer.resize(want);
            if (!readPieces(m_volumes, segment.pieces, m_done, m_buffer.data(), want)) {
                m_volumeFailed = true;
                return -1;
            }
            if (segment.decrypt) {
                m_cipher->decrypt(m_buffer.data(), want);
            }
            const auto deliver = static_cast<std::size_t>(std::min<std::uint64_t>(want, remaining));
            m_done += deliver;
            *block = m_buffer.data();
            return static_cast<la_ssize_t>(deliver);
        }
        ++m_segment;
        m_done = 0;
        m_cipher.reset();
    }
    return 0;
}

} // namespace brisko::enginelib::rar
