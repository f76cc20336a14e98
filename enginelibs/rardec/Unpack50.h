#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "rardec/Decoder.h"

// The RAR 5 decoder beyond what makeDecoder offers: what an entry's compression-info field means, the
// largest dictionary the decoder will take, and the decoder for RAR 7's wider distance alphabet.
namespace brisko::rardec {

// A RAR 5 file header's compression-info field, taken apart.
struct Rar5Compression {
    unsigned version = 0;           // 0: RAR 5.0 streams; 1: RAR 7.0 streams
    bool solid = false;             // continues the decoder state of the entry before
    unsigned method = 0;            // 0 stored, 1..5 compressed (one decoder for all levels)
    std::uint64_t dictionary = 0;   // bytes
    bool extendedDistances = false; // the stream uses RAR 7's 80 distance slots instead of 64
    bool known = false;             // a version and method this decoder reads
};

Rar5Compression parseRar5Compression(std::uint64_t info);

// The largest dictionary a RAR 5 decoder allocates: half the machine's physical memory, and never more
// than 64 GiB. A larger one makes decode() return Status::NoMemory.
std::uint64_t rar5DictionaryCap();

// A RAR 5 decoder. `dictionarySize` must be the largest dictionary of the entries it will decode (RAR
// announces smaller dictionaries on small files); the window is never smaller than 8 MiB, so entries
// that declare less always fit. `extendedDistances` selects RAR 7's distance alphabet for every entry
// the decoder sees (a solid stream cannot change it). The window is allocated by the first decode()
// and never cleared: a non-solid entry cannot reach bytes it has not produced itself.
std::unique_ptr<Decoder> makeRar50Decoder(std::size_t dictionarySize, bool extendedDistances);

} // namespace brisko::rardec
