// The ACE engine around the samples, through its C interface (targets in the way, hostile names
// and passwords: the destination tests, the sample sets and the hostile property tests).
// Faults caught here:
// - input that is no archive, empty or missing gives success, a wrong code, or leaves files
// - a missing volume is not reported as an open error, or a split entry is written anyway
// - an entry passed over in a solid archive spoils the entries after it
// - an entry names the wrong volume; the modification time or mode is not the archived one
// - a null, foreign or closed handle is used instead of refused
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "enginelibs/RarAceSupport.h"
#include "support/TempDir.h"

namespace brisko::test {
namespace {

namespace fs = std::filesystem;

class AceEngine : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::is_directory(kAceSamples)) {
            GTEST_SKIP() << "the ACE sample archives are not there: " << kAceSamples;
        }
    }
    static std::string sample(const std::string& name) { return kAceSamples + "/" + name; }
};

TEST_F(AceEngine, WhatIsNoArchiveFailsWithItsCode) {
    TempDir work;
    WriteFile(work / "empty.ace", "");
    WriteFile(work / "text.ace", "this is no archive at all");
    const std::pair<std::string, int> cases[] = {{work / "empty.ace", ACE_ERR_DAMAGED},
                                                 {work / "text.ace", ACE_ERR_DAMAGED},
                                                 {work / "missing.ace", ACE_ERR_OPEN}};
    for (const auto& [archive, code] : cases) {
        TempDir dest;
        const ArchiveRun run = RunAce(archive, dest.path());
        EXPECT_EQ(run.open != 0 ? run.open : run.end, code) << archive;
        EXPECT_TRUE(TreeOf(dest.path()).empty());
    }
}

TEST_F(AceEngine, AMissingVolumeEndsTheSetWithAnOpenError) {
    TempDir work, dest;
    fs::copy_file(sample("unace-tests-v1/multivolume.ace"), work / "multivolume.ace");
    fs::copy_file(sample("unace-tests-v1/multivolume.c00"), work / "multivolume.c00");
    const ArchiveRun run = RunAce(work / "multivolume.ace", dest.path());
    bool sawOpenError = run.end == ACE_ERR_OPEN;
    for (const auto& [name, entry] : run.entries) {
        sawOpenError = sawOpenError || entry.code == ACE_ERR_OPEN;
        if (entry.code != 0) {
            EXPECT_FALSE(fs::exists(dest / name)) << name;
        }
    }
    EXPECT_TRUE(sawOpenError);
    EXPECT_NE(run.end, ACE_END);
    // The entries name the volume where they start.
    const ArchiveRun whole = RunAce(sample("unace-tests-v1/multivolume.ace"), dest.path());
    std::vector<std::string> volumes;
    for (const std::string& name : whole.order) {
        const std::string leaf = fs::path(whole.entries.at(name).volume).filename().string();
        if (volumes.empty() || volumes.back() != leaf) {
            volumes.push_back(leaf);
        }
    }
    EXPECT_EQ(volumes, (std::vector<std::string>{"multivolume.ace", "multivolume.c00", "multivolume.c01"}));
}

TEST_F(AceEngine, EntriesPassedOverInASolidArchiveDoNotSpoilLaterOnes) {
    std::map<std::string, std::vector<Member>> inventory;
    for (const SampleSet& set : LoadSampleSets()) {
        inventory[set.name] = set.members;
    }
    for (const char* archive :
         {"unace-tests-v1/zdir.ace", "unace-tests-v2/dir2.ace", "unace-tests-v1/multivolume.ace"}) {
        SCOPED_TRACE(archive);
        const auto& members = inventory.at(archive);
        TempDir dest;
        std::string name = sample(archive), folder = dest.path();
        AceOpenRecord open{};
        open.ArcName = name.data();
        open.OpenMode = ACE_OPEN_EXTRACT;
        void* handle = ACEOpenArchive(&open);
        ASSERT_NE(handle, nullptr);
        AceHeaderRecord header{};
        std::size_t index = 0, written = 0;
        while (ACEReadHeader(handle, &header) == 0) { // every third file extracted, the others read past
            ASSERT_LT(index, members.size());
            const Member& member = members[index++];
            if (member.kind == "file" && index % 3 == 0) {
                EXPECT_EQ(ACEProcessFile(handle, ACE_EXTRACT, folder.data()), 0) << member.path;
                EXPECT_EQ(CrcHex(ReadFile(dest / member.path)), member.crc) << member.path;
                ++written;
            }
        }
        EXPECT_EQ(index, members.size());
        EXPECT_GT(written, 5u);
        const auto tree = TreeOf(dest.path());
        EXPECT_EQ(std::count_if(tree.begin(), tree.end(), [](auto& p) { return p.back() != '/'; }), written);
        ACECloseArchive(handle);
    }
}

TEST_F(AceEngine, TheModificationTimeAndModeAreTheArchivedOnes) {
    TempDir dest;
    const ArchiveRun run = RunAce(sample("unace-tests-v1/onefile.ace"), dest.path());
    ASSERT_EQ(run.order, std::vector<std::string>{"CHANGES.LOG"});
    struct stat st {};
    ASSERT_EQ(::stat((dest / "CHANGES.LOG").c_str(), &st), 0);
    const unsigned t = run.entries.at("CHANGES.LOG").time; // the archived local time, MS-DOS style
    std::tm local{};
    local.tm_sec = static_cast<int>(t & 0x1F) * 2, local.tm_min = static_cast<int>((t >> 5) & 0x3F);
    local.tm_hour = static_cast<int>((t >> 11) & 0x1F), local.tm_mday = static_cast<int>((t >> 16) & 0x1F);
    local.tm_mon = static_cast<int>((t >> 21) & 0xF) - 1, local.tm_year = static_cast<int>(t >> 25) + 80;
    local.tm_isdst = -1;
    EXPECT_EQ(st.st_mtime, std::mktime(&local));
    EXPECT_EQ(st.st_mode & 07777, 0644u & ~0022u & 07777) << "DOS attributes give the usual mode";
}

TEST_F(AceEngine, OnlyLiveHandlesAreUsed) {
    AceHeaderRecord header{};
    char folder[] = "/tmp";
    int notAHandle = 0;
    for (void* handle : {static_cast<void*>(nullptr), static_cast<void*>(&notAHandle)}) {
        EXPECT_EQ(ACEReadHeader(handle, &header), ACE_ERR_HANDLE);
        EXPECT_EQ(ACEProcessFile(handle, ACE_EXTRACT, folder), ACE_ERR_HANDLE);
        EXPECT_EQ(ACECloseArchive(handle), ACE_ERR_HANDLE);
        ACESetPassword(handle, folder);
    }
    EXPECT_EQ(notAHandle, 0);
    std::string name = sample("sflock/ace_plain.ace");
    AceOpenRecord open{};
    open.ArcName = name.data();
    open.OpenMode = 2;
    EXPECT_EQ(ACEOpenArchive(&open), nullptr) << "only extraction is offered";
    EXPECT_NE(open.OpenResult, 0u);
    EXPECT_EQ(ACEOpenArchive(nullptr), nullptr);
    open.OpenMode = ACE_OPEN_EXTRACT;
    void* handle = ACEOpenArchive(&open);
    ASSERT_NE(handle, nullptr);
    EXPECT_NE(ACEProcessFile(handle, ACE_EXTRACT, folder), 0) << "no header was read yet";
    EXPECT_EQ(ACEReadHeader(handle, nullptr), ACE_ERR_HANDLE);
    EXPECT_EQ(ACECloseArchive(handle), 0);
    EXPECT_EQ(ACEReadHeader(handle, &header), ACE_ERR_HANDLE);
    EXPECT_EQ(ACECloseArchive(handle), ACE_ERR_HANDLE);
}

} // namespace
} // namespace brisko::test
