#include "platform/FileSystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/TempDir.h"

namespace brisko::platform {
namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

TEST(FileSystem, OrdinaryFilesAndFolders) {
    test::TempDir dir;
    test::WriteFile(dir / "f", "x");
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
    ASSERT_EQ(symlink("f", (dir / "lf").c_str()), 0);
    ASSERT_EQ(symlink("d", (dir / "ld").c_str()), 0);
    ASSERT_EQ(symlink("none", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);

    const struct {
        const char* name;
        bool file, folder;
        EntryType type;
    } cases[] = {
        {"f", true, false, EntryType::File},          {"lf", true, false, EntryType::File},
        {"d", false, true, EntryType::Folder},        {"ld", false, true, EntryType::Folder},
        {"dangling", false, false, EntryType::Other}, {"fifo", false, false, EntryType::Other},
    };
    std::vector<FolderEntry> entries;
    ASSERT_TRUE(ReadFolder(dir.path(), entries));
    EXPECT_EQ(entries.size(), std::size(cases));
    for (const auto& c : cases) {
        EXPECT_EQ(OrdinaryFileExists(dir / c.name), c.file) << c.name;
        EXPECT_EQ(FolderExists(dir / c.name), c.folder) << c.name;
        const auto it =
            std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.name == c.name; });
        ASSERT_NE(it, entries.end()) << c.name;
        EXPECT_EQ(it->type, c.type) << c.name;
    }
    EXPECT_FALSE(ReadFolder(dir / "missing", entries));
    EXPECT_TRUE(entries.empty());
}

TEST(FileSystem, MakeOwnerReadWrite) {
    test::TempDir dir;
    test::WriteFile(dir / "ro", "x");
    test::WriteFile(dir / "target", "x");
    ASSERT_EQ(chmod((dir / "ro").c_str(), 0444), 0);
    ASSERT_EQ(chmod((dir / "target").c_str(), 0400), 0);
    ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0500), 0);

    EXPECT_TRUE(MakeOwnerReadWrite(dir / "ro"));
    EXPECT_EQ(modeOf(dir / "ro"), 0644u);
    EXPECT_TRUE(MakeOwnerReadWrite(dir / "link"));
    EXPECT_EQ(modeOf(dir / "target"), 0400u) << "a link's target is not touched";
    EXPECT_FALSE(MakeOwnerReadWrite(dir / "d"));
    EXPECT_EQ(modeOf(dir / "d"), 0500u);
    EXPECT_FALSE(MakeOwnerReadWrite(dir / "missing"));
}

} // namespace
} // namespace brisko::platform
