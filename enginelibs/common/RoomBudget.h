#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace brisko::enginelib {

// The one rule for the free space a run leaves on a file system: the reserve is 5% of the file system
// or 1 GiB, whichever is smaller, and nothing written may eat into it. Free space is asked of the file
// system when nothing is known yet, after every MiB counted as written, and whenever the last answer
// leaves too little; in between, what was written is taken off the last answer. A file counts at least
// a block, whatever it holds.
//
// Safe to use from any number of threads at once: every file a Destination writes, on whichever
// thread, is counted against the same budget.
class RoomBudget {
public:
    // Whether a new file announced at `declaredSize` bytes (0: not announced) fits above the reserve on
    // the file system of `fd`; when it does, its first block counts as written.
    bool admit(int fd, std::uint64_t declaredSize);

    // Counts `size` more bytes written to the file `fd` (`unchecked`: the file's bytes not yet counted,
    // kept by the file). Every MiB they are taken off the budget; false when they do not fit.
    bool wrote(int fd, std::uint64_t& unchecked, std::size_t size);

private:
    bool haveLocked(int fd, std::uint64_t bytes, bool use);

    std::mutex m_mutex;
    bool m_known = false;
    std::uint64_t m_room = 0;          // above the reserve, at the last look less what was written since
    std::uint64_t m_usedSinceLook = 0;
};

} // namespace brisko::enginelib
