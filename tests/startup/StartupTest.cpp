// The real program, started as a user would start it.
#include <chrono>
#include <gtest/gtest.h>

#include "startup/CommandLine.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/VirtualDisplay.h"

namespace brisko::startup {
namespace {

TEST(CommandLine, ArgumentsAreJoinedBySingleSpaces) {
    const struct {
        std::vector<const char*> argv;
        const char* line;
    } cases[] = {
        {{"brisko"}, ""},
        {{"brisko", "/home/u/My", "Downloads"}, "/home/u/My Downloads"},
        {{"brisko", "\"/home/u/My Downloads\""}, "\"/home/u/My Downloads\""},
        {{"brisko", "", "x"}, " x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CommandLineFrom(static_cast<int>(c.argv.size()), c.argv.data()), c.line);
    }
}

class StartupTest : public ::testing::Test {
protected:
    std::vector<std::string> environment(const std::string& display = {}) const {
        std::vector<std::string> env{"HOME=" + m_home.path(), "XDG_CONFIG_HOME=" + (m_home / "config"),
                                     "XDG_DATA_HOME=" + (m_home / "data")};
        if (display.empty()) {
            env.push_back("QT_QPA_PLATFORM=offscreen");
        } else {
            env.insert(env.end(), {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display});
        }
        return env;
    }
    void writeSettings(const std::string& options) {
        test::WriteFile(m_home / "config/Brisko/Brisko.ini", "[Options]\n" + options);
    }

    test::TempDir m_home, m_in;
};

TEST_F(StartupTest, EndsByItselfWithStatus0WhenNothingFailed) {
    const struct {
        const char* what;
        const char* settings;
        std::vector<std::string> files;
    } cases[] = {
        {"no archives, archives-inside-archives on: no message", "ZipsInZips=1\n", {"notes.txt"}},
        {"only a later volume: the window shows, nothing fails", "", {"lone.part2.rar"}},
    };
    for (const auto& c : cases) {
        writeSettings(c.settings);
        for (const auto& file : c.files) {
            test::WriteFile(m_in / file);
        }
        const test::ProcessResult result = test::RunProcess({BRISKO_BINARY, m_in.path()}, environment(), 30);
        EXPECT_FALSE(result.timedOut) << c.what;
        EXPECT_EQ(result.exitStatus, 0) << c.what;
    }
}

TEST_F(StartupTest, NoFolderOpensTheOptionsWindowAloneAndClosingItEndsTheProgram) {
    const std::string kOptions = "Brisko Options";
    writeSettings("Newer=1\nSubFolderName=Kept\n");
    const std::string before = test::ReadFile(m_home / "config/Brisko/Brisko.ini");
    test::ProcessResult result;
    bool sawOptions = false;
    bool sawProgress = false;
    for (int attempt = 0; attempt < 2 && !sawOptions; ++attempt) {
        test::VirtualDisplay display;
        if (display.name().empty()) {
            GTEST_SKIP() << "Xvfb is not installed; the options window needs a display to be closed";
        }
        result = test::RunProcess({BRISKO_BINARY}, environment(display.name()), 60, [&] {
            sawProgress = sawProgress || display.hasWindow("Briskoing...");
            if (display.hasWindow(kOptions)) {
                sawOptions = true;
                display.requestClose(kOptions);
            }
        });
    }
    EXPECT_FALSE(result.timedOut);
    EXPECT_TRUE(sawOptions);
    EXPECT_FALSE(sawProgress);
    EXPECT_EQ(result.exitStatus, 0);
    // Closed by its close box: nothing stored.
    EXPECT_EQ(test::ReadFile(m_home / "config/Brisko/Brisko.ini"), before);
}

TEST_F(StartupTest, FailuresKeepTheWindowUntilItIsClosedAndGiveStatus1) {
    // Both fail; the folder name is split over two arguments.
    test::WriteFile(m_in / "My Downloads/a.zip", "not really a zip");
    test::WriteFile(m_in / "My Downloads/b.zip", "not really a zip either");

    test::ProcessResult result;
    bool sawWindowStay = false;
    // A program that could not even reach the display (a busy machine sometimes refuses a new X
    // connection) says nothing about Brisko: that start is tried once more on a fresh display.
    for (int attempt = 0; attempt < 2 && !sawWindowStay; ++attempt) {
        test::VirtualDisplay display;
        if (display.name().empty()) {
            GTEST_SKIP() << "Xvfb is not installed; the window of a failed run needs a display to be closed";
        }
        std::chrono::steady_clock::time_point seen{};
        result =
            test::RunProcess({BRISKO_BINARY, m_in / "My", "Downloads"}, environment(display.name()), 60, [&] {
                if (!display.hasWindow("Briskoing...")) {
                    return;
                }
                const auto now = std::chrono::steady_clock::now();
                if (seen == std::chrono::steady_clock::time_point{}) {
                    seen = now;
                } else if (now - seen > std::chrono::milliseconds(1500)) {
                    sawWindowStay = true; // the run is long over and the window is still there
                    display.requestClose("Briskoing...");
                }
            });
        if (seen != std::chrono::steady_clock::time_point{}) {
            break;
        }
    }
    EXPECT_FALSE(result.timedOut);
    EXPECT_TRUE(sawWindowStay);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_TRUE(test::Exists(m_in / "My Downloads/Briskoed"));
    EXPECT_TRUE(test::Exists(m_in / "My Downloads/a.zip"));
}

} // namespace
} // namespace brisko::startup
