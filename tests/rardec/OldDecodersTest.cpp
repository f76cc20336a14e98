// The RAR 1.5 and 2.0 decoders and the ciphers before AES: on the real samples, on damaged copies of
// them, and on small streams written here bit by bit where no sample exists (solid continuation,
// the multimedia mode).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <zlib.h>

#include "rardec/Decoders.h"
#include "rardec/SampleEntries.h"
#include "unrar/LegacyCipher.h"

namespace brisko::test {
namespace {

using enginelib::rar::LegacyCipher;
using enginelib::rar::legacyCipherFor;
using enginelib::rar::LegacyCipherKind;
using rardec::Status;

std::uint32_t crcOf(const std::vector<std::uint8_t>& bytes) {
    return static_cast<std::uint32_t>(::crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}
std::uint32_t crcOf(const std::string& text) {
    return crcOf(std::vector<std::uint8_t>(text.begin(), text.end()));
}

// Bytes in chunks; fails (-1) once `failAt` is reached, ends (0) after the last byte.
class TestInput : public rardec::PackedInput {
public:
    explicit TestInput(const std::vector<std::uint8_t>& bytes, std::size_t failAt = SIZE_MAX)
        : m_bytes(bytes), m_failAt(failAt) {}
    long read(std::uint8_t* out, std::size_t size) override {
        if (m_at >= m_failAt) {
            return -1;
        }
        const std::size_t n = std::min({size, m_failAt - m_at, m_bytes.size() - m_at, std::size_t(1000)});
        std::copy_n(m_bytes.data() + m_at, n, out);
        m_at += n;
        return static_cast<long>(n);
    }

private:
    const std::vector<std::uint8_t>& m_bytes;
    std::size_t m_failAt;
    std::size_t m_at = 0;
};

// Keeps what it is given; refuses once `limit` bytes have come.
class CollectingOutput : public rardec::Output {
public:
    explicit CollectingOutput(std::size_t limit = SIZE_MAX) : m_limit(limit) {}
    bool write(const std::uint8_t* data, std::size_t size) override {
        ++writes;
        bytes.insert(bytes.end(), data, data + size);
        return bytes.size() < m_limit;
    }
    std::vector<std::uint8_t> bytes;
    int writes = 0;

private:
    std::size_t m_limit;
};

// What the engine does before decoding an encrypted entry of these versions.
void decryptEntries(std::vector<PackedEntry>& entries, const std::string& password) {
    for (PackedEntry& entry : entries) {
        if (!entry.encrypted) {
            continue;
        }
        const auto kind = legacyCipherFor(entry.unpackVersion);
        ASSERT_TRUE(kind.has_value()) << entry.name;
        LegacyCipher cipher(*kind, password);
        ASSERT_EQ(cipher.decrypt(entry.packed.data(), entry.packed.size()), entry.packed.size())
            << entry.name;
    }
}

struct SampleSet {
    const char* path;
    const char* password;
    std::size_t files;
    unsigned unpackVersion;
    bool encrypted;
};

const SampleSet kSampleSets[] = {
    {"rar15-old-compression/Rar15.rar", "", 3, 15, false},
    {"rar15-main-comment/rar15-comment.rar", "", 2, 15, false},
    {"rar20-old-compression/Rar2.rar", "", 3, 20, false},
    {"rar20-vol-old/Rar2.multi.rar", "", 3, 20, false},
    {"rar20-enc-legacy/rar202-comment-psw.rar", "password", 2, 20, true},
};

TEST(OldDecoders, SamplesDecodeToTheirSizeAndCrc) {
    if (!SamplesPresent()) {
        GTEST_SKIP() << "the RAR samples are not at " << kRarSamples;
    }
    for (const SampleSet& set : kSampleSets) {
        SCOPED_TRACE(set.path);
        std::vector<PackedEntry> entries = PackedEntries(set.path);
        ASSERT_EQ(entries.size(), set.files);
        decryptEntries(entries, set.password);
        std::size_t compressed = 0;
        for (const PackedEntry& entry : entries) {
            EXPECT_EQ(entry.unpackVersion, set.unpackVersion) << entry.name;
            EXPECT_EQ(entry.encrypted, set.encrypted) << entry.name;
            compressed += entry.method != 0x30 ? 1 : 0;
        }
        EXPECT_GT(compressed, 0u) << "nothing here reaches a decoder";
        const std::vector<DecodeResult> results = DecodeAll(entries);
        ASSERT_EQ(results.size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            SCOPED_TRACE(entries[i].name);
            EXPECT_EQ(results[i].status, Status::Ok);
            EXPECT_EQ(results[i].size, entries[i].unpackedSize);
            EXPECT_EQ(results[i].crc, entries[i].crc);
        }
    }
}

TEST(OldDecoders, AWrongPasswordNeverYieldsTheFiles) {
    if (!SamplesPresent()) {
        GTEST_SKIP() << "the RAR samples are not at " << kRarSamples;
    }
    for (const char* password : {"", "Password", "passwore", "password "}) {
        SCOPED_TRACE(password);
        std::vector<PackedEntry> entries = PackedEntries("rar20-enc-legacy/rar202-comment-psw.rar");
        ASSERT_EQ(entries.size(), 2u);
        decryptEntries(entries, password);
        const std::vector<DecodeResult> results = DecodeAll(entries);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_FALSE(results[i].whole() && results[i].crc == entries[i].crc) << entries[i].name;
        }
    }
}

// One compressed entry of a sample, for the damage tests.
struct Target {
    const char* path;
    const char* name;
};
const Target kTargets[] = {
    {"rar15-old-compression/Rar15.rar", "TECT.TXT"},
    {"rar15-old-compression/Rar15.rar", "EXE/TEST.EXE"},
    {"rar20-old-compression/Rar2.rar", "exe/test.exe"},
    {"rar20-old-compression/Rar2.rar", "jpg/test.jpg"},
};

PackedEntry targetEntry(const Target& target) {
    for (PackedEntry& entry : PackedEntries(target.path)) {
        if (entry.name == target.name) {
            return entry;
        }
    }
    return {};
}

void flipBit(std::vector<std::uint8_t>& bytes, std::size_t bit) {
    if (!bytes.empty()) {
        bytes[(bit / 8) % bytes.size()] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
    }
}

struct Damage {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> apply;
};

const Damage kDamages[] = {
    {"no data", [](auto& b) { b.clear(); }},
    {"one byte left", [](auto& b) { b.resize(1); }},
    {"cut in half", [](auto& b) { b.resize(b.size() / 2); }},
    {"last 16 bytes cut", [](auto& b) { b.resize(b.size() - 16); }},
    {"first bit flipped", [](auto& b) { flipBit(b, 0); }},
    {"bit flipped at a tenth", [](auto& b) { flipBit(b, b.size() * 8 / 10 + 3); }},
    {"bit flipped in the middle", [](auto& b) { flipBit(b, b.size() * 4 + 5); }},
    {"bit flipped near the end", [](auto& b) { flipBit(b, b.size() * 8 - 200); }},
    {"zeros in the middle", [](auto& b) { std::fill_n(b.begin() + b.size() / 2, 64, 0); }},
    {"all ones from the middle", [](auto& b) { std::fill(b.begin() + b.size() / 2, b.end(), 0xFF); }},
    {"random bytes",
     [](auto& b) {
         std::mt19937 random(7);
         for (auto& byte : b) {
             byte = static_cast<std::uint8_t>(random());
         }
     }},
};

TEST(OldDecoders, DamagedDataFailsOrMissesTheCrc) {
    if (!SamplesPresent()) {
        GTEST_SKIP() << "the RAR samples are not at " << kRarSamples;
    }
    for (const Target& target : kTargets) {
        SCOPED_TRACE(target.name);
        const PackedEntry intact = targetEntry(target);
        ASSERT_FALSE(intact.packed.empty());
        auto decoder = rardec::makeDecoder(intact.unpackVersion, intact.dictionary);
        ASSERT_TRUE(decoder);
        for (const Damage& damage : kDamages) {
            SCOPED_TRACE(damage.what);
            PackedEntry damaged = intact;
            damage.apply(damaged.packed);
            const DecodeResult result = DecodeOne(*decoder, damaged, false);
            if (result.whole()) {
                EXPECT_EQ(result.size, intact.unpackedSize);
                EXPECT_NE(result.crc, intact.crc);
            }
            // Whatever the damage left behind, a fresh entry starts clean.
            const DecodeResult again = DecodeOne(*decoder, intact, false);
            EXPECT_TRUE(again.whole());
            EXPECT_EQ(again.crc, intact.crc);
        }
    }
}

TEST(OldDecoders, RandomDamageKeepsTheOutputContract) {
    if (!SamplesPresent()) {
        GTEST_SKIP() << "the RAR samples are not at " << kRarSamples;
    }
    std::mt19937 random(20240601);
    for (const Target& target : kTargets) {
        SCOPED_TRACE(target.name);
        const PackedEntry intact = targetEntry(target);
        ASSERT_FALSE(intact.packed.empty());
        auto decoder = rardec::makeDecoder(intact.unpackVersion, intact.dictionary);
        for (int round = 0; round < 60; ++round) {
            PackedEntry damaged = intact;
            const int flips = 1 + static_cast<int>(random() % 4);
            for (int i = 0; i < flips; ++i) {
                flipBit(damaged.packed, random() % (damaged.packed.size() * 8));
            }
            if (round % 3 == 0) {
                damaged.packed.resize(random() % damaged.packed.size());
            }
            // A solid continuation of whatever state the last round left is just as hostile.
            const DecodeResult result = DecodeOne(*decoder, damaged, round % 2 == 1);
            if (result.whole()) {
                EXPECT_EQ(result.size, intact.unpackedSize) << "round " << round;
            } else {
                EXPECT_LE(result.size, intact.unpackedSize) << "round " << round;
            }
        }
    }
}

TEST(OldDecoders, ReportsInputErrors) {
    if (!SamplesPresent()) {
        GTEST_SKIP() << "the RAR samples are not at " << kRarSamples;
    }
    for (const Target& target : kTargets) {
        SCOPED_TRACE(target.name);
        const PackedEntry entry = targetEntry(target);
        ASSERT_FALSE(entry.packed.empty());
        auto decoder = rardec::makeDecoder(entry.unpackVersion, entry.dictionary);
        TestInput failing(entry.packed, entry.packed.size() / 2);
        CollectingOutput output;
        EXPECT_EQ(decoder->decode(failing, entry.packed.size(), entry.unpackedSize, false, output),
                  Status::ReadError);
    }
}

// MSB-first bits, as the decoders read them; the last byte is padded with zeros.
class BitWriter {
public:
    void put(unsigned value, unsigned count) {
        for (unsigned i = count; i-- > 0;) {
            if (m_bits % 8 == 0) {
                m_bytes.push_back(0);
            }
            m_bytes.back() |= static_cast<std::uint8_t>(((value >> i) & 1) << (7 - m_bits % 8));
            ++m_bits;
        }
    }
    void put(const char* bits) {
        for (; *bits != '\0'; ++bits) {
            put(*bits == '1' ? 1 : 0, 1);
        }
    }
    const std::vector<std::uint8_t>& bytes() const { return m_bytes; }

private:
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_bits = 0;
};

// A RAR 2.0 table for the given code lengths, and the canonical codes they stand for.
class Rar20Table {
public:
    Rar20Table(unsigned size, const std::vector<std::pair<unsigned, unsigned>>& lengths) : m_lengths(size) {
        for (const auto& [symbol, length] : lengths) {
            m_lengths[symbol] = length;
        }
        unsigned perLength[16] = {};
        for (unsigned length : m_lengths) {
            ++perLength[length];
        }
        perLength[0] = 0;
        unsigned next[16] = {};
        for (unsigned length = 1, code = 0; length < 16; ++length) {
            code = (code + perLength[length - 1]) << 1;
            next[length] = code;
        }
        m_codes.resize(size);
        for (unsigned s = 0; s < size; ++s) {
            if (m_lengths[s] != 0) {
                m_codes[s] = next[m_lengths[s]]++;
            }
        }
    }

    // Fresh lengths (the old ones zeroed), each sent as itself through a pre-code in which all 19
    // symbols are 5 bits long, so that symbol s is the number s.
    void write(BitWriter& out, bool audio, unsigned channels = 1) const {
        out.put(audio ? 1 : 0, 1);
        out.put(0, 1);
        if (audio) {
            out.put(channels - 1, 2);
        }
        for (int i = 0; i < 19; ++i) {
            out.put(5, 4);
        }
        for (unsigned length : m_lengths) {
            out.put(length, 5);
        }
    }
    void symbol(BitWriter& out, unsigned s) const { out.put(m_codes.at(s), m_lengths.at(s)); }

private:
    std::vector<unsigned> m_lengths;
    std::vector<unsigned> m_codes;
};

constexpr unsigned kRar20LzLengths = 298 + 48 + 28;

PackedEntry entryOf(const BitWriter& bits, std::uint64_t unpackedSize) {
    PackedEntry entry;
    entry.packed = bits.bytes();
    entry.unpackedSize = unpackedSize;
    return entry;
}

TEST(OldDecoders, Rar20SolidEntryContinuesWindowAndTakesTheTableLeftAfterTheLastOne) {
    // Entry 1: "ab", then (after its last byte) the table symbol and the codes entry 2 uses.
    const Rar20Table first(kRar20LzLengths, {{'a', 2}, {'b', 2}, {261, 2}, {269, 2}});
    const Rar20Table second(kRar20LzLengths, {{'c', 1}, {261, 1}});
    BitWriter one;
    first.write(one, false);
    first.symbol(one, 'a');
    first.symbol(one, 'b');
    first.symbol(one, 269);
    second.write(one, false);
    // Entry 2, no table of its own: a short match 2 back ("ab" from entry 1), then 'c'.
    BitWriter two;
    second.symbol(two, 261);
    two.put(1, 2);
    second.symbol(two, 'c');

    auto decoder = rardec::makeRar20Decoder();
    const DecodeResult a = DecodeOne(*decoder, entryOf(one, 2), false);
    ASSERT_TRUE(a.whole());
    EXPECT_EQ(a.crc, crcOf("ab"));
    const DecodeResult b = DecodeOne(*decoder, entryOf(two, 3), true);
    EXPECT_TRUE(b.whole());
    EXPECT_EQ(b.crc, crcOf("abc"));

    // Without the trailing table, entry 2 is read with entry 1's codes and cannot give "abc".
    BitWriter cut;
    first.write(cut, false);
    first.symbol(cut, 'a');
    first.symbol(cut, 'b');
    ASSERT_TRUE(DecodeOne(*decoder, entryOf(cut, 2), false).whole());
    const DecodeResult c = DecodeOne(*decoder, entryOf(two, 3), true);
    EXPECT_FALSE(c.whole() && c.crc == crcOf("abc"));

    // A solid entry with nothing before it has no codes.
    auto fresh = rardec::makeRar20Decoder();
    EXPECT_EQ(DecodeOne(*fresh, entryOf(two, 3), true).status, Status::Corrupt);
}

// The farthest match (one whole window back, 1 MiB) over more than a window of output: the window
// wraps and is handed over in pieces; and one byte less of history is a reach before the start.
TEST(OldDecoders, Rar20MatchesReachBackAWholeWindowAcrossItsWrap) {
    constexpr std::size_t kWindow = std::size_t(1) << 20;
    constexpr unsigned kDistCode = 298;
    std::vector<std::pair<unsigned, unsigned>> lengths = {
        {256, 2}, {297, 2}, {kDistCode + 0, 1}, {kDistCode + 47, 1}};
    for (unsigned literal = 0; literal < 256; ++literal) {
        lengths.push_back({literal, 9});
    }
    const Rar20Table table(kRar20LzLengths, lengths);
    for (const std::size_t history : {kWindow, kWindow - 1}) {
        SCOPED_TRACE(history);
        BitWriter bits;
        table.write(bits, false);
        std::vector<std::uint8_t> expected;
        std::mt19937 random(5);
        for (std::size_t i = 0; i < history; ++i) {
            expected.push_back(static_cast<std::uint8_t>(random()));
            table.symbol(bits, expected.back());
        }
        // Length slot 27 + 31 = 258, +2 for the distance; distance slot 47 + 65535 = 1 MiB.
        table.symbol(bits, 297);
        bits.put(31, 5);
        table.symbol(bits, kDistCode + 47);
        bits.put(0xFFFF, 16);
        for (int i = 0; i < 4000; ++i) {
            table.symbol(bits, 256); // the same match again
        }
        const std::size_t size = history + 4001 * 260;
        auto decoder = rardec::makeRar20Decoder();
        TestInput input(bits.bytes());
        CollectingOutput output;
        const Status status = decoder->decode(input, bits.bytes().size(), size, false, output);
        if (history < kWindow) {
            EXPECT_EQ(status, Status::Corrupt);
            continue;
        }
        while (expected.size() < size) {
            expected.push_back(expected[expected.size() - kWindow]);
        }
        EXPECT_EQ(status, Status::Ok);
        EXPECT_TRUE(output.bytes == expected);

        // A solid entry of the same match, repeated: it starts mid-window, so its hand-overs wrap.
        BitWriter more;
        for (int i = 0; i < 4100; ++i) {
            table.symbol(more, 256);
        }
        const std::size_t moreSize = 4100 * 260;
        while (expected.size() < size + moreSize) {
            expected.push_back(expected[expected.size() - kWindow]);
        }
        TestInput moreInput(more.bytes());
        CollectingOutput moreOutput;
        EXPECT_EQ(decoder->decode(moreInput, more.bytes().size(), moreSize, true, moreOutput), Status::Ok);
        EXPECT_GE(moreOutput.writes, 3);
        EXPECT_TRUE(std::equal(moreOutput.bytes.begin(), moreOutput.bytes.end(), expected.begin() + size,
                               expected.end()));

        // An output that refuses early stops the decoder at once.
        TestInput again(bits.bytes());
        CollectingOutput refusing(1000);
        EXPECT_EQ(decoder->decode(again, bits.bytes().size(), expected.size(), false, refusing),
                  Status::Stopped);
        EXPECT_EQ(refusing.writes, 1);
    }
}

TEST(OldDecoders, Rar20AudioPredictorAdaptsAfter32BytesAndHandsBackToLz) {
    // One channel, delta 1 throughout. With all weights 0 each byte is the one before minus the delta:
    // 255, 254, ... 224. After 32 bytes the error sums favour raising the weight of the last delta
    // (sum 225, tied with the shared delta's, first wins), so the 33rd prediction is
    // (8*224 - 1) >> 3 = 223 and the byte 222; the 34th is (8*222 - 2) >> 3 - 1 = 220.
    std::string expected;
    for (int i = 1; i <= 32; ++i) {
        expected += static_cast<char>(256 - i);
    }
    expected += static_cast<char>(222);
    expected += static_cast<char>(220);
    expected += 'Z'; // then symbol 256 switches to LZ codes

    const Rar20Table audio(257, {{1, 1}, {256, 1}});
    const Rar20Table lz(kRar20LzLengths, {{'Z', 1}, {'Y', 1}});
    BitWriter bits;
    audio.write(bits, true, 1);
    for (int i = 0; i < 34; ++i) {
        audio.symbol(bits, 1);
    }
    audio.symbol(bits, 256);
    lz.write(bits, false);
    lz.symbol(bits, 'Z');

    auto decoder = rardec::makeRar20Decoder();
    const DecodeResult result = DecodeOne(*decoder, entryOf(bits, expected.size()), false);
    EXPECT_TRUE(result.whole());
    EXPECT_EQ(result.crc, crcOf(expected));
}

TEST(OldDecoders, Rar20AudioChannelsInterleaveAndShareTheLastDelta) {
    // Two channels, deltas 1 and 9: two descending runs, 255, 254, ... 224 and 247, 238, ... 224 (mod
    // 256). The shared delta is the other channel's last one (-9 for channel 0, -1 for channel 1). After
    // 32 bytes each, channel 0's sums favour raising the shared delta's weight (|8 - 9| * 31 + 8 = 39
    // beats 225 for D1), channel 1's the weight of D1 (|72 - 9| * 31 + 72 = 2025 beats 2272 for the
    // shared delta and 2304 for none). So byte 33 of channel 0 is (8*224 - 9) >> 3 - 1 = 221, of
    // channel 1 (8*224 - 9) >> 3 - 9 = 213.
    std::string expected;
    for (int i = 1; i <= 32; ++i) {
        expected += static_cast<char>(256 - i);
        expected += static_cast<char>((256 - 9 * i) & 0xFF);
    }
    expected += static_cast<char>(221);
    expected += static_cast<char>(213);
    const Rar20Table audio(2 * 257, {{1, 1}, {256, 1}, {257 + 9, 1}, {257 + 256, 1}});
    BitWriter bits;
    audio.write(bits, true, 2);
    for (int i = 0; i < 33; ++i) {
        audio.symbol(bits, 1);
        audio.symbol(bits, 257 + 9);
    }
    auto decoder = rardec::makeRar20Decoder();
    const DecodeResult result = DecodeOne(*decoder, entryOf(bits, expected.size()), false);
    EXPECT_TRUE(result.whole());
    EXPECT_EQ(result.crc, crcOf(expected));
}

TEST(OldDecoders, Rar15SolidEntryContinuesWindowAndAdaptiveTables) {
    // From the fresh state: flag place 1 is the flag byte 0xFF (all literals); literal places 65 and
    // 66 ("11100101", "11100110" in the code used while the average place is below 0x3600) are
    // still the bytes 'A' and 'B'.
    BitWriter one;
    one.put("00001"
            "11100101"
            "11100110");
    // Continued: flag place 1 now holds the flag byte 0x00 (a short match); selector "0" is length 2,
    // and short-distance place 1 is distance 2: "AB" again, from entry 1's bytes.
    BitWriter two;
    two.put("00001"
            "0"
            "00001");

    auto decoder = rardec::makeRar15Decoder();
    const DecodeResult a = DecodeOne(*decoder, entryOf(one, 2), false);
    ASSERT_TRUE(a.whole());
    EXPECT_EQ(a.crc, crcOf("AB"));
    const DecodeResult b = DecodeOne(*decoder, entryOf(two, 2), true);
    EXPECT_TRUE(b.whole());
    EXPECT_EQ(b.crc, crcOf("AB"));

    // The same bytes as a fresh entry mean something else.
    const DecodeResult c = DecodeOne(*decoder, entryOf(two, 2), false);
    EXPECT_FALSE(c.whole() && c.crc == crcOf("AB"));
}

TEST(OldDecoders, EmptyEntriesNeedNoData) {
    const std::vector<std::function<std::unique_ptr<rardec::Decoder>()>> makers = {rardec::makeRar15Decoder,
                                                                                   rardec::makeRar20Decoder};
    for (const auto& make : makers) {
        auto decoder = make();
        const DecodeResult result = DecodeOne(*decoder, PackedEntry{}, false);
        EXPECT_TRUE(result.whole());
        EXPECT_EQ(result.size, 0u);
    }
}

TEST(OldCiphers, EachVersionHasItsCipher) {
    const std::pair<unsigned, std::optional<LegacyCipherKind>> cases[] = {
        {13, LegacyCipherKind::Rar13},
        {15, LegacyCipherKind::Rar15},
        {20, LegacyCipherKind::Rar20},
        {26, LegacyCipherKind::Rar20},
        {29, std::nullopt},
        {36, std::nullopt},
        {14, std::nullopt},
        {50, std::nullopt},
    };
    for (const auto& [version, kind] : cases) {
        EXPECT_EQ(legacyCipherFor(version), kind) << version;
    }
}

TEST(OldCiphers, Rar13KeyStreamFollowsItsKeySchedule) {
    // Password "A": keys 65, 65, rotl(65) = 130. Then per byte k1 += k2, k0 += k1, byte -= k0:
    // k0 = 4, 73, 16.
    LegacyCipher cipher(LegacyCipherKind::Rar13, "A");
    std::uint8_t data[] = {4, 73, 16};
    cipher.decrypt(data, sizeof data);
    EXPECT_EQ(std::vector<std::uint8_t>(data, data + 3), std::vector<std::uint8_t>({0, 0, 0}));
}

TEST(OldCiphers, ChunksOfOneEntryDecryptAsOneStream) {
    std::vector<std::uint8_t> data(256);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    for (LegacyCipherKind kind :
         {LegacyCipherKind::Rar13, LegacyCipherKind::Rar15, LegacyCipherKind::Rar20}) {
        SCOPED_TRACE(static_cast<int>(kind));
        std::vector<std::uint8_t> whole = data;
        LegacyCipher one(kind, "secret");
        ASSERT_EQ(one.decrypt(whole.data(), whole.size()), whole.size());
        EXPECT_NE(whole, data);

        // In pieces that are not whole blocks: the cipher takes what it can and the rest comes again.
        std::vector<std::uint8_t> pieces = data;
        LegacyCipher two(kind, "secret");
        std::size_t done = 0;
        for (std::size_t piece : {1u, 40u, 3u, 100u}) {
            done += two.decrypt(pieces.data() + done, std::min(piece, pieces.size() - done));
        }
        done += two.decrypt(pieces.data() + done, pieces.size() - done);
        EXPECT_EQ(done, pieces.size());
        EXPECT_EQ(pieces, whole);

        std::vector<std::uint8_t> other = data;
        LegacyCipher three(kind, "secreT");
        three.decrypt(other.data(), other.size());
        EXPECT_NE(other, whole);
    }
}

TEST(OldCiphers, Rar20DecryptionUndoesEncryptionAndLeavesATailAlone) {
    for (const std::string& password :
         std::vector<std::string>{"", "a", "password", std::string(127, 'p'), std::string(200, 'q')}) {
        SCOPED_TRACE(password.size());
        std::vector<std::uint8_t> plain(64 + 5);
        for (std::size_t i = 0; i < plain.size(); ++i) {
            plain[i] = static_cast<std::uint8_t>(i);
        }
        std::vector<std::uint8_t> data = plain;
        LegacyCipher encrypt(LegacyCipherKind::Rar20, password);
        for (std::size_t at = 0; at + 16 <= data.size(); at += 16) {
            encrypt.encryptBlock(data.data() + at);
        }
        EXPECT_NE(data, plain);
        LegacyCipher decrypt(LegacyCipherKind::Rar20, password);
        EXPECT_EQ(decrypt.decrypt(data.data(), data.size()), 64u);
        EXPECT_EQ(data, plain);
    }
    // Only the first 127 password bytes count.
    std::uint8_t a[16] = {};
    std::uint8_t b[16] = {};
    LegacyCipher(LegacyCipherKind::Rar20, std::string(127, 'p') + "x").decrypt(a, 16);
    LegacyCipher(LegacyCipherKind::Rar20, std::string(127, 'p') + "y").decrypt(b, 16);
    EXPECT_TRUE(std::equal(a, a + 16, b));
}

} // namespace
} // namespace brisko::test
