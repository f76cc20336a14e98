// RAR 5 (and RAR 7) LZ decoding: blocks with their own prefix-code tables, four repeat distances, and
// the delta / x86 / ARM filters applied on the way out of the window.
#include "rardec/Unpack50.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <unistd.h>
#include <vector>

#include "rardec/Decoders.h"

namespace brisko::rardec {

namespace {

constexpr unsigned kMainSymbols = 306;
constexpr unsigned kDistanceSymbols = 64;
constexpr unsigned kExtendedDistanceSymbols = 80;
constexpr unsigned kAlignSymbols = 16;
constexpr unsigned kLengthSymbols = 44;
constexpr unsigned kPreSymbols = 20;
constexpr unsigned kMaxTableSymbols =
    kMainSymbols + kExtendedDistanceSymbols + kAlignSymbols + kLengthSymbols;

constexpr std::size_t kMaxMatch = 0x1001 + 3; // longest slot length plus the largest distance bonus
constexpr std::uint32_t kMaxFilterLength = 0x400000;
constexpr std::size_t kMaxPendingFilters = 8192;
// The window holds at least a whole filter block (which must be complete before it can be written)
// and still leaves megabytes to decode into.
constexpr std::size_t kMinWindow = std::size_t(8) << 20;
// Match copies move 16 bytes at a time and may write up to 15 bytes past the match: the window keeps
// this many bytes beyond the largest distance, and as many again after its end.
constexpr std::size_t kWindowSlack = 64;
// Zeros after a block's bytes: the reader loads 8 bytes at a time, and a damaged symbol is only
// noticed after it has run past the block's end (by at most a hundred bits).
constexpr std::size_t kBlockPadding = 64;
constexpr std::uint64_t kFlushChunk = std::uint64_t(4) << 20;
// A stream that goes on producing this far past the entry's size is not decoded further.
constexpr std::uint64_t kMaxExcess = std::uint64_t(4) << 20;
constexpr std::uint64_t kHardDictionaryCap = std::uint64_t(64) << 30;
constexpr std::uint64_t kNoDistance = ~std::uint64_t(0); // repeat distances of a fresh stream

std::uint64_t load64(const std::uint8_t* at) {
    std::uint64_t value;
    std::memcpy(&value, at, sizeof value);
    if constexpr (std::endian::native == std::endian::little) {
        value = __builtin_bswap64(value);
    }
    return value;
}

// The bits of one block, read from memory that has kBlockPadding readable bytes past the block. A RAR 5
// block states its exact length in bits and decoding must stop right there, so each block is read
// whole into memory: the reader then needs no refills and always knows its bit position.
class BlockBits {
public:
    void reset(const std::uint8_t* data, std::uint64_t endBit) {
        m_data = data;
        m_pos = 0;
        m_end = endBit;
    }
    // At least 57 bits from the current position, left-aligned.
    std::uint64_t window() const { return load64(m_data + (m_pos >> 3)) << (m_pos & 7); }
    // The next `count` bits (0..56).
    std::uint64_t take(unsigned count) {
        const std::uint64_t value = (window() >> 1) >> (63 - count);
        m_pos += count;
        return value;
    }
    void skip(unsigned count) { m_pos += count; }
    bool overrun() const { return m_pos > m_end; }
    std::uint64_t& pos() { return m_pos; }
    std::uint64_t end() const { return m_end; }
    const std::uint8_t* data() const { return m_data; }

private:
    const std::uint8_t* m_data = nullptr;
    std::uint64_t m_pos = 0;
    std::uint64_t m_end = 0;
};

// A canonical prefix code (lengths 0..15, shorter codes first, then by symbol), decoded from
// left-aligned bits with one table look-up for the short codes; the decode loop feeds it the bits it
// has already loaded.
class PrefixCode {
public:
    bool build(const std::uint8_t* lengths, unsigned count) {
        unsigned perLength[kMaxLength + 1] = {};
        for (unsigned s = 0; s < count; ++s) {
            ++perLength[lengths[s]];
        }
        perLength[0] = 0;
        std::uint32_t code = 0;
        std::uint32_t index = 0;
        for (unsigned len = 1; len <= kMaxLength; ++len) {
            m_first[len] = code;
            m_offset[len] = index;
            code += perLength[len] << (kMaxLength - len);
            if (code > (1u << kMaxLength)) {
                return false;
            }
            m_limit[len] = code;
            index += perLength[len];
        }
        unsigned next[kMaxLength + 1] = {};
        for (unsigned s = 0; s < count; ++s) {
            const unsigned len = lengths[s];
            if (len != 0) {
                m_symbols[m_offset[len] + next[len]++] = static_cast<std::uint16_t>(s);
            }
        }
        std::fill(std::begin(m_quick), std::end(m_quick), std::uint16_t(0));
        for (unsigned len = 1; len <= kQuickBits; ++len) {
            const std::uint32_t span = 1u << (kQuickBits - len);
            for (unsigned i = 0; i < perLength[len]; ++i) {
                const std::uint32_t start = (m_first[len] >> (kMaxLength - kQuickBits)) + i * span;
                const auto entry = static_cast<std::uint16_t>((m_symbols[m_offset[len] + i] << 4) | len);
                std::fill(m_quick + start, m_quick + start + span, entry);
            }
        }
        return true;
    }

    // The symbol whose code starts `bits` (left-aligned, at least 15 valid), and its code length;
    // -1 for a pattern no symbol has.
    int decode(std::uint64_t bits, unsigned& length) const {
        const auto top = static_cast<std::uint32_t>(bits >> (64 - kMaxLength));
        const std::uint16_t quick = m_quick[top >> (kMaxLength - kQuickBits)];
        if (quick != 0) {
            length = quick & 15u;
            return quick >> 4;
        }
        for (unsigned len = kQuickBits + 1; len <= kMaxLength; ++len) {
            if (top < m_limit[len]) {
                length = len;
                return m_symbols[m_offset[len] + ((top - m_first[len]) >> (kMaxLength - len))];
            }
        }
        return -1;
    }

    int decode(BlockBits& in) const {
        unsigned length = 0;
        const int symbol = decode(in.window(), length);
        in.skip(length);
        return symbol;
    }

private:
    static constexpr unsigned kMaxLength = 15;
    static constexpr unsigned kQuickBits = 11;
    std::uint16_t m_quick[1u << kQuickBits] = {}; // symbol << 4 | length; 0: a longer code, or none
    std::uint32_t m_first[kMaxLength + 1] = {};   // first code of each length, left-aligned to 15 bits
    std::uint32_t m_limit[kMaxLength + 1] = {};   // end of the codes of each length
    std::uint32_t m_offset[kMaxLength + 1] = {};  // index of the first symbol of each length
    std::uint16_t m_symbols[kMaxTableSymbols] = {};
};

enum class FilterType : std::uint8_t { Delta = 0, E8 = 1, E8E9 = 2, Arm = 3 };

struct Filter {
    std::uint64_t start = 0; // stream position of the block
    std::uint32_t length = 0;
    FilterType type = FilterType::Delta;
    unsigned channels = 0;
};

std::uint32_t le32(const std::uint8_t* at) {
    return std::uint32_t(at[0]) | (std::uint32_t(at[1]) << 8) | (std::uint32_t(at[2]) << 16) |
           (std::uint32_t(at[3]) << 24);
}

void putLe32(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
    at[2] = static_cast<std::uint8_t>(value >> 16);
    at[3] = static_cast<std::uint8_t>(value >> 24);
}

// x86 CALL (and JMP) targets, stored absolute by the compressor, back to relative. `fileOffset` is
// where the block lies in the entry.
void x86Decode(std::uint8_t* data, std::size_t size, std::uint64_t fileOffset, bool jumpsToo) {
    constexpr std::uint32_t kSpan = 0x1000000;
    for (std::size_t i = 0; i + 4 < size;) {
        const std::uint8_t opcode = data[i++];
        if (opcode != 0xE8 && !(jumpsToo && opcode == 0xE9)) {
            continue;
        }
        const auto offset = static_cast<std::uint32_t>((fileOffset + i) & (kSpan - 1));
        const std::uint32_t address = le32(data + i);
        if (address < kSpan) {
            putLe32(data + i, address - offset);
        } else if ((address & 0x80000000u) != 0 && ((address + offset) & 0x80000000u) == 0) {
            putLe32(data + i, address + kSpan);
        }
        i += 4;
    }
}

// ARM BL targets back to relative, in 4-byte words.
void armDecode(std::uint8_t* data, std::size_t size, std::uint64_t fileOffset) {
    for (std::size_t i = 0; i + 3 < size; i += 4) {
        if (data[i + 3] != 0xEB) {
            continue;
        }
        std::uint32_t target =
            std::uint32_t(data[i]) | (std::uint32_t(data[i + 1]) << 8) | (std::uint32_t(data[i + 2]) << 16);
        target -= static_cast<std::uint32_t>((fileOffset + i) >> 2);
        data[i] = static_cast<std::uint8_t>(target);
        data[i + 1] = static_cast<std::uint8_t>(target >> 8);
        data[i + 2] = static_cast<std::uint8_t>(target >> 16);
    }
}

// The compressor stores each channel's byte differences one channel after another.
void deltaDecode(const std::uint8_t* in, std::uint8_t* out, std::size_t size, unsigned channels) {
    std::size_t from = 0;
    for (unsigned channel = 0; channel < channels; ++channel) {
        std::uint8_t previous = 0;
        for (std::size_t at = channel; at < size; at += channels) {
            previous = static_cast<std::uint8_t>(previous - in[from++]);
            out[at] = previous;
        }
    }
}

// The entry's packed bytes, no further than its packed size.
class PackedReader {
public:
    PackedReader(PackedInput& input, std::uint64_t size) : m_input(input), m_left(size) {}

    // Copies up to `count` bytes; fewer only at the end of the data or on an error.
    std::size_t read(std::uint8_t* out, std::size_t count) {
        std::size_t got = 0;
        count = static_cast<std::size_t>(std::min<std::uint64_t>(count, m_left));
        while (got < count && !m_failed) {
            const long n = m_input.read(out + got, count - got);
            if (n <= 0) {
                m_failed = n < 0;
                m_left = 0;
                break;
            }
            got += static_cast<std::size_t>(n);
            m_left -= static_cast<std::uint64_t>(n);
        }
        return got;
    }
    std::uint64_t left() const { return m_left; }
    bool failed() const { return m_failed; }

private:
    PackedInput& m_input;
    std::uint64_t m_left;
    bool m_failed = false;
};

// Copies a match of `length` bytes from `distance` back (1..size) within the circular window of
// `size` bytes; returns the new write position. Without wrap-around it copies in 16-byte steps that
// may write up to 15 bytes past the match (into the window's slack, or over bytes older than any
// distance the decoder accepts).
std::size_t copyMatch(std::uint8_t* window, std::size_t size, std::size_t pos, std::uint64_t distance,
                      std::size_t length) {
    std::size_t from = pos >= distance ? pos - static_cast<std::size_t>(distance)
                                       : pos + size - static_cast<std::size_t>(distance);
    if (length <= size - pos && length <= size - from) {
        std::uint8_t* to = window + pos;
        const std::uint8_t* src = window + from;
        if (distance >= 16) {
            for (std::size_t i = 0; i < length; i += 16) {
                std::memcpy(to + i, src + i, 16);
            }
        } else if (distance == 1) {
            std::memset(to, *src, length);
        } else {
            for (std::size_t i = 0; i < length; ++i) {
                to[i] = src[i];
            }
        }
        pos += length;
        return pos == size ? 0 : pos;
    }
    for (std::size_t i = 0; i < length; ++i) {
        window[pos] = window[from];
        if (++pos == size) {
            pos = 0;
        }
        if (++from == size) {
            from = 0;
        }
    }
    return pos;
}

class Rar50Decoder final : public Decoder {
public:
    Rar50Decoder(std::size_t dictionarySize, bool extendedDistances)
        : m_dictionary(dictionarySize),
          m_distanceSymbols(extendedDistances ? kExtendedDistanceSymbols : kDistanceSymbols) {}

    Status decode(PackedInput& input, std::uint64_t packedSize, std::uint64_t unpackedSize, bool solid,
                  Output& output) override {
        try {
            if (!m_window) {
                const Status status = allocate();
                if (status != Status::Ok) {
                    return status;
                }
            }
            if (solid && m_broken) {
                return Status::Corrupt; // the state to continue from was never completed
            }
            if (!solid) {
                m_pos = 0;
                m_total = 0;
                std::fill(std::begin(m_rep), std::end(m_rep), kNoDistance);
                m_lastLength = 0;
                m_haveTables = false;
            }
            m_broken = true;
            m_entryStart = m_total;
            m_entryEnd =
                unpackedSize > ~std::uint64_t(0) - m_total ? ~std::uint64_t(0) : m_total + unpackedSize;
            m_flushed = m_total;
            m_filters.clear();
            m_nextFilter = 0;
            m_filtersEnd = m_total;
            m_output = &output;
            m_excess = false;
            m_checkAt = m_total;
            PackedReader reader(input, packedSize);
            const Status status = run(reader);
            m_output = nullptr;
            if (status == Status::Ok) {
                m_broken = false;
            }
            return status;
        } catch (const std::bad_alloc&) {
            m_output = nullptr;
            return Status::NoMemory;
        }
    }

private:
    Status allocate() {
        const std::uint64_t wanted = std::max<std::uint64_t>(m_dictionary, kMinWindow);
        if (m_dictionary > rar5DictionaryCap()) {
            return Status::NoMemory;
        }
        const std::size_t size = static_cast<std::size_t>(wanted) + kWindowSlack;
        // Not cleared: the decoder never reads a byte it has not written in the current stream, and
        // untouched pages of a large dictionary cost nothing.
        m_window.reset(new (std::nothrow) std::uint8_t[size + kWindowSlack]);
        if (!m_window) {
            return Status::NoMemory;
        }
        std::memset(m_window.get() + size, 0, kWindowSlack);
        m_windowSize = size;
        m_maxDistance = wanted;
        return Status::Ok;
    }

    Status run(PackedReader& reader) {
        bool last = false;
        while (!last && !m_excess) {
            std::uint8_t head[2];
            const std::size_t got = reader.read(head, 2);
            if (reader.failed()) {
                return Status::ReadError;
            }
            if (got < 2) {
                break; // the data ends without a last block: whatever was produced has to do
            }
            const unsigned flags = head[0];
            const unsigned sizeBytes = ((flags >> 3) & 3) + 1;
            if (sizeBytes == 4) {
                return Status::Corrupt;
            }
            std::uint8_t sizeField[3] = {};
            if (reader.read(sizeField, sizeBytes) < sizeBytes) {
                if (reader.failed()) {
                    return Status::ReadError;
                }
                break;
            }
            unsigned check = 0x5A ^ flags;
            std::size_t blockSize = 0;
            for (unsigned i = 0; i < sizeBytes; ++i) {
                check ^= sizeField[i];
                blockSize |= std::size_t(sizeField[i]) << (8 * i);
            }
            if ((check & 0xFF) != head[1]) {
                return Status::Corrupt;
            }
            if (blockSize > reader.left()) {
                break; // cut short
            }
            if (m_block.size() < blockSize + kBlockPadding) {
                m_block.resize(blockSize + kBlockPadding);
            }
            if (reader.read(m_block.data(), blockSize) < blockSize) {
                if (reader.failed()) {
                    return Status::ReadError;
                }
                break;
            }
            std::memset(m_block.data() + blockSize, 0, kBlockPadding);
            const std::uint64_t bits =
                blockSize == 0 ? 0 : (std::uint64_t(blockSize) - 1) * 8 + (flags & 7) + 1;
            BlockBits in;
            in.reset(m_block.data(), bits);
            if ((flags & 0x80) != 0) {
                if (!readTables(in)) {
                    return Status::Corrupt;
                }
            } else if (!m_haveTables && bits != 0) {
                return Status::Corrupt;
            }
            const Status status = decodeBlock(in);
            if (status != Status::Ok) {
                return status;
            }
            last = (flags & 0x40) != 0;
        }
        const Status status = flush();
        if (status != Status::Ok) {
            return status;
        }
        return m_flushed >= m_entryEnd ? Status::Ok : Status::Corrupt;
    }

    bool readTables(BlockBits& in) {
        std::uint8_t preLengths[kPreSymbols] = {};
        for (unsigned i = 0; i < kPreSymbols;) {
            const auto length = static_cast<unsigned>(in.take(4));
            if (length != 15) {
                preLengths[i++] = static_cast<std::uint8_t>(length);
                continue;
            }
            const auto zeros = static_cast<unsigned>(in.take(4));
            if (zeros == 0) {
                preLengths[i++] = 15;
            } else {
                for (unsigned n = 0; n < zeros + 2 && i < kPreSymbols; ++n) {
                    preLengths[i++] = 0;
                }
            }
        }
        if (in.overrun() || !m_preCode.build(preLengths, kPreSymbols)) {
            return false;
        }
        const unsigned count = kMainSymbols + m_distanceSymbols + kAlignSymbols + kLengthSymbols;
        std::uint8_t lengths[kMaxTableSymbols] = {};
        for (unsigned i = 0; i < count;) {
            const int symbol = m_preCode.decode(in);
            if (symbol < 0 || in.overrun()) {
                return false;
            }
            if (symbol < 16) {
                lengths[i++] = static_cast<std::uint8_t>(symbol);
                continue;
            }
            const bool longRun = symbol == 17 || symbol == 19;
            const unsigned run =
                longRun ? 11 + static_cast<unsigned>(in.take(7)) : 3 + static_cast<unsigned>(in.take(3));
            std::uint8_t value = 0;
            if (symbol < 18) {
                if (i == 0) {
                    return false;
                }
                value = lengths[i - 1];
            }
            for (unsigned n = 0; n < run && i < count; ++n) {
                lengths[i++] = value;
            }
        }
        if (in.overrun()) {
            return false;
        }
        const std::uint8_t* at = lengths;
        if (!m_main.build(at, kMainSymbols) || !m_distance.build(at + kMainSymbols, m_distanceSymbols)) {
            return false;
        }
        at += kMainSymbols + m_distanceSymbols;
        m_alignCoded = std::any_of(at, at + kAlignSymbols, [](std::uint8_t length) { return length != 4; });
        if (!m_align.build(at, kAlignSymbols) || !m_length.build(at + kAlignSymbols, kLengthSymbols)) {
            return false;
        }
        m_haveTables = true;
        return true;
    }

    // Flushes, then sets how far decoding may go before the next flush without overwriting what the
    // output has not had yet.
    Status makeRoom() {
        const Status status = flush();
        if (status != Status::Ok) {
            return status;
        }
        if (m_flushed >= m_entryEnd && m_total - m_entryEnd >= kMaxExcess) {
            m_excess = true; // the entry is complete; what follows cannot be for it
            return Status::Ok;
        }
        const std::uint64_t room = m_windowSize - (m_total - m_flushed);
        constexpr std::uint64_t kMargin = kMaxMatch + kWindowSlack;
        if (room <= kMargin) {
            return Status::Corrupt; // cannot happen with filters of at most 4 MiB, kept as a guard
        }
        m_checkAt = m_total + std::min(kFlushChunk, room - kMargin);
        return Status::Ok;
    }

    Status decodeBlock(BlockBits& in) {
        std::uint8_t* const window = m_window.get();
        const std::size_t size = m_windowSize;
        std::size_t pos = m_pos;
        std::uint64_t total = m_total;
        // Locals, not members: every byte stored into the window could otherwise alias them.
        const std::uint64_t end = in.end();
        std::uint64_t bit = in.pos();
        std::uint64_t checkAt = m_checkAt;
        const std::uint8_t* const data = in.data();
        const auto take = [&](unsigned count) -> std::uint64_t {
            const std::uint64_t value = ((load64(data + (bit >> 3)) << (bit & 7)) >> 1) >> (63 - count);
            bit += count;
            return value;
        };
        const auto slotLength = [&](unsigned slot) -> std::size_t {
            if (slot < 8) {
                return slot + 2;
            }
            const unsigned extra = (slot >> 2) - 1;
            return (std::size_t(4 | (slot & 3)) << extra) + static_cast<std::size_t>(take(extra)) + 2;
        };
        const auto save = [&] {
            m_pos = pos;
            m_total = total;
            in.pos() = bit;
        };
        while (bit < end) {
            if (total >= checkAt) {
                save();
                const Status status = makeRoom();
                if (status != Status::Ok || m_excess) {
                    return status;
                }
                checkAt = m_checkAt;
            }
            unsigned codeLength = 0;
            const int symbol = m_main.decode(load64(data + (bit >> 3)) << (bit & 7), codeLength);
            bit += codeLength;
            if (symbol < 256) {
                if (symbol < 0) {
                    return Status::Corrupt;
                }
                window[pos] = static_cast<std::uint8_t>(symbol);
                if (++pos == size) {
                    pos = 0;
                }
                ++total;
                continue;
            }
            std::uint64_t distance = 0;
            std::size_t length = 0;
            if (symbol >= 262) {
                length = slotLength(static_cast<unsigned>(symbol - 262));
                const int slot = m_distance.decode(load64(data + (bit >> 3)) << (bit & 7), codeLength);
                bit += codeLength;
                if (slot < 0) {
                    return Status::Corrupt;
                }
                if (slot < 4) {
                    distance = static_cast<std::uint64_t>(slot) + 1;
                } else {
                    const unsigned extra = static_cast<unsigned>(slot - 2) >> 1;
                    distance = std::uint64_t(2 | (slot & 1)) << extra;
                    if (extra < 4) {
                        distance += take(extra);
                    } else if (m_alignCoded) {
                        distance += take(extra - 4) << 4;
                        const int low = m_align.decode(load64(data + (bit >> 3)) << (bit & 7), codeLength);
                        bit += codeLength;
                        if (low < 0) {
                            return Status::Corrupt;
                        }
                        distance += static_cast<unsigned>(low);
                    } else {
                        distance += take(extra);
                    }
                    distance += 1;
                    length += (distance > 0x100) + (distance > 0x2000) + (distance > 0x40000);
                }
                m_rep[3] = m_rep[2];
                m_rep[2] = m_rep[1];
                m_rep[1] = m_rep[0];
                m_rep[0] = distance;
                m_lastLength = length;
            } else if (symbol == 256) {
                save();
                const Status status = readFilter(in);
                if (status != Status::Ok) {
                    return status;
                }
                bit = in.pos();
                continue;
            } else if (symbol == 257) {
                if (m_lastLength == 0) {
                    continue;
                }
                distance = m_rep[0];
                length = m_lastLength;
            } else {
                const unsigned which = static_cast<unsigned>(symbol - 258);
                distance = m_rep[which];
                for (unsigned i = which; i > 0; --i) {
                    m_rep[i] = m_rep[i - 1];
                }
                m_rep[0] = distance;
                const int slot = m_length.decode(load64(data + (bit >> 3)) << (bit & 7), codeLength);
                bit += codeLength;
                if (slot < 0) {
                    return Status::Corrupt;
                }
                length = slotLength(static_cast<unsigned>(slot));
                m_lastLength = length;
            }
            if (distance > total || distance > m_maxDistance) {
                return Status::Corrupt; // before the stream's start, or beyond the dictionary
            }
            pos = copyMatch(window, size, pos, distance, length);
            total += length;
        }
        save();
        return bit == end ? Status::Ok : Status::Corrupt;
    }

    Status readFilter(BlockBits& in) {
        const auto number = [&in] {
            const auto bytes = static_cast<unsigned>(in.take(2)) + 1;
            std::uint32_t value = 0;
            for (unsigned i = 0; i < bytes; ++i) {
                value |= static_cast<std::uint32_t>(in.take(8)) << (8 * i);
            }
            return value;
        };
        Filter filter;
        const std::uint32_t start = number();
        filter.length = number();
        const auto type = static_cast<unsigned>(in.take(3));
        if (type == static_cast<unsigned>(FilterType::Delta)) {
            filter.channels = static_cast<unsigned>(in.take(5)) + 1;
        }
        if (in.overrun()) {
            return Status::Corrupt;
        }
        if (type > static_cast<unsigned>(FilterType::Arm)) {
            return Status::Unsupported;
        }
        filter.type = static_cast<FilterType>(type);
        filter.start = m_total + start;
        if (filter.length > kMaxFilterLength || filter.start < m_filtersEnd ||
            m_filters.size() - m_nextFilter >= kMaxPendingFilters) {
            return Status::Corrupt;
        }
        if (filter.length == 0) {
            return Status::Ok;
        }
        if (m_nextFilter == m_filters.size() || m_nextFilter >= 1024) {
            // Drop the filters already run, so that a long stream of them does not pile up.
            m_filters.erase(m_filters.begin(), m_filters.begin() + static_cast<std::ptrdiff_t>(m_nextFilter));
            m_nextFilter = 0;
        }
        m_filters.push_back(filter);
        m_filtersEnd = filter.start + filter.length;
        return Status::Ok;
    }

    // Writes what is decoded up to the first filter block not yet complete, filtering the complete ones.
    Status flush() {
        for (;;) {
            const Filter* filter = m_nextFilter < m_filters.size() ? &m_filters[m_nextFilter] : nullptr;
            const std::uint64_t stop = filter != nullptr ? std::min(m_total, filter->start) : m_total;
            if (stop > m_flushed) {
                if (!emitWindow(m_flushed, stop)) {
                    return Status::Stopped;
                }
                m_flushed = stop;
            }
            if (filter == nullptr || filter->start > m_flushed || filter->start + filter->length > m_total) {
                return Status::Ok;
            }
            if (!emitFiltered(*filter)) {
                return Status::Stopped;
            }
            m_flushed = filter->start + filter->length;
            ++m_nextFilter;
        }
    }

    // Where stream position `at` (at most a window behind) lies in the window.
    std::size_t windowIndex(std::uint64_t at) const {
        const auto back = static_cast<std::size_t>(m_total - at);
        return m_pos >= back ? m_pos - back : m_pos + m_windowSize - back;
    }

    // Hands stream bytes [from, from + size) to the output, without what lies past the entry's end.
    bool emit(const std::uint8_t* data, std::size_t size, std::uint64_t from) {
        if (from >= m_entryEnd) {
            return true;
        }
        size = static_cast<std::size_t>(std::min<std::uint64_t>(size, m_entryEnd - from));
        return size == 0 || m_output->write(data, size);
    }

    bool emitWindow(std::uint64_t from, std::uint64_t to) {
        const std::size_t index = windowIndex(from);
        const auto size = static_cast<std::size_t>(to - from);
        const std::size_t first = std::min(size, m_windowSize - index);
        return emit(m_window.get() + index, first, from) && emit(m_window.get(), size - first, from + first);
    }

    bool emitFiltered(const Filter& filter) {
        const std::size_t size = filter.length;
        if (filter.start >= m_entryEnd) {
            return true; // nothing of it belongs to the entry
        }
        m_filterIn.resize(size);
        const std::size_t index = windowIndex(filter.start);
        const std::size_t first = std::min(size, m_windowSize - index);
        std::memcpy(m_filterIn.data(), m_window.get() + index, first);
        std::memcpy(m_filterIn.data() + first, m_window.get(), size - first);
        const std::uint64_t fileOffset = filter.start - m_entryStart;
        switch (filter.type) {
        case FilterType::Delta:
            m_filterOut.resize(size);
            deltaDecode(m_filterIn.data(), m_filterOut.data(), size, filter.channels);
            return emit(m_filterOut.data(), size, filter.start);
        case FilterType::E8:
        case FilterType::E8E9:
            x86Decode(m_filterIn.data(), size, fileOffset, filter.type == FilterType::E8E9);
            break;
        case FilterType::Arm:
            armDecode(m_filterIn.data(), size, fileOffset);
            break;
        }
        return emit(m_filterIn.data(), size, filter.start);
    }

    const std::uint64_t m_dictionary;
    const unsigned m_distanceSymbols;

    std::unique_ptr<std::uint8_t[]> m_window;
    std::size_t m_windowSize = 0; // positions wrap here
    std::uint64_t m_maxDistance = 0;
    std::size_t m_pos = 0;       // where the next byte goes
    std::uint64_t m_total = 0;   // bytes produced since the stream (the first non-solid entry) began
    std::uint64_t m_flushed = 0; // stream position up to which the output has its bytes
    std::uint64_t m_checkAt = 0; // stream position at which to flush and look at the room left
    std::uint64_t m_rep[4] = {kNoDistance, kNoDistance, kNoDistance, kNoDistance};
    std::size_t m_lastLength = 0;
    bool m_broken = false; // the last entry failed: its state cannot be continued
    bool m_excess = false;

    PrefixCode m_preCode;
    PrefixCode m_main;
    PrefixCode m_distance;
    PrefixCode m_align;
    PrefixCode m_length;
    bool m_alignCoded = false; // else the low 4 distance bits come raw
    bool m_haveTables = false;

    std::uint64_t m_entryStart = 0;
    std::uint64_t m_entryEnd = 0;
    Output* m_output = nullptr;
    std::vector<Filter> m_filters;
    std::size_t m_nextFilter = 0;
    std::uint64_t m_filtersEnd = 0; // a new filter block may not start before this
    std::vector<std::uint8_t> m_filterIn;
    std::vector<std::uint8_t> m_filterOut;
    std::vector<std::uint8_t> m_block;
};

} // namespace

Rar5Compression parseRar5Compression(std::uint64_t info) {
    Rar5Compression result;
    result.version = static_cast<unsigned>(info & 0x3F);
    result.solid = (info & 0x40) != 0;
    result.method = static_cast<unsigned>((info >> 7) & 7);
    if (result.version == 0) {
        result.dictionary = std::uint64_t(128 * 1024) << ((info >> 10) & 0xF);
    } else if (result.version == 1) {
        const std::uint64_t fraction = (info >> 15) & 0x1F;
        result.dictionary = (32 + fraction) << (12 + ((info >> 10) & 0x1F));
        result.extendedDistances = (info & (std::uint64_t(1) << 20)) == 0;
    }
    result.known = result.version <= 1 && result.method <= 5;
    return result;
}

std::uint64_t rar5DictionaryCap() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) {
        return std::uint64_t(4) << 30;
    }
    const std::uint64_t half = std::uint64_t(pages) * std::uint64_t(pageSize) / 2;
    return std::max<std::uint64_t>(std::min(half, kHardDictionaryCap), kMinWindow);
}

std::unique_ptr<Decoder> makeRar50Decoder(std::size_t dictionarySize, bool extendedDistances) {
    return std::make_unique<Rar50Decoder>(dictionarySize, extendedDistances);
}

std::unique_ptr<Decoder> makeRar50Decoder(std::size_t dictionarySize) {
    return makeRar50Decoder(dictionarySize, false);
}

} // namespace brisko::rardec
