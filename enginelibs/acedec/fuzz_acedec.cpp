// Feeds arbitrary bytes to the decoder as a one-volume archive (and, split in two, as a two-volume
// set), walks every entry and extracts it into a sink that only counts. Any crash, sanitizer report,
// hang or runaway allocation is a bug.
#include "acedec/Archive.h"

#include <cstddef>
#include <cstdint>

namespace {

using namespace brisko::acedec;

void walk(VolumeProvider& volumes, bool withPassword) {
    Archive archive(volumes);
    if (archive.open() != Status::Ok) {
        return;
    }
    if (withPassword) {
        archive.setPassword("pass");
    }
    std::uint64_t total = 0;
    const Sink sink = [&](std::span<const std::uint8_t> bytes) {
        total += bytes.size();
        return true;
    };
    // Each entry consumes at least one header of the input, so the walk ends; the cap is a backstop.
    for (int i = 0; i < 100000 && archive.nextEntry() == Status::Ok; ++i) {
        if (archive.extractEntry(sink) == Status::NeedsPassword) {
            archive.skipEntry();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool withPassword = size > 0 && (data[0] & 1) != 0;
    {
        MemoryVolumeProvider volumes({{data, size}});
        walk(volumes, withPassword);
    }
    if (size >= 2) {
        const std::size_t half = size / 2;
        MemoryVolumeProvider volumes({{data, half}, {data + half, size - half}});
        walk(volumes, withPassword);
    }
    return 0;
}
