// The RAR engine on archives made here and on a few samples, through its C interface (hostile names,
// links and passwords: the sample sets and the hostile property tests).
// Faults caught here:
// - an entry of a volume set names the wrong volume (whole sets are followed in the sample tests)
// - a set with a volume missing or two swapped is not refused at open, or writes something
// - list mode decompresses or writes
// - a null, closed or unread handle is used instead of refused with its code
// - the RAR 3 key derivation goes wrong for passwords long enough to make the hash rewrite its input
#include <filesystem>
#include <gtest/gtest.h>

#include "enginelibs/RarAceSupport.h"
#include "support/RarFixtures.h"
#include "support/TempDir.h"
#include "unrar/Crypto.h"

namespace brisko::test {
namespace {

namespace fs = std::filesystem;
using Kind = RarItem::Kind;

const std::vector<RarItem> kTree = {
    {"big.bin", std::string(2500, 'x') + std::string(2500, 'y')},
    {"docs", "", Kind::Folder},
    {"docs/readme.txt", "hello\n"},
    {"docs/empty.txt", ""},
    {"docs/link", "readme.txt", Kind::Link},
};

struct Layout {
    const char* name;
    RarFormat format;
    int volumes;
    bool oldNaming;
    enum { Intact, Missing, Swapped } damage;
    int open; // expected OpenResult
};

class RarSets : public ::testing::TestWithParam<Layout> {};

TEST_P(RarSets, ExtractWholeOrAreRefusedAtOpen) {
    const Layout layout = GetParam();
    TempDir dir;
    fs::create_directory(dir / "out");
    const auto volumes = WriteRar(dir / "set", kTree, layout.format, layout.volumes, layout.oldNaming);
    if (layout.damage == Layout::Missing) {
        fs::remove(volumes[2]);
    } else if (layout.damage == Layout::Swapped) {
        fs::rename(volumes[1], dir / "swap");
        fs::rename(volumes[2], volumes[1]);
        fs::rename(dir / "swap", volumes[2]);
    }
    const ArchiveRun run = RunRar(volumes.front(), dir / "out");
    ASSERT_EQ(run.open, layout.open);
    if (layout.open != 0) {
        EXPECT_TRUE(TreeOf(dir / "out").empty());
        return;
    }
    EXPECT_EQ(run.end, ERAR_END_ARCHIVE);
    for (const auto& [name, entry] : run.entries) {
        EXPECT_EQ(entry.code, 0) << name;
    }
    EXPECT_EQ(ReadFile(dir / "out/big.bin"), kTree[0].data);
    EXPECT_EQ(TreeOf(dir / "out"), (std::vector<std::string>{"big.bin", "docs/", "docs/empty.txt",
                                                             "docs/link", "docs/readme.txt"}));
    // The header names the volume where each entry starts.
    EXPECT_EQ(run.entries.at("big.bin").volume, volumes.front());
    EXPECT_EQ(run.entries.at("docs").volume, volumes.back());
}

INSTANTIATE_TEST_SUITE_P(
    Sets, RarSets,
    ::testing::Values(Layout{"rar5old", RarFormat::Rar5, 4, true, Layout::Intact, 0}, // more with the samples
                      Layout{"rar4missing", RarFormat::Rar4, 4, false, Layout::Missing, ERAR_EOPEN},
                      Layout{"rar4oldmissing", RarFormat::Rar4, 4, true, Layout::Missing, ERAR_EOPEN},
                      Layout{"rar5missing", RarFormat::Rar5, 4, false, Layout::Missing, ERAR_EOPEN},
                      Layout{"rar4swapped", RarFormat::Rar4, 4, false, Layout::Swapped, ERAR_BAD_ARCHIVE},
                      Layout{"rar5swapped", RarFormat::Rar5, 4, false, Layout::Swapped, ERAR_BAD_ARCHIVE}),
    [](const auto& info) { return std::string(info.param.name); });

// Listing reads headers only: a 20 MB entry of a 19 KB archive is listed, and nothing is written.
TEST(RarListMode, DecompressesNothing) {
    const std::string archive =
        kRarSamples + "/rar4-multi-lzss-blocks/test_read_format_rar_multi_lzss_blocks.rar";
    if (!fs::exists(archive)) {
        GTEST_SKIP() << "RAR sample archives not found in " << kRarSamples;
    }
    TempDir out;
    const ArchiveRun run = RunRar(archive, out.path(), {}, RAR_EXTRACT, RAR_OM_LIST);
    ASSERT_EQ(run.entries.size(), 1u);
    EXPECT_EQ(run.entries.begin()->second.size, 20131111u);
    EXPECT_EQ(run.entries.begin()->second.code, 0);
    EXPECT_TRUE(TreeOf(out.path()).empty());
}

TEST(RarHandles, NullClosedAndUnreadHandlesGiveCodes) {
    RARHeaderData header{};
    EXPECT_EQ(RARReadHeader(nullptr, &header), ERAR_UNKNOWN);
    EXPECT_EQ(RARProcessFile(nullptr, RAR_EXTRACT, nullptr, nullptr), ERAR_UNKNOWN);
    EXPECT_EQ(RARCloseArchive(nullptr), ERAR_ECLOSE);
    RARSetPassword(nullptr, nullptr);
    TempDir dir;
    std::string name = WriteRar(dir / "a", {{"f.txt", "x"}}, RarFormat::Rar5).front();
    std::string missing = dir / "missing.rar";
    RAROpenArchiveData open{};
    open.ArcName = name.data();
    void* handle = RAROpenArchive(&open);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(RARProcessFile(handle, RAR_EXTRACT, nullptr, nullptr), ERAR_BAD_ARCHIVE); // no header yet
    EXPECT_EQ(RARCloseArchive(handle), 0);
    EXPECT_EQ(RARReadHeader(handle, &header), ERAR_UNKNOWN);
    EXPECT_EQ(RARCloseArchive(handle), ERAR_ECLOSE);
    open.ArcName = missing.data();
    EXPECT_EQ(RAROpenArchive(&open), nullptr);
    EXPECT_EQ(open.OpenResult, static_cast<unsigned>(ERAR_EOPEN));
}

// Passwords of 28 bytes and more make the hash rewrite its input; no sample has one.
TEST(RarKeys, Rar3DerivationOfLongPasswordsMatchesKnownValues) {
    const std::uint8_t salt[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    const struct {
        std::size_t length;
        const char* key;
        const char* iv;
    } vectors[] = {
        {28, "ffff33ffaf31987c899ccc2f965a8927", "bdff6873721b247afa4f978448a5aeef"},
        {29, "306cafde28f1ea78c9427c3ec642c0db", "173ecdf574c0bfe9e7c23bdfd96fa435"},
        {127, "b1bc223609af7d4f3b70e5a254ac2501", "302c97945530d7ffa7c551eb2dd21a90"},
    };
    const auto hex = [](const std::uint8_t* data) {
        std::string text;
        for (int i = 0; i < 16; ++i) {
            text += "0123456789abcdef"[data[i] >> 4];
            text += "0123456789abcdef"[data[i] & 15];
        }
        return text;
    };
    for (const auto& v : vectors) {
        const auto key = enginelib::rar::deriveRar3Key(std::string(v.length, 'p'), salt);
        EXPECT_EQ(hex(key.key), v.key) << v.length;
        EXPECT_EQ(hex(key.iv), v.iv) << v.length;
    }
}

} // namespace
} // namespace brisko::test
