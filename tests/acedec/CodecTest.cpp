// The building blocks checked against fixed values: where they are wrong, every archive is misread,
// and these tests say which piece is at fault.
#include "acedec/AceCipher.h"
#include "acedec/BitReader.h"
#include "common/CodePage.h"
#include "acedec/Crc32.h"
#include "acedec/DecodeError.h"
#include "acedec/HuffmanTable.h"
#include "acedec/VolumeProvider.h"
#include "acedec/Window.h"

#include <gtest/gtest.h>

#include <array>
#include <string_view>

namespace brisko::acedec {
namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Crc, KnownValues) {
    EXPECT_EQ(aceCrc32(bytesOf("123456789")), 0x340BC6D9u);
    EXPECT_EQ(aceCrc32(bytesOf("")), 0xFFFFFFFFu);
    EXPECT_EQ(aceCrc16(bytesOf("123456789")), 0xC6D9u);
    // Fed in pieces of every length, including the odd tails around the 4-byte steps.
    const std::string_view text = "The quick brown fox jumps over the lazy dog";
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        EXPECT_EQ(aceCrc32(bytesOf(text.substr(cut)), aceCrc32(bytesOf(text.substr(0, cut)))),
                  aceCrc32(bytesOf(text)));
    }
}

TEST(Cipher, KeyDerivation) {
    struct Case {
        const char* password;
        std::array<std::uint32_t, 5> key;
    };
    const Case cases[] = {
        {"123456789", {0xb70ecb9c, 0xc63c99e5, 0xf1e50085, 0x4e0246fe, 0x3571369e}},
        {"1234", {0x42e17f0f, 0x0416c052, 0xbd187d39, 0xa7af418f, 0x0b6311fd}},
        {"pass", {0x1b70b0b5, 0xc01c17b4, 0x8161351c, 0xc67b5596, 0x1827b4d8}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AceCipher::deriveKey(c.password), c.key) << c.password;
    }
    const std::string fifty(50, 'k');
    EXPECT_EQ(AceCipher::deriveKey(fifty + "ignored"), AceCipher::deriveKey(fifty));
    EXPECT_NE(AceCipher::deriveKey(fifty.substr(1)), AceCipher::deriveKey(fifty));
}

TEST(Cipher, ScheduleAndBlocks) {
    AceCipher cipher("123456789");
    EXPECT_EQ(cipher.subkeys()[0], 0xcc3661e4u);
    EXPECT_EQ(cipher.subkeys()[17], 0xf991ce37u);
    EXPECT_EQ(cipher.sbox(0, 0), 0xdaca9d14u);
    std::uint32_t l = 0;
    std::uint32_t r = 0;
    cipher.encryptBlock(l, r);
    EXPECT_EQ(l, 0xfd5ba263u);
    EXPECT_EQ(r, 0x956c8b6au);
    cipher.decryptBlock(l, r);
    EXPECT_EQ(l, 0u);
    EXPECT_EQ(r, 0u);

    // CBC with a zero IV, blocks as little-endian words; the chain restarts on request.
    std::array<std::uint8_t, 16> data{};
    std::fill(data.begin(), data.begin() + 8, 0xFF);
    std::fill(data.begin() + 8, data.end(), 0xC7);
    const auto cipherText = data;
    const std::array<std::uint8_t, 16> plain = {0xb7, 0x77, 0x46, 0x40, 0x35, 0x2e, 0x65, 0x72,
                                                0x65, 0x45, 0x05, 0xc4, 0xa5, 0x85, 0x29, 0xbc};
    cipher.restart();
    cipher.decrypt(data.data(), 8);
    cipher.decrypt(data.data() + 8, 8);
    EXPECT_EQ(data, plain);
    data = cipherText;
    cipher.restart();
    cipher.decrypt(data.data(), data.size());
    EXPECT_EQ(data, plain);
}

TEST(Huffman, SortOrderOfTheCompressor) {
    std::array<std::uint8_t, 7> keys = {1, 0, 0, 1, 2, 0, 0};
    std::array<std::uint16_t, 7> symbols = {0, 1, 2, 3, 4, 5, 6};
    sortByWidth(keys, symbols);
    EXPECT_EQ(keys, (std::array<std::uint8_t, 7>{2, 1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(symbols, (std::array<std::uint16_t, 7>{4, 0, 3, 5, 6, 2, 1}));
}

TEST(Huffman, BuildRejectsImpossibleCodes) {
    struct Case {
        std::vector<std::uint8_t> widths;
        unsigned maxWidth;
        bool ok;
    };
    const Case cases[] = {
        {{1, 1}, 11, true},     {{1, 2, 2}, 11, true},
        {{1, 1, 1}, 11, false}, // over-subscribed
        {{12, 1}, 11, false},   // wider than allowed
        {{0, 0, 0}, 11, true},  // no symbol: one symbol of one bit stands in
        {{}, 11, false},        {std::vector<std::uint8_t>(291, 0), 11, false}, // larger than any alphabet
    };
    for (const Case& c : cases) {
        HuffmanTable table;
        EXPECT_EQ(table.build(c.widths, c.maxWidth), c.ok) << c.widths.size();
    }
}

TEST(Huffman, CodesFollowWidthsShortestFirst) {
    // Widths {2, 1, 2}: symbol 1 gets code 0, then the two 2-bit codes in the sort's tie order.
    HuffmanTable table;
    ASSERT_TRUE(table.build(std::vector<std::uint8_t>{2, 1, 2}, 2));
    const std::array<std::uint8_t, 4> stream = {0x00, 0x00, 0x00, 0b0'10'11'000}; // 0, 10, 11 then padding
    MemoryByteStream input(stream.data(), stream.size());
    BitReader bits(input, stream.size());
    EXPECT_EQ(table.decode(bits), 1u);
    const unsigned a = table.decode(bits);
    const unsigned b = table.decode(bits);
    EXPECT_EQ(std::min(a, b), 0u);
    EXPECT_EQ(std::max(a, b), 2u);
    EXPECT_EQ(bits.consumedBits(), 5u);
}

TEST(BitReader, WordsAreLittleEndianAndReadFromTheTop) {
    const std::array<std::uint8_t, 8> data = {0x78, 0x56, 0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89};
    MemoryByteStream input(data.data(), data.size());
    BitReader bits(input, data.size());
    EXPECT_EQ(bits.bits(4), 0x1u);
    EXPECT_EQ(bits.bits(28), 0x2345678u);
    EXPECT_EQ(bits.peek(16), 0x89ABu);
    EXPECT_EQ(bits.bits(32), 0x89ABCDEFu);
}

TEST(BitReader, ZeroPaddingThenOverrun) {
    const std::array<std::uint8_t, 3> data = {0xFF, 0xFF, 0xFF}; // one partial word
    MemoryByteStream input(data.data(), data.size());
    BitReader bits(input, data.size());
    EXPECT_EQ(bits.bits(32), 0x00FFFFFFu);
    EXPECT_EQ(bits.bits(32), 0u); // one word past the end reads as zeros
    EXPECT_THROW(bits.bits(1), DecodeError);
}

TEST(Window, GrowingKeepsTheReachableHistory) {
    Window window;
    const std::vector<std::uint8_t> earlier(100000, 0xEE);
    window.put(earlier.data(), earlier.size());
    window.startMember(false); // the ring has wrapped before this member makes it grow
    std::vector<std::uint8_t> member;
    for (std::size_t i = 0; i < 300000; ++i) {
        member.push_back(static_cast<std::uint8_t>(i * 7 + i / 251));
        window.put(member.back());
    }
    EXPECT_EQ(window.history(), member.size());
    for (const std::size_t distance : {300000, 1, 2, 65536, 131073, 262144}) {
        std::uint8_t out[4];
        window.copy(distance, 4, out);
        for (int k = 0; k < 4; ++k) {
            member.push_back(member[member.size() - distance]);
            EXPECT_EQ(out[k], member.back()) << distance;
        }
    }
}

TEST(VolumeNames, Sequence) {
    struct Case {
        const char* first;
        unsigned index;
        bool upper;
        const char* name;
    };
    const Case cases[] = {
        {"/a/set.ace", 0, true, "/a/set.ace"},    {"/a/set.ace", 1, true, "/a/set.C00"},
        {"/a/set.ace", 2, false, "/a/set.c01"},   {"/a/set.ace", 100, false, "/a/set.c99"},
        {"/a/set.ace", 101, false, "/a/set.100"}, {"/a/set.ace", 1000, false, "/a/set.999"},
        {"/a/set.ace", 1001, false, ""},          {"/a/set.c05", 1, false, "/a/set.c06"},
        {"/a/set.105", 2, false, "/a/set.107"},   {"/a/set.exe", 1, false, "/a/set.c00"},
        {"/a.b/set", 1, false, "/a.b/set.c00"},   {"/a/set.tar.ace", 1, true, "/a/set.tar.C00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(volumeFileName(c.first, c.index, c.upper), c.name) << c.first << " " << c.index;
    }
}

using enginelib::CodePage;
using enginelib::isValidUtf8;
using enginelib::toUtf8;

TEST(CodePages, ToUtf8) {
    struct Case {
        std::string_view raw;
        CodePage page;
        std::string_view utf8;
    };
    const Case cases[] = {
        {"plain\\name.txt", CodePage::Cp850, "plain\\name.txt"},
        {"\x81\x9B\xE1", CodePage::Cp437, "\xC3\xBC\xC2\xA2\xC3\x9F"},      // ü ¢ ß
        {"\x81\x9B\xE1", CodePage::Cp850, "\xC3\xBC\xC3\xB8\xC3\x9F"},      // ü ø ß
        {"\x80\xE9\x81", CodePage::Cp1252, "\xE2\x82\xAC\xC3\xA9\xC2\x81"}, // € é U+0081
        {"\xDB", CodePage::Cp437, "\xE2\x96\x88"},                          // █
    };
    for (const Case& c : cases) {
        EXPECT_EQ(toUtf8(c.raw, c.page), c.utf8) << c.raw;
        EXPECT_TRUE(isValidUtf8(toUtf8(c.raw, c.page)));
    }
}

TEST(CodePages, Utf8Validation) {
    const std::pair<std::string_view, bool> cases[] = {
        {"abc", true},       {"\xC3\xA9", true},  {"\xF0\x9F\x98\x80", true},
        {"\xC3", false},     {"\xC0\xAF", false}, {"\xED\xA0\x80", false},
        {"\xE2\x82", false}, {"\x80", false},     {"\xF4\x90\x80\x80", false},
    };
    for (const auto& [text, valid] : cases) {
        EXPECT_EQ(isValidUtf8(text), valid) << text;
    }
}

} // namespace
} // namespace brisko::acedec
