#include "startup/SettingsStore.h"

#include <QFile>
#include <QSettings>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/TempDir.h"

namespace brisko::startup {
namespace {

class SettingsStoreTest : public ::testing::Test {
protected:
    QString iniPath() const { return QString::fromStdString(m_dir / m_name); }

    // Writes raw INI text, as a user with an editor would, to a new file: QSettings caches a file
    // it has read and would not notice a rewrite of the same size within the same second.
    void writeIni(const std::string& body) {
        m_name = "cfg" + std::to_string(++m_files) + "/Brisko/Brisko.ini";
        test::WriteFile(m_dir / m_name, "[Options]\n" + body);
    }

    records::Settings load() {
        SettingsStore store(iniPath());
        return LoadSettings(store);
    }

    test::TempDir m_dir;
    std::string m_name = "cfg/Brisko/Brisko.ini";
    int m_files = 0;
};

TEST_F(SettingsStoreTest, EmptyStoreGivesTheDefaults) {
    const records::Settings s = load();
    EXPECT_EQ(s.Overwrite, 1);
    EXPECT_EQ(s.Prompt, 0);
    EXPECT_EQ(s.Newer, 1);
    EXPECT_EQ(s.SingleSub, 1);
    EXPECT_EQ(s.SeparateSubs, 0);
    EXPECT_EQ(s.SameFolder, 0);
    EXPECT_EQ(s.SubFolderName, "Briskoed");
    EXPECT_EQ(s.DeleteOriginals, 0);
    EXPECT_EQ(s.ZipsInZips, 0);
    EXPECT_EQ(s.Recurse, 0);
    EXPECT_FALSE(QFile::exists(iniPath())) << "loading creates nothing";
}

TEST_F(SettingsStoreTest, StoredTextsAreReadAsTheyStand) {
    const struct {
        const char* stored;
        std::int16_t Overwrite, Newer, DeleteOriginals, Recurse;
    } cases[] = {
        // Newer 1 forces Overwrite to 1.
        {"Newer=1\nOverwrite=0\n", 1, 1, 0, 0},
        {"Newer=0\nOverwrite=0\n", 0, 0, 0, 0},
        // Values other than 0 and 1 are kept; each reader applies its own test.
        {"DeleteOriginals=2\nRecurse=-1\n", 1, 1, 2, -1},
        {"DeleteOriginals=-1\nRecurse=2\n", 1, 1, -1, 2},
        {"Recurse=\" 1 \"\nDeleteOriginals=+1\n", 1, 1, 1, 1},
        {"Recurse=-32768\nDeleteOriginals=32767\n", 1, 1, 32767, -32768},
        // Not a 16-bit number: the field stays 0, so unreadable Overwrite and Newer mean "skip".
        {"Overwrite=yes\nNewer=\n", 0, 0, 0, 0},
        {"Overwrite=1.5\nNewer=32768\n", 0, 0, 0, 0},
        {"Recurse=0x1\nDeleteOriginals=-32769\n", 1, 1, 0, 0},
    };
    for (const auto& c : cases) {
        writeIni(c.stored);
        const records::Settings s = load();
        EXPECT_EQ(s.Overwrite, c.Overwrite) << c.stored;
        EXPECT_EQ(s.Newer, c.Newer) << c.stored;
        EXPECT_EQ(s.DeleteOriginals, c.DeleteOriginals) << c.stored;
        EXPECT_EQ(s.Recurse, c.Recurse) << c.stored;
    }
}

TEST_F(SettingsStoreTest, SaveWritesDecimalTextsThatLoadBack) {
    records::Settings s;
    s.Overwrite = 0;
    s.Prompt = 1;
    s.Newer = 0;
    s.SingleSub = 0;
    s.SeparateSubs = 1;
    s.SameFolder = 0;
    s.SubFolderName = "Entpackt, ä ö";
    s.DeleteOriginals = 1;
    s.ZipsInZips = 1;
    s.Recurse = 1;
    {
        SettingsStore store(iniPath());
        ASSERT_TRUE(SaveSettings(store, s));
    }
    QSettings raw(iniPath(), QSettings::IniFormat);
    const QStringList keys{"Overwrite",  "Prompt",          "Newer",      "SingleSub", "SeparateSubs",
                           "SameFolder", "DeleteOriginals", "ZipsInZips", "Recurse"};
    const QStringList texts{"0", "1", "0", "0", "1", "0", "1", "1", "1"};
    for (int i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(raw.value("Options/" + keys[i]).toString(), texts[i]) << keys[i].toStdString();
    }
    const records::Settings back = load();
    EXPECT_EQ(back.Prompt, 1);
    EXPECT_EQ(back.Overwrite, 0);
    EXPECT_EQ(back.SeparateSubs, 1);
    EXPECT_EQ(back.SubFolderName, s.SubFolderName);
    EXPECT_EQ(back.Recurse, 1);
}

TEST_F(SettingsStoreTest, FileIsReadableByItsOwnerOnly) {
    SettingsStore store(iniPath());
    store.writeText("Bird", "secret");
    ASSERT_TRUE(store.sync());
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(iniPath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((m_dir / "cfg/Brisko").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u) << "the folder we create is private too";

}

TEST_F(SettingsStoreTest, AFileThatExistsKeepsItsModeAndALinkStaysALink) {
    // The user keeps the settings elsewhere, behind a link, with a mode of their choosing.
    test::WriteFile(m_dir / "dotfiles/Brisko.ini", "[Options]\nRecurse=1\n");
    ASSERT_EQ(chmod((m_dir / "dotfiles/Brisko.ini").c_str(), 0640), 0);
    test::WriteFile(m_dir / m_name);
    std::remove((m_dir / m_name).c_str());
    ASSERT_EQ(symlink((m_dir / "dotfiles/Brisko.ini").c_str(), (m_dir / m_name).c_str()), 0);
    {
        SettingsStore store(iniPath()); // as a run: load, remember a password, go
        EXPECT_EQ(LoadSettings(store).Recurse, 1);
        SettingsValueStore(store).WriteValue("Bird", "secret");
    }
    struct stat st {};
    ASSERT_EQ(lstat((m_dir / m_name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat((m_dir / "dotfiles/Brisko.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_NE(test::ReadFile(m_dir / "dotfiles/Brisko.ini").find("Bird="), std::string::npos);
}

TEST_F(SettingsStoreTest, AStoredSubfolderNameTheOptionsWouldRefuseIsReplaced) {
    const struct {
        const char* stored; // nullptr: absent
        const char* loaded;
        bool replaced;
    } cases[] = {
        {nullptr, "Briskoed", false},   {"Out", "Out", false},  {"...", "...", false},
        {"..", "Briskoed", true},       {".", "Briskoed", true}, {"../outside", "Briskoed", true},
        {"a/../../x", "Briskoed", true}, {"", "Briskoed", true},  {"why?", "Briskoed", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "(absent)");
        writeIni(c.stored ? "SubFolderName=\"" + std::string(c.stored) + "\"\n" : "");
        SettingsStore store(iniPath());
        std::optional<std::string> replaced;
        EXPECT_EQ(LoadSettings(store, &replaced).SubFolderName, c.loaded);
        EXPECT_EQ(replaced.has_value(), c.replaced);
    }
}

TEST_F(SettingsStoreTest, AnyTextOfCharacters0To255SurvivesTheRoundTrip) {
    QString every;
    for (int c = 0; c < 256; ++c) {
        every += QChar(c);
    }
    const QString samples[] = {every,
                               QStringLiteral(" lead and trail "),
                               QStringLiteral("a,b;c=d"),
                               QStringLiteral("@Variant(x)"),
                               QStringLiteral("\"quoted\""),
                               QString(),
                               QStringLiteral("line\r\nbreak\\")};
    for (const QString& text : samples) {
        {
            SettingsStore store(iniPath());
            store.writeText("Bird", text);
        }
        SettingsStore fresh(iniPath());
        EXPECT_EQ(fresh.readText("Bird", "absent"), text) << text.toStdString();
    }
    SettingsStore fresh(iniPath());
    EXPECT_EQ(fresh.readText("NoSuchKey", "absent"), "absent");

    // The engines' byte values travel through the same store.
    std::string bytes;
    for (int c = 255; c >= 0; --c) {
        bytes += static_cast<char>(c);
    }
    {
        SettingsStore store(iniPath());
        SettingsValueStore(store).WriteValue("Bird", bytes);
    }
    SettingsStore again(iniPath());
    EXPECT_EQ(SettingsValueStore(again).ReadValue("Bird"), bytes);
    EXPECT_EQ(SettingsValueStore(again).ReadValue("Nothing"), "");
}

TEST(SettingsStorePath, FollowsXdgConfigHome) {
    qputenv("XDG_CONFIG_HOME", "/tmp/xdg-test-config");
    EXPECT_EQ(SettingsStore::DefaultPath(), "/tmp/xdg-test-config/Brisko/Brisko.ini");
}

} // namespace
} // namespace brisko::startup
