// The writer every engine shares (enginelibs/common), on its own. Faults these catch:
// - an entry name or link target that leads out of the destination accepted (.., absolute, drive, UNC,
//   NUL, too long, a winding link), or a harmless one refused or normalised wrongly
// - set-id bits kept, the umask ignored, the owner left without read and write; a device taken for a file
// - a file, folder or link made through a link on the way (planted, or one the writer made), or a file
//   written through a link at its name
// - a type conflict failing more than its entry, or a folder replaced by a file
// - a protected file (an archive of the run) replaced by a file, a link or a spooled file, also when it
//   appears in a folder the writer made itself
// - a file written on another thread (spooled) placed otherwise than one written on the writer's thread:
//   outcome, data, mode, time; its descriptor left open; a copy to another mount below failing
// - an unfinished or abandoned file leaving anything or harming the old one (unnamed, named and spooled)
// - the free-space reserve not kept by a file announced too large, by one that grows, or by a spooled
//   one on another thread; a stopped file's space not given back
// - temporaries of dead runs kept, or a live run's swept
// - folders kept open without bound
// - folders given their mode and time before their content is written, or folders that were there
//   before changed
#include <algorithm>
#include <dirent.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "common/Destination.h"
#include "common/FileModes.h"
#include "common/RunGuard.h"
#include "common/SafePath.h"
#include "enginelibs/ZipFixtures.h"
#include "support/TempDir.h"

namespace brisko::enginelib {
namespace {

using Names = std::vector<std::string>;
constexpr auto kBoth = Separators::SlashAndBackslash;
constexpr auto kSlash = Separators::Slash;
constexpr time_t kTime = 1500000000;

SafePath safe(const std::string& name) {
    SafePath path;
    EXPECT_EQ(sanitiseEntryName(name, kBoth, path), NameVerdict::Safe) << name;
    return path;
}

TEST(SafePath, NamesAndLinkTargetsThatLeaveTheFolderAreRefusedAndTheRestNormalised) {
    const std::string longName(kMaxComponent, 'n');
    const struct {
        std::string name;
        Separators separators;
        NameVerdict verdict;
        std::string path;
    } names[] = {
        {"./a//b/./c/", kBoth, NameVerdict::Safe, "a/b/c"},
        {"a\\b\\c.txt", kBoth, NameVerdict::Safe, "a/b/c.txt"},
        {"..\\x", kSlash, NameVerdict::Safe, "..\\x"}, // an odd but harmless name on Unix
        {longName, kBoth, NameVerdict::Safe, longName},
        {"./../x", kBoth, NameVerdict::ParentFolder, ""},
        {"a/b/../../../x", kBoth, NameVerdict::ParentFolder, ""},
        {"/etc/x", kBoth, NameVerdict::Absolute, ""},
        {"\\\\host\\share\\x", kSlash, NameVerdict::Absolute, ""},
        {"\\\\?\\C:\\x", kBoth, NameVerdict::Absolute, ""},
        {"C:\\x", kSlash, NameVerdict::DrivePrefix, ""},
        {"C:../x", kBoth, NameVerdict::DrivePrefix, ""},
        {std::string("a\0b", 3), kBoth, NameVerdict::HasNul, ""},
        {longName + "n", kBoth, NameVerdict::TooLong, ""},
    };
    for (const auto& c : names) {
        SafePath path;
        EXPECT_EQ(sanitiseEntryName(c.name, c.separators, path), c.verdict) << c.name;
        EXPECT_EQ(path.text(), c.path) << c.name;
    }
    const struct {
        const char* link;
        std::string target;
        LinkVerdict verdict;
        const char* normalised;
    } links[] = {
        {"lnk", "./a//b", LinkVerdict::Safe, "a/b"},
        {"d/e/lnk", "..\\..\\x", LinkVerdict::Safe, "../../x"},
        {"lnk", "../x", LinkVerdict::Escapes, ""},
        {"d/lnk", "..\\..\\x", LinkVerdict::Escapes, ""},
        {"lnk", "/etc/passwd", LinkVerdict::Absolute, ""},
        {"lnk", "C:\\x", LinkVerdict::DrivePrefix, ""},
        {"d/lnk", "sub/..", LinkVerdict::Winding, ""},
        {"lnk", std::string("a\0b", 3), LinkVerdict::HasNul, ""},
    };
    for (const auto& c : links) {
        std::string normalised;
        EXPECT_EQ(checkLinkTarget(safe(c.link), c.target, kBoth, normalised), c.verdict)
            << c.link << " -> " << c.target;
        EXPECT_EQ(c.verdict == LinkVerdict::Safe ? normalised : "", c.normalised)
            << c.link << " -> " << c.target;
    }
}

TEST(FileModes, DropSetIdBitsApplyTheUmaskAndKeepTheOwnersRights) {
    const struct {
        mode_t archived, umask, file, folder;
    } cases[] = {
        {0644, 022, 0644, 0744}, {0777, 022, 0755, 0755},  {04755, 022, 0755, 0755},
        {07777, 0, 0777, 0777},  {0, 022, 0644, 0755},     {0444, 022, 0644, 0744},
        {0500, 077, 0700, 0700}, {0664, 0277, 0600, 0700}, {0, 0277, 0600, 0700},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fileMode(c.archived, c.umask), c.file) << std::oct << c.archived << " " << c.umask;
        EXPECT_EQ(folderMode(c.archived, c.umask), c.folder) << std::oct << c.archived << " " << c.umask;
    }
}

// Each file case is written in the three ways the engines write: unnamed until whole (O_TMPFILE), under
// a temporary name (file systems without that), and spooled on another thread then placed.
class WriterTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        m_oldUmask = umask(022);
        test::WriteFile(m_root / "outside/victim", "victim");
        mkdir(m_out.c_str(), 0755);
    }
    void TearDown() override { umask(m_oldUmask); }

    std::unique_ptr<Destination> open(const RunGuard* guard = nullptr) {
        auto destination = std::make_unique<Destination>(m_out, guard);
        if (GetParam() == "named") {
            destination->useNamedTemporaries();
        }
        return destination;
    }

    Outcome write(Destination& destination, const std::string& name, const std::string& data,
                  mode_t mode = 0644) {
        if (GetParam() != "spooled") {
            PendingFile file;
            const Outcome outcome = destination.beginFile(safe(name), mode, file);
            EXPECT_TRUE(outcome != Outcome::Done || file.write(data.data(), data.size()));
            return outcome != Outcome::Done ? outcome : file.commit({kTime, 0});
        }
        SpooledFile file;
        Outcome begun = Outcome::Failed;
        std::thread([&] {
            std::vector<char> buffer(1 << 16);
            begun = destination.beginSpooled(mode, data.size(), buffer.data(), buffer.size(), file);
            // In pieces that both fill the buffer and pass it by; sealed with another time than the
            // placing thread gives.
            for (std::size_t at = 0; begun == Outcome::Done && at < data.size(); at += 50000) {
                EXPECT_TRUE(file.write(data.data() + at, std::min<std::size_t>(50000, data.size() - at)));
            }
            EXPECT_TRUE(begun != Outcome::Done || file.seal({kTime + 99, 0}));
        }).join();
        return begun != Outcome::Done ? begun : destination.placeSpooled(safe(name), file, mode, {kTime, 0});
    }

    mode_t m_oldUmask = 0;
    test::TempDir m_root;
    const std::string m_out = m_root / "out";
};

TEST_P(WriterTest, WritesOnlyWhereItMayWholeAndNeverReplacesAProtectedFile) {
    for (const char* name : {"a", "folder/inside", "a.zip", "plain.txt"}) {
        test::WriteFile(m_out + "/" + name, name);
    }
    ASSERT_EQ(symlink((m_root / "outside").c_str(), (m_out + "/planted").c_str()), 0);
    ASSERT_EQ(symlink((m_root / "outside/victim").c_str(), (m_out + "/f").c_str()), 0);
    ASSERT_EQ(symlink("a.zip", (m_out + "/link.zip").c_str()), 0);
    // Another mount below the destination, where a spooled file cannot be given a name, only copied.
    mkdir((m_out + "/mnt").c_str(), 0755);
    const bool mounted = mount("brisko-test", (m_out + "/mnt").c_str(), "tmpfs", 0, "size=8m") == 0;
    RunGuard guard;
    const std::string big = std::string(3 << 20, 'b') + "end"; // more than the write buffer
    const int descriptors = test::CountEntries("/proc/self/fd");
    {
        const auto destination = open(&guard);
        bool created = false;
        LinkVerdict verdict;
        ASSERT_EQ(destination->makeFolder(safe("made"), 02775, {kTime, 0}, created), Outcome::Done);
        ASSERT_EQ(destination->makeLink(safe("inner"), "made", kBoth, {kTime, 0}, verdict), Outcome::Done);
        // An archive of the run moved into a folder the writer made, behind its back.
        test::WriteFile(m_out + "/made/run.zip", "made/run.zip");
        const auto idOf = [&](const std::string& name) {
            struct stat st {};
            EXPECT_EQ(lstat((m_out + "/" + name).c_str(), &st), 0);
            return BriskoFileId{st.st_dev, st.st_ino};
        };
        // Unsorted on purpose: the writer must not rely on the caller's order.
        const BriskoFileId ids[] = {idOf("link.zip"), {0, 1}, idOf("made/run.zip"), idOf("a.zip")};
        BriskoGuard caller{ids, 4, nullptr, nullptr, nullptr, nullptr};
        guard.set(&caller);
        const struct {
            std::string name;
            Outcome outcome;
            mode_t mode = 0644;
            std::string data = "new";
        } files[] = {
            {"new/deep/fresh", Outcome::Done, 0640, big},
            {"f", Outcome::Done, 04755}, // the link there replaced, not written through
            {"plain.txt", Outcome::Done},
            {"mnt/sub/copied", Outcome::Done, 0600},
            {"planted/victim", Outcome::Refused},
            {"planted/new/x", Outcome::Refused},
            {"inner/x", Outcome::Refused}, // a link the writer made is no way through either
            {"a/b", Outcome::Conflict},
            {"folder", Outcome::Failed},
            {"a.zip", Outcome::Protected},
            {"link.zip", Outcome::Protected},
            {"made/run.zip", Outcome::Protected},
        };
        for (const auto& c : files) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(write(*destination, c.name, c.data, c.mode), c.outcome);
            struct stat st {};
            if (c.outcome == Outcome::Done && lstat((m_out + "/" + c.name).c_str(), &st) == 0) {
                EXPECT_TRUE(S_ISREG(st.st_mode));
                EXPECT_EQ(st.st_mode & 07777, c.mode & 0777);
                EXPECT_EQ(st.st_mtime, kTime);
                EXPECT_EQ(test::ReadFile(m_out + "/" + c.name), c.data);
            }
        }
        // Unfinished: one replacing a file and abandoned, one new and never committed, one spooled.
        std::vector<char> buffer(1 << 16);
        PendingFile replacing, fresh;
        SpooledFile spooled;
        ASSERT_EQ(destination->beginFile(safe("a"), 0644, replacing), Outcome::Done);
        EXPECT_TRUE(replacing.write(big.data(), big.size()));
        replacing.abandon();
        ASSERT_EQ(destination->beginFile(safe("new/unfinished"), 0644, fresh), Outcome::Done);
        EXPECT_TRUE(fresh.write(big.data(), big.size()));
        ASSERT_EQ(destination->beginSpooled(0644, 0, buffer.data(), buffer.size(), spooled), Outcome::Done);
        EXPECT_TRUE(spooled.write(big.data(), big.size()));
        EXPECT_EQ(destination->makeFolder(safe("planted/dir"), 0755, {kTime, 0}, created), Outcome::Refused);
        EXPECT_EQ(destination->makeLink(safe("planted/l"), "x", kBoth, {kTime, 0}, verdict),
                  Outcome::Refused);
        EXPECT_EQ(destination->makeLink(safe("away"), "../outside", kBoth, {kTime, 0}, verdict),
                  Outcome::Refused);
        EXPECT_EQ(destination->makeFolder(safe("a/b"), 0755, {kTime, 0}, created), Outcome::Conflict);
        EXPECT_EQ(destination->makeFolder(safe("a"), 0755, {kTime, 0}, created), Outcome::Conflict);
        EXPECT_EQ(destination->makeLink(safe("folder"), "a", kBoth, {kTime, 0}, verdict), Outcome::Conflict);
        EXPECT_EQ(destination->makeLink(safe("a.zip"), "a", kBoth, {kTime, 0}, verdict), Outcome::Protected);
        // Folders get their mode and time at the end, and only those the writer made.
        EXPECT_EQ(destination->makeFolder(safe("folder"), 0700, {kTime, 0}, created), Outcome::Done);
        EXPECT_FALSE(created);
        destination->finish();
    }
    const auto nodes = test::Snapshot(m_out);
    EXPECT_EQ(nodes.at("made").mode, 0755u);
    EXPECT_EQ(nodes.at("made").mtime, kTime);
    EXPECT_EQ(nodes.at("folder").mode, 0755u);
    EXPECT_NE(nodes.at("folder").mtime, kTime);
    const Names inMount = test::ListTree(m_out + "/mnt");
    if (mounted) {
        umount2((m_out + "/mnt").c_str(), MNT_DETACH);
    }
    std::filesystem::remove_all(m_out + "/mnt");
    EXPECT_EQ(test::CountEntries("/proc/self/fd"), descriptors)
        << "every file and folder closed, placed or not";
    EXPECT_EQ(inMount, (Names{"sub", "sub/copied"}));
    EXPECT_EQ(test::ListTree(m_root / "outside"), Names{"victim"});
    EXPECT_EQ(test::ReadFile(m_root / "outside/victim"), "victim");
    for (const char* name : {"a", "folder/inside", "a.zip", "made/run.zip"}) {
        EXPECT_EQ(test::ReadFile(m_out + "/" + name), name);
    }
    EXPECT_EQ(test::ListTree(m_out),
              (Names{"a", "a.zip", "f", "folder", "folder/inside", "inner", "link.zip", "made",
                     "made/run.zip", "new", "new/deep", "new/deep/fresh", "plain.txt", "planted"}));
}

// The writer makes a folder it just found missing without looking again; whatever another process put
// there meanwhile is still met as if it had been there all along.
TEST_P(WriterTest, AFolderThatAppearsAfterTheLookUpIsMetAsFound) {
    const struct {
        const char* name;
        std::function<void(const std::string&)> plant;
        Outcome outcome;
    } cases[] = {
        {"folder", [](const std::string& at) { mkdir(at.c_str(), 0755); }, Outcome::Done},
        {"link",
         [&](const std::string& at) { ASSERT_EQ(symlink((m_root / "outside").c_str(), at.c_str()), 0); },
         Outcome::Refused},
        {"file", [](const std::string& at) { test::WriteFile(at, "file"); }, Outcome::Conflict},
    };
    const auto destination = open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = std::string(c.name) + "/x";
        ExistingTarget existing;
        ASSERT_EQ(destination->lookup(safe(path), existing), Outcome::Done);
        EXPECT_EQ(existing.kind, ExistingTarget::Kind::None);
        c.plant(m_out + "/" + c.name);
        EXPECT_EQ(write(*destination, path, "new"), c.outcome);
    }
    EXPECT_EQ(test::ReadFile(m_out + "/folder/x"), "new");
    EXPECT_EQ(test::ListTree(m_root / "outside"), Names{"victim"});
    EXPECT_EQ(test::ReadFile(m_out + "/file"), "file");
}

INSTANTIATE_TEST_SUITE_P(Styles, WriterTest, ::testing::Values("unnamed", "named", "spooled"));

TEST(DestinationRoom, NoFileEatsIntoTheReserveOnAnyThread) {
    test::SmallFileSystem disk(32); // a reserve of 5%: 1.6 MiB
    if (!disk.mounted()) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    }
    const unsigned long long before = disk.used();
    Destination destination(disk.path());
    PendingFile here;
    SpooledFile there;
    std::vector<char> buffer(1 << 16);
    EXPECT_EQ(destination.beginFile(safe("announced"), 0644, here, 40u << 20), Outcome::NoRoom);
    EXPECT_EQ(destination.beginSpooled(0644, 40u << 20, buffer.data(), buffer.size(), there),
              Outcome::NoRoom);
    EXPECT_EQ(there.error(), ENOSPC);

    // A file growing on another thread, then one on this thread, is stopped before the disk is full.
    const std::string mebibyte(1u << 20, 'x');
    const auto grow = [&](auto& file) {
        int written = 0;
        for (; written < 64 && file.write(mebibyte.data(), mebibyte.size()); ++written) {
        }
        return written;
    };
    int written = 0;
    ASSERT_EQ(destination.beginSpooled(0644, 0, buffer.data(), buffer.size(), there), Outcome::Done);
    std::thread([&] { written = grow(there); }).join();
    EXPECT_LT(written, 31) << "stopped before the disk was full";
    EXPECT_EQ(there.error(), ENOSPC);
    ASSERT_EQ(destination.beginFile(safe("here"), 0644, here), Outcome::Done);
    EXPECT_LT(grow(here), 31) << "stopped before the disk was full";
    EXPECT_EQ(here.error(), ENOSPC);
    EXPECT_EQ(test::ListTree(disk.path()), Names{});
    EXPECT_LT(disk.used(), before + (1u << 20)) << "the stopped files' data is given back";
}

// Housekeeping: a dead run's temporaries go when a named one is made beside them, a live run's stay;
// however deep and wide the tree, only a few folders are kept open.
TEST_P(WriterTest, SweepsTemporariesOfDeadRunsAndKeepsOnlyAFewFoldersOpen) {
    const pid_t dead = fork();
    if (dead == 0) {
        _exit(0);
    }
    ASSERT_GT(dead, 0);
    waitpid(dead, nullptr, 0);
    Names left{".brisko-" + std::to_string(getpid()) + "-900.part", ".brisko-x-1.part", "mine.part", "x"};
    if (GetParam() != "named") {
        left.push_back(".brisko-" + std::to_string(dead) + "-3.part");
    }
    for (const std::string& name :
         {".brisko-" + std::to_string(dead) + "-3.part", left[0], left[1], left[2]}) {
        test::WriteFile(m_out + "/sub/" + name, "left over");
    }
    const int before = test::CountEntries("/proc/self/fd");
    {
        const auto destination = open();
        ASSERT_EQ(write(*destination, "sub/x", "x"), Outcome::Done);
        std::string deep = "d";
        for (int level = 0; level < 300; ++level) {
            deep += "/d";
        }
        ASSERT_EQ(write(*destination, deep + "/x", "deep"), Outcome::Done);
        for (int i = 0; i < 200; ++i) {
            ASSERT_EQ(write(*destination, "w" + std::to_string(i) + "/x", "wide"), Outcome::Done);
        }
        EXPECT_LE(test::CountEntries("/proc/self/fd") - before, 256) << "of the 500 folders walked";
    }
    EXPECT_EQ(test::CountEntries("/proc/self/fd"), before);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(test::ListTree(m_out + "/sub"), left);
}

} // namespace
} // namespace brisko::enginelib
