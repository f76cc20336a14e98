#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "enginelibs/ZipFixtures.h"
#include "support/TempDir.h"

namespace brisko::test {
namespace {

using Kind = ZipItem::Kind;

std::string binaryData(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = static_cast<char>(i % 3 == 0 ? seed >> 16 : i & 0xff);
    }
    return data;
}

// A wrong password that the archive's check bytes reject: with classic encryption one wrong password
// in 256 passes the check and only fails at the CRC, which is no test of asking again.
std::string rejectedPassword(const std::string& zip) {
    for (int i = 0; i < 100; ++i) {
        const std::string candidate = "wrong" + std::to_string(i);
        struct archive* a = archive_read_new();
        archive_read_support_format_zip_seekable(a);
        archive_read_add_passphrase(a, candidate.c_str());
        archive_read_open_filename(a, zip.c_str(), 1 << 16);
        struct archive_entry* e = nullptr;
        char byte;
        bool rejected = false;
        while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
            if (archive_entry_filetype(e) == AE_IFREG) {
                rejected = archive_read_data(a, &byte, 1) == ARCHIVE_FAILED;
                break;
            }
        }
        archive_read_free(a);
        if (rejected) {
            return candidate;
        }
    }
    ADD_FAILURE() << "no rejected password found";
    return {};
}

class UnzipEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_oldUmask = umask(022);
        mkdir(m_out.c_str(), 0755);
    }
    void TearDown() override { umask(m_oldUmask); }

    int extract(Duplicates duplicates = Duplicates::Always) {
        return RunEngine(m_zip, m_out, duplicates, m_script);
    }

    mode_t m_oldUmask = 0;
    TempDir m_root;
    const std::string m_zip = m_root / "test.zip";
    const std::string m_out = m_root / "out";
    EngineScript m_script;
};

TEST_F(UnzipEngineTest, ExtractsWhatDebiansUnzipExtracts) {
    if (!HaveUnzip()) {
        GTEST_SKIP() << "Debian's unzip is not installed (apt-get install unzip)";
    }
    const std::vector<ZipItem> plain = {
        {"top.txt", "top level\n"},
        {"empty.txt", ""},
        {"d/e/deep.bin", binaryData(300000, 7)},
        {"d/all-bytes", binaryData(256, 1)},
    };
    const struct {
        const char* label;
        std::vector<ZipItem> items;
        ZipOptions options;
    } cases[] = {
        {"stored", plain, {"store", "", "", false}},
        {"deflated", plain, {"deflate", "", "", false}},
        {"folders",
         {{"a/", "", Kind::Folder, 0755},
          {"a/empty/", "", Kind::Folder, 0755},
          {"a/f.txt", "f"},
          {"b/c/g.txt", "g"}},
         {}},
        {"UTF-8 names", {{"Grüße/Ünïcødé ✓.txt", "u"}, {"日本語.txt", "j"}}, {}},
        {"CP437 names", {{"Grüße/Straße ½.txt", "c"}, {"ÄÖÜ.txt", "d"}}, {"deflate", "", "", true}},
        {"classic encryption", plain, {"deflate", "zipcrypt", "sesame"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir work;
        const std::string zip = work / "a.zip", mine = work / "mine", theirs = work / "theirs";
        mkdir(mine.c_str(), 0755);
        WriteZip(zip, c.items, c.options);
        EngineScript script;
        script.passwords = {c.options.passphrase};
        ASSERT_EQ(RunEngine(zip, mine, Duplicates::Always, script), 0);
        ASSERT_EQ(RunUnzip(zip, theirs, c.options.passphrase), 0);
        std::map<std::string, Node> expected;
        for (const auto& [name, node] : Snapshot(theirs)) {
            // unzip writes names without the UTF-8 flag as raw DOS bytes.
            expected[c.options.cp437Names ? Cp437ToUtf8(name) : name] = node;
        }
        const auto actual = Snapshot(mine);
        ASSERT_EQ(actual.size(), expected.size());
        for (const auto& [name, node] : expected) {
            ASSERT_TRUE(actual.count(name)) << name;
            EXPECT_EQ(actual.at(name).description, node.description) << name;
            if (node.description != "folder" || node.mtime == kFixtureTime) { // else made on the way: now
                EXPECT_EQ(actual.at(name).mtime, node.mtime) << name;
            }
            EXPECT_EQ(actual.at(name).mode, node.mode) << name;
        }
    }
}

TEST_F(UnzipEngineTest, ExtractsAesEntriesAsLibarchiveReadsThem) {
    const std::vector<ZipItem> items = {{"a.txt", "alpha"}, {"d/big.bin", binaryData(200000, 3)}, {"e", ""}};
    WriteZip(m_zip, items, {"deflate", "aes256", "open sesame"});
    m_script.passwords = {"open sesame"};
    ASSERT_EQ(extract(), 0);
    const auto expected = ReadWithLibarchive(m_zip, "open sesame");
    ASSERT_EQ(expected.size(), 3u);
    for (const auto& [name, data] : expected) {
        EXPECT_EQ(ReadFile(m_out + "/" + name), data) << name;
    }
    EXPECT_EQ(m_script.passwordAsked, std::vector<std::string>{"a.txt"}); // a fitting password is kept
}

TEST_F(UnzipEngineTest, AppliesTheDuplicatePolicyToExistingFiles) {
    const std::string target = m_out + "/a.txt";
    const struct {
        const char* label;
        Duplicates duplicates;
        time_t existingTime;
        std::vector<int> answers;
        bool replaced;
        const char* line;
    } cases[] = {
        {"never", Duplicates::Never, kFixtureTime - 100, {}, false, "Target file exists.  Skipping "},
        {"always", Duplicates::Always, kFixtureTime + 100, {}, true, "  inflating: "},
        {"newer, entry newer", Duplicates::Newer, kFixtureTime - 3, {}, true, "  inflating: "},
        {"newer, within 2 s",
         Duplicates::Newer,
         kFixtureTime - 2,
         {},
         false,
         "Target file newer.  Skipping "},
        {"newer, entry older",
         Duplicates::Newer,
         kFixtureTime + 60,
         {},
         false,
         "Target file newer.  Skipping "},
        {"prompt, no",
         Duplicates::Prompt,
         kFixtureTime,
         {UNZ_REPLACE_NO},
         false,
         "Target file exists.  Skipping "},
        {"prompt, yes", Duplicates::Prompt, kFixtureTime, {UNZ_REPLACE_YES}, true, "  inflating: "},
    };
    WriteZip(m_zip, {{"a.txt", "new"}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        WriteFile(target, "old");
        const timespec times[2] = {{c.existingTime, 0}, {c.existingTime, 0}};
        utimensat(AT_FDCWD, target.c_str(), times, 0);
        EngineScript script;
        script.replaceAnswers = c.answers;
        EXPECT_EQ(RunEngine(m_zip, m_out, c.duplicates, script), 0);
        EXPECT_EQ(ReadFile(target), c.replaced ? "new" : "old");
        ASSERT_EQ(script.lines.size(), 1u);
        EXPECT_EQ(script.lines[0], c.line + target + "\n");
        EXPECT_EQ(script.replaceAsked, c.duplicates == Duplicates::Prompt ? std::vector<std::string>{target}
                                                                          : std::vector<std::string>{});
    }
}

TEST_F(UnzipEngineTest, ReplaceAnswersForAllHoldForTheRestOfTheArchive) {
    const struct {
        std::vector<int> answers;
        std::size_t asked;
        std::string contents;
    } cases[] = {
        {{UNZ_REPLACE_ALL}, 1, "NNN"},
        {{UNZ_REPLACE_NONE}, 1, "ooo"},
        {{UNZ_REPLACE_YES, UNZ_REPLACE_NO, UNZ_REPLACE_YES}, 3, "NoN"},
        {{UNZ_REPLACE_NO, UNZ_REPLACE_ALL}, 2, "oNN"},
    };
    WriteZip(m_zip, {{"1", "N"}, {"2", "N"}, {"3", "N"}});
    for (const auto& c : cases) {
        for (const char* name : {"1", "2", "3"}) {
            WriteFile(m_out + "/" + name, "o");
        }
        EngineScript script;
        script.replaceAnswers = c.answers;
        EXPECT_EQ(RunEngine(m_zip, m_out, Duplicates::Prompt, script), 0);
        EXPECT_EQ(script.replaceAsked.size(), c.asked);
        EXPECT_EQ(ReadFile(m_out + "/1") + ReadFile(m_out + "/2") + ReadFile(m_out + "/3"), c.contents);
    }
}

TEST_F(UnzipEngineTest, DuplicateNamesInOneArchiveFollowThePolicy) {
    WriteZip(m_zip, {{"twice", "first"}, {"twice", "second"}});
    EXPECT_EQ(extract(Duplicates::Never), 0);
    EXPECT_EQ(ReadFile(m_out + "/twice"), "first");
    EXPECT_EQ(extract(Duplicates::Always), 0);
    EXPECT_EQ(ReadFile(m_out + "/twice"), "second");
}

TEST_F(UnzipEngineTest, AsksAgainForAPasswordThatDoesNotFitAndSkipsADeclinedEntry) {
    for (const char* encryption : {"zipcrypt", "aes256"}) {
        SCOPED_TRACE(encryption);
        TempDir work;
        const std::string zip = work / "p.zip", out = work / "out";
        mkdir(out.c_str(), 0755);
        WriteZip(zip, {{"d/", "", Kind::Folder, 0755}, {"a.txt", "alpha"}, {"b.txt", "beta"}},
                 {"deflate", encryption, "right"});
        const std::string wrong = rejectedPassword(zip);

        EngineScript retry;
        retry.passwords = {wrong, "right"};
        EXPECT_EQ(RunEngine(zip, out, Duplicates::Always, retry), 0);
        EXPECT_EQ(retry.passwordAsked, (std::vector<std::string>{"a.txt", "a.txt"}));
        EXPECT_EQ(ReadFile(out + "/a.txt"), "alpha");
        EXPECT_EQ(ReadFile(out + "/b.txt"), "beta");

        const std::string out2 = work / "out2";
        mkdir(out2.c_str(), 0755);
        EngineScript declined;
        declined.passwords = {std::nullopt, "right"};
        EXPECT_EQ(RunEngine(zip, out2, Duplicates::Always, declined), 82);
        EXPECT_EQ(declined.passwordAsked, (std::vector<std::string>{"a.txt", "b.txt"}));
        EXPECT_EQ(ListTree(out2), (std::vector<std::string>{"b.txt", "d"}));
    }
}

TEST_F(UnzipEngineTest, StoppingInsideALargeEntryLeavesTheOldFile) {
    WriteZip(m_zip, {{"small.txt", "s"}, {"big.bin", binaryData(12 << 20, 5)}, {"after.txt", "a"}});
    WriteFile(m_out + "/big.bin", "old");
    int bigCalls = 0;
    m_script.service = [&](const std::string& entry, unsigned long) {
        return entry == "big.bin" && ++bigCalls == 2;
    };
    EXPECT_EQ(extract(Duplicates::Always), 80);
    EXPECT_EQ(bigCalls, 2);
    EXPECT_EQ(ReadFile(m_out + "/big.bin"), "old");
    EXPECT_EQ(ListTree(m_out), (std::vector<std::string>{"big.bin", "small.txt"}));

    EngineScript noFolder;
    EXPECT_EQ(RunEngine(m_zip, m_root / "elsewhere", Duplicates::Always, noFolder), 50);
    mkdir((m_root / "elsewhere").c_str(), 0755);
    EngineScript stopAtFirstLine;
    stopAtFirstLine.stopPrintingAt = 0;
    EXPECT_EQ(RunEngine(m_zip, m_root / "elsewhere", Duplicates::Always, stopAtFirstLine), 80);
    EXPECT_EQ(ListTree(m_root / "elsewhere"), std::vector<std::string>{});
}

TEST_F(UnzipEngineTest, DamagedArchivesLeaveNoFileBehind) {
    WriteZip(m_zip, {{"a.txt", "first entry"}, {"b.txt", "hello world, stored"}, {"c.txt", "last"}},
             {"store", "", "", false});
    std::string bytes = ReadFile(m_zip);
    WriteZip(m_zip, {{"a.txt", "first entry"}, {"b.bin", binaryData(200000, 9)}, {"c.txt", "last"}});
    std::string deflated = ReadFile(m_zip);
    for (std::size_t i = deflated.find("b.bin") + 1000, end = i + 64; i < end; ++i) {
        deflated[i] ^= 0x5a;
    }
    const struct {
        const char* label;
        std::string archive;
        int code;
        std::vector<std::string> left;
    } cases[] = {
        {"truncated", bytes.substr(0, bytes.size() / 2), 3, {}},
        {"CRC",
         [&] {
             std::string b = bytes;
             b[b.find("hello world")] ^= 1;
             return b;
         }(),
         2,
         {"a.txt", "c.txt"}},
        {"broken deflate stream", deflated, 3, {"a.txt", "c.txt"}}, // the entries after it still come out
        {"not a ZIP", "just some text that is long enough to be read", 9, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir work;
        const std::string zip = work / "x.zip", out = work / "out";
        mkdir(out.c_str(), 0755);
        std::ofstream(zip, std::ios::binary) << c.archive;
        EngineScript script;
        EXPECT_EQ(RunEngine(zip, out, Duplicates::Always, script), c.code);
        EXPECT_EQ(ListTree(out), c.left);
    }
    EXPECT_EQ(RunEngine(m_root / "missing.zip", m_out, Duplicates::Always, m_script), 9);
}

} // namespace
} // namespace brisko::test
