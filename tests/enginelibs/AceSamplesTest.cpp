// The sample archives through the engine's C interface: every member that should come out comes
// out byte for byte, encrypted ones after the password is given, and the hostile ones write nothing.
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

#include "acedec/Md5.h"
#include "acedec/SampleSupport.h"
#include "enginelibs/AceTestSupport.h"
#include "support/TempDir.h"

namespace brisko::test {
namespace {

using acedec::test::ExpectedMember;

std::string md5Of(const std::string& path) {
    const std::vector<std::uint8_t> bytes = acedec::test::readFile(path);
    acedec::test::Md5 md5;
    md5.update(bytes);
    return md5.hex();
}

// Passwords the encrypted samples need.
const std::map<std::string, std::string> kPasswords = {
    {"unace-tests-v1/passwd.ace", "pass"},
    {"unace-tests-v2/passwd2.ace", "1234"},
};

bool isHostile(const std::string& archive, const std::vector<ExpectedMember>& members) {
    return members.empty() || archive.find("dirtraversal") != std::string::npos;
}

TEST(AceSamples, EveryMemberComesOutWhole) {
    if (AceSamples().empty()) {
        GTEST_SKIP() << "the ACE sample archives are not there: " << BRISKO_ACE_TESTDATA;
    }
    const auto expected = acedec::test::loadExpected();
    ASSERT_GT(expected.size(), 20u);
    int checked = 0;
    for (const auto& [archive, members] : expected) {
        if (isHostile(archive, members)) {
            continue;
        }
        SCOPED_TRACE(archive);
        TempDir dest;
        const auto password = kPasswords.find(archive);
        const AceRunResult run =
            ExtractAce(AceSamples() + "/" + archive, dest.path(),
                       password == kPasswords.end() ? std::vector<std::string>{}
                                                    : std::vector<std::string>{password->second});
        ASSERT_EQ(run.openResult, 0u);
        EXPECT_EQ(run.end, ACE_END);
        ASSERT_EQ(run.entries.size(), members.size());
        std::vector<std::string> files;
        for (std::size_t i = 0; i < members.size(); ++i) {
            const ExpectedMember& member = members[i];
            EXPECT_EQ(run.entries[i].name, member.name);
            EXPECT_EQ(run.entries[i].code, 0) << member.name;
            const std::string path = dest / member.name;
            if (member.isDirectory) {
                EXPECT_TRUE(std::filesystem::is_directory(path)) << member.name;
                continue;
            }
            char crc[9];
            std::snprintf(crc, sizeof crc, "%08x", run.entries[i].fileCrc);
            EXPECT_EQ(crc, member.crc) << member.name;
            files.push_back(member.name);
            ASSERT_TRUE(std::filesystem::is_regular_file(path)) << member.name;
            EXPECT_EQ(std::filesystem::file_size(path), member.size) << member.name;
            EXPECT_EQ(md5Of(path), member.md5) << member.name;
            ++checked;
        }
        std::sort(files.begin(), files.end());
        EXPECT_EQ(FilesBelow(dest.path()), files) << "no temporary or extra files are left";
    }
    EXPECT_GE(checked, 390); // the files of the samples that should extract
}

TEST(AceSamples, EntriesNameTheVolumeWhereTheyStart) {
    if (AceSamples().empty()) {
        GTEST_SKIP() << "the ACE sample archives are not there: " << BRISKO_ACE_TESTDATA;
    }
    TempDir dest;
    const AceRunResult run = ExtractAce(AceSamples() + "/unace-tests-v1/multivolume.ace", dest.path());
    ASSERT_FALSE(run.entries.empty());
    std::vector<std::string> volumes;
    for (const auto& entry : run.entries) {
        const std::string leaf = std::filesystem::path(entry.volume).filename().string();
        if (volumes.empty() || volumes.back() != leaf) {
            volumes.push_back(leaf);
        }
    }
    EXPECT_EQ(volumes, (std::vector<std::string>{"multivolume.ace", "multivolume.c00", "multivolume.c01"}));
}

TEST(AceSamples, TheModificationTimeIsTheArchivedLocalTime) {
    if (AceSamples().empty()) {
        GTEST_SKIP() << "the ACE sample archives are not there: " << BRISKO_ACE_TESTDATA;
    }
    TempDir dest;
    const AceRunResult run = ExtractAce(AceSamples() + "/unace-tests-v1/onefile.ace", dest.path());
    ASSERT_EQ(run.entries.size(), 1u);
    struct stat st {};
    ASSERT_EQ(::stat((dest / "CHANGES.LOG").c_str(), &st), 0);
    std::tm local{};
    localtime_r(&st.st_mtime, &local);
    const unsigned t = run.entries[0].fileTime;
    EXPECT_EQ(local.tm_year + 1900, static_cast<int>((t >> 25) + 1980));
    EXPECT_EQ(local.tm_mon + 1, static_cast<int>((t >> 21) & 0xF));
    EXPECT_EQ(local.tm_mday, static_cast<int>((t >> 16) & 0x1F));
    EXPECT_EQ(local.tm_hour, static_cast<int>((t >> 11) & 0x1F));
    EXPECT_EQ(local.tm_min, static_cast<int>((t >> 5) & 0x3F));
    EXPECT_EQ(local.tm_sec, static_cast<int>((t & 0x1F) * 2));
    EXPECT_EQ(st.st_mode & 07777, 0644u & ~0022u & 07777) << "DOS attributes give the usual mode";
}

struct PasswordCase {
    const char* archive;
    const char* member;
    const char* password;
};

TEST(AceSamples, AMissingPasswordIsAskedForAndTheSameCallThenSucceeds) {
    if (AceSamples().empty()) {
        GTEST_SKIP() << "the ACE sample archives are not there: " << BRISKO_ACE_TESTDATA;
    }
    const PasswordCase cases[] = {
        {"unace-tests-v1/passwd.ace", "passwd.m4", "pass"},
        {"unace-tests-v2/passwd2.ace", "passwd2.m4", "1234"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.archive);
        TempDir dest;
        std::string name = AceSamples() + "/" + c.archive;
        AceOpenRecord open{};
        open.ArcName = name.data();
        open.OpenMode = ACE_OPEN_EXTRACT;
        void* handle = ACEOpenArchive(&open);
        ASSERT_NE(handle, nullptr);
        AceHeaderRecord header{};
        ASSERT_EQ(ACEReadHeader(handle, &header), 0);
        std::string folder = dest.path();
        EXPECT_EQ(ACEProcessFile(handle, ACE_EXTRACT, folder.data()), ACE_ERR_PASSWORD);
        EXPECT_TRUE(FilesBelow(dest.path()).empty());
        std::string password = c.password;
        ACESetPassword(handle, password.data());
        EXPECT_EQ(ACEProcessFile(handle, ACE_EXTRACT, folder.data()), 0);
        EXPECT_EQ(ACEReadHeader(handle, &header), ACE_END);
        EXPECT_EQ(ACECloseArchive(handle), 0);
        EXPECT_EQ(FilesBelow(dest.path()), std::vector<std::string>{c.member});
    }
}

TEST(AceSamples, AWrongPasswordIsReportedAndWritesNothing) {
    if (AceSamples().empty()) {
        GTEST_SKIP() << "the ACE sample archives are not there: " << BRISKO_ACE_TESTDATA;
    }
    TempDir dest;
    const AceRunResult run = ExtractAce(AceSamples() + "/unace-tests-v1/passwd.ace", dest.path(), {"wrong"});
    ASSERT_EQ(run.entries.size(), 1u);
    EXPECT_EQ(run.entries[0].code, ACE_ERR_PASSWORD);
    EXPECT_TRUE(FilesBelow(dest.path()).empty());
    // After a wrong one, the right one still works on the same entry (of a solid archive here).
    TempDir again;
    const AceRunResult retry =
        ExtractAce(AceSamples() + "/unace-tests-v1/passwd.ace", again.path(), {"wrong", "pass"});
    ASSERT_EQ(retry.entries.size(), 1u);
    EXPECT_EQ(retry.entries[0].code, 0);
    EXPECT_EQ(md5Of(again / "passwd.m4"), "7773dffb766fc09ac315e03ef9268507");
}

TEST(AceSamples, TraversalNamesAreRefusedAndNothingOutsideIsTouched) {
    if (AceSamples().empty()) {
        GTEST_SKIP() << "the ACE sample archives are not there: " << BRISKO_ACE_TESTDATA;
    }
    const char* const archives[] = {"unace-tests-v1/dirtraversal1.ace", "unace-tests-v1/dirtraversal2.ace"};
    const std::string target = "/tmp/unace-dir-traversal";
    const bool targetWasThere = std::filesystem::exists(target);
    for (const char* archive : archives) {
        SCOPED_TRACE(archive);
        TempDir outer;
        WriteFile(outer / "sentinel", "keep");
        const std::string dest = outer / "dest";
        std::filesystem::create_directory(dest);
        const AceRunResult run = ExtractAce(AceSamples() + "/" + archive, dest);
        ASSERT_EQ(run.entries.size(), 1u);
        EXPECT_EQ(run.entries[0].code, ACE_ERR_CREATE);
        EXPECT_EQ(run.end, ACE_END);
        EXPECT_TRUE(FilesBelow(dest).empty());
        EXPECT_EQ(FilesBelow(outer.path()), std::vector<std::string>{"sentinel"});
        EXPECT_EQ(ReadFile(outer / "sentinel"), "keep");
        if (!targetWasThere) {
            EXPECT_FALSE(std::filesystem::exists(target));
        }
    }
}

} // namespace
} // namespace brisko::test
