#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rardec/Decoder.h"

// The entries of the real RAR samples in ../shared/testdata/rar, taken apart by the engine's own header
// scan, for testing the decoders on their packed bytes alone.
namespace brisko::test {

inline const std::string kRarSamples = BRISKO_RAR_TESTDATA;

struct PackedEntry {
    std::string name;
    std::vector<std::uint8_t> packed; // all pieces, across volumes, as stored (still encrypted if so)
    std::uint64_t unpackedSize = 0;
    std::uint32_t crc = 0;
    unsigned unpackVersion = 0;
    unsigned method = 0;           // 0x30 stored ... 0x35
    std::size_t dictionary = 0;    // from the file header's flags
    bool solid = false;            // continues the entry before (for RAR 1.5: the archive's solid flag)
    bool encrypted = false;
    std::uint8_t salt[8] = {};
    bool hasSalt = false;
    // RAR 5 entries (unpackVersion 50) take method, dictionary and solid from the compression-info
    // field; these say which distance alphabet the stream uses and which checksums the header has.
    bool extendedDistances = false;
    bool hasCrc = true;
    bool hasBlake = false;
    std::uint8_t blake[32] = {}; // BLAKE2sp of the unpacked data
};

// The file entries (no folders, no RAR 5 links) of the RAR archive whose first volume is `path`, relative to
// kRarSamples, in archive order. Empty when the samples are absent (check SamplesPresent()).
std::vector<PackedEntry> PackedEntries(const std::string& path);
bool SamplesPresent();

struct DecodeResult {
    rardec::Status status = rardec::Status::Ok;
    std::uint64_t size = 0; // bytes written
    std::uint32_t crc = 0;  // of what was written
    bool whole() const { return status == rardec::Status::Ok; }
};

// Decodes the entries in order with one decoder per archive (made by makeDecoder for the first
// compressed entry), solid entries continuing the state; stored entries are copied and skipped by
// the decoder. One result per entry.
std::vector<DecodeResult> DecodeAll(const std::vector<PackedEntry>& entries);

// One entry's bytes through `decoder`.
DecodeResult DecodeOne(rardec::Decoder& decoder, const PackedEntry& entry, bool solid);

} // namespace brisko::test
