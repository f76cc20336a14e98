// `cmake --install` of this build into a temporary prefix, and the installed program at work there.
#include <archive.h>
#include <archive_entry.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

#include "install/InstallSupport.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace brisko::test {
namespace {

// One small ZIP, written with libarchive: a folder entry, a deflated file and a stored one.
void writeSmallZip(const std::string& path, const std::map<std::string, std::string>& files) {
    archive* zip = archive_write_new();
    archive_write_set_format_zip(zip);
    ASSERT_EQ(archive_write_open_filename(zip, path.c_str()), ARCHIVE_OK);
    for (const auto& [name, content] : files) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, name.c_str());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_size(entry, static_cast<la_int64_t>(content.size()));
        ASSERT_EQ(archive_write_header(zip, entry), ARCHIVE_OK);
        ASSERT_EQ(archive_write_data(zip, content.data(), content.size()),
                  static_cast<la_ssize_t>(content.size()));
        archive_entry_free(entry);
    }
    archive_write_close(zip);
    archive_write_free(zip);
}

class InstalledTree : public ::testing::Test {
protected:
    void SetUp() override {
        const CommandResult install =
            RunCommand({BRISKO_CMAKE, "--install", BRISKO_BUILD_DIR, "--prefix", m_stage.path()}, {});
        ASSERT_EQ(install.exitStatus, 0) << install.output;
    }

    std::string staged(const std::string& relative) const { return m_stage / relative; }

    // The installed program on `folder`, with a fresh home and no display.
    CommandResult runProgram(const std::string& program, const std::string& folder) const {
        return RunCommand({program, folder},
                          {"HOME=" + m_home.path(), "XDG_CONFIG_HOME=" + (m_home / "config"),
                           "XDG_DATA_HOME=" + (m_home / "data"), "QT_QPA_PLATFORM=offscreen",
                           "LD_LIBRARY_PATH="},
                          {}, 60);
    }

    TempDir m_stage;
    TempDir m_home;
};

TEST_F(InstalledTree, EveryFileWhereTheDesktopLooksForIt) {
    const struct {
        const char* path;
        mode_t mode;
    } expected[] = {
        {"bin/brisko", 0755},
        {"bin/brisko-extract", 0755},
        {"lib/brisko/libunzip32.so", 0644},
        {"lib/brisko/libunrar.so", 0644},
        {"lib/brisko/libunace.so", 0644},
        {"share/applications/brisko.desktop", 0644},
        {"share/icons/hicolor/scalable/apps/brisko.svg", 0644},
        {"share/doc/brisko/brisko-help.html", 0644},
        {"share/doc/brisko/copyright", 0644},
        {"share/man/man1/brisko-extract.1.gz", 0644},
        {"share/brisko/install-desktop-integration", 0755},
        {"share/brisko/filemanagers/thunar-action.xml", 0644},
        {"share/brisko/filemanagers/nautilus-script.sh", 0644},
        {"share/brisko/filemanagers/brisko-extract-here.desktop", 0644},
        {"share/brisko/filemanagers/brisko-extract-here.nemo_action", 0644},
        {"share/brisko/filemanagers/brisko-extract-current.nemo_action", 0644},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(PermissionsOf(staged(e.path)), e.mode) << e.path;
    }
    // The engines are the program's own: nothing on the public library path, nothing beside the program.
    for (const char* absent : {"lib/libunzip32.so", "lib/libunrar.so", "lib/libunace.so", "bin/libunzip32.so",
                               "bin/libunrar.so", "bin/libunace.so"}) {
        EXPECT_FALSE(Exists(staged(absent))) << absent;
    }
    // The icon is a drawing a desktop can scale: an SVG document.
    EXPECT_NE(ReadFile(staged("share/icons/hicolor/scalable/apps/brisko.svg")).find("<svg"),
              std::string::npos);
}

TEST_F(InstalledTree, InstalledProgramExtractsWithItsPrivateEngines) {
    const std::map<std::string, std::string> files = {{"notes.txt", "hello from the zip\n"},
                                                      {"deep/er/data.bin", std::string(5000, 'z')}};
    // Started as it lies, and through a link elsewhere as a package manager or a user may set it up:
    // the engines are found from where the program really is.
    TempDir elsewhere;
    ASSERT_EQ(symlink(staged("bin/brisko").c_str(), (elsewhere / "brisko").c_str()), 0);
    const struct {
        const char* how;
        std::string program;
    } starts[] = {{"installed program", staged("bin/brisko")}, {"through a link", elsewhere / "brisko"}};
    for (const auto& start : starts) {
        TempDir folder;
        writeSmallZip(folder / "small.zip", files);
        const CommandResult run = runProgram(start.program, folder.path());
        EXPECT_EQ(run.exitStatus, 0) << start.how << "\n" << run.output;
        for (const auto& [name, content] : files) {
            const std::string extracted = folder / ("Briskoed/" + name);
            ASSERT_TRUE(Exists(extracted)) << start.how << ": " << name;
            EXPECT_EQ(ReadFile(extracted), content) << start.how << ": " << name;
        }
    }
}

// Key=value lines of one group of a desktop entry.
std::map<std::string, std::string> groupOf(const std::string& file, const std::string& group) {
    std::map<std::string, std::string> keys;
    std::istringstream lines(ReadFile(file));
    std::string line;
    bool inGroup = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.front() == '[') {
            inGroup = line == "[" + group + "]";
        } else if (inGroup && line.find('=') != std::string::npos && line.front() != '#') {
            keys[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        }
    }
    return keys;
}

TEST_F(InstalledTree, LauncherOpensTheOptionsWindowAndClaimsNoFolders) {
    const std::string launcher = staged("share/applications/brisko.desktop");
    const auto keys = groupOf(launcher, "Desktop Entry");
    const struct {
        const char* key;
        const char* value;
    } expected[] = {{"Type", "Application"}, {"Name", "Brisko"},    {"Exec", "brisko"},
                    {"Icon", "brisko"},      {"Terminal", "false"}, {"Categories", "Utility;Archiving;"}};
    for (const auto& e : expected) {
        EXPECT_EQ(keys.count(e.key) ? keys.at(e.key) : "<missing>", e.value) << e.key;
    }
    EXPECT_FALSE(keys.count("Comment") == 0 || keys.at("Comment").empty());
    // Brisko must never become what opens a folder: no MimeType at all, and no folder type anywhere.
    EXPECT_EQ(keys.count("MimeType"), 0u);
    EXPECT_EQ(ReadFile(launcher).find("inode/directory"), std::string::npos);

    const std::string validator = "/usr/bin/desktop-file-validate";
    if (access(validator.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "desktop-file-validate is not installed (package desktop-file-utils)";
    }
    const CommandResult validated = RunCommand({validator, launcher}, {});
    EXPECT_EQ(validated.exitStatus, 0) << validated.output;
    EXPECT_EQ(validated.output, "") << "warnings or hints";
}

TEST_F(InstalledTree, InstalledIntegrationScriptFindsItsTemplates) {
    TempDir home;
    WriteRecordingProgram(home / "bin/brisko");
    const CommandResult run =
        RunCommand({staged("share/brisko/install-desktop-integration"), "--exec", home / "bin/brisko"},
                   {"HOME=" + home.path(), "XDG_DATA_HOME=" + (home / "data"),
                    "XDG_CONFIG_HOME=" + (home / "config"), "XDG_CONFIG_DIRS=" + (home / "nowhere")});
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_NE(ReadFile(home / "data/kio/servicemenus/brisko-extract-here.desktop").find(home / "bin/brisko"),
              std::string::npos);
}

} // namespace
} // namespace brisko::test
