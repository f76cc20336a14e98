#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "unzip/ArchiveBytes.h"

// The central directory of a ZIP archive as the engine reads it itself, beside the reader that
// extracts: the reader names entries without regard to the system that made them, and quietly merges
// entries that share their data.
namespace brisko::enginelib {

// The systems ZIP calls "made by" whose names are in a DOS code page: MS-DOS (FAT), OS/2 (HPFS),
// Windows NTFS and VFAT.
bool isDosHost(std::uint8_t host);

// The UTF-8 name of an entry, by the rule ZIP tools converge on:
//   the UTF-8 flag (bit 11) set: the bytes, which must be valid UTF-8 (nothing otherwise);
//   else an Info-ZIP Unicode Path field whose CRC matches the stored name: that field's text;
//   else a DOS or Windows host, or bytes that are no valid UTF-8: the bytes read as CP437;
//   else (Unix, macOS and the others): the bytes as they are.
// `unicodePath` is the field's text when the field is present and its CRC matches.
std::optional<std::string> entryNameOf(std::string_view raw, std::uint16_t flags, std::uint8_t host,
                                       const std::optional<std::string>& unicodePath = std::nullopt);

struct CentralEntry {
    std::string rawName;                  // as stored
    std::optional<std::string> name;      // see entryNameOf; nothing when it cannot be read as UTF-8
    std::uint16_t flags = 0;
    std::uint8_t host = 0;                // "made by" system
    std::uint64_t localOffset = 0;        // from the start of the file, any prefix (SFX) included
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
};

struct CentralDirectory {
    enum class Verdict {
        Ok,
        Unreadable,   // no end record, or records that do not parse
        CountMismatch, // the end record counts another number of entries than the directory holds
        Overlapping,  // entries share data or reach into the directory: a bomb, or a damaged archive
    };
    Verdict verdict = Verdict::Unreadable;
    std::vector<CentralEntry> entries; // in the order of their data in the file (the reader's order)
};

// Reads the central directory of the ZIP archive `bytes`.
CentralDirectory readCentralDirectory(const ArchiveBytes& bytes);

const char* describe(CentralDirectory::Verdict verdict);

// Whether the reader's entry named `readerName` (null when it has no name) is the directory's
// `central`: the reader hands out the stored name, or the Unicode path field's, with every '\' turned
// into '/', and no name at all for one flagged as UTF-8 that is not.
bool describesEntry(const char* readerName, const CentralEntry& central);

} // namespace brisko::enginelib
