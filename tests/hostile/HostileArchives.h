#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// Hostile archives for all three engines: one entry model, writers for each format, a seeded
// generator that mixes hostile and ordinary entries, and the model of what a safe extraction may
// leave behind.
namespace brisko::test::hostile {

enum class Format { Zip, Rar4, Rar5, Ace };
const char* FormatName(Format format);
std::string Extension(Format format); // ".zip", ".rar" or ".ace"

struct HostileEntry {
    enum class Kind { File, Folder, Link, WindowsLink, Special, HardLink, Junction, FileCopy };
    Kind kind = Kind::File;
    std::string name; // raw bytes as stored ('/' is turned into '\' for RAR 4 and DOS-origin entries)
    std::string data; // a file's content or a link's target
    std::uint32_t mode = 0100644; // Unix mode with type bits, where the format can carry one
    bool dosOrigin = false;       // made on DOS/Windows: '\' separators, DOS attributes
};

// Which cases each format can express.
bool CanExpress(Format format, HostileEntry::Kind kind);
bool CarriesUnixMode(Format format);

// Writes the entries as one archive; stored data throughout.
void WriteHostileArchive(Format format, const std::string& path, const std::vector<HostileEntry>& entries);

// The archive's entry list in a form that can be pasted back into a test: every byte outside
// printable ASCII escaped.
std::string Describe(const std::vector<HostileEntry>& entries);

// A sandbox on disk: root/out is the destination; beside it root/outside holds sentinel files and a
// folder, root/out_evil shares the destination's name as a prefix, and root/tosentinel and
// root/tosentinel.txt are symbolic links to the sentinels.
struct Sandbox {
    explicit Sandbox(const std::string& root);
    std::string root, destination, outside;
};

// Generates a random mix of hostile and ordinary entries for `format`. Absolute names point into
// `sandbox`, so that an engine that honoured one would be caught by the sentinel check instead of
// writing somewhere on the machine.
std::vector<HostileEntry> Generate(Format format, std::uint32_t seed, const Sandbox& sandbox);

// What a safe engine must do with an archive.
struct Expectation {
    bool mustFail = false;        // an entry has to be refused: the archive cannot count as extracted
    bool mustSucceed = true;      // nothing hostile or doubtful: it has to be extracted
    std::vector<std::string> why; // the entries that decided mustFail
    // The destination after a successful extraction: path -> "file:<content>", "folder", "link:<target>".
    std::map<std::string, std::string> tree;
    std::set<std::string> ignored;             // paths (with what lies below) whose outcome is free
    std::map<std::string, std::string> opaque; // folder -> content of the one file with an odd name in it
};
Expectation Expect(Format format, const std::vector<HostileEntry>& entries);

// What is in a folder, by relative path, in the form Expectation::tree uses.
std::map<std::string, std::string> TreeOf(const std::string& folder);

// Everything below `root` (itself included, as ".") with type, permission bits, mtime to the
// nanosecond, a file's content and a link's target; paths below `skip` (relative) left out.
std::map<std::string, std::string> DeepSnapshot(const std::string& root, const std::string& skip = {});

// Checks that hold whatever the outcome: no temporary file anywhere below `root`, no special file, no
// set-id bit and no owner without read and write in `destination`, and no link there that leads
// outside it. Returns one line per violation.
std::vector<std::string> CheckDestination(const std::string& root, const std::string& destination);

} // namespace brisko::test::hostile
