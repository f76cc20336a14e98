// Moving a file to the trash, on a fresh home and on a second mount.
// Faults this group exists to catch:
// - the info file not written, written after the move, not private, or with a wrong Path= (not
//   absolute in the home trash, not relative to the mount elsewhere, not percent-encoded byte by byte)
//   or a DeletionDate that is not local time;
// - the trash folders not created private, or files/ and info/ put into the working folder;
// - a name already in the trash (with or without its info file) overwritten instead of a new name;
// - a link's target trashed instead of the link;
// - a folder, special file or missing file "trashed", or a trash created for nothing;
// - a trash that is a link, not the user's, or not sticky used anyway; a file moved from another
//   file system into the home trash; the file deleted when no trash takes it;
// - an info file left behind when the move itself fails;
// - the home trash not found from XDG_DATA_HOME, HOME or the user database.
#include "platform/Trash.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <regex>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/TempDir.h"

namespace brisko::platform {
namespace {

namespace fs = std::filesystem;
const std::string kUid = std::to_string(getuid());

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode;
}

// A folder that is missing counts as empty.
bool IsEmptyFolder(const std::string& folder) {
    std::error_code missing;
    return fs::is_empty(folder, missing) || missing;
}

// The Path= value of a well-formed info file (its DeletionDate checked to be local time, give or take a
// minute); nullopt when the file is not one.
std::optional<std::string> InfoPath(const std::string& infoFile) {
    static const std::regex kInfo(
        "\\[Trash Info\\]\nPath=([^\n]*)\nDeletionDate=(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d)\n");
    std::smatch match;
    const std::string text = test::ReadFile(infoFile);
    std::tm when{};
    if (!std::regex_match(text, match, kInfo) ||
        !strptime(match[2].str().c_str(), "%Y-%m-%dT%H:%M:%S", &when)) {
        return std::nullopt;
    }
    when.tm_isdst = -1;
    EXPECT_LT(std::abs(std::difftime(std::mktime(&when), std::time(nullptr))), 120.0) << "not local time";
    return match[1].str();
}

// Each test runs in a process of its own, so what it sets stays with it.
void SetEnv(const char* name, const char* value) {
    value ? setenv(name, value, 1) : unsetenv(name);
    tzset(); // TZ is only read again on request
}

class HomeTrash : public ::testing::Test {
protected:
    test::TempDir m_home, m_work;
    std::string m_trash = m_home / ".local/share/Trash";
    TrashPlaces m_places{m_trash};
};

TEST_F(HomeTrash, FreshHomeGetsAPrivateTrashAndAnInfoFileWithTheEncodedPath) {
    test::TempDir cwd;
    fs::current_path(cwd.path());
    SetEnv("TZ", "UTC-05"); // five hours ahead of UTC, so a UTC date would show
    const std::pair<const char*, const char*> cases[] = {
        {"my archive caf\xC3\xA9.zip", "my%20archive%20caf%C3%A9.zip"},
        {"keep-Name_1!~*'().zip", "keep-Name_1!~*'().zip"},
        {"pct%#?;&=+$,[]@:.zip", "pct%25%23%3F%3B%26%3D%2B%24%2C%5B%5D%40%3A.zip"},
        {"tab\tand\xFF.zip", "tab%09and%FF.zip"},
    };
    for (const auto& [name, encoded] : cases) {
        test::WriteFile(m_work / name, name);
        ASSERT_EQ(MoveToTrash(m_work / name, m_places), TrashOutcome::Trashed) << name;
        EXPECT_FALSE(test::Exists(m_work / name));
        EXPECT_EQ(test::ReadFile(m_trash + "/files/" + name), name);
        EXPECT_EQ(ModeOf(m_trash + "/info/" + name + ".trashinfo") & 07777, 0600u);
        EXPECT_EQ(InfoPath(m_trash + "/info/" + name + ".trashinfo"), m_work / encoded);
    }
    EXPECT_TRUE(IsEmptyFolder(cwd.path()));
    for (const char* folder :
         {"/.local", "/.local/share", "/.local/share/Trash", "/.local/share/Trash/info"}) {
        EXPECT_EQ(ModeOf(m_home.path() + folder) & 07777, 0700u) << folder;
    }
}

TEST_F(HomeTrash, SameNamesGetDistinctReadableNamesAndLinksGoThemselves) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"a.zip", {"a.zip", "a.2.zip", "a.3.zip"}},
        {"m.part1.rar", {"m.part1.rar", "m.part1.2.rar"}},
        {"README", {"README", "README.2"}},
        {".hidden", {".hidden", ".hidden.2"}},
    };
    for (const auto& [name, trashNames] : cases) {
        for (std::size_t i = 0; i < trashNames.size(); ++i) {
            const std::string original = m_work / (std::to_string(i) + "/" + name);
            test::WriteFile(original, original);
            ASSERT_EQ(MoveToTrash(original, m_places), TrashOutcome::Trashed) << original;
            EXPECT_EQ(test::ReadFile(m_trash + "/files/" + trashNames[i]), original);
            EXPECT_EQ(InfoPath(m_trash + "/info/" + trashNames[i] + ".trashinfo"), original);
        }
    }
    // A file left in files/ without an info file is not overwritten either.
    test::WriteFile(m_trash + "/files/b.zip", "leftover");
    test::WriteFile(m_work / "b.zip", "new");
    ASSERT_EQ(MoveToTrash(m_work / "b.zip", m_places), TrashOutcome::Trashed);
    EXPECT_EQ(test::ReadFile(m_trash + "/files/b.zip"), "leftover");
    EXPECT_EQ(test::ReadFile(m_trash + "/files/b.2.zip"), "new");

    test::WriteFile(m_work / "target.zip", "target");
    ASSERT_EQ(symlink("target.zip", (m_work / "link.zip").c_str()), 0);
    ASSERT_EQ(symlink("nowhere.zip", (m_work / "dangling.zip").c_str()), 0);
    for (const char* name : {"link.zip", "dangling.zip"}) {
        ASSERT_EQ(MoveToTrash(m_work / name, m_places), TrashOutcome::Trashed) << name;
        EXPECT_TRUE(S_ISLNK(ModeOf(m_trash + "/files/" + name))) << name;
        EXPECT_EQ(InfoPath(m_trash + "/info/" + name + ".trashinfo"), m_work / name);
    }
    EXPECT_EQ(test::ReadFile(m_work / "target.zip"), "target");
}

TEST_F(HomeTrash, WhatCannotBeTrashedIsLeftWhereItIs) {
    ASSERT_EQ(mkdir((m_work / "folder").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((m_work / "fifo").c_str(), 0600), 0);
    test::WriteFile(m_work / "a.zip");
    EXPECT_EQ(MoveToTrash(m_work / "folder", m_places), TrashOutcome::NotAFile);
    EXPECT_EQ(MoveToTrash(m_work / "fifo", m_places), TrashOutcome::NotAFile);
    EXPECT_EQ(MoveToTrash(m_work / "missing.zip", m_places), TrashOutcome::NotFound);
    EXPECT_FALSE(test::Exists(m_home / ".local")) << "no trash made for nothing";
    EXPECT_EQ(MoveToTrash(m_work / "a.zip", TrashPlaces{"relative/Trash"}), TrashOutcome::NoTrash);
    ASSERT_EQ(mkdir((m_home / "Trash").c_str(), 0700), 0);
    ASSERT_EQ(symlink(m_work.path().c_str(), (m_home / "Trash/files").c_str()), 0);
    EXPECT_EQ(MoveToTrash(m_work / "a.zip", TrashPlaces{m_home / "Trash"}), TrashOutcome::NoTrash);
    EXPECT_TRUE(test::Exists(m_work / "folder") && test::Exists(m_work / "fifo") &&
                test::Exists(m_work / "a.zip"));
    EXPECT_FALSE(test::Exists("relative"));

    // A rename that fails takes its info file back. Root may rename anything, so as an ordinary account.
    ASSERT_EQ(chmod(m_home.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(m_work.path().c_str(), 0755), 0);
    test::WriteFile(m_work / "ro/a.zip");
    ASSERT_EQ(chown((m_work / "ro/a.zip").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod((m_work / "ro").c_str(), 0555), 0);
    ASSERT_EQ(chown(m_home.path().c_str(), 65534, 65534), 0);
    EXPECT_EQ(test::RunAsNobody([&] {
                  const TrashOutcome outcome =
                      MoveToTrash(m_work / "ro/a.zip", TrashPlaces{m_home / "Nobody"});
                  return outcome == TrashOutcome::MoveFailed && IsEmptyFolder(m_home / "Nobody/info") ? 0 : 1;
              }),
              0);
    EXPECT_TRUE(test::Exists(m_work / "ro/a.zip"));
}

TEST(TrashPlaces, HomeTrashFromTheEnvironment) {
    SetEnv("HOME", nullptr);
    SetEnv("XDG_DATA_HOME", nullptr);
    const std::string fromUserDatabase = TrashPlacesFromEnvironment().homeTrash;
    EXPECT_TRUE(fromUserDatabase.starts_with("/") && fromUserDatabase.ends_with("/.local/share/Trash"));
    // XDG_DATA_HOME, HOME, and the home trash they give: relative ones are not used.
    const std::tuple<const char*, const char*, std::string> cases[] = {
        {"/data/", "/h", "/data/Trash"},
        {"", "/h", "/h/.local/share/Trash"},
        {"data", "/h", "/h/.local/share/Trash"},
        {nullptr, "h", fromUserDatabase}};
    for (const auto& [dataHome, home, expected] : cases) {
        SetEnv("XDG_DATA_HOME", dataHome);
        SetEnv("HOME", home);
        EXPECT_EQ(TrashPlacesFromEnvironment().homeTrash, expected) << (dataHome ? dataHome : "unset");
    }
}

// Files on a second file system, here a tmpfs mounted for the test.
TEST(OtherMount, TheMountsOwnTrashIfItCanBeTrustedElseTheFileStays) {
    test::TempDir root;
    const std::string top = root / "mnt", shared = top + "/.Trash", own = top + "/.Trash-" + kUid;
    const std::string decoy = top + "/decoy"; // a sticky folder a link may point to
    ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
    if (mount("brisko-test", top.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno)
                     << "); the per-mount trash needs root and a second file system";
    }
    const std::unique_ptr<const char, void (*)(const char*)> unmount(
        top.c_str(), [](const char* path) { umount2(path, MNT_DETACH); });
    const auto stickyShared = [&] { return mkdir(shared.c_str(), 0777) + chmod(shared.c_str(), 01777); };
    const auto notMine = [](const std::string& folder) {
        return mkdir(folder.c_str(), 0700) + chown(folder.c_str(), 65534, 65534);
    };
    const struct {
        const char* what;
        std::function<int()> make;
        std::string trash; // where the file goes, relative to the mount; "" when it stays
    } cases[] = {
        {"nothing there yet", [] { return 0; }, ".Trash-" + kUid},
        {"a sticky shared trash", stickyShared, ".Trash/" + kUid},
        {"shared, not sticky", [&] { return mkdir(shared.c_str(), 0777); }, ".Trash-" + kUid},
        {"shared, a link to a sticky folder", [&] { return symlink(decoy.c_str(), shared.c_str()); },
         ".Trash-" + kUid},
        {"shared, a file", [&] { return (test::WriteFile(shared), 0); }, ".Trash-" + kUid},
        {"someone else's folder in the shared one",
         [&] { return stickyShared() + notMine(shared + "/" + kUid); }, ".Trash-" + kUid},
        {"a link as folder in the shared one",
         [&] { return stickyShared() + symlink(decoy.c_str(), (shared + "/" + kUid).c_str()); },
         ".Trash-" + kUid},
        {"own trash a link", [&] { return symlink(decoy.c_str(), own.c_str()); }, ""},
        {"own trash someone else's", [&] { return notMine(own); }, ""},
        {"own trash a file", [&] { return (test::WriteFile(own), 0); }, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(shared);
        fs::remove_all(own);
        fs::remove_all(decoy);
        ASSERT_EQ(mkdir(decoy.c_str(), 0777) + chmod(decoy.c_str(), 01777) + c.make(), 0);
        test::WriteFile(top + "/sub/a b.zip", "x");
        EXPECT_EQ(MoveToTrash(top + "/sub/a b.zip", TrashPlaces{root / "home/Trash"}),
                  c.trash.empty() ? TrashOutcome::NoTrash : TrashOutcome::Trashed);
        EXPECT_FALSE(test::Exists(root / "home")) << "the home trash is for its own file system only";
        EXPECT_TRUE(IsEmptyFolder(decoy));
        if (c.trash.empty()) {
            EXPECT_EQ(test::ReadFile(top + "/sub/a b.zip"), "x");
            continue;
        }
        EXPECT_EQ(test::ReadFile(top + "/" + c.trash + "/files/a b.zip"), "x");
        EXPECT_EQ(InfoPath(top + "/" + c.trash + "/info/a b.zip.trashinfo"), "sub/a%20b.zip");
        EXPECT_EQ(ModeOf(top + "/" + c.trash), S_IFDIR | 0700);
    }
}

} // namespace
} // namespace brisko::platform
