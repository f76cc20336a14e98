// The batch run with the real RAR engine: volume sets in both naming styles and an encrypted
// archive in one folder, extracted through the progress window with the password typed once, and
// every volume trashed afterwards.
#include <filesystem>
#include <gtest/gtest.h>

#include "engines/mdlUnRAR.h"
#include "support/QtApp.h"
#include "support/RarFixtures.h"
#include "support/RecordingDialogs.h"
#include "support/TempDir.h"
#include "ui/frmBriskoLite.h"

namespace brisko::test {
namespace {

TEST(RarJourney, SetsOfBothStylesAndAnEncryptedArchiveAreExtractedAndTrashed) {
    const std::string encrypted =
        std::string(BRISKO_RAR_TESTDATA) + "/rar4-enc-files-only/Rar.encrypted_filesOnly.rar";
    if (!std::filesystem::exists(encrypted)) {
        GTEST_SKIP() << "the sample archives are not there: " << encrypted;
    }
    EnsureQApplication();
    TempDir in, home;
    const std::string big(300000, 'v');
    const auto newStyle =
        WriteRar(in / "new", {{"new/big.bin", big}, {"new/small.txt", "s"}}, RarFormat::Rar5, 3);
    const auto oldStyle =
        WriteRar(in / "old", {{"old/big.bin", big}, {"old/note.txt", "n"}}, RarFormat::Rar4, 3, true);
    std::filesystem::copy_file(encrypted, in / "secret.rar");

    records::ProcessState state;
    state.settings.SameFolder = 1;
    state.settings.DeleteOriginals = 1;
    RecordingDialogs dialogs;
    dialogs.answers = {"test", "test"}; // the test pass and the extraction pass each ask once
    engines::mdlUnRAR rar(dialogs, UNRAR_LIBRARY);
    const engines::EngineAdapters adapters{nullptr, &rar, nullptr};
    ui::frmBriskoLite window(state, dialogs, adapters, platform::TrashPlaces{home / "Trash"});

    EXPECT_EQ(window.Form_Load(in.path()), ui::frmBriskoLite::LoadOutcome::FinishedClean);
    EXPECT_EQ(ReadFile(in / "new/big.bin"), big);
    EXPECT_EQ(ReadFile(in / "old/note.txt"), "n");
    EXPECT_EQ(std::filesystem::file_size(in / "exe/test.exe"), 45056u);
    EXPECT_FALSE(dialogs.prompts.empty());
    for (const auto& volume : newStyle) {
        EXPECT_FALSE(Exists(volume)) << volume;
    }
    for (const auto& volume : oldStyle) {
        EXPECT_FALSE(Exists(volume)) << volume;
    }
    EXPECT_FALSE(Exists(in / "secret.rar"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home / "Trash/files"),
                            std::filesystem::directory_iterator()),
              7);
}

} // namespace
} // namespace brisko::test
