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
        WaitingArchives guard;
        const std::vector<std::string> list{waiting, outside, dir / "missing.zip"};
        guard.Protect(list, dir.path());
        c.extraction(waiting);
        EXPECT_EQ(guard.Restore(), c.putBack) << c.what;
        EXPECT_EQ(test::ReadFile(waiting), "the real b") << c.what;
        int entries = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) {
            ++entries;
        }
        EXPECT_EQ(entries, 2) << c.what << ": only b.rar and elsewhere/";
        EXPECT_FALSE(guard.Restore()) << "a second call has nothing to do";
    }
}

} // namespace
} // namespace brisko::batch
