// The batch run driven through the real progress window (offscreen), with recording engine adapters.
// Faults this group exists to catch:
// - an archive kind sent to the wrong engine, or the ZIP options not derived from the settings (also
//   when the overwrite prompt changed them during the run);
// - a destination that is not the archive's folder or one folder below it (".." names, odd archive
//   names, the destination modes and which one wins), or a folder made for a refused destination;
// - archives that came out of archives not extracted by further passes, or passes without end;
// - Cancel (button or close box) not stopping the run after the archive in hand, or the close box
//   closing the window during a run;
// - a failure not listed, the window not staying for it, a failed or cancelled archive trashed,
//   trashing done while deletion is off, a kind without engine not failed;
// - a missing folder, a file, or a folder another run holds not refused with its message.
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <map>

#include "batch/BatchRun.h"
#include "batch/PathHelpers.h"
#include "platform/FileSystem.h"
#include "platform/FolderLock.h"
#include "support/QtApp.h"
#include "support/RecordingDialogs.h"
#include "support/TempDir.h"
#include "ui/frmBriskoLite.h"

namespace brisko::ui {
namespace {

using Outcome = frmBriskoLite::LoadOutcome;
using Names = std::vector<std::string>;

struct Call {
    std::string kind, archive, destination;
    records::UnzipOptions zip;
};

// Extracts nothing; records each call and plays the cue given for the archive's file name.
class RecordingAdapters : public engines::ZipEngineAdapter,
                          public engines::RarEngineAdapter,
                          public engines::AceEngineAdapter {
public:
    // A cue returns whether the archive succeeded; it gets the destination and may act on the window.
    using Cue = std::function<bool(const std::string& destination)>;

    void UnzipArchive(records::ProcessState& state, engines::ProgressDisplay&) override {
        const records::UnzipOptions& zip = state.unzipOptions;
        handle({"ZIP", zip.lpszZipFN, zip.lpszExtractDir, zip}, state);
    }
    void UnrarArchive(std::string& archive, std::string& destination, engines::ProgressDisplay&, std::string&,
                      records::ProcessState& state) override {
        handle({"RAR", archive, destination, {}}, state);
    }
    void UnaceArchive(std::string archive, std::string destination, engines::ProgressDisplay&, std::string,
                      records::ProcessState& state) override {
        handle({"ACE", archive, destination, {}}, state);
    }
    std::vector<Call> calls;
    Names archives; // the file names of the calls' archives
    std::map<std::string, Cue> cues;

private:
    void handle(Call call, records::ProcessState& state) {
        calls.push_back(call);
        archives.push_back(batch::FileNameOf(call.archive));
        const auto cue = cues.find(archives.back());
        state.result.Succeeded =
            cue == cues.end() || cue->second(call.destination) ? records::kTrue : records::kFalse;
    }
};

class RunBatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureQApplication();
        m_state.settings = {1, 0, 1, 1, 0, 0, "Briskoed", 0, 0, 0}; // what an empty settings store gives
    }
    // Creates the files in `folder` (default: the test's "In") and runs the batch on it, or on
    // `commandLine` when one is given.
    Outcome run(const Names& files, const std::string& commandLine = {}, std::string folder = {}) {
        folder = folder.empty() ? m_dir / "In" : folder;
        for (const auto& file : files) {
            test::WriteFile(folder + "/" + file);
        }
        m_state.DoneList.clear();
        m_adapters.calls.clear();
        m_adapters.archives.clear();
        m_window = std::make_unique<frmBriskoLite>(m_state, m_dialogs, m_adaptersSet,
                                                   platform::TrashPlaces{m_home / "Trash"});
        return m_window->Form_Load(commandLine.empty() ? folder : commandLine);
    }
    std::string in(const std::string& relative) const { return m_dir / ("In/" + relative); }
    template <typename T = QLabel> T* control(const char* name) const {
        return m_window->findChild<T*>(name);
    }
    Names doneNames() const {
        Names names;
        for (const auto& path : m_state.DoneList) {
            names.push_back(batch::FileNameOf(path));
        }
        return names;
    }
    QString errors() const { return control<QPlainTextEdit>("txtErrors")->toPlainText(); }
    // Clicks Cancel, as a user would while an archive is being extracted.
    RecordingAdapters::Cue pressCancel() {
        return [this](const std::string&) { return control<QPushButton>("cmdCancel")->click(), true; };
    }

    test::TempDir m_dir, m_home;
    records::ProcessState m_state;
    test::RecordingDialogs m_dialogs;
    RecordingAdapters m_adapters;
    engines::EngineAdapters m_adaptersSet{&m_adapters, &m_adapters, &m_adapters};
    std::unique_ptr<frmBriskoLite> m_window;
};

TEST_F(RunBatchTest, DefaultSettingsExtractEveryKindIntoOneSubfolder) {
    EXPECT_EQ(run({"a.zip", "b.rar", "c.ace", "notes.txt"}), Outcome::FinishedClean);
    ASSERT_EQ(m_adapters.calls.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(m_adapters.calls[i].kind, (Names{"ZIP", "RAR", "ACE"}[i]));
        EXPECT_EQ(m_adapters.calls[i].destination, in("Briskoed"));
    }
    EXPECT_EQ(doneNames(), (Names{"a.zip", "b.rar", "c.ace"}));
    EXPECT_EQ(control<QListWidget>("lstDone")->count(), 3);
    EXPECT_FALSE(m_window->isVisible());
    EXPECT_TRUE(m_dialogs.messages.empty());
    const records::UnzipOptions& zip = m_adapters.calls[0].zip;
    EXPECT_EQ(zip.lpszZipFN, in("a.zip"));
    EXPECT_EQ((std::vector<int>{zip.ExtractOnlyNewer, zip.nfflag, zip.noflag, zip.PromptToOverwrite,
                                zip.ndflag, zip.nvflag, zip.nzflag}),
              (std::vector<int>{1, 1, 1, 0, 1, 0, 0}));

    // The overwrite prompt's "Yes To All" changes the settings during the run; the next ZIP follows.
    m_state.settings = {0, 1, 1, 1, 0, 0, "Briskoed", 0, 0, 0};
    m_adapters.cues["1.zip"] = [&](const std::string&) {
        m_state.settings.Prompt = 0;
        m_state.settings.Overwrite = 1;
        return true;
    };
    run({"1.zip", "2.zip"}, {}, m_dir / "Two");
    ASSERT_EQ(m_adapters.calls.size(), 2u);
    EXPECT_EQ(m_adapters.calls[0].zip.PromptToOverwrite, 1);
    EXPECT_EQ(m_adapters.calls[1].zip.PromptToOverwrite, 0);
    EXPECT_EQ(m_adapters.calls[1].zip.noflag, 1);
}

TEST_F(RunBatchTest, EveryDestinationIsTheArchivesFolderOrOneFolderBelowIt) {
    // The archive, separate subfolders, same folder, the subfolder's name, and the destination
    // relative to the test folder ("" = listed as failed).
    const std::tuple<const char*, std::int16_t, std::int16_t, const char*, std::string> cases[] = {
        {"x.Zip", 1, 0, "", "In/x"},
        {"x.Zip", 0, 1, "", "In"},
        {"x.Zip", 1, 1, "", "In/x"},             // separate subfolders win
        {"...zip", 1, 0, "", "In/...zip_files"}, // would be the parent folder
        {"..zip", 1, 0, "", "In/..zip_files"},   // would be the folder itself
        {".zip", 1, 0, "", "In/.zip_files"},
        {"....zip", 1, 0, "", "In/..."},
        {"a.b.zip", 1, 0, "", "In/a.b"},
        {"x.zip", 0, 0, "Out", "In/Out"},
        {"x.zip", 0, 0, "..", ""},
        {"x.zip", 0, 0, ".", ""},
        {"x.zip", 0, 0, "../outside", ""},
        {"x.zip", 0, 0, "", ""},
        {"x.zip", 0, 1, "..", "In"}, // the name is not used
    };
    for (const auto& [archive, separate, same, subfolder, destination] : cases) {
        SCOPED_TRACE(std::string(archive) + " into '" + subfolder + "'");
        test::TempDir dir;
        m_state.settings = {1, 0, 1, 1, separate, same, subfolder, 0, 0, 0};
        const Outcome outcome = run({archive}, {}, dir / "In");
        if (destination.empty()) {
            EXPECT_EQ(outcome, Outcome::FinishedWithErrors);
            EXPECT_TRUE(m_adapters.calls.empty());
            EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(dir.path()), {}), 2)
                << "In and the archive, nothing made";
            continue;
        }
        ASSERT_EQ(m_adapters.calls.size(), 1u);
        EXPECT_EQ(m_adapters.calls[0].destination, dir / destination);
        EXPECT_TRUE(platform::FolderExists(dir / destination));
    }
}

TEST_F(RunBatchTest, FurtherPassesExtractArchivesThatCameOutOfArchivesButNotForever) {
    m_state.settings.ZipsInZips = 1;
    m_adapters.cues["outer.zip"] = [](const std::string& destination) {
        return test::WriteFile(destination + "/inner.zip"), true;
    };
    m_state.settings.SameFolder = 1; // the inner archive lands beside the outer one
    run({"outer.zip"});
    EXPECT_EQ(m_adapters.archives, (Names{"outer.zip", "inner.zip"}));
    EXPECT_EQ(doneNames(), (Names{"outer.zip", "inner.zip", "outer.zip", "inner.zip", "outer.zip"}));

    // In one common subfolder without recursion the next pass does not look where it landed.
    m_state.settings.SameFolder = 0;
    run({"outer.zip"}, {}, m_dir / "Other");
    EXPECT_EQ(m_adapters.archives, (Names{"outer.zip"}));
    EXPECT_TRUE(test::Exists(m_dir / "Other/Briskoed/inner.zip"));

    // An archive that holds itself stops after the last pass, with the rest listed.
    m_state.settings.Recurse = 1;
    m_adapters.cues["r.zip"] = [](const std::string& destination) {
        return test::WriteFile(destination + "/r.zip"), true;
    };
    EXPECT_EQ(run({"r.zip"}, {}, m_dir / "Self"), Outcome::FinishedWithErrors);
    EXPECT_EQ(m_adapters.calls.size(), static_cast<std::size_t>(batch::kMaxPasses));
    EXPECT_EQ(errors().trimmed().toStdString(),
              m_adapters.calls.back().destination + "/r.zip  (" + batch::kTooDeepReason + ")");
}

TEST_F(RunBatchTest, CancelStopsAfterTheArchiveInHandAndTheCloseBoxActsAsCancel) {
    m_state.settings.ZipsInZips = 1; // no further pass after a cancel either
    m_adapters.cues["2.zip"] = pressCancel();
    EXPECT_EQ(run({"1.zip", "2.zip", "3.zip", "4.zip", "5.zip"}), Outcome::FinishedClean);
    EXPECT_EQ(m_adapters.archives, (Names{"1.zip", "2.zip"}));
    EXPECT_EQ(doneNames(), (Names{"1.zip", "2.zip"}));
    EXPECT_FALSE(control<QPushButton>("cmdCancel")->isEnabled());

    bool stillVisible = false;
    m_adapters.cues["1.zip"] = [&](const std::string&) {
        m_window->close();
        return stillVisible = m_window->isVisible(), true;
    };
    EXPECT_EQ(run({}), Outcome::FinishedClean);
    EXPECT_TRUE(stillVisible) << "the close box is refused during a run";
    EXPECT_EQ(m_adapters.archives, (Names{"1.zip"}));
}

TEST_F(RunBatchTest, FailuresAreListedAndOnlyWhatWasExtractedIsTrashed) {
    m_state.settings.DeleteOriginals = 1;
    m_adapters.cues["b.rar"] = [](const std::string&) { return false; };
    // c.ace and c.c00 carry ACE main headers that mark them as volumes of one set.
    for (const char* volume : {"c.ace", "c.c00"}) {
        test::WriteFile(in(volume), std::string("\0\0\x1b\0\0\0\x08**ACE**", 14));
    }
    EXPECT_EQ(run({"a.zip", "b.rar", "b.r00"}), Outcome::FinishedWithErrors);
    EXPECT_EQ(errors(), QString::fromStdString(in("b.rar") + "\n"));
    for (const char* trashed : {"a.zip", "c.ace", "c.c00"}) {
        EXPECT_TRUE(test::Exists(m_home / ("Trash/files/" + std::string(trashed)))) << trashed;
    }
    EXPECT_TRUE(test::Exists(in("b.rar")) && test::Exists(in("b.r00")));
    // What the user is left with.
    EXPECT_TRUE(m_window->isVisible() && control("lblErrors")->isVisible());
    EXPECT_EQ(m_window->frameGeometry().height(), 5430 / 15) << "grown to show the list";
    EXPECT_EQ(control("lblCurrentZipfile")->text(), "Finished, but with errors.");

    // Nothing is trashed after a cancel, nor unless deletion is exactly 1.
    m_adapters.cues["x.zip"] = pressCancel();
    run({"x.zip"}, {}, m_dir / "Cancelled");
    m_state.settings.DeleteOriginals = 2;
    run({"y.zip"}, {}, m_dir / "Off");
    EXPECT_EQ(m_adapters.archives, Names{"y.zip"});
    EXPECT_TRUE(test::Exists(m_dir / "Cancelled/x.zip") && test::Exists(m_dir / "Off/y.zip"));

    m_adaptersSet = engines::EngineAdapters{&m_adapters, nullptr, nullptr};
    EXPECT_EQ(run({"a.zip", "b.rar", "c.ace"}, {}, m_dir / "NoEngine"), Outcome::FinishedWithErrors);
    EXPECT_EQ(errors().toStdString(), m_dir / "NoEngine/b.rar\n" + m_dir / "NoEngine/c.ace\n");
}

TEST_F(RunBatchTest, NoArchivesOrAFolderThatIsMissingOrBeingExtracted) {
    for (const auto& [zipsInZips, messages] : {std::pair{0, 1u}, {1, 0u}, {2, 0u}}) {
        m_state.settings.ZipsInZips = static_cast<std::int16_t>(zipsInZips);
        m_dialogs.messages.clear();
        EXPECT_EQ(run({"notes.txt"}), Outcome::FinishedClean);
        EXPECT_EQ(m_dialogs.messages.size(), messages) << "no archives found: " << zipsInZips;
        EXPECT_FALSE(m_window->isVisible());
    }
    test::WriteFile(in("a.zip"));
    platform::FolderLock otherRun;
    ASSERT_EQ(otherRun.lock(m_dir / "In"), platform::FolderLock::Result::Locked);
    const std::pair<std::string, std::string> cases[] = {
        {"\"" + m_dir / "missing" + "\"", "The folder " + m_dir / "missing" + " does not exist."},
        {in("a.zip"), "The folder " + in("a.zip") + " does not exist."},
        {m_dir / "In/", "The folder " + m_dir / "In" + " is already being extracted."},
    };
    for (const auto& [commandLine, message] : cases) {
        m_dialogs.messages.clear();
        EXPECT_EQ(run({}, commandLine), Outcome::Refused) << commandLine;
        EXPECT_EQ(m_dialogs.messages, Names{message});
        EXPECT_FALSE(m_window->isVisible());
        EXPECT_TRUE(m_adapters.calls.empty() && m_state.DoneList.empty());
    }
}

} // namespace
} // namespace brisko::ui
