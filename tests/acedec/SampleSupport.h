#pragma once

#include "acedec/Archive.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Helpers shared by the tests over the sample archives kept beside the repository.
namespace brisko::acedec::test {

// The sample folder, or empty when it is not there (the tests then skip).
std::string sampleDir();

// One line of expected-members.tsv.
struct ExpectedMember {
    bool isDirectory = false;
    std::uint64_t size = 0;
    std::string crc; // standard CRC-32, lower-case hex
    std::string md5;
    std::string name; // '/'-separated
};

// archive path (relative to the sample folder) -> its members in archive order.
std::map<std::string, std::vector<ExpectedMember>> loadExpected();

std::vector<std::uint8_t> readFile(const std::string& path);

// What a walk over an archive found for one entry.
struct WalkedEntry {
    std::string name; // '/'-separated
    bool isDirectory = false;
    Status status = Status::Ok; // of extractEntry
    std::uint64_t size = 0;     // bytes handed to the sink
    std::string crc;            // standard CRC-32 of those bytes
    std::string md5;
};

struct WalkResult {
    Status open = Status::Ok;
    Status end = Status::Ok; // what ended the walk: EndOfArchive or an error
    std::vector<WalkedEntry> entries;
};

// Opens the archive, extracts every entry in order and records what came out.
WalkResult walkArchive(VolumeProvider& volumes, const std::string& password = {});

// The volumes of a set, read into memory: the first file and its .c00, .c01, ... as far as they exist.
std::vector<std::vector<std::uint8_t>> readVolumes(const std::string& firstPath);

MemoryVolumeProvider memoryVolumes(const std::vector<std::vector<std::uint8_t>>& volumes);

} // namespace brisko::acedec::test
