#include "batch/PathHelpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/TempDir.h"

namespace brisko::batch {
namespace {

constexpr PathStyle W = PathStyle::Windows;
constexpr PathStyle P = PathStyle::Posix;

struct SplitCase {
    PathStyle style;
    const char* path;
    const char* folder;
    const char* name;
};

TEST(PathHelpers, FolderOfAndFileNameOf) {
    const SplitCase cases[] = {
        {W, R"(C:\In\a.zip)", R"(C:\In\)", "a.zip"},
        {W, "a.zip", "", "a.zip"},
        {W, R"(C:\In\)", R"(C:\In\)", ""},
        {W, "dir/a.zip", "", "dir/a.zip"}, // "/" is no separator in Windows style
        {P, "/in/a.zip", "/in/", "a.zip"},
        {P, "a.zip", "", "a.zip"},
        {P, "/in/", "/in/", ""},
        {P, "/", "/", ""},
        {P, R"(in\a.zip)", "", R"(in\a.zip)"}, // a backslash is part of a Linux name
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FolderOf(c.path, c.style), c.folder) << c.path;
        EXPECT_EQ(FileNameOf(c.path, c.style), c.name) << c.path;
    }
}

TEST(PathHelpers, LastFolderName) {
    const struct {
        PathStyle style;
        const char* folder;
        const char* name;
    } cases[] = {
        {W, R"(C:\In\Sub\)", "Sub"},
        {W, R"(C:\In\)", "In"},
        {W, R"(C:\)", "C:"},
        {W, R"(Sub\)", "Sub"},
        {W, R"(\)", ""},
        {P, "/home/u/dl/", "dl"},
        {P, "/", ""},
        {P, "dl/", "dl"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LastFolderName(c.folder, c.style), c.name) << c.folder;
    }
    EXPECT_EQ(LastFolderName("", W), std::nullopt);
    EXPECT_EQ(LastFolderName("", P), std::nullopt);
}

TEST(PathHelpers, StripExtension) {
    EXPECT_EQ(StripExtension(R"(C:\In\m.part1.rar)"), R"(C:\In\m.part1)");
    EXPECT_EQ(StripExtension(*StripExtension(R"(C:\In\m.part1.rar)")), R"(C:\In\m)");
    EXPECT_EQ(StripExtension("/in.d/archive"), "/in"); // the last dot of the whole text
    EXPECT_EQ(StripExtension(".zip"), "");
    EXPECT_EQ(StripExtension("/in/noext"), std::nullopt);
}

TEST(PathHelpers, FolderChainSteps) {
    const struct {
        PathStyle style;
        const char* folder;
        const char* normalised;
        std::vector<std::string> steps;
    } cases[] = {
        {W, R"(C:\A\B\C)", R"(C:\A\B\C\)", {R"(C:\A)", R"(C:\A\B)", R"(C:\A\B\C)"}},
        {W, R"(C:\A\)", R"(C:\A\)", {R"(C:\A)"}},
        {W,
         R"(\\server\share\dir)",
         R"(\\server\share\dir\)",
         {R"(\\server)", R"(\\server\share)", R"(\\server\share\dir)"}},
        // Shorter than a drive prefix: the search starts over from the beginning.
        {W, R"(C:\)", R"(C:\)", {"C:"}},
        {W, "", R"(\)", {}},
        {P, "/a/b/c", "/a/b/c/", {"/a", "/a/b", "/a/b/c"}},
        {P, "/", "/", {}},
        {P, "", "/", {}},
        {P, "rel/x/", "rel/x/", {"rel", "rel/x"}},
    };
    for (const auto& c : cases) {
        std::string folder = c.folder;
        EXPECT_EQ(FolderChain(folder, c.style), c.steps) << c.folder;
        EXPECT_EQ(folder, c.normalised);
    }
}

TEST(PathHelpers, MakeFolderChainCreatesEveryMissingLevel) {
    test::TempDir dir;
    std::string folder = dir / "A/B/C";
    MakeFolderChain(folder);
    EXPECT_EQ(folder, dir / "A/B/C/");
    struct stat st {};
    ASSERT_EQ(stat((dir / "A/B/C").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    // Existing levels are left alone; a level blocked by a file does not stop the attempt.
    test::WriteFile(dir / "A/file", "x");
    std::string blocked = dir / "A/file/D";
    MakeFolderChain(blocked);
    EXPECT_EQ(test::ReadFile(dir / "A/file"), "x");
    EXPECT_FALSE(test::Exists(dir / "A/file/D"));
}

TEST(PathHelpers, IndexInList) {
    const std::vector<std::string> list{"a", "b", "a"};
    EXPECT_EQ(IndexInList(list, "a"), 3);
    EXPECT_EQ(IndexInList(list, "b"), 2);
    EXPECT_EQ(IndexInList(list, "A"), 0);
    EXPECT_EQ(IndexInList(list, "a "), 0);
    EXPECT_EQ(IndexInList({}, "a"), 0);
}

} // namespace
} // namespace brisko::batch
