#include "acedec/Archive.h"

#include "acedec/AceCipher.h"
#include "common/CodePage.h"
#include "acedec/CommentDecoder.h"
#include "acedec/DecodeError.h"
#include "acedec/Headers.h"
#include "acedec/MemberDecoder.h"
#include "acedec/MemberOutput.h"
#include "acedec/PackedStream.h"
#include "acedec/Window.h"

#include <map>
#include <optional>

namespace brisko::acedec {

namespace {

// Volume names run out at ".999"; a provider that invents volumes forever must not keep the walk going.
constexpr unsigned kMaxVolumes = 1001;
constexpr unsigned kMaxDictionaryCode = 12; // 2^(12 + 10) = 4 MiB
constexpr std::uint8_t kHostUnix = 3;
constexpr std::uint8_t kHostLinux = 12;

bool carriesData(const Entry& entry) {
    return !entry.isDirectory && entry.originalSize > 0;
}

} // namespace

class Archive::Impl {
public:
    Impl(VolumeProvider& volumes, ArchiveOptions options) : m_volumes(volumes), m_options(options) {}

    Status open();
    Status nextEntry();
    Status extract(const Sink* sink, const Progress* progress);
    Status skip(const Progress* progress);
    void setPassword(std::optional<std::string> password);

    ArchiveInfo m_info;
    Entry m_entry;
    std::string m_detail;

private:
    Status report(Status status, std::string detail) {
        m_detail = std::move(detail);
        return status;
    }
    Status stop(Status status, std::string detail) {
        m_stopped = status;
        m_stoppedDetail = detail;
        m_haveEntry = false;
        return report(status, std::move(detail));
    }

    const ByteSource* volume(unsigned index);
    void releaseBefore(unsigned index);
    bool enterVolume(unsigned index, std::uint64_t& position);
    std::string toText(const std::string& raw) const;
    std::string commentText(const std::vector<std::uint8_t>& packed) const;
    bool passOver();
    void startEntry(const FileHeader& file, const BlockHeader& block);
    void followSegments(const FileHeader& first);
    Status decode(const Sink* sink, const Progress* progress);

    VolumeProvider& m_volumes;
    ArchiveOptions m_options;
    std::map<unsigned, std::unique_ptr<ByteSource>> m_open;
    bool m_isOpen = false;
    Status m_stopped = Status::Ok; // once set, the walk is over
    std::string m_stoppedDetail;

    // Where the walk stands.
    unsigned m_volume = 0;
    std::uint64_t m_position = 0;
    bool m_atVolumeStart = true;
    bool m_orphansAllowed = false; // opened at a later volume: skip the tail of an entry begun earlier

    // The current entry.
    bool m_haveEntry = false;
    bool m_consumed = false;
    std::vector<Segment> m_segments;
    Status m_segmentsStatus = Status::Ok;
    std::string m_segmentsDetail;
    unsigned m_afterVolume = 0;
    std::uint64_t m_afterPosition = 0;

    std::unique_ptr<Window> m_window;
    bool m_chainIntact = true; // solid: the window holds everything before the current entry

    std::optional<std::string> m_password;
    std::unique_ptr<AceCipher> m_cipher;
};

const ByteSource* Archive::Impl::volume(unsigned index) {
    if (index >= kMaxVolumes) {
        return nullptr;
    }
    auto it = m_open.find(index);
    if (it == m_open.end()) {
        auto source = m_volumes.openVolume(index);
        if (!source) {
            return nullptr;
        }
        it = m_open.emplace(index, std::move(source)).first;
    }
    return it->second.get();
}

void Archive::Impl::releaseBefore(unsigned index) {
    m_open.erase(m_open.begin(), m_open.lower_bound(index));
}

bool Archive::Impl::enterVolume(unsigned index, std::uint64_t& position) {
    const ByteSource* source = volume(index);
    if (!source) {
        return false;
    }
    BlockHeader block;
    try {
        block = findMainHeader(*source);
    } catch (const DecodeError& e) {
        if (e.status == Status::NotAnArchive) {
            corrupt("a following volume has no archive header");
        }
        throw;
    }
    const MainHeader main = parseMainHeader(block);
    // The volume number is one byte wide: it wraps in very long sets.
    if (main.volumeNumber != static_cast<std::uint8_t>(m_info.volumeNumber + index)) {
        corrupt("volume out of sequence");
    }
    position = block.end();
    return true;
}

std::string Archive::Impl::toText(const std::string& raw) const {
    using enginelib::CodePage;
    using enginelib::isValidUtf8;
    using enginelib::toUtf8;
    switch (m_options.nameEncoding) {
    case NameEncoding::Cp437:
        return toUtf8(raw, CodePage::Cp437);
    case NameEncoding::Cp1252:
        return toUtf8(raw, CodePage::Cp1252);
    case NameEncoding::Cp850:
        return toUtf8(raw, CodePage::Cp850);
    case NameEncoding::Auto:
        break;
    }
    if ((m_info.hostOs == kHostUnix || m_info.hostOs == kHostLinux) && isValidUtf8(raw)) {
        return raw;
    }
    return toUtf8(raw, CodePage::Cp850);
}

std::string Archive::Impl::commentText(const std::vector<std::uint8_t>& packed) const {
    if (packed.empty()) {
        return {};
    }
    return decodeComment(packed).value_or(std::string());
}

Status Archive::Impl::open() {
    if (m_isOpen) {
        return report(Status::InvalidCall, "archive already open");
    }
    try {
        const ByteSource* first = volume(0);
        if (!first) {
            return report(Status::MissingVolume, "cannot open the archive file");
        }
        const BlockHeader block = findMainHeader(*first);
        const MainHeader main = parseMainHeader(block);
        m_info.versionToExtract = main.versionToExtract;
        m_info.versionCreated = main.versionCreated;
        m_info.hostOs = main.hostOs;
        m_info.volumeNumber = main.volumeNumber;
        m_info.flags = block.flags;
        m_info.dosTime = main.dosTime;
        m_info.solid = (block.flags & kMainSolid) != 0;
        m_info.multiVolume = (block.flags & kMainMultiVolume) != 0;
        m_info.selfExtracting = (block.flags & kMainSfx) != 0;
        m_info.locked = (block.flags & kMainLocked) != 0;
        m_info.hasRecoveryRecord = (block.flags & kMainRecovery) != 0;
        m_info.startOffset = block.position;
        m_info.advert = main.advert;
        m_info.rawComment = commentText(main.packedComment);
        m_info.comment = toText(m_info.rawComment);
        // A solid set can only be decoded from its first volume: every entry depends on all before it.
        if (m_info.solid && m_info.multiVolume && main.volumeNumber != 0) {
            return report(Status::MissingVolume, "a solid volume set must be opened at its first volume");
        }
        m_volume = 0;
        m_position = block.end();
        m_atVolumeStart = true;
        m_orphansAllowed = main.volumeNumber != 0;
        m_isOpen = true;
        return Status::Ok;
    } catch (const DecodeError& e) {
        return report(e.status, e.reason);
    }
}

bool Archive::Impl::passOver() {
    if (!m_consumed && m_info.solid && carriesData(m_entry)) {
        m_chainIntact = false;
    }
    m_haveEntry = false;
    if (m_segmentsStatus != Status::Ok) {
        return false; // the walk cannot go on past an entry whose end was not found
    }
    if (m_afterVolume != m_volume) {
        m_atVolumeStart = false;
    }
    m_volume = m_afterVolume;
    m_position = m_afterPosition;
    return true;
}

void Archive::Impl::startEntry(const FileHeader& file, const BlockHeader& block) {
    Entry e;
    e.rawName = file.name;
    e.name = toText(file.name);
    e.rawComment = commentText(file.packedComment);
    e.comment = toText(e.rawComment);
    e.attributes = file.attributes;
    e.dosTime = file.dosTime;
    e.originalSize = file.originalSize;
    e.crc = file.crc;
    e.method = file.method;
    e.dictionaryBits = static_cast<std::uint8_t>((file.params & 0x0F) + 10);
    e.headerFlags = file.flags;
    e.isDirectory = (file.attributes & kAttrDirectory) != 0;
    e.encrypted = (file.flags & kFileEncrypted) != 0;
    e.solid = m_info.solid;
    e.firstVolume = m_volume;
    e.lastVolume = m_volume;
    m_entry = std::move(e);
    m_haveEntry = true;
    m_consumed = false;
    m_segments = {Segment{volume(m_volume), block.dataPosition, file.packedSize}};
    m_afterVolume = m_volume;
    m_afterPosition = block.end();
    followSegments(file);
}

void Archive::Impl::followSegments(const FileHeader& first) {
    m_segmentsStatus = Status::Ok;
    m_segmentsDetail.clear();
    FileHeader last = first;
    try {
        while (last.flags & kFileContinuesNext) {
            const unsigned next = m_afterVolume + 1;
            std::uint64_t position = 0;
            if (!enterVolume(next, position)) {
                m_segmentsStatus = Status::MissingVolume;
                m_segmentsDetail = "volume " + std::to_string(next) + " of the set is missing";
                break;
            }
            const ByteSource* source = volume(next);
            // The continuation is the first entry of the next volume; other blocks may come before it.
            BlockHeader block;
            do {
                if (!readBlock(*source, position, block)) {
                    corrupt("the next volume does not continue the entry");
                }
                position = block.end();
            } while (block.type != kBlockFile32 && block.type != kBlockFile64);
            const FileHeader file = parseFileHeader(block);
            if (!(file.flags & kFileContinuesPrevious) || file.name != first.name) {
                corrupt("the next volume does not continue the entry");
            }
            m_segments.push_back(Segment{source, block.dataPosition, file.packedSize});
            m_afterVolume = next;
            m_afterPosition = position;
            last = file;
        }
    } catch (const DecodeError& e) {
        m_segmentsStatus = e.status;
        m_segmentsDetail = e.reason;
    }
    // The last segment's header holds the CRC of the whole data; earlier ones hold a partial value.
    m_entry.crc = last.crc;
    m_entry.lastVolume = m_afterVolume;
    m_entry.packedSize = 0;
    for (const auto& s : m_segments) {
        m_entry.packedSize += s.size;
    }
    m_entry.complete = m_segmentsStatus == Status::Ok;
}

Status Archive::Impl::nextEntry() {
    if (!m_isOpen) {
        return report(Status::InvalidCall, "archive not open");
    }
    if (m_stopped != Status::Ok) {
        return report(m_stopped, m_stoppedDetail);
    }
    try {
        if (m_haveEntry && !passOver()) {
            return stop(m_segmentsStatus, m_segmentsDetail);
        }
        releaseBefore(m_volume);
        for (;;) {
            const ByteSource* source = volume(m_volume);
            if (!source) {
                fail(Status::ReadError, "volume no longer available");
            }
            BlockHeader block;
            if (!readBlock(*source, m_position, block)) {
                std::uint64_t position = 0;
                if (!m_info.multiVolume || !enterVolume(m_volume + 1, position)) {
                    return stop(Status::EndOfArchive, "end of archive");
                }
                ++m_volume;
                m_position = position;
                m_atVolumeStart = true;
                releaseBefore(m_volume);
                continue;
            }
            m_position = block.end();
            if (block.type != kBlockFile32 && block.type != kBlockFile64) {
                continue; // recovery records and unknown blocks carry nothing to extract
            }
            const FileHeader file = parseFileHeader(block);
            const bool firstInVolume = m_atVolumeStart;
            m_atVolumeStart = false;
            if (file.flags & kFileContinuesPrevious) {
                if (firstInVolume && m_orphansAllowed) {
                    continue;
                }
                corrupt("continued entry without its beginning");
            }
            m_orphansAllowed = false;
            startEntry(file, block);
            return Status::Ok;
        }
    } catch (const DecodeError& e) {
        return stop(e.status, e.reason);
    }
}

void Archive::Impl::setPassword(std::optional<std::string> password) {
    if (password) {
        password->resize(std::min(password->size(), AceCipher::kMaxPassword));
    }
    if (password != m_password) {
        m_cipher.reset();
    }
    m_password = std::move(password);
}

Status Archive::Impl::extract(const Sink* sink, const Progress* progress) {
    if (!m_haveEntry) {
        return report(Status::InvalidCall, "no current entry");
    }
    if (m_consumed && m_info.solid) {
        return report(Status::InvalidCall, "entry already decoded");
    }
    if (m_segmentsStatus != Status::Ok) {
        return report(m_segmentsStatus, m_segmentsDetail);
    }
    if (m_entry.isDirectory) {
        m_consumed = true;
        return Status::Ok;
    }
    const Status status = decode(sink, progress);
    if (status != Status::NeedsPassword) {
        m_consumed = true;
        if (status != Status::Ok && m_info.solid && carriesData(m_entry)) {
            m_chainIntact = false;
        }
    }
    return status;
}

Status Archive::Impl::decode(const Sink* sink, const Progress* progress) {
    const Entry& e = m_entry;
    if (e.method > static_cast<std::uint8_t>(Method::Blocked)) {
        return report(Status::Unsupported, "unknown compression method " + std::to_string(e.method));
    }
    if (e.method != 0 && e.dictionaryBits > kMaxDictionaryCode + 10) {
        return report(Status::Corrupt, "invalid dictionary size");
    }
    if (e.encrypted && e.originalSize > 0) {
        if (!m_password) {
            return report(Status::NeedsPassword, "the entry is encrypted");
        }
        // Blowfish works on 8-byte blocks; encrypted data is always padded to them.
        if (e.packedSize % 8 != 0) {
            return report(Status::Corrupt, "encrypted data is not a whole number of blocks");
        }
    }
    if (m_info.solid && !m_chainIntact && e.method != 0 && e.originalSize > 0) {
        return report(Status::SolidChainBroken, "an earlier entry of the solid archive was not decoded");
    }

    const bool needWindow = e.originalSize > 0 && (e.method != 0 || m_info.solid);
    if (needWindow && !m_window) {
        m_window = std::make_unique<Window>();
    }
    if (m_window) {
        m_window->startMember(m_info.solid);
    }
    AceCipher* cipher = nullptr;
    if (e.encrypted && e.originalSize > 0) {
        if (!m_cipher) {
            m_cipher = std::make_unique<AceCipher>(*m_password);
        }
        cipher = m_cipher.get();
    }

    std::uint64_t done = 0;
    const MemberOutput::Consumer consumer = [&](std::span<const std::uint8_t> bytes) {
        if (sink && *sink && !(*sink)(bytes)) {
            return false;
        }
        done += bytes.size();
        return !(progress && *progress) || (*progress)(done, e.originalSize);
    };
    MemberOutput out(&consumer);
    Status status = Status::Ok;
    std::string detail;
    try {
        PackedStream packed(m_segments, cipher);
        auto decoder =
            std::make_unique<MemberDecoder>(needWindow ? m_window.get() : nullptr, out, e.originalSize);
        decoder->decode(static_cast<Method>(e.method), packed, packed.size());
        if (out.crc() != e.crc) {
            status = Status::CrcMismatch;
            detail = "CRC mismatch";
        }
    } catch (const DecodeError& error) {
        status = error.status;
        detail = error.reason;
    }
    // Without a check value in the format, a wrong password can only show as data that does not decode
    // or does not match its CRC; damaged encrypted data looks exactly the same.
    if (e.encrypted && (status == Status::Corrupt || status == Status::CrcMismatch)) {
        return report(Status::BadPassword, "wrong password or damaged data (" + detail + ")");
    }
    return status == Status::Ok ? status : report(status, detail);
}

Status Archive::Impl::skip(const Progress* progress) {
    if (!m_haveEntry) {
        return report(Status::InvalidCall, "no current entry");
    }
    if (m_consumed) {
        return Status::Ok;
    }
    // Only a solid archive needs the data: the entries after it match against it.
    if (!m_info.solid || !carriesData(m_entry)) {
        m_consumed = true;
        return Status::Ok;
    }
    return extract(nullptr, progress);
}

Archive::Archive(VolumeProvider& volumes, ArchiveOptions options)
    : m_impl(std::make_unique<Impl>(volumes, options)) {}

Archive::~Archive() = default;

Status Archive::open() {
    return m_impl->open();
}

const ArchiveInfo& Archive::info() const {
    return m_impl->m_info;
}

void Archive::setPassword(std::string_view password) {
    m_impl->setPassword(std::string(password));
}

void Archive::clearPassword() {
    m_impl->setPassword(std::nullopt);
}

Status Archive::nextEntry() {
    return m_impl->nextEntry();
}

const Entry& Archive::entry() const {
    return m_impl->m_entry;
}

Status Archive::extractEntry(const Sink& sink) {
    return m_impl->extract(&sink, nullptr);
}

Status Archive::skipEntry(const Progress& progress) {
    return m_impl->skip(&progress);
}

const std::string& Archive::errorDetail() const {
    return m_impl->m_detail;
}

} // namespace brisko::acedec
