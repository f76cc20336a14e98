// The batch run with the real ACE engine: a plain archive, a multi-volume set, an encrypted archive
// whose password is typed when asked, and a broken archive in one folder, extracted through the
// progress window; only the broken one is reported as failed.
#include <QPlainTextEdit>
#include <filesystem>
#include <gtest/gtest.h>

#include "engines/mdlUnACE.h"
#include "support/QtApp.h"
#include "support/RecordingDialogs.h"
#include "support/TempDir.h"
#include "ui/frmBriskoLite.h"

namespace brisko::test {
namespace {

TEST(AceJourney, PlainMultiVolumeAndEncryptedArchivesAreExtractedAndOnlyTheBrokenOneFails) {
    const std::string samples = std::string(BRISKO_ACE_TESTDATA) + "/unace-tests-v1";
    if (!std::filesystem::exists(samples + "/passwd.ace")) {
        GTEST_SKIP() << "the ACE sample archives are not there: " << samples;
    }
    EnsureQApplication();
    TempDir in, home;
    for (const char* name : {"onefile.ace", "multivolume.ace", "multivolume.c00", "multivolume.c01",
                             "passwd.ace", "out_of_bounds.ace"}) {
        std::filesystem::copy_file(samples + "/" + name, in / name);
    }

    records::ProcessState state;
    state.settings.SameFolder = 1;
    RecordingDialogs dialogs;
    dialogs.answers = {"pass", "pass"};
    engines::mdlUnACE ace(dialogs, UNACE_LIBRARY);
    const engines::EngineAdapters adapters{nullptr, nullptr, &ace};
    ui::frmBriskoLite window(state, dialogs, adapters, platform::TrashPlaces{home / "Trash"});

    EXPECT_EQ(window.Form_Load(in.path()), ui::frmBriskoLite::LoadOutcome::FinishedWithErrors);
    EXPECT_EQ(std::filesystem::file_size(in / "CHANGES.LOG"), 38729u);
    EXPECT_GT(std::filesystem::file_size(in / "aclocal/libtool.m4"), 0u);
    EXPECT_GT(std::filesystem::file_size(in / "aclocal/ltargz.m4"), 0u);
    EXPECT_EQ(ReadFile(in / "passwd.m4"), ReadFile(in / "aclocal/gettext.m4"));
    EXPECT_FALSE(dialogs.prompts.empty());

    const auto* errors = window.findChild<QPlainTextEdit*>("txtErrors");
    ASSERT_NE(errors, nullptr);
    const std::string listed = errors->toPlainText().toStdString();
    EXPECT_NE(listed.find("out_of_bounds.ace"), std::string::npos) << listed;
    for (const char* name : {"onefile.ace", "multivolume", "passwd.ace"}) {
        EXPECT_EQ(listed.find(name), std::string::npos) << name << " listed in: " << listed;
    }
}

} // namespace
} // namespace brisko::test
