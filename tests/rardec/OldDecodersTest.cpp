// The RAR 1.5 and 2.0 decoders on streams written here bit by bit, and the ciphers before AES, for
// what the real samples (checked through the engine) do not reach. Faults caught here:
// - a RAR 2.0 solid entry that does not continue the window or take the table sent after the last
//   entry; a RAR 1.5 solid entry that does not continue its adaptive tables
// - matches a whole window back across its wrap, hand-overs of a solid entry starting mid-window, a
//   reach before the start taken; an output's stop or an input's read error ignored
// - the RAR 2.0 multimedia mode: predictor weights that adapt wrongly, channels not interleaved
// - empty entries that ask for data
// - the RAR 1.3 key schedule; chunks of one entry not decrypted as one stream; the RAR 2.0 cipher
//   not undoing its own encryption or counting more than 127 password bytes
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>

#include "rardec/Decoders.h"
#include "rardec/StreamSupport.h"
#include "unrar/LegacyCipher.h"

namespace brisko::test {
namespace {

using enginelib::rar::LegacyCipher;
using enginelib::rar::LegacyCipherKind;
using rardec::Status;

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

// A RAR 2.0 table for the given code lengths, and the canonical codes they stand for.
class Rar20Table {
public:
    Rar20Table(unsigned size, const std::vector<std::pair<unsigned, unsigned>>& lengths) : m_lengths(size) {
        for (const auto& [symbol, length] : lengths) {
            m_lengths[symbol < size ? symbol : 0] = symbol < size ? length : m_lengths[0];
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
    const Decoded a = Decode(*decoder, one.bytes, 2, false);
    ASSERT_TRUE((a.status == Status::Ok));
    EXPECT_EQ(a.bytes, bytesOf("ab"));
    const Decoded b = Decode(*decoder, two.bytes, 3, true);
    EXPECT_TRUE((b.status == Status::Ok));
    EXPECT_EQ(b.bytes, bytesOf("abc"));

    // Without the trailing table, entry 2 is read with entry 1's codes and cannot give "abc".
    BitWriter cut;
    first.write(cut, false);
    first.symbol(cut, 'a');
    first.symbol(cut, 'b');
    ASSERT_TRUE(Decode(*decoder, cut.bytes, 2, false).status == Status::Ok);
    const Decoded c = Decode(*decoder, two.bytes, 3, true);
    EXPECT_FALSE((c.status == Status::Ok) && c.bytes == bytesOf("abc"));

    // A solid entry with nothing before it has no codes.
    auto fresh = rardec::makeRar20Decoder();
    EXPECT_EQ(Decode(*fresh, two.bytes, 3, true).status, Status::Corrupt);
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
        BytesInput input(bits.bytes);
        Collect output;
        const Status status = decoder->decode(input, bits.bytes.size(), size, false, output);
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
        BytesInput moreInput(more.bytes);
        Collect moreOutput;
        EXPECT_EQ(decoder->decode(moreInput, more.bytes.size(), moreSize, true, moreOutput), Status::Ok);
        EXPECT_GE(moreOutput.writes, 3);
        EXPECT_TRUE(std::equal(moreOutput.bytes.begin(), moreOutput.bytes.end(), expected.begin() + size,
                               expected.end()));

        // An output that refuses early stops the decoder at once.
        BytesInput again(bits.bytes);
        Collect refusing(1000);
        EXPECT_EQ(decoder->decode(again, bits.bytes.size(), expected.size(), false, refusing),
                  Status::Stopped);
        EXPECT_EQ(refusing.writes, 1);
        BytesInput failing(bits.bytes, bits.bytes.size() / 2);
        EXPECT_EQ(decoder->decode(failing, bits.bytes.size(), expected.size(), false, refusing),
                  Status::ReadError);
    }
}

// The multimedia mode, delta symbols only. With all weights 0 each byte is the one before minus the
// delta. One channel, delta 1: 255, 254, ... 224; after 32 bytes the error sums favour raising the
// weight of the last delta (sum 225, tied with the shared delta's, first wins), so the 33rd prediction
// is (8*224 - 1) >> 3 = 223 and the byte 222; the 34th is (8*222 - 2) >> 3 - 1 = 220; then symbol 256
// hands back to LZ codes. Two channels, deltas 1 and 9: two descending runs, the shared delta being
// the other channel's last one; after 32 bytes each, channel 0's sums favour the shared delta's weight
// (|8 - 9| * 31 + 8 = 39 beats 225 for D1), channel 1's the weight of D1 (|72 - 9| * 31 + 72 = 2025
// beats 2272 and 2304), so byte 33 of channel 0 is (8*224 - 9) >> 3 - 1 = 221, of channel 1 213.
TEST(OldDecoders, Rar20AudioPredictorsAdaptAfter32BytesPerChannel) {
    for (const unsigned channels : {1u, 2u}) {
        std::string expected;
        for (int i = 1; i <= 32; ++i) {
            expected += static_cast<char>(256 - i);
            expected += channels == 2 ? std::string(1, static_cast<char>((256 - 9 * i) & 0xFF)) : "";
        }
        expected += channels == 2 ? "\xDD\xD5" : "\xDE\xDCZ"; // 221 213; 222 220 'Z'
        const Rar20Table audio(channels * 257, {{1, 1}, {256, 1}, {257 + 9, 1}, {257 + 256, 1}});
        BitWriter bits;
        audio.write(bits, true, channels);
        for (int i = 0; i < (channels == 2 ? 33 : 34); ++i) {
            audio.symbol(bits, 1);
            if (channels == 2) {
                audio.symbol(bits, 257 + 9);
            }
        }
        if (channels == 1) {
            const Rar20Table lz(kRar20LzLengths, {{'Z', 1}, {'Y', 1}});
            audio.symbol(bits, 256);
            lz.write(bits, false);
            lz.symbol(bits, 'Z');
        }
        const Decoded result = Decode(*rardec::makeRar20Decoder(), bits.bytes, expected.size());
        EXPECT_EQ(result.status, Status::Ok) << channels;
        EXPECT_EQ(result.bytes, bytesOf(expected)) << channels;
    }
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
    const Decoded a = Decode(*decoder, one.bytes, 2, false);
    ASSERT_TRUE((a.status == Status::Ok));
    EXPECT_EQ(a.bytes, bytesOf("AB"));
    const Decoded b = Decode(*decoder, two.bytes, 2, true);
    EXPECT_TRUE((b.status == Status::Ok));
    EXPECT_EQ(b.bytes, bytesOf("AB"));

    // The same bytes as a fresh entry mean something else.
    const Decoded c = Decode(*decoder, two.bytes, 2, false);
    EXPECT_FALSE((c.status == Status::Ok) && c.bytes == bytesOf("AB"));
}

TEST(OldDecoders, EmptyEntriesNeedNoData) {
    for (const auto& make : {rardec::makeRar15Decoder, rardec::makeRar20Decoder}) {
        EXPECT_EQ(Decode(*make(), {}, 0).status, Status::Ok);
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

// Only the first 127 password bytes count.
TEST(OldCiphers, Rar20TakesTheFirst127PasswordBytes) {
    std::uint8_t a[16] = {};
    std::uint8_t b[16] = {};
    LegacyCipher(LegacyCipherKind::Rar20, std::string(127, 'p') + "x").decrypt(a, 16);
    LegacyCipher(LegacyCipherKind::Rar20, std::string(127, 'p') + "y").decrypt(b, 16);
    EXPECT_TRUE(std::equal(a, a + 16, b));
    std::fill(b, b + 16, 0);
    LegacyCipher(LegacyCipherKind::Rar20, std::string(126, 'p') + "y").decrypt(b, 16);
    EXPECT_FALSE(std::equal(a, a + 16, b));
}

} // namespace
} // namespace brisko::test
