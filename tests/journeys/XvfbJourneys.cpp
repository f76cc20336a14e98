// The real program on a display of its own, driven with the keyboard and the mouse through xdotool
// as a user would drive it; what counts is what it leaves on disk, in its settings file and in its
// exit status. Each journey saves a screenshot under artefacts/journeys of the build folder.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <thread>

#include "acedec/Md5.h"
#include "enginelibs/ZipFixtures.h"
#include "engines/RC4_Modified.h"
#include "startup/SettingsStore.h"
#include "support/DesktopDriver.h"
#include "support/RarFixtures.h"
#include "support/TempDir.h"

namespace brisko::test {
namespace {

namespace fs = std::filesystem;

const std::string kProgress = "Briskoing...";
const std::string kOptions = "Brisko Options";
const std::string kOverwrite = "File Already Exists";
const std::string kInputBox = "Brisko";

// Archive members: name and content.
using Files = std::vector<std::pair<std::string, std::string>>;

// Where Cancel sits in the progress window (logical pixels from its top-left corner).
constexpr int kCancelCentreX = 302 + 30;
constexpr int kCancelCentreY = 100 + 11;
// The error list: a point inside it once the window has grown to show it.
constexpr int kErrorListX = 40;
constexpr int kErrorListY = 160;
// The progress window's height once it shows the error list (it starts at 137).
constexpr int kGrownHeight = 362;

std::string Md5Of(const std::string& bytes) {
    acedec::test::Md5 md5;
    md5.update({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    return md5.hex();
}

// Every entry below `root`: relative path -> "folder" or "file <md5>"; anything else is "other".
std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> tree;
    if (!fs::is_directory(root)) {
        return tree;
    }
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        const std::string name = item.path().lexically_relative(root).string();
        if (item.is_symlink()) {
            tree[name] = "other";
        } else if (item.is_directory()) {
            tree[name] = "folder";
        } else if (item.is_regular_file()) {
            tree[name] = "file " + Md5Of(ReadFile(item.path().string()));
        } else {
            tree[name] = "other";
        }
    }
    return tree;
}

// Adds what extracting `files` should leave (with every parent folder) to `tree`.
void AddExpected(std::map<std::string, std::string>& tree, const Files& files) {
    for (const auto& [name, data] : files) {
        tree[name] = "file " + Md5Of(data);
        for (fs::path parent = fs::path(name).parent_path(); !parent.empty(); parent = parent.parent_path()) {
            tree[parent.string()] = "folder";
        }
    }
}

// Bytes that do not repeat, so a misplaced block shows.
std::string Noise(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random() & 0xff);
    }
    return bytes;
}

std::vector<ZipItem> ZipFiles(const Files& files) {
    std::vector<ZipItem> items;
    for (const auto& [name, data] : files) {
        items.push_back({name, data});
    }
    return items;
}

std::vector<RarItem> RarFiles(const Files& files) {
    std::vector<RarItem> items;
    for (const auto& [name, data] : files) {
        items.push_back({name, data});
    }
    return items;
}

class XvfbJourney : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string missing = DesktopDriver::MissingTools();
        if (!missing.empty()) {
            GTEST_SKIP() << "not installed: " << missing
                         << " (the journeys drive the program on an Xvfb display)";
        }
        fs::create_directories(m_home / "run");
        fs::permissions(m_home / "run", fs::perms::owner_all);
    }

    std::vector<std::string> environment() const {
        return {"HOME=" + m_home.path(), "XDG_CONFIG_HOME=" + (m_home / "config"),
                "XDG_DATA_HOME=" + (m_home / "data"), "XDG_RUNTIME_DIR=" + (m_home / "run")};
    }
    std::string settingsFile() const { return m_home / "config/Brisko/Brisko.ini"; }
    void writeSettings(const std::string& options) { WriteFile(settingsFile(), "[Options]\n" + options); }

    // Starts the program on `folder` (none: the options window) and waits for `firstWindow`.
    DesktopSession::Start start(const std::string& folder, const std::string& firstWindow) {
        std::vector<std::string> argv{BRISKO_BINARY};
        if (!folder.empty()) {
            argv.push_back(folder);
        }
        return m_session.start(argv, environment(), firstWindow);
    }

    // Saves the screen as artefacts/journeys/<name>.png and says where.
    void screenshot(const std::string& name) {
        const std::string folder = BRISKO_JOURNEY_ARTEFACTS;
        fs::create_directories(folder);
        const std::string path = folder + "/" + name + ".png";
        if (m_session.driver().screenshot(path)) {
            std::cout << "[ screenshot ] " << path << std::endl;
        } else {
            std::cout << "[ screenshot ] could not be taken: " << path << std::endl;
        }
    }

    // The one visible window with this title, waited for.
    unsigned long waitForWindow(const std::string& title, double seconds = 30) {
        unsigned long found = 0;
        WaitUntil(
            [&] {
                const auto ids = m_session.driver().windows(title);
                found = ids.size() == 1 ? ids.front() : 0;
                return found != 0 || !m_session.program().running();
            },
            seconds);
        return found;
    }

    // True once the progress window has grown to show its error list.
    bool progressGrown() {
        const auto ids = m_session.driver().windows(kProgress);
        if (ids.size() != 1) {
            return false;
        }
        const auto geometry = m_session.driver().geometry(ids.front());
        return geometry && geometry->height >= kGrownHeight;
    }

    // The error list's text, copied through the clipboard as a user would copy it.
    std::string errorListText() {
        const auto ids = m_session.driver().windows(kProgress);
        if (ids.size() != 1) {
            return "(no progress window)";
        }
        DesktopDriver& driver = m_session.driver();
        driver.click(ids.front(), kErrorListX, kErrorListY);
        driver.keys(ids.front(), {"ctrl+a", "ctrl+c"});
        return driver.clipboardText().value_or("(nothing on the clipboard)");
    }

    // Closes the progress window by its close box once the run is over, and gives the exit status.
    int closeProgressAndWait() {
        m_session.display().requestClose(kProgress);
        EXPECT_TRUE(m_session.program().waitForExit(30)) << "the program did not end after its window closed";
        return m_session.program().exitStatus();
    }

    TempDir m_home, m_in;
    DesktopSession m_session;
};

#define START_OR_SKIP(folder, title)                                                                         \
    do {                                                                                                     \
        const DesktopSession::Start started_ = start(folder, title);                                         \
        if (started_ == DesktopSession::Start::NoDisplay) {                                                  \
            GTEST_SKIP() << "no Xvfb display could be started";                                              \
        }                                                                                                    \
        ASSERT_EQ(started_, DesktopSession::Start::WindowShown) << "\"" << title << "\" never appeared";     \
    } while (false)

// For a run too short to be sure of seeing its window: it may also have ended by itself already.
#define RUN_OR_SKIP(folder, title)                                                                           \
    do {                                                                                                     \
        const DesktopSession::Start started_ = start(folder, title);                                         \
        if (started_ == DesktopSession::Start::NoDisplay) {                                                  \
            GTEST_SKIP() << "no Xvfb display could be started";                                              \
        }                                                                                                    \
        ASSERT_TRUE(started_ == DesktopSession::Start::WindowShown ||                                        \
                    started_ == DesktopSession::Start::EndedWithoutWindow)                                   \
            << "\"" << title << "\" never appeared";                                                          \
    } while (false)

// ---- 1. default options, one archive of each kind ------------------------------------------------

TEST_F(XvfbJourney, DefaultOptionsExtractEveryKindIntoBriskoedAndEndByItself) {
    const std::string aceSamples = BRISKO_ACE_TESTDATA;
    const std::string aceSample = aceSamples + "/unace-tests-v1/zdir.ace";
    if (!fs::exists(aceSample)) {
        GTEST_SKIP() << "the ACE sample archives are not there: " << aceSample;
    }
    std::map<std::string, std::string> expected;

    // The large entry keeps the progress window up long enough to be seen and photographed.
    std::string pattern;
    for (int i = 0; pattern.size() < 48u * 1024 * 1024; ++i) {
        pattern += "line " + std::to_string(i) + " of a long and repetitive file\n";
    }
    const Files zipFiles{
        {"zip/readme.txt", "Read me.\r\nTwo lines.\r\n"},
        {"zip/data/pattern.txt", pattern},
        {"zip/data/noise.bin", Noise(300000, 1)},
        {"zip/empty.txt", ""},
    };
    WriteZip(m_in / "mixed.zip", ZipFiles(zipFiles));
    AddExpected(expected, zipFiles);

    const Files rarFiles{
        {"rar/notes.txt", "stored in a RAR 5 archive"},
        {"rar/deep/er/blob.bin", Noise(2 * 1024 * 1024, 2)},
    };
    WriteRar(m_in / "stored", RarFiles(rarFiles), RarFormat::Rar5);
    AddExpected(expected, rarFiles);

    fs::copy_file(aceSample, m_in / "zdir.ace");
    std::ifstream members(aceSamples + "/expected-members.tsv");
    std::string line;
    while (std::getline(members, line)) {
        std::stringstream fields(line);
        std::string archive, kind, size, crc, md5, name;
        std::getline(fields, archive, '\t');
        std::getline(fields, kind, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, crc, '\t');
        std::getline(fields, md5, '\t');
        std::getline(fields, name, '\t');
        if (archive == "unace-tests-v1/zdir.ace") {
            expected[name] = kind == "dir" ? "folder" : "file " + md5;
        }
    }
    ASSERT_GT(expected.size(), 20u) << "the ACE member list was not read";

    START_OR_SKIP(m_in.path(), kProgress);
    screenshot("default_options_three_kinds");
    ASSERT_TRUE(m_session.program().waitForExit(60)) << "the window did not go by itself";
    EXPECT_EQ(m_session.program().exitStatus(), 0);
    EXPECT_FALSE(m_session.display().hasWindow(kProgress));

    EXPECT_EQ(Tree(m_in / "Briskoed"), expected);
    for (const char* archive : {"mixed.zip", "stored.rar", "zdir.ace"}) {
        EXPECT_TRUE(Exists(m_in / archive)) << archive << " is kept: deleting originals is off by default";
    }
}

// ---- 2. one broken archive among good ones ------------------------------------------------------

TEST_F(XvfbJourney, ABrokenArchiveKeepsTheWindowOpenListedAndGivesStatus1) {
    const Files before{{"first/a.txt", "first good archive"}};
    const Files after{{"last/b.txt", "last good archive"}};
    WriteZip(m_in / "a_good.zip", ZipFiles(before));
    WriteRar(m_in / "z_good", RarFiles(after), RarFormat::Rar4);
    // A real archive cut short: its entry's data and the central directory are missing.
    WriteZip(m_in / "whole.tmp", ZipFiles({{"broken/lost.bin", Noise(400000, 3)}}),
             {.compression = "store", .encryption = {}, .passphrase = {}});
    const std::string whole = ReadFile(m_in / "whole.tmp");
    fs::remove(m_in / "whole.tmp");
    WriteFile(m_in / "m_broken.zip", whole.substr(0, whole.size() / 2));
    std::map<std::string, std::string> expected;
    AddExpected(expected, before);
    AddExpected(expected, after);

    START_OR_SKIP(m_in.path(), kProgress);
    // The run is over once the last archive is out; the window must then stay, grown to list the failure.
    ASSERT_TRUE(WaitUntil(
        [&] { return Exists(m_in / "Briskoed/last/b.txt") || !m_session.program().running(); }, 60));
    ASSERT_TRUE(WaitUntil([&] { return progressGrown() || !m_session.program().running(); }, 30));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(m_session.program().running()) << "the window of a run with a failure went by itself";
    EXPECT_TRUE(m_session.display().hasWindow(kProgress));

    const std::string errors = errorListText();
    screenshot("broken_archive_among_good_ones");
    EXPECT_NE(errors.find(m_in / "m_broken.zip"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("_good."), std::string::npos) << "only the failed archive is listed: " << errors;

    EXPECT_EQ(closeProgressAndWait(), 1);
    EXPECT_EQ(Tree(m_in / "Briskoed"), expected) << "nothing of the broken archive is left behind";
    EXPECT_EQ(ReadFile(m_in / "m_broken.zip"), whole.substr(0, whole.size() / 2));
}

// ---- 3. Cancel during a large archive ------------------------------------------------------------

// Cancelling stops the run at once: the entry being written is thrown away, the archives after it are
// not touched, and the cancelled archive is listed as not extracted, so the window stays and the exit
// status after closing it is 1.
TEST_F(XvfbJourney, CancelDuringALargeArchiveStopsTheRunAndLeavesNoPartialFile) {
    // 256 MiB of zeros take the engine a few seconds to write, and little room in the archive.
    constexpr std::size_t kHuge = 256u * 1024 * 1024;
    WriteZip(m_in / "a_big.zip", {{"big/huge.bin", std::string(kHuge, '\0')}});
    WriteZip(m_in / "b_later.zip", ZipFiles({{"later/x.txt", "never reached"}}));
    WriteRar(m_in / "c_later", RarFiles({{"later/y.txt", "never reached"}}), RarFormat::Rar5);

    const struct {
        const char* how;
        std::function<bool(DesktopDriver&, unsigned long)> cancel;
    } ways[] = {
        {"click_cancel",
         [](DesktopDriver& driver, unsigned long window) {
             return driver.click(window, kCancelCentreX, kCancelCentreY);
         }},
        {"press_escape",
         [](DesktopDriver& driver, unsigned long window) { return driver.keys(window, {"Escape"}); }},
        // The close box during a run is refused, but asks for the run to stop all the same.
        {"close_box",
         [this](DesktopDriver&, unsigned long) { return m_session.display().requestClose(kProgress); }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.how);
        fs::remove_all(m_in / "Briskoed");
        START_OR_SKIP(m_in.path(), kProgress);
        const unsigned long window = waitForWindow(kProgress);
        ASSERT_NE(window, 0u);
        ASSERT_TRUE(way.cancel(m_session.driver(), window))
            << "running: " << m_session.program().running()
            << ", exit status: " << m_session.program().exitStatus()
            << ", windows now: " << ::testing::PrintToString(m_session.driver().windows(kProgress))
            << ", found: " << window;

        ASSERT_TRUE(WaitUntil([&] { return progressGrown() || !m_session.program().running(); }, 60));
        ASSERT_FALSE(Exists(m_in / "Briskoed/big/huge.bin") &&
                     fs::file_size(m_in / "Briskoed/big/huge.bin") == kHuge)
            << "the large entry was finished before Cancel arrived; the journey proves nothing";
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        ASSERT_TRUE(m_session.program().running()) << "a cancelled run is listed as failed and waits";
        const std::string errors = errorListText();
        screenshot(std::string("cancel_large_archive_") + way.how);
        EXPECT_NE(errors.find(m_in / "a_big.zip"), std::string::npos) << errors;
        EXPECT_EQ(errors.find("later"), std::string::npos) << errors;
        EXPECT_EQ(closeProgressAndWait(), 1);

        // Only the folder the entry was heading for may be there; no file of any name.
        std::map<std::string, std::string> left = Tree(m_in / "Briskoed");
        left.erase("big");
        EXPECT_TRUE(left.empty()) << "left behind: " << ::testing::PrintToString(left);
        for (const char* archive : {"a_big.zip", "b_later.zip", "c_later.rar"}) {
            EXPECT_TRUE(Exists(m_in / archive)) << archive;
        }
    }
}

// ---- 4. the overwrite prompt answered from the keyboard -----------------------------------------

TEST_F(XvfbJourney, OverwritePromptAnswersTypedAsKeysDecideEachFile) {
    writeSettings("Overwrite=0\nPrompt=1\nNewer=0\n");
    const struct {
        const char* name;
        const char* key;
        bool replaced;
    } answers[] = {
        {"dup/a.txt", "y", true},       // the accelerator of Yes
        {"dup/b.txt", "n", false},      // the accelerator of No
        {"dup/c.txt", "shift+y", true}, // capitals answer too
        {"dup/d.txt", "Return", false}, // No is the default button
    };
    Files files;
    for (const auto& answer : answers) {
        files.emplace_back(answer.name, std::string("new ") + answer.name);
        WriteFile(m_in / ("Briskoed/" + std::string(answer.name)), std::string("old ") + answer.name);
    }
    files.emplace_back("dup/fresh.txt", "not there before: no question");
    WriteZip(m_in / "dups.zip", ZipFiles(files));

    START_OR_SKIP(m_in.path(), kProgress);
    int asked = 0;
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.name);
        const unsigned long prompt = waitForWindow(kOverwrite);
        ASSERT_NE(prompt, 0u) << "no prompt for " << answer.name;
        ++asked;
        if (asked == 1) {
            screenshot("overwrite_prompt");
        }
        ASSERT_TRUE(m_session.driver().keys(prompt, {answer.key}));
        ASSERT_TRUE(WaitUntil(
            [&] {
                const auto ids = m_session.driver().windows(kOverwrite);
                return std::find(ids.begin(), ids.end(), prompt) == ids.end();
            },
            20))
            << "the prompt stayed after " << answer.key;
    }
    bool askedAgain = false;
    ASSERT_TRUE(WaitUntil(
        [&] {
            askedAgain = askedAgain || m_session.display().hasWindow(kOverwrite);
            return !m_session.program().running();
        },
        60));
    EXPECT_FALSE(askedAgain) << "a file that was not there before was asked about";
    EXPECT_EQ(m_session.program().exitStatus(), 0);

    for (const auto& answer : answers) {
        EXPECT_EQ(ReadFile(m_in / ("Briskoed/" + std::string(answer.name))),
                  std::string(answer.replaced ? "new " : "old ") + answer.name)
            << "answered " << answer.key;
    }
    EXPECT_EQ(ReadFile(m_in / "Briskoed/dup/fresh.txt"), "not there before: no question");
}

// ---- 5. a ZIP password typed into the input box --------------------------------------------------

TEST_F(XvfbJourney, PasswordTypedOnceExtractsTheArchiveAndIsStoredDisguised) {
    const std::string kPassword = "Open Sesame 42!";
    const Files files{
        {"secret/one.txt", "first protected file"},
        {"secret/two.bin", Noise(70000, 5)},
    };
    WriteZip(m_in / "secret.zip", ZipFiles(files),
             {.compression = "deflate", .encryption = "zipcrypt", .passphrase = kPassword});
    std::map<std::string, std::string> expected;
    AddExpected(expected, files);

    START_OR_SKIP(m_in.path(), kProgress);
    const unsigned long box = waitForWindow(kInputBox);
    ASSERT_NE(box, 0u) << "no password was asked for";
    ASSERT_TRUE(m_session.driver().type(box, kPassword));
    screenshot("zip_password_typed");
    ASSERT_TRUE(m_session.driver().keys(box, {"Return"}));

    int askedAgain = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto ids = m_session.driver().windows(kInputBox);
            if (!ids.empty() && ids.front() != box) {
                ++askedAgain; // declined, so that the run can end
                m_session.driver().keys(ids.front(), {"Escape"});
            }
            return !m_session.program().running();
        },
        60));
    EXPECT_EQ(askedAgain, 0) << "the password typed once should serve every entry";
    EXPECT_EQ(m_session.program().exitStatus(), 0);
    EXPECT_EQ(Tree(m_in / "Briskoed"), expected);

    const std::string raw = ReadFile(settingsFile());
    EXPECT_NE(raw.find("Bird="), std::string::npos) << raw;
    EXPECT_EQ(raw.find(kPassword), std::string::npos) << "the password is stored as typed: " << raw;
    startup::SettingsStore store(QString::fromStdString(settingsFile()));
    startup::SettingsValueStore values(store);
    const std::string stored = values.ReadValue("Bird");
    EXPECT_NE(stored, kPassword);
    EXPECT_EQ(engines::DecryptText(stored), kPassword) << "the stored value does not give the password back";
}

// ---- 6. the options window, then a run that follows it ------------------------------------------

TEST_F(XvfbJourney, OptionsChosenWithTheKeyboardAreSavedAndFollowedByTheNextRun) {
    START_OR_SKIP("", kOptions);
    const unsigned long window = waitForWindow(kOptions);
    ASSERT_NE(window, 0u);
    // The keyboard starts on the chosen duplicate-file button; arrows move within a group and pick,
    // Tab goes on to the next group's chosen button and then to the check boxes.
    ASSERT_TRUE(m_session.driver().keys(window, {"Down", "Down", "Down", // Prompt to overwrite each file
                                                 "Tab", "Down",       // Create a subfolder for each archive
                                                 "Tab", "Tab", "Tab", // to Search subfolders ...
                                                 "space"}));
    screenshot("options_chosen");
    ASSERT_TRUE(m_session.driver().keys(window, {"Return"})); // Save & Exit, the default button
    ASSERT_TRUE(m_session.program().waitForExit(30)) << "Save & Exit did not end the program";
    EXPECT_EQ(m_session.program().exitStatus(), 0);
    EXPECT_EQ(ReadFile(settingsFile()), "[Options]\n"
                                        "DeleteOriginals=0\n"
                                        "Newer=0\n"
                                        "Overwrite=0\n"
                                        "Prompt=1\n"
                                        "Recurse=1\n"
                                        "SameFolder=0\n"
                                        "SeparateSubs=1\n"
                                        "SingleSub=0\n"
                                        "SubFolderName=Briskoed\n"
                                        "ZipsInZips=0\n");
    struct stat st {};
    ASSERT_EQ(stat(settingsFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the settings file may hold a password";

    // Now a batch run: archives two folders down are found, each extracted beside itself.
    fs::create_directories(m_in / "sub/deeper");
    WriteZip(m_in / "top.zip", ZipFiles({{"t.txt", "top"}}));
    WriteZip(m_in / "sub/mid.zip", ZipFiles({{"m/m.txt", "middle"}}));
    WriteRar(m_in / "sub/deeper/inner", RarFiles({{"i.txt", "inner"}}), RarFormat::Rar4);
    RUN_OR_SKIP(m_in.path(), kProgress);
    ASSERT_TRUE(m_session.program().waitForExit(60)) << "the window did not go by itself";
    EXPECT_EQ(m_session.program().exitStatus(), 0);

    const std::map<std::string, std::string> expected{
        {"top.zip", "file " + Md5Of(ReadFile(m_in / "top.zip"))},
        {"top", "folder"},
        {"top/t.txt", "file " + Md5Of("top")},
        {"sub", "folder"},
        {"sub/mid.zip", "file " + Md5Of(ReadFile(m_in / "sub/mid.zip"))},
        {"sub/mid", "folder"},
        {"sub/mid/m", "folder"},
        {"sub/mid/m/m.txt", "file " + Md5Of("middle")},
        {"sub/deeper", "folder"},
        {"sub/deeper/inner.rar", "file " + Md5Of(ReadFile(m_in / "sub/deeper/inner.rar"))},
        {"sub/deeper/inner", "folder"},
        {"sub/deeper/inner/i.txt", "file " + Md5Of("inner")},
    };
    EXPECT_EQ(Tree(m_in.path()), expected);
}

} // namespace
} // namespace brisko::test
