#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace brisko::enginelib::rar {

// The files of a volume set, opened on first use and read by offset.
class Volumes {
public:
    Volumes() = default;
    ~Volumes();
    Volumes(const Volumes&) = delete;
    Volumes& operator=(const Volumes&) = delete;

    void add(const std::string& path) { m_paths.push_back(path); }
    std::size_t count() const { return m_paths.size(); }
    const std::string& path(std::size_t volume) const { return m_paths[volume]; }
    void truncate(std::size_t count);

    // False when the file cannot be opened (it was present when the set was scanned, so this means
    // it went away) or is no regular file; a FIFO does not block the call.
    bool open(std::size_t volume);

    // Called with each volume the moment it is opened, and at once with those open already.
    using Observer = std::function<void(const std::string& path, const struct stat& info)>;
    void observe(Observer observer);
    std::uint64_t size(std::size_t volume);
    // Reads exactly `size` bytes at `offset`; false on a short read or an error.
    bool read(std::size_t volume, std::uint64_t offset, void* data, std::size_t size);
    // As read, but returns how many bytes there were (up to `size`), -1 on an error.
    long long readSome(std::size_t volume, std::uint64_t offset, void* data, std::size_t size);

private:
    std::vector<std::string> m_paths;
    std::vector<int> m_fds;
    std::vector<struct stat> m_infos;
    Observer m_observer;
};

// The name of the volume after `current` in a set named like `first`: name.partN.rar keeps the digit
// width of N; name.rar is followed by name.r00 … name.r99, name.s00 …. Empty when there is none.
std::string nextVolumeName(const std::string& first, const std::string& current);

} // namespace brisko::enginelib::rar
