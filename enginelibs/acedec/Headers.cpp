#include "acedec/Headers.h"

#include "acedec/Crc32.h"
#include "acedec/DecodeError.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace brisko::acedec {

namespace {

constexpr std::string_view kSignature = "**ACE**";
constexpr std::size_t kSignatureOffset = 7; // from the block start
constexpr std::size_t kMinMainSize = 26;    // header bytes up to the reserved fields

// Reads little-endian fields from a header, refusing any that would run past its end.
class FieldReader {
public:
    explicit FieldReader(const std::vector<std::uint8_t>& bytes, std::size_t pos = 0)
        : m_bytes(bytes), m_pos(pos) {}

    std::uint64_t number(std::size_t width) {
        need(width);
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < width; ++i) {
            v |= static_cast<std::uint64_t>(m_bytes[m_pos + i]) << (8 * i);
        }
        m_pos += width;
        return v;
    }
    std::uint8_t u8() { return static_cast<std::uint8_t>(number(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(number(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(number(4)); }

    std::vector<std::uint8_t> bytes(std::size_t count) {
        need(count);
        std::vector<std::uint8_t> out(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_pos),
                                      m_bytes.begin() + static_cast<std::ptrdiff_t>(m_pos + count));
        m_pos += count;
        return out;
    }
    std::size_t remaining() const { return m_bytes.size() - m_pos; }

private:
    void need(std::size_t count) const {
        if (count > m_bytes.size() - m_pos) {
            corrupt("header field runs past the header");
        }
    }

    const std::vector<std::uint8_t>& m_bytes;
    std::size_t m_pos;
};

// A stub full of decoy signatures must not cost a CRC over 64 KiB each: candidates are pre-checked
// from the bytes already read, and only so many are tried.
constexpr int kMaxCandidates = 1024;

bool isMainBlockAt(const ByteSource& volume, const std::vector<std::uint8_t>& head, std::uint64_t position,
                   BlockHeader& block) {
    const std::size_t p = static_cast<std::size_t>(position);
    const std::size_t headSize = static_cast<std::size_t>(head[p + 2] | head[p + 3] << 8);
    if (head[p + 4] != kBlockMain || headSize < kMinMainSize) {
        return false;
    }
    try {
        return readBlock(volume, position, block) && block.type == kBlockMain;
    } catch (const DecodeError& e) {
        if (e.status == Status::ReadError) {
            throw;
        }
        return false;
    }
}

// A tail of zero bytes is padding (transfers and hand-made archives leave it): no block starts with
// a zero header size.
bool onlyZerosFrom(const ByteSource& volume, std::uint64_t position) {
    std::uint8_t chunk[4096];
    while (position < volume.size()) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, volume.size() - position));
        if (volume.readAt(position, chunk, want) != want) {
            fail(Status::ReadError, "read failed");
        }
        if (std::any_of(chunk, chunk + want, [](std::uint8_t b) { return b != 0; })) {
            return false;
        }
        position += want;
    }
    return true;
}

} // namespace

bool readBlock(const ByteSource& volume, std::uint64_t position, BlockHeader& block) {
    const std::uint64_t size = volume.size();
    if (position >= size) {
        if (position == size) {
            return false;
        }
        corrupt("block position past the end of the volume");
    }
    std::uint8_t prefix[4] = {};
    const std::size_t got = volume.readAt(position, prefix, 4);
    if (got < 4 && got != size - position) {
        fail(Status::ReadError, "read failed");
    }
    if ((prefix[0] | prefix[1] | prefix[2] | prefix[3]) == 0 && onlyZerosFrom(volume, position)) {
        return false;
    }
    if (got < 4) {
        corrupt("archive truncated inside a block header");
    }
    const std::uint16_t crc = static_cast<std::uint16_t>(prefix[0] | prefix[1] << 8);
    const std::size_t headSize = static_cast<std::size_t>(prefix[2] | prefix[3] << 8);
    if (headSize < 3) {
        corrupt("block header too short");
    }
    if (size - position - 4 < headSize) {
        corrupt("archive truncated inside a block header");
    }
    block.bytes.resize(headSize);
    if (volume.readAt(position + 4, block.bytes.data(), headSize) != headSize) {
        fail(Status::ReadError, "read failed");
    }
    if (aceCrc16(block.bytes) != crc) {
        corrupt("header CRC mismatch");
    }
    block.position = position;
    block.type = block.bytes[0];
    block.flags = static_cast<std::uint16_t>(block.bytes[1] | block.bytes[2] << 8);
    block.dataPosition = position + 4 + headSize;
    block.addSize = 0;
    if (block.flags & kFlagAddSize) {
        FieldReader fields(block.bytes, 3);
        block.addSize = fields.number((block.flags & kFlag64Bit) ? 8 : 4);
    }
    if (block.addSize > size - block.dataPosition) {
        corrupt("archive truncated: block data runs past the end of the volume");
    }
    return true;
}

BlockHeader findMainHeader(const ByteSource& volume) {
    BlockHeader block;
    const std::uint64_t size = volume.size();
    const std::size_t window =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, kSearchLimit + kSignature.size()));
    std::vector<std::uint8_t> head(window);
    if (volume.readAt(0, head.data(), window) != window) {
        fail(Status::ReadError, "read failed");
    }
    // Every occurrence is tried: stubs and other data can contain the signature, and so do recovery
    // blocks, so only a block whose CRC and type check out counts.
    const std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
    int candidates = 0;
    for (std::size_t p = text.find(kSignature, kSignatureOffset);
         p != std::string_view::npos && candidates < kMaxCandidates; p = text.find(kSignature, p + 1)) {
        if (isMainBlockAt(volume, head, p - kSignatureOffset, block)) {
            return block;
        }
        ++candidates;
    }
    fail(Status::NotAnArchive, "no ACE archive header found");
}

MainHeader parseMainHeader(const BlockHeader& block) {
    if (block.bytes.size() < kMinMainSize ||
        std::memcmp(block.bytes.data() + 3, kSignature.data(), kSignature.size()) != 0) {
        corrupt("invalid main header");
    }
    MainHeader main;
    FieldReader fields(block.bytes, 3 + kSignature.size());
    main.versionToExtract = fields.u8();
    main.versionCreated = fields.u8();
    main.hostOs = fields.u8();
    main.volumeNumber = fields.u8();
    main.dosTime = fields.u32();
    fields.number(8); // reserved
    // The advert length byte is there whenever the header is long enough, whether or not the advert
    // flag is set; the comment comes after the advert.
    if (fields.remaining() > 0) {
        const std::size_t advertSize = fields.u8();
        const auto advert = fields.bytes(advertSize);
        main.advert.assign(advert.begin(), advert.end());
        if (block.flags & kFlagComment) {
            main.packedComment = fields.bytes(fields.u16());
        }
    }
    return main;
}

FileHeader parseFileHeader(const BlockHeader& block) {
    const bool wide = (block.flags & kFlag64Bit) != 0;
    if ((block.type == kBlockFile64) != wide) {
        corrupt("invalid file header flags");
    }
    FileHeader file;
    FieldReader fields(block.bytes, 3);
    file.flags = block.flags;
    file.packedSize = fields.number(wide ? 8 : 4);
    // The size field is part of every file header. Hand-made archives leave the flag that announces it
    // clear for entries without data; with data, the block's extent would be ambiguous.
    if (!(block.flags & kFlagAddSize) && file.packedSize != 0) {
        corrupt("invalid file header flags");
    }
    file.originalSize = fields.number(wide ? 8 : 4);
    file.dosTime = fields.u32();
    file.attributes = fields.u32();
    file.crc = fields.u32();
    file.method = fields.u8();
    fields.u8(); // compression level, irrelevant for decoding
    file.params = fields.u16();
    fields.u16(); // reserved
    const auto name = fields.bytes(fields.u16());
    file.name.assign(name.begin(), name.end());
    if (file.flags & kFlagComment) {
        file.packedComment = fields.bytes(fields.u16());
    }
    if (file.flags & kFileSecurity) {
        fields.bytes(fields.u16()); // an NT security descriptor: no meaning here, but it must fit
    }
    return file;
}

} // namespace brisko::acedec
