#include <algorithm>
#include <cstring>
#include <memory>

#include "api/unrar.h"
#include "unrar/Archive.h"
#include "unrar/LegacyCipher.h"
#include "rardec/Unpack50.h"

namespace brisko::enginelib::rar {

namespace {

constexpr std::uint8_t kRar4Signature[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
constexpr std::uint8_t kRar5Signature[8] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
// SFX stubs seen in the wild are far smaller; the bound keeps a search of a large non-archive cheap.
constexpr std::uint64_t kSignatureSearch = std::uint64_t(4) << 20;
constexpr std::size_t kMaxHeader = std::size_t(2) << 20;
// Dictionaries above this size are refused by the decoder in use.
constexpr int kMaxKdfLog2 = 24;

// A bounds-checked little-endian reader over one header; a read past the end leaves ok() false.
class Fields {
public:
    Fields(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool ok() const { return m_ok; }
    std::size_t pos() const { return m_pos; }
    void seek(std::size_t pos) {
        m_ok = m_ok && pos <= m_size;
        m_pos = m_ok ? pos : m_size;
    }
    std::uint64_t le(int bytes) {
        if (!need(static_cast<std::size_t>(bytes))) {
            return 0;
        }
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= std::uint64_t(m_data[m_pos + static_cast<std::size_t>(i)]) << (8 * i);
        }
        m_pos += static_cast<std::size_t>(bytes);
        return value;
    }
    std::uint64_t vint() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 70; shift += 7) {
            if (!need(1)) {
                return 0;
            }
            const std::uint8_t byte = m_data[m_pos++];
            if (shift < 64) {
                value |= std::uint64_t(byte & 0x7F) << shift;
            }
            if ((byte & 0x80) == 0) {
                return value;
            }
        }
        m_ok = false;
        return 0;
    }
    const std::uint8_t* bytes(std::size_t count) {
        if (!need(count)) {
            return nullptr;
        }
        const std::uint8_t* start = m_data + m_pos;
        m_pos += count;
        return start;
    }

private:
    bool need(std::size_t count) {
        if (!m_ok || m_size - m_pos < count) {
            m_ok = false;
        }
        return m_ok;
    }

    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string fromUtf16(const std::vector<std::uint16_t>& units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::uint32_t cp = units[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        appendUtf8(out, cp);
    }
    return out;
}

bool validUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        const std::size_t extra = c < 0xC2 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : c < 0xF5 ? 3 : 0;
        if (extra == 0 || i + extra >= text.size()) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

// Names without a Unicode form are bytes in the creator's code page. Valid UTF-8 is taken as such
// (archives made on Unix); anything else is read as Latin-1 so that the result is valid text.
std::string legacyName(std::string_view raw) {
    if (validUtf8(raw)) {
        return std::string(raw);
    }
    std::string out;
    for (const char c : raw) {
        appendUtf8(out, static_cast<unsigned char>(c));
    }
    return out;
}

// RAR 4 Unicode names: the legacy name, a zero byte, then UTF-16 packed against the legacy name.
std::string rar4Name(const std::uint8_t* data, std::size_t size, bool unicode) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    std::string name;
    const std::size_t zero = raw.find('\0');
    if (!unicode) {
        name = legacyName(raw.substr(0, zero));
    } else if (zero == std::string_view::npos) {
        name = legacyName(raw);
    } else {
        const std::string_view legacy = raw.substr(0, zero);
        const auto* enc = data + zero + 1;
        const std::size_t encSize = size - zero - 1;
        std::vector<std::uint16_t> units;
        std::size_t pos = 0;
        const std::uint16_t high = encSize > 0 ? static_cast<std::uint16_t>(enc[pos++] << 8) : 0;
        unsigned flags = 0;
        int flagBits = 0;
        while (pos < encSize) {
            if (flagBits == 0) {
                flags = enc[pos++];
                flagBits = 8;
                if (pos >= encSize) {
                    break;
                }
            }
            const unsigned op = (flags >> 6) & 3;
            flags <<= 2;
            flagBits -= 2;
            if (op == 0) {
                units.push_back(enc[pos++]);
            } else if (op == 1) {
                units.push_back(static_cast<std::uint16_t>(high | enc[pos++]));
            } else if (op == 2) {
                if (pos + 1 >= encSize) {
                    break;
                }
                units.push_back(static_cast<std::uint16_t>(enc[pos] | (enc[pos + 1] << 8)));
                pos += 2;
            } else {
                const std::uint8_t length = enc[pos++];
                if ((length & 0x80) != 0) {
                    if (pos >= encSize) {
                        break;
                    }
                    const std::uint8_t correction = enc[pos++];
                    for (int k = 0; k < (length & 0x7F) + 2 && units.size() < legacy.size(); ++k) {
                        const auto byte = static_cast<std::uint8_t>(legacy[units.size()]);
                        units.push_back(static_cast<std::uint16_t>(high | ((byte + correction) & 0xFF)));
                    }
                } else {
                    for (int k = 0; k < length + 2 && units.size() < legacy.size(); ++k) {
                        units.push_back(static_cast<std::uint8_t>(legacy[units.size()]));
                    }
                }
            }
        }
        name = fromUtf16(units);
    }
    for (char& c : name) {
        if (c == '\\') {
            c = '/';
        }
    }
    return name;
}

timespec fromDosTime(std::uint32_t dos) {
    struct tm parts {};
    parts.tm_sec = static_cast<int>((dos & 0x1F) * 2);
    parts.tm_min = static_cast<int>((dos >> 5) & 0x3F);
    parts.tm_hour = static_cast<int>((dos >> 11) & 0x1F);
    parts.tm_mday = static_cast<int>((dos >> 16) & 0x1F);
    parts.tm_mon = static_cast<int>((dos >> 21) & 0x0F) - 1;
    parts.tm_year = static_cast<int>(dos >> 25) + 80;
    parts.tm_isdst = -1;
    const time_t seconds = mktime(&parts);
    return seconds == time_t(-1) ? timespec{0, UTIME_NOW} : timespec{seconds, 0};
}

std::uint32_t toDosTime(time_t seconds) {
    struct tm parts {};
    if (localtime_r(&seconds, &parts) == nullptr || parts.tm_year < 80) {
        return (1u << 21) | (1u << 16);
    }
    return (std::uint32_t(parts.tm_year - 80) << 25) | (std::uint32_t(parts.tm_mon + 1) << 21) |
           (std::uint32_t(parts.tm_mday) << 16) | (std::uint32_t(parts.tm_hour) << 11) |
           (std::uint32_t(parts.tm_min) << 5) | (std::uint32_t(parts.tm_sec) / 2);
}

std::string hexKey(const std::string& password, const std::uint8_t* salt, std::size_t saltSize, int extra) {
    std::string key = password;
    key += '\0';
    if (salt != nullptr) {
        key.append(reinterpret_cast<const char*>(salt), saltSize);
    }
    key += static_cast<char>(extra);
    return key;
}

class Scanner {
public:
    Scanner(Volumes& volumes, const std::string* password, KeyCache& keys, Archive& archive)
        : m_volumes(volumes), m_password(password), m_keys(keys), m_archive(archive) {}

    int run(bool& needsPassword);

private:
    int scanRar4(std::size_t volume, std::uint64_t start, bool& more);
    int scanRar5(std::size_t volume, std::uint64_t start, bool& more);
    int rar4File(const std::vector<std::uint8_t>& header, std::size_t volume, std::uint64_t dataOffset,
                 std::uint64_t& packed);
    int rar5File(Fields& fields, std::size_t bodyEnd, std::size_t extraSize, std::uint64_t dataSize,
                 std::uint64_t hflags, std::size_t volume, std::uint64_t dataOffset);
    int addPiece(Entry& entry, bool continued, bool continues);

    Volumes& m_volumes;
    const std::string* m_password;
    KeyCache& m_keys;
    Archive& m_archive;
    long m_pending = -1; // the entry whose data continues in the next volume
    bool m_isVolume = false;
    bool m_needsPassword = false;
    std::uint8_t m_headerKey[32] = {};
    bool m_haveHeaderKey = false;
};

int Scanner::addPiece(Entry& entry, bool continued, bool continues) {
    if (continued) {
        if (m_pending < 0 || m_archive.entries[static_cast<std::size_t>(m_pending)].name != entry.name) {
            return ERAR_BAD_ARCHIVE; // a piece without its start: a volume out of order or foreign
        }
        Entry& whole = m_archive.entries[static_cast<std::size_t>(m_pending)];
        whole.pieces.push_back(entry.pieces.front());
        whole.packedSize += entry.packedSize;
        if (!continues) {
            // The last piece carries the checksum of the whole file and, in RAR 5, the encryption
            // record that says whether it is a MAC.
            whole.hasCrc = entry.hasCrc;
            whole.crc = entry.crc;
            whole.hasBlake = entry.hasBlake;
            std::memcpy(whole.blake, entry.blake, sizeof whole.blake);
            whole.tweaked = entry.tweaked;
            m_pending = -1;
        }
        return 0;
    }
    if (m_pending >= 0) {
        return ERAR_BAD_ARCHIVE; // the split file does not go on where it should
    }
    if (continues) {
        m_pending = static_cast<long>(m_archive.entries.size());
    }
    m_archive.entries.push_back(std::move(entry));
    return 0;
}

int Scanner::rar4File(const std::vector<std::uint8_t>& header, std::size_t volume, std::uint64_t dataOffset,
                      std::uint64_t& packed) {
    Fields f(header.data(), header.size());
    f.seek(3);
    const auto flags = static_cast<std::uint32_t>(f.le(2));
    f.seek(7);
    std::uint64_t packLow = f.le(4);
    std::uint64_t unpLow = f.le(4);
    Entry entry;
    entry.volume = volume;
    entry.hostOs = static_cast<std::uint32_t>(f.le(1));
    entry.crc = static_cast<std::uint32_t>(f.le(4));
    entry.hasCrc = true;
    entry.dosTime = static_cast<std::uint32_t>(f.le(4));
    entry.unpackVersion = static_cast<std::uint32_t>(f.le(1));
    entry.method = static_cast<std::uint32_t>(f.le(1));
    const auto nameSize = static_cast<std::size_t>(f.le(2));
    entry.attributes = static_cast<std::uint32_t>(f.le(4));
    if ((flags & 0x0100) != 0) {
        packLow |= f.le(4) << 32;
        unpLow |= f.le(4) << 32;
    }
    const std::uint8_t* name = f.bytes(nameSize);
    if ((flags & 0x0400) != 0) {
        const std::uint8_t* salt = f.bytes(8);
        if (salt != nullptr) {
            std::memcpy(entry.salt, salt, 8);
            entry.hasSalt = true;
        }
    }
    if (!f.ok() || name == nullptr) {
        return ERAR_BAD_DATA;
    }
    packed = packLow;
    entry.unpackedSize = unpLow;
    entry.packedSize = packLow;
    entry.name = rar4Name(name, nameSize, (flags & 0x0200) != 0);
    entry.compression = flags;
    entry.folder = (flags & 0x00E0) == 0x00E0;
    entry.link = entry.hostOs == 3 && (entry.attributes & 0170000) == 0120000;
    entry.solid = (flags & 0x0010) != 0;
    entry.encrypted = (flags & 0x0004) != 0;
    entry.mtime = fromDosTime(entry.dosTime);
    entry.pieces.push_back({volume, dataOffset, packLow});
    // Our decoders take RAR 1.5 (UnpVer up to 15), 2.0 (20, 26) and 2.9 (29, 36); the ciphers before
    // AES go with UnpVer 13, 15, 20 and 26.
    const unsigned version = entry.unpackVersion;
    const bool decodable = version <= 15 || version == 20 || version == 26 || version == 29 || version == 36;
    if (entry.folder) {
        entry.hasCrc = false;
    } else if (entry.encrypted && version < 29 && !legacyCipherFor(version)) {
        entry.unsupported = ERAR_UNKNOWN_FORMAT;
    } else if ((entry.method != 0x30 && !decodable) || entry.method < 0x30 || entry.method > 0x35) {
        entry.unsupported = ERAR_UNKNOWN_FORMAT;
    }
    return addPiece(entry, (flags & 0x0001) != 0, (flags & 0x0002) != 0);
}

int Scanner::scanRar4(std::size_t volume, std::uint64_t start, bool& more) {
    more = false;
    const std::uint64_t fileSize = m_volumes.size(volume);
    std::uint64_t pos = start + sizeof kRar4Signature;
    std::uint8_t fixed[7];
    if (!m_volumes.read(volume, pos, fixed, 7) || fixed[2] != 0x73) {
        return ERAR_BAD_DATA;
    }
    const std::uint32_t mainFlags = fixed[3] | (fixed[4] << 8);
    const std::size_t mainSize = fixed[5] | (fixed[6] << 8);
    std::vector<std::uint8_t> main(mainSize);
    if (mainSize < 13 || !m_volumes.read(volume, pos, main.data(), mainSize)) {
        return ERAR_BAD_DATA;
    }
    // Old archives with an embedded comment cover only the fixed fields with the header CRC.
    const std::size_t covered = (mainFlags & 0x0002) != 0 ? ((mainFlags & 0x0200) != 0 ? 14 : 13) : mainSize;
    if (covered > mainSize ||
        (crc32(0, main.data() + 2, covered - 2) & 0xFFFF) != std::uint32_t(main[0] | (main[1] << 8))) {
        return ERAR_BAD_DATA;
    }
    if (volume == 0) {
        m_isVolume = (mainFlags & 0x0001) != 0;
        m_archive.solid = (mainFlags & 0x0008) != 0;
        m_archive.headersEncrypted = (mainFlags & 0x0080) != 0;
    } else if ((mainFlags & 0x0001) == 0 || (mainFlags & 0x0100) != 0) {
        return ERAR_BAD_ARCHIVE; // not a later volume of this set
    }
    pos += mainSize;
    bool sawEnd = false;
    while (!sawEnd) {
        std::vector<std::uint8_t> header;
        if (m_archive.headersEncrypted) {
            if (m_password == nullptr) {
                m_needsPassword = true;
                return ERAR_BAD_DATA;
            }
            std::uint8_t salt[8];
            std::uint8_t first[16];
            if (m_volumes.readSome(volume, pos, salt, 1) == 0) {
                break;
            }
            if (!m_volumes.read(volume, pos, salt, 8) || !m_volumes.read(volume, pos + 8, first, 16)) {
                return ERAR_BAD_DATA;
            }
            const Rar3Key& key = m_keys.rar3(*m_password, salt);
            CbcDecryptor cipher(key.key, 16, key.iv);
            cipher.decrypt(first, 16);
            const std::size_t size = first[5] | (first[6] << 8);
            if (size < 7) {
                m_needsPassword = true;
                return ERAR_BAD_DATA;
            }
            const std::size_t total = (size + 15) / 16 * 16;
            header.assign(first, first + 16);
            header.resize(total);
            if (total > 16) {
                if (!m_volumes.read(volume, pos + 24, header.data() + 16, total - 16)) {
                    return ERAR_BAD_DATA;
                }
                cipher.decrypt(header.data() + 16, total - 16);
            }
            header.resize(size);
            pos += 8 + total;
        } else {
            std::uint8_t head[7];
            const long long got = m_volumes.readSome(volume, pos, head, 7);
            if (got == 0) {
                break; // old volumes may end without an end block
            }
            const std::size_t size = head[5] | (head[6] << 8);
            if (got < 7 || size < 7) {
                return ERAR_BAD_DATA;
            }
            header.resize(size);
            if (!m_volumes.read(volume, pos, header.data(), size)) {
                return ERAR_BAD_DATA;
            }
            pos += size;
        }
        const std::uint8_t type = header[2];
        const std::uint32_t flags = header[3] | (header[4] << 8);
        // The old block types cover varying parts of themselves with the CRC.
        const bool checked = type >= 0x73 && type != 0x75 && type != 0x76 && type != 0x77 && type != 0x79 &&
                             !(type == 0x74 && (flags & 0x0008) != 0);
        if (checked && (crc32(0, header.data() + 2, header.size() - 2) & 0xFFFF) !=
                           std::uint32_t(header[0] | (header[1] << 8))) {
            if (m_archive.headersEncrypted) {
                m_needsPassword = true;
            }
            return ERAR_BAD_DATA;
        }
        std::uint64_t dataSize = 0;
        if ((flags & 0x8000) != 0 && header.size() >= 11) {
            dataSize = header[7] | (header[8] << 8) | (header[9] << 16) | (std::uint64_t(header[10]) << 24);
        }
        if (type == 0x74) {
            const int result = rar4File(header, volume, pos, dataSize);
            if (result != 0) {
                return result;
            }
        } else if (type == 0x7B) {
            more = (flags & 0x0001) != 0;
            if ((flags & 0x0008) != 0) {
                Fields f(header.data(), header.size());
                f.seek((flags & 0x0002) != 0 ? 11 : 7);
                const auto number = static_cast<std::size_t>(f.le(2));
                if (f.ok() && number != volume) {
                    return ERAR_BAD_ARCHIVE;
                }
            }
            sawEnd = true;
        }
        pos += dataSize;
        if (pos > fileSize) {
            return ERAR_BAD_DATA; // cut short
        }
    }
    if (!sawEnd) {
        more = m_isVolume && m_pending >= 0;
    }
    return 0;
}

int Scanner::rar5File(Fields& f, std::size_t bodyEnd, std::size_t extraSize, std::uint64_t dataSize,
                      std::uint64_t hflags, std::size_t volume, std::uint64_t dataOffset) {
    Entry entry;
    entry.volume = volume;
    const std::uint64_t fileFlags = f.vint();
    entry.unpackedSize = f.vint();
    entry.sizeUnknown = (fileFlags & 0x8) != 0;
    entry.attributes = static_cast<std::uint32_t>(f.vint());
    if ((fileFlags & 0x2) != 0) {
        entry.mtime = {static_cast<time_t>(f.le(4)), 0};
    }
    if ((fileFlags & 0x4) != 0) {
        entry.crc = static_cast<std::uint32_t>(f.le(4));
        entry.hasCrc = true;
    }
    entry.compression = static_cast<std::uint32_t>(f.vint());
    const std::uint64_t host = f.vint();
    const auto nameSize = static_cast<std::size_t>(f.vint());
    const std::uint8_t* name = f.bytes(nameSize);
    if (!f.ok() || name == nullptr || extraSize > bodyEnd || f.pos() > bodyEnd - extraSize) {
        return ERAR_BAD_DATA;
    }
    entry.name = legacyName(std::string_view(reinterpret_cast<const char*>(name), nameSize));
    f.seek(bodyEnd - extraSize);
    while (f.ok() && f.pos() < bodyEnd) {
        const std::uint64_t recordSize = f.vint();
        const std::size_t recordStart = f.pos();
        if (!f.ok() || recordSize == 0 || recordSize > bodyEnd - recordStart) {
            return ERAR_BAD_DATA;
        }
        const std::size_t recordEnd = recordStart + static_cast<std::size_t>(recordSize);
        const std::uint64_t type = f.vint();
        if (type == 1) {
            const std::uint64_t version = f.vint();
            const std::uint64_t encFlags = f.vint();
            entry.kdfLog2 = static_cast<int>(f.le(1));
            const std::uint8_t* salt = f.bytes(16);
            const std::uint8_t* iv = f.bytes(16);
            const std::uint8_t* check = (encFlags & 0x1) != 0 ? f.bytes(12) : nullptr;
            if (salt == nullptr || iv == nullptr) {
                return ERAR_BAD_DATA;
            }
            entry.encrypted = true;
            entry.hasSalt = true;
            std::memcpy(entry.salt, salt, 16);
            std::memcpy(entry.iv, iv, 16);
            if (check != nullptr) {
                entry.hasCheck = true;
                std::memcpy(entry.check, check, 12);
            }
            entry.tweaked = (encFlags & 0x2) != 0;
            if (version != 0 || entry.kdfLog2 > kMaxKdfLog2) {
                entry.unsupported = ERAR_UNKNOWN_FORMAT;
            }
        } else if (type == 2) {
            if (f.vint() == 0) {
                const std::uint8_t* digest = f.bytes(32);
                if (digest != nullptr) {
                    entry.hasBlake = true;
                    std::memcpy(entry.blake, digest, 32);
                }
            }
        } else if (type == 3) {
            const std::uint64_t timeFlags = f.vint();
            if ((timeFlags & 0x2) != 0) {
                if ((timeFlags & 0x1) != 0) {
                    entry.mtime = {static_cast<time_t>(f.le(4)), 0};
                    const int others = ((timeFlags & 0x4) != 0) + ((timeFlags & 0x8) != 0);
                    f.bytes(static_cast<std::size_t>(others) * 4);
                    if ((timeFlags & 0x10) != 0) {
                        const auto nanoseconds = static_cast<long>(f.le(4));
                        if (f.ok() && nanoseconds < 1000000000) {
                            entry.mtime.tv_nsec = nanoseconds;
                        }
                    }
                } else {
                    // Windows FILETIME: 100 ns units since 1601.
                    const std::uint64_t filetime = f.le(8);
                    constexpr std::uint64_t kEpochDelta = 116444736000000000ull;
                    if (filetime >= kEpochDelta) {
                        const std::uint64_t since = filetime - kEpochDelta;
                        entry.mtime = {static_cast<time_t>(since / 10000000),
                                       static_cast<long>(since % 10000000) * 100};
                    }
                }
            }
        } else if (type == 5) {
            entry.redirect = static_cast<Redirect>(f.vint());
            f.vint();
            const auto targetSize = static_cast<std::size_t>(f.vint());
            const std::uint8_t* target = f.bytes(targetSize);
            if (target == nullptr) {
                return ERAR_BAD_DATA;
            }
            entry.target.assign(reinterpret_cast<const char*>(target), targetSize);
        }
        f.seek(recordEnd);
    }
    if (!f.ok()) {
        return ERAR_BAD_DATA;
    }
    entry.folder = (fileFlags & 0x1) != 0;
    entry.link = entry.redirect == Redirect::UnixLink || entry.redirect == Redirect::WindowsLink;
    entry.hostOs = host == 0 ? 2 : host == 1 ? 3 : static_cast<std::uint32_t>(host);
    entry.unpackVersion = 50;
    entry.method = 0x30 + ((entry.compression >> 7) & 7);
    entry.solid = (entry.compression & 0x40) != 0;
    entry.dosTime = toDosTime(entry.mtime.tv_nsec == UTIME_NOW ? time(nullptr) : entry.mtime.tv_sec);
    entry.packedSize = dataSize;
    entry.pieces.push_back({volume, dataOffset, dataSize});
    if (!entry.folder && entry.redirect == Redirect::None && !rardec::parseRar5Compression(entry.compression).known) {
        entry.unsupported = ERAR_UNKNOWN_FORMAT; // a compression version our decoder does not read
    }
    return addPiece(entry, (hflags & 0x8) != 0, (hflags & 0x10) != 0);
}

int Scanner::scanRar5(std::size_t volume, std::uint64_t start, bool& more) {
    more = false;
    const std::uint64_t fileSize = m_volumes.size(volume);
    std::uint64_t pos = start + sizeof kRar5Signature;
    bool sawMain = false;
    m_haveHeaderKey = false; // every volume repeats its own plain encryption header

    for (;;) {
        std::vector<std::uint8_t> header;
        if (m_haveHeaderKey) {
            std::uint8_t iv[16];
            std::uint8_t first[16];
            if (!m_volumes.read(volume, pos, iv, 16) || !m_volumes.read(volume, pos + 16, first, 16)) {
                return ERAR_BAD_DATA;
            }
            CbcDecryptor cipher(m_headerKey, 32, iv);
            cipher.decrypt(first, 16);
            Fields sizeField(first + 4, 12);
            const std::uint64_t size = sizeField.vint();
            if (!sizeField.ok() || size == 0 || size > kMaxHeader) {
                return ERAR_BAD_DATA;
            }
            const std::size_t used = 4 + sizeField.pos() + static_cast<std::size_t>(size);
            const std::size_t total = (used + 15) / 16 * 16;
            header.assign(first, first + 16);
            header.resize(total);
            if (total > 16) {
                if (!m_volumes.read(volume, pos + 32, header.data() + 16, total - 16)) {
                    return ERAR_BAD_DATA;
                }
                cipher.decrypt(header.data() + 16, total - 16);
            }
            header.resize(used);
            pos += 16 + total;
        } else {
            std::uint8_t head[14];
            const long long got = m_volumes.readSome(volume, pos, head, sizeof head);
            if (got == 0 && sawMain) {
                more = m_isVolume && m_pending >= 0;
                return 0;
            }
            Fields sizeField(head + 4, got > 4 ? static_cast<std::size_t>(got) - 4 : 0);
            const std::uint64_t size = sizeField.vint();
            if (got < 6 || !sizeField.ok() || size == 0 || size > kMaxHeader) {
                return ERAR_BAD_DATA;
            }
            header.resize(4 + sizeField.pos() + static_cast<std::size_t>(size));
            if (!m_volumes.read(volume, pos, header.data(), header.size())) {
                return ERAR_BAD_DATA;
            }
            pos += header.size();
        }
        const std::uint32_t stored =
            header[0] | (header[1] << 8) | (header[2] << 16) | (std::uint32_t(header[3]) << 24);
        if (crc32(0, header.data() + 4, header.size() - 4) != stored) {
            return ERAR_BAD_DATA;
        }
        Fields f(header.data(), header.size());
        f.seek(4);
        f.vint();
        const std::uint64_t type = f.vint();
        const std::uint64_t hflags = f.vint();
        const std::size_t extraSize = (hflags & 0x1) != 0 ? static_cast<std::size_t>(f.vint()) : 0;
        const std::uint64_t dataSize = (hflags & 0x2) != 0 ? f.vint() : 0;
        if (!f.ok()) {
            return ERAR_BAD_DATA;
        }
        if (type == 4) {
            const std::uint64_t version = f.vint();
            const std::uint64_t encFlags = f.vint();
            const int kdf = static_cast<int>(f.le(1));
            const std::uint8_t* salt = f.bytes(16);
            const std::uint8_t* check = (encFlags & 0x1) != 0 ? f.bytes(12) : nullptr;
            if (!f.ok() || version != 0 || kdf > kMaxKdfLog2) {
                return ERAR_UNKNOWN_FORMAT;
            }
            m_archive.headersEncrypted = true;
            if (m_password == nullptr) {
                m_needsPassword = true;
                return ERAR_BAD_DATA;
            }
            const Rar5Keys& keys = m_keys.rar5(*m_password, salt, kdf);
            if (check != nullptr && std::memcmp(keys.check, check, 8) != 0) {
                m_needsPassword = true;
                return ERAR_BAD_DATA;
            }
            std::memcpy(m_headerKey, keys.key, 32);
            m_haveHeaderKey = true;
        } else if (type == 1) {
            const std::uint64_t archiveFlags = f.vint();
            const std::uint64_t number = (archiveFlags & 0x2) != 0 ? f.vint() : 0;
            if (volume == 0) {
                m_isVolume = (archiveFlags & 0x1) != 0;
                m_archive.solid = (archiveFlags & 0x4) != 0;
            } else if ((archiveFlags & 0x1) == 0) {
                return ERAR_BAD_ARCHIVE;
            }
            if (number != volume) {
                return ERAR_BAD_ARCHIVE;
            }
            sawMain = true;
        } else if (type == 2) {
            const int result = rar5File(f, header.size(), extraSize, dataSize, hflags, volume, pos);
            if (result != 0) {
                return result;
            }
        } else if (type == 5) {
            more = (f.vint() & 0x1) != 0;
            return 0;
        }
        pos += dataSize;
        if (pos > fileSize) {
            return ERAR_BAD_DATA;
        }
    }
}

int Scanner::run(bool& needsPassword) {
    int result = 0;
    std::size_t volume = 0;
    Format format = Format::Rar4;
    for (;;) {
        std::uint64_t start = 0;
        Format volumeFormat = Format::Rar4;
        if (!m_volumes.open(volume)) {
            result = ERAR_EOPEN;
            break;
        }
        if (!findSignature(m_volumes, volume, start, volumeFormat)) {
            std::uint8_t old[4] = {};
            m_volumes.read(volume, 0, old, 4);
            result = volume == 0 && std::memcmp(old, "RE~^", 4) == 0 ? ERAR_UNKNOWN_FORMAT : ERAR_BAD_ARCHIVE;
            break;
        }
        if (volume == 0) {
            format = volumeFormat;
            m_archive.format = format;
        } else if (volumeFormat != format) {
            result = ERAR_BAD_ARCHIVE;
            break;
        }
        bool more = false;
        result = format == Format::Rar4 ? scanRar4(volume, start, more) : scanRar5(volume, start, more);
        if (result != 0) {
            break;
        }
        if (!m_isVolume || !more) {
            if (m_pending >= 0) {
                result = ERAR_BAD_ARCHIVE;
            }
            break;
        }
        const std::string next = nextVolumeName(m_volumes.path(0), m_volumes.path(volume));
        if (next.empty()) {
            result = ERAR_EOPEN;
            break;
        }
        m_volumes.add(next);
        ++volume;
    }
    needsPassword = m_needsPassword || m_archive.headersEncrypted;
    return result;
}

} // namespace

const Rar3Key& KeyCache::rar3(const std::string& password, const std::uint8_t* salt) {
    const std::string key = hexKey(password, salt, 8, 0);
    auto found = m_rar3.find(key);
    if (found == m_rar3.end()) {
        found = m_rar3.emplace(key, deriveRar3Key(password, salt)).first;
    }
    return found->second;
}

const Rar5Keys& KeyCache::rar5(const std::string& password, const std::uint8_t* salt, int log2Count) {
    const std::string key = hexKey(password, salt, 16, log2Count);
    auto found = m_rar5.find(key);
    if (found == m_rar5.end()) {
        found = m_rar5.emplace(key, deriveRar5Keys(password, salt, log2Count)).first;
    }
    return found->second;
}

void KeyCache::clear() {
    m_rar3.clear();
    m_rar5.clear();
}

bool findSignature(Volumes& volumes, std::size_t volume, std::uint64_t& offset, Format& format) {
    constexpr std::size_t kChunk = 1 << 16;
    std::vector<std::uint8_t> buffer(kChunk + sizeof kRar5Signature);
    for (std::uint64_t base = 0; base < kSignatureSearch; base += kChunk) {
        const long long got = volumes.readSome(volume, base, buffer.data(), buffer.size());
        if (got < static_cast<long long>(sizeof kRar4Signature)) {
            return false;
        }
        const auto size = static_cast<std::size_t>(got);
        for (std::size_t i = 0; i + sizeof kRar4Signature <= size && i < kChunk; ++i) {
            if (buffer[i] != 0x52 || std::memcmp(&buffer[i], kRar4Signature, 6) != 0) {
                continue;
            }
            if (buffer[i + 6] == 0x00) {
                offset = base + i;
                format = Format::Rar4;
                return true;
            }
            if (i + sizeof kRar5Signature <= size && buffer[i + 6] == 0x01 && buffer[i + 7] == 0x00) {
                offset = base + i;
                format = Format::Rar5;
                return true;
            }
        }
        // The signature sits at the very start of anything but a self-extractor.
        if (base == 0 && volume > 0) {
            return false;
        }
    }
    return false;
}

int scanArchive(Volumes& volumes, const std::string* password, KeyCache& keys, Archive& archive,
                bool& needsPassword) {
    archive = Archive{};
    volumes.truncate(1);
    Scanner scanner(volumes, password, keys, archive);
    return scanner.run(needsPassword);
}

} // namespace brisko::enginelib::rar
