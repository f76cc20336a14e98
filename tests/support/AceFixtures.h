#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Small stored ACE archives made by the tests: block headers with their CRC, any name bytes
// (separators, drive letters, NUL, control characters are written exactly as given) and DOS file
// attributes. Nothing is compressed or encrypted; compressed streams come from the sample collection.
namespace brisko::test {

inline constexpr std::uint32_t kAceAttrFolder = 0x10;
inline constexpr std::uint32_t kAceAttrArchive = 0x20;

struct AceItem {
    std::string name;                           // stored as is; DOS archives use '\' between folders
    std::string data;                           // a file's content (ignored for a folder)
    std::uint32_t attributes = kAceAttrArchive; // kAceAttrFolder makes a folder entry
};

// Writes `items` as one single-volume archive at `path`. `hostOs` is the main header's host system
// (2 = Win32, 0 = MS-DOS, 5 = Unix-like hosts in the format's numbering).
void WriteAce(const std::string& path, const std::vector<AceItem>& items, std::uint8_t hostOs = 2);

} // namespace brisko::test
