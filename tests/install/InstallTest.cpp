// The installed tree (`cmake --install` of this build into a temporary prefix), where the program looks
// for its engines, and scripts/install-desktop-integration. Faults these catch:
// - a file installed elsewhere or with another mode, an engine on the public library path
// - the engine search order changed, or a relative program folder trusted
// - the installed program (started directly or through a link) not finding its private engines
// - a launcher that claims folders (MimeType, inode/directory) or misses a key
// - a file-manager action missing, with the wrong mode, or running another program than asked
// - Thunar's file losing the user's actions, holding ours twice, or a foreign file overwritten
// - --uninstall removing the user's files, or leaving ours; a system-wide install outside its prefix
// - a folder name re-split or re-interpreted on its way from a file manager to the program
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "enginelibs/ZipFixtures.h"
#include "platform/DynamicLibrary.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace brisko::test {
namespace {

struct Result {
    int status;
    std::string output; // standard output and standard error
};
Result Command(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
           const std::string& workingFolder = {}) {
    const ProcessResult run = RunProcess(argv, environment, 60, {workingFolder, true, true});
    return {run.exitStatus, run.output};
}

mode_t PermissionsOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Regular files and links below `root`: relative path -> mode and content (a link: "-> target").
std::map<std::string, std::string> FilesBelow(const std::string& root) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string path = it->path().string(), relative = fs::relative(it->path(), root).string();
        if (it->is_symlink() || it->is_regular_file()) {
            files[relative] = std::to_string(PermissionsOf(path)) +
                              (it->is_symlink() ? " -> " + fs::read_symlink(path).string() : " " + ReadFile(path));
        }
    }
    return files;
}

// A program that appends "argc=N" and each argument as "[argument]" to the file $BRISKO_RECORD names.
void WriteRecordingProgram(const std::string& path) {
    WriteFile(path, "#!/bin/sh\n{ printf 'argc=%s\\n' \"$#\"; for a do printf '[%s]\\n' \"$a\"; done; } "
                    ">>\"$BRISKO_RECORD\"\n");
    chmod(path.c_str(), 0755);
}

// Quoted for a POSIX shell, as a file manager quotes a path it puts in a command line.
std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

int CountOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

TEST(EngineSearch, CandidatesInOrder) {
    const std::string kPrivate = "../lib/brisko/";
    ASSERT_EQ(platform::PrivateLibraryFolder(), kPrivate) << "the install layout and the search disagree";
    const struct {
        const char *name, *programFolder;
        std::vector<std::string> expected;
    } cases[] = {
        {"libunzip32.so", "/usr/bin/", {"/usr/bin/libunzip32.so", "/usr/bin/" + kPrivate + "libunzip32.so", "libunzip32.so"}},
        {"sub/libunace.so", "/usr/bin/", {"sub/libunace.so"}}, // a path is used as it is
        {"libunace.so", "", {"libunace.so"}},                  // nothing relative to the current folder
        {"libunace.so", "bin/", {"libunace.so"}},              // a relative program folder is not trusted
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::LibraryCandidates(c.name, c.programFolder), c.expected) << c.name << " " << c.programFolder;
    }
}

class InstalledTree : public ::testing::Test {
protected:
    void SetUp() override {
        const Result install = Command({BRISKO_CMAKE, "--install", BRISKO_BUILD_DIR, "--prefix", m_stage.path()}, {});
        ASSERT_EQ(install.status, 0) << install.output;
    }
    TempDir m_stage, m_home;
};

TEST_F(InstalledTree, EveryFileWhereTheDesktopLooksForItAndTheProgramFindsItsEngines) {
    std::map<std::string, mode_t> expected;
    for (const char* p : {"bin/brisko", "bin/brisko-extract", "share/brisko/install-desktop-integration"}) {
        expected[p] = 0755;
    }
    for (const char* p : {"lib/brisko/libunzip32.so", "lib/brisko/libunrar.so", "lib/brisko/libunace.so",
                          "share/applications/brisko.desktop", "share/icons/hicolor/scalable/apps/brisko.svg",
                          "share/doc/brisko/brisko-help.html", "share/doc/brisko/copyright", "share/doc/brisko/changelog.gz",
                          "share/man/man1/brisko-extract.1.gz", "share/man/man1/brisko.1.gz", "share/brisko/filemanagers/thunar-action.xml",
                          "share/brisko/filemanagers/nautilus-script.sh",
                          "share/brisko/filemanagers/brisko-extract-here.desktop",
                          "share/brisko/filemanagers/brisko-extract-here.nemo_action",
                          "share/brisko/filemanagers/brisko-extract-current.nemo_action"}) {
        expected[p] = 0644;
    }
    std::map<std::string, mode_t> installed;
    for (const auto& [path, state] : FilesBelow(m_stage.path())) {
        installed[path] = PermissionsOf(m_stage / path);
    }
    // Exactly these: in particular no engine on the public library path or beside the program.
    EXPECT_EQ(installed, expected);
    EXPECT_NE(ReadFile(m_stage / "share/icons/hicolor/scalable/apps/brisko.svg").find("<svg"), std::string::npos);

    // The launcher opens the options window and never becomes what opens a folder.
    const std::string launcher = ReadFile(m_stage / "share/applications/brisko.desktop");
    for (const char* line : {"\nType=Application\n", "\nName=Brisko\n", "\nExec=brisko\n", "\nIcon=brisko\n",
                             "\nTerminal=false\n", "\nCategories=Utility;Archiving;\n", "\nComment="}) {
        EXPECT_EQ(CountOf(launcher, line), 1) << line;
    }
    EXPECT_EQ(launcher.find("MimeType"), std::string::npos);
    EXPECT_EQ(launcher.find("inode/directory"), std::string::npos);
    if (access("/usr/bin/desktop-file-validate", X_OK) == 0) {
        const Result validated = Command({"/usr/bin/desktop-file-validate", m_stage / "share/applications/brisko.desktop"}, {});
        EXPECT_EQ(validated.status, 0) << validated.output;
        EXPECT_EQ(validated.output, "") << "warnings or hints";
    }

    TempDir elsewhere;
    ASSERT_EQ(symlink((m_stage / "bin/brisko").c_str(), (elsewhere / "brisko").c_str()), 0);
    // Started as it lies, and through a link elsewhere: the engines are found from where it really is.
    for (const std::string& program : {m_stage / "bin/brisko", elsewhere / "brisko"}) {
        TempDir folder;
        const std::string content(5000, 'z');
        WriteZip(folder / "small.zip", {{"deep/er/data.bin", content}});
        const Result run = Command({program, folder.path()}, {"HOME=" + m_home.path(), "XDG_CONFIG_HOME=" + (m_home / "c"),
                                                          "XDG_DATA_HOME=" + (m_home / "d"), "QT_QPA_PLATFORM=offscreen",
                                                          "LD_LIBRARY_PATH="});
        EXPECT_EQ(run.status, 0) << program << "\n" << run.output;
        EXPECT_EQ(Exists(folder / "Briskoed/deep/er/data.bin") ? ReadFile(folder / "Briskoed/deep/er/data.bin") : "", content)
            << program;
    }
    // The installed integration script finds its templates.
    WriteRecordingProgram(m_home / "bin/brisko");
    const Result run = Command({m_stage / "share/brisko/install-desktop-integration", "--exec", m_home / "bin/brisko"},
                           {"HOME=" + m_home.path(), "XDG_DATA_HOME=" + (m_home / "data"),
                            "XDG_CONFIG_HOME=" + (m_home / "config"), "XDG_CONFIG_DIRS=" + (m_home / "nowhere")});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(ReadFile(m_home / "data/kio/servicemenus/brisko-extract-here.desktop").find(m_home / "bin/brisko"),
              std::string::npos);
}

const std::string kScript = BRISKO_SOURCE_DIR "/scripts/install-desktop-integration";
const std::string kThunarId = "<unique-id>brisko-extract-archives-here</unique-id>";
const std::string kNautilusScript = "data/nautilus/scripts/Extract archives here with Brisko";
const std::string kDolphinMenu = "kio/servicemenus/brisko-extract-here.desktop";
const std::string kNemoHere = "nemo/actions/brisko-extract-here.nemo_action";
const std::string kNemoCurrent = "nemo/actions/brisko-extract-current.nemo_action";
const std::string kThunarFile = "config/Thunar/uca.xml";
const std::string kForeignAction = "<action>\n\t<icon>utilities-terminal</icon>\n\t<name>Open Terminal Here</name>\n"
                                   "\t<unique-id>1500000000000000-1</unique-id>\n\t<command>exo-open "
                                   "--working-directory %f --launch TerminalEmulator</command>\n\t<patterns>*</patterns>\n"
                                   "\t<directories/>\n</action>\n";
const std::string kUserThunarFile = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n" + kForeignAction + "</actions>\n";

// A user's home with the XDG folders inside it and a recording stand-in for the program.
class Desktop : public ::testing::Test {
protected:
    void SetUp() override { WriteRecordingProgram(program()); }
    std::string at(const std::string& relative) const { return m_root / relative; }
    std::string program() const { return m_root / "bin/brisko"; }
    std::vector<std::string> environment(const std::string& path = "/usr/bin:/bin") const {
        return {"HOME=" + (m_root / "home"), "XDG_DATA_HOME=" + at("data"), "XDG_CONFIG_HOME=" + at("config"),
                "XDG_CONFIG_DIRS=" + at("sysconfig"), "PATH=" + path, "BRISKO_RECORD=" + at("record")};
    }
    Result integrate(std::vector<std::string> arguments, bool withExec = true) const {
        arguments.insert(arguments.begin(), kScript);
        if (withExec) {
            arguments.insert(arguments.end(), {"--exec", program()});
        }
        return Command(arguments, environment());
    }
    // What the stand-in program was called with since the last call, and forget it.
    std::string takeRecord() const {
        const std::string record = Exists(at("record")) ? ReadFile(at("record")) : "";
        std::remove(at("record").c_str());
        return record;
    }
    TempDir m_root;
};

TEST_F(Desktop, EachFileManagerGetsItsActionPerUserOrBelowAPrefix) {
    const struct {
        std::string path;
        mode_t mode;
        std::string mustHold;
        bool systemWide;
    } expected[] = {
        {kDolphinMenu, 0755, "MimeType=inode/directory;", true}, {kNemoHere, 0644, "Selection=notnone", true},
        {kNemoCurrent, 0644, "Selection=none", true},
        {kNautilusScript, 0755, "NAUTILUS_SCRIPT_SELECTED_FILE_PATHS", false}, {kThunarFile, 0644, kThunarId, false},
    };
    ASSERT_EQ(integrate({"--prefix", at("stage")}).status, 0);
    EXPECT_FALSE(Exists(at("data")) || Exists(at("config")));
    const Result run = integrate({});
    ASSERT_EQ(run.status, 0) << run.output;
    std::map<std::string, mode_t> staged;
    for (const auto& e : expected) {
        const std::string perUser = e.path.rfind("data/", 0) == 0 || e.path.rfind("config/", 0) == 0 ? e.path : "data/" + e.path;
        EXPECT_EQ(PermissionsOf(at(perUser)), e.mode) << e.path;
        EXPECT_NE(ReadFile(at(perUser)).find(e.mustHold), std::string::npos) << e.path;
        EXPECT_NE(ReadFile(at(perUser)).find(program()), std::string::npos) << e.path << " runs another program";
        if (e.systemWide) {
            staged["share/" + e.path] = e.mode;
        }
    }
    std::map<std::string, mode_t> modes;
    for (const auto& [path, state] : FilesBelow(at("stage"))) {
        modes[path] = PermissionsOf(at("stage/" + path));
    }
    EXPECT_EQ(modes, staged);
    for (const auto& [path, state] : FilesBelow(m_root.path())) { // nothing outside the XDG folders
        EXPECT_TRUE(path.rfind("data/", 0) == 0 || path.rfind("config/", 0) == 0 || path.rfind("stage/", 0) == 0 ||
                    path == "bin/brisko")
            << path;
    }
    ASSERT_EQ(integrate({"--prefix", at("stage"), "--uninstall"}, false).status, 0);
    EXPECT_TRUE(FilesBelow(at("stage")).empty());
}

TEST_F(Desktop, ThunarFileKeepsTheUsersActionsAndHoldsOursOnce) {
    const struct {
        const char* what;
        std::string userFile, systemFile; // empty: none
        int status;
        std::vector<std::string> mustHold;
    } cases[] = {
        {"user's file with a foreign action", kUserThunarFile, "", 0, {kForeignAction, kThunarId}},
        {"no file: the system default is kept", "", kUserThunarFile, 0, {kForeignAction, kThunarId}},
        {"no file anywhere", "", "", 0, {"<actions>", kThunarId, "</actions>"}},
        {"empty element", "<?xml version=\"1.0\"?>\n<actions/>\n", "", 0, {"<actions>", kThunarId, "</actions>"}},
        {"not an actions file: left alone", "garbage\n", "", 1, {"garbage\n"}},
    };
    for (const auto& c : cases) {
        for (const auto& [file, content] : {std::pair{at(kThunarFile), c.userFile}, {at("sysconfig/Thunar/uca.xml"), c.systemFile}}) {
            std::remove(file.c_str());
            if (!content.empty()) {
                WriteFile(file, content);
            }
        }
        for (int round = 1; round <= 2; ++round) {
            const Result run = integrate({});
            EXPECT_EQ(run.status, c.status) << c.what << ", round " << round << "\n" << run.output;
            const std::string merged = ReadFile(at(kThunarFile));
            for (const auto& part : c.mustHold) {
                EXPECT_EQ(CountOf(merged, part), 1) << c.what << ", round " << round << ": " << part << "\n" << merged;
            }
            if (c.status == 0 && Exists("/usr/bin/xmllint")) {
                EXPECT_EQ(Command({"/usr/bin/xmllint", "--noout", at(kThunarFile)}, {}).status, 0) << c.what;
            }
        }
        if (!c.systemFile.empty()) {
            EXPECT_EQ(ReadFile(at("sysconfig/Thunar/uca.xml")), c.systemFile) << c.what;
        }
    }
}

TEST_F(Desktop, UninstallTakesAwayExactlyWhatWasAdded) {
    // The user's own things in the same places, one of them under a name the script would use.
    WriteFile(at(kThunarFile), kUserThunarFile);
    WriteFile(at("data/kio/servicemenus/other.desktop"), "[Desktop Entry]\nType=Service\n");
    WriteFile(at("data/nautilus/scripts/Mine"), "#!/bin/sh\n");
    WriteFile(at("data/" + kNemoCurrent), "[Nemo Action]\nName=the user's own\n");
    const auto before = FilesBelow(m_root.path());
    const Result install = integrate({});
    EXPECT_EQ(install.status, 1) << "a file it did not write must be reported\n" << install.output;
    EXPECT_NE(install.output.find(at("data/" + kNemoCurrent)), std::string::npos) << install.output;
    EXPECT_TRUE(Exists(at(kNautilusScript)));
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(integrate({"--uninstall"}, false).status, 0);
        EXPECT_EQ(FilesBelow(m_root.path()), before);
    }
}

TEST_F(Desktop, ProgramComesFromPathOrExec) {
    TempDir other;
    WriteRecordingProgram(other / "brisko");
    const struct {
        std::vector<std::string> arguments;
        std::string path;
        int status;
        std::string program; // in the Nautilus script; empty: nothing written
    } cases[] = {
        {{}, "/usr/bin:" + (m_root / "bin") + ":/bin", 0, program()},
        {{"--exec", other / "brisko"}, "/usr/bin:" + (m_root / "bin"), 0, other / "brisko"},
        {{"--exec", m_root / "nothing"}, "/usr/bin:/bin", 2, ""},
        {{"--frobnicate"}, "/usr/bin:/bin", 2, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{kScript};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const Result run = Command(argv, environment(c.path));
        EXPECT_EQ(run.status, c.status) << c.path << "\n" << run.output;
        EXPECT_EQ(Exists(at(kNautilusScript)) ? CountOf(ReadFile(at(kNautilusScript)), "brisko=" + ShellQuoted(c.program) + "\n") : 0,
                  c.program.empty() ? 0 : 1)
            << c.path;
        fs::remove_all(at("data"));
    }
}

// A file manager's command line with its field codes filled in as the file manager does: each path
// quoted as one word, %% a literal percent sign.
std::string ExpandFieldCodes(const std::string& command, char code, const std::vector<std::string>& paths) {
    std::string out;
    for (std::size_t i = 0; i < command.size(); ++i) {
        if (command[i] != '%' || i + 1 == command.size()) {
            out += command[i];
        } else if (command[++i] == '%') {
            out += '%';
        } else {
            EXPECT_EQ(command[i], code) << "unexpected field code in " << command;
            for (std::size_t p = 0; p < paths.size(); ++p) {
                out += (p ? " " : "") + ShellQuoted(paths[p]);
            }
        }
    }
    return out;
}

// A key's value in a desktop-entry file, escapes undone; or the Thunar command, entities undone.
std::string CommandIn(const std::string& file, const std::string& key) {
    std::string text = ReadFile(file), raw, value;
    if (key.empty()) {
        const auto start = text.find("<command>", text.find(kThunarId)) + 9;
        raw = text.substr(start, text.find("</command>", start) - start);
        for (const auto& [entity, c] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}}) {
            for (auto at = raw.find(entity); at != std::string::npos; at = raw.find(entity, at + 1)) {
                raw.replace(at, std::strlen(entity), c);
            }
        }
        return raw;
    }
    raw = text.substr(text.find("\n" + key + "=") + key.size() + 2);
    raw = raw.substr(0, raw.find('\n'));
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char next = raw[i] == '\\' && i + 1 < raw.size() ? raw[++i] : 0;
        value += next == 0 ? raw[i] : next == 's' ? ' ' : next == 'n' ? '\n' : next == 't' ? '\t' : next;
    }
    return value;
}

TEST_F(Desktop, EveryActionPassesEachFolderAsOneArgument) {
    // The program itself in an awkward place too.
    const std::string awkwardProgram = m_root / "my apps/it's $HOME %f \\x/brisko";
    WriteRecordingProgram(awkwardProgram);
    const Result installed = Command({kScript, "--exec", awkwardProgram}, environment());
    ASSERT_EQ(installed.status, 0) << installed.output;
    // Folder names a shell or a file manager's own parser would get wrong if anything re-split them.
    std::vector<std::string> folders;
    std::string record, selection;
    for (const char* name : {"plain", "with  two spaces", "dollar $HOME and `date`", "quote ' and \" both", "-reverse",
                             "trailing space ", "back\\slash\\n", "percent %f %F %% 100%", "glob * ? [ab]",
                             "semi;colon && pipe|", "caf\xC3\xA9"}) {
        folders.push_back(m_root / ("folders/" + std::string(name)));
        WriteFile(folders.back() + "/a.zip", "zip");
        record += "argc=1\n[" + folders.back() + "]\n";
        selection += folders.back() + "\n";
    }
    WriteFile(m_root / "folders/just a file.zip", "zip");
    // GLib's command-line parser, which the file managers use, reads the POSIX shell's quoting; the
    // shell stands in for it here.
    const struct {
        const char* fileManager;
        std::string command;
        char code;
        std::vector<std::string> paths;
    } cases[] = {
        {"Dolphin, one folder at a time", CommandIn(at("data/" + kDolphinMenu), "Exec"), 'f', {folders[3]}},
        {"Nemo, selected folders", CommandIn(at("data/" + kNemoHere), "Exec"), 'F', folders},
        {"Nemo, background", CommandIn(at("data/" + kNemoCurrent), "Exec"), 'P', {folders[2]}},
        {"Thunar, selected folders", CommandIn(at(kThunarFile), ""), 'F', folders},
    };
    for (const auto& c : cases) {
        const Result action = Command({"/bin/sh", "-c", ExpandFieldCodes(c.command, c.code, c.paths)}, environment());
        EXPECT_EQ(action.status, 0) << c.fileManager << "\n" << action.output;
        EXPECT_EQ(takeRecord(), c.paths.size() == 1 ? "argc=1\n[" + c.paths[0] + "]\n" : record) << c.fileManager;
    }
    // Nautilus: selected folders and a file; then from a folder's background, the current folder.
    auto env = environment();
    env.push_back("NAUTILUS_SCRIPT_SELECTED_FILE_PATHS=" + selection + (m_root / "folders/just a file.zip\n"));
    EXPECT_EQ(Command({at(kNautilusScript)}, env, m_root.path()).status, 0);
    EXPECT_EQ(takeRecord(), record);
    for (const auto& folder : {folders[1], folders[4]}) {
        env.back() = "NAUTILUS_SCRIPT_CURRENT_URI=file:///somewhere";
        EXPECT_EQ(Command({at(kNautilusScript)}, env, folder).status, 0);
        EXPECT_EQ(takeRecord(), "argc=1\n[" + folder + "]\n");
    }
}

} // namespace
} // namespace brisko::test
