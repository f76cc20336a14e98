#include "platform/Trash.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <regex>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/TempDir.h"

namespace brisko::platform {
namespace {

const std::string kUid = std::to_string(getuid());

mode_t modeOf(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode;
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                names.push_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The Path= value of a well-formed info file; nullopt when the file is not one.
std::optional<std::string> infoPath(const std::string& infoFile) {
    static const std::regex kInfo(
        "\\[Trash Info\\]\nPath=([^\n]*)\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n");
    std::smatch match;
    const std::string text = test::ReadFile(infoFile);
    return std::regex_match(text, match, kInfo) ? std::optional(match[1].str()) : std::nullopt;
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) {
            m_old = old;
        }
        value ? setenv(name, value, 1) : unsetenv(name);
        tzset(); // TZ is only read again on request
    }
    ~ScopedEnv() {
        m_old ? setenv(m_name, m_old->c_str(), 1) : unsetenv(m_name);
        tzset();
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& to) : m_old(getcwd(nullptr, 0)) { EXPECT_EQ(chdir(to.c_str()), 0); }
    ~ScopedCwd() {
        EXPECT_EQ(chdir(m_old), 0);
        std::free(m_old);
    }

private:
    char* m_old;
};

class HomeTrash : public ::testing::Test {
protected:
    test::TempDir m_home, m_work;
    std::string m_trash = m_home / ".local/share/Trash";
    TrashPlaces m_places{m_trash};
};

TEST_F(HomeTrash, FreshHomeGetsAPrivateTrashAndNothingLandsInTheWorkingFolder) {
    test::TempDir cwd;
    ScopedCwd inside(cwd.path());
    ScopedEnv zone("TZ", "UTC-05"); // five hours ahead of UTC, so a UTC date would show
    const std::string name = "my archive caf\xC3\xA9.zip";
    test::WriteFile(m_work / name, "data");

    ASSERT_EQ(MoveToTrash(m_work / name, m_places), TrashOutcome::Trashed);

    EXPECT_TRUE(namesIn(cwd.path()).empty());
    EXPECT_FALSE(test::Exists(m_work / name));
    EXPECT_EQ(test::ReadFile(m_trash + "/files/" + name), "data");
    for (const char* folder :
         {"/.local", "/.local/share", "/.local/share/Trash", "/.local/share/Trash/info"}) {
        EXPECT_EQ(modeOf(m_home.path() + folder) & 07777, 0700u) << folder;
    }
    const std::string info = m_trash + "/info/" + name + ".trashinfo";
    EXPECT_EQ(modeOf(info) & 07777, 0600u);
    EXPECT_EQ(infoPath(info), m_work.path() + "/my%20archive%20caf%C3%A9.zip");

    std::tm when{};
    const std::string text = test::ReadFile(info);
    ASSERT_NE(strptime(text.c_str() + text.find("DeletionDate=") + 13, "%Y-%m-%dT%H:%M:%S", &when), nullptr);
    when.tm_isdst = -1;
    EXPECT_LT(std::abs(std::difftime(std::mktime(&when), std::time(nullptr))), 120.0) << "not local time";
}

TEST_F(HomeTrash, PathIsPercentEncodedByteByByte) {
    const struct {
        const char* name;
        const char* encoded;
    } cases[] = {
        {"plain-Name_1.zip", "plain-Name_1.zip"},
        {"keep!~*'().zip", "keep!~*'().zip"},
        {"pct%#?;&=+$,[]@:.zip", "pct%25%23%3F%3B%26%3D%2B%24%2C%5B%5D%40%3A.zip"},
        {"tab\tand\xFF.zip", "tab%09and%FF.zip"},
    };
    for (const auto& c : cases) {
        test::WriteFile(m_work / c.name);
        ASSERT_EQ(MoveToTrash(m_work / c.name, m_places), TrashOutcome::Trashed) << c.name;
        EXPECT_EQ(infoPath(m_trash + "/info/" + c.name + ".trashinfo"), m_work / c.encoded);
    }
}

TEST_F(HomeTrash, SameNamesGetDistinctReadableNames) {
    const struct {
        const char* name;
        std::vector<std::string> trashNames;
    } cases[] = {
        {"a.zip", {"a.zip", "a.2.zip", "a.3.zip"}},
        {"m.part1.rar", {"m.part1.rar", "m.part1.2.rar"}},
        {"README", {"README", "README.2"}},
        {".hidden", {".hidden", ".hidden.2"}},
    };
    for (const auto& c : cases) {
        for (std::size_t i = 0; i < c.trashNames.size(); ++i) {
            const std::string original = m_work / (std::to_string(i) + "/" + c.name);
            test::WriteFile(original, original);
            ASSERT_EQ(MoveToTrash(original, m_places), TrashOutcome::Trashed) << original;
            EXPECT_EQ(test::ReadFile(m_trash + "/files/" + c.trashNames[i]), original);
            EXPECT_EQ(infoPath(m_trash + "/info/" + c.trashNames[i] + ".trashinfo"), original);
        }
    }
    // A file left in files/ without an info file is not overwritten either.
    test::WriteFile(m_trash + "/files/b.zip", "leftover");
    test::WriteFile(m_work / "b.zip", "new");
    ASSERT_EQ(MoveToTrash(m_work / "b.zip", m_places), TrashOutcome::Trashed);
    EXPECT_EQ(test::ReadFile(m_trash + "/files/b.zip"), "leftover");
    EXPECT_EQ(test::ReadFile(m_trash + "/files/b.2.zip"), "new");
    EXPECT_FALSE(test::Exists(m_trash + "/info/b.zip.trashinfo"));
}

TEST_F(HomeTrash, LinksAreTrashedThemselves) {
    test::WriteFile(m_work / "target.zip", "target");
    ASSERT_EQ(symlink("target.zip", (m_work / "link.zip").c_str()), 0);
    ASSERT_EQ(symlink("nowhere.zip", (m_work / "dangling.zip").c_str()), 0);

    for (const char* name : {"link.zip", "dangling.zip"}) {
        ASSERT_EQ(MoveToTrash(m_work / name, m_places), TrashOutcome::Trashed) << name;
        EXPECT_FALSE(test::Exists(m_work / name));
        EXPECT_TRUE(S_ISLNK(modeOf(m_trash + "/files/" + name))) << name;
        EXPECT_EQ(infoPath(m_trash + "/info/" + name + ".trashinfo"), m_work / name);
    }
    EXPECT_EQ(test::ReadFile(m_work / "target.zip"), "target");
}

TEST_F(HomeTrash, WhatCannotBeTrashedIsLeftAndNoTrashIsCreated) {
    ASSERT_EQ(mkdir((m_work / "folder").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((m_work / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(MoveToTrash(m_work / "folder", m_places), TrashOutcome::NotAFile);
    EXPECT_EQ(MoveToTrash(m_work / "fifo", m_places), TrashOutcome::NotAFile);
    EXPECT_EQ(MoveToTrash(m_work / "missing.zip", m_places), TrashOutcome::NotFound);
    EXPECT_TRUE(test::Exists(m_work / "folder"));
    EXPECT_TRUE(test::Exists(m_work / "fifo"));
    EXPECT_FALSE(test::Exists(m_home / ".local"));
}

TEST_F(HomeTrash, UnusableHomeTrashLeavesTheFile) {
    test::TempDir cwd;
    ScopedCwd inside(cwd.path());
    test::WriteFile(m_work / "a.zip");
    EXPECT_EQ(MoveToTrash(m_work / "a.zip", TrashPlaces{"relative/Trash"}), TrashOutcome::NoTrash);
    EXPECT_TRUE(namesIn(cwd.path()).empty());

    ASSERT_EQ(mkdir((m_home / "Trash").c_str(), 0700), 0);
    ASSERT_EQ(symlink(m_work.path().c_str(), (m_home / "Trash/files").c_str()), 0);
    EXPECT_EQ(MoveToTrash(m_work / "a.zip", TrashPlaces{m_home / "Trash"}), TrashOutcome::NoTrash);
    EXPECT_TRUE(test::Exists(m_work / "a.zip"));
}

TEST_F(HomeTrash, FailedRenameRemovesItsInfoFile) {
    // Root may rename anything, so the unwritable folder is tried as an ordinary account.
    ASSERT_EQ(chmod(m_home.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(m_work.path().c_str(), 0755), 0);
    test::WriteFile(m_work / "ro/a.zip");
    ASSERT_EQ(chown((m_work / "ro/a.zip").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod((m_work / "ro").c_str(), 0555), 0);
    ASSERT_EQ(chown(m_home.path().c_str(), 65534, 65534), 0);
    const int status = test::RunAsNobody([&] {
        const bool failed =
            MoveToTrash(m_work / "ro/a.zip", TrashPlaces{m_home / "Trash"}) == TrashOutcome::MoveFailed;
        return failed && namesIn(m_home / "Trash/info").empty() ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(test::Exists(m_work / "ro/a.zip"));
}

TEST(TrashPlaces, HomeTrashFromTheEnvironment) {
    const std::string fromUserDatabase = [] {
        ScopedEnv noHome("HOME", nullptr);
        ScopedEnv noData("XDG_DATA_HOME", nullptr);
        return TrashPlacesFromEnvironment().homeTrash;
    }();
    EXPECT_TRUE(fromUserDatabase.starts_with("/") && fromUserDatabase.ends_with("/.local/share/Trash"));

    const struct {
        const char* dataHome;
        const char* home;
        std::string expected;
    } cases[] = {
        {"/data/", "/h", "/data/Trash"},
        {"", "/h", "/h/.local/share/Trash"},
        {"data", "/h", "/h/.local/share/Trash"},
        {nullptr, "h", fromUserDatabase},
    };
    for (const auto& c : cases) {
        ScopedEnv data("XDG_DATA_HOME", c.dataHome);
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(TrashPlacesFromEnvironment().homeTrash, c.expected) << (c.dataHome ? c.dataHome : "unset");
    }

    test::TempDir data, work;
    ScopedEnv dataHome("XDG_DATA_HOME", data.path().c_str());
    test::WriteFile(work / "a.zip");
    EXPECT_EQ(MoveToTrash(work / "a.zip"), TrashOutcome::Trashed);
    EXPECT_TRUE(test::Exists(data / "Trash/files/a.zip"));
}

// Files on a second file system, here a tmpfs mounted for the test.
class OtherMount : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mkdir(m_top.c_str(), 0755), 0);
        if (mount("brisko-test", m_top.c_str(), "tmpfs", 0, "mode=0755") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno)
                         << "); the per-mount trash needs root and a second file system";
        }
        m_mounted = true;
    }
    void TearDown() override {
        if (m_mounted) {
            umount2(m_top.c_str(), MNT_DETACH);
        }
    }
    // Trashes top/sub/a b.zip and says where it went, relative to the mount ("" when it stayed).
    std::string trashOne(TrashOutcome expected = TrashOutcome::Trashed) {
        test::WriteFile(m_top + "/sub/a b.zip", "x");
        EXPECT_EQ(MoveToTrash(m_top + "/sub/a b.zip", m_places), expected);
        EXPECT_FALSE(test::Exists(m_root / "home")) << "the home trash is for its own file system only";
        for (const std::string& trash : {".Trash-" + kUid, ".Trash/" + kUid}) {
            if (test::Exists(m_top + "/" + trash + "/files/a b.zip")) {
                EXPECT_EQ(infoPath(m_top + "/" + trash + "/info/a b.zip.trashinfo"), "sub/a%20b.zip");
                return trash;
            }
        }
        EXPECT_TRUE(test::Exists(m_top + "/sub/a b.zip"));
        return {};
    }

    test::TempDir m_root;
    std::string m_top = m_root / "mnt";
    TrashPlaces m_places{m_root / "home/Trash"};
    bool m_mounted = false;
};

TEST_F(OtherMount, PrivateTrashAtTheTopOfTheMount) {
    EXPECT_EQ(trashOne(), ".Trash-" + kUid);
    EXPECT_EQ(modeOf(m_top + "/.Trash-" + kUid), S_IFDIR | 0700);
}

TEST_F(OtherMount, StickySharedTrashIsPreferred) {
    ASSERT_EQ(mkdir((m_top + "/.Trash").c_str(), 0777), 0);
    ASSERT_EQ(chmod((m_top + "/.Trash").c_str(), 01777), 0);
    EXPECT_EQ(trashOne(), ".Trash/" + kUid);
    EXPECT_FALSE(test::Exists(m_top + "/.Trash-" + kUid));
}

TEST_F(OtherMount, UntrustworthySharedTrashIsPassedOver) {
    const std::string shared = m_top + "/.Trash";
    const std::string sticky = m_top + "/sticky";
    const struct {
        const char* what;
        bool stickyShared; // a proper .Trash exists; the fault lies in the folder made inside it
        std::function<void()> make;
    } cases[] = {
        {"not sticky", false, [&] { mkdir(shared.c_str(), 0777); }},
        {"a link to a sticky folder", false, [&] { symlink(sticky.c_str(), shared.c_str()); }},
        {"a file", false, [&] { test::WriteFile(shared); }},
        {"someone else's user folder", true,
         [&] {
             mkdir((shared + "/" + kUid).c_str(), 0700);
             chown((shared + "/" + kUid).c_str(), 65534, 65534);
         }},
        {"a link as user folder", true, [&] { symlink(sticky.c_str(), (shared + "/" + kUid).c_str()); }},
    };
    for (const auto& c : cases) {
        mkdir(sticky.c_str(), 0777);
        chmod(sticky.c_str(), 01777);
        if (c.stickyShared) {
            mkdir(shared.c_str(), 0777);
            chmod(shared.c_str(), 01777);
        }
        c.make();
        EXPECT_EQ(trashOne(), ".Trash-" + kUid) << c.what;
        EXPECT_TRUE(namesIn(sticky).empty()) << c.what;
        std::filesystem::remove_all(m_top + "/.Trash-" + kUid);
        std::filesystem::remove_all(shared);
    }
}

TEST_F(OtherMount, WithoutAUsableTrashTheFileStays) {
    const std::string own = m_top + "/.Trash-" + kUid;
    const std::string elsewhere = m_top + "/elsewhere";
    const struct {
        const char* what;
        std::function<void()> make;
    } cases[] = {
        {"a link", [&] { symlink(elsewhere.c_str(), own.c_str()); }},
        {"someone else's",
         [&] {
             mkdir(own.c_str(), 0700);
             chown(own.c_str(), 65534, 65534);
         }},
        {"a file", [&] { test::WriteFile(own); }},
    };
    for (const auto& c : cases) {
        mkdir(elsewhere.c_str(), 0777);
        c.make();
        EXPECT_EQ(trashOne(TrashOutcome::NoTrash), "") << c.what;
        EXPECT_TRUE(namesIn(elsewhere).empty()) << c.what;
        std::filesystem::remove_all(own);
    }
}

} // namespace
} // namespace brisko::platform
