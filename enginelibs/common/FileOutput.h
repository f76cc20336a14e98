#pragma once

#include <cstddef>
#include <cstdint>

namespace brisko::enginelib {

class RoomBudget;
class RunGuard;

// Where the data of a file being written goes: through a buffer lent by whoever began the file, into
// the file. What passes is counted against the destination's reserve of free space, and the guard is
// asked every kKeepGoingInterval bytes whether to go on. A plain value: the file that owns it closes
// the descriptor and gives the buffer back.
class FileOutput {
public:
    enum class Result { Written, NoRoom, Stopped, Failed };

    // Starts over for the file `fd`, through `buffer` (`capacity` bytes; null: unbuffered).
    void start(int fd, char* buffer, std::size_t capacity);

    // Appends data. NoRoom when it would eat into the reserve, Stopped when the guard's KeepGoing said
    // no, Failed when a write failed (errno tells why).
    Result append(RoomBudget& room, const RunGuard* guard, const void* data, std::size_t size);
    // The errno a file reports for what append() gave other than Written: ENOSPC, ECANCELED, or errno
    // as the failed write left it.
    static int errorOf(Result result);

    // Writes what is buffered. False on failure (errno tells why).
    bool flush();

    // Nothing more goes through the buffer, and what was in it is forgotten.
    void release();
    bool buffered() const { return m_buffer != nullptr; }

private:
    int m_fd = -1;
    char* m_buffer = nullptr;
    std::size_t m_capacity = 0;
    std::size_t m_used = 0;
    std::uint64_t m_unchecked = 0; // written since the budget last counted
    std::uint64_t m_unasked = 0;   // written since the guard was last asked whether to go on
};

} // namespace brisko::enginelib
