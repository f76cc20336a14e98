#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "unrar/Crypto.h"
#include "unrar/Volumes.h"

// What the header scan learns about an archive: its entries, where their data lies in which volume,
// and how it is encrypted. The scan decompresses nothing.
namespace brisko::enginelib::rar {

enum class Format { Rar4, Rar5 };

struct Piece {
    std::size_t volume = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// How a RAR 5 entry points elsewhere.
enum class Redirect { None = 0, UnixLink = 1, WindowsLink = 2, Junction = 3, HardLink = 4, FileCopy = 5 };

struct Entry {
    std::string name; // UTF-8, '/' between folders
    std::size_t volume = 0;
    bool folder = false;
    bool link = false; // a symbolic link (RAR 4: target in the data; RAR 5: `target`)
    Redirect redirect = Redirect::None;
    std::string target;
    bool solid = false; // continues the dictionary of the entries before it
    bool sizeUnknown = false;
    std::uint64_t unpackedSize = 0;
    std::uint64_t packedSize = 0; // all pieces
    bool hasCrc = false;
    std::uint32_t crc = 0;
    bool hasBlake = false;
    std::uint8_t blake[32] = {};
    std::uint32_t attributes = 0;
    std::uint32_t hostOs = 0; // as reported: 0 DOS, 2 Windows, 3 Unix, ...
    std::uint32_t unpackVersion = 0;
    std::uint32_t method = 0x30; // 0x30 stored … 0x35 best
    std::uint32_t dosTime = 0;
    timespec mtime{0, UTIME_NOW};
    std::uint32_t compression = 0; // RAR 5 compression info; RAR 4 file flags
    // Encryption of the data.
    bool encrypted = false;
    bool hasSalt = false;
    std::uint8_t salt[16] = {}; // 8 bytes in RAR 4
    std::uint8_t iv[16] = {};
    int kdfLog2 = 0;
    bool hasCheck = false;
    std::uint8_t check[12] = {};
    bool tweaked = false; // RAR 5 checksums are MACs
    std::vector<Piece> pieces;
    int unsupported = 0; // an ERAR_ code for what the decoder cannot do, or 0
};

struct Archive {
    Format format = Format::Rar4;
    bool solid = false;
    bool headersEncrypted = false;
    std::vector<Entry> entries;
};

// Derived keys, kept for the life of a handle: RAR reuses one salt for many headers and files.
class KeyCache {
public:
    const Rar3Key& rar3(const std::string& password, const std::uint8_t* salt);
    const Rar5Keys& rar5(const std::string& password, const std::uint8_t* salt, int log2Count);
    void clear();

private:
    std::map<std::string, Rar3Key> m_rar3;
    std::map<std::string, Rar5Keys> m_rar5;
};

// Scans the set that starts with volumes.path(0), adding the further volumes it finds to `volumes`.
// Returns 0 or an ERAR_ code: ERAR_EOPEN for a missing volume, ERAR_BAD_ARCHIVE for something that
// is no RAR archive or a set out of order, ERAR_BAD_DATA for damaged headers and for encrypted headers
// when `password` is empty or wrong, ERAR_UNKNOWN_FORMAT for an archive older than RAR 1.5.
// `needsPassword` is set when the headers are encrypted.
int scanArchive(Volumes& volumes, const std::string* password, KeyCache& keys, Archive& archive,
                bool& needsPassword);

// Where the RAR signature starts in a file (after an SFX stub), with its format; false when none.
bool findSignature(Volumes& volumes, std::size_t volume, std::uint64_t& offset, Format& format);

} // namespace brisko::enginelib::rar
