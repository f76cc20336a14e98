#include "unzip/CentralDirectory.h"

#include <algorithm>
#include <cstring>
#include <zlib.h>

#include "common/CodePage.h"

namespace brisko::enginelib {

namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kEntrySignature = 0x02014b50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kEntrySize = 46;
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kLongestComment = 0xFFFF;
constexpr std::uint16_t kUtf8Flag = 0x0800;
constexpr std::uint16_t kZip64Field = 0x0001;
constexpr std::uint16_t kUnicodePathField = 0x7075;

// Little-endian fields of a byte buffer, read without running past its end (a short read gives 0).
class Fields {
public:
    Fields(const unsigned char* data, std::size_t size) : m_data(data), m_size(size) {}
    bool has(std::size_t at, std::size_t count) const { return at <= m_size && count <= m_size - at; }
    std::uint64_t le(std::size_t at, int bytes) const {
        std::uint64_t value = 0;
        for (int i = bytes - 1; i >= 0; --i) {
            value = (value << 8) | m_data[at + static_cast<std::size_t>(i)];
        }
        return value;
    }
    std::string_view text(std::size_t at, std::size_t count) const {
        return {reinterpret_cast<const char*>(m_data + at), count};
    }

private:
    const unsigned char* m_data;
    std::size_t m_size;
};

struct End {
    std::uint64_t position = 0; // of the (Zip64) end record: the directory ends there
    std::uint64_t entries = 0;
    std::uint64_t directorySize = 0;
    std::uint64_t directoryOffset = 0; // as recorded, without any prefix
    bool zip64 = false;
};

// The last end record in the file's tail whose comment fits in the file.
std::optional<End> findEnd(const ArchiveBytes& bytes, std::uint64_t size) {
    const std::size_t tail =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, kEndSize + kLongestComment));
    std::vector<unsigned char> buffer(tail);
    if (tail < kEndSize || !bytes.readAt(size - tail, buffer.data(), tail)) {
        return std::nullopt;
    }
    const Fields f(buffer.data(), tail);
    for (std::size_t at = tail - kEndSize + 1; at-- > 0;) {
        if (f.le(at, 4) != kEndSignature || at + kEndSize + f.le(at + 20, 2) > tail) {
            continue;
        }
        End end;
        end.position = size - tail + at;
        end.entries = f.le(at + 10, 2);
        end.directorySize = f.le(at + 12, 4);
        end.directoryOffset = f.le(at + 16, 4);
        if (end.entries != 0xFFFF && end.directorySize != 0xFFFFFFFF && end.directoryOffset != 0xFFFFFFFF) {
            return end;
        }
        // Zip64: a locator just before the end record leads to the real numbers.
        unsigned char locator[kZip64LocatorSize];
        unsigned char record[kZip64EndSize];
        if (end.position < kZip64LocatorSize ||
            !bytes.readAt(end.position - kZip64LocatorSize, locator, sizeof locator) ||
            Fields(locator, sizeof locator).le(0, 4) != kZip64LocatorSignature) {
            return std::nullopt;
        }
        // The record lies before the locator; its recorded offset may be off by a prefix, so it is
        // looked for where the locator says and right before the locator.
        const std::uint64_t recorded = Fields(locator, sizeof locator).le(8, 8);
        const std::uint64_t before = end.position - kZip64LocatorSize;
        for (const std::uint64_t candidate :
             {recorded, before >= kZip64EndSize ? before - kZip64EndSize : before}) {
            if (candidate + kZip64EndSize <= before && bytes.readAt(candidate, record, sizeof record) &&
                Fields(record, sizeof record).le(0, 4) == kZip64EndSignature) {
                const Fields r(record, sizeof record);
                end.position = candidate;
                end.entries = r.le(32, 8);
                end.directorySize = r.le(40, 8);
                end.directoryOffset = r.le(48, 8);
                end.zip64 = true;
                return end;
            }
        }
        return std::nullopt;
    }
    return std::nullopt;
}

// The Zip64 extra field replaces those of the sizes and the offset that the record marks as too large.
void applyZip64(const Fields& extra, std::size_t at, std::size_t size, CentralEntry& entry) {
    std::size_t pos = at;
    const auto take = [&](std::uint64_t& value) {
        if (value == 0xFFFFFFFF && extra.has(pos, 8) && pos + 8 <= at + size) {
            value = extra.le(pos, 8);
            pos += 8;
        }
    };
    take(entry.uncompressedSize);
    take(entry.compressedSize);
    take(entry.localOffset);
}

std::optional<std::string> unicodePathOf(const Fields& extra, std::size_t at, std::size_t size,
                                         std::string_view rawName) {
    if (size < 5 || extra.le(at, 1) != 1) {
        return std::nullopt;
    }
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(rawName.data()), static_cast<uInt>(rawName.size())));
    const std::string text(extra.text(at + 5, size - 5));
    if (extra.le(at + 1, 4) != crc || !isValidUtf8(text)) {
        return std::nullopt; // the name was changed after the field was written: the field is stale
    }
    return text;
}

} // namespace

bool isDosHost(std::uint8_t host) {
    return host == 0 || host == 6 || host == 11 || host == 14;
}

std::optional<std::string> entryNameOf(std::string_view raw, std::uint16_t flags, std::uint8_t host,
                                       const std::optional<std::string>& unicodePath) {
    if ((flags & kUtf8Flag) != 0) {
        return isValidUtf8(raw) ? std::optional<std::string>(raw) : std::nullopt;
    }
    if (unicodePath) {
        return unicodePath;
    }
    if (isDosHost(host) || !isValidUtf8(raw)) {
        return toUtf8(raw, CodePage::Cp437);
    }
    return std::string(raw);
}

CentralDirectory readCentralDirectory(const ArchiveBytes& bytes) {
    const auto size = static_cast<std::uint64_t>(bytes.size());
    CentralDirectory directory;
    const std::optional<End> end = findEnd(bytes, size);
    if (!end || end->directorySize > end->position) {
        return directory;
    }
    // Where the directory really is; the difference to the recorded offset is a prefix (an SFX stub)
    // that every recorded offset leaves out.
    const std::uint64_t start = end->position - end->directorySize;
    if (start < end->directoryOffset) {
        return directory;
    }
    const std::uint64_t prefix = start - end->directoryOffset;
    std::vector<unsigned char> buffer(static_cast<std::size_t>(end->directorySize));
    if (!bytes.readAt(start, buffer.data(), buffer.size())) {
        return directory;
    }
    const Fields f(buffer.data(), buffer.size());
    // No more than the directory can hold, whatever the end record claims.
    directory.entries.reserve(
        static_cast<std::size_t>(std::min<std::uint64_t>(end->entries, buffer.size() / kEntrySize)));
    std::size_t at = 0;
    while (at < buffer.size()) {
        if (!f.has(at, kEntrySize) || f.le(at, 4) != kEntrySignature) {
            return directory;
        }
        const std::size_t nameLength = f.le(at + 28, 2);
        const std::size_t extraLength = f.le(at + 30, 2);
        const std::size_t commentLength = f.le(at + 32, 2);
        if (!f.has(at + kEntrySize, nameLength + extraLength + commentLength)) {
            return directory;
        }
        CentralEntry entry;
        entry.host = static_cast<std::uint8_t>(f.le(at + 4, 2) >> 8);
        entry.flags = static_cast<std::uint16_t>(f.le(at + 8, 2));
        entry.compressedSize = f.le(at + 20, 4);
        entry.uncompressedSize = f.le(at + 24, 4);
        entry.localOffset = f.le(at + 42, 4);
        entry.rawName = std::string(f.text(at + kEntrySize, nameLength));
        std::optional<std::string> unicodePath;
        const std::size_t extraEnd = at + kEntrySize + nameLength + extraLength;
        for (std::size_t field = at + kEntrySize + nameLength; field + 4 <= extraEnd;) {
            const auto id = static_cast<std::uint16_t>(f.le(field, 2));
            const std::size_t length = std::min<std::size_t>(f.le(field + 2, 2), extraEnd - field - 4);
            if (id == kZip64Field) {
                applyZip64(f, field + 4, length, entry);
            } else if (id == kUnicodePathField) {
                unicodePath = unicodePathOf(f, field + 4, length, entry.rawName);
            }
            field += 4 + length;
        }
        entry.name = entryNameOf(entry.rawName, entry.flags, entry.host, unicodePath);
        entry.localOffset += prefix;
        directory.entries.push_back(std::move(entry));
        at = extraEnd + commentLength;
    }
    // Without Zip64 the end record counts in 16 bits; writers of more entries let it wrap.
    const std::uint64_t counted = end->zip64 ? directory.entries.size() : directory.entries.size() & 0xFFFF;
    if (counted != end->entries) {
        directory.verdict = CentralDirectory::Verdict::CountMismatch;
        return directory;
    }
    const auto byOffset = [](const CentralEntry& a, const CentralEntry& b) {
        return a.localOffset < b.localOffset;
    };
    // Writers list entries in the order of their data: sorting is the exception.
    if (!std::is_sorted(directory.entries.begin(), directory.entries.end(), byOffset)) {
        std::stable_sort(directory.entries.begin(), directory.entries.end(), byOffset);
    }
    // Each entry needs at least its local header and its data before the next one begins, and the
    // last before the directory: entries that share bytes are how a few kilobytes unpack to terabytes.
    for (std::size_t i = 0; i < directory.entries.size(); ++i) {
        const CentralEntry& entry = directory.entries[i];
        const std::uint64_t next =
            i + 1 < directory.entries.size() ? directory.entries[i + 1].localOffset : start;
        if (entry.localOffset > next || next - entry.localOffset < kLocalHeaderSize ||
            next - entry.localOffset - kLocalHeaderSize < entry.compressedSize) {
            directory.verdict = CentralDirectory::Verdict::Overlapping;
            return directory;
        }
    }
    directory.verdict = CentralDirectory::Verdict::Ok;
    return directory;
}

const char* describe(CentralDirectory::Verdict verdict) {
    switch (verdict) {
    case CentralDirectory::Verdict::Ok:
        return "";
    case CentralDirectory::Verdict::Unreadable:
        return "central directory cannot be read";
    case CentralDirectory::Verdict::CountMismatch:
        return "central directory does not hold the entries it counts";
    case CentralDirectory::Verdict::Overlapping:
        return "entries overlap each other or the central directory";
    }
    return "";
}

bool describesEntry(const char* readerName, const CentralEntry& central) {
    if (readerName == nullptr) {
        return !central.name;
    }
    const auto slashed = [](std::string text) {
        std::replace(text.begin(), text.end(), '\\', '/');
        return text;
    };
    const std::string name = slashed(readerName);
    return name == slashed(central.rawName) || (central.name && name == slashed(*central.name));
}

} // namespace brisko::enginelib
