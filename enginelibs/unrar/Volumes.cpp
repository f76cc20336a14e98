#include "unrar/Volumes.h"

#include <cctype>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brisko::enginelib::rar {

Volumes::~Volumes() {
    for (const int fd : m_fds) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void Volumes::truncate(std::size_t count) {
    while (m_paths.size() > count) {
        if (m_fds.size() == m_paths.size() && m_fds.back() >= 0) {
            ::close(m_fds.back());
        }
        if (m_fds.size() == m_paths.size()) {
            m_fds.pop_back();
            m_infos.pop_back();
        }
        m_paths.pop_back();
    }
}

bool Volumes::open(std::size_t volume) {
    if (volume >= m_paths.size()) {
        return false;
    }
    if (m_fds.size() < m_paths.size()) {
        m_fds.resize(m_paths.size(), -1);
        m_infos.resize(m_paths.size());
    }
    if (m_fds[volume] >= 0) {
        return true;
    }
    // Without blocking: a FIFO named like a volume would otherwise wait for a writer for ever.
    const int fd = ::open(m_paths[volume].c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    m_fds[volume] = fd;
    m_infos[volume] = info;
    if (m_observer) {
        m_observer(m_paths[volume], info);
    }
    return true;
}

void Volumes::observe(Observer observer) {
    m_observer = std::move(observer);
    for (std::size_t volume = 0; m_observer && volume < m_fds.size(); ++volume) {
        if (m_fds[volume] >= 0) {
            m_observer(m_paths[volume], m_infos[volume]);
        }
    }
}

std::uint64_t Volumes::size(std::size_t volume) {
    return open(volume) ? static_cast<std::uint64_t>(m_infos[volume].st_size) : 0;
}

long long Volumes::readSome(std::size_t volume, std::uint64_t offset, void* data, std::size_t size) {
    if (!open(volume)) {
        return -1;
    }
    auto* out = static_cast<char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got =
            ::pread(m_fds[volume], out + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long long>(done);
}

bool Volumes::read(std::size_t volume, std::uint64_t offset, void* data, std::size_t size) {
    return readSome(volume, offset, data, size) == static_cast<long long>(size);
}

namespace {

bool endsWithNoCase(const std::string& text, const std::string& suffix) {
    if (text.size() < suffix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[text.size() - suffix.size() + i])) != suffix[i]) {
            return false;
        }
    }
    return true;
}

// The digits before ".rar" when they follow ".part": their position and width, or width 0.
void partDigits(const std::string& name, std::size_t& start, std::size_t& width) {
    width = 0;
    if (!endsWithNoCase(name, ".rar")) {
        return;
    }
    std::size_t end = name.size() - 4;
    std::size_t begin = end;
    while (begin > 0 && std::isdigit(static_cast<unsigned char>(name[begin - 1]))) {
        --begin;
    }
    if (begin == end || begin < 5 || !endsWithNoCase(name.substr(0, begin), ".part")) {
        return;
    }
    start = begin;
    width = end - begin;
}

} // namespace

std::string nextVolumeName(const std::string& first, const std::string& current) {
    std::size_t start = 0;
    std::size_t width = 0;
    partDigits(first, start, width);
    if (width > 0) {
        std::size_t curStart = 0;
        std::size_t curWidth = 0;
        partDigits(current, curStart, curWidth);
        if (curWidth == 0) {
            return {};
        }
        const unsigned long number = std::stoul(current.substr(curStart, curWidth)) + 1;
        char digits[32];
        std::snprintf(digits, sizeof digits, "%0*lu", static_cast<int>(width), number);
        return current.substr(0, curStart) + digits + current.substr(curStart + curWidth);
    }
    if (!endsWithNoCase(first, ".rar") || current.size() < 4) {
        return {};
    }
    const std::string base = current.substr(0, current.size() - 3);
    const std::string ext = current.substr(current.size() - 3);
    const bool upper = std::isupper(static_cast<unsigned char>(ext[0])) != 0;
    if (endsWithNoCase(current, ".rar")) {
        return base + (upper ? "R00" : "r00");
    }
    if (!std::isdigit(static_cast<unsigned char>(ext[1])) ||
        !std::isdigit(static_cast<unsigned char>(ext[2]))) {
        return {};
    }
    int number = (ext[1] - '0') * 10 + (ext[2] - '0') + 1;
    char letter = ext[0];
    if (number == 100) {
        number = 0;
        if (std::tolower(static_cast<unsigned char>(letter)) == 'z') {
            return {};
        }
        ++letter;
    }
    char text[8];
    std::snprintf(text, sizeof text, "%c%02d", letter, number);
    return base + text;
}

} // namespace brisko::enginelib::rar
