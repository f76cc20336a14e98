// Brisko itself on a folder of ZIP archives, in each destination mode, against Debian's unzip.
#include <gtest/gtest.h>

#include "enginelibs/ZipFixtures.h"

#include "support/Process.h"
#include "support/TempDir.h"
#include <functional>

namespace brisko::test {
namespace {

std::map<std::string, std::string> descriptions(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const auto& [path, node] : Snapshot(folder)) {
        out[path] = node.description;
    }
    return out;
}

void makeArchives(const std::string& folder) {
    WriteZip(folder + "/a.zip", {{"docs/", "", ZipItem::Kind::Folder},
                                 {"docs/readme.txt", "read me\n"},
                                 {"docs/caf\xC3\xA9 menu.txt", std::string(100000, 'x')},
                                 {"empty.txt", ""}});
    ZipOptions stored;
    stored.compression = "store";
    WriteZip(folder + "/b.zip", {{"b/deep/er/data.bin", std::string("\0\1\2\3", 4)}, {"top.txt", "top"}},
             stored);
}

TEST(ZipJourney, EachDestinationModeGivesWhatUnzipGives) {
    if (!HaveUnzip()) {
        GTEST_SKIP() << "Debian's unzip is not installed; it is the reference here";
    }
    const struct {
        const char* mode;
        const char* settings;
        std::function<std::string(const std::string& folder, const std::string& base)> destination;
    } cases[] = {
        {"one common subfolder", "SingleSub=1\nSeparateSubs=0\nSameFolder=0\nSubFolderName=Out put\n",
         [](const std::string& folder, const std::string&) { return folder + "/Out put"; }},
        {"a subfolder per archive", "SingleSub=0\nSeparateSubs=1\nSameFolder=0\n",
         [](const std::string& folder, const std::string& base) { return folder + "/" + base; }},
        {"the archive's own folder", "SingleSub=0\nSeparateSubs=0\nSameFolder=1\n",
         [](const std::string& folder, const std::string&) { return folder; }},
    };
    for (const auto& c : cases) {
        TempDir home, ours, theirs;
        makeArchives(ours.path());
        makeArchives(theirs.path());
        WriteFile(home / "config/Brisko/Brisko.ini", std::string("[Options]\n") + c.settings);
        const ProcessResult run = RunProcess(
            {BRISKO_BINARY, ours.path()},
            {"HOME=" + home.path(), "XDG_CONFIG_HOME=" + (home / "config"), "QT_QPA_PLATFORM=offscreen"}, 60);
        EXPECT_EQ(run.exitStatus, 0) << c.mode;
        for (const char* base : {"a", "b"}) {
            ASSERT_EQ(RunUnzip(theirs / (std::string(base) + ".zip"), c.destination(theirs.path(), base)), 0);
        }
        EXPECT_EQ(descriptions(ours.path()), descriptions(theirs.path())) << c.mode;
    }
}

// The most common ZIP on Linux: Info-ZIP's zip on UTF-8 names, which it stores as they are, with
// neither the UTF-8 flag nor a Unicode path field.
TEST(ZipJourney, ZipsMadeByZipOnLinuxGiveTheNamesUnzipGives) {
    ProcessOptions onPath;
    onPath.searchPath = true;
    if (!HaveUnzip() || RunProcess({"zip", "-v"}, {}, 30, {}, onPath).exitStatus != 0) {
        GTEST_SKIP() << "Debian's zip and unzip are needed here";
    }
    TempDir home, source, ours, theirs;
    for (const char* name : {"e/na\xC3\xAFve caf\xC3\xA9.txt", "e/\xC3\x9C" "bersicht/\xE6\x97\xA5\xE6\x9C\xAC.txt",
                             "e/\xD1\x82\xD0\xB5\xD1\x81\xD1\x82/plain.txt"}) {
        WriteFile(source / name, name);
    }
    for (const char* archive : {"one.zip", "two.zip"}) {
        ProcessOptions inSource;
        inSource.workingFolder = source.path();
        inSource.searchPath = true;
        ASSERT_EQ(RunProcess({"zip", "-q", "-r", ours / archive, "e"}, {"LC_ALL=C.UTF-8"}, 60, {}, inSource).exitStatus, 0);
        ASSERT_EQ(RunUnzip(ours / archive, theirs / std::string(archive).substr(0, 3)), 0);
    }
    WriteFile(home / "config/Brisko/Brisko.ini", "[Options]\nSingleSub=0\nSeparateSubs=1\n");
    const ProcessResult run = RunProcess(
        {BRISKO_BINARY, ours.path()},
        {"HOME=" + home.path(), "XDG_CONFIG_HOME=" + (home / "config"), "QT_QPA_PLATFORM=offscreen"}, 60);
    ASSERT_EQ(run.exitStatus, 0);
    for (const char* base : {"one", "two"}) {
        EXPECT_EQ(descriptions(ours / base), descriptions(theirs / base)) << base;
    }
}

} // namespace
} // namespace brisko::test
