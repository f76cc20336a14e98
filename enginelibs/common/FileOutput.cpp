#include "common/FileOutput.h"

#include <cerrno>
#include <cstring>

#include "common/RoomBudget.h"
#include "common/RunGuard.h"
#include "common/WriteAll.h"

namespace brisko::enginelib {

void FileOutput::start(int fd, char* buffer, std::size_t capacity) {
    *this = FileOutput{};
    m_fd = fd;
    m_buffer = buffer;
    m_capacity = buffer != nullptr ? capacity : 0;
}

FileOutput::Result FileOutput::append(RoomBudget& room, const RunGuard* guard, const void* data,
                                      std::size_t size) {
    if (!room.wrote(m_fd, m_unchecked, size)) {
        return Result::NoRoom;
    }
    m_unasked += size;
    if (m_unasked >= kKeepGoingInterval) {
        m_unasked = 0;
        if (guard != nullptr && !guard->keepGoing()) {
            return Result::Stopped;
        }
    }
    const char* bytes = static_cast<const char*>(data);
    if (m_used + size > m_capacity && !flush()) {
        return Result::Failed;
    }
    // Large blocks go straight to the file; copying them would only cost time.
    if (size >= m_capacity / 2) {
        return writeAll(m_fd, bytes, size) ? Result::Written : Result::Failed;
    }
    std::memcpy(m_buffer + m_used, bytes, size);
    m_used += size;
    return Result::Written;
}

int FileOutput::errorOf(Result result) {
    switch (result) {
    case Result::Written:
        return 0;
    case Result::NoRoom:
        return ENOSPC;
    case Result::Stopped:
        return ECANCELED;
    case Result::Failed:
        break;
    }
    return errno;
}

bool FileOutput::flush() {
    if (m_used > 0 && !writeAll(m_fd, m_buffer, m_used)) {
        return false;
    }
    m_used = 0;
    return true;
}

void FileOutput::release() {
    m_buffer = nullptr;
    m_capacity = 0;
    m_used = 0;
}

} // namespace brisko::enginelib
