// The ACE engine's behaviour around the samples: damaged and incomplete input, targets in the way,
// entries passed over in solid archives, and handles that are not (or no longer) handles.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "acedec/Md5.h"
#include "acedec/SampleSupport.h"
#include "enginelibs/AceTestSupport.h"
#include "support/TempDir.h"

namespace brisko::test {
namespace {

namespace fs = std::filesystem;

std::string md5Of(const std::string& path) {
    const std::vector<std::uint8_t> bytes = acedec::test::readFile(path);
    acedec::test::Md5 md5;
    md5.update(bytes);
    return md5.hex();
}

void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool anyFailed(const AceRunResult& run) {
    if (run.openResult != 0 || run.end != ACE_END) {
        return true;
    }
    return std::any_of(run.entries.begin(), run.entries.end(), [](const auto& e) { return e.code != 0; });
}

#define REQUIRE_SAMPLES()                                                                                    \
    if (AceSamples().empty()) {                                                                              \
        GTEST_SKIP() << "the ACE sample archives are not there: " << BRISKO_ACE_TESTDATA;                    \
    }

TEST(AceEngine, BrokenArchivesFailWithoutLeavingFiles) {
    REQUIRE_SAMPLES();
    TempDir work;
    const auto onefile = acedec::test::readFile(AceSamples() + "/unace-tests-v1/onefile.ace");
    ASSERT_GT(onefile.size(), 1000u);
    auto truncated = onefile;
    truncated.resize(onefile.size() / 2);
    writeBytes(work / "truncated.ace", truncated);
    auto flipped = onefile;
    for (std::size_t i = onefile.size() / 2; i < onefile.size() / 2 + 64; ++i) {
        flipped[i] ^= 0x5A;
    }
    writeBytes(work / "flipped.ace", flipped);
    writeBytes(work / "empty.ace", {});
    WriteFile(work / "text.ace", "this is no archive at all");

    struct Case {
        std::string archive;
        int expected; // the code the failing entry or open gets; 0 = any failure
    };
    const Case cases[] = {
        {AceSamples() + "/unace-tests-v1/out_of_bounds.ace", 0},
        {work / "truncated.ace", ACE_ERR_DAMAGED},
        {work / "flipped.ace", ACE_ERR_DAMAGED},
        {work / "empty.ace", 0},
        {work / "text.ace", ACE_ERR_DAMAGED},
        {work / "missing.ace", ACE_ERR_OPEN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.archive);
        TempDir dest;
        const AceRunResult run = ExtractAce(c.archive, dest.path());
        EXPECT_TRUE(anyFailed(run));
        EXPECT_TRUE(FilesBelow(dest.path()).empty());
        if (c.expected != 0) {
            int code = static_cast<int>(run.openResult);
            for (const auto& entry : run.entries) {
                code = code != 0 ? code : entry.code;
            }
            code = code != 0 ? code : run.end;
            EXPECT_EQ(code, c.expected);
        }
    }
}

TEST(AceEngine, AMissingVolumeEndsTheSetWithAnOpenError) {
    REQUIRE_SAMPLES();
    TempDir work, dest;
    fs::copy_file(AceSamples() + "/unace-tests-v1/multivolume.ace", work / "multivolume.ace");
    fs::copy_file(AceSamples() + "/unace-tests-v1/multivolume.c00", work / "multivolume.c00");
    const AceRunResult run = ExtractAce(work / "multivolume.ace", dest.path());
    bool sawOpenError = run.end == ACE_ERR_OPEN;
    for (const auto& entry : run.entries) {
        sawOpenError = sawOpenError || entry.code == ACE_ERR_OPEN;
        if (entry.code != 0) {
            EXPECT_FALSE(fs::exists(dest / entry.name)) << entry.name;
        }
    }
    EXPECT_TRUE(sawOpenError);
    EXPECT_NE(run.end, ACE_END);
}

TEST(AceEngine, EntriesPassedOverInASolidArchiveDoNotSpoilLaterOnes) {
    REQUIRE_SAMPLES();
    const auto expected = acedec::test::loadExpected();
    const char* const archives[] = {"unace-tests-v1/zdir.ace", "unace-tests-v2/dir2.ace",
                                    "unace-tests-v1/multivolume.ace"};
    for (const char* archive : archives) {
        SCOPED_TRACE(archive);
        const auto& members = expected.at(archive);
        TempDir dest;
        std::string name = AceSamples() + "/" + archive;
        AceOpenRecord open{};
        open.ArcName = name.data();
        open.OpenMode = ACE_OPEN_EXTRACT;
        void* handle = ACEOpenArchive(&open);
        ASSERT_NE(handle, nullptr);
        AceHeaderRecord header{};
        std::size_t index = 0;
        std::size_t written = 0;
        std::string folder = dest.path();
        // Only every third file is extracted; the others are only read past.
        while (ACEReadHeader(handle, &header) == 0) {
            ASSERT_LT(index, members.size());
            const auto& member = members[index++];
            if (member.isDirectory || index % 3 != 0) {
                continue;
            }
            EXPECT_EQ(ACEProcessFile(handle, ACE_EXTRACT, folder.data()), 0) << member.name;
            EXPECT_EQ(md5Of(dest / member.name), member.md5) << member.name;
            ++written;
        }
        EXPECT_EQ(index, members.size());
        EXPECT_GT(written, 5u);
        EXPECT_EQ(FilesBelow(dest.path()).size(), written);
        ACECloseArchive(handle);
    }
}

TEST(AceEngine, TargetsInTheWayAreReplacedOrRefused) {
    REQUIRE_SAMPLES();
    const std::string archive = AceSamples() + "/sflock/ace_nested.ace"; // b00/, b00/ace.txt
    const std::string content = "088e0d46b57d5cc47b6f0384ae75bfb2";
    {
        SCOPED_TRACE("an existing file is replaced");
        TempDir dest;
        WriteFile(dest / "b00/ace.txt", "old and longer than the new content");
        const AceRunResult run = ExtractAce(archive, dest.path());
        EXPECT_FALSE(anyFailed(run));
        EXPECT_EQ(md5Of(dest / "b00/ace.txt"), content);
    }
    {
        SCOPED_TRACE("a folder where the file goes");
        TempDir dest;
        fs::create_directories(dest / "b00/ace.txt/inside");
        const AceRunResult run = ExtractAce(archive, dest.path());
        ASSERT_EQ(run.entries.size(), 2u);
        EXPECT_EQ(run.entries[1].code, ACE_ERR_CREATE);
        EXPECT_TRUE(fs::is_directory(dest / "b00/ace.txt/inside"));
    }
    {
        SCOPED_TRACE("a file where the folder goes");
        TempDir dest;
        WriteFile(dest / "b00", "plain");
        const AceRunResult run = ExtractAce(archive, dest.path());
        ASSERT_EQ(run.entries.size(), 2u);
        EXPECT_EQ(run.entries[0].code, ACE_ERR_CREATE);
        EXPECT_EQ(run.entries[1].code, ACE_ERR_CREATE);
        EXPECT_EQ(ReadFile(dest / "b00"), "plain");
    }
    {
        SCOPED_TRACE("a link to elsewhere where the folder goes");
        TempDir outside, dest;
        fs::create_directory_symlink(outside.path(), dest / "b00");
        const AceRunResult run = ExtractAce(archive, dest.path());
        ASSERT_EQ(run.entries.size(), 2u);
        EXPECT_EQ(run.entries[1].code, ACE_ERR_CREATE);
        EXPECT_TRUE(FilesBelow(outside.path()).empty());
    }
}

TEST(AceEngine, OnlyLiveHandlesAreUsed) {
    REQUIRE_SAMPLES();
    AceHeaderRecord header{};
    char folder[] = "/tmp";
    int notAHandle = 0;
    void* const foreign[] = {nullptr, &notAHandle};
    for (void* handle : foreign) {
        EXPECT_EQ(ACEReadHeader(handle, &header), ACE_ERR_HANDLE);
        EXPECT_EQ(ACEProcessFile(handle, ACE_EXTRACT, folder), ACE_ERR_HANDLE);
        EXPECT_EQ(ACECloseArchive(handle), ACE_ERR_HANDLE);
        ACESetPassword(handle, folder);
    }
    EXPECT_EQ(notAHandle, 0);

    std::string name = AceSamples() + "/sflock/ace_plain.ace";
    AceOpenRecord open{};
    open.ArcName = name.data();
    open.OpenMode = 2;
    EXPECT_EQ(ACEOpenArchive(&open), nullptr) << "only extraction is offered";
    EXPECT_NE(open.OpenResult, 0u);
    EXPECT_EQ(ACEOpenArchive(nullptr), nullptr);

    open.OpenMode = ACE_OPEN_EXTRACT;
    void* handle = ACEOpenArchive(&open);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(open.OpenResult, 0u);
    EXPECT_NE(ACEProcessFile(handle, ACE_EXTRACT, folder), 0) << "no header was read yet";
    EXPECT_EQ(ACEReadHeader(handle, nullptr), ACE_ERR_HANDLE);
    EXPECT_EQ(ACECloseArchive(handle), 0);
    EXPECT_EQ(ACEReadHeader(handle, &header), ACE_ERR_HANDLE);
    EXPECT_EQ(ACECloseArchive(handle), ACE_ERR_HANDLE);
}

} // namespace
} // namespace brisko::test
