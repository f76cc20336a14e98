#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "api/briskoguard.h"

namespace brisko::enginelib {

// How much of an entry's data is written between two questions to the caller's KeepGoing callback.
inline constexpr std::uint64_t kKeepGoingInterval = std::uint64_t(1) << 20;

// The caller's guard as an engine keeps it (see api/briskoguard.h): the files that no entry may
// replace, and where to report the archive files the engine opens. Without one nothing is protected
// and nothing reported.
class RunGuard {
public:
    // Takes over `guard`, or none when it is null. The protected list is used where it lies when it
    // is sorted; otherwise a sorted copy is kept.
    void set(const BriskoGuard* guard);

    // Whether the file `info` describes (taken without following a link) is protected.
    bool protects(const struct stat& info) const;

    // Reports an archive file the engine opened; `info` is what the open gave.
    void fileRead(const std::string& path, const struct stat& info) const;

    // Reports an entry the writer turned down for a reason of the run, in a few words.
    void entryFailed(const std::string& entry, const char* reason) const;

    // The caller's answer whether to go on writing (true without a guard or a KeepGoing callback).
    // Safe from any thread, as the callback must be.
    bool keepGoing() const;

private:
    const BriskoFileId* m_protected = nullptr;
    std::size_t m_count = 0;
    std::vector<BriskoFileId> m_sorted;
    BRISKOFILEREAD m_fileRead = nullptr;
    BRISKOENTRYFAILED m_entryFailed = nullptr;
    BRISKOKEEPGOING m_keepGoing = nullptr;
    void* m_userData = nullptr;
};

} // namespace brisko::enginelib
