// The real program on a display of its own, driven with the keyboard and the mouse through xdotool
// as a user would drive it; what counts is what it leaves on disk, in its settings file and in its
// exit status. Each journey saves a screenshot under artefacts/journeys of the build folder.
// Faults these journeys exist to catch:
// - a run with the default options: an archive kind not extracted into the one "Briskoed" subfolder,
//   a member missing or different, an original deleted; a failed archive letting the window go by
//   itself without growing to list it, leaving pieces behind, or a status other than 1; a folder
//   split over arguments not rejoined;
// - Cancel (button, Escape, close box): the run going on, a partial file left, later archives touched,
//   the cancelled archive not counted as failed;
// - the overwrite prompt: a key giving the wrong answer, a file asked about that was not there; the
//   password box: the password asked for again, the archive not extracted, the password stored as
//   typed or not at all; the window not going by itself, a status other than 0;
// - the options window: shown with the progress window, keyboard choices not saved as the ten values,
//   the next run not following them (subfolders searched, one
//   subfolder per archive).
#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <random>
#include <thread>

#include "enginelibs/ZipFixtures.h"
#include "engines/RC4_Modified.h"
#include "startup/SettingsStore.h"
#include "support/AceFixtures.h"
#include "support/DesktopDriver.h"
#include "support/RarFixtures.h"
#include "support/TempDir.h"

namespace brisko::test {
namespace {

namespace fs = std::filesystem;

const std::string kProgress = "Briskoing...", kOptions = "Brisko Options", kOverwrite = "File Already Exists";
// Where Cancel sits in the progress window.
constexpr int kCancelX = 302 + 30, kCancelY = 100 + 11;
constexpr int kGrownHeight = 362; // the progress window's height once it shows the error list

using Files = std::vector<std::pair<std::string, std::string>>; // name, content
using Tree = std::map<std::string, std::string>;                // relative path: "folder" or "file <hash>"

const auto HashOf = [](const std::string& bytes) {
    return "file " + std::to_string(std::hash<std::string>{}(bytes));
};

Tree TreeOf(const std::string& root) {
    Tree tree;
    std::error_code missing;
    for (const auto& item : fs::recursive_directory_iterator(root, missing)) {
        tree[item.path().lexically_relative(root)] =
            item.is_symlink() || !(item.is_directory() || item.is_regular_file()) ? "other"
            : item.is_directory()                                                 ? "folder"
                                  : HashOf(ReadFile(item.path()));
    }
    return tree;
}

// Adds what extracting `files` should leave (with every parent folder) to `tree`.
void AddExpected(Tree& tree, const Files& files) {
    for (const auto& [name, data] : files) {
        tree[name] = HashOf(data);
        for (fs::path parent = fs::path(name).parent_path(); !parent.empty(); parent = parent.parent_path()) {
            tree[parent] = "folder";
        }
    }
}

// Bytes that do not repeat, so a misplaced block shows.
std::string Noise(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    return bytes;
}

template <typename Item> std::vector<Item> As(const Files& files, char separator = '/') {
    std::vector<Item> items;
    for (auto [name, data] : files) {
        std::replace(name.begin(), name.end(), '/', separator);
        items.push_back({name, data});
    }
    return items;
}

class XvfbJourney : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string missing = DesktopSession::MissingTools(); !missing.empty()) {
            GTEST_SKIP() << "not installed: " << missing
                         << " (the journeys drive the program on an Xvfb display)";
        }
        fs::create_directories(m_home / "run");
        fs::permissions(m_home / "run", fs::perms::owner_all);
    }
    std::string settingsFile() const { return m_home / "config/Brisko/Brisko.ini"; }
    // Starts the program with these arguments (none: the options window) and waits for `firstWindow`.
    DesktopSession::Start start(std::vector<std::string> arguments, const std::string& firstWindow) {
        arguments.insert(arguments.begin(), BRISKO_BINARY);
        return m_session.start(arguments,
                               {"HOME=" + m_home.path(), "XDG_CONFIG_HOME=" + (m_home / "config"),
                                "XDG_DATA_HOME=" + (m_home / "data"), "XDG_RUNTIME_DIR=" + (m_home / "run")},
                               firstWindow);
    }
    // Saves the screen as artefacts/journeys/<name>.png and says where.
    void screenshot(const std::string& name) {
        fs::create_directories(BRISKO_JOURNEY_ARTEFACTS);
        const std::string path = std::string(BRISKO_JOURNEY_ARTEFACTS) + "/" + name + ".png";
        std::cout << "[ screenshot ] " << (m_session.screenshot(path) ? "" : "failed: ") << path << std::endl;
    }
    // The one visible window with this title, waited for; 0 when it did not come.
    unsigned long waitForWindow(const std::string& title, double seconds = 30) {
        unsigned long found = 0;
        WaitUntil(
            [&] {
                const auto ids = m_session.windows(title);
                found = ids.size() == 1 ? ids.front() : 0;
                return found != 0 || !m_session.running();
            },
            seconds);
        return found;
    }
    bool progressGrown() {
        const auto ids = m_session.windows(kProgress);
        return ids.size() == 1 && m_session.height(ids.front()) >= kGrownHeight;
    }
    // Waits for the window to grow to show its error list, and checks that it stays once the run is over.
    void waitForTheErrorList() {
        EXPECT_TRUE(WaitUntil([&] { return progressGrown() || !m_session.running(); }, 60));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_TRUE(m_session.running()) << "the window of a run with a failure went by itself";
    }
    // Closes the progress window by its close box once the run is over, and gives the exit status.
    int closeProgressAndWait() {
        m_session.requestClose(waitForWindow(kProgress, 0));
        EXPECT_TRUE(m_session.waitForExit(30)) << "the program did not end after its window closed";
        return m_session.exitStatus();
    }

    TempDir m_home, m_in;
    DesktopSession m_session;
};

TEST_F(XvfbJourney, DefaultOptionsExtractEveryKindIntoBriskoedAndListTheBrokenArchive) {
    const std::string folder = m_in / "My Downloads";
    fs::create_directories(folder);
    const Files zip{{"zip/readme.txt", "Read me.\r\nTwo lines.\r\n"},
                    {"zip/data/noise.bin", Noise(3 << 20, 1)},
                    {"zip/empty.txt", ""}};
    const Files rar{{"rar/notes.txt", "stored in a RAR 5 archive"},
                    {"rar/deep/er/blob.bin", Noise(2 << 20, 2)}};
    const Files rar4{{"last/b.txt", "last good archive"}};
    const Files ace{{"ace/one.txt", "stored in an ACE archive"}, {"ace/sub/two.bin", Noise(100000, 4)}};
    WriteZip(folder + "/a_mixed.zip", As<ZipItem>(zip));
    WriteRar(folder + "/b_stored", As<RarItem>(rar), RarFormat::Rar5);
    WriteAce(folder + "/c_stored.ace", As<AceItem>(ace, '\\'));
    WriteRar(folder + "/z_good", As<RarItem>(rar4), RarFormat::Rar4);
    // A real archive cut short: its entry's data and the central directory are missing.
    WriteZip(m_in / "whole.zip", As<ZipItem>({{"broken/lost.bin", Noise(400000, 3)}}),
             {.compression = "store", .encryption = {}, .passphrase = {}});
    const std::string cut = ReadFile(m_in / "whole.zip").substr(0, fs::file_size(m_in / "whole.zip") / 2);
    WriteFile(folder + "/m_broken.zip", cut);
    Tree expected;
    for (const Files& files : {zip, rar, rar4, ace}) {
        AddExpected(expected, files);
    }

    // The folder's name split over two arguments, as a launcher that does not quote passes it.
    ASSERT_EQ(start((std::vector<std::string>{m_in / "My", "Downloads"}), kProgress),
              DesktopSession::Start::WindowShown)
        << kProgress;
    screenshot("default_options_every_kind");
    ASSERT_TRUE(
        WaitUntil([&] { return Exists(folder + "/Briskoed/last/b.txt") || !m_session.running(); }, 60));
    waitForTheErrorList();
    screenshot("broken_archive_listed");
    EXPECT_EQ(closeProgressAndWait(), 1);
    EXPECT_EQ(TreeOf(folder + "/Briskoed"), expected) << "nothing of the broken archive is left behind";
    for (const char* archive : {"a_mixed.zip", "b_stored.rar", "c_stored.ace", "z_good.rar"}) {
        EXPECT_TRUE(Exists(folder + "/" + archive))
            << archive << " is kept: deleting originals is off by default";
    }
    EXPECT_EQ(ReadFile(folder + "/m_broken.zip"), cut);
}

// Cancelling stops the run at once: the entry being written is thrown away, the archives after it are
// not touched, and the cancelled archive is listed as not extracted, so the window stays and the exit
// status after closing it is 1.
TEST_F(XvfbJourney, CancelDuringALargeArchiveStopsTheRunAndLeavesNoPartialFile) {
    // 256 MiB of zeros take the engine a few seconds to write, and little room in the archive.
    constexpr std::size_t kHuge = 256u * 1024 * 1024;
    WriteZip(m_in / "a_big.zip", {{"big/huge.bin", std::string(kHuge, '\0')}});
    WriteZip(m_in / "b_later.zip", As<ZipItem>({{"later/x.txt", "never reached"}}));
    WriteRar(m_in / "c_later", As<RarItem>({{"later/y.txt", "never reached"}}), RarFormat::Rar5);
    const std::pair<const char*, std::function<bool(unsigned long)>> ways[] = {
        {"click_cancel", [&](unsigned long w) { return m_session.click(w, kCancelX, kCancelY); }},
        {"press_escape", [&](unsigned long w) { return m_session.keys(w, {"Escape"}); }},
        // The close box during a run is refused, but asks for the run to stop all the same.
        {"close_box", [&](unsigned long w) { return m_session.requestClose(w), true; }},
    };
    for (const auto& [how, cancel] : ways) {
        SCOPED_TRACE(how);
        fs::remove_all(m_in / "Briskoed");
        ASSERT_EQ(start({m_in.path()}, kProgress), DesktopSession::Start::WindowShown) << kProgress;
        const unsigned long window = waitForWindow(kProgress);
        ASSERT_NE(window, 0u);
        ASSERT_TRUE(cancel(window));
        waitForTheErrorList();
        ASSERT_FALSE(Exists(m_in / "Briskoed/big/huge.bin") &&
                     fs::file_size(m_in / "Briskoed/big/huge.bin") == kHuge)
            << "the large entry was finished before Cancel arrived; the journey proves nothing";
        screenshot(std::string("cancel_large_archive_") + how);
        EXPECT_EQ(closeProgressAndWait(), 1);
        // Only the folder the entry was heading for may be there; no file of any name.
        Tree left = TreeOf(m_in / "Briskoed");
        left.erase("big");
        EXPECT_TRUE(left.empty()) << "left behind: " << ::testing::PrintToString(left);
        for (const char* archive : {"a_big.zip", "b_later.zip", "c_later.rar"}) {
            EXPECT_TRUE(Exists(m_in / archive)) << archive;
        }
    }
}

TEST_F(XvfbJourney, OverwritePromptAndPasswordBoxAnsweredFromTheKeyboard) {
    WriteFile(settingsFile(), "[Options]\nOverwrite=0\nPrompt=1\nNewer=0\n");
    const std::tuple<std::string, const char*, bool> answers[] = {
        {"dup/a.txt", "y", true},       // the accelerator of Yes
        {"dup/b.txt", "n", false},      // the accelerator of No
        {"dup/c.txt", "shift+y", true}, // capitals answer too
        {"dup/d.txt", "Return", false}, // No is the default button
    };
    Files files{{"dup/fresh.txt", "not there before: no question"}};
    for (const auto& [name, key, replaced] : answers) {
        files.emplace_back(name, "new " + name);
        WriteFile(m_in / ("Briskoed/" + name), "old " + name);
    }
    WriteZip(m_in / "a_dups.zip", As<ZipItem>(files));
    const std::string kPassword = "Open Sesame 42!";
    const Files secret{{"secret/one.txt", "first protected file"}, {"secret/two.bin", Noise(70000, 5)}};
    WriteZip(m_in / "b_secret.zip", As<ZipItem>(secret),
             {.compression = "deflate", .encryption = "zipcrypt", .passphrase = kPassword});

    ASSERT_EQ(start({m_in.path()}, kProgress), DesktopSession::Start::WindowShown) << kProgress;
    for (const auto& [name, key, replaced] : answers) {
        const unsigned long prompt = waitForWindow(kOverwrite);
        ASSERT_NE(prompt, 0u) << "no prompt for " << name;
        if (name == "dup/a.txt") {
            screenshot("overwrite_prompt");
        }
        ASSERT_TRUE(m_session.keys(prompt, {key}));
        ASSERT_TRUE(WaitUntil([&] { return m_session.windows(kOverwrite) != std::vector{prompt}; }, 20))
            << "the prompt stayed after " << key;
    }
    const unsigned long box = waitForWindow("Brisko");
    ASSERT_NE(box, 0u) << "no password was asked for";
    EXPECT_TRUE(m_session.windows(kOverwrite).empty()) << "a file that was not there before was asked about";
    ASSERT_TRUE(m_session.type(box, kPassword));
    screenshot("zip_password_typed");
    ASSERT_TRUE(m_session.keys(box, {"Return"}));
    // Were it asked again, the box would wait for an answer and the program would not end.
    EXPECT_TRUE(m_session.waitForExit(30)) << "the password typed once should serve every entry";
    EXPECT_EQ(m_session.exitStatus(), 0);
    Tree expected;
    AddExpected(expected, secret);
    AddExpected(expected, {{"dup/fresh.txt", "not there before: no question"}});
    for (const auto& [name, key, replaced] : answers) {
        AddExpected(expected, {{name, (replaced ? "new " : "old ") + name}});
    }
    EXPECT_EQ(TreeOf(m_in / "Briskoed"), expected);
    const std::string raw = ReadFile(settingsFile());
    EXPECT_EQ(raw.find(kPassword), std::string::npos) << "the password is stored as typed: " << raw;
    startup::SettingsStore store(QString::fromStdString(settingsFile()));
    EXPECT_EQ(engines::DecryptText(startup::SettingsValueStore(store).ReadValue("Bird")), kPassword) << raw;
}

TEST_F(XvfbJourney, OptionsChosenWithTheKeyboardAreSavedAndFollowedByTheNextRun) {
    ASSERT_EQ(start({}, kOptions), DesktopSession::Start::WindowShown) << kOptions;
    const unsigned long window = waitForWindow(kOptions);
    ASSERT_NE(window, 0u);
    EXPECT_TRUE(m_session.windows(kProgress).empty()) << "without a folder only the options show";
    // The keyboard starts on the chosen duplicate-file button; arrows move within a group and pick,
    // Tab goes on to the next group's chosen button and then to the check boxes.
    ASSERT_TRUE(m_session.keys(window, {"Down", "Down", "Down", // Prompt to overwrite each file
                                        "Tab", "Down",          // Create a subfolder for each archive
                                        "Tab", "Tab", "Tab",    // to Search subfolders ...
                                        "space"}));
    screenshot("options_chosen");
    ASSERT_TRUE(m_session.keys(window, {"Return"})); // Save & Exit, the default button
    ASSERT_TRUE(m_session.waitForExit(30)) << "Save & Exit did not end the program";
    EXPECT_EQ(m_session.exitStatus(), 0);
    EXPECT_EQ(ReadFile(settingsFile()),
              "[Options]\nDeleteOriginals=0\nNewer=0\nOverwrite=0\nPrompt=1\nRecurse=1\n"
              "SameFolder=0\nSeparateSubs=1\nSingleSub=0\nSubFolderName=Briskoed\n"
              "ZipsInZips=0\n");
    // Now a batch run: archives two folders down are found, each extracted beside itself.
    fs::create_directories(m_in / "sub/deeper");
    WriteZip(m_in / "top.zip", As<ZipItem>({{"t.txt", "top"}}));
    WriteZip(m_in / "sub/mid.zip", As<ZipItem>({{"m/m.txt", "middle"}}));
    WriteRar(m_in / "sub/deeper/inner", As<RarItem>({{"i.txt", "inner"}}), RarFormat::Rar4);
    Tree expected = TreeOf(m_in.path());
    AddExpected(expected,
                {{"top/t.txt", "top"}, {"sub/mid/m/m.txt", "middle"}, {"sub/deeper/inner/i.txt", "inner"}});
    // A run too short to be sure of seeing its window may have ended by itself already.
    ASSERT_NE(start({m_in.path()}, kProgress), DesktopSession::Start::NeverShown);
    ASSERT_TRUE(m_session.waitForExit(60)) << "the window did not go by itself";
    EXPECT_EQ(m_session.exitStatus(), 0);
    EXPECT_EQ(TreeOf(m_in.path()), expected);
}

} // namespace
} // namespace brisko::test
