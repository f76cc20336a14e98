// The RAR 5 decoder on streams written here and checked against libarchive's decoder, for what the
// real samples (checked through the engine) do not reach. Faults caught here:
// - matches, length bonuses, repeat distances, align-coded distances, tables reused across blocks
//   decoded wrongly, in RAR 5's and in RAR 7's wider distance alphabet
// - the delta, x86 (E8, E8E9, past 16 MiB of offset) and ARM filters, and filters across the end
//   of the window
// - what the format forbids (distances before the start, unset repeats, unknown or oversized or
//   overlapping filters, short streams, bad block headers) taken as whole
// - an output's stop ignored; a dictionary beyond the cap taken, one within it refused
#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>
#include <bit>
#include <functional>
#include <random>
#include <utility>
#include <zlib.h>

#include "rardec/StreamSupport.h"
#include "rardec/Unpack50.h"
#include "support/ArchiveBytes.h"

namespace brisko::test {
namespace {

using rardec::Status;

// ---- Streams written here -------------------------------------------------------------------------

// Writes RAR 5 blocks with flat codes: every symbol of an alphabet has the same length, so the code of
// a symbol is its number (real compressors' fitted codes come with the samples).
class StreamWriter {
public:
    explicit StreamWriter(bool extended = false, bool alignCoded = false)
        : m_sizes{306, extended ? 80u : 64u, 16, 44}, m_widths{9, 7, alignCoded ? 5u : 4u, 6} {}

    void literals(const std::vector<std::uint8_t>& bytes) {
        for (const std::uint8_t b : bytes) {
            symbol(kMain, b);
        }
    }
    void match(std::size_t length, std::uint64_t distance, int times = 1) {
        for (int i = 1; i < times; ++i) {
            match(length, distance);
        }
        const unsigned bonus = (distance > 0x100) + (distance > 0x2000) + (distance > 0x40000);
        const unsigned lengthSlot = slot(length - 2 - bonus, 2);
        symbol(kMain, 262 + lengthSlot);
        lengthExtra(length - 2 - bonus, lengthSlot);
        const std::uint64_t value = distance - 1;
        const unsigned distanceSlot = value < 4 ? static_cast<unsigned>(value) : slot(value, 1);
        symbol(kDistance, distanceSlot);
        if (distanceSlot >= 4) {
            const unsigned extra = (distanceSlot - 2) >> 1;
            const std::uint64_t low = value - (std::uint64_t(2 | (distanceSlot & 1)) << extra);
            if (extra < 4) {
                m_tokens.emplace_back(low, extra);
            } else {
                m_tokens.emplace_back(low >> 4, extra - 4);
                symbol(kAlign, static_cast<unsigned>(low & 15));
            }
        }
    }
    void repeat(unsigned which, std::size_t length) {
        symbol(kMain, 258 + which);
        const unsigned lengthSlot = slot(length - 2, 2);
        symbol(kLength, lengthSlot);
        lengthExtra(length - 2, lengthSlot);
    }
    void repeatLast() { symbol(kMain, 257); }
    void filter(std::uint32_t start, std::uint32_t length, unsigned type, unsigned channels = 1) {
        symbol(kMain, 256);
        for (const std::uint32_t number : {start, length}) {
            const unsigned bytes = number < 0x100 ? 1 : number < 0x10000 ? 2 : number < 0x1000000 ? 3 : 4;
            m_tokens.emplace_back(bytes - 1, 2);
            for (unsigned i = 0; i < bytes; ++i) {
                m_tokens.emplace_back((number >> (8 * i)) & 0xFF, 8);
            }
        }
        m_tokens.emplace_back(type, 3);
        if (type == 0) {
            m_tokens.emplace_back(channels - 1, 5);
        }
    }
    // Closes the current block; the tables go with it when `tables`, else the last ones are used.
    void endBlock(bool tables, bool last) {
        BitWriter block;
        if (tables) {
            for (unsigned i = 0; i < 20; ++i) {
                block.put(5, 4); // pre-code: every length 5, so the code of a length is the length
            }
            for (unsigned alphabet = 0; alphabet < 4; ++alphabet) {
                for (unsigned s = 0; s < m_sizes[alphabet]; ++s) {
                    block.put(m_widths[alphabet], 5);
                }
            }
        }
        for (const auto& [value, bits] : m_tokens) {
            block.put(value, bits);
        }
        m_tokens.clear();
        const std::size_t size = block.bytes.size();
        const unsigned sizeBytes = size < 0x100 ? 1 : size < 0x10000 ? 2 : 3;
        const unsigned validBits = size == 0 ? 1 : static_cast<unsigned>(block.bits() - (size - 1) * 8);
        const auto flags = static_cast<std::uint8_t>((validBits - 1) | ((sizeBytes - 1) << 3) |
                                                     (last ? 0x40 : 0) | (tables ? 0x80 : 0));
        std::uint8_t check = 0x5A ^ flags;
        for (unsigned i = 0; i < sizeBytes; ++i) {
            check ^= static_cast<std::uint8_t>(size >> (8 * i));
        }
        stream.insert(stream.end(), {flags, check});
        for (unsigned i = 0; i < sizeBytes; ++i) {
            stream.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
        }
        stream.insert(stream.end(), block.bytes.begin(), block.bytes.end());
    }
    std::vector<std::uint8_t> stream;

private:
    enum : std::uint8_t { kMain, kDistance, kAlign, kLength };
    void symbol(std::uint8_t alphabet, unsigned value) { m_tokens.emplace_back(value, m_widths[alphabet]); }
    // The slot of `value` when slots carry `topBits` leading bits (2 for lengths, 1 for distances).
    static unsigned slot(std::uint64_t value, unsigned topBits) {
        if (value < (1u << (topBits + 1))) {
            return static_cast<unsigned>(value);
        }
        const unsigned extra = static_cast<unsigned>(std::bit_width(value)) - 1 - topBits;
        const unsigned high = static_cast<unsigned>(value >> extra) & ((1u << topBits) - 1);
        return topBits == 2 ? (extra + 1) * 4 + high : 2 * extra + 2 + high;
    }
    void lengthExtra(std::uint64_t value, unsigned lengthSlot) {
        if (lengthSlot >= 8) {
            const unsigned extra = (lengthSlot >> 2) - 1;
            m_tokens.emplace_back(value - (std::uint64_t(4 | (lengthSlot & 3)) << extra), extra);
        }
    }

    unsigned m_sizes[4];
    unsigned m_widths[4];
    std::vector<std::pair<std::uint64_t, unsigned>> m_tokens; // value, bits
};

// ---- libarchive as the reference ------------------------------------------------------------------

// libarchive's decoding of `stream` as the one entry (4 MiB dictionary, method 3, no checksum) of a
// RAR 5 archive; empty when it fails.
std::vector<std::uint8_t> libarchiveDecode(const std::vector<std::uint8_t>& stream, std::uint64_t size) {
    Bytes archive = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00}, body;
    const auto append = [&](const Bytes& block) {
        archive.insert(archive.end(), block.begin(), block.end());
    };
    append(Rar5Block({1, 0, 0}));
    // File header with data; no time, no CRC; size; mode; method 3, 4 MiB; host; name "f".
    for (const std::uint64_t field :
         {std::uint64_t(2), std::uint64_t(2), std::uint64_t(stream.size()), std::uint64_t(0), size,
          std::uint64_t(0100644), std::uint64_t((3u << 7) | (5u << 10)), std::uint64_t(1),
          std::uint64_t(1)}) {
        Vint(body, field);
    }
    body.push_back('f');
    append(Rar5Block(body));
    append(stream);
    append(Rar5Block({5, 0, 0}));
    std::vector<std::uint8_t> out;
    struct archive* reader = archive_read_new();
    archive_read_support_format_rar5(reader);
    archive_entry* header = nullptr;
    const void* block = nullptr;
    std::size_t length = 0;
    la_int64_t offset = 0;
    int status = archive_read_open_memory(reader, archive.data(), archive.size());
    if (status == ARCHIVE_OK && archive_read_next_header(reader, &header) == ARCHIVE_OK) {
        while ((status = archive_read_data_block(reader, &block, &length, &offset)) == ARCHIVE_OK) {
            out.insert(out.end(), static_cast<const std::uint8_t*>(block),
                       static_cast<const std::uint8_t*>(block) + length);
        }
    }
    archive_read_free(reader);
    return status == ARCHIVE_EOF ? out : std::vector<std::uint8_t>{};
}

std::vector<std::uint8_t> pattern(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::minstd_rand random(seed);
    for (std::uint8_t& b : bytes) {
        b = static_cast<std::uint8_t>(random() % 7 + 'a'); // few symbols: matches all over
    }
    return bytes;
}

// Streams written here, decoded by us and by libarchive: both must give the same bytes.
TEST(Rar50Streams, DecodeAsLibarchiveDoes) {
    const std::vector<std::uint8_t> text = pattern(70000, 1);
    std::vector<std::uint8_t> code(9000);
    for (std::size_t i = 0; i < code.size(); ++i) {
        code[i] = static_cast<std::uint8_t>(i % 5 == 0   ? 0xE8
                                            : i % 7 == 0 ? 0xE9
                                            : i % 4 == 3 ? 0xEB
                                                         : i * 13);
    }
    const std::vector<std::uint8_t> head(code.begin(), code.begin() + 5000);
    const struct {
        const char* name;
        std::function<void(StreamWriter&)> write;
        std::uint64_t size;
    } cases[] = {
        {"far matches with bonuses, at their edges",
         [&](StreamWriter& w) {
             w.literals(text);
             for (const auto& [length, distance] : std::vector<std::pair<int, int>>{
                      {5, 0x101}, {6, 0x2001}, {300, 69000}, {9, 0x100}, {4097, 17}, {40, 1}}) {
                 w.match(length, distance);
             }
         },
         70000 + 5 + 6 + 300 + 9 + 4097 + 40},
        {"repeat distances, the last match repeated, align-coded distances",
         [&](StreamWriter& w) {
             w.literals(text);
             for (const int distance : {17, 33, 1000, 4097, 59999}) {
                 w.match(12, distance);
             }
             w.repeat(0, 8), w.repeat(1, 9), w.repeat(2, 30), w.repeat(3, 300), w.repeatLast(),
                 w.repeat(3, 2);
         },
         70000 + 5 * 12 + 8 + 9 + 30 + 300 + 300 + 2},
        {"blocks reusing tables, an empty one among them",
         [&](StreamWriter& w) {
             w.literals({'1', '2', '3', '4'});
             w.endBlock(true, false);
             w.match(20, 4);
             w.endBlock(false, false);
             w.endBlock(false, false);
             w.literals({'!'});
         },
         25},
        {"a repeat of the last match before any match",
         [&](StreamWriter& w) {
             w.literals({'a', 'b'});
             w.repeatLast();
             w.literals({'c'});
         },
         3},
        {"delta, x86 and ARM filters",
         [&](StreamWriter& w) {
             w.filter(2, 3000, 0, 3);
             w.literals(std::vector<std::uint8_t>(text.begin(), text.begin() + 3010));
             w.filter(0, 4000, 1);
             w.filter(4000, 5000, 2);
             w.literals(code);
             w.filter(3, 6000, 3);
             w.literals(code);
         },
         3010 + 9000 + 9000},
        // x86 addresses are taken modulo 16 MiB of file offset.
        {"an x86 filter past 16 MiB",
         [&](StreamWriter& w) {
             w.literals(code);
             w.match(4097, 9000, 4100);
             w.filter(0, 60000, 2);
             w.match(4097, 9000, 15);
         },
         9000 + 4115 * 4097},
        // Our window wraps just past 8 MiB: matches and a filter block across that point.
        {"across the window's end",
         [&](StreamWriter& w) {
             w.literals(head);
             w.match(4097, 5000, 2040);
             w.filter(20000, 20000, 3);
             for (int i = 0; i < 10; ++i) {
                 w.match(4097, 4999 + static_cast<unsigned>(i));
             }
         },
         5000 + 2050 * 4097},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Raw or coded low distance bits; RAR 7's alphabet: the same symbols behind 446 code lengths.
        for (const bool alignCoded : {false, true}) {
            StreamWriter narrow(false, alignCoded), wide(true, alignCoded);
            c.write(narrow);
            c.write(wide);
            narrow.endBlock(true, true), wide.endBlock(true, true); // the last block, maybe empty
            const auto reference = libarchiveDecode(narrow.stream, c.size);
            ASSERT_EQ(reference.size(), c.size);
            for (const auto& [stream, extended] : {std::pair{&narrow.stream, false}, {&wide.stream, true}}) {
                const Decoded run = Decode(*rardec::makeRar50Decoder(4 << 20, extended), *stream, c.size);
                EXPECT_EQ(run.status, Status::Ok);
                EXPECT_TRUE(run.bytes == reference) << extended;
            }
        }
    }
}

// Streams that break a rule of the format, each refused with the status a caller can act on.
TEST(Rar50Streams, RefusesWhatTheFormatForbids) {
    const struct {
        const char* name;
        std::function<void(StreamWriter&)> write;
        std::uint64_t size;
        Status expected;
    } cases[] = {
        {"distance before the stream",
         [](StreamWriter& w) {
             w.literals({1, 2}), w.match(5, 3);
         },
         7, Status::Corrupt},
        {"repeat distance of a fresh stream", [](StreamWriter& w) { w.literals({1}), w.repeat(2, 4); }, 5,
         Status::Corrupt},
        {"filter of an unknown type", [](StreamWriter& w) { w.filter(0, 10, 5); }, 0, Status::Unsupported},
        {"filter over 4 MiB", [](StreamWriter& w) { w.filter(0, 0x400001, 1); }, 0, Status::Corrupt},
        {"filters overlapping", [](StreamWriter& w) { w.filter(0, 100, 1), w.filter(50, 100, 1); }, 0,
         Status::Corrupt},
        {"filter never completed", [](StreamWriter& w) { w.filter(0, 100, 1), w.literals({7}); }, 1,
         Status::Corrupt},
        {"stream shorter than the entry", [](StreamWriter& w) { w.literals({1}); }, 2, Status::Corrupt},
        {"extra output is dropped",
         [](StreamWriter& w) {
             w.literals({1, 2, 3});
         },
         2, Status::Ok},
        {"symbols without tables", [](StreamWriter& w) { w.literals({1}), w.endBlock(false, true); }, 1,
         Status::Corrupt},
        {"empty last block ends an empty entry", [](StreamWriter& w) { w.endBlock(false, true); }, 0,
         Status::Ok},
        {"block size field of four bytes",
         [](StreamWriter& w) { w.stream = {0x18 | 0xC0, 0x5A ^ 0xD8, 0, 0, 0, 0}; }, 0, Status::Corrupt},
        {"block header checksum",
         [](StreamWriter& w) {
             w.stream = {0xC0, 0x00, 0x01, 0x00};
         },
         0, Status::Corrupt},
        {"tables cut by the block end",
         [](StreamWriter& w) {
             w.stream = {0xC7, 0x5A ^ 0xC7 ^ 2, 2, 0x55, 0x55};
         },
         0, Status::Corrupt},
    };
    for (const auto& c : cases) {
        StreamWriter writer;
        c.write(writer);
        if (writer.stream.empty()) {
            writer.endBlock(true, true);
        }
        const Decoded run = Decode(*rardec::makeRar50Decoder(128 * 1024, false), writer.stream, c.size);
        EXPECT_EQ(run.status, c.expected) << c.name;
        EXPECT_LE(run.bytes.size(), c.size) << c.name;
        EXPECT_TRUE(c.expected != Status::Ok || run.bytes.size() == c.size) << c.name;
    }
}

// Stopping on the output's word; dictionaries past libarchive's 64 MiB taken, past our cap refused.
TEST(Rar50Streams, StopsWhenAskedAndTakesDictionariesUpToTheCap) {
    StreamWriter writer;
    writer.literals({'a'});
    writer.match(4000, 1);
    writer.endBlock(true, true);
    BytesInput input(writer.stream);
    Collect output(1);
    EXPECT_EQ(
        rardec::makeRar50Decoder(128 * 1024, false)->decode(input, writer.stream.size(), 4001, false, output),
        Status::Stopped);
    const Decoded whole = Decode(*rardec::makeRar50Decoder(std::size_t(1) << 30, false), writer.stream, 4001);
    EXPECT_EQ(whole.status, Status::Ok);
    EXPECT_EQ(whole.bytes.size(), 4001u);
    const auto tooBig = static_cast<std::size_t>(rardec::rar5DictionaryCap() + 1);
    EXPECT_EQ(Decode(*rardec::makeRar50Decoder(tooBig, true), writer.stream, 4001).status, Status::NoMemory);
}

} // namespace
} // namespace brisko::test
