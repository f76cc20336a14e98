// scripts/install-desktop-integration: what it puts where, how it shares Thunar's file with the user's
// own actions, what --uninstall takes away, and that every action hands the program exactly one folder.
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>

#include "install/InstallSupport.h"
#include "support/TempDir.h"

namespace brisko::test {
namespace {

const std::string kScript = BRISKO_SOURCE_DIR "/scripts/install-desktop-integration";
const std::string kThunarId = "<unique-id>brisko-extract-archives-here</unique-id>";
const std::string kNautilusScript = "data/nautilus/scripts/Extract archives here with Brisko";
const std::string kDolphinMenu = "data/kio/servicemenus/brisko-extract-here.desktop";
const std::string kNemoHere = "data/nemo/actions/brisko-extract-here.nemo_action";
const std::string kNemoCurrent = "data/nemo/actions/brisko-extract-current.nemo_action";
const std::string kThunarFile = "config/Thunar/uca.xml";

const std::string kForeignAction =
    "<action>\n"
    "\t<icon>utilities-terminal</icon>\n"
    "\t<name>Open Terminal Here</name>\n"
    "\t<unique-id>1500000000000000-1</unique-id>\n"
    "\t<command>exo-open --working-directory %f --launch TerminalEmulator</command>\n"
    "\t<description>Example for a custom action</description>\n"
    "\t<patterns>*</patterns>\n"
    "\t<startup-notify/>\n"
    "\t<directories/>\n"
    "</action>\n";
const std::string kUserThunarFile =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n" + kForeignAction + "</actions>\n";

// A user's home with the XDG folders inside it and a recording stand-in for the program.
class Desktop : public ::testing::Test {
protected:
    std::string at(const std::string& relative) const { return m_root / relative; }
    std::string program() const { return m_root / "bin/brisko"; }

    std::vector<std::string> environment(const std::string& path = "/usr/bin:/bin") const {
        return {"HOME=" + (m_root / "home"),
                "XDG_DATA_HOME=" + at("data"),
                "XDG_CONFIG_HOME=" + at("config"),
                "XDG_CONFIG_DIRS=" + at("sysconfig"),
                "PATH=" + path,
                "BRISKO_RECORD=" + at("record")};
    }

    CommandResult integrate(std::vector<std::string> arguments, bool withExec = true) const {
        arguments.insert(arguments.begin(), kScript);
        if (withExec) {
            arguments.insert(arguments.end(), {"--exec", program()});
        }
        return RunCommand(arguments, environment());
    }

    // What the stand-in program was called with since the last call, and forget it.
    std::string takeRecord() const {
        const std::string record = Exists(at("record")) ? ReadFile(at("record")) : "";
        std::remove(at("record").c_str());
        return record;
    }

    void SetUp() override { WriteRecordingProgram(program()); }

    TempDir m_root;
};

TEST_F(Desktop, EachFileManagerGetsItsActionWithTheRightMode) {
    const CommandResult run = integrate({});
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    const struct {
        std::string path;
        mode_t mode;
        std::string mustHold;
    } expected[] = {
        {kDolphinMenu, 0755, "MimeType=inode/directory;"},
        {kNemoHere, 0644, "Selection=notnone"},
        {kNemoCurrent, 0644, "Selection=none"},
        {kNautilusScript, 0755, "NAUTILUS_SCRIPT_SELECTED_FILE_PATHS"},
        {kThunarFile, 0644, kThunarId},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(PermissionsOf(at(e.path)), e.mode) << e.path;
        EXPECT_NE(ReadFile(at(e.path)).find(e.mustHold), std::string::npos) << e.path;
        EXPECT_NE(ReadFile(at(e.path)).find(program()), std::string::npos)
            << e.path << " runs another program";
    }
    // Nothing outside the two XDG folders and our own scratch files.
    for (const auto& [path, state] : FilesBelow(m_root.path())) {
        EXPECT_TRUE(path.rfind("data/", 0) == 0 || path.rfind("config/", 0) == 0 || path == "bin/brisko")
            << path;
    }
}

TEST_F(Desktop, ThunarFileKeepsTheUsersActionsAndHoldsOursOnce) {
    const struct {
        const char* what;
        std::string userFile;   // empty: none
        std::string systemFile; // the default a user without a file of their own sees; empty: none
        int status;
        std::vector<std::string> mustHold;
    } cases[] = {
        {"user's file with a foreign action", kUserThunarFile, "", 0, {kForeignAction, kThunarId}},
        {"no file: the system default is kept", "", kUserThunarFile, 0, {kForeignAction, kThunarId}},
        {"no file anywhere", "", "", 0, {"<actions>", kThunarId, "</actions>"}},
        {"empty element",
         "<?xml version=\"1.0\"?>\n<actions/>\n",
         "",
         0,
         {"<actions>", kThunarId, "</actions>"}},
        {"not an actions file: left alone", "garbage\n", "", 1, {"garbage\n"}},
    };
    for (const auto& c : cases) {
        std::remove(at(kThunarFile).c_str());
        std::remove(at("sysconfig/Thunar/uca.xml").c_str());
        if (!c.userFile.empty()) {
            WriteFile(at(kThunarFile), c.userFile);
        }
        if (!c.systemFile.empty()) {
            WriteFile(at("sysconfig/Thunar/uca.xml"), c.systemFile);
        }
        for (int round = 1; round <= 2; ++round) {
            const CommandResult run = integrate({});
            EXPECT_EQ(run.exitStatus, c.status) << c.what << ", round " << round << "\n" << run.output;
            const std::string merged = ReadFile(at(kThunarFile));
            for (const auto& part : c.mustHold) {
                EXPECT_EQ(CountOf(merged, part), 1) << c.what << ", round " << round << ": " << part << "\n"
                                                    << merged;
            }
            if (c.status == 0 && Exists("/usr/bin/xmllint")) {
                const CommandResult lint = RunCommand({"/usr/bin/xmllint", "--noout", at(kThunarFile)}, {});
                EXPECT_EQ(lint.exitStatus, 0) << c.what << "\n" << lint.output;
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
    WriteFile(at(kNemoCurrent), "[Nemo Action]\nName=the user's own\n");
    const auto before = FilesBelow(m_root.path());

    const CommandResult install = integrate({});
    EXPECT_EQ(install.exitStatus, 1) << "a file it did not write must be reported\n" << install.output;
    EXPECT_NE(install.output.find(at(kNemoCurrent)), std::string::npos) << install.output;
    EXPECT_EQ(ReadFile(at(kNemoCurrent)), "[Nemo Action]\nName=the user's own\n");
    EXPECT_TRUE(Exists(at(kNautilusScript)));

    const CommandResult uninstall = integrate({"--uninstall"}, false);
    EXPECT_EQ(uninstall.exitStatus, 0) << uninstall.output;
    EXPECT_EQ(FilesBelow(m_root.path()), before);

    const CommandResult again = integrate({"--uninstall"}, false);
    EXPECT_EQ(again.exitStatus, 0) << again.output;
    EXPECT_EQ(FilesBelow(m_root.path()), before);
}

TEST_F(Desktop, ProgramComesFromPathOrExec) {
    TempDir other;
    WriteRecordingProgram(other / "brisko");
    const struct {
        const char* what;
        std::vector<std::string> arguments;
        std::string path;
        int status;
        std::string program; // in the Nautilus script; empty: nothing written
    } cases[] = {
        {"found on PATH", {}, "/usr/bin:" + (m_root / "bin") + ":/bin", 0, program()},
        {"--exec wins over PATH",
         {"--exec", other / "brisko"},
         "/usr/bin:" + (m_root / "bin"),
         0,
         other / "brisko"},
        {"not on PATH", {}, "/usr/bin:/bin", 2, ""},
        {"--exec names no program", {"--exec", m_root / "nothing"}, "/usr/bin:/bin", 2, ""},
        {"unknown argument", {"--frobnicate"}, "/usr/bin:/bin", 2, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{kScript};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const CommandResult run = RunCommand(argv, environment(c.path));
        EXPECT_EQ(run.exitStatus, c.status) << c.what << "\n" << run.output;
        if (c.program.empty()) {
            EXPECT_FALSE(Exists(at("data"))) << c.what;
        } else {
            EXPECT_NE(ReadFile(at(kNautilusScript)).find("brisko=" + ShellQuoted(c.program) + "\n"),
                      std::string::npos)
                << c.what;
        }
        RunCommand({kScript, "--uninstall"}, environment());
        std::filesystem::remove_all(at("data"));
    }
}

TEST_F(Desktop, SystemWideGoesBelowThePrefixOnly) {
    const std::string prefix = m_root / "stage";
    const CommandResult run = integrate({"--prefix", prefix});
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    std::map<std::string, mode_t> modes;
    for (const auto& [path, state] : FilesBelow(prefix)) {
        modes[path] = state.mode;
    }
    const std::map<std::string, mode_t> expected = {
        {"share/kio/servicemenus/brisko-extract-here.desktop", 0755},
        {"share/nemo/actions/brisko-extract-here.nemo_action", 0644},
        {"share/nemo/actions/brisko-extract-current.nemo_action", 0644},
    };
    EXPECT_EQ(modes, expected);
    EXPECT_FALSE(Exists(at("data")));
    EXPECT_FALSE(Exists(at("config")));
    ASSERT_EQ(integrate({"--prefix", prefix, "--uninstall"}, false).exitStatus, 0);
    EXPECT_TRUE(FilesBelow(prefix).empty());
}

// --- every action hands the program exactly one folder ------------------------------------------

// Folder names a shell or a file manager's own parser would get wrong if anything re-split them.
const std::vector<std::string> kAwkwardFolders = {
    "plain",
    "with  two spaces",
    "dollar $HOME and `date`",
    "quote ' and \" both",
    "-reverse",
    "trailing space ",
    "back\\slash\\n",
    "percent %f %F %% 100%",
    "glob * ? [ab]",
    "semi;colon && pipe|",
    "caf\xC3\xA9",
};

std::string expectedRecord(const std::vector<std::string>& folders) {
    std::string record;
    for (const auto& folder : folders) {
        record += "argc=1\n[" + folder + "]\n";
    }
    return record;
}

// A file manager's command line with its field codes filled in as the file manager does: each path
// quoted as one word, %% a literal percent sign.
std::string expandFieldCodes(const std::string& command, char code, const std::vector<std::string>& paths) {
    std::string out;
    for (std::size_t i = 0; i < command.size(); ++i) {
        if (command[i] == '%' && i + 1 < command.size()) {
            const char next = command[++i];
            if (next == '%') {
                out += '%';
            } else if (next == code) {
                for (std::size_t p = 0; p < paths.size(); ++p) {
                    out += (p ? " " : "") + ShellQuoted(paths[p]);
                }
            } else {
                ADD_FAILURE() << "unexpected field code %" << next << " in " << command;
            }
        } else {
            out += command[i];
        }
    }
    return out;
}

std::string keyFileValue(const std::string& file, const std::string& key) {
    std::istringstream lines(ReadFile(file));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(key + "=", 0) == 0) {
            std::string value;
            const std::string raw = line.substr(key.size() + 1);
            for (std::size_t i = 0; i < raw.size(); ++i) {
                if (raw[i] == '\\' && i + 1 < raw.size()) {
                    const char next = raw[++i];
                    value += next == 's' ? ' ' : next == 'n' ? '\n' : next == 't' ? '\t' : next;
                } else {
                    value += raw[i];
                }
            }
            return value;
        }
    }
    return {};
}

std::string thunarCommand(const std::string& file) {
    const std::string text = ReadFile(file);
    const auto ours = text.find(kThunarId);
    const auto start = text.find("<command>", ours) + 9;
    std::string raw = text.substr(start, text.find("</command>", start) - start);
    std::string value;
    const std::pair<const char*, char> entities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
    for (std::size_t i = 0; i < raw.size(); ++i) {
        bool replaced = false;
        for (const auto& [entity, c] : entities) {
            if (raw.compare(i, std::char_traits<char>::length(entity), entity) == 0) {
                value += c;
                i += std::char_traits<char>::length(entity) - 1;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            value += raw[i];
        }
    }
    return value;
}

TEST_F(Desktop, EveryActionPassesEachFolderAsOneArgument) {
    // The program itself in an awkward place too.
    const std::string awkwardProgram = m_root / "my apps/it's $HOME %f \\x/brisko";
    WriteRecordingProgram(awkwardProgram);
    const CommandResult run = RunCommand({kScript, "--exec", awkwardProgram}, environment());
    ASSERT_EQ(run.exitStatus, 0) << run.output;

    std::vector<std::string> folders;
    for (const auto& name : kAwkwardFolders) {
        folders.push_back(m_root / ("folders/" + name));
        WriteFile(folders.back() + "/a.zip", "zip");
    }
    WriteFile(m_root / "folders/just a file.zip", "zip");

    // GLib's command-line parser, which the file managers use, reads the POSIX shell's quoting; the shell
    // stands in for it here.
    const struct {
        const char* fileManager;
        std::string command; // empty: run the Nautilus script
        char code;
        std::vector<std::string> paths;
        std::vector<std::string> expected;
    } cases[] = {
        {"Dolphin, one folder at a time",
         keyFileValue(at(kDolphinMenu), "Exec"),
         'f',
         {folders[3]},
         {folders[3]}},
        {"Nemo, selected folders", keyFileValue(at(kNemoHere), "Exec"), 'F', folders, folders},
        {"Nemo, background", keyFileValue(at(kNemoCurrent), "Exec"), 'P', {folders[2]}, {folders[2]}},
        {"Thunar, selected folders", thunarCommand(at(kThunarFile)), 'F', folders, folders},
        {"Nautilus, selected folders and a file", "", 0, {}, folders},
    };
    for (const auto& c : cases) {
        ASSERT_NE(c.fileManager[0], '\0');
        CommandResult action;
        if (c.command.empty()) {
            std::string selection;
            for (const auto& folder : folders) {
                selection += folder + "\n";
            }
            selection += m_root / "folders/just a file.zip\n";
            auto env = environment();
            env.push_back("NAUTILUS_SCRIPT_SELECTED_FILE_PATHS=" + selection);
            action = RunCommand({at(kNautilusScript)}, env, m_root.path());
        } else {
            action =
                RunCommand({"/bin/sh", "-c", expandFieldCodes(c.command, c.code, c.paths)}, environment());
        }
        EXPECT_EQ(action.exitStatus, 0) << c.fileManager << "\n" << action.output;
        EXPECT_EQ(takeRecord(), expectedRecord(c.expected)) << c.fileManager;
    }

    // The Nautilus script from a folder's background: no selection, the current folder.
    for (const auto& folder : {folders[1], folders[4]}) {
        auto env = environment();
        env.push_back("NAUTILUS_SCRIPT_CURRENT_URI=file:///somewhere");
        const CommandResult background = RunCommand({at(kNautilusScript)}, env, folder);
        EXPECT_EQ(background.exitStatus, 0) << background.output;
        EXPECT_EQ(takeRecord(), expectedRecord({folder}));
    }
}

} // namespace
} // namespace brisko::test
