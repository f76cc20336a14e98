// The RAR 2.9 decoder on streams written here, for what the real samples (checked through the engine)
// do not reach. Faults caught here:
// - a length or distance slot, the low-distance repeat, or a repeated distance decoded wrongly
// - a filter block across the flushes of a 64 KiB window
// - filter bookkeeping: two filters on one block, deleting filters mid-block, programs that carry
//   over to solid entries, a forged or unknown program, overlapping blocks
// - solid entries that do not continue window, distances, last length and tables, or that continue
//   after a failure or a stop
// - malformed streams (distance before the start, unset repeats, bad tables, a PPMd block with no
//   model) taken as whole
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <zlib.h>

#include "rardec/Decoders.h"
#include "rardec/StreamSupport.h"

namespace brisko::test {
namespace {

using rardec::Status;

// The filter machine's variable-length number.
void number(BitWriter& out, std::uint32_t value) {
    const unsigned width = value < 16 ? 4 : value < 256 ? 8 : value < 65536 ? 16 : 32;
    out.put(width == 4 ? 0 : width == 8 ? 1 : width == 16 ? 2 : 3, 2);
    out.put(value, width);
}

// The format's length slots, as listed in the format notes; distance slots 0..59 have 0, 0, 0, 0, 1,
// 1, 2, 2, ... 15, 15 extra bits, then 16 (up to slot 47) and 18.
constexpr std::uint32_t kLengthBase[28] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  10,  12,  14,  16,  20,
                                           24, 28, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224};
constexpr unsigned kLengthBits[28] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,
                                      2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};
unsigned distanceBits(unsigned slot) {
    return slot < 4 ? 0 : slot < 34 ? (slot - 2) / 2 : slot < 48 ? 16 : 18;
}

// Writes an LZ stream with fixed-length codes (main symbols 9 bits, distance slots 6, low distance
// bits 5, repeat lengths 5: every code is its symbol's number) and keeps, beside it, the bytes it
// must decode to.
class Script {
public:
    BitWriter bits;
    std::vector<std::uint8_t> expected;

    void tables(bool keepOld = false) {
        bits.align();
        bits.put(keepOld ? 1 : 0, 2); // LZ, and whether the old lengths are kept
        for (int i = 0; i < 20; ++i) {
            bits.put(5, 4); // every pre-code symbol 5 bits long
        }
        for (int i = 0; i < 404; ++i) {
            bits.put(keepOld ? 0 : i < 299 ? 9 : i < 359 ? 6 : 5, 5);
        }
        m_lowRepeat = 0;
    }
    void symbol(unsigned main) { bits.put(main, 9); }
    void literals(const std::string& text) {
        for (const char c : text) {
            symbol(static_cast<std::uint8_t>(c));
            expected.push_back(static_cast<std::uint8_t>(c));
        }
    }
    void copy(std::uint32_t length, std::uint32_t distance) {
        for (std::uint32_t i = 0; i < length && distance != 0 && distance <= expected.size(); ++i) {
            expected.push_back(expected[expected.size() - distance]); // (none for a stream meant to fail)
        }
    }
    // A new match (symbols 271..298). `repeatLow` sends "same low bits for this and the next 15".
    void match(std::uint32_t length, std::uint32_t distance, bool repeatLow = false) {
        lengthSlot(length - 3 - (distance >= 0x2000 ? 1 : 0) - (distance >= 0x40000 ? 1 : 0), 271, 9);
        unsigned slot = 0;
        std::uint32_t base = 0;
        while (slot < 59 && base + (1u << distanceBits(slot)) <= distance - 1) {
            base += 1u << distanceBits(slot++);
        }
        bits.put(slot, 6);
        const std::uint32_t extra = distance - 1 - base;
        if (slot < 10) {
            bits.put(extra, distanceBits(slot));
        } else {
            bits.put(extra >> 4, distanceBits(slot) - 4);
            if (m_lowRepeat > 0) {
                --m_lowRepeat;
            } else {
                bits.put(repeatLow ? 16 : extra & 15, 5);
                m_lowRepeat = repeatLow ? 15 : 0;
            }
        }
        copy(length, distance);
    }
    // Symbols 259..262 with a repeat length (the caller knows the distance it refers to).
    void repeatDistance(unsigned k, std::uint32_t length, std::uint32_t distance) {
        symbol(259 + k);
        lengthSlot(length - 2, 0, 5);
        copy(length, distance);
    }
    void endOfEntry(bool nextHasTables = false) { symbol(256), bits.put(nextHasTables ? 1 : 0, 2); }
    void newTablesHere(bool keepOld) { symbol(256), bits.put(1, 1), tables(keepOld); }
    // Symbol 257 and a filter record.
    void filter(std::uint8_t flags, const std::vector<std::uint8_t>& data) {
        symbol(257);
        const auto size = static_cast<std::uint32_t>(data.size());
        bits.put(flags | (size <= 6 ? size - 1 : size < 7 + 256 ? 6 : 7), 8);
        size <= 6 ? void() : size < 7 + 256 ? bits.put(size - 7, 8) : bits.put(size, 16);
        for (const std::uint8_t byte : data) {
            bits.put(byte, 8);
        }
    }

private:
    // The slot of `value` as symbol `first` + slot in `width` bits, then its extra bits.
    void lengthSlot(std::uint32_t value, unsigned first, unsigned width) {
        unsigned slot = 27;
        while (kLengthBase[slot] > value) {
            --slot;
        }
        bits.put(first + slot, width);
        bits.put(value - kLengthBase[slot], kLengthBits[slot]);
    }
    unsigned m_lowRepeat = 0;
};

// Byte code of `size` bytes that XORs to zero and has checksum `crc`: the decoder takes it for the
// standard program of that length and checksum (their real byte code is not needed to test filters).
// Checksum and XOR are affine in the bits of the code: solve for the bits of the last 8 bytes.
std::vector<std::uint8_t> forgeProgram(std::size_t size, std::uint32_t crc) {
    std::vector<std::uint8_t> code(size, 0);
    code[0] = 0x5A;
    const auto value = [&] {
        std::uint8_t x = 0;
        for (const std::uint8_t b : code) {
            x ^= b;
        }
        return ::crc32(0, code.data(), static_cast<uInt>(size)) | std::uint64_t(x) << 32;
    };
    const auto flip = [&](unsigned bit) {
        code[size - 8 + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    };
    const std::uint64_t base = value();
    std::uint64_t pivotValue[40] = {}, pivotBits[40] = {};
    for (unsigned bit = 0; bit < 64; ++bit) {
        flip(bit);
        std::uint64_t v = value() ^ base, bits = std::uint64_t(1) << bit;
        flip(bit);
        for (int p = 39; p >= 0 && v != 0; --p) {
            if (((v >> p) & 1) != 0 && pivotValue[p] == 0) {
                pivotValue[p] = v, pivotBits[p] = bits;
                break;
            }
            if (((v >> p) & 1) != 0) {
                v ^= pivotValue[p], bits ^= pivotBits[p];
            }
        }
    }
    std::uint64_t want = std::uint64_t(crc) ^ base, flips = 0;
    for (int p = 39; p >= 0; --p) {
        if (((want >> p) & 1) != 0) {
            want ^= pivotValue[p], flips ^= pivotBits[p];
        }
    }
    EXPECT_EQ(want, 0u);
    for (unsigned bit = 0; bit < 64; ++bit) {
        if (((flips >> bit) & 1) != 0) {
            flip(bit);
        }
    }
    return code;
}

constexpr std::uint8_t kNumber = 0x80, kLength = 0x20, kRegisters = 0x10,
                       kNew = kNumber | kLength | kRegisters;
const std::vector<std::uint8_t> kDelta = forgeProgram(29, 0x0E06077D);

// A filter record: with kNumber, `program` as program 0 (deleting all before it), else the last
// program again; for `length` bytes (with kLength) at `offset` from the current position; with
// kRegisters, R0 = 1 (one channel).
std::vector<std::uint8_t> record(std::uint8_t flags, std::uint32_t offset, std::uint32_t length,
                                 const std::vector<std::uint8_t>& program = kDelta) {
    BitWriter data;
    (flags & kNumber) != 0 ? number(data, 0) : void();
    number(data, offset);
    (flags & kLength) != 0 ? number(data, length) : void();
    (flags & kRegisters) != 0 ? data.put(1, 7), number(data, 1) : void();
    (flags & kNumber) != 0 ? number(data, static_cast<std::uint32_t>(program.size())) : void();
    for (const std::uint8_t byte : (flags & kNumber) != 0 ? program : std::vector<std::uint8_t>{}) {
        data.put(byte, 8);
    }
    return data.bytes;
}

void filter(Script& s, std::uint8_t flags, std::uint32_t offset, std::uint32_t length,
            const std::vector<std::uint8_t>& program = kDelta) {
    s.filter(flags, record(flags, offset, length, program));
}

// What DELTA leaves of `block` (one channel): each byte is the previous output minus the input.
void applyDelta(std::vector<std::uint8_t>& bytes, std::size_t start, std::size_t length) {
    std::uint8_t previous = 0;
    for (std::size_t i = start; i < start + length; ++i) {
        previous = static_cast<std::uint8_t>(previous - bytes[i]);
        bytes[i] = previous;
    }
}

// Literals and matches, pseudo-random but repeatable, until `size` bytes: long and short matches at
// distances up to `maxDistance`, including the largest.
void randomContent(Script& script, std::size_t size, std::uint32_t maxDistance, unsigned seed) {
    std::mt19937 random(seed);
    while (script.expected.size() < size) {
        const std::size_t produced = script.expected.size();
        if (produced < 16 || random() % 4 == 0) {
            script.literals(std::string(1, static_cast<char>(random())));
            continue;
        }
        const auto limit = static_cast<std::uint32_t>(std::min<std::size_t>(produced, maxDistance));
        const std::uint32_t distance = random() % 8 == 0 ? limit : 1 + random() % limit;
        const std::uint32_t length = 5 + random() % 254;
        script.match(length, distance);
    }
}

// Every case starts with tables (except the one about a bad table) and ends with an end marker
// (except the ones about missing ones); all use a 64 KiB window.
TEST(Rar29Streams, DecodeAsWrittenOrFailAsExpected) {
    const struct {
        const char* name;
        std::function<void(Script&)> write;
        Status status;
        bool ends = true;
    } cases[] = {
        {"a repeat of the last match before any match is ignored",
         [](Script& s) { s.symbol(258), s.literals("xy"); }, Status::Ok},
        {"a repeat of the low distance bits ends at a new table",
         [](Script& s) {
             randomContent(s, 200, 64, 2);
             s.match(3, 38);
             s.match(4, 38, true); // the low bits of 38 - 1 - 32 again, for this and 15 more matches
             s.newTablesHere(true);
             s.match(5, 40); // sends its own low bits
         },
         Status::Ok},
        {"a filter block spanning several flushes of the window",
         [](Script& s) {
             randomContent(s, 1000, 1000, 4);
             const std::size_t at = s.expected.size();
             filter(s, kNew, 500, 120000);
             randomContent(s, 300000, 1 << 16, 5);
             applyDelta(s.expected, at + 500, 120000);
         },
         Status::Ok},
        {"two filters on one block run one after the other",
         [](Script& s) {
             filter(s, kNew, 10, 100);
             filter(s, kLength | kRegisters, 10, 100);
             randomContent(s, 500, 500, 6);
             applyDelta(s.expected, 10, 100);
             applyDelta(s.expected, 10, 100);
         },
         Status::Ok},
        {"deleting the filters mid-block lets the block out unfiltered",
         [](Script& s) {
             filter(s, kNew, 0, 100000);
             randomContent(s, 80000, 1 << 16, 7); // past the first flush: part of the block is handed over
             filter(s, kNew, 200000, 10);
             randomContent(s, 150000, 1 << 16, 8);
         },
         Status::Ok},
        {"a stream without its end marker is whole once its bytes are there",
         [](Script& s) { s.literals("no marker"); }, Status::Ok, false},
        {"a stream that ends before the entry's size",
         [](Script& s) { s.literals("short"), s.expected.resize(50); }, Status::Corrupt, false},
        {"a distance beyond the bytes decoded", [](Script& s) { s.literals("abc"), s.match(3, 4); },
         Status::Corrupt},
        {"a repeated distance that was never set",
         [](Script& s) { s.literals("abc"), s.repeatDistance(2, 3, 1); }, Status::Corrupt},
        {"a table that repeats a length before the first",
         [](Script& s) {
             s.bits = {};
             s.bits.put(0, 2);
             for (int i = 0; i < 20; ++i) {
                 s.bits.put(5, 4);
             }
             s.bits.put(16, 5), s.bits.put(0, 3), s.expected.resize(1);
         },
         Status::Corrupt, false},
        {"a filter program that is not one of the standard ones",
         [](Script& s) {
             filter(s, kNumber, 0, 0, {0x11, 0x22, 0x33}), s.literals("abc");
         },
         Status::Unsupported},
        {"a filter program whose bytes do not check",
         [](Script& s) {
             filter(s, kNumber, 0, 0, {0x11, 0x22, 0x34}), s.literals("abc");
         },
         Status::Corrupt},
        {"a filter starting inside the block of the one before",
         [](Script& s) {
             filter(s, kNew, 0, 100);
             filter(s, kLength | kRegisters, 50, 100);
             randomContent(s, 500, 500, 9);
         },
         Status::Corrupt},
        {"a PPMd block that continues a model never made",
         [](Script& s) { s.bits = {}, s.bits.put(0x80, 8), s.bits.put(0, 32), s.expected.resize(10); },
         Status::Corrupt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Script script;
        script.tables();
        c.write(script);
        if (c.ends) {
            script.endOfEntry();
        }
        const Decoded run =
            Decode(*rardec::makeRar29Decoder(1 << 16), script.bits.bytes, script.expected.size());
        EXPECT_EQ(run.status, c.status);
        EXPECT_TRUE(c.status != Status::Ok || run.bytes == script.expected)
            << run.bytes.size() << " bytes, " << script.expected.size() << " expected";
    }
}

// Solid entries continue the window, the distances, the last length, the tables and the filter
// programs; the end marker says whether the next entry brings tables of its own. After a failure or
// a stop a solid entry has nothing to continue; a non-solid one starts afresh.
TEST(Rar29Streams, SolidEntriesContinueTheStreamUntilAFailureOrAStop) {
    Script first;
    first.tables();
    first.literals("solid streams share ");
    filter(first, kNew, 0, 40);
    randomContent(first, 100, 100, 10);
    first.match(6, 7);
    first.endOfEntry(false);
    Script second; // no tables: the first entry's are kept
    second.expected = first.expected;
    second.repeatDistance(0, 5, 7);
    second.symbol(258);
    second.copy(5, 7);
    filter(second, kLength | kRegisters, 5, 60); // the program of the entry before
    randomContent(second, first.expected.size() + 200, 300, 11);
    second.endOfEntry(true);
    Script third; // tables again, as the second entry's end announced
    third.expected = second.expected;
    third.tables(true);
    third.match(12, static_cast<std::uint32_t>(third.expected.size()));
    third.endOfEntry(false);

    // Matches copy what was decoded, the filters change only what is handed out.
    const std::size_t reused = first.expected.size() + 10 + 5;
    for (Script* script : {&first, &second, &third}) {
        applyDelta(script->expected, 20, 40);
        if (script != &first) {
            applyDelta(script->expected, reused, 60);
        }
    }
    const auto decoder = rardec::makeRar29Decoder(1 << 16);
    std::size_t at = 0;
    for (const Script* script : {&first, &second, &third}) {
        const Decoded run = Decode(*decoder, script->bits.bytes, script->expected.size() - at, at != 0);
        ASSERT_EQ(run.status, Status::Ok) << "entry at " << at;
        EXPECT_TRUE(run.bytes == std::vector<std::uint8_t>(script->expected.begin() + static_cast<long>(at),
                                                           script->expected.end()))
            << "entry at " << at;
        at = script->expected.size();
    }
    // The same second entry on a fresh stream has nothing to refer to; after that failure a solid
    // entry has nothing to continue, a non-solid one starts afresh.
    const std::size_t firstSize = first.expected.size();
    const auto fresh = rardec::makeRar29Decoder(1 << 16);
    EXPECT_NE(Decode(*fresh, second.bits.bytes, 11, false).status, Status::Ok);
    EXPECT_EQ(Decode(*fresh, first.bits.bytes, firstSize, true).status, Status::Corrupt);
    EXPECT_EQ(Decode(*fresh, first.bits.bytes, firstSize).status, Status::Ok);
    BytesInput input(first.bits.bytes);
    Collect stopping(10);
    EXPECT_EQ(fresh->decode(input, first.bits.bytes.size(), firstSize, false, stopping), Status::Stopped);
    EXPECT_EQ(Decode(*fresh, first.bits.bytes, firstSize, true).status, Status::Corrupt);
}

} // namespace
} // namespace brisko::test
