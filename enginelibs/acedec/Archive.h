#pragma once

#include "acedec/Crc32.h"
#include "acedec/Status.h"
#include "acedec/VolumeProvider.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

// Reading ACE 1.0 and 2.0 archives: walking the entries of a (possibly multi-volume, self-extracting,
// solid or encrypted) archive and decoding their data into a sink. Nothing here touches the file
// system beyond reading volumes through a VolumeProvider: names are handed out as stored, unchecked,
// and it is the caller's job to decide where (and whether) an entry may be written.
//
// Use:
//     FileVolumeProvider volumes(path);
//     Archive archive(volumes);
//     if (archive.open() != Status::Ok) ...
//     archive.setPassword("secret");                  // when known; may change between entries
//     while (archive.nextEntry() == Status::Ok) {
//         const Entry& entry = archive.entry();
//         Status s = archive.extractEntry(sink);     // or skipEntry(), or nothing (see below)
//     }
//
// Contract:
// - Entries come in archive order. nextEntry() moves past the current entry whatever was done with
//   it. Passing over a data-carrying entry of a solid archive without extractEntry() or skipEntry()
//   leaves the shared window unknown: later compressed entries then fail with SolidChainBroken. That
//   keeps listing fast; to extract a later entry, skipEntry() the earlier ones (it decodes them).
// - extractEntry() hands the decoded bytes to the sink in order, in chunks of any size, and checks
//   the CRC at the end: a sink that writes to disk must treat its output as provisional until Ok
//   comes back. A sink returning false stops the decoding (Cancelled).
// - Encrypted entries need a password set before extractEntry() or skipEntry() of a solid archive;
//   without one the call returns NeedsPassword and consumes nothing, so the caller may set one and
//   call again. The format carries no password check value: a wrong password shows up as a decoding
//   failure or a CRC mismatch, both reported as BadPassword for encrypted entries (damaged encrypted
//   data looks the same and is reported the same).
// - In an archive that is not solid an entry may be extracted again after a failure (for instance
//   with another password). In a solid archive each entry is decoded at most once; a failure there
//   breaks the chain for the compressed entries after it.
// - A failure of the archive structure (a damaged header, a missing volume in the middle of the set,
//   a read error) ends the walk: every later nextEntry() returns the same status. Failures of one
//   entry's data (CRC, password, a bad stream) do not, except through the solid chain.
// - Memory is bounded whatever the input claims: a 4 MiB window, bounded tables and row buffers, and
//   output counted against the declared size; every loop consumes input, so none can spin forever.
namespace brisko::acedec {

// How entry names and comments (8-bit text in the creating system's code page) become UTF-8.
enum class NameEncoding {
    Auto,   // CP850 (the usual DOS console code page of archives made on DOS or Windows); for archives
            // made on Unix or Linux hosts, names that are valid UTF-8 are taken as they are
    Cp437,  // DOS, United States
    Cp850,  // DOS, Western Europe
    Cp1252, // Windows ANSI, Western Europe
};

struct ArchiveOptions {
    NameEncoding nameEncoding = NameEncoding::Auto;
};

// What the main header of the first volume says.
struct ArchiveInfo {
    std::uint8_t versionToExtract = 0; // major*10 + minor: 10 for ACE 1.0, 20 for ACE 2.0
    std::uint8_t versionCreated = 0;
    std::uint8_t hostOs = 0;       // 0 MS-DOS, 1 OS/2, 2 Win32, 3 Unix, ... 12 Linux
    std::uint8_t volumeNumber = 0; // 0 for the first volume of a set
    std::uint16_t flags = 0;       // the raw main header flags
    std::uint32_t dosTime = 0;     // creation time, MS-DOS format, local time
    bool solid = false;
    bool multiVolume = false;
    bool selfExtracting = false;
    bool locked = false;
    bool hasRecoveryRecord = false;
    std::uint64_t startOffset = 0; // where the archive begins in the first volume (after an SFX stub)
    std::string advert;            // the advert string, as stored
    std::string rawComment;        // the decoded main comment in the archive's code page; empty when
                                   // there is none or it could not be decoded
    std::string comment;           // the same as UTF-8
};

struct Entry {
    std::string rawName; // the name bytes exactly as stored (usually '\'-separated); not sanitised
    std::string name;    // the same converted to UTF-8 (NUL bytes and separators kept as they are)
    std::string rawComment;
    std::string comment;          // UTF-8
    std::uint32_t attributes = 0; // DOS/Windows attribute bits; 0x10 marks a folder
    std::uint32_t dosTime = 0;    // modification time, MS-DOS format, local time
    std::uint64_t originalSize = 0;
    std::uint64_t packedSize = 0; // over all segments found
    // The stored CRC of the data: CRC-32 (polynomial 0xEDB88320, start 0xFFFFFFFF) without the final
    // inversion, i.e. the bitwise NOT of the usual zlib value. Taken from the last segment of a split
    // entry, which is the one that holds the CRC of the whole data.
    std::uint32_t crc = 0;
    std::uint8_t method = 0;         // 0 stored, 1 ACE 1.0 LZ77, 2 ACE 2.0 blocked; others unknown
    std::uint8_t dictionaryBits = 0; // from the header; 10..22 for valid archives
    std::uint16_t headerFlags = 0;   // the raw file header flags
    bool isDirectory = false;
    bool encrypted = false;
    bool solid = false;       // decoded as part of a solid archive
    unsigned firstVolume = 0; // index of the volume holding the header where the entry starts
    unsigned lastVolume = 0;  // index of the volume holding its last segment
    // False when a later segment could not be found; extracting or skipping it then fails with the
    // reason (MissingVolume or Corrupt) and the walk ends after it.
    bool complete = true;
};

// Receives decoded bytes in order. Return false to stop (the call then returns Cancelled).
using Sink = std::function<bool(std::span<const std::uint8_t> bytes)>;
// Reports decoding progress while skipping; return false to stop (Cancelled).
using Progress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

class Archive {
public:
    // The provider must outlive the archive.
    explicit Archive(VolumeProvider& volumes, ArchiveOptions options = {});
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    // Opens volume 0, finds the main header (at the start or after an SFX stub) and reads it.
    // NotAnArchive, Corrupt, MissingVolume (volume 0 cannot be opened, or a later volume of a solid
    // set was given), ReadError.
    Status open();
    const ArchiveInfo& info() const;

    // The password for encrypted entries from now on; at most 50 bytes are used, as the format does.
    void setPassword(std::string_view password);
    void clearPassword();

    // Moves to the next entry: Ok (see entry()), EndOfArchive, or an error that ends the walk.
    Status nextEntry();
    // The current entry; valid after nextEntry() returned Ok, until the next call of nextEntry().
    const Entry& entry() const;

    // Decodes the current entry into `sink` (folders give no bytes), then checks its CRC.
    Status extractEntry(const Sink& sink);

    // Marks the current entry done without handing out its bytes. In a solid archive the data is still
    // decoded (and checked) so that later entries can be; `progress` is then called now and then.
    Status skipEntry(const Progress& progress = {});

    // A short English reason for the last failure, such as "header CRC mismatch".
    const std::string& errorDetail() const;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace brisko::acedec
