// The settings store: what an empty or hand-edited file loads as, what saving writes, the file's
// privacy, and texts and bytes kept exactly.
// Faults this group exists to catch:
// - a default value changed (an empty store must give the ten documented values);
// - "Newer" no longer forcing "Overwrite"; a number text misread (spaces, signs, 16-bit limits,
//   fractions, hexadecimal) or an odd value folded to 0/1 where readers apply their own test;
// - a stored subfolder name the options window would refuse ("..", "why?", "") taken as it stands;
// - saving not writing decimal texts, quoting a name badly, or not loading back the same;
// - the file or its folder readable by others; a user's link replaced by a file or their mode reset;
// - a text or byte value (all 256 characters, INI syntax, line breaks) changed on the way through;
// - the store not following XDG_CONFIG_HOME.
#include "startup/SettingsStore.h"

#include <QFile>
#include <filesystem>
#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace brisko::startup {
namespace {

namespace fs = std::filesystem;

std::string Show(const records::Settings& s) {
    return QString::asprintf("%d %d %d %d %d %d ", s.Overwrite, s.Prompt, s.Newer, s.SingleSub,
                             s.SeparateSubs, s.SameFolder)
               .toStdString() +
           s.SubFolderName +
           QString::asprintf(" %d %d %d", s.DeleteOriginals, s.ZipsInZips, s.Recurse).toStdString();
}

TEST(SettingsStore, LoadGivesTheDefaultsAndReadsStoredTextsAsTheyStand) {
    // The stored text, and what loads: Overwrite Prompt Newer SingleSub SeparateSubs SameFolder, the
    // name, Delete ZipsInZips Recurse. A stored name that loads as "Briskoed" was replaced.
    const std::pair<std::string, std::string> cases[] = {
        {"", "1 0 1 1 0 0 Briskoed 0 0 0"},
        {"Newer=1\nOverwrite=0\n", "1 0 1 1 0 0 Briskoed 0 0 0"}, // Newer forces Overwrite
        {"Newer=0\nOverwrite=0\nPrompt=1\nSingleSub=0\nSeparateSubs=1\nSameFolder=1\nZipsInZips=1\n",
         "0 1 0 0 1 1 Briskoed 0 1 0"},
        // Values other than 0 and 1 are kept; each reader applies its own test.
        {"DeleteOriginals=2\nRecurse=-1\n", "1 0 1 1 0 0 Briskoed 2 0 -1"},
        {"Recurse=\" 1 \"\nDeleteOriginals=+1\n", "1 0 1 1 0 0 Briskoed 1 0 1"},
        {"Recurse=-32768\nDeleteOriginals=32767\n", "1 0 1 1 0 0 Briskoed 32767 0 -32768"},
        // Not a 16-bit number: the field stays 0, so unreadable Overwrite and Newer mean "skip".
        {"Overwrite=yes\nNewer=\n", "0 0 0 1 0 0 Briskoed 0 0 0"},
        {"Overwrite=1.5\nNewer=32768\nRecurse=0x1\nDeleteOriginals=-32769\n", "0 0 0 1 0 0 Briskoed 0 0 0"},
        {"SubFolderName=Out\n", "1 0 1 1 0 0 Out 0 0 0"},
        {"SubFolderName=...\n", "1 0 1 1 0 0 ... 0 0 0"},
        {"SubFolderName=..\n", "1 0 1 1 0 0 Briskoed 0 0 0"},
        {"SubFolderName=.\n", "1 0 1 1 0 0 Briskoed 0 0 0"},
        {"SubFolderName=../outside\n", "1 0 1 1 0 0 Briskoed 0 0 0"},
        {"SubFolderName=a/../../x\n", "1 0 1 1 0 0 Briskoed 0 0 0"},
        {"SubFolderName=\n", "1 0 1 1 0 0 Briskoed 0 0 0"},
        {"SubFolderName=why?\n", "1 0 1 1 0 0 Briskoed 0 0 0"},
    };
    test::TempDir dir;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [stored, loaded] = cases[i];
        SCOPED_TRACE(stored);
        // A new file each time: QSettings caches a file it has read and would not notice a rewrite of
        // the same size within the same second.
        const std::string path = dir / (std::to_string(i) + "/Brisko.ini");
        if (!stored.empty()) {
            test::WriteFile(path, "[Options]\n" + stored);
        }
        std::optional<std::string> replaced;
        EXPECT_EQ(Show(LoadSettings(SettingsStore(QString::fromStdString(path)), &replaced)), loaded);
        EXPECT_EQ(replaced.has_value(), stored.find("SubFolderName=") != std::string::npos &&
                                            loaded.find(" Briskoed ") != std::string::npos);
        EXPECT_EQ(QFile::exists(QString::fromStdString(path)), !stored.empty()) << "loading creates nothing";
    }
}

TEST(SettingsStore, SaveWritesDecimalTextsToAPrivateFileThatLoadBack) {
    test::TempDir dir;
    const QString path = QString::fromStdString(dir / "cfg/Brisko/Brisko.ini");
    records::Settings s{0, 1, 0, 0, 1, 0, "Entpackt; \xC3\xA4=1", 2, 1, -1};
    {
        SettingsStore store(path);
        ASSERT_TRUE(SaveSettings(store, s));
    }
    EXPECT_EQ(test::ReadFile(path.toStdString()),
              "[Options]\nDeleteOriginals=2\nNewer=0\nOverwrite=0\nPrompt=1\nRecurse=-1\nSameFolder=0\n"
              "SeparateSubs=1\nSingleSub=0\nSubFolderName=\"Entpackt; \xc3\xa4=1\"\nZipsInZips=1\n");
    EXPECT_EQ(Show(LoadSettings(SettingsStore(path))), Show(s));
    EXPECT_EQ(fs::status(path.toStdString()).permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(dir / "cfg/Brisko").permissions() & fs::perms(0077), fs::perms::none)
        << "the folder we create is private too";

    // The user keeps the settings elsewhere, behind a link, with a mode of their choosing.
    test::WriteFile(dir / "dotfiles/Brisko.ini", "[Options]\nRecurse=1\n");
    fs::permissions(dir / "dotfiles/Brisko.ini", fs::perms(0640));
    fs::create_symlink(dir / "dotfiles/Brisko.ini", dir / "link.ini");
    {
        SettingsStore store(QString::fromStdString(dir / "link.ini")); // as a run: load, remember a password
        EXPECT_EQ(LoadSettings(store).Recurse, 1);
        SettingsValueStore(store).WriteValue("Bird", "secret");
    }
    EXPECT_TRUE(fs::is_symlink(dir / "link.ini"));
    EXPECT_EQ(fs::status(dir / "dotfiles/Brisko.ini").permissions(), fs::perms(0640));
    EXPECT_NE(test::ReadFile(dir / "dotfiles/Brisko.ini").find("Bird="), std::string::npos);
}

TEST(SettingsStore, TextsAndBytesSurviveTheRoundTrip) {
    test::TempDir dir;
    const QString path = QString::fromStdString(dir / "Brisko.ini");
    QString every;
    std::string bytes;
    for (int c = 0; c < 256; ++c) {
        every += QChar(c);
        bytes += static_cast<char>(255 - c);
    }
    for (const QString& text :
         {every, QStringLiteral(" lead and trail "), QStringLiteral("a,b;c=d"), QStringLiteral("@Variant(x)"),
          QStringLiteral("\"quoted\""), QString(), QStringLiteral("line\r\nbreak\\")}) {
        SettingsStore(path).writeText("Bird", text);
        EXPECT_EQ(SettingsStore(path).readText("Bird", "absent"), text) << text.toStdString();
    }
    EXPECT_EQ(SettingsStore(path).readText("NoSuchKey", "absent"), "absent");
    // The engines' byte values travel through the same store.
    {
        SettingsStore store(path);
        SettingsValueStore(store).WriteValue("Bird", bytes);
    }
    SettingsStore again(path);
    EXPECT_EQ(SettingsValueStore(again).ReadValue("Bird"), bytes);
    EXPECT_EQ(SettingsValueStore(again).ReadValue("Nothing"), "");

    qputenv("XDG_CONFIG_HOME", "/tmp/xdg-test-config");
    EXPECT_EQ(SettingsStore::DefaultPath(), "/tmp/xdg-test-config/Brisko/Brisko.ini");
}

} // namespace
} // namespace brisko::startup
