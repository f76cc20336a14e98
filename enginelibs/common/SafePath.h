#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Entry names and link targets as an archive carries them, checked before anything touches the disk.
// Every engine turns each entry name into a SafePath with sanitiseEntryName and hands only that to a
// Destination, so there is one idea of what an entry path means, checked once and then used as is.
namespace brisko::enginelib {

inline constexpr std::size_t kMaxComponent = 255; // bytes in one folder or file name
inline constexpr std::size_t kMaxPath = 4096;     // bytes in a whole relative path

// How an archive separates the folders of a name.
enum class Separators {
    Slash,             // only '/'; a '\' is an ordinary character (names made on Unix)
    SlashAndBackslash, // '\' separates too (names made on DOS or Windows, or of unknown origin)
};

enum class NameVerdict {
    Safe,
    Empty,        // nothing left after dropping empty and "." components ("", ".", "./")
    Absolute,     // starts with '/' or '\' ("/x", "//x", "\\host\share", "\\?\C:\x", "\\.\dev")
    DrivePrefix,  // starts with a letter and ':' ("C:\x", "C:x", "C:../x")
    ParentFolder, // a ".." component anywhere
    HasNul,       // a zero byte inside the name
    TooLong,      // a component over kMaxComponent or a path over kMaxPath bytes
};

enum class LinkVerdict {
    Safe,
    Empty,       // no target text at all
    Absolute,    // starts with '/' or '\'
    DrivePrefix, // starts with a letter and ':'
    Escapes,     // climbs with ".." above the destination folder
    Winding,     // a ".." after a named component ("a/../b"): where it ends depends on the links on the
                 // way, so it is refused rather than guessed
    HasNul,
    TooLong,
};

class SafePath;

// Turns an archive entry name into a relative path of plain components joined by '/': separators
// are unified (see Separators), empty and "." components dropped, and every form that could reach
// outside the destination is refused rather than repaired. A trailing separator (a folder entry) is
// dropped; the caller knows the entry's kind from the archive. On a verdict other than Safe, `path`
// is left unchanged.
NameVerdict sanitiseEntryName(std::string_view name, Separators separators, SafePath& path);

// Checks the target of a symbolic link that is to be created at `link`. A target is accepted only
// when it is relative, made of some ".." components followed by named ones, and its ".." do not
// climb above the destination from the link's folder. Such a link cannot lead outside even through
// other links made under the same rule. On Safe, `normalised` receives the target to create (the
// components joined by '/', or "." when none are left); it is exactly the text that was checked.
LinkVerdict checkLinkTarget(const SafePath& link, std::string_view target, Separators separators,
                            std::string& normalised);

// Short English reasons for messages, such as "absolute path".
const char* describe(NameVerdict verdict);
const char* describe(LinkVerdict verdict);

// The name with control characters (bytes below 0x20 and 0x7f) replaced by '?', for progress and
// error lines: a name must never be able to start a new line or steer a terminal.
std::string printable(std::string_view name);

// A checked relative path below a destination folder: one or more components joined by '/', none
// empty, "." or "..", none over kMaxComponent bytes, at most kMaxPath bytes in all. Only
// sanitiseEntryName makes a non-empty one, so a Destination never sees an unchecked name.
class SafePath {
public:
    SafePath() = default;

    bool empty() const { return m_text.empty(); }
    const std::string& text() const { return m_text; }
    // All but the last component, "" for an entry at the top of the destination.
    std::string_view folder() const;
    // The last component.
    std::string_view leaf() const;
    // The number of components of folder().
    int folderDepth() const { return m_folderDepth; }

private:
    friend NameVerdict sanitiseEntryName(std::string_view, Separators, SafePath&);

    std::string m_text;
    std::size_t m_leafStart = 0;
    int m_folderDepth = 0;
};

} // namespace brisko::enginelib
