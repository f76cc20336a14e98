#pragma once

#include "acedec/AceCipher.h"
#include "acedec/BitReader.h"
#include "acedec/ByteSource.h"

#include <cstdint>
#include <vector>

namespace brisko::acedec {

// Where one volume holds a piece of a member's packed data.
struct Segment {
    const ByteSource* volume = nullptr;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// A member's packed data: its segments read as one run of bytes (a member split over volumes continues
// its bit stream and its CBC chain across the cut), decrypted when a cipher is given.
class PackedStream : public ByteStream {
public:
    // The cipher, when given, must outlive the stream; its chain is restarted here. With a cipher only
    // whole 8-byte blocks are delivered: a ragged end is dropped.
    PackedStream(std::vector<Segment> segments, AceCipher* cipher);

    std::uint64_t size() const { return m_total; }
    std::size_t read(std::uint8_t* buffer, std::size_t length) override;

private:
    std::size_t readRaw(std::uint8_t* buffer, std::size_t length);

    std::vector<Segment> m_segments;
    AceCipher* m_cipher;
    std::size_t m_index = 0;       // current segment
    std::uint64_t m_inSegment = 0; // bytes already read from it
    std::uint64_t m_total = 0;
    std::uint8_t m_spare[8] = {}; // a decrypted block, partly handed out
    std::size_t m_spareStart = 0;
    std::size_t m_spareEnd = 0;
};

} // namespace brisko::acedec
