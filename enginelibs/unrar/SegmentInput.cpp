#include "unrar/SegmentInput.h"

#include <algorithm>
#include <cstring>

namespace brisko::enginelib::rar {

namespace {

constexpr std::size_t kChunk = std::size_t(1) << 18;

} // namespace

SegmentInput::SegmentInput(Volumes& volumes, const Segment& segment) : m_volumes(volumes), m_segment(segment) {
    if (segment.decrypt) {
        m_cipher = std::make_unique<CbcDecryptor>(segment.key, segment.keySize, segment.iv);
    } else if (segment.legacy && segment.password != nullptr) {
        m_legacy.emplace(*segment.legacy, *segment.password);
    }
}

SegmentInput::~SegmentInput() = default;

long SegmentInput::read(std::uint8_t* out, std::size_t size) {
    if (m_blockAt < m_block.size()) {
        const std::size_t n = std::min(size, m_block.size() - m_blockAt);
        std::memcpy(out, m_block.data() + m_blockAt, n);
        m_blockAt += n;
        return static_cast<long>(n);
    }
    const std::uint64_t remaining = m_segment.length - m_done;
    if (remaining == 0 || size == 0) {
        return 0;
    }
    auto want = static_cast<std::size_t>(std::min<std::uint64_t>({size, remaining, kChunk}));
    if (m_legacy) {
        // A chunk is a whole number of the cipher's blocks; a tail that is not (damage) stays
        // undecrypted and is not handed out.
        const auto plain = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kChunk));
        m_block.resize(plain);
        if (!readPieces(m_volumes, m_segment.pieces, m_done, m_block.data(), plain)) {
            m_volumeFailed = true;
            return -1;
        }
        m_block.resize(m_legacy->decrypt(m_block.data(), plain));
        m_done = m_block.size() < plain ? m_segment.length : m_done + plain;
        m_blockAt = 0;
        return m_block.empty() ? 0 : read(out, size);
    }
    if (!m_cipher) {
        if (!readPieces(m_volumes, m_segment.pieces, m_done, out, want)) {
            m_volumeFailed = true;
            return -1;
        }
        m_done += want;
        return static_cast<long>(want);
    }
    // Whole cipher blocks are read and decrypted, a chunk at a time (the chunk is a whole number of
    // blocks, so the next one starts on a block); what does not fit the caller's buffer waits, and
    // the padding after the last byte is dropped.
    const auto plain = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kChunk));
    const std::size_t blocks = (plain + 15) / 16 * 16;
    m_block.resize(blocks);
    if (!readPieces(m_volumes, m_segment.pieces, m_done, m_block.data(), blocks)) {
        m_volumeFailed = true;
        return -1;
    }
    m_cipher->decrypt(m_block.data(), blocks);
    m_done += plain;
    m_blockAt = 0;
    m_block.resize(plain);
    return read(out, size);
}

} // namespace brisko::enginelib::rar
