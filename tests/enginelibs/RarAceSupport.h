#pragma once

#include <map>
#include <string>
#include <vector>

#include "api/unace.h"
#include "api/unrar.h"

// Drives the RAR and ACE engines through their C interfaces as the program's adapters do, reads the
// inventories of the sample archives kept beside the repository, and looks at what a run left.
namespace brisko::test {

inline const std::string kRarSamples = BRISKO_RAR_TESTDATA;
inline const std::string kAceSamples = BRISKO_ACE_TESTDATA;

struct EntryRun {
    int code = -1;           // of the last RARProcessFile / ACEProcessFile call for the entry
    unsigned crc = 0;        // the header's FileCRC
    bool crcIsPlain = false; // FileCRC is the ordinary CRC-32 of the content (not a RAR 5 keyed form)
    unsigned size = 0;       // the header's UnpSize (RAR)
    unsigned time = 0;       // the header's FileTime
    std::string volume;      // the header's ArcName
};

struct ArchiveRun {
    int open = 0;                   // OpenResult
    int end = 0;                    // what ended the header loop: ERAR_END_ARCHIVE / ACE_END or an error
    std::vector<std::string> order; // entry names as listed
    std::map<std::string, EntryRun> entries;
};

// Opens `archive` and for every header calls the engine's process call (RAR: `operation`) into
// `destination`. No password is set at first; when a header (RAR) or an entry asks for one, the next
// of `passwords` is set and the same call repeated, as the adapters do when the user types one.
ArchiveRun RunRar(const std::string& archive, const std::string& destination,
                  std::vector<std::string> passwords = {}, int operation = RAR_EXTRACT,
                  unsigned mode = RAR_OM_EXTRACT);
ArchiveRun RunAce(const std::string& archive, const std::string& destination,
                  std::vector<std::string> passwords = {});

// Every path below `folder` (relative, '/'-separated), folders with a trailing '/'.
std::vector<std::string> TreeOf(const std::string& folder);
// True when a name left below `folder` looks like an unfinished temporary file.
bool HasLeftovers(const std::string& folder);
std::string CrcHex(const std::string& bytes); // lower-case hex CRC-32

struct Member {
    std::string kind; // file, dir, symlink, hardlink
    long long size = -1;
    std::string path;
    std::string target; // of a link
    std::string crc;    // ACE inventory only: CrcHex of the content
};

struct SampleSet {
    bool ace = false;
    std::string name;    // RAR: the set's folder; ACE: the archive's path below the ACE samples
    std::string archive; // full path of the first volume
    std::string password;
    std::vector<Member> members; // none for an archive listed as malformed
};

// Both inventories; empty when the samples are absent.
std::vector<SampleSet> LoadSampleSets();

// Runs the set's archive (at `archive` if given) through its engine with `passwords`.
ArchiveRun RunSet(const SampleSet& set, const std::string& destination, const std::string& archive,
                  const std::vector<std::string>& passwords);

} // namespace brisko::test
