#pragma once

#include "acedec/ByteSource.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace brisko::acedec {

// Opens the volumes of one archive by their position in the set: 0 is the volume the archive was
// opened with, 1 the one after it, and so on.
class VolumeProvider {
public:
    virtual ~VolumeProvider() = default;

    // The volume at `index`, or null when it does not exist or cannot be opened ("missing"). May be
    // called more than once for the same index.
    virtual std::unique_ptr<ByteSource> openVolume(unsigned index) = 0;
};

// The name of the volume `index` places after `firstPath` in a set: "x.ace" is followed by "x.c00",
// "x.c01", ... "x.c99", then "x.100" up to "x.999"; a path that already ends in ".cNN" or ".NNN"
// counts on from that number. `upperCase` picks 'C' or 'c'. Index 0 returns `firstPath`; an empty
// string means the index lies past ".999".
std::string volumeFileName(const std::string& firstPath, unsigned index, bool upperCase);

// Opens volumes as files next to the first one, named as volumeFileName says. Both cases of the 'c'
// are tried, the case of the first volume's extension first.
class FileVolumeProvider : public VolumeProvider {
public:
    explicit FileVolumeProvider(std::string firstPath);

    std::unique_ptr<ByteSource> openVolume(unsigned index) override;

    // Called with each file the moment it is opened as a volume, and at once with every one opened
    // before (each time it was opened).
    using Observer = std::function<void(const std::string& path, const struct stat& info)>;
    void observe(Observer observer);

private:
    std::unique_ptr<ByteSource> opened(const std::string& path);

    std::string m_firstPath;
    bool m_upperFirst = false;
    Observer m_observer;
    std::vector<std::pair<std::string, struct stat>> m_opened;
};

// Volumes held in memory (tests, fuzzing, archives already loaded). The bytes are borrowed and must
// outlive the provider and the sources it returns.
class MemoryVolumeProvider : public VolumeProvider {
public:
    struct Volume {
        const void* data = nullptr;
        std::size_t size = 0;
    };

    explicit MemoryVolumeProvider(std::vector<Volume> volumes) : m_volumes(std::move(volumes)) {}

    std::unique_ptr<ByteSource> openVolume(unsigned index) override;

private:
    std::vector<Volume> m_volumes;
};

} // namespace brisko::acedec
