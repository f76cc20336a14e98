// The batch run's file work without the engines. Faults these catch:
// - a volume number or width read wrongly from "name.partN.rar", or a name of another form taken for one
// - the companions of a first volume counted one short or one long, or numbered from the wrong start
// - the case of the extension not carried over, ".ace" not followed by ".c00", a folder's name read as a volume
// - a folder chain missing a level or split at the wrong separator for its style (a drive root, a UNC
//   prefix, "/"), or a chain blocked by a file making anything
// - a name matched that is not a .zip/.rar/.ace (or one missed, in any case), "?" patterns wrong
// - the folder's quotes or trailing separator not normalised, so the list differs by how it was typed
// - an order other than natural (numbers by value, no overflow) and depth-first
// - pipes or dangling links listed, links to folders entered (a way out of the tree, or a loop)
// - a folder that cannot be read passed over silently instead of reported
// - a set trashed past its first missing volume, or a volume of another set (names alone) trashed with it
// - a volume header's "single archive" or "not an archive" ignored where names would group files
// - a volume the engine read trashed after it was replaced, removed or changed meanwhile
// - a read-only volume left behind or trashed read-only, a linked volume's target trashed or changed
// - a volume that cannot be trashed ending the set, so that the volumes after it stay
#include <algorithm>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "batch/DeleteArchiveSet.h"
#include "batch/FindArchives.h"
#include "batch/PathHelpers.h"
#include "batch/VolumeNames.h"
#include "support/TempDir.h"

namespace brisko::batch {
namespace {

constexpr PathStyle W = PathStyle::Windows;
constexpr PathStyle P = PathStyle::Posix;

TEST(VolumeNames, KindAndNewStyleNames) {
    for (const auto& [path, kind] : std::vector<std::pair<const char*, const char*>>{
             {"/in/a.zip", "ZIP"}, {"/in/m.Rar", "RAR"}, {"x.ace", "ACE"}, {"ab", "AB"}, {"", ""}}) {
        EXPECT_EQ(ArchiveKindOf(path), kind) << path;
    }
    const struct {
        const char* path;
        PathStyle style;
        std::optional<PartVolume> expected;
    } cases[] = {
        {"/in/m.part1.rar", P, PartVolume{"/in/m", 1, 1, ".rar"}},
        {"/in/m.part01.rar", P, PartVolume{"/in/m", 1, 2, ".rar"}},
        {"/in/m.part001.RAR", P, PartVolume{"/in/m", 1, 3, ".RAR"}},
        {"/in/a.b.part0012.Rar", P, PartVolume{"/in/a.b", 12, 4, ".Rar"}},
        {"C:\\In\\m.part2.rar", W, PartVolume{"C:\\In\\m", 2, 1, ".rar"}},
        {"/in/M.PART2.RAR", P, std::nullopt}, {"/in/m.part.rar", P, std::nullopt},
        {"/in/m.part1x.rar", P, std::nullopt}, {"/in/m.part1.zip", P, std::nullopt},
        {"/in/x.part1.rar/m.rar", P, std::nullopt}, {"C:\\x.part1.rar\\m.rar", W, std::nullopt},
    };
    for (const auto& c : cases) {
        const std::optional<PartVolume> got = ParsePartVolume(c.path, c.style);
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.path;
        if (got) {
            EXPECT_EQ(std::tie(got->base, got->number, got->width, got->rarSuffix),
                      std::tie(c.expected->base, c.expected->number, c.expected->width, c.expected->rarSuffix))
                << c.path;
        }
    }
}

TEST(VolumeNames, Companions) {
    const struct {
        const char* path;
        std::size_t count;
        std::vector<std::pair<std::size_t, std::string>> samples; // index in the list, name there
        PathStyle style = P;
    } cases[] = {
        {"/in/a.zip", 0, {}},
        {"/in/m.part1.rar", 998, {{0, "/in/m.part2.rar"}, {8, "/in/m.part10.rar"}, {997, "/in/m.part999.rar"}}},
        {"/in/m.part01.rar", 98, {{0, "/in/m.part02.rar"}, {97, "/in/m.part99.rar"}}},
        {"/in/m.part001.RaR", 998, {{0, "/in/m.part002.RaR"}, {997, "/in/m.part999.RaR"}}},
        {"/in/M.PART2.RAR", 100, {{0, "/in/M.PART2.R00"}, {99, "/in/M.PART2.R99"}}},
        {"/in/x.parts/m.rar", 100, {{0, "/in/x.parts/m.r00"}, {10, "/in/x.parts/m.r10"}, {99, "/in/x.parts/m.r99"}}},
        {"/in/x.part1.rar/m.Rar", 100, {{0, "/in/x.part1.rar/m.r00"}}},
        {"/in/M.ACE", 100, {{0, "/in/M.C00"}, {99, "/in/M.C99"}}},
        {"/in/m.xrar", 0, {}},
        {"C:\\In\\m.part1.rar", 998, {{0, "C:\\In\\m.part2.rar"}}, W},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> names = CompanionVolumes(c.path, c.style);
        ASSERT_EQ(names.size(), c.count) << c.path;
        for (const auto& [index, name] : c.samples) {
            EXPECT_EQ(names[index], name) << c.path;
        }
    }
}

TEST(PathHelpers, FolderChain) {
    const struct {
        PathStyle style;
        const char *folder, *normalised;
        std::vector<std::string> steps;
    } cases[] = {
        {W, R"(C:\A\B\C)", R"(C:\A\B\C\)", {R"(C:\A)", R"(C:\A\B)", R"(C:\A\B\C)"}},
        {W, R"(\\server\share\dir)", R"(\\server\share\dir\)", {R"(\\server)", R"(\\server\share)", R"(\\server\share\dir)"}},
        {W, R"(C:\)", R"(C:\)", {"C:"}}, // shorter than a drive prefix: the search starts over
        {W, "", R"(\)", {}},
        {P, "/a/b/c", "/a/b/c/", {"/a", "/a/b", "/a/b/c"}}, {P, "/", "/", {}}, {P, "", "/", {}},
        {P, "rel/x/", "rel/x/", {"rel", "rel/x"}},
    };
    for (const auto& c : cases) {
        std::string folder = c.folder;
        EXPECT_EQ(FolderChain(folder, c.style), c.steps) << c.folder;
        EXPECT_EQ(folder, c.normalised);
    }
    test::TempDir dir;
    std::string folder = dir / "A/B/C";
    MakeFolderChain(folder);
    EXPECT_EQ(folder, dir / "A/B/C/");
    struct stat st {};
    ASSERT_EQ(stat((dir / "A/B/C").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    // A level blocked by a file is left alone.
    test::WriteFile(dir / "A/file", "x");
    std::string blocked = dir / "A/file/D";
    MakeFolderChain(blocked);
    EXPECT_EQ(test::ReadFile(dir / "A/file"), "x");
}


TEST(FindArchives, PatternsAndOrder) {
    for (const char* name : {"a.zip", "ARCHIVE.ZIP", "Archive.Rar", "x.ace", ".zip", "a.zip.zip"}) {
        EXPECT_TRUE(MatchesPatterns(name)) << name;
    }
    for (const char* name : {"a.zip.bak", "a.zipx", "a_zip", "azip", "a.rar.part", "a.r00", "a.c00", ""}) {
        EXPECT_FALSE(MatchesPatterns(name)) << name;
    }
    EXPECT_TRUE(MatchesPatterns("ab", "a?"));
    EXPECT_FALSE(MatchesPatterns("abc", "a?"));
    std::vector<std::string> names{"a10.zip", "a2.zip", "B.zip", "a1.zip", "a02.zip", "b.zip", "a.zip", "A.zip"};
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return NaturalLess(a, b); });
    EXPECT_EQ(names, (std::vector<std::string>{"A.zip", "a.zip", "a1.zip", "a02.zip", "a2.zip", "a10.zip", "B.zip", "b.zip"}));
    EXPECT_FALSE(NaturalLess("x", "x"));
    EXPECT_TRUE(NaturalLess("x99999999999999999999", "x100000000000000000000")); // no overflow
}

class FindArchivesTree : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* file : {"b.rar", "a10.zip", "a2.ZIP", "sub/inner.ace", "sub/deeper/d.zip", "z.Ace", ".hidden.zip",
                                 ".dot/x.zip", "folder.zip/in.rar", "notes.txt", "a.zipx", "m.r00"}) {
            test::WriteFile(m_dir / file, "data");
        }
    }
    std::vector<std::string> find(std::string folder, bool recurse, std::vector<std::string>* unreadable = nullptr) {
        std::vector<std::string> out;
        for (const auto& path : FindArchives(folder, recurse, unreadable)) {
            out.push_back(path.rfind(m_dir.path() + "/", 0) == 0 ? path.substr(m_dir.path().size() + 1) : "OUTSIDE:" + path);
        }
        return out;
    }
    test::TempDir m_dir;
    const std::vector<std::string> m_all{".hidden.zip",       "a2.ZIP",           "a10.zip",       "b.rar",
                                         "folder.zip/in.rar", "sub/deeper/d.zip", "sub/inner.ace", "z.Ace"};
};

TEST_F(FindArchivesTree, ListsArchivesDepthFirstWhateverFormTheFolderIsGivenIn) {
    for (const std::string& form : {m_dir.path(), m_dir / "", "\"" + m_dir.path() + "\"", "\"" + m_dir.path() + "/\""}) {
        EXPECT_EQ(find(form, true), m_all) << form;
    }
    EXPECT_EQ(find(m_dir.path(), false), (std::vector<std::string>{".hidden.zip", "a2.ZIP", "a10.zip", "b.rar", "z.Ace"}));
    for (const std::string& form : {m_dir / "missing", m_dir / "b.rar"}) {
        EXPECT_TRUE(find(form, true).empty()) << form;
    }
}

TEST_F(FindArchivesTree, SkipsSpecialFilesDanglingLinksAndLinksToFolders) {
    ASSERT_EQ(mkfifo((m_dir / "pipe.zip").c_str(), 0600), 0);
    ASSERT_EQ(symlink("nowhere.zip", (m_dir / "dangling.zip").c_str()), 0);
    ASSERT_EQ(symlink("b.rar", (m_dir / "link.rar").c_str()), 0);
    test::TempDir elsewhere;
    test::WriteFile(elsewhere / "real.zip", "data");
    ASSERT_EQ(symlink(elsewhere.path().c_str(), (m_dir / "sub/shortcut").c_str()), 0);
    ASSERT_EQ(symlink("..", (m_dir / "sub/back").c_str()), 0);
    ASSERT_EQ(symlink("sub/deeper", (m_dir / "zlink").c_str()), 0);
    std::vector<std::string> unreadable;
    std::vector<std::string> expected = m_all;
    expected.insert(expected.begin() + 5, "link.rar");
    EXPECT_EQ(find(m_dir.path(), true, &unreadable), expected);
    EXPECT_TRUE(unreadable.empty());
}

TEST_F(FindArchivesTree, AFolderThatCannotBeReadIsReported) {
    ASSERT_EQ(chmod(m_dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod((m_dir / "sub").c_str(), 0), 0);
    // Run as an ordinary account: root reads every folder regardless of its permissions.
    const int status = test::RunAsNobody([&] {
        std::vector<std::string> unreadable;
        const auto found = find(m_dir.path(), true, &unreadable);
        return found.size() == 6 && unreadable == std::vector<std::string>{m_dir / "sub/"} ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}


mode_t modeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// What a file of the tests holds: its own name behind the main header its kind has. "name" is a
// volume of a set, "name:single" an archive of its own, "name:plain" no archive at all.
std::string Content(const std::string& name, const std::string& how) {
    const std::string ext = name.substr(name.rfind('.') + 1);
    const bool single = how == "single";
    if (how == "plain" || ext == "zip" || ext[0] == 'z') {
        return name;
    }
    if (ext == "ace" || ext[0] == 'c' || ext[0] == 'C' || ext == "ACE") {
        // CRC, size, type 0, flags (0x0800: one volume of a set), the signature.
        return std::string("\0\0\x1b\0\0", 5) + (single ? std::string("\0\x80", 2) : std::string("\0\x88", 2)) +
               "**ACE**" + name;
    }
    if (name.find(".rar5") != std::string::npos) {
        // RAR 5: signature, CRC-32, header size, type 1, no header flags, archive flags.
        return std::string("Rar!\x1a\x07\x01\0\0\0\0\0\x03\x01\x00", 15) + (single ? '\0' : '\x01') + name;
    }
    // RAR 4: signature, CRC, type 0x73, flags (0x0001: a volume), size 13.
    return std::string("Rar!\x1a\x07\0\0\0\x73", 10) + (single ? std::string("\0\0", 2) : std::string("\x01\0", 2)) +
           std::string("\x0d\0", 2) + name;
}

// "name[:single|:plain]" is a file (see Content), "name -> target" a symbolic link.
void make(const test::TempDir& folder, const std::string& entry) {
    const auto arrow = entry.find(" -> ");
    if (arrow != std::string::npos) {
        ASSERT_EQ(symlink(entry.substr(arrow + 4).c_str(), (folder / entry.substr(0, arrow)).c_str()), 0);
        return;
    }
    const auto colon = entry.find(':');
    const std::string name = entry.substr(0, colon);
    test::WriteFile(folder / name, Content(name, colon == std::string::npos ? "" : entry.substr(colon + 1)));
}

class DeleteArchiveSetTest : public ::testing::Test {
protected:
    bool inTrash(const std::string& name) const { return test::Exists(m_home / ("Trash/files/" + name)); }

    test::TempDir m_in, m_home;
    platform::TrashPlaces m_places{m_home / "Trash"};
};

TEST(DeleteArchiveSet, TrashesTheSetUpToTheFirstMissingVolume) {
    const struct {
        std::vector<std::string> files;
        const char* archive;
        std::vector<std::string> trashed, kept;
    } cases[] = {
        {{"a.zip", "a.z01", "b.zip"}, "a.zip", {"a.zip"}, {"a.z01", "b.zip"}},
        {{"m.rar", "m.r00", "m.r01", "m.r03", "n.rar"}, "m.rar", {"m.rar", "m.r00", "m.r01"}, {"m.r03", "n.rar"}},
        {{"M.RAR", "M.R00", "M.r01"}, "M.RAR", {"M.RAR", "M.R00"}, {"M.r01"}},
        {{"m.part1.rar", "m.part2.rar", "m.part3.rar", "m.part5.rar"}, "m.part1.rar",
         {"m.part1.rar", "m.part2.rar", "m.part3.rar"}, {"m.part5.rar"}},
        {{"m.part01.rar", "m.part02.rar", "m.part2.rar"}, "m.part01.rar", {"m.part01.rar", "m.part02.rar"}, {"m.part2.rar"}},
        {{"m.ace", "m.c00", "m.r00"}, "m.ace", {"m.ace", "m.c00"}, {"m.r00"}},
        {{"m.r00", "m.r01"}, "m.rar", {}, {"m.r00", "m.r01"}},
        {{"m.rar", "m.r00 -> nowhere", "m.r01"}, "m.rar", {"m.rar"}, {"m.r00", "m.r01"}},
        {{"m.rar", "dir/x", "m.r00 -> dir", "m.r01"}, "m.rar", {"m.rar"}, {"m.r00", "m.r01"}},
        // The headers decide where names alone would group unrelated files.
        {{"x.rar:single", "x.r00", "x.r01"}, "x.rar", {"x.rar"}, {"x.r00", "x.r01"}},
        {{"m.rar", "m.r00", "m.r01:plain", "m.r02"}, "m.rar", {"m.rar", "m.r00"}, {"m.r01", "m.r02"}},
        {{"m.rar", "m.r00:single"}, "m.rar", {"m.rar"}, {"m.r00"}}, {{"m.rar:plain", "m.r00"}, "m.rar", {"m.rar"}, {"m.r00"}},
        {{"m.part1.rar:single", "m.part2.rar"}, "m.part1.rar", {"m.part1.rar"}, {"m.part2.rar"}},
        {{"m.part1.rar:plain", "m.part2.rar:plain"}, "m.part1.rar", {"m.part1.rar", "m.part2.rar"}, {}},
        {{"n.rar5.rar", "n.rar5.r00"}, "n.rar5.rar", {"n.rar5.rar", "n.rar5.r00"}, {}},
        {{"s.rar5.rar:single", "s.rar5.r00"}, "s.rar5.rar", {"s.rar5.rar"}, {"s.rar5.r00"}}, {{"a.ace:single", "a.c00"}, "a.ace", {"a.ace"}, {"a.c00"}},
    };
    for (const auto& c : cases) {
        test::TempDir in, home;
        for (const std::string& file : c.files) {
            make(in, file);
        }
        const int trashed = DeleteArchiveSet(in / c.archive, platform::TrashPlaces{home / "Trash"});
        EXPECT_EQ(trashed, static_cast<int>(c.trashed.size())) << c.archive;
        for (const std::string& name : c.trashed) {
            EXPECT_FALSE(test::Exists(in / name)) << name;
            EXPECT_NE(test::ReadFile(home / ("Trash/files/" + name)).find(name), std::string::npos) << name;
        }
        for (const std::string& name : c.kept) {
            EXPECT_TRUE(test::Exists(in / name)) << name;
            EXPECT_FALSE(test::Exists(home / ("Trash/files/" + name))) << name;
        }
    }
}

TEST_F(DeleteArchiveSetTest, WhatTheEngineReadIsTrashedOnlyWhileItIsStillThatFile) {
    const struct {
        const char* what;
        std::function<void(const std::string& folder)> meanwhile; // after the read, before the trash
        bool secondChanged;
        int trashed;
    } cases[] = {
        {"unchanged, a volume through a link", [](const std::string&) {}, false, 3},
        {"a volume replaced by another file", [](const std::string& in) {
             test::WriteFile(in + "/new", "a newer download");
             std::rename((in + "/new").c_str(), (in + "/m.part2.rar").c_str());
         }, false, 0},
        {"a volume gone", [](const std::string& in) { std::remove((in + "/m.part3.rar").c_str()); }, false, 0},
        {"a volume that was another file when it was opened again", [](const std::string&) {}, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir in, home;
        // m.part4.rar is named like a volume but never read.
        for (const char* file : {"m.part1.rar", "m.part2.rar", "elsewhere/real.part3.rar",
                                 "m.part3.rar -> elsewhere/real.part3.rar", "m.part4.rar"}) {
            make(in, file);
        }
        std::vector<records::PassFiles::Read> read;
        for (const char* name : {"m.part1.rar", "m.part2.rar", "m.part3.rar"}) {
            struct stat st {};
            stat((in / name).c_str(), &st);
            read.push_back({in / name, {static_cast<unsigned long long>(st.st_dev), st.st_ino}, false});
        }
        read[1].changed = c.secondChanged;
        c.meanwhile(in.path());

        EXPECT_EQ(TrashFilesRead(read, platform::TrashPlaces{home / "Trash"}), c.trashed);
        for (const char* name : {"m.part1.rar", "m.part2.rar", "m.part3.rar"}) {
            EXPECT_EQ(test::Exists(home / ("Trash/files/" + std::string(name))), c.trashed > 0) << name;
        }
        EXPECT_TRUE(test::Exists(in / "m.part4.rar"));
        EXPECT_TRUE(test::Exists(in / "elsewhere/real.part3.rar")) << "a link's target stays";
    }
}

TEST_F(DeleteArchiveSetTest, ReadOnlyVolumesAndLinkedVolumes) {
    for (const char* file : {"m.rar", "m.r00 -> elsewhere/real.r00", "m.r01"}) {
        make(m_in, file);
    }
    test::WriteFile(m_in / "elsewhere/real.r00", Content("real.r00", ""));
    for (const char* name : {"m.rar", "m.r01", "elsewhere/real.r00"}) {
        ASSERT_EQ(chmod((m_in / name).c_str(), 0444), 0);
    }

    EXPECT_EQ(DeleteArchiveSet(m_in / "m.rar", m_places), 3);
    EXPECT_EQ(modeOf(m_home / "Trash/files/m.rar") & 0777, 0644u);
    EXPECT_EQ(modeOf(m_home / "Trash/files/m.r01") & 0777, 0644u);
    EXPECT_TRUE(S_ISLNK(modeOf(m_home / "Trash/files/m.r00")));
    EXPECT_EQ(test::ReadFile(m_in / "elsewhere/real.r00"), Content("real.r00", ""));
    EXPECT_EQ(modeOf(m_in / "elsewhere/real.r00") & 0777, 0444u);
}

TEST_F(DeleteArchiveSetTest, AVolumeThatCannotBeTrashedDoesNotEndTheSet) {
    // In a sticky folder an ordinary account cannot move root's file away, though it may read and
    // write it; root itself would move anything, so the set is deleted as that account.
    ASSERT_EQ(chmod(m_in.path().c_str(), 01777), 0);
    ASSERT_EQ(chown(m_home.path().c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(m_home.path().c_str(), 0755), 0);
    for (const char* name : {"m.rar", "m.r00", "m.r01"}) {
        make(m_in, name);
        ASSERT_EQ(chmod((m_in / name).c_str(), 0666), 0);
    }
    ASSERT_EQ(chown((m_in / "m.rar").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown((m_in / "m.r01").c_str(), 65534, 65534), 0);

    EXPECT_EQ(test::RunAsNobody([&] { return DeleteArchiveSet(m_in / "m.rar", m_places); }), 2);
    EXPECT_TRUE(inTrash("m.rar"));
    EXPECT_TRUE(test::Exists(m_in / "m.r00"));
    EXPECT_TRUE(inTrash("m.r01"));
}

} // namespace
} // namespace brisko::batch
