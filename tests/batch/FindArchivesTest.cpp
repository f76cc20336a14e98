#include "batch/FindArchives.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/TempDir.h"

namespace brisko::batch {
namespace {

// The archive paths relative to `root` (which has no trailing separator).
std::vector<std::string> relative(const ArchiveList& list, const std::string& root) {
    std::vector<std::string> out;
    for (const auto& path : list) {
        out.push_back(path.rfind(root + "/", 0) == 0 ? path.substr(root.size() + 1) : "OUTSIDE:" + path);
    }
    return out;
}

TEST(FindArchives, PatternMatch) {
    const struct {
        const char* name;
        bool match;
    } cases[] = {
        {"a.zip", true},     {"ARCHIVE.ZIP", true}, {"Archive.Rar", true}, {"x.ace", true},
        {".zip", true},      {"a.zip.bak", false},  {"a.zipx", false},     {"a_zip", false},
        {"azip", false},     {"a.rar.part", false}, {"a.r00", false},      {"a.c00", false},
        {"a.tar.gz", false}, {"a.zip.zip", true},   {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchesPatterns(c.name), c.match) << c.name;
    }
    EXPECT_TRUE(MatchesPatterns("ab", "a?"));
    EXPECT_FALSE(MatchesPatterns("abc", "a?"));
}

TEST(FindArchives, NormaliseFolder) {
    const struct {
        PathStyle style;
        const char* in;
        const char* out;
    } cases[] = {
        {PathStyle::Posix, "/in", "/in/"},
        {PathStyle::Posix, "/in/", "/in/"},
        {PathStyle::Posix, "\"/in\"", "/in/"},
        {PathStyle::Posix, "\"/in/\"", "/in/"},
        {PathStyle::Posix, "\"/in", "/in/"},
        {PathStyle::Posix, "/in\"", "/in/"},
        {PathStyle::Posix, "", "/"},
        {PathStyle::Posix, "\"\"", "/"},
        {PathStyle::Windows, R"(C:\In)", R"(C:\In\)"},
        {PathStyle::Windows, R"("C:\In\")", R"(C:\In\)"},
        {PathStyle::Windows, "", R"(\)"},
    };
    for (const auto& c : cases) {
        std::string folder = c.in;
        EXPECT_EQ(NormaliseFolder(folder, c.style), c.out) << c.in;
        EXPECT_EQ(folder, c.out) << "rewritten in place: " << c.in;
    }
}

TEST(FindArchives, NaturalOrder) {
    std::vector<std::string> names{"a10.zip", "a2.zip", "B.zip", "a1.zip",
                                   "a02.zip", "b.zip",  "a.zip", "A.zip"};
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return NaturalLess(a, b); });
    EXPECT_EQ(names, (std::vector<std::string>{"A.zip", "a.zip", "a1.zip", "a02.zip", "a2.zip", "a10.zip",
                                               "B.zip", "b.zip"}));
    EXPECT_FALSE(NaturalLess("x", "x"));
    EXPECT_TRUE(NaturalLess("m.part9.rar", "m.part10.rar"));
    EXPECT_TRUE(NaturalLess("x99999999999999999999", "x100000000000000000000")); // no overflow
}

class FindArchivesTree : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* file :
             {"b.rar", "a10.zip", "a2.ZIP", "sub/inner.ace", "sub/deeper/d.zip", "z.Ace", ".hidden.zip",
              ".dot/x.zip", "folder.zip/in.rar", "notes.txt", "a.zipx", "a.zip.bak", "m.r00"}) {
            test::WriteFile(m_dir / file, "data");
        }
    }
    test::TempDir m_dir;
};

TEST_F(FindArchivesTree, ListsArchivesInNaturalOrderDepthFirst) {
    std::string folder = m_dir.path();
    EXPECT_EQ(relative(FindArchives(folder, true), m_dir.path()),
              (std::vector<std::string>{".hidden.zip", "a2.ZIP", "a10.zip", "b.rar", "folder.zip/in.rar",
                                        "sub/deeper/d.zip", "sub/inner.ace", "z.Ace"}));
    EXPECT_EQ(folder, m_dir.path() + "/");

    folder = m_dir.path();
    EXPECT_EQ(relative(FindArchives(folder, false), m_dir.path()),
              (std::vector<std::string>{".hidden.zip", "a2.ZIP", "a10.zip", "b.rar", "z.Ace"}));
}

TEST_F(FindArchivesTree, EveryFormOfTheFolderGivesTheSameList) {
    std::string plain = m_dir.path();
    const ArchiveList expected = FindArchives(plain, true);
    for (const std::string& form :
         {m_dir.path() + "/", "\"" + m_dir.path() + "\"", "\"" + m_dir.path() + "/\""}) {
        std::string folder = form;
        EXPECT_EQ(FindArchives(folder, true), expected) << form;
    }
    for (const auto& path : expected) {
        EXPECT_EQ(path.find("//"), std::string::npos) << path;
    }
}

TEST_F(FindArchivesTree, MissingOrNonFolderGivesNothing) {
    for (const std::string& form : {m_dir / "missing", m_dir / "b.rar", m_dir / "missing/deeper"}) {
        std::string folder = form;
        EXPECT_TRUE(FindArchives(folder, true).empty()) << form;
    }
}

TEST_F(FindArchivesTree, SkipsSpecialFilesAndDanglingLinks) {
    ASSERT_EQ(mkfifo((m_dir / "pipe.zip").c_str(), 0600), 0);
    ASSERT_EQ(symlink("nowhere.zip", (m_dir / "dangling.zip").c_str()), 0);
    ASSERT_EQ(symlink("b.rar", (m_dir / "link.rar").c_str()), 0);
    std::string folder = m_dir.path();
    const auto found = relative(FindArchives(folder, false), m_dir.path());
    EXPECT_EQ(std::count(found.begin(), found.end(), "pipe.zip"), 0);
    EXPECT_EQ(std::count(found.begin(), found.end(), "dangling.zip"), 0);
    EXPECT_EQ(std::count(found.begin(), found.end(), "link.rar"), 1);
}

TEST_F(FindArchivesTree, LinksToFoldersAreNotEntered) {
    // As find without -L: a link may lead out of the chosen tree, or back into it for ever.
    test::TempDir elsewhere;
    test::WriteFile(elsewhere / "real.zip", "data");
    ASSERT_EQ(symlink(elsewhere.path().c_str(), (m_dir / "sub/shortcut").c_str()), 0);
    ASSERT_EQ(symlink("..", (m_dir / "sub/back").c_str()), 0);
    ASSERT_EQ(symlink("sub/deeper", (m_dir / "zlink").c_str()), 0);
    std::string folder = m_dir.path();
    std::vector<std::string> unreadable;
    const auto found = relative(FindArchives(folder, true, &unreadable), m_dir.path());
    EXPECT_EQ(found, (std::vector<std::string>{".hidden.zip", "a2.ZIP", "a10.zip", "b.rar", "folder.zip/in.rar",
                                               "sub/deeper/d.zip", "sub/inner.ace", "z.Ace"}));
    EXPECT_TRUE(unreadable.empty());
}

TEST_F(FindArchivesTree, AFolderThatCannotBeReadIsReported) {
    ASSERT_EQ(chmod(m_dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod((m_dir / "sub").c_str(), 0), 0);
    // Run as an ordinary account: root reads every folder regardless of its permissions.
    const int status = test::RunAsNobody([&] {
        std::string folder = m_dir.path();
        std::vector<std::string> unreadable;
        const auto found = relative(FindArchives(folder, true, &unreadable), m_dir.path());
        const bool subSkipped =
            std::none_of(found.begin(), found.end(), [](const auto& p) { return p.rfind("sub/", 0) == 0; });
        return subSkipped && found.size() == 6 && unreadable == std::vector<std::string>{m_dir / "sub/"} ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

} // namespace
} // namespace brisko::batch
