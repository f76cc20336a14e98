#include "unrar/RarHandle.h"

#include <algorithm>
#include <archive_entry.h>
#include <cerrno>
#include <cstring>

#include "api/briskoguard.h"
#include "common/FileModes.h"
#include "common/HandleRegistry.h"
#include "unrar/Blake2sp.h"
#include "rardec/Unpack50.h"
#include "unrar/SegmentInput.h"

namespace brisko::enginelib::rar {

namespace {

// Names in both RAR generations may come from Windows, where '\' separates folders; a '\' inside a
// name made on Unix is rare enough that treating it as a separator is the safe reading.
constexpr Separators kRarSeparators = Separators::SlashAndBackslash;
constexpr std::size_t kNameField = 260;

HandleRegistry<RarHandle> g_handles;

void putU16(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putU32(std::vector<std::uint8_t>& out, std::uint64_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void putVint(std::vector<std::uint8_t>& out, std::uint64_t value) {
    do {
        std::uint8_t byte = value & 0x7F;
        value >>= 7;
        if (value != 0) {
            byte |= 0x80;
        }
        out.push_back(byte);
    } while (value != 0);
}

// RAR 4 header: CRC16 over everything after it.
std::vector<std::uint8_t> rar4Block(std::vector<std::uint8_t> body) {
    std::vector<std::uint8_t> block;
    const std::uint32_t crc = crc32(0, body.data(), body.size()) & 0xFFFF;
    putU16(block, crc);
    block.insert(block.end(), body.begin(), body.end());
    return block;
}

std::vector<std::uint8_t> rar5Block(const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> sized;
    putVint(sized, body.size());
    sized.insert(sized.end(), body.begin(), body.end());
    std::vector<std::uint8_t> block;
    putU32(block, crc32(0, sized.data(), sized.size()));
    block.insert(block.end(), sized.begin(), sized.end());
    return block;
}

// The file header the decoder sees: the entry's compression settings under a neutral name, without
// encryption, split flags or checksums that only this engine can check.
std::vector<std::uint8_t> plainHeader(Format format, const Entry& entry, std::uint64_t dataSize) {
    if (format == Format::Rar5) {
        std::vector<std::uint8_t> body;
        putVint(body, 2);
        putVint(body, 0x2);
        putVint(body, dataSize);
        putVint(body, entry.sizeUnknown ? 0x8 : 0);
        putVint(body, entry.unpackedSize);
        putVint(body, 0100644);
        putVint(body, entry.compression);
        putVint(body, 1);
        putVint(body, 1);
        body.push_back('f');
        return rar5Block(body);
    }
    const bool large = dataSize > 0xFFFFFFFFu || entry.unpackedSize > 0xFFFFFFFFu;
    std::vector<std::uint8_t> body;
    body.push_back(0x74);
    putU16(body, 0x8000 | (entry.compression & 0x00E0) | (large ? 0x0100 : 0));
    putU16(body, large ? 41 : 33);
    putU32(body, dataSize);
    putU32(body, entry.unpackedSize);
    body.push_back(3);
    putU32(body, entry.crc);
    putU32(body, entry.dosTime);
    body.push_back(static_cast<std::uint8_t>(entry.unpackVersion));
    body.push_back(static_cast<std::uint8_t>(entry.method));
    putU16(body, 1);
    putU32(body, entry.link ? entry.attributes : 0100644);
    if (large) {
        putU32(body, dataSize >> 32);
        putU32(body, entry.unpackedSize >> 32);
    }
    body.push_back('f');
    return rar4Block(body);
}

Segment literal(std::vector<std::uint8_t> bytes) {
    Segment segment;
    segment.bytes = std::move(bytes);
    return segment;
}

std::vector<std::uint8_t> archiveStart(Format format, bool solid) {
    if (format == Format::Rar5) {
        std::vector<std::uint8_t> out = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
        // The decoder keeps its window from file to file only when the archive says it is solid.
        const std::vector<std::uint8_t> main = rar5Block({1, 0, static_cast<std::uint8_t>(solid ? 4 : 0)});
        out.insert(out.end(), main.begin(), main.end());
        return out;
    }
    std::vector<std::uint8_t> out = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
    const std::vector<std::uint8_t> main = rar4Block({0x73, 0, 0, 13, 0, 0, 0, 0, 0, 0, 0});
    out.insert(out.end(), main.begin(), main.end());
    return out;
}

std::vector<std::uint8_t> archiveEnd(Format format) {
    if (format == Format::Rar5) {
        return rar5Block({5, 0, 0});
    }
    return rar4Block({0x7B, 0x00, 0x40, 7, 0});
}

bool hasData(const Entry& entry) {
    return !entry.folder && entry.redirect == Redirect::None;
}

void copyName(char* field, const std::string& text) {
    std::size_t size = std::min(text.size(), kNameField - 1);
    // Cut at a character boundary.
    while (size > 0 && size < text.size() && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) {
        --size;
    }
    std::memcpy(field, text.data(), size);
    field[size] = '\0';
}

mode_t archivedMode(const Entry& entry) {
    return entry.hostOs == 3 ? (entry.attributes & 07777) : 0;
}

int outcomeCode(Outcome outcome) {
    return outcome == Outcome::Done ? 0 : ERAR_ECREATE;
}

} // namespace

void registerHandle(RarHandle* handle) {
    g_handles.add(handle);
}

void unregisterHandle(RarHandle* handle) {
    g_handles.remove(handle);
}

bool isHandle(void* pointer) {
    return g_handles.contains(pointer);
}

int RarHandle::open(const char* path, unsigned mode) {
    if (path == nullptr || *path == '\0') {
        return ERAR_EOPEN;
    }
    m_listOnly = mode == RAR_OM_LIST;
    m_volumes.add(path);
    if (!m_volumes.open(0)) {
        return ERAR_EOPEN;
    }
    const int result = scan();
    // Encrypted headers wait for the password: the caller learns of them from RARReadHeader.
    if (result == ERAR_BAD_DATA && m_archive.headersEncrypted && !m_password) {
        return 0;
    }
    return result;
}

int RarHandle::scan() {
    bool needsPassword = false;
    const int result =
        scanArchive(m_volumes, m_password ? &*m_password : nullptr, m_keys, m_archive, needsPassword);
    m_scanned = result == 0;
    m_largestDictionary = 0;
    for (const Entry& entry : m_archive.entries) {
        if (hasData(entry) && entry.method != 0x30) {
            const std::uint64_t dictionary = m_archive.format == Format::Rar5
                                                 ? rardec::parseRar5Compression(entry.compression).dictionary
                                                 : std::uint64_t(64 * 1024) << ((entry.compression >> 5) & 7);
            m_largestDictionary = static_cast<std::size_t>(std::max<std::uint64_t>(m_largestDictionary, dictionary));
        }
    }
    return result;
}

void RarHandle::setPassword(const char* password) {
    if (m_password) {
        explicit_bzero(m_password->data(), m_password->size());
    }
    m_password = std::string(password != nullptr ? password : "");
}

void RarHandle::setGuard(const BriskoGuard* guard) {
    m_guard.set(guard);
    m_volumes.observe([this](const std::string& path, const struct stat& info) { m_guard.fileRead(path, info); });
}

int RarHandle::readHeader(RARHeaderData& header) {
    if (!m_scanned) {
        if (!m_password) {
            return ERAR_BAD_DATA;
        }
        const int result = scan();
        if (result != 0) {
            return result;
        }
    }
    if (m_next >= m_archive.entries.size()) {
        return ERAR_END_ARCHIVE;
    }
    m_current = static_cast<long>(m_next++);
    const Entry& entry = m_archive.entries[static_cast<std::size_t>(m_current)];
    std::memset(header.ArcName, 0, sizeof header.ArcName);
    copyName(header.ArcName, m_volumes.path(entry.volume));
    copyName(header.FileName, entry.name);
    header.Flags = (entry.encrypted ? 0x04u : 0u) | (entry.solid ? 0x10u : 0u) | (entry.folder ? 0xE0u : 0u);
    header.PackSize = static_cast<unsigned>(entry.packedSize);
    header.UnpSize = static_cast<unsigned>(entry.unpackedSize);
    header.HostOS = entry.hostOs;
    header.FileCRC = entry.crc;
    header.FileTime = entry.dosTime;
    header.UnpVer = entry.unpackVersion;
    header.Method = entry.method;
    header.FileAttr = entry.attributes;
    header.CmtSize = 0;
    header.CmtState = 0;
    return 0;
}

int RarHandle::close() {
    if (m_destination) {
        m_destination->finish();
        m_destination.reset();
    }
    if (m_password) {
        explicit_bzero(m_password->data(), m_password->size());
    }
    m_keys.clear();
    return 0;
}

int RarHandle::processFile(int operation, const char* destPath, const char* destName) {
    if (m_current < 0 || !m_scanned) {
        return ERAR_BAD_ARCHIVE;
    }
    if (operation == RAR_SKIP || m_listOnly) {
        return 0;
    }
    if (operation != RAR_TEST && operation != RAR_EXTRACT) {
        return ERAR_UNKNOWN;
    }
    const Entry& entry = m_archive.entries[static_cast<std::size_t>(m_current)];
    return extract(entry, operation == RAR_EXTRACT, destPath, destName);
}

int RarHandle::resolveTarget(const Entry& entry, const char* destPath, const char* destName, SafePath& path) {
    std::string root = destPath != nullptr && *destPath != '\0' ? destPath : ".";
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    std::string relative = entry.name;
    if (destName != nullptr && *destName != '\0') {
        const std::string name = destName;
        if (destPath == nullptr || *destPath == '\0') {
            relative = name;
        } else {
            const std::string prefix = root == "/" ? root : root + "/";
            if (name.compare(0, prefix.size(), prefix) != 0) {
                return ERAR_ECREATE; // the caller's target lies outside its destination
            }
            relative = name.substr(prefix.size());
        }
    }
    if (sanitiseEntryName(relative, kRarSeparators, path) != NameVerdict::Safe) {
        return ERAR_ECREATE;
    }
    if (!m_destination || m_destinationRoot != root) {
        if (m_destination) {
            m_destination->finish();
        }
        m_destination = std::make_unique<Destination>(root, &m_guard);
        m_destinationRoot = root;
        m_extracted.clear();
    }
    return m_destination->isOpen() ? 0 : ERAR_ECREATE;
}

const Rar5Keys* RarHandle::rar5Keys(const Entry& entry) {
    if (!m_password) {
        return nullptr;
    }
    const Rar5Keys& keys = m_keys.rar5(*m_password, entry.salt, entry.kdfLog2);
    if (entry.hasCheck && std::memcmp(keys.check, entry.check, 8) != 0) {
        return nullptr;
    }
    return &keys;
}

int RarHandle::dataSegment(const Entry& entry, Segment& segment) {
    segment.pieces = entry.pieces;
    segment.length = entry.packedSize;
    if (!entry.encrypted) {
        return 0;
    }
    if (!m_password) {
        return ERAR_BAD_DATA;
    }
    if (m_archive.format == Format::Rar4 && entry.unpackVersion < 29) {
        // RAR 1.3 to 2.x: a cipher keyed by the password alone, over the whole packed size (the
        // block cipher pads it to whole blocks; what lies beyond the data is never looked at).
        segment.legacy = legacyCipherFor(entry.unpackVersion);
        segment.password = &*m_password;
        return segment.legacy ? 0 : ERAR_UNKNOWN_FORMAT;
    }
    segment.decrypt = true;
    if (m_archive.format == Format::Rar4) {
        const Rar3Key& key = m_keys.rar3(*m_password, entry.hasSalt ? entry.salt : nullptr);
        std::memcpy(segment.key, key.key, 16);
        std::memcpy(segment.iv, key.iv, 16);
        segment.keySize = 16;
    } else {
        const Rar5Keys* keys = rar5Keys(entry);
        if (keys == nullptr) {
            return ERAR_BAD_DATA;
        }
        std::memcpy(segment.key, keys->key, 32);
        std::memcpy(segment.iv, entry.iv, 16);
        segment.keySize = 32;
    }
    if (entry.packedSize % 16 != 0) {
        return ERAR_BAD_DATA;
    }
    if (entry.method == 0x30) {
        if (entry.unpackedSize > entry.packedSize) {
            return ERAR_BAD_DATA;
        }
        segment.length = entry.unpackedSize; // the rest is the cipher's padding
    } else if (m_archive.format == Format::Rar5 &&
               !compressedLength(m_volumes, segment, entry.packedSize, segment.length)) {
        return ERAR_BAD_DATA;
    }
    return 0;
}

int RarHandle::checkData(const Entry& entry, std::uint64_t size, std::uint32_t crc,
                         const std::uint8_t* blake) {
    if (!entry.sizeUnknown && size != entry.unpackedSize) {
        return ERAR_BAD_DATA;
    }
    const Rar5Keys* keys = nullptr;
    if (entry.tweaked) {
        keys = rar5Keys(entry);
        if (keys == nullptr) {
            return ERAR_BAD_DATA;
        }
    }
    if (entry.hasCrc) {
        const std::uint32_t expected = keys != nullptr ? macCrc(keys->hashKey, crc) : crc;
        if (expected != entry.crc) {
            return ERAR_BAD_DATA;
        }
    }
    if (entry.hasBlake) {
        std::uint8_t expected[32];
        if (keys != nullptr) {
            macDigest(keys->hashKey, blake, expected);
        } else {
            std::memcpy(expected, blake, 32);
        }
        if (std::memcmp(expected, entry.blake, 32) != 0) {
            return ERAR_BAD_DATA;
        }
    }
    return 0;
}

int RarHandle::extract(const Entry& entry, bool write, const char* destPath, const char* destName) {
    SafePath path;
    if (write) {
        const int result = resolveTarget(entry, destPath, destName, path);
        if (result != 0) {
            return result;
        }
    }
    if (entry.unsupported != 0 && !entry.folder) {
        return entry.unsupported;
    }
    if (entry.redirect == Redirect::Junction) {
        // A junction leads to an absolute Windows path: nothing inside the destination to make.
        return write ? ERAR_ECREATE : 0;
    }
    if (entry.redirect == Redirect::HardLink || entry.redirect == Redirect::FileCopy) {
        // The target is another member, named like one; only a file this archive already put in
        // this destination can be linked or copied (RAR stores the first occurrence before its links).
        SafePath existing;
        if (!write) {
            return 0;
        }
        if (sanitiseEntryName(entry.target, kRarSeparators, existing) != NameVerdict::Safe ||
            m_extracted.count(existing.text()) == 0) {
            return ERAR_ECREATE;
        }
        const Outcome outcome = m_destination->linkOrCopy(path, existing, entry.redirect == Redirect::FileCopy,
                                                          archivedMode(entry), entry.mtime);
        if (outcome == Outcome::Done) {
            m_extracted.insert(path.text());
        }
        return outcome == Outcome::NoRoom ? ERAR_EWRITE : outcomeCode(outcome);
    }
    if (entry.link && m_archive.format == Format::Rar5) {
        LinkVerdict verdict = LinkVerdict::Safe;
        return write ? outcomeCode(
                           m_destination->makeLink(path, entry.target, kRarSeparators, entry.mtime, verdict))
                     : 0;
    }
    // A folder that is a link (checked above) is no folder to make.
    if (entry.folder) {
        bool created = false;
        return write ? outcomeCode(m_destination->makeFolder(path, archivedMode(entry), entry.mtime, created))
                     : 0;
    }
    const auto index = static_cast<std::size_t>(m_current);
    if (!write) {
        return decode(index, entry, nullptr, nullptr);
    }
    if (entry.link) {
        return decode(index, entry, nullptr, &path);
    }
    ExistingTarget existing;
    Outcome outcome = m_destination->lookup(path, existing);
    if (outcome == Outcome::Done && existing.kind == ExistingTarget::Kind::Folder) {
        outcome = Outcome::Conflict;
    }
    if (outcome != Outcome::Done) {
        return ERAR_ECREATE;
    }
    PendingFile file;
    outcome = m_destination->beginFile(path, archivedMode(entry), file, entry.sizeUnknown ? 0 : entry.unpackedSize);
    if (outcome != Outcome::Done) {
        return outcome == Outcome::NoRoom ? ERAR_EWRITE : ERAR_ECREATE;
    }
    const int result = decode(index, entry, &file, &path);
    if (result != 0) {
        file.abandon();
        return result;
    }
    outcome = file.commit(entry.mtime);
    if (outcome == Outcome::Failed && file.error() == ENOSPC) {
        return ERAR_EWRITE;
    }
    if (outcome == Outcome::Done) {
        m_extracted.insert(path.text());
    }
    return outcomeCode(outcome);
}

namespace {

// Where decoded bytes go: the file being written (if any), the checksums, and the link target.
class EntryOutput : public rardec::Output {
public:
    EntryOutput(PendingFile* file, bool blake, bool keep) : m_file(file), m_blakeWanted(blake), m_keep(keep) {}

    bool write(const std::uint8_t* data, std::size_t size) override {
        if (size == 0) {
            return true;
        }
        crc = crc32(crc, data, size);
        if (m_blakeWanted) {
            m_blake.update(data, size);
        }
        if (m_keep) {
            // A link's target is a path: a "link" that unpacks to more is damage, not a target to hold.
            if (kept.size() + size > kMaxPath) {
                targetTooLong = true;
                return false;
            }
            kept.append(reinterpret_cast<const char*>(data), size);
        }
        total += size;
        if (m_file != nullptr && !m_file->write(data, size)) {
            writeFailed = true;
            return false;
        }
        return true;
    }
    void finish(std::uint8_t* digest) {
        if (m_blakeWanted) {
            m_blake.finish(digest);
        }
    }

    std::uint32_t crc = 0;
    std::uint64_t total = 0;
    std::string kept;
    bool writeFailed = false;
    bool targetTooLong = false;

private:
    PendingFile* m_file;
    bool m_blakeWanted;
    bool m_keep;
    Blake2sp m_blake;
};

// Throws away what a skipped entry of a solid stream decodes to.
class NoOutput : public rardec::Output {
public:
    bool write(const std::uint8_t*, std::size_t) override { return true; }
};

int codeOf(rardec::Status status) {
    switch (status) {
    case rardec::Status::Ok:
        return 0;
    case rardec::Status::NoMemory:
        return ERAR_NO_MEMORY;
    case rardec::Status::Unsupported:
        return ERAR_UNKNOWN_FORMAT;
    case rardec::Status::ReadError:
        return ERAR_EOPEN;
    case rardec::Status::Stopped:
        return ERAR_EWRITE;
    case rardec::Status::Corrupt:
        break;
    }
    return ERAR_BAD_DATA;
}

} // namespace

int RarHandle::decode(std::size_t index, const Entry& entry, PendingFile* file, const SafePath* path) {
    // Our decoders need the exact unpacked size; a RAR 5 entry written as a stream without one is
    // left to libarchive.
    if (m_archive.format == Format::Rar4 || !entry.sizeUnknown) {
        return decodeOwn(index, entry, file, path);
    }
    return decodeWithLibarchive(index, entry, file, path);
}

bool RarHandle::continuesStream(std::size_t index) const {
    const Entry& entry = m_archive.entries[index];
    // RAR 1.5 marks solidness only in the archive's header: every entry after the first continues.
    if (m_archive.format == Format::Rar4 && entry.unpackVersion <= 15) {
        for (std::size_t i = 0; i < index; ++i) {
            if (hasData(m_archive.entries[i]) && m_archive.entries[i].method != 0x30) {
                return m_archive.solid;
            }
        }
        return false;
    }
    return entry.solid;
}

std::size_t RarHandle::dictionaryFor(const Entry&) const {
    return m_largestDictionary;
}

int RarHandle::runDecoder(const Entry& entry, bool solid, rardec::Output& output) {
    const bool extended =
        m_archive.format == Format::Rar5 && rardec::parseRar5Compression(entry.compression).extendedDistances;
    if (!solid && (!m_decoder || m_decoderVersion != entry.unpackVersion || m_decoderExtended != extended)) {
        const std::size_t dictionary = dictionaryFor(entry);
        m_decoder = m_archive.format == Format::Rar5 ? rardec::makeRar50Decoder(dictionary, extended)
                                                     : rardec::makeDecoder(entry.unpackVersion, dictionary);
        m_decoderVersion = entry.unpackVersion;
        m_decoderDictionary = dictionary;
        m_decoderExtended = extended;
    }
    if (!m_decoder || m_decoderVersion != entry.unpackVersion || m_decoderExtended != extended) {
        return ERAR_UNKNOWN_FORMAT;
    }
    Segment data;
    const int prepared = dataSegment(entry, data);
    if (prepared != 0) {
        return prepared;
    }
    SegmentInput input(m_volumes, data);
    const rardec::Status status = m_decoder->decode(input, data.length, entry.unpackedSize, solid, output);
    return input.volumeFailed() ? ERAR_EOPEN : codeOf(status);
}

int RarHandle::prepareDecoder(std::size_t index, bool& solid) {
    // The stream starts at the last entry before this one that does not continue another.
    std::size_t start = index;
    while (start > 0 && continuesStream(start)) {
        std::size_t before = start;
        while (before-- > 0) {
            const Entry& candidate = m_archive.entries[before];
            if (hasData(candidate) && candidate.method != 0x30) {
                break;
            }
        }
        if (before == std::size_t(-1)) {
            break;
        }
        start = before;
    }
    // An entry that says it continues a stream nothing came before starts one (a damaged archive).
    solid = start != index;
    // Resume where the decoder stands when that lies in this stream; otherwise from its start.
    std::size_t next = start;
    if (m_decodedThrough >= static_cast<long>(start) && m_decodedThrough < static_cast<long>(index)) {
        next = static_cast<std::size_t>(m_decodedThrough) + 1;
    }
    for (; next < index; ++next) {
        const Entry& skipped = m_archive.entries[next];
        if (!hasData(skipped) || skipped.method == 0x30) {
            continue;
        }
        NoOutput nothing;
        m_decodedThrough = -1;
        const int result = runDecoder(skipped, next != start, nothing);
        if (result != 0) {
            return result;
        }
        m_decodedThrough = static_cast<long>(next);
    }
    return 0;
}

int RarHandle::decodeOwn(std::size_t index, const Entry& entry, PendingFile* file, const SafePath* path) {
    EntryOutput output(file, entry.hasBlake, entry.link);
    int result = 0;
    if (entry.method == 0x30) {
        // Stored: the data as it lies, decrypted where it is, up to the unpacked size (a cipher pads).
        Segment data;
        result = dataSegment(entry, data);
        SegmentInput input(m_volumes, data);
        std::vector<std::uint8_t> buffer(std::size_t(1) << 16);
        for (long got = 1; result == 0 && got > 0 && output.total < entry.unpackedSize;) {
            got = input.read(buffer.data(), buffer.size());
            const auto take = static_cast<std::size_t>(
                std::min<std::uint64_t>(static_cast<std::uint64_t>(std::max(got, 0L)), entry.unpackedSize - output.total));
            if (got < 0) {
                result = ERAR_EOPEN;
            } else if (!output.write(buffer.data(), take)) {
                result = ERAR_EWRITE;
            }
        }
    } else {
        bool solid = continuesStream(index);
        result = solid ? prepareDecoder(index, solid) : 0;
        if (result == 0) {
            m_decodedThrough = -1;
            result = runDecoder(entry, solid, output);
            if (result == 0) {
                m_decodedThrough = static_cast<long>(index);
            }
        }
    }
    if (output.targetTooLong) {
        return ERAR_BAD_DATA;
    }
    if (output.writeFailed) {
        if (file != nullptr && file->cancelled()) {
            return BRISKO_CANCELLED;
        }
        return file != nullptr && file->error() == ENOSPC ? ERAR_EWRITE : ERAR_ECREATE;
    }
    if (result != 0) {
        return result;
    }
    std::uint8_t digest[32] = {};
    output.finish(digest);
    const int checked = checkData(entry, output.total, output.crc, digest);
    if (checked != 0 || !entry.link || path == nullptr) {
        return checked;
    }
    LinkVerdict verdict = LinkVerdict::Safe;
    return outcomeCode(m_destination->makeLink(*path, output.kept, kRarSeparators, entry.mtime, verdict));
}

int RarHandle::decodeWithLibarchive(std::size_t index, const Entry& entry, PendingFile* file,
                                    const SafePath* path) {
    // A solid RAR 5 entry needs the decoder to have gone through the entries it continues from.
    std::vector<std::size_t> chain{index};
    if (m_archive.format == Format::Rar5 && entry.solid) {
        for (std::size_t i = index; i-- > 0;) {
            const Entry& before = m_archive.entries[i];
            if (!hasData(before)) {
                continue;
            }
            chain.insert(chain.begin(), i);
            if (!before.solid) {
                break;
            }
        }
    }
    std::vector<Segment> segments;
    segments.push_back(literal(archiveStart(m_archive.format, m_archive.solid && chain.size() > 1)));
    for (const std::size_t i : chain) {
        const Entry& part = m_archive.entries[i];
        if (part.unsupported != 0) {
            return part.unsupported;
        }
        Segment data;
        const int result = dataSegment(part, data);
        if (result != 0) {
            return result;
        }
        segments.push_back(literal(plainHeader(m_archive.format, part, data.length)));
        segments.push_back(std::move(data));
    }
    segments.push_back(literal(archiveEnd(m_archive.format)));

    PlainStream stream(m_volumes, std::move(segments));
    struct archive* reader = archive_read_new();
    if (reader == nullptr) {
        return ERAR_NO_MEMORY;
    }
    std::unique_ptr<struct archive, int (*)(struct archive*)> owner(reader, archive_read_free);
    archive_read_support_format_rar(reader);
    archive_read_support_format_rar5(reader);
    if (archive_read_open(reader, &stream, nullptr, &PlainStream::read, nullptr) != ARCHIVE_OK) {
        return stream.volumeFailed() ? ERAR_EOPEN : ERAR_BAD_DATA;
    }
    archive_entry* header = nullptr;
    const void* block = nullptr;
    std::size_t size = 0;
    la_int64_t offset = 0;
    for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
        if (archive_read_next_header(reader, &header) < ARCHIVE_WARN) {
            return stream.volumeFailed() ? ERAR_EOPEN : ERAR_BAD_DATA;
        }
        int status = ARCHIVE_OK;
        while ((status = archive_read_data_block(reader, &block, &size, &offset)) == ARCHIVE_OK) {
        }
        if (status != ARCHIVE_EOF) {
            return stream.volumeFailed() ? ERAR_EOPEN : ERAR_BAD_DATA;
        }
    }
    if (archive_read_next_header(reader, &header) < ARCHIVE_WARN) {
        return stream.volumeFailed() ? ERAR_EOPEN : ERAR_BAD_DATA;
    }
    if (entry.link) {
        // RAR 4 keeps a link's target as its data; the decoder hands it over with the header.
        const char* target = archive_entry_symlink(header);
        if (target == nullptr) {
            return ERAR_BAD_DATA;
        }
        const std::uint32_t crc = crc32(0, target, std::strlen(target));
        if (entry.hasCrc && crc != entry.crc) {
            return ERAR_BAD_DATA;
        }
        if (path == nullptr) {
            return 0;
        }
        LinkVerdict verdict = LinkVerdict::Safe;
        return outcomeCode(m_destination->makeLink(*path, target, kRarSeparators, entry.mtime, verdict));
    }
    std::uint32_t crc = 0;
    Blake2sp blake;
    std::uint64_t total = 0;
    int status = ARCHIVE_OK;
    while ((status = archive_read_data_block(reader, &block, &size, &offset)) == ARCHIVE_OK) {
        if (offset < 0 || static_cast<std::uint64_t>(offset) != total) {
            return ERAR_BAD_DATA; // the decoder never leaves holes in RAR data
        }
        if (size == 0) {
            continue; // an empty block may come with a null pointer
        }
        crc = crc32(crc, block, size);
        if (entry.hasBlake) {
            blake.update(static_cast<const std::uint8_t*>(block), size);
        }
        total += size;
        if (file != nullptr && !file->write(block, size)) {
            return file->cancelled() ? BRISKO_CANCELLED : ERAR_EWRITE;
        }
    }
    if (stream.volumeFailed()) {
        return ERAR_EOPEN;
    }
    std::uint8_t digest[32] = {};
    if (entry.hasBlake) {
        blake.finish(digest);
    }
    // The decoder's own end-of-file check is known to misfire on some large files; the checksum
    // computed here over everything it delivered is what decides.
    const int checked = checkData(entry, total, crc, digest);
    if (status != ARCHIVE_EOF && (checked != 0 || (!entry.hasCrc && !entry.hasBlake))) {
        return ERAR_BAD_DATA;
    }
    return checked;
}

} // namespace brisko::enginelib::rar
