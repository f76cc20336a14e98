// The batch run driven through the real progress window (offscreen), with recording engine adapters.
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
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
        handle({"ZIP", state.unzipOptions.lpszZipFN, state.unzipOptions.lpszExtractDir, state.unzipOptions},
               state);
    }
    void UnrarArchive(std::string& archive, std::string& destination, engines::ProgressDisplay&,
                      std::string& password, records::ProcessState& state) override {
        EXPECT_TRUE(password.empty());
        handle({"RAR", archive, destination, {}}, state);
    }
    void UnaceArchive(std::string archive, std::string destination, engines::ProgressDisplay&,
                      std::string password, records::ProcessState& state) override {
        EXPECT_TRUE(password.empty());
        handle({"ACE", archive, destination, {}}, state);
    }

    std::vector<std::string> archiveNames() const {
        std::vector<std::string> names;
        for (const auto& call : calls) {
            names.push_back(batch::FileNameOf(call.archive));
        }
        return names;
    }

    std::vector<Call> calls;
    std::map<std::string, Cue> cues;

private:
    void handle(Call call, records::ProcessState& state) {
        calls.push_back(call);
        const auto cue = cues.find(batch::FileNameOf(call.archive));
        const bool ok = cue == cues.end() || cue->second(call.destination);
        state.result.Succeeded = ok ? records::kTrue : records::kFalse;
    }
};

using test::RecordingDialogs;

class RunBatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureQApplication();
        records::Settings& s = m_state.settings; // what an empty settings store gives
        s.Overwrite = s.Newer = s.SingleSub = 1;
        s.SubFolderName = "Briskoed";
    }

    // Creates the files (relative to the input folder "In") and runs the batch on the folder.
    Outcome run(const std::vector<std::string>& files, const std::string& commandLine = {}) {
        for (const auto& file : files) {
            test::WriteFile(in(file), file);
        }
        m_window = std::make_unique<frmBriskoLite>(m_state, m_dialogs, m_adaptersSet,
                                                   platform::TrashPlaces{m_home / "Trash"});
        return m_window->Form_Load(commandLine.empty() ? m_dir / "In" : commandLine);
    }

    std::string in(const std::string& relative) const { return m_dir / ("In/" + relative); }
    template <typename T> T* control(const char* name) const { return m_window->findChild<T*>(name); }
    QString text(const char* label) const { return control<QLabel>(label)->text(); }
    std::vector<std::string> doneNames() const {
        std::vector<std::string> names;
        for (const auto& path : m_state.DoneList) {
            names.push_back(batch::FileNameOf(path));
        }
        return names;
    }
    QStringList errorLines() const {
        return control<QPlainTextEdit>("txtErrors")
            ->toPlainText()
            .split(QRegularExpression("\r?\n"), Qt::SkipEmptyParts);
    }
    // Clicks Cancel, as a user would while an archive is being extracted.
    RecordingAdapters::Cue pressCancel() {
        return [this](const std::string&) {
            control<QPushButton>("cmdCancel")->click();
            return true;
        };
    }

    test::TempDir m_dir, m_home;
    records::ProcessState m_state;
    RecordingDialogs m_dialogs;
    RecordingAdapters m_adapters;
    engines::EngineAdapters m_adaptersSet{&m_adapters, &m_adapters, &m_adapters};
    std::unique_ptr<frmBriskoLite> m_window;
};

TEST_F(RunBatchTest, DefaultSettingsExtractEveryKindIntoOneSubfolder) {
    std::vector<std::string> shown;
    for (const char* name : {"a.zip", "b.rar", "c.ace"}) {
        m_adapters.cues[name] = [&](const std::string&) {
            shown.push_back(text("lblToDir").toStdString() + " " + text("lblCurrentZipfile").toStdString());
            return true;
        };
    }
    EXPECT_EQ(run({"a.zip", "b.rar", "c.ace", "notes.txt"}), Outcome::FinishedClean);

    ASSERT_EQ(m_adapters.calls.size(), 3u);
    const char* kinds[] = {"ZIP", "RAR", "ACE"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(m_adapters.calls[i].kind, kinds[i]);
        EXPECT_EQ(shown[i], "'In/Briskoed' " + m_adapters.calls[i].archive);
    }
    // Created for a.zip (the ZIP engine gets it without its trailing separator), then found existing
    // and passed on as built.
    for (const auto& call : m_adapters.calls) {
        EXPECT_EQ(call.destination, in("Briskoed")) << call.archive;
    }
    EXPECT_TRUE(platform::FolderExists(in("Briskoed")));
    EXPECT_EQ(doneNames(), (std::vector<std::string>{"a.zip", "b.rar", "c.ace"}));
    EXPECT_EQ(control<QListWidget>("lstDone")->count(), 3);
    EXPECT_FALSE(m_window->isVisible());
    EXPECT_TRUE(m_dialogs.messages.empty());

    const records::UnzipOptions& zip = m_adapters.calls[0].zip;
    EXPECT_EQ(zip.lpszZipFN, in("a.zip"));
    EXPECT_EQ((std::vector<int>{zip.ExtractOnlyNewer, zip.nfflag, zip.noflag, zip.PromptToOverwrite,
                                zip.ndflag, zip.nvflag, zip.nzflag}),
              (std::vector<int>{1, 1, 1, 0, 1, 0, 0}));
}

TEST_F(RunBatchTest, DestinationModes) {
    const struct {
        std::int16_t separate, same;
        const char* destination;
        const char* toDir;
    } cases[] = {
        {1, 0, "In/x", "'In/x'"}, {0, 1, "In", "'In'"}, {1, 1, "In/x", "'In/x'"}, // separate subfolders win
    };
    for (const auto& c : cases) {
        m_state.settings.SeparateSubs = c.separate;
        m_state.settings.SameFolder = c.same;
        m_state.DoneList.clear();
        m_adapters.calls.clear();
        std::string toDir;
        m_adapters.cues["x.Zip"] = [&](const std::string&) {
            toDir = text("lblToDir").toStdString();
            return true;
        };
        run({"x.Zip"});
        ASSERT_EQ(m_adapters.calls.size(), 1u);
        EXPECT_EQ(m_adapters.calls[0].kind, "ZIP");
        EXPECT_EQ(m_adapters.calls[0].destination, m_dir / c.destination);
        EXPECT_EQ(toDir, c.toDir);
    }
}

TEST_F(RunBatchTest, EveryDestinationIsTheArchivesFolderOrOneFolderBelowIt) {
    const struct {
        const char* archive;
        std::int16_t separate, same;
        const char* subfolder;
        const char* destination; // relative to the test folder; "" = listed as failed
    } cases[] = {
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
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.archive) + " into '" + c.subfolder + "'");
        test::TempDir dir;
        test::WriteFile(dir / ("In/" + std::string(c.archive)));
        m_state.settings.SeparateSubs = c.separate;
        m_state.settings.SameFolder = c.same;
        m_state.settings.SubFolderName = c.subfolder;
        m_state.DoneList.clear();
        m_adapters.calls.clear();
        m_window = std::make_unique<frmBriskoLite>(m_state, m_dialogs, m_adaptersSet, platform::TrashPlaces{});
        const Outcome outcome = m_window->Form_Load(dir / "In");
        if (*c.destination == '\0') {
            EXPECT_EQ(outcome, Outcome::FinishedWithErrors);
            EXPECT_TRUE(m_adapters.calls.empty());
            std::vector<std::string> tree;
            for (const auto& item : std::filesystem::recursive_directory_iterator(dir.path())) {
                tree.push_back(item.path().lexically_relative(dir.path()).string());
            }
            EXPECT_EQ(tree.size(), 2u) << "In and the archive, nothing made";
        } else {
            ASSERT_EQ(m_adapters.calls.size(), 1u);
            EXPECT_EQ(m_adapters.calls[0].destination, dir / c.destination);
            EXPECT_TRUE(platform::FolderExists(dir / c.destination));
        }
    }
}

TEST_F(RunBatchTest, OnlyTheFirstVolumeOfANewStyleSetIsExtracted) {
    const struct {
        std::vector<std::string> files;
        std::vector<std::string> extracted;
    } cases[] = {
        {{"m.part1.rar", "m.part2.rar", "m.part3.rar"}, {"m.part1.rar"}},
        {{"m.part01.rar", "m.part02.rar"}, {"m.part01.rar"}},
        {{"m.part001.rar", "m.part002.rar"}, {"m.part001.rar"}},
        {{"m.part0001.rar", "m.part0002.rar"}, {"m.part0001.rar"}},
        {{"M.PART1.RAR", "M.PART2.RAR"}, {"M.PART1.RAR", "M.PART2.RAR"}}, // not seen as volumes
        {{"lone.part2.rar"}, {}},                                         // skipped, not failed
        {{"my.party.rar", "x.part2.zip"}, {"my.party.rar", "x.part2.zip"}},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        m_state.DoneList.clear();
        m_adapters.calls.clear();
        for (const auto& file : c.files) {
            test::WriteFile(dir / file);
        }
        m_window =
            std::make_unique<frmBriskoLite>(m_state, m_dialogs, m_adaptersSet, platform::TrashPlaces{});
        EXPECT_EQ(m_window->Form_Load(dir.path()), Outcome::FinishedClean) << c.files[0];
        EXPECT_EQ(m_adapters.archiveNames(), c.extracted) << c.files[0];
        EXPECT_EQ(m_state.DoneList.size(), c.files.size()) << "every volume is counted";
    }
}

TEST_F(RunBatchTest, FurtherPassesExtractArchivesThatCameOutOfArchives) {
    m_state.settings.ZipsInZips = 1;
    const auto leavesInner = [](const std::string& destination) {
        test::WriteFile(destination + (destination.back() == '/' ? "" : "/") + "inner.zip");
        return true;
    };
    m_adapters.cues["outer.zip"] = leavesInner;

    m_state.settings.SameFolder = 1; // the inner archive lands beside the outer one
    run({"outer.zip"});
    EXPECT_EQ(m_adapters.archiveNames(), (std::vector<std::string>{"outer.zip", "inner.zip"}));
    EXPECT_EQ(doneNames(),
              (std::vector<std::string>{"outer.zip", "inner.zip", "outer.zip", "inner.zip", "outer.zip"}));

    // In one common subfolder without recursion the next pass does not look where it landed.
    test::TempDir other;
    m_state.settings.SameFolder = 0;
    m_state.DoneList.clear();
    m_adapters.calls.clear();
    test::WriteFile(other / "outer.zip");
    m_window = std::make_unique<frmBriskoLite>(m_state, m_dialogs, m_adaptersSet, platform::TrashPlaces{});
    m_window->Form_Load(other.path());
    EXPECT_EQ(m_adapters.archiveNames(), (std::vector<std::string>{"outer.zip"}));
    EXPECT_TRUE(test::Exists(other / "Briskoed/inner.zip"));
    EXPECT_EQ(m_state.DoneList.size(), 2u);
}

TEST_F(RunBatchTest, AnArchiveThatHoldsItselfStopsAfterTheLastPassWithTheRestListed) {
    m_state.settings.ZipsInZips = 1;
    m_state.settings.Recurse = 1;
    m_adapters.cues["r.zip"] = [](const std::string& destination) {
        test::WriteFile(destination + "/r.zip");
        return true;
    };
    EXPECT_EQ(run({"r.zip"}), Outcome::FinishedWithErrors);
    EXPECT_EQ(m_adapters.calls.size(), static_cast<std::size_t>(batch::kMaxPasses));
    const std::string deepest = m_adapters.calls.back().destination + "/r.zip";
    EXPECT_EQ(control<QPlainTextEdit>("txtErrors")->toPlainText().trimmed().toStdString(),
              deepest + "  (" + batch::kTooDeepReason + ")");
}

TEST_F(RunBatchTest, CancelDuringTheSecondOfFiveStopsAfterIt) {
    m_state.settings.ZipsInZips = 1; // no further pass after a cancel either
    m_adapters.cues["2.zip"] = pressCancel();
    EXPECT_EQ(run({"1.zip", "2.zip", "3.zip", "4.zip", "5.zip"}), Outcome::FinishedClean);
    EXPECT_EQ(m_adapters.archiveNames(), (std::vector<std::string>{"1.zip", "2.zip"}));
    EXPECT_EQ(doneNames(), (std::vector<std::string>{"1.zip", "2.zip"}));
    EXPECT_FALSE(control<QPushButton>("cmdCancel")->isEnabled());
    EXPECT_EQ(m_state.result.CancelRequested, records::kTrue);
}

TEST_F(RunBatchTest, ClosingDuringTheRunActsAsCancelButIsRefused) {
    bool stillVisible = false;
    m_adapters.cues["1.zip"] = [&](const std::string&) {
        m_window->close();
        stillVisible = m_window->isVisible();
        return true;
    };
    EXPECT_EQ(run({"1.zip", "2.zip"}), Outcome::FinishedClean);
    EXPECT_TRUE(stillVisible);
    EXPECT_EQ(m_adapters.archiveNames(), (std::vector<std::string>{"1.zip"}));
    EXPECT_TRUE(control<QPushButton>("cmdCancel")->isEnabled()) << "the close box leaves the button alone";
}

TEST_F(RunBatchTest, OneFailureAmongThreeWithDeletionOn) {
    m_state.settings.DeleteOriginals = 1;
    m_adapters.cues["b.rar"] = [](const std::string&) { return false; };
    // c.ace and c.c00 carry ACE main headers that mark them as volumes of one set.
    for (const char* volume : {"c.ace", "c.c00"}) {
        test::WriteFile(in(volume), std::string("\0\0\x1b\0\0\0\x08**ACE**", 14));
    }
    EXPECT_EQ(run({"a.zip", "b.rar", "b.r00"}), Outcome::FinishedWithErrors);

    EXPECT_EQ(errorLines(), QStringList{QString::fromStdString(in("b.rar"))});
    for (const char* trashed : {"a.zip", "c.ace", "c.c00"}) {
        EXPECT_FALSE(test::Exists(in(trashed))) << trashed;
        EXPECT_TRUE(test::Exists(m_home / ("Trash/files/" + std::string(trashed)))) << trashed;
    }
    EXPECT_TRUE(test::Exists(in("b.rar")));
    EXPECT_TRUE(test::Exists(in("b.r00")));

    // What the user is left with.
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_TRUE(control<QLabel>("lblErrors")->isVisible());
    EXPECT_EQ(m_window->frameGeometry().height(), 5430 / 15);
    EXPECT_FALSE(control<QPushButton>("cmdCancel")->isEnabled());
    EXPECT_EQ(text("lblCurrentZipfile"), "Finished, but with errors.");
    EXPECT_EQ(text("lblStatus") + text("lblToDir") + text("lblTo"), "");
    EXPECT_TRUE(m_window->close()) << "after the run the window closes";
}

TEST_F(RunBatchTest, NothingIsTrashedAfterACancelOrWithDeletionOff) {
    m_state.settings.DeleteOriginals = 1;
    m_adapters.cues["a.zip"] = pressCancel();
    run({"a.zip"});
    EXPECT_TRUE(test::Exists(in("a.zip")));

    m_state.settings.DeleteOriginals = 2; // only 1 means on
    m_state.DoneList.clear();
    m_adapters.cues.clear();
    run({});
    EXPECT_EQ(m_adapters.calls.size(), 2u);
    EXPECT_TRUE(test::Exists(in("a.zip")));
}

TEST_F(RunBatchTest, KindsWithoutAnEngineAreListedAsFailed) {
    m_adaptersSet = engines::EngineAdapters{&m_adapters, nullptr, nullptr};
    EXPECT_EQ(run({"a.zip", "b.rar", "c.ace"}), Outcome::FinishedWithErrors);
    EXPECT_EQ(errorLines(),
              (QStringList{QString::fromStdString(in("b.rar")), QString::fromStdString(in("c.ace"))}));
}

TEST_F(RunBatchTest, PolicyChangesDuringTheRunReachTheNextZip) {
    m_state.settings.Prompt = 1;
    m_state.settings.Overwrite = 0;
    m_adapters.cues["1.zip"] = [&](const std::string&) { // "Yes To All" in the overwrite prompt
        m_state.settings.Prompt = 0;
        m_state.settings.Overwrite = 1;
        return true;
    };
    run({"1.zip", "2.zip"});
    ASSERT_EQ(m_adapters.calls.size(), 2u);
    EXPECT_EQ(m_adapters.calls[0].zip.PromptToOverwrite, 1);
    EXPECT_EQ(m_adapters.calls[1].zip.PromptToOverwrite, 0);
    EXPECT_EQ(m_adapters.calls[1].zip.noflag, 1);
}

TEST_F(RunBatchTest, NoArchivesFound) {
    const struct {
        std::int16_t zipsInZips;
        std::size_t messages;
    } cases[] = {{0, 1}, {1, 0}, {2, 0}};
    for (const auto& c : cases) {
        m_state.settings.ZipsInZips = c.zipsInZips;
        m_dialogs.messages.clear();
        EXPECT_EQ(run({"notes.txt"}), Outcome::FinishedClean);
        EXPECT_EQ(m_dialogs.messages.size(), c.messages);
        EXPECT_FALSE(m_window->isVisible());
    }
}

TEST_F(RunBatchTest, AFolderThatIsMissingOrBeingExtractedIsRefused) {
    test::WriteFile(in("a.zip"));
    platform::FolderLock otherRun;
    ASSERT_EQ(otherRun.lock(m_dir / "In"), platform::FolderLock::Result::Locked);
    const struct {
        std::string commandLine;
        std::string message;
    } cases[] = {
        {"\"" + m_dir / "missing" + "\"", "The folder " + m_dir / "missing" + " does not exist."},
        {in("a.zip"), "The folder " + in("a.zip") + " does not exist."},
        {m_dir / "In/", "The folder " + m_dir / "In" + " is already being extracted."},
    };
    for (const auto& c : cases) {
        for (const std::int16_t zipsInZips : {0, 1}) {
            m_state.settings.ZipsInZips = zipsInZips;
            m_dialogs.messages.clear();
            EXPECT_EQ(run({}, c.commandLine), Outcome::Refused) << c.commandLine;
            EXPECT_EQ(m_dialogs.messages, std::vector<std::string>{c.message});
            EXPECT_FALSE(m_window->isVisible());
        }
    }
    EXPECT_TRUE(m_adapters.calls.empty());
    EXPECT_TRUE(m_state.DoneList.empty());
}

} // namespace
} // namespace brisko::ui
