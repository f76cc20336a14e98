// The engine on archives made here: volume sets and their faults, hostile names, passwords, list
// mode, handle checks, and the key derivations against known values.
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "enginelibs/RarTestSupport.h"
#include "support/RarFixtures.h"
#include "support/TempDir.h"
#include "unrar/Crypto.h"

namespace brisko::test {
namespace {

namespace fs = std::filesystem;
using Kind = RarItem::Kind;

const std::string kSamples = BRISKO_RAR_TESTDATA;

std::string Pattern(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>('a' + (i * 7 + i / 13) % 26);
    }
    return data;
}

const std::vector<RarItem> kTree = {
    {"big.bin", Pattern(5000)},
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
};

class RarLayouts : public ::testing::TestWithParam<Layout> {};

TEST_P(RarLayouts, ExtractsEveryEntryWhole) {
    const Layout layout = GetParam();
    TempDir dir;
    fs::create_directory(dir / "out");
    const auto volumes = WriteRar(dir / "set", kTree, layout.format, layout.volumes, layout.oldNaming);
    const RarRun run = RunRar(volumes.front(), dir / "out");
    ASSERT_EQ(run.openResult, 0);
    EXPECT_EQ(run.endCode, ERAR_END_ARCHIVE);
    for (const auto& [name, code] : run.results) {
        EXPECT_EQ(code, 0) << name;
    }
    EXPECT_EQ(ReadFile(dir / "out/big.bin"), kTree[0].data);
    EXPECT_EQ(ReadFile(dir / "out/docs/readme.txt"), "hello\n");
    EXPECT_EQ(fs::read_symlink(dir / "out/docs/link"), "readme.txt");
    EXPECT_EQ(TreeOf(dir / "out"), (std::vector<std::string>{"big.bin", "docs/", "docs/empty.txt",
                                                             "docs/link", "docs/readme.txt"}));
    // The header names the volume where each entry starts.
    ASSERT_EQ(run.headers.size(), kTree.size());
    EXPECT_EQ(std::string(run.headers[0].ArcName), volumes.front());
    EXPECT_EQ(std::string(run.headers[1].ArcName), volumes.back());
}

INSTANTIATE_TEST_SUITE_P(Sets, RarLayouts,
                         ::testing::Values(Layout{"rar4", RarFormat::Rar4, 1, false},
                                           Layout{"rar5", RarFormat::Rar5, 1, false},
                                           Layout{"rar4parts", RarFormat::Rar4, 3, false},
                                           Layout{"rar4old", RarFormat::Rar4, 3, true},
                                           Layout{"rar5parts", RarFormat::Rar5, 3, false},
                                           Layout{"rar5old", RarFormat::Rar5, 4, true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct BrokenSet {
    const char* name;
    RarFormat format;
    bool oldNaming;
    int expected;
};

class RarBrokenSets : public ::testing::TestWithParam<BrokenSet> {};

// A set with a missing volume or two volumes swapped is refused before anything is written.
TEST_P(RarBrokenSets, RefusesAtOpenAndWritesNothing) {
    const BrokenSet broken = GetParam();
    TempDir dir;
    fs::create_directory(dir / "out");
    const auto volumes = WriteRar(dir / "set", kTree, broken.format, 4, broken.oldNaming);
    if (broken.expected == ERAR_EOPEN) {
        fs::remove(volumes[2]);
    } else {
        fs::rename(volumes[1], dir / "swap");
        fs::rename(volumes[2], volumes[1]);
        fs::rename(dir / "swap", volumes[2]);
    }
    const RarRun run = RunRar(volumes.front(), dir / "out");
    EXPECT_EQ(run.openResult, broken.expected);
    EXPECT_TRUE(TreeOf(dir / "out").empty());
}

INSTANTIATE_TEST_SUITE_P(Sets, RarBrokenSets,
                         ::testing::Values(BrokenSet{"rar4missing", RarFormat::Rar4, false, ERAR_EOPEN},
                                           BrokenSet{"rar4oldmissing", RarFormat::Rar4, true, ERAR_EOPEN},
                                           BrokenSet{"rar5missing", RarFormat::Rar5, false, ERAR_EOPEN},
                                           BrokenSet{"rar4swapped", RarFormat::Rar4, false, ERAR_BAD_ARCHIVE},
                                           BrokenSet{"rar5swapped", RarFormat::Rar5, false,
                                                     ERAR_BAD_ARCHIVE}),
                         [](const auto& info) { return std::string(info.param.name); });

class RarHostile : public ::testing::TestWithParam<RarFormat> {};

// Unsafe names and a link out are refused; a file "through" the refused link lands in a plain folder
// inside; nothing outside the destination changes.
TEST_P(RarHostile, WritesOnlyInsideTheDestination) {
    TempDir dir;
    fs::create_directory(dir / "out");
    WriteFile(dir / "sentinel/keep.txt", "keep");
    const std::vector<RarItem> items = {
        {"../x", "1"},
        {"/x", "2"},
        {"..\\x", "3"},
        {"a/../../x", "4"},
        {"lnk", "../sentinel", Kind::Link},
        {"lnk/keep.txt", "overwritten"},
        {"abs", "/etc", Kind::Link},
        {"ok.txt", "fine"},
    };
    const auto volumes = WriteRar(dir / "evil", items, GetParam());
    const RarRun run = RunRar(volumes.front(), dir / "out");
    ASSERT_EQ(run.openResult, 0);
    for (const char* refused : {"../x", "/x", "a/../../x", "lnk", "abs"}) {
        EXPECT_EQ(run.results.at(refused), ERAR_ECREATE) << refused;
    }
    EXPECT_EQ(run.results.at("lnk/keep.txt"), 0);
    EXPECT_EQ(run.results.at("ok.txt"), 0);
    EXPECT_EQ(ReadFile(dir / "sentinel/keep.txt"), "keep");
    EXPECT_FALSE(Exists(dir / "x"));
    EXPECT_EQ(TreeOf(dir.path()),
              (std::vector<std::string>{"evil.rar", "out/", "out/lnk/", "out/lnk/keep.txt", "out/ok.txt",
                                        "sentinel/", "sentinel/keep.txt"}));
}

INSTANTIATE_TEST_SUITE_P(Formats, RarHostile, ::testing::Values(RarFormat::Rar4, RarFormat::Rar5));

// RAR 4 names use '\' between folders; one that climbs that way is refused too.
TEST(RarHostileNames, BackslashTraversalIsRefused) {
    TempDir dir;
    fs::create_directory(dir / "out");
    const auto volumes = WriteRar(dir / "evil", {{"..\\..\\x", "1"}}, RarFormat::Rar5);
    const RarRun run = RunRar(volumes.front(), dir / "out");
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_EQ(run.results.begin()->second, ERAR_ECREATE);
    EXPECT_TRUE(TreeOf(dir / "out").empty());
}

struct PasswordCase {
    const char* set;
    const char* archive;
    const char* password;
    bool headersEncrypted;
};

class RarPasswords : public ::testing::TestWithParam<PasswordCase> {};

// The adapter's way: a wrong password gives ERAR_BAD_DATA and leaves nothing; the same call after
// RARSetPassword with the right one succeeds.
TEST_P(RarPasswords, WrongThenRightPasswordOnTheSameCall) {
    const PasswordCase sample = GetParam();
    const std::string archive = kSamples + "/" + sample.set + "/" + sample.archive;
    if (!fs::exists(archive)) {
        GTEST_SKIP() << "RAR sample archives not found in " << kSamples;
    }
    TempDir out;
    RAROpenArchiveData open{};
    std::string name = archive;
    open.ArcName = name.data();
    open.OpenMode = RAR_OM_EXTRACT;
    void* handle = RAROpenArchive(&open);
    ASSERT_NE(handle, nullptr);
    std::string wrong = "not it";
    std::string right = sample.password;
    std::string dest = out.path();
    RARHeaderData header{};
    if (sample.headersEncrypted) {
        EXPECT_EQ(RARReadHeader(handle, &header), ERAR_BAD_DATA);
        RARSetPassword(handle, wrong.data());
        EXPECT_EQ(RARReadHeader(handle, &header), ERAR_BAD_DATA);
    } else {
        ASSERT_EQ(RARReadHeader(handle, &header), 0);
        while ((header.Flags & 0x04) == 0) {
            ASSERT_EQ(RARProcessFile(handle, RAR_SKIP, nullptr, nullptr), 0);
            ASSERT_EQ(RARReadHeader(handle, &header), 0);
        }
        EXPECT_EQ(RARProcessFile(handle, RAR_EXTRACT, dest.data(), nullptr), ERAR_BAD_DATA);
        RARSetPassword(handle, wrong.data());
        EXPECT_EQ(RARProcessFile(handle, RAR_EXTRACT, dest.data(), nullptr), ERAR_BAD_DATA);
        EXPECT_TRUE(TreeOf(out.path()).empty());
    }
    RARSetPassword(handle, right.data());
    if (sample.headersEncrypted) {
        ASSERT_EQ(RARReadHeader(handle, &header), 0);
    }
    EXPECT_EQ(RARProcessFile(handle, RAR_EXTRACT, dest.data(), nullptr), 0);
    EXPECT_TRUE(Exists(out / header.FileName));
    EXPECT_FALSE(HasLeftovers(out.path()));
    EXPECT_EQ(RARCloseArchive(handle), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, RarPasswords,
    ::testing::Values(
        PasswordCase{"rar4-enc-partial", "test_read_format_rar_encryption_partially.rar", "12345678", false},
        PasswordCase{"rar5-enc-data", "rar5-psw.rar", "password", false},
        PasswordCase{"rar4-enc-headers", "test_read_format_rar4_encrypted_filenames.rar", "password", true},
        PasswordCase{"rar5-enc-headers-2", "rar5-hpsw.rar", "password", true}),
    [](const auto& info) {
        std::string name = info.param.set;
        std::erase(name, '-');
        return name;
    });

// Listing reads headers only: a 20 MB entry of a 19 KB archive is listed, and a request to extract in
// list mode writes nothing.
TEST(RarListMode, DecompressesNothing) {
    const std::string archive =
        kSamples + "/rar4-multi-lzss-blocks/test_read_format_rar_multi_lzss_blocks.rar";
    if (!fs::exists(archive)) {
        GTEST_SKIP() << "RAR sample archives not found in " << kSamples;
    }
    TempDir out;
    const RarRun run = RunRar(archive, out.path(), {}, RAR_EXTRACT, RAR_OM_LIST);
    ASSERT_EQ(run.headers.size(), 1u);
    EXPECT_EQ(run.headers[0].UnpSize, 20131111u);
    EXPECT_EQ(run.results.begin()->second, 0);
    EXPECT_TRUE(TreeOf(out.path()).empty());
}

TEST(RarHandles, NullAndClosedHandlesGiveCodes) {
    RARHeaderData header{};
    EXPECT_EQ(RARReadHeader(nullptr, &header), ERAR_UNKNOWN);
    EXPECT_EQ(RARProcessFile(nullptr, RAR_EXTRACT, nullptr, nullptr), ERAR_UNKNOWN);
    EXPECT_EQ(RARCloseArchive(nullptr), ERAR_ECLOSE);
    RARSetPassword(nullptr, nullptr);
    TempDir dir;
    const auto volumes = WriteRar(dir / "a", {{"f.txt", "x"}}, RarFormat::Rar5);
    RAROpenArchiveData open{};
    std::string name = volumes.front();
    open.ArcName = name.data();
    void* handle = RAROpenArchive(&open);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(RARProcessFile(handle, RAR_EXTRACT, nullptr, nullptr), ERAR_BAD_ARCHIVE); // no header yet
    EXPECT_EQ(RARCloseArchive(handle), 0);
    EXPECT_EQ(RARReadHeader(handle, &header), ERAR_UNKNOWN);
    EXPECT_EQ(RARCloseArchive(handle), ERAR_ECLOSE);
    std::string missing = dir / "missing.rar";
    open.ArcName = missing.data();
    EXPECT_EQ(RAROpenArchive(&open), nullptr);
    EXPECT_EQ(open.OpenResult, static_cast<unsigned>(ERAR_EOPEN));
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

struct Rar3Vector {
    std::string password;
    std::vector<std::uint8_t> salt;
    const char* key;
    const char* iv;
};

// Including the passwords long enough for the hash to rewrite its input.
TEST(RarKeys, Rar3DerivationMatchesKnownValues) {
    const std::vector<std::uint8_t> salt = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    const std::vector<Rar3Vector> vectors = {
        {std::string(28, 'p'), salt, "ffff33ffaf31987c899ccc2f965a8927", "bdff6873721b247afa4f978448a5aeef"},
        {std::string(29, 'p'), salt, "306cafde28f1ea78c9427c3ec642c0db", "173ecdf574c0bfe9e7c23bdfd96fa435"},
        {std::string(127, 'p'), salt, "b1bc223609af7d4f3b70e5a254ac2501", "302c97945530d7ffa7c551eb2dd21a90"},
        {"password", {}, "9bde0a0b8000e732fe25f1ba7e77012c", "353b447f82c586792fc594e64c4e67f9"},
    };
    for (const Rar3Vector& v : vectors) {
        const auto key = enginelib::rar::deriveRar3Key(v.password, v.salt.empty() ? nullptr : v.salt.data());
        EXPECT_EQ(Hex(key.key, 16), v.key) << v.password.size();
        EXPECT_EQ(Hex(key.iv, 16), v.iv) << v.password.size();
    }
}

TEST(RarKeys, Rar5DerivationAndMacMatchKnownValues) {
    const std::uint8_t salt[16] = {0x7e, 0x98, 0x2c, 0xdd, 0x1a, 0xe2, 0x1c, 0x36,
                                   0xc7, 0xa3, 0x91, 0xda, 0x8d, 0x08, 0x8a, 0x68};
    const auto keys = enginelib::rar::deriveRar5Keys("password", salt, 15);
    EXPECT_EQ(Hex(keys.key, 32), "be931a62d2708cb9781b4fcb7ceeca45316a9b12318d52cca4e372bfaee212a7");
    EXPECT_EQ(Hex(keys.hashKey, 32), "29adb79ce960adb7ceb0741e61ad78dcb2a77ab1027fb6e414294a8fc4146f7a");
    EXPECT_EQ(Hex(keys.check, 8), "8151cff63649c16e");
    EXPECT_EQ(enginelib::rar::macCrc(keys.hashKey, 0xC5B7E6A2), 0xBA28EEEAu);
}

} // namespace
} // namespace brisko::test
