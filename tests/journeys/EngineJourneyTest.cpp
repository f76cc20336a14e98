// The batch run through the progress window with the real RAR and ACE engines, on real archives and
// fixture sets in one folder: volume sets of both RAR naming styles, an ACE set, encrypted archives
// whose password is typed when asked, and a broken archive.
// Faults this group exists to catch: a set not joined across its volumes, a volume of a set trashed
// while another is not (or anything trashed that was not extracted), a password asked for but not
// used, the broken archive not listed, a good one listed.
#include <QPlainTextEdit>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>

#include "engines/mdlUnACE.h"
#include "engines/mdlUnRAR.h"
#include "support/QtApp.h"
#include "support/RarFixtures.h"
#include "support/RecordingDialogs.h"
#include "support/TempDir.h"
#include "ui/frmBriskoLite.h"

namespace brisko::test {
namespace {

namespace fs = std::filesystem;

TEST(EngineJourney, RarAndAceSetsAndEncryptedArchivesAreExtractedTrashedAndOnlyTheBrokenOneFails) {
    const std::string rar = BRISKO_RAR_TESTDATA, ace = std::string(BRISKO_ACE_TESTDATA) + "/unace-tests-v1";
    if (!fs::exists(rar + "/rar4-enc-files-only") || !fs::exists(ace + "/passwd.ace")) {
        GTEST_SKIP() << "the sample archives are not there: " << rar << ", " << ace;
    }
    EnsureQApplication();
    TempDir in, home;
    const std::string big(300000, 'v');
    WriteRar(in / "new", {{"new/big.bin", big}, {"new/small.txt", "s"}}, RarFormat::Rar5, 3);
    WriteRar(in / "old", {{"old/big.bin", big}, {"old/note.txt", "n"}}, RarFormat::Rar4, 3, true);
    fs::copy_file(rar + "/rar4-enc-files-only/Rar.encrypted_filesOnly.rar", in / "secret.rar");
    for (const char* name : {"onefile.ace", "multivolume.ace", "multivolume.c00", "multivolume.c01",
                             "passwd.ace", "out_of_bounds.ace"}) {
        fs::copy_file(ace + "/" + name, in / name);
    }
    records::ProcessState state;
    state.settings.SameFolder = 1;
    state.settings.DeleteOriginals = 1;
    RecordingDialogs dialogs;
    // In the order of the names passwd.ace asks before secret.rar; each asks once.
    dialogs.answers = {"pass", "test"};
    engines::mdlUnRAR rarEngine(dialogs, UNRAR_LIBRARY);
    engines::mdlUnACE aceEngine(dialogs, UNACE_LIBRARY);
    const engines::EngineAdapters adapters{nullptr, &rarEngine, &aceEngine};
    ui::frmBriskoLite window(state, dialogs, adapters, platform::TrashPlaces{home / "Trash"});

    EXPECT_EQ(window.Form_Load(in.path()), ui::frmBriskoLite::LoadOutcome::FinishedWithErrors);
    EXPECT_EQ(ReadFile(in / "new/big.bin"), big);
    EXPECT_EQ(ReadFile(in / "old/big.bin"), big);
    EXPECT_EQ(ReadFile(in / "old/note.txt"), "n");
    EXPECT_EQ(fs::file_size(in / "exe/test.exe"), 45056u);
    EXPECT_EQ(fs::file_size(in / "CHANGES.LOG"), 38729u);
    EXPECT_EQ(ReadFile(in / "passwd.m4"), ReadFile(in / "aclocal/gettext.m4"));
    EXPECT_EQ(dialogs.prompts.size(), 2u);
    EXPECT_EQ(window.findChild<QPlainTextEdit*>("txtErrors")->toPlainText().toStdString(),
              in / "out_of_bounds.ace  (damaged data)\n");
    std::set<std::string> trashed;
    for (const auto& item : fs::directory_iterator(home / "Trash/files")) {
        trashed.insert(item.path().filename());
    }
    EXPECT_EQ(trashed,
              (std::set<std::string>{"multivolume.ace", "multivolume.c00", "multivolume.c01", "new.part1.rar",
                                     "new.part2.rar", "new.part3.rar", "old.r00", "old.r01", "old.rar",
                                     "onefile.ace", "passwd.ace", "secret.rar"}));
    EXPECT_TRUE(Exists(in / "out_of_bounds.ace"));
}

} // namespace
} // namespace brisko::test
