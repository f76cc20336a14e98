// The ACE decoder's building blocks, for what the sample archives (checked through the engine) do not
// reach. Faults caught here:
// - a code table that is over-subscribed, too wide, empty or too large is built instead of refused
// - reading past the end of the data goes on instead of stopping the member (after one word of zeros)
// - a window that grows after wrapping loses history a match can still reach
// - volume names past .c99 (.100 ... .999, then none), or of a set opened at a later volume
// - archived names in the DOS and Windows code pages converted wrongly, or invalid UTF-8 taken
#include "acedec/BitReader.h"
#include "acedec/DecodeError.h"
#include "acedec/HuffmanTable.h"
#include "acedec/VolumeProvider.h"
#include "acedec/Window.h"
#include "common/CodePage.h"

#include <gtest/gtest.h>

#include <array>
#include <string_view>

namespace brisko::acedec {
namespace {

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
