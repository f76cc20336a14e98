#include "batch/DeleteArchiveSet.h"

#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/TempDir.h"

namespace brisko::batch {
namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode;
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
        {{"m.rar", "m.r00", "m.r01", "m.r03", "n.rar"},
         "m.rar",
         {"m.rar", "m.r00", "m.r01"},
         {"m.r03", "n.rar"}},
        {{"m.rar", "m.r01"}, "m.rar", {"m.rar"}, {"m.r01"}},
        {{"M.RAR", "M.R00", "M.r01"}, "M.RAR", {"M.RAR", "M.R00"}, {"M.r01"}},
        {{"m.part1.rar", "m.part2.rar", "m.part3.rar", "m.part5.rar"},
         "m.part1.rar",
         {"m.part1.rar", "m.part2.rar", "m.part3.rar"},
         {"m.part5.rar"}},
        {{"m.part01.rar", "m.part02.rar", "m.part2.rar"},
         "m.part01.rar",
         {"m.part01.rar", "m.part02.rar"},
         {"m.part2.rar"}},
        {{"m.ace", "m.c00", "m.r00"}, "m.ace", {"m.ace", "m.c00"}, {"m.r00"}},
        {{"m.r00", "m.r01"}, "m.rar", {}, {"m.r00", "m.r01"}},
        {{"m.rar", "m.r00 -> nowhere", "m.r01"}, "m.rar", {"m.rar"}, {"m.r00", "m.r01"}},
        {{"m.rar", "dir/x", "m.r00 -> dir", "m.r01"}, "m.rar", {"m.rar"}, {"m.r00", "m.r01"}},
        // The headers decide where names alone would group unrelated files.
        {{"x.rar:single", "x.r00", "x.r01"}, "x.rar", {"x.rar"}, {"x.r00", "x.r01"}},
        {{"m.rar", "m.r00", "m.r01:plain", "m.r02"}, "m.rar", {"m.rar", "m.r00"}, {"m.r01", "m.r02"}},
        {{"m.rar", "m.r00:single"}, "m.rar", {"m.rar"}, {"m.r00"}},
        {{"m.rar:plain", "m.r00"}, "m.rar", {"m.rar"}, {"m.r00"}},
        {{"m.part1.rar:single", "m.part2.rar"}, "m.part1.rar", {"m.part1.rar"}, {"m.part2.rar"}},
        {{"m.part1.rar:plain", "m.part2.rar:plain"}, "m.part1.rar", {"m.part1.rar", "m.part2.rar"}, {}},
        {{"n.rar5.rar", "n.rar5.r00"}, "n.rar5.rar", {"n.rar5.rar", "n.rar5.r00"}, {}},
        {{"s.rar5.rar:single", "s.rar5.r00"}, "s.rar5.rar", {"s.rar5.rar"}, {"s.rar5.r00"}},
        {{"a.ace:single", "a.c00"}, "a.ace", {"a.ace"}, {"a.c00"}},
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

records::PassFiles::Read ReadNow(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return {path, {static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino)}, false};
}

TEST_F(DeleteArchiveSetTest, WhatTheEngineReadIsTrashedOnlyWhileItIsStillThatFile) {
    const struct {
        const char* what;
        std::function<void(const std::string& folder)> meanwhile; // after the read, before the trash
        bool secondChanged;
        int trashed;
    } cases[] = {
        {"unchanged, a volume through a link", [](const std::string&) {}, false, 3},
        {"a volume replaced by another file",
         [](const std::string& in) {
             test::WriteFile(in + "/new", "a newer download");
             std::rename((in + "/new").c_str(), (in + "/m.part2.rar").c_str());
         },
         false, 0},
        {"a volume gone", [](const std::string& in) { std::remove((in + "/m.part3.rar").c_str()); }, false, 0},
        {"a volume that was another file when it was opened again", [](const std::string&) {}, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir in, home;
        make(in, "m.part1.rar");
        make(in, "m.part2.rar");
        make(in, "elsewhere/real.part3.rar");
        make(in, "m.part3.rar -> elsewhere/real.part3.rar");
        make(in, "m.part4.rar"); // named like a volume, never read
        std::vector<records::PassFiles::Read> read;
        for (const char* name : {"m.part1.rar", "m.part2.rar", "m.part3.rar"}) {
            read.push_back(ReadNow(in / name));
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
    make(m_in, "m.rar");
    make(m_in, "m.r00 -> elsewhere/real.r00");
    make(m_in, "m.r01");
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
