#include <algorithm>
#include <dirent.h>
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

constexpr auto kBoth = Separators::SlashAndBackslash;
constexpr auto kSlash = Separators::Slash;

SafePath safe(const std::string& name) {
    SafePath path;
    EXPECT_EQ(sanitiseEntryName(name, kBoth, path), NameVerdict::Safe) << name;
    return path;
}

TEST(SanitiseEntryName, RefusesEveryFormThatLeavesTheFolderAndNormalisesTheRest) {
    const std::string longName(kMaxComponent, 'n');
    std::string longPath;
    for (int i = 0; i < 17; ++i) {
        longPath += longName + "/";
    }
    const struct {
        std::string name;
        Separators separators;
        NameVerdict verdict;
        std::string path;
    } cases[] = {
        {"a/b.txt", kBoth, NameVerdict::Safe, "a/b.txt"},
        {"./a//b/./c/", kBoth, NameVerdict::Safe, "a/b/c"},
        {"a\\b\\c.txt", kBoth, NameVerdict::Safe, "a/b/c.txt"},
        {"a\\b", kSlash, NameVerdict::Safe, "a\\b"},
        {"..\\x", kSlash, NameVerdict::Safe, "..\\x"}, // one odd but harmless name on Unix
        {"a/C:x", kBoth, NameVerdict::Safe, "a/C:x"},
        {longName, kBoth, NameVerdict::Safe, longName},
        {"", kBoth, NameVerdict::Empty, ""},
        {".", kBoth, NameVerdict::Empty, ""},
        {".//./", kBoth, NameVerdict::Empty, ""},
        {"../x", kBoth, NameVerdict::ParentFolder, ""},
        {"./../x", kBoth, NameVerdict::ParentFolder, ""},
        {"a/../../x", kBoth, NameVerdict::ParentFolder, ""},
        {"a/b/../../../x", kBoth, NameVerdict::ParentFolder, ""},
        {"a/..", kBoth, NameVerdict::ParentFolder, ""},
        {"..\\x", kBoth, NameVerdict::ParentFolder, ""},
        {"a\\..\\..\\x", kBoth, NameVerdict::ParentFolder, ""},
        {"/", kBoth, NameVerdict::Absolute, ""},
        {"/etc/x", kBoth, NameVerdict::Absolute, ""},
        {"//x", kBoth, NameVerdict::Absolute, ""},
        {"\\x", kSlash, NameVerdict::Absolute, ""},
        {"\\\\host\\share\\x", kBoth, NameVerdict::Absolute, ""},
        {"\\\\host\\share\\x", kSlash, NameVerdict::Absolute, ""},
        {"\\\\?\\C:\\x", kBoth, NameVerdict::Absolute, ""},
        {"\\\\.\\device", kBoth, NameVerdict::Absolute, ""},
        {"C:\\x", kBoth, NameVerdict::DrivePrefix, ""},
        {"C:\\x", kSlash, NameVerdict::DrivePrefix, ""},
        {"c:x", kBoth, NameVerdict::DrivePrefix, ""},
        {"C:../x", kBoth, NameVerdict::DrivePrefix, ""},
        {"C:\\C:C:../AppData\\x.exe", kBoth, NameVerdict::DrivePrefix, ""},
        {std::string("a\0b", 3), kBoth, NameVerdict::HasNul, ""},
        {longName + "n", kBoth, NameVerdict::TooLong, ""},
        {longPath, kBoth, NameVerdict::TooLong, ""},
    };
    for (const auto& c : cases) {
        SafePath path;
        EXPECT_EQ(sanitiseEntryName(c.name, c.separators, path), c.verdict) << c.name;
        EXPECT_EQ(path.text(), c.path) << c.name;
    }
    const SafePath nested = safe("a/b/c.txt");
    EXPECT_EQ(nested.folder(), "a/b");
    EXPECT_EQ(nested.leaf(), "c.txt");
    EXPECT_EQ(nested.folderDepth(), 2);
}

TEST(CheckLinkTarget, AcceptsOnlyTargetsThatStayInsideWhateverTheLinksOnTheWay) {
    const struct {
        const char* link;
        std::string target;
        LinkVerdict verdict;
        const char* normalised;
    } cases[] = {
        {"lnk", "sub/file", LinkVerdict::Safe, "sub/file"},
        {"lnk", "./a//b", LinkVerdict::Safe, "a/b"},
        {"lnk", ".", LinkVerdict::Safe, "."},
        {"d/lnk", "../x", LinkVerdict::Safe, "../x"},
        {"d/l1", "..", LinkVerdict::Safe, ".."},
        {"d/e/lnk", "..\\..\\x", LinkVerdict::Safe, "../../x"},
        {"lnk", "", LinkVerdict::Empty, ""},
        {"lnk", "../x", LinkVerdict::Escapes, ""},
        {"d/lnk", "../../x", LinkVerdict::Escapes, ""},
        {"d/lnk", "..\\..\\x", LinkVerdict::Escapes, ""},
        {"lnk", "/etc/passwd", LinkVerdict::Absolute, ""},
        {"lnk", "\\\\host\\share", LinkVerdict::Absolute, ""},
        {"lnk", "C:\\x", LinkVerdict::DrivePrefix, ""},
        {"lnk", "sub/../../x", LinkVerdict::Winding, ""},
        {"d/lnk", "sub/..", LinkVerdict::Winding, ""},
        {"lnk", std::string("a\0b", 3), LinkVerdict::HasNul, ""},
    };
    for (const auto& c : cases) {
        std::string normalised;
        EXPECT_EQ(checkLinkTarget(safe(c.link), c.target, kBoth, normalised), c.verdict)
            << c.link << " -> " << c.target;
        if (c.verdict == LinkVerdict::Safe) {
            EXPECT_EQ(normalised, c.normalised) << c.link << " -> " << c.target;
        }
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
    for (mode_t type : {S_IFIFO, S_IFCHR, S_IFBLK, S_IFSOCK}) {
        EXPECT_EQ(kindOfMode(type | 0644), EntryKind::Special) << std::oct << type;
    }
    EXPECT_EQ(kindOfMode(0644), EntryKind::File);
}

int openDescriptors() {
    int count = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr) {
            ++count;
        }
        closedir(fds);
    }
    return count;
}

class DestinationTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_oldUmask = umask(022);
        test::WriteFile(m_root / "outside/victim", "victim");
        mkdir((m_root / "out").c_str(), 0755);
    }
    void TearDown() override { umask(m_oldUmask); }

    Outcome writeFile(Destination& destination, const std::string& name, const std::string& data,
                      mode_t mode = 0644) {
        PendingFile file;
        const Outcome outcome = destination.beginFile(safe(name), mode, file);
        if (outcome == Outcome::Done) {
            EXPECT_TRUE(file.write(data.data(), data.size()));
            return file.commit({kTime, 0});
        }
        return outcome;
    }

    static constexpr time_t kTime = 1500000000;
    mode_t m_oldUmask = 0;
    test::TempDir m_root;
    const std::string m_out = m_root / "out";
};

TEST_F(DestinationTest, NeverPassesThroughALinkOnTheWay) {
    ASSERT_EQ(symlink((m_root / "outside").c_str(), (m_root / "out/planted").c_str()), 0);
    Destination destination(m_out);
    ASSERT_TRUE(destination.isOpen());
    ExistingTarget existing;
    bool created = false;
    LinkVerdict verdict;
    EXPECT_EQ(destination.lookup(safe("planted/victim"), existing), Outcome::Refused);
    EXPECT_EQ(writeFile(destination, "planted/victim", "evil"), Outcome::Refused);
    EXPECT_EQ(writeFile(destination, "planted/new/x", "evil"), Outcome::Refused);
    EXPECT_EQ(destination.makeFolder(safe("planted/dir"), 0755, {kTime, 0}, created), Outcome::Refused);
    EXPECT_EQ(destination.makeLink(safe("planted/l"), "x", kBoth, {kTime, 0}, verdict), Outcome::Refused);
    EXPECT_EQ(test::ListTree(m_root / "outside"), std::vector<std::string>{"victim"});
    EXPECT_EQ(test::ReadFile(m_root / "outside/victim"), "victim");

    // A link the destination made itself is no way through either.
    ASSERT_EQ(destination.makeFolder(safe("sub"), 0755, {kTime, 0}, created), Outcome::Done);
    ASSERT_EQ(destination.makeLink(safe("inner"), "sub", kBoth, {kTime, 0}, verdict), Outcome::Done);
    EXPECT_EQ(writeFile(destination, "inner/x", "data"), Outcome::Refused);
    EXPECT_FALSE(test::Exists(m_out + "/sub/x"));
    EXPECT_EQ(destination.makeLink(safe("away"), "../outside", kBoth, {kTime, 0}, verdict), Outcome::Refused);
    EXPECT_EQ(verdict, LinkVerdict::Escapes);
    EXPECT_FALSE(test::Exists(m_out + "/away"));
}

TEST_F(DestinationTest, ReplacesALinkAtTheTargetInsteadOfWritingThroughIt) {
    ASSERT_EQ(symlink((m_root / "outside/victim").c_str(), (m_out + "/f").c_str()), 0);
    Destination destination(m_out);
    EXPECT_EQ(writeFile(destination, "f", "new", 04755), Outcome::Done);
    EXPECT_EQ(test::ReadFile(m_root / "outside/victim"), "victim");
    struct stat st {};
    ASSERT_EQ(lstat((m_out + "/f").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_mtime, kTime);
    EXPECT_EQ(test::ReadFile(m_out + "/f"), "new");
}

TEST_F(DestinationTest, TypeConflictsFailOnlyTheirEntry) {
    Destination destination(m_out);
    bool created = false;
    LinkVerdict verdict;
    ASSERT_EQ(writeFile(destination, "a", "file a"), Outcome::Done);
    ASSERT_EQ(destination.makeFolder(safe("d"), 0755, {kTime, 0}, created), Outcome::Done);
    EXPECT_EQ(destination.makeFolder(safe("a/b"), 0755, {kTime, 0}, created), Outcome::Conflict);
    EXPECT_EQ(writeFile(destination, "a/b", "x"), Outcome::Conflict);
    EXPECT_EQ(destination.makeFolder(safe("a"), 0755, {kTime, 0}, created), Outcome::Conflict);
    EXPECT_EQ(writeFile(destination, "d", "x"), Outcome::Failed); // the rename over a folder fails
    EXPECT_EQ(destination.makeLink(safe("d"), "a", kBoth, {kTime, 0}, verdict), Outcome::Conflict);
    EXPECT_EQ(test::ReadFile(m_out + "/a"), "file a");
    EXPECT_EQ(test::ListTree(m_out), (std::vector<std::string>{"a", "d"}));
}

// Whether files are kept unnamed until whole (O_TMPFILE) or, as on file systems without that,
// written under a temporary name: both must leave the same tree.
class TemporaryStyleTest : public DestinationTest, public ::testing::WithParamInterface<bool> {
protected:
    void style(Destination& destination) {
        if (GetParam()) {
            destination.useNamedTemporaries();
        }
    }
};

TEST_P(TemporaryStyleTest, AnUnfinishedFileLeavesNothingAndKeepsTheOldOne) {
    test::WriteFile(m_out + "/keep", "old");
    {
        Destination destination(m_out);
        style(destination);
        PendingFile fresh, replacing;
        ASSERT_EQ(destination.beginFile(safe("new/fresh"), 0644, fresh), Outcome::Done);
        ASSERT_EQ(destination.beginFile(safe("keep"), 0644, replacing), Outcome::Done);
        const std::string big(3 << 20, 'x'); // more than the write buffer
        EXPECT_TRUE(fresh.write(big.data(), big.size()));
        EXPECT_TRUE(replacing.write("partial", 7));
        replacing.abandon();
    }
    EXPECT_EQ(test::ListTree(m_out), (std::vector<std::string>{"keep", "new"}));
    EXPECT_EQ(test::ReadFile(m_out + "/keep"), "old");
}

TEST_P(TemporaryStyleTest, AProtectedFileIsNeverReplacedAndAnOrdinaryOneIs) {
    test::WriteFile(m_out + "/a.zip", "the archive");
    test::WriteFile(m_out + "/plain.txt", "old");
    ASSERT_EQ(symlink("a.zip", (m_out + "/link.zip").c_str()), 0);
    struct stat archive {}, link{};
    ASSERT_EQ(lstat((m_out + "/a.zip").c_str(), &archive), 0);
    ASSERT_EQ(lstat((m_out + "/link.zip").c_str(), &link), 0);
    // Unsorted on purpose: the engine must not rely on the caller's order.
    const BriskoFileId ids[] = {{static_cast<unsigned long long>(link.st_dev), static_cast<unsigned long long>(link.st_ino)},
                                {0, 1},
                                {static_cast<unsigned long long>(archive.st_dev), static_cast<unsigned long long>(archive.st_ino)}};
    BriskoGuard caller{};
    caller.Protected = ids;
    caller.ProtectedCount = 3;
    RunGuard guard;
    guard.set(&caller);
    Destination destination(m_out, &guard);
    style(destination);
    LinkVerdict verdict;
    EXPECT_EQ(writeFile(destination, "a.zip", "an entry"), Outcome::Protected);
    EXPECT_EQ(writeFile(destination, "link.zip", "an entry"), Outcome::Protected);
    EXPECT_EQ(destination.makeLink(safe("a.zip"), "plain.txt", kBoth, {kTime, 0}, verdict), Outcome::Protected);
    EXPECT_EQ(writeFile(destination, "plain.txt", "new"), Outcome::Done);
    EXPECT_EQ(writeFile(destination, "fresh.txt", "fresh"), Outcome::Done);
    EXPECT_EQ(test::ReadFile(m_out + "/a.zip"), "the archive");
    EXPECT_EQ(test::ReadFile(m_out + "/plain.txt"), "new");
    struct stat after {};
    ASSERT_EQ(lstat((m_out + "/a.zip").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, archive.st_ino);
    EXPECT_EQ(test::ListTree(m_out), (std::vector<std::string>{"a.zip", "fresh.txt", "link.zip", "plain.txt"}));
}

INSTANTIATE_TEST_SUITE_P(Unnamed, TemporaryStyleTest, ::testing::Values(false));
INSTANTIATE_TEST_SUITE_P(Named, TemporaryStyleTest, ::testing::Values(true));

TEST(DestinationRoom, AFileThatWouldEatIntoTheReserveIsStoppedAndLeavesNothing) {
    test::SmallFileSystem disk(32); // a reserve of 5%: 1.6 MiB
    if (!disk.mounted()) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    }
    const unsigned long long before = disk.used();
    Destination destination(disk.path());
    PendingFile file;
    EXPECT_EQ(destination.beginFile(safe("announced"), 0644, file, 40u << 20), Outcome::NoRoom);
    EXPECT_EQ(destination.beginFile(safe("fits"), 0644, file, 1u << 20), Outcome::Done);
    const std::string mebibyte(1u << 20, 'x');
    EXPECT_TRUE(file.write(mebibyte.data(), mebibyte.size()));
    EXPECT_EQ(file.commit({0, UTIME_NOW}), Outcome::Done);

    ASSERT_EQ(destination.beginFile(safe("grows"), 0644, file), Outcome::Done);
    int written = 0;
    while (written < 64 && file.write(mebibyte.data(), mebibyte.size())) {
        ++written;
    }
    EXPECT_LT(written, 31) << "stopped before the disk was full";
    EXPECT_EQ(file.error(), ENOSPC);
    EXPECT_EQ(test::ListTree(disk.path()), std::vector<std::string>{"fits"});
    EXPECT_LT(disk.used(), before + (2u << 20)) << "the stopped file's data is given back";
}

// Another thread writes the file, this one places it: as if it had been written with beginFile.
class SpooledFileTest : public DestinationTest {
protected:
    Outcome spoolAndPlace(Destination& destination, const std::string& name, const std::string& data,
                          mode_t mode = 0644, time_t sealedTime = kTime) {
        SpooledFile file;
        Outcome begun = Outcome::Failed;
        std::thread writer([&] {
            std::vector<char> buffer(1 << 16);
            begun = destination.beginSpooled(mode, data.size(), buffer.data(), buffer.size(), file);
            // Written in pieces that both fill the buffer and pass it by.
            for (std::size_t at = 0; begun == Outcome::Done && at < data.size(); at += 50000) {
                EXPECT_TRUE(file.write(data.data() + at, std::min<std::size_t>(50000, data.size() - at)));
            }
            EXPECT_TRUE(begun != Outcome::Done || file.seal({sealedTime, 0}));
        });
        writer.join();
        return begun != Outcome::Done ? begun : destination.placeSpooled(safe(name), file, mode, {kTime, 0});
    }
};

TEST_F(SpooledFileTest, IsPlacedAsAFileWrittenOnTheSameThreadWouldBe) {
    const std::string big = std::string(300000, 'b') + "end";
    test::WriteFile(m_out + "/old.txt", "old");
    test::WriteFile(m_out + "/folder/inside", "inside");
    test::WriteFile(m_out + "/a.zip", "the archive");
    ASSERT_EQ(symlink((m_root / "outside/victim").c_str(), (m_out + "/link").c_str()), 0);
    ASSERT_EQ(symlink((m_root / "outside").c_str(), (m_out + "/planted").c_str()), 0);
    struct stat archive {};
    ASSERT_EQ(lstat((m_out + "/a.zip").c_str(), &archive), 0);
    const BriskoFileId ids[] = {{archive.st_dev, archive.st_ino}};
    BriskoGuard caller{};
    caller.Protected = ids;
    caller.ProtectedCount = 1;
    RunGuard guard;
    guard.set(&caller);
    const struct {
        std::string name;
        std::string data;
        mode_t mode;
        time_t sealedTime;
        Outcome outcome;
    } cases[] = {
        {"new/deep/fresh.txt", "fresh", 0640, kTime, Outcome::Done},
        {"big.bin", big, 0755, kTime, Outcome::Done},
        {"old.txt", "replaced", 0644, kTime, Outcome::Done},
        {"link", "not through the link", 0644, kTime, Outcome::Done},
        {"sealed-otherwise.txt", "the placing thread's time counts", 0644, kTime + 99, Outcome::Done},
        {"folder", "a folder is never replaced", 0644, kTime, Outcome::Failed},
        {"planted/victim", "evil", 0644, kTime, Outcome::Refused},
        {"old.txt/below", "a file where a folder is needed", 0644, kTime, Outcome::Conflict},
        {"a.zip", "an entry", 0644, kTime, Outcome::Protected},
    };
    const int before = openDescriptors();
    {
        Destination destination(m_out, &guard);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(spoolAndPlace(destination, c.name, c.data, c.mode, c.sealedTime), c.outcome);
            struct stat st {};
            if (c.outcome != Outcome::Done) {
                continue;
            }
            ASSERT_EQ(lstat((m_out + "/" + c.name).c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_mode & 07777, c.mode);
            EXPECT_EQ(st.st_mtime, kTime);
            EXPECT_EQ(test::ReadFile(m_out + "/" + c.name), c.data);
        }
        EXPECT_EQ(destination.error(), EISDIR); // of the last Failed: the folder in the way
    }
    EXPECT_EQ(openDescriptors(), before) << "every spooled file is closed, placed or not";
    EXPECT_EQ(test::ReadFile(m_root / "outside/victim"), "victim");
    EXPECT_EQ(test::ListTree(m_root / "outside"), std::vector<std::string>{"victim"});
    EXPECT_EQ(test::ReadFile(m_out + "/a.zip"), "the archive");
    EXPECT_EQ(test::ReadFile(m_out + "/folder/inside"), "inside");
    EXPECT_EQ(test::ListTree(m_out),
              (std::vector<std::string>{"a.zip", "big.bin", "folder", "folder/inside", "link", "new", "new/deep",
                                        "new/deep/fresh.txt", "old.txt", "planted", "sealed-otherwise.txt"}));
}

// A mount below the destination: an unnamed file made in the destination folder cannot be given a
// name there, so it is copied.
TEST_F(SpooledFileTest, GoesToAnotherMountBelowTheDestinationAsACopy) {
    const std::string mountPoint = m_out + "/mnt";
    mkdir(mountPoint.c_str(), 0755);
    if (mount("brisko-test", mountPoint.c_str(), "tmpfs", 0, "size=8m") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    }
    Outcome outcome;
    {
        Destination destination(m_out);
        outcome = spoolAndPlace(destination, "mnt/sub/copied.txt", "copied across", 0600);
        EXPECT_EQ(destination.error(), 0) << strerror(destination.error());
    }
    const std::string copied = test::ReadFile(mountPoint + "/sub/copied.txt");
    struct stat st {};
    lstat((mountPoint + "/sub/copied.txt").c_str(), &st);
    const auto inMount = test::ListTree(mountPoint);
    umount2(mountPoint.c_str(), MNT_DETACH);
    EXPECT_EQ(outcome, Outcome::Done);
    EXPECT_EQ(copied, "copied across");
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_mtime, kTime);
    EXPECT_EQ(inMount, (std::vector<std::string>{"sub", "sub/copied.txt"}));
    EXPECT_EQ(test::ListTree(m_out), std::vector<std::string>{"mnt"});
}

TEST(DestinationRoom, SpooledFilesCountAgainstTheSameReserve) {
    test::SmallFileSystem disk(32); // a reserve of 5%: 1.6 MiB
    if (!disk.mounted()) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    }
    const unsigned long long before = disk.used();
    Destination destination(disk.path());
    std::vector<char> buffer(1 << 16);
    SpooledFile announced;
    EXPECT_EQ(destination.beginSpooled(0644, 40u << 20, buffer.data(), buffer.size(), announced), Outcome::NoRoom);
    EXPECT_EQ(announced.error(), ENOSPC);

    // What a spooled file written on another thread holds leaves that much less for a file written
    // here, and the other way round.
    const std::string mebibyte(1u << 20, 'x');
    SpooledFile there;
    ASSERT_EQ(destination.beginSpooled(0644, 0, buffer.data(), buffer.size(), there), Outcome::Done);
    int writtenThere = 0;
    std::thread([&] {
        while (writtenThere < 20 && there.write(mebibyte.data(), mebibyte.size())) {
            ++writtenThere;
        }
    }).join();
    EXPECT_EQ(writtenThere, 20);
    PendingFile here;
    ASSERT_EQ(destination.beginFile(safe("here"), 0644, here), Outcome::Done);
    int writtenHere = 0;
    while (writtenHere < 64 && here.write(mebibyte.data(), mebibyte.size())) {
        ++writtenHere;
    }
    EXPECT_LT(writtenHere, 11) << "stopped before the disk was full";
    EXPECT_EQ(here.error(), ENOSPC);
    there.drop();
    EXPECT_EQ(test::ListTree(disk.path()), std::vector<std::string>{});
    EXPECT_LT(disk.used(), before + (1u << 20)) << "the stopped files' data is given back";
}

// In a folder it made, the object knows what is there without asking the file system; what appears
// there behind its back it cannot know, but a protected file is still never replaced.
TEST_F(DestinationTest, KnowsWhatIsInTheFoldersItMadeAndStillNeverReplacesAProtectedFile) {
    RunGuard guard;
    Destination destination(m_out, &guard);
    bool created = false;
    LinkVerdict verdict;
    ASSERT_EQ(destination.makeFolder(safe("made"), 0755, {kTime, 0}, created), Outcome::Done);
    ASSERT_EQ(writeFile(destination, "made/file", "f"), Outcome::Done);
    ASSERT_EQ(writeFile(destination, "p/q/r", "r"), Outcome::Done); // p and p/q made on the way
    ASSERT_EQ(destination.makeLink(safe("made/link"), "file", kBoth, {kTime, 0}, verdict), Outcome::Done);
    ASSERT_EQ(destination.makeFolder(safe("made/sub"), 0755, {kTime, 0}, created), Outcome::Done);
    const struct {
        std::string name;
        ExistingTarget::Kind kind;
    } cases[] = {
        {"made", ExistingTarget::Kind::Folder},     {"made/file", ExistingTarget::Kind::File},
        {"made/link", ExistingTarget::Kind::Link},  {"made/sub", ExistingTarget::Kind::Folder},
        {"made/other", ExistingTarget::Kind::None}, {"p", ExistingTarget::Kind::Folder},
        {"p/q", ExistingTarget::Kind::Folder},      {"p/q/r", ExistingTarget::Kind::File},
        {"p/q/s", ExistingTarget::Kind::None},      {"made/sub/x", ExistingTarget::Kind::None},
    };
    for (const auto& c : cases) {
        ExistingTarget existing;
        EXPECT_EQ(destination.lookup(safe(c.name), existing), Outcome::Done) << c.name;
        EXPECT_EQ(existing.kind, c.kind) << c.name;
    }

    test::WriteFile(m_out + "/made/run.zip", "an archive of the run, moved here meanwhile");
    struct stat archive {};
    ASSERT_EQ(lstat((m_out + "/made/run.zip").c_str(), &archive), 0);
    const BriskoFileId ids[] = {{archive.st_dev, archive.st_ino}};
    BriskoGuard caller{};
    caller.Protected = ids;
    caller.ProtectedCount = 1;
    guard.set(&caller);
    EXPECT_EQ(writeFile(destination, "made/run.zip", "an entry"), Outcome::Protected);
    EXPECT_EQ(test::ReadFile(m_out + "/made/run.zip"), "an archive of the run, moved here meanwhile");
}

TEST_F(DestinationTest, TemporariesOfDeadRunsGoWhenAFileIsBegunBesideThem) {
    const pid_t dead = fork();
    if (dead == 0) {
        _exit(0);
    }
    ASSERT_GT(dead, 0);
    waitpid(dead, nullptr, 0);
    const std::string deadName = ".brisko-" + std::to_string(dead) + "-3.part";
    const std::string liveName = ".brisko-" + std::to_string(getpid()) + "-900.part";
    for (const std::string& name : {deadName, liveName, std::string(".brisko-x-1.part"), std::string("mine.part")}) {
        test::WriteFile(m_out + "/sub/" + name, "left over");
    }
    Destination destination(m_out);
    destination.useNamedTemporaries();
    ASSERT_EQ(writeFile(destination, "sub/x", "x"), Outcome::Done);
    std::vector<std::string> kept{".brisko-x-1.part", liveName, "mine.part", "x"};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(test::ListTree(m_out + "/sub"), kept);
}

TEST_F(DestinationTest, DeepAndWideTreesStayWithinAFewDescriptors) {
    const int before = openDescriptors();
    {
        Destination destination(m_out);
        std::string deep = "d";
        for (int level = 0; level < 300; ++level) {
            deep += "/d";
        }
        ASSERT_EQ(writeFile(destination, deep + "/x", "deep"), Outcome::Done);
        for (int i = 0; i < 200; ++i) {
            ASSERT_EQ(writeFile(destination, "w" + std::to_string(i) + "/x", "wide"), Outcome::Done);
        }
        EXPECT_EQ(test::ReadFile(m_out + "/" + deep + "/x"), "deep");
        // The folders kept open (at most 256), not one for each of the 500 walked.
        EXPECT_LE(openDescriptors() - before, 256);
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(DestinationTest, FoldersItMadeGetTheirModeAndTimeAtTheEnd) {
    mkdir((m_out + "/mine").c_str(), 0700);
    Destination destination(m_out);
    bool created = false;
    ASSERT_EQ(destination.makeFolder(safe("made"), 02775, {kTime, 0}, created), Outcome::Done);
    EXPECT_TRUE(created);
    ASSERT_EQ(destination.makeFolder(safe("mine"), 0777, {kTime, 0}, created), Outcome::Done);
    EXPECT_FALSE(created);
    ASSERT_EQ(writeFile(destination, "made/x", "x"), Outcome::Done);
    destination.finish();
    struct stat made {
    }, mine{};
    ASSERT_EQ(stat((m_out + "/made").c_str(), &made), 0);
    ASSERT_EQ(stat((m_out + "/mine").c_str(), &mine), 0);
    EXPECT_EQ(made.st_mode & 07777, 0755u);
    EXPECT_EQ(made.st_mtime, kTime);
    EXPECT_EQ(mine.st_mode & 07777, 0700u);
    EXPECT_NE(mine.st_mtime, kTime);
}

} // namespace
} // namespace brisko::enginelib
