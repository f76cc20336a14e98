// What an extraction does to archives still waiting for their turn: untouched, replaced, removed.
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>

#include "batch/WaitingArchives.h"
#include "support/TempDir.h"

namespace brisko::batch {
namespace {

TEST(WaitingArchives, AReplacedOrRemovedArchiveIsPutBackAndNothingElseIsLeft) {
    const struct {
        const char* what;
        void (*extraction)(const std::string& archive);
        bool putBack;
    } cases[] = {
        {"untouched", [](const std::string&) {}, false},
        {"replaced by a new file", [](const std::string& a) { test::WriteFile(a + ".new", "other");
                                                              std::rename((a + ".new").c_str(), a.c_str()); },
         true},
        {"removed", [](const std::string& a) { std::remove(a.c_str()); }, true},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        const std::string waiting = dir / "b.rar";
        const std::string outside = dir / "elsewhere/c.rar";
        test::WriteFile(waiting, "the real b");
        test::WriteFile(outside, "the real c");
        const std::vector<std::string> list{dir / "a.zip", waiting, outside, dir / "missing.zip"};
        test::WriteFile(list[0], "the outer archive");
        bool putBack = false;
        {
            WaitingArchives guard(list);
            guard.BeginExtraction(list[0], dir.path());
            c.extraction(waiting);
            putBack = guard.EndExtraction();
            EXPECT_FALSE(guard.EndExtraction()) << "a second look has nothing to do";
        }
        EXPECT_EQ(putBack, c.putBack) << c.what;
        EXPECT_EQ(test::ReadFile(waiting), "the real b") << c.what;
        EXPECT_EQ(test::ReadFile(outside), "the real c") << c.what;
        int entries = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) {
            ++entries;
        }
        EXPECT_EQ(entries, 3) << c.what << ": only a.zip, b.rar and elsewhere/";
    }
}

TEST(WaitingArchives, WhatHappensBetweenExtractionsIsNotPutBack) {
    // The trash step moves an extracted set's later volumes away between two extractions.
    test::TempDir dir;
    const std::vector<std::string> list{dir / "m.part1.rar", dir / "m.part2.rar", dir / "z.zip"};
    for (const std::string& path : list) {
        test::WriteFile(path, path);
    }
    WaitingArchives guard(list);
    guard.BeginExtraction(list[0], dir / "Briskoed");
    EXPECT_FALSE(guard.EndExtraction());
    std::remove(list[0].c_str());
    std::remove(list[1].c_str());
    guard.BeginExtraction(list[2], dir / "Briskoed");
    EXPECT_FALSE(guard.EndExtraction());
    EXPECT_FALSE(test::Exists(list[1]));
}

} // namespace
} // namespace brisko::batch
