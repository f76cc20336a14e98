// The RAR 2.9 decoder: on the packed bytes of the real samples, on damaged copies of them, and on
// streams written here to reach what the samples do not (small windows, table switches, filter
// bookkeeping, malformed streams).
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <zlib.h>

#include "rardec/Decoders.h"
#include "rardec/SampleEntries.h"

namespace brisko::test {
namespace {

using rardec::Status;

// ---------------------------------------------------------------------------------------------------
// The samples

struct SampleSet {
    const char* path; // first volume, relative to kRarSamples
    bool needsPpmd;   // has PPMd blocks
    bool plainOnly;   // the set also holds encrypted entries: decode the others
};

const SampleSet kSampleSets[] = {
    {"rar4-compressed-best/test_read_format_rar_compress_best.rar", true, false},
    {"rar4-solid/rar3-solid.rar", false, false},
    {"rar4-solid-comment/Rar.comment.rar", false, false},
    {"rar4-vol-compressed/Rar4.multi.part01.rar", false, false},
    {"rar4-multi-lzss-blocks/test_read_format_rar_multi_lzss_blocks.rar", false, false},
    {"rar4-sfx/test_read_format_rar_sfx.exe", false, false},
    {"rar4-vm-filters/test_read_format_rar_filter.rar", false, false},
    {"rar4-audio-filter/Rar.Audio_program.rar", false, false},
    {"rar4-unicode-names/test_read_format_rar_unicode.rar", false, false},
    {"rar4-enc-partial/test_read_format_rar_encryption_partially.rar", false, true},
    {"rar4-vol-4digit-ppmd/test_read_format_rar_multivolume.part0001.rar", true, false},
};

TEST(Rar29Samples, EveryEntryDecodesToItsSizeAndCrc) {
    if (!SamplesPresent()) {
        GTEST_SKIP() << "the RAR samples are not beside the repository (" << kRarSamples << ")";
    }
    for (const SampleSet& set : kSampleSets) {
        SCOPED_TRACE(std::string(set.path) + (set.needsPpmd ? " (PPMd)" : ""));
        std::vector<PackedEntry> entries = PackedEntries(set.path);
        if (set.plainOnly) {
            std::erase_if(entries, [](const PackedEntry& e) { return e.encrypted; });
        }
        ASSERT_FALSE(entries.empty());
        // Every row has compressed version 29 entries (the stored ones are only copied).
        ASSERT_TRUE(std::any_of(entries.begin(), entries.end(), [](const PackedEntry& e) {
            return e.method != 0x30 && e.unpackVersion == 29;
        }));
        const std::vector<DecodeResult> results = DecodeAll(entries);
        ASSERT_EQ(results.size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(results[i].status, Status::Ok) << entries[i].name;
            EXPECT_EQ(results[i].size, entries[i].unpackedSize) << entries[i].name;
            EXPECT_EQ(results[i].crc, entries[i].crc) << entries[i].name;
        }
    }
}

// Damaged copies of real streams: the decoder must stop cleanly (no crash, no sanitizer report, no
// hang) and never claim a whole entry that it did not produce.
TEST(Rar29Samples, DamagedStreamsFailCleanly) {
    if (!SamplesPresent()) {
        GTEST_SKIP() << "the RAR samples are not beside the repository (" << kRarSamples << ")";
    }
    const char* paths[] = {"rar4-vm-filters/test_read_format_rar_filter.rar",
                           "rar4-solid-comment/Rar.comment.rar", "rar4-audio-filter/Rar.Audio_program.rar",
                           "rar4-compressed-best/test_read_format_rar_compress_best.rar"};
    std::mt19937 random(29);
    for (const char* path : paths) {
        SCOPED_TRACE(path);
        const std::vector<PackedEntry> original = PackedEntries(path);
        ASSERT_FALSE(original.empty());
        // The entry to damage: the largest compressed one (later solid entries depend on it too).
        std::size_t target = 0;
        for (std::size_t i = 0; i < original.size(); ++i) {
            if (original[i].method != 0x30 && original[i].packed.size() > original[target].packed.size()) {
                target = i;
            }
        }
        const std::size_t packedSize = original[target].packed.size();
        struct Damage {
            std::string what;
            std::vector<PackedEntry> entries;
            bool truncated;
        };
        std::vector<Damage> damages;
        for (const std::size_t keep :
             {std::size_t(0), std::size_t(1), packedSize / 10, packedSize / 2, packedSize * 9 / 10}) {
            Damage damage{"cut to " + std::to_string(keep), original, true};
            damage.entries[target].packed.resize(keep);
            damages.push_back(std::move(damage));
        }
        for (int flip = 0; flip < 24; ++flip) {
            const std::size_t bit = random() % (packedSize * 8);
            Damage damage{"bit " + std::to_string(bit) + " flipped", original, false};
            damage.entries[target].packed[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
            damages.push_back(std::move(damage));
        }
        for (const Damage& damage : damages) {
            SCOPED_TRACE(damage.what);
            const auto started = std::chrono::steady_clock::now();
            const std::vector<DecodeResult> results = DecodeAll(damage.entries);
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
            for (std::size_t i = 0; i < results.size(); ++i) {
                if (results[i].whole()) {
                    EXPECT_EQ(results[i].size, damage.entries[i].unpackedSize) << damage.entries[i].name;
                }
                if (damage.truncated && i == target) {
                    EXPECT_FALSE(results[i].whole() && results[i].crc == original[i].crc);
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// Streams written here

class BitWriter {
public:
    void put(std::uint32_t value, unsigned count) {
        for (unsigned i = count; i-- > 0;) {
            if (m_bits % 8 == 0) {
                m_bytes.push_back(0);
            }
            if (((value >> i) & 1) != 0) {
                m_bytes.back() = static_cast<std::uint8_t>(m_bytes.back() | (0x80 >> (m_bits % 8)));
            }
            ++m_bits;
        }
    }
    void align() {
        if (m_bits % 8 != 0) {
            put(0, 8 - m_bits % 8);
        }
    }
    // The filter machine's variable-length number.
    void number(std::uint32_t value) {
        if (value < 16) {
            put(0, 2), put(value, 4);
        } else if (value < 256) {
            put(1, 2), put(value, 8);
        } else if (value < 65536) {
            put(2, 2), put(value, 16);
        } else {
            put(3, 2), put(value >> 16, 16), put(value & 0xFFFF, 16);
        }
    }
    const std::vector<std::uint8_t>& bytes() const { return m_bytes; }

private:
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_bits = 0;
};

// The format's length and distance slots, as listed in the format notes.
constexpr std::uint32_t kLengthBase[28] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  10,  12,  14,  16,  20,
                                           24, 28, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224};
constexpr unsigned kLengthBits[28] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,
                                      2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};

unsigned distanceBits(unsigned slot) {
    return slot < 4 ? 0 : slot < 34 ? (slot - 2) / 2 : slot < 48 ? 16 : 18;
}
std::uint32_t distanceBase(unsigned slot) {
    static const std::vector<std::uint32_t> kBase = [] {
        std::vector<std::uint32_t> base(60, 0);
        for (unsigned s = 1; s < 60; ++s) {
            base[s] = base[s - 1] + (1u << distanceBits(s - 1));
        }
        return base;
    }();
    return kBase[slot];
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
        bits.put(0, 1); // LZ
        bits.put(keepOld ? 1 : 0, 1);
        for (int i = 0; i < 20; ++i) {
            bits.put(5, 4); // every pre-code symbol 5 bits long
        }
        for (int i = 0; i < 404; ++i) {
            const unsigned length = i < 299 ? 9 : i < 359 ? 6 : 5;
            bits.put(keepOld ? 0 : length, 5);
        }
        m_lowRepeat = 0;
    }
    void symbol(unsigned main) { bits.put(main, 9); }
    void literal(std::uint8_t byte) {
        symbol(byte);
        expected.push_back(byte);
    }
    void literals(const std::string& text) {
        for (const char c : text) {
            literal(static_cast<std::uint8_t>(c));
        }
    }
    void copy(std::uint32_t length, std::uint32_t distance) {
        if (distance == 0 || distance > expected.size()) {
            return; // a stream meant to fail
        }
        for (std::uint32_t i = 0; i < length; ++i) {
            expected.push_back(expected[expected.size() - distance]);
        }
    }
    // A new match (symbols 271..298). `repeatLow` sends "same low bits for this and the next 15".
    void match(std::uint32_t length, std::uint32_t distance, bool repeatLow = false) {
        const std::uint32_t coded = length - 3 - (distance >= 0x2000 ? 1 : 0) - (distance >= 0x40000 ? 1 : 0);
        unsigned lengthSlot = 27;
        while (kLengthBase[lengthSlot] > coded) {
            --lengthSlot;
        }
        symbol(271 + lengthSlot);
        bits.put(coded - kLengthBase[lengthSlot], kLengthBits[lengthSlot]);
        unsigned slot = 59;
        while (distanceBase(slot) > distance - 1) {
            --slot;
        }
        bits.put(slot, 6);
        const std::uint32_t extra = distance - 1 - distanceBase(slot);
        if (slot < 10) {
            bits.put(extra, distanceBits(slot));
        } else {
            if (distanceBits(slot) > 4) {
                bits.put(extra >> 4, distanceBits(slot) - 4);
            }
            if (m_lowRepeat > 0) {
                --m_lowRepeat;
            } else if (repeatLow) {
                bits.put(16, 5);
                m_lowRepeat = 15;
            } else {
                bits.put(extra & 15, 5);
            }
        }
        copy(length, distance);
    }
    // Symbols 259..262 with a repeat length (the caller knows the distance it refers to).
    void repeatDistance(unsigned k, std::uint32_t length, std::uint32_t distance) {
        symbol(259 + k);
        unsigned lengthSlot = 27;
        while (kLengthBase[lengthSlot] > length - 2) {
            --lengthSlot;
        }
        bits.put(lengthSlot, 5);
        bits.put(length - 2 - kLengthBase[lengthSlot], kLengthBits[lengthSlot]);
        copy(length, distance);
    }
    void endOfEntry(bool nextHasTables = false) {
        symbol(256);
        bits.put(0, 1);
        bits.put(nextHasTables ? 1 : 0, 1);
    }
    void newTablesHere(bool keepOld) {
        symbol(256);
        bits.put(1, 1);
        tables(keepOld);
    }
    // Symbol 257 and a filter record.
    void filter(std::uint8_t flags, const std::vector<std::uint8_t>& data) {
        symbol(257);
        const std::size_t size = data.size();
        if (size <= 6) {
            bits.put(flags | (size - 1), 8);
        } else if (size < 7 + 256) {
            bits.put(flags | 6, 8), bits.put(static_cast<std::uint32_t>(size - 7), 8);
        } else {
            bits.put(flags | 7, 8), bits.put(static_cast<std::uint32_t>(size), 16);
        }
        for (const std::uint8_t byte : data) {
            bits.put(byte, 8);
        }
    }

private:
    unsigned m_lowRepeat = 0;
};

class BytesInput : public rardec::PackedInput {
public:
    explicit BytesInput(const std::vector<std::uint8_t>& bytes) : m_bytes(bytes) {}
    long read(std::uint8_t* out, std::size_t size) override {
        const std::size_t n = std::min(size, m_bytes.size() - m_at);
        std::copy_n(m_bytes.data() + m_at, n, out);
        m_at += n;
        return static_cast<long>(n);
    }

private:
    const std::vector<std::uint8_t>& m_bytes;
    std::size_t m_at = 0;
};

class Collect : public rardec::Output {
public:
    explicit Collect(std::size_t stopAfter = SIZE_MAX) : m_stopAfter(stopAfter) {}
    bool write(const std::uint8_t* data, std::size_t size) override {
        bytes.insert(bytes.end(), data, data + size);
        return bytes.size() < m_stopAfter;
    }
    std::vector<std::uint8_t> bytes;

private:
    std::size_t m_stopAfter;
};

struct Decoded {
    Status status;
    std::vector<std::uint8_t> bytes;
};

Decoded decodeWith(rardec::Decoder& decoder, const std::vector<std::uint8_t>& packed, std::uint64_t size,
                   bool solid) {
    BytesInput input(packed);
    Collect output;
    const Status status = decoder.decode(input, packed.size(), size, solid, output);
    return {status, std::move(output.bytes)};
}

// Byte code of `size` bytes that XORs to zero and has checksum `crc`: the decoder takes it for the
// standard program of that length and checksum (their real byte code is not needed to test filters).
std::vector<std::uint8_t> forgeProgram(std::size_t size, std::uint32_t crc) {
    std::vector<std::uint8_t> code(size, 0);
    code[0] = 0x5A;
    // Checksum and XOR are affine in the bits of the code: solve for the bits of the last 8 bytes.
    const auto value = [&] {
        std::uint8_t x = 0;
        for (const std::uint8_t b : code) {
            x ^= b;
        }
        return std::uint64_t(::crc32(0, code.data(), static_cast<uInt>(code.size()))) | std::uint64_t(x)
                                                                                            << 32;
    };
    const std::uint64_t base = value();
    std::uint64_t pivotValue[40] = {};
    std::uint64_t pivotBits[40] = {};
    for (unsigned bit = 0; bit < 64; ++bit) {
        std::uint8_t& byte = code[size - 8 + bit / 8];
        byte ^= static_cast<std::uint8_t>(1u << (bit % 8));
        std::uint64_t v = value() ^ base;
        byte ^= static_cast<std::uint8_t>(1u << (bit % 8));
        std::uint64_t bits = std::uint64_t(1) << bit;
        for (int p = 39; p >= 0 && v != 0; --p) {
            if (((v >> p) & 1) == 0) {
                continue;
            }
            if (pivotValue[p] == 0) {
                pivotValue[p] = v, pivotBits[p] = bits;
                break;
            }
            v ^= pivotValue[p], bits ^= pivotBits[p];
        }
    }
    std::uint64_t want = std::uint64_t(crc) ^ base;
    std::uint64_t flips = 0;
    for (int p = 39; p >= 0; --p) {
        if (((want >> p) & 1) != 0) {
            want ^= pivotValue[p], flips ^= pivotBits[p];
        }
    }
    EXPECT_EQ(want, 0u);
    for (unsigned bit = 0; bit < 64; ++bit) {
        if (((flips >> bit) & 1) != 0) {
            code[size - 8 + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        }
    }
    return code;
}

constexpr std::uint8_t kNumber = 0x80, kLength = 0x20, kRegisters = 0x10;

// A filter record defining DELTA as a new program (deleting all programs before it) for `length`
// bytes at `offset` from the current position.
std::vector<std::uint8_t> deltaRecord(std::uint32_t offset, std::uint32_t length, std::uint32_t channels) {
    static const std::vector<std::uint8_t> kDelta = forgeProgram(29, 0x0E06077D);
    BitWriter data;
    data.number(0); // delete every program; this is program 0
    data.number(offset);
    data.number(length);
    data.put(1, 7); // R0 follows
    data.number(channels);
    data.number(static_cast<std::uint32_t>(kDelta.size()));
    for (const std::uint8_t byte : kDelta) {
        data.put(byte, 8);
    }
    return data.bytes();
}

// A record reusing the last program for another block.
std::vector<std::uint8_t> reuseRecord(std::uint32_t offset, std::uint32_t length, std::uint32_t channels) {
    BitWriter data;
    data.number(offset);
    data.number(length);
    data.put(1, 7);
    data.number(channels);
    return data.bytes();
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
            script.literal(static_cast<std::uint8_t>(random()));
            continue;
        }
        const auto limit = static_cast<std::uint32_t>(std::min<std::size_t>(produced, maxDistance));
        const std::uint32_t distance = random() % 8 == 0 ? limit : 1 + random() % limit;
        const std::uint32_t length = 5 + random() % 254;
        script.match(length, distance);
    }
}

// A stream defining a new filter program of these bytes, then three literals.
void programOnly(Script& s, std::initializer_list<std::uint8_t> code) {
    s.tables();
    BitWriter data;
    data.number(0), data.number(0), data.number(static_cast<std::uint32_t>(code.size()));
    for (const std::uint8_t byte : code) {
        data.put(byte, 8);
    }
    s.filter(kNumber, data.bytes());
    s.literals("abc");
    s.endOfEntry();
}

struct StreamCase {
    const char* name;
    std::size_t dictionary;
    std::function<void(Script&)> write;
    Status status;
};

const StreamCase kStreamCases[] = {
    {"a repeat of the last match before any match is ignored", 1 << 16,
     [](Script& s) {
         s.tables();
         s.symbol(258);
         s.literals("xy");
         s.endOfEntry();
     },
     Status::Ok},
    {"a repeat of the low distance bits ends at a new table", 1 << 16,
     [](Script& s) {
         s.tables();
         randomContent(s, 200, 64, 2);
         s.match(3, 38);
         s.match(4, 38, true); // the low bits of 38 - 1 - 32 again, for this and 15 more matches
         s.newTablesHere(true);
         s.match(5, 40); // sends its own low bits
         s.endOfEntry();
     },
     Status::Ok},
    {"a 64 KiB window wrapping many times, with matches as far back as it reaches", 1 << 16,
     [](Script& s) {
         s.tables();
         randomContent(s, 1 << 20, 1 << 16, 3);
         s.endOfEntry();
     },
     Status::Ok},
    {"a filter block spanning several flushes of a 64 KiB window", 1 << 16,
     [](Script& s) {
         s.tables();
         randomContent(s, 1000, 1000, 4);
         const std::size_t at = s.expected.size();
         s.filter(kNumber | kLength | kRegisters, deltaRecord(500, 120000, 1));
         randomContent(s, 300000, 1 << 16, 5);
         applyDelta(s.expected, at + 500, 120000);
         s.endOfEntry();
     },
     Status::Ok},
    {"two filters on one block run one after the other", 1 << 16,
     [](Script& s) {
         s.tables();
         s.filter(kNumber | kLength | kRegisters, deltaRecord(10, 100, 1));
         s.filter(kLength | kRegisters, reuseRecord(10, 100, 1));
         randomContent(s, 500, 500, 6);
         applyDelta(s.expected, 10, 100);
         applyDelta(s.expected, 10, 100);
         s.endOfEntry();
     },
     Status::Ok},
    {"deleting the filters mid-block lets the block out unfiltered", 1 << 16,
     [](Script& s) {
         s.tables();
         s.filter(kNumber | kLength | kRegisters, deltaRecord(0, 100000, 1));
         randomContent(s, 80000, 1 << 16, 7); // past the first flush: part of the block is handed over
         s.filter(kNumber | kLength | kRegisters, deltaRecord(200000, 10, 1));
         randomContent(s, 150000, 1 << 16, 8);
         s.endOfEntry();
     },
     Status::Ok},
    {"a stream without its end marker is whole once its bytes are there", 1 << 16,
     [](Script& s) {
         s.tables();
         s.literals("no marker");
     },
     Status::Ok},
    {"a stream that ends before the entry's size", 1 << 16,
     [](Script& s) {
         s.tables();
         s.literals("short");
         s.expected.resize(50);
     },
     Status::Corrupt},
    {"a distance beyond the bytes decoded", 1 << 16,
     [](Script& s) {
         s.tables();
         s.literals("abc");
         s.match(3, 4);
         s.endOfEntry();
     },
     Status::Corrupt},
    {"a repeated distance that was never set", 1 << 16,
     [](Script& s) {
         s.tables();
         s.literals("abc");
         s.repeatDistance(2, 3, 1);
         s.endOfEntry();
     },
     Status::Corrupt},
    {"a table that repeats a length before the first", 1 << 16,
     [](Script& s) {
         s.bits.put(0, 2);
         for (int i = 0; i < 20; ++i) {
             s.bits.put(5, 4);
         }
         s.bits.put(16, 5);
         s.bits.put(0, 3);
         s.expected.resize(1);
     },
     Status::Corrupt},
    {"a filter program that is not one of the standard ones", 1 << 16,
     [](Script& s) {
         programOnly(s, {0x11, 0x22, 0x33});
     },
     Status::Unsupported},
    {"a filter program whose bytes do not check", 1 << 16,
     [](Script& s) {
         programOnly(s, {0x11, 0x22, 0x34});
     },
     Status::Corrupt},
    {"a filter starting inside the block of the one before", 1 << 16,
     [](Script& s) {
         s.tables();
         s.filter(kNumber | kLength | kRegisters, deltaRecord(0, 100, 1));
         s.filter(kLength | kRegisters, reuseRecord(50, 100, 1));
         randomContent(s, 500, 500, 9);
         s.endOfEntry();
     },
     Status::Corrupt},
    {"a PPMd block that continues a model never made", 1 << 16,
     [](Script& s) {
         s.bits.put(0x80, 8);
         s.bits.put(0, 32);
         s.expected.resize(10);
     },
     Status::Corrupt},
};

TEST(Rar29Streams, DecodeAsWrittenOrFailAsExpected) {
    for (const StreamCase& c : kStreamCases) {
        SCOPED_TRACE(c.name);
        Script script;
        c.write(script);
        const auto decoder = rardec::makeRar29Decoder(c.dictionary);
        const Decoded run = decodeWith(*decoder, script.bits.bytes(), script.expected.size(), false);
        EXPECT_EQ(run.status, c.status);
        if (c.status == Status::Ok) {
            EXPECT_TRUE(run.bytes == script.expected)
                << run.bytes.size() << " bytes, " << script.expected.size() << " expected";
        }
    }
}

// Solid entries continue the window, the distances, the last length and the tables; the end marker
// says whether the next entry brings tables of its own.
TEST(Rar29Streams, SolidEntriesContinueTheStream) {
    Script first;
    first.tables();
    first.literals("solid streams share ");
    first.match(6, 7);
    first.endOfEntry(false);

    Script second; // no tables: the first entry's are kept
    second.expected = first.expected;
    second.repeatDistance(0, 5, 7);
    second.symbol(258);
    second.copy(5, 7);
    second.literal('!');
    second.endOfEntry(true);

    Script third; // tables again, as the second entry's end announced
    third.expected = second.expected;
    third.tables(true);
    third.match(12, static_cast<std::uint32_t>(third.expected.size()));
    third.endOfEntry(false);

    const auto decoder = rardec::makeRar29Decoder(1 << 16);
    std::size_t at = 0;
    for (const Script* script : {&first, &second, &third}) {
        const std::size_t size = script->expected.size() - at;
        const Decoded run = decodeWith(*decoder, script->bits.bytes(), size, at != 0);
        ASSERT_EQ(run.status, Status::Ok) << "entry at " << at;
        EXPECT_EQ(run.bytes, std::vector<std::uint8_t>(script->expected.begin() + static_cast<long>(at),
                                                       script->expected.end()));
        at = script->expected.size();
    }

    // The same second entry on a fresh stream has nothing to refer to.
    const auto fresh = rardec::makeRar29Decoder(1 << 16);
    EXPECT_NE(decodeWith(*fresh, second.bits.bytes(), 11, false).status, Status::Ok);
}

// Filter programs outlive their entry in a solid stream; a filter's block may come in a later entry.
TEST(Rar29Streams, FilterProgramsCarryOverToSolidEntries) {
    Script first;
    first.tables();
    first.filter(kNumber | kLength | kRegisters, deltaRecord(0, 40, 1));
    randomContent(first, 100, 100, 10);
    applyDelta(first.expected, 0, 40);
    first.endOfEntry(false);
    const std::size_t firstSize = first.expected.size();

    Script second;
    second.expected = first.expected;
    second.filter(kLength | kRegisters, reuseRecord(5, 60, 1)); // the program of the entry before
    randomContent(second, firstSize + 200, 300, 11);
    applyDelta(second.expected, firstSize + 5, 60);
    second.endOfEntry(false);

    const auto decoder = rardec::makeRar29Decoder(1 << 16);
    const Decoded one = decodeWith(*decoder, first.bits.bytes(), firstSize, false);
    ASSERT_EQ(one.status, Status::Ok);
    EXPECT_EQ(one.bytes, first.expected);
    const Decoded two = decodeWith(*decoder, second.bits.bytes(), second.expected.size() - firstSize, true);
    ASSERT_EQ(two.status, Status::Ok);
    EXPECT_EQ(two.bytes, std::vector<std::uint8_t>(second.expected.begin() + static_cast<long>(firstSize),
                                                   second.expected.end()));
}

// After a failure a solid entry has nothing to continue; a non-solid entry starts afresh. An output
// that asks to stop stops the decoder.
TEST(Rar29Streams, FailuresAndStopsEndTheSolidStream) {
    Script good;
    good.tables();
    randomContent(good, 5000, 5000, 12);
    good.endOfEntry(false);
    Script bad;
    bad.tables();
    bad.literals("a");
    bad.match(3, 9);
    bad.endOfEntry(false);

    const auto decoder = rardec::makeRar29Decoder(1 << 16);
    EXPECT_EQ(decodeWith(*decoder, bad.bits.bytes(), 4, false).status, Status::Corrupt);
    EXPECT_EQ(decodeWith(*decoder, good.bits.bytes(), good.expected.size(), true).status, Status::Corrupt);
    const Decoded again = decodeWith(*decoder, good.bits.bytes(), good.expected.size(), false);
    EXPECT_EQ(again.status, Status::Ok);
    EXPECT_EQ(again.bytes, good.expected);

    BytesInput input(good.bits.bytes());
    Collect stopping(100);
    EXPECT_EQ(decoder->decode(input, good.bits.bytes().size(), good.expected.size(), false, stopping),
              Status::Stopped);
    EXPECT_EQ(decodeWith(*decoder, good.bits.bytes(), good.expected.size(), true).status, Status::Corrupt);
}

} // namespace
} // namespace brisko::test
