#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Our own RAR decompression: the decoders of RAR 1.5, 2.0, 2.9 (LZ with its filters, and PPMd
// variant H) and RAR 5. Plain C++ with no file system and no archive headers: the RAR engine finds an entry's
// packed bytes (across volumes, decrypted) and hands them over with the entry's sizes.
namespace brisko::rardec {

enum class Status {
    Ok,
    Corrupt,     // the packed data does not decode (a damaged archive, or a wrong password)
    ReadError,   // the input reported an error
    Stopped,     // the output asked to stop
    NoMemory,    // the dictionary or model announced is more than can be had
    Unsupported, // a feature this decoder does not know
};

// Where an entry's packed bytes come from.
class PackedInput {
public:
    virtual ~PackedInput() = default;
    // Copies up to `size` bytes into `out`: how many, 0 at the end of the entry's packed data, -1 on
    // an error.
    virtual long read(std::uint8_t* out, std::size_t size) = 0;
};

// Where an entry's unpacked bytes go, in order.
class Output {
public:
    virtual ~Output() = default;
    // False asks the decoder to stop (Status::Stopped).
    virtual bool write(const std::uint8_t* data, std::size_t size) = 0;
};

// One decoder serves one archive: a solid entry continues the state the entry before it left.
class Decoder {
public:
    virtual ~Decoder() = default;

    // Decodes one entry: its `packedSize` bytes from `input`, exactly `unpackedSize` bytes to `output`
    // (what the stream holds beyond that is dropped; a stream that ends short is Corrupt). `solid`
    // continues the state of the entry decoded before; otherwise everything starts afresh. After a
    // status other than Ok the decoder's state is undefined until the next non-solid entry.
    virtual Status decode(PackedInput& input, std::uint64_t packedSize, std::uint64_t unpackedSize, bool solid,
                          Output& output) = 0;
};

// The decoder for entries of `unpackVersion` (the RAR 1.5-4.x file header's UnpVer: up to 15 for
// RAR 1.5, 20 and 26 for RAR 2.0, 29 and 36 for RAR 2.9; 50 for RAR 5) with a dictionary of
// `dictionarySize` bytes; null for a version this library does not decode.
std::unique_ptr<Decoder> makeDecoder(unsigned unpackVersion, std::size_t dictionarySize);

} // namespace brisko::rardec
