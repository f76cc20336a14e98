#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "api/briskoguard.h"
#include "api/unzip32.h"

// ZIP archives made by the tests, the engine called as the program calls it, and folder snapshots to
// compare what it left. Shared with the batch, command-line, hostile and install tests.
namespace brisko::test {

inline constexpr time_t kFixtureTime = 1600000000; // 2020-09-13, a UTC time the archives carry

struct ZipItem {
    enum class Kind { File, Folder, Link };
    std::string name;
    std::string data; // a file's content or a link's target
    Kind kind = Kind::File;
    mode_t perm = 0644;
    time_t mtime = kFixtureTime;
};

struct ZipOptions {
    std::string compression = "deflate"; // or "store"
    std::string encryption;              // "", "zipcrypt" or "aes256"
    std::string passphrase;
};

// Writes the archive with libarchive's writer, names taken as UTF-8 and kept as given.
void WriteZip(const std::string& path, const std::vector<ZipItem>& items, const ZipOptions& options = {});

// An entry of a hand-made archive, for what the writer refuses to make: any type bits in the mode,
// another system in "version made by", raw name bytes, any flags and extra fields, entries that share
// their data. Stored, with DOS time kFixtureTime (local).
struct RawZipEntry {
    std::string name;
    std::string data;
    unsigned system = 3; // 0 DOS, 3 Unix, 11 NTFS
    std::uint32_t externalAttributes = 0100644u << 16;
    unsigned flags = 0;       // 0x800: the name is UTF-8
    std::string extra{};      // extra fields, in the local header and the directory alike
    int sharesDataWith = -1;  // a directory record only, pointing at that earlier entry's data
};
// `countedEntries`: what the end record claims, when it is to lie.
void WriteRawZip(const std::string& path, const std::vector<RawZipEntry>& entries,
                 std::optional<unsigned> countedEntries = std::nullopt);

// What a folder holds: relative path -> description. Files are "file:<content>", folders "folder",
// links "link:<target>", anything else "special".
struct Node {
    std::string description;
    mode_t mode = 0; // permission bits
    time_t mtime = 0;
};
std::map<std::string, Node> Snapshot(const std::string& folder);

// Every entry below `root`, sorted.
std::vector<std::string> ListTree(const std::string& root);
// How many entries a folder holds now (/proc/self/fd: open descriptors; /proc/self/task: threads).
int CountEntries(const std::string& folder);

// `size` bytes that deflate shrinks but not to nothing, different for each seed.
std::string Patterned(std::size_t size, unsigned seed);

// The engine's answers, scripted, and what it asked and printed.
struct EngineScript {
    std::vector<int> replaceAnswers;                               // used in order; "no" when they run out
    std::vector<std::optional<std::string>> passwords;             // nullopt = decline; declines when out
    std::function<int(const std::string&, unsigned long)> service; // null = always go on
    int stopPrintingAt = -1; // the print callback answers 1 on this line (0-based)

    std::vector<std::string> lines;
    std::vector<std::string> replaceAsked;
    std::vector<std::string> passwordAsked; // entry names
    int serviceCalls = 0;
};

enum class Duplicates { Never, Always, Newer, Prompt };

// Calls Wiz_SingleEntryUnzip as the program does, with the duplicate fields of `duplicates`; with a
// `guard`, Wiz_SingleEntryUnzipGuarded.
int RunEngine(const std::string& archive, const std::string& destination, Duplicates duplicates,
              EngineScript& script, const BriskoGuard* guard = nullptr);

// Runs Debian's unzip (-o, -P when a password is given) into `destination` under a UTF-8 locale.
// Returns its exit status, or -1 when unzip is not installed.
int RunUnzip(const std::string& archive, const std::string& destination, const std::string& password = {});
bool HaveUnzip();

} // namespace brisko::test
