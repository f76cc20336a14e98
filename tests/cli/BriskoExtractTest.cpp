// brisko-extract as a script or a download manager starts it: no display variable at all, options on
// the command line over the stored ones, passwords from a file or a terminal, one outcome per archive
// on standard output, and an exit status to act on. Faults these catch:
// - an option not overriding the stored setting (or its "no-" form, or the last of a pair not winning)
// - a password file not tried in turn, blank lines or CRs taken for passwords, a wrong or missing
//   password failing without its reason
// - the terminal prompt echoing the password, or the duplicate question not asked there
// - --json lines that do not parse back for names with quotes, line breaks or tabs
// - an exit status that does not tell success, a failed archive and a usage error apart
// - SIGTERM not abandoning the entry in hand at once, leaving a part of it, or trashing the archive
// - the window and the command line running different batch runs on the same folder
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <utime.h>

#include "enginelibs/ZipFixtures.h"
#include "support/AceFixtures.h"
#include "support/ArchiveBytes.h"
#include "support/Process.h"
#include "support/RarFixtures.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace brisko::test {
namespace {

const std::string kSamples = BRISKO_TESTDATA;

std::string ZipBytes(const std::vector<ZipItem>& items) {
    TempDir scratch;
    WriteZip(scratch / "x.zip", items);
    return ReadFile(scratch / "x.zip");
}

// Files below `root` with their content (a large one by size and checksum), folders with a trailing '/'.
std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> out;
    std::error_code error;
    for (const auto& item : fs::recursive_directory_iterator(root, error)) {
        const std::string name = item.path().lexically_relative(root).string();
        const std::string content = item.is_directory() ? "" : ReadFile(item.path());
        out[item.is_directory() ? name + "/" : name] =
            content.size() > 4096 ? std::to_string(content.size()) + " bytes, CRC " + std::to_string(Crc(content)) : content;
    }
    return out;
}

// Standard output by line, with the folder cut off each path.
std::vector<std::string> Lines(const std::string& text, const std::string& folder = "\n") {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const std::size_t at = line.find(folder + "/");
        out.push_back(at == std::string::npos ? line : line.erase(at, folder.size() + 1));
    }
    return out;
}

// A home of its own for each run: settings file, trash.
struct Home {
    TempDir dir;
    explicit Home(const std::string& options = {}) {
        WriteFile(dir / "config/Brisko/Brisko.ini", "[Options]\n" + options);
    }
    // No display of any kind: the program must not need one.
    std::vector<std::string> environment() const {
        return {"HOME=" + dir.path(), "XDG_CONFIG_HOME=" + (dir / "config"), "XDG_DATA_HOME=" + (dir / "data"),
                "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    }
    std::vector<std::string> trashed() const {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& item : fs::directory_iterator(dir / "data/Trash/files", error)) {
            names.push_back(item.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

ProcessResult Extract(const Home& home, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), BRISKO_EXTRACT);
    return RunProcess(arguments, home.environment(), 120, {.workingFolder = {}, .captureOutput = true});
}

TEST(BriskoExtract, EachOptionOverridesWhatTheOptionsWindowStored) {
    const std::string stored = "SingleSub=1\nSeparateSubs=0\nSameFolder=0\nSubFolderName=Stored\n"
                               "DeleteOriginals=0\nRecurse=0\nZipsInZips=0\nOverwrite=1\nNewer=1\nPrompt=0\n";
    const std::string inner = ZipBytes({{"i.txt", "I"}});
    // Stored/a.txt is older than its entry, Stored/z.txt newer.
    const std::map<std::string, std::string> storedOutcome{
        {"Stored/a.txt", "A"}, {"Stored/z.txt", "newer here"}, {"Stored/inner.zip", inner}};
    struct Case {
        const char* what;
        std::vector<std::string> options;
        std::string storedToo;
        std::map<std::string, std::string> files; // besides the archives
        std::vector<std::string> trash;
    };
    const auto with = [&](std::map<std::string, std::string> changes) {
        std::map<std::string, std::string> files = storedOutcome;
        for (auto& [name, content] : changes) {
            files[name] = content;
        }
        return files;
    };
    const Case cases[] = {
        {"nothing given: what was stored", {}, "", storedOutcome, {}},
        {"--into per-archive", {"--into", "per-archive"}, "", {{"a/a.txt", "A"}, {"a/z.txt", "Z"}, {"n/inner.zip", inner}}, {}},
        {"--into same", {"--into", "same"}, "", {{"a.txt", "A"}, {"z.txt", "Z"}, {"inner.zip", inner}}, {}},
        {"--subfolder", {"--subfolder", "Mine"}, "", {{"Mine/a.txt", "A"}, {"Mine/z.txt", "Z"}, {"Mine/inner.zip", inner}}, {}},
        {"--duplicates never", {"--duplicates", "never"}, "", with({{"Stored/a.txt", "older here"}}), {}},
        {"--duplicates always", {"--duplicates", "always"}, "", with({{"Stored/z.txt", "Z"}}), {}},
        {"--duplicates ask, no terminal: never", {"--duplicates", "ask"}, "", with({{"Stored/a.txt", "older here"}}), {}},
        {"--trash", {"--trash"}, "", storedOutcome, {"a.zip", "n.zip"}},
        {"--no-trash over a stored yes", {"--no-trash"}, "DeleteOriginals=1\n", storedOutcome, {}},
        {"--recurse", {"--recurse"}, "", with({{"sub/Stored/b.txt", "B"}}), {}},
        {"--no-recurse over a stored yes", {"--no-recurse"}, "Recurse=1\n", storedOutcome, {}},
        // An archive's archives in a subfolder are found by searching subfolders.
        {"--nested", {"--nested", "--recurse"}, "", with({{"Stored/Stored/i.txt", "I"}, {"sub/Stored/b.txt", "B"}}), {}},
        {"--no-nested over a stored yes; the last of a pair wins", {"--nested", "--no-nested"}, "ZipsInZips=1\nRecurse=1\n",
         with({{"sub/Stored/b.txt", "B"}}), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Home home(stored + c.storedToo);
        TempDir in;
        WriteZip(in / "a.zip", {{"a.txt", "A"}, {"z.txt", "Z"}});
        WriteZip(in / "n.zip", {{"inner.zip", inner}});
        fs::create_directory(in / "sub");
        WriteZip(in / "sub/b.zip", {{"b.txt", "B"}});
        for (const auto& [name, when] : {std::pair{"a.txt", kFixtureTime - 86400}, {"z.txt", kFixtureTime + 86400}}) {
            WriteFile(in / ("Stored/" + std::string(name)), when < kFixtureTime ? "older here" : "newer here");
            const utimbuf times{when, when};
            utime((in / ("Stored/" + std::string(name))).c_str(), &times);
        }
        std::vector<std::string> arguments = c.options;
        arguments.push_back(in.path());
        const ProcessResult result = Extract(home, arguments);
        EXPECT_EQ(result.exitStatus, 0) << result.output;

        std::map<std::string, std::string> expected = c.files;
        expected.emplace("Stored/a.txt", "older here"); // unless the case says otherwise
        expected.emplace("Stored/z.txt", "newer here");
        std::map<std::string, std::string> files;
        for (const auto& [name, content] : Tree(in.path())) {
            const bool archive = name == "a.zip" || name == "n.zip" || name == "sub/b.zip";
            if (!name.ends_with("/") && !archive) {
                files[name] = content;
            }
        }
        EXPECT_EQ(files, expected);
        EXPECT_EQ(home.trashed(), c.trash);
    }
}

TEST(BriskoExtract, PasswordsComeFromTheFileOrTheFailureSaysWhatIsMissing) {
    if (!fs::exists(kSamples + "/rar/rar5-enc-data/rar5-psw.rar") ||
        !fs::exists(kSamples + "/ace/unace-tests-v1/passwd.ace")) {
        GTEST_SKIP() << "the sample archives are not in " << kSamples;
    }
    struct Case {
        const char* what;
        std::string passwords; // no file when empty
        std::vector<std::string> outcomes;
    } const cases[] = {
        {"each archive finds its own in turn; blank lines and CRs are no passwords", "no\n\nzpw\npassword\r\npass\n",
         {"extracted a.zip", "extracted b.rar", "extracted c.ace"}},
        {"only wrong ones", "no\n",
         {"failed a.zip: wrong password: secret.txt", "failed b.rar: wrong password or damaged data: stest1.txt",
          "failed c.ace: wrong password: passwd.m4"}},
        {"no file and no terminal", "",
         {"failed a.zip: password needed: secret.txt", "failed b.rar: password needed",
          "failed c.ace: password needed: passwd.m4"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Home home;
        TempDir in;
        WriteZip(in / "a.zip", {{"secret.txt", "S"}}, {.encryption = "zipcrypt", .passphrase = "zpw"});
        fs::copy_file(kSamples + "/rar/rar5-enc-data/rar5-psw.rar", in / "b.rar");
        fs::copy_file(kSamples + "/ace/unace-tests-v1/passwd.ace", in / "c.ace");
        std::vector<std::string> arguments{"--into", "same", "--no-trash"};
        if (!c.passwords.empty()) {
            WriteFile(home.dir / "passwords", c.passwords);
            arguments.insert(arguments.end(), {"--password-file", home.dir / "passwords"});
        }
        arguments.push_back(in.path());
        const ProcessResult result = Extract(home, arguments);
        EXPECT_EQ(Lines(result.output, in.path()), c.outcomes);
        EXPECT_EQ(result.exitStatus, c.outcomes[0].starts_with("failed") ? 1 : 0);
        EXPECT_EQ(Exists(in / "secret.txt"), c.outcomes[0].starts_with("extracted"));
    }
}

// Runs the program on a pseudo-terminal; each time its output so far ends with a prompt's text, the
// answer is typed. Returns everything the terminal showed and the exit status.
std::pair<std::string, int> RunOnTerminal(const Home& home, const std::vector<std::string>& arguments,
                                          std::vector<std::pair<std::string, std::string>> prompts) {
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        std::vector<char*> args;
        for (const std::string& entry : home.environment()) {
            const auto equals = entry.find('=');
            equals == std::string::npos ? unsetenv(entry.c_str())
                                        : setenv(entry.substr(0, equals).c_str(), entry.c_str() + equals + 1, 1);
        }
        args.push_back(const_cast<char*>(BRISKO_EXTRACT));
        for (const std::string& arg : arguments) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        _exit(execv(args[0], args.data()) == 0 ? 0 : 127);
    }
    std::string shown;
    std::size_t next = 0;
    for (pollfd wait{terminal, POLLIN, 0};;) {
        char buffer[512];
        if (poll(&wait, 1, 60000) <= 0) {
            kill(child, SIGKILL); // nothing shown for a minute
            break;
        }
        const ssize_t got = read(terminal, buffer, sizeof buffer);
        if (got <= 0) {
            break; // the program closed the terminal
        }
        shown.append(buffer, static_cast<std::size_t>(got));
        if (!prompts.empty() && shown.find(prompts.front().first, next) != std::string::npos) {
            next = shown.size();
            const std::string answer = prompts.front().second + "\n";
            EXPECT_EQ(write(terminal, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
            prompts.erase(prompts.begin());
        }
    }
    close(terminal);
    int status = 0;
    waitpid(child, &status, 0);
    return {shown, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(BriskoExtract, OnATerminalThePasswordIsAskedWithoutEchoAndDuplicatesAreAsked) {
    const Home home;
    TempDir in;
    WriteZip(in / "a.zip", {{"secret.txt", "S"}}, {.encryption = "zipcrypt", .passphrase = "typed-pw"});
    WriteZip(in / "b.zip", {{"keep.txt", "new"}, {"take.txt", "new"}});
    WriteFile(in / "keep.txt", "mine");
    WriteFile(in / "take.txt", "mine");
    const auto [shown, status] =
        RunOnTerminal(home, {"--into", "same", "--duplicates", "ask", in.path()},
                      {{"Password: ", "typed-pw"}, {"Overwrite keep.txt? [y]es, [n]o, [A]ll, [N]one: ", "n"},
                       {"Overwrite take.txt?", "y"}});
    EXPECT_EQ(status, 0) << shown;
    EXPECT_EQ(shown.find("typed-pw"), std::string::npos) << "the password was echoed: " << shown;
    EXPECT_NE(shown.find("extracted " + in / "a.zip"), std::string::npos) << shown;
    EXPECT_EQ(ReadFile(in / "secret.txt"), "S");
    EXPECT_EQ(ReadFile(in / "keep.txt"), "mine");
    EXPECT_EQ(ReadFile(in / "take.txt"), "new");
}

TEST(BriskoExtract, JsonLinesParseBackForEveryKindOfName) {
    const Home home;
    TempDir in;
    const std::vector<std::string> names{"say \"hi\" \\ there.zip", "two\nlines.zip", "tab\there ü.zip"};
    for (const std::string& name : names) {
        WriteZip(in / name, {{"f-" + std::to_string(&name - names.data()), "x"}});
    }
    WriteFile(in / "broken.zip", "PK\x03\x04 not really");
    const ProcessResult result = Extract(home, {"--json", "--into", "same", in.path()});
    EXPECT_EQ(result.exitStatus, 1);
    std::map<std::string, QJsonObject> objects;
    for (const std::string& line : Lines(result.output)) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << line;
        objects[document.object().value("archive").toString().toStdString()] = document.object();
    }
    ASSERT_EQ(objects.size(), names.size() + 1) << result.output;
    for (const std::string& name : names) {
        EXPECT_EQ(objects[in / name].value("outcome").toString(), "extracted") << name;
        EXPECT_FALSE(objects[in / name].contains("reason"));
    }
    EXPECT_EQ(objects[in / "broken.zip"].value("outcome").toString(), "failed");
    EXPECT_FALSE(objects[in / "broken.zip"].value("reason").toString().isEmpty());
}

TEST(BriskoExtract, TheExitStatusTellsWhatHappened) {
    const Home home;
    TempDir empty, broken;
    WriteFile(broken / "broken.zip", "PK\x03\x04 not really");
    // What is run, the status, and the start of standard output.
    const std::tuple<std::vector<std::string>, int, const char*> cases[] = {
        {{empty.path()}, 0, ""},                        // nothing found
        {{"--no-trash", broken.path()}, 1, "failed "}, // an archive failed
        {{}, 2, ""},                                    // usage errors: no folder, one that does not exist, ...
        {{empty / "gone"}, 2, ""},
        {{"--sideways", empty.path()}, 2, ""},
        {{"--into", "sideways", empty.path()}, 2, ""},
        {{"--subfolder", "../up", empty.path()}, 2, ""}, // a subfolder that is no folder name
        {{"--password-file", empty / "none", empty.path()}, 2, ""},
        {{"--help"}, 0, "Usage: "},
        {{"--version"}, 0, "brisko-extract "},
    };
    for (const auto& [arguments, status, output] : cases) {
        const ProcessResult result = Extract(home, arguments);
        EXPECT_EQ(result.exitStatus, status) << ::testing::PrintToString(arguments);
        EXPECT_TRUE(result.output.starts_with(output)) << result.output;
    }
    EXPECT_EQ(home.trashed(), std::vector<std::string>{}) << "a failed archive stays";
}

// SIGTERM while a large entry is written: the entry is abandoned at once, nothing of it stays, nothing
// is trashed, and the status says which signal ended the run. The program is held still while the
// signal is sent, so that the entry cannot finish first.
TEST(BriskoExtract, SigtermAbandonsTheEntryInHandInEveryFormat) {
    constexpr std::size_t kLarge = 128u << 20;
    const std::function<void(const std::string&)> writers[] = {
        [](const std::string& in) { WriteZip(in + "/a.zip", {{"big/large.bin", std::string(4 * kLarge, '\0')}}); },
        [](const std::string& in) { WriteRar(in + "/a", {{"big/large.bin", std::string(kLarge, 'r')}}, RarFormat::Rar5); },
        [](const std::string& in) { WriteAce(in + "/a.ace", {{"big\\large.bin", std::string(kLarge, 'a')}}); },
    };
    for (const auto& write : writers) {
        const Home home("SameFolder=1\nSingleSub=0\nDeleteOriginals=1\n");
        TempDir in;
        write(in.path());
        WriteZip(in / "b_next.zip", {{"next.txt", "n"}});
        const auto before = Tree(in.path());
        SCOPED_TRACE(before.begin()->first);

        const pid_t pid = StartProcess({BRISKO_EXTRACT, in.path()}, home.environment());
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(WaitUntilWritingBelow(pid, in.path(), 60)) << "the large entry was never seen being written";
        kill(pid, SIGSTOP);
        kill(pid, SIGTERM);
        const auto sent = std::chrono::steady_clock::now();
        kill(pid, SIGCONT);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(500));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;

        auto after = Tree(in.path());
        after.erase("big/"); // the entry's folder may stay, empty
        EXPECT_EQ(after, before);
        EXPECT_EQ(home.trashed(), std::vector<std::string>{});
    }
}

// The window and the command line run the same batch run: one folder, the same options, the same tree
// and trash after.
TEST(BriskoExtract, TheWindowAndTheCommandLeaveTheSameTreeAndTrash) {
    const std::string options = "SingleSub=0\nSeparateSubs=1\nDeleteOriginals=1\nRecurse=1\nZipsInZips=1\n";
    std::map<std::string, std::string> trees[2];
    std::vector<std::string> trashes[2];
    for (int headless = 0; headless < 2; ++headless) {
        const Home home(options);
        TempDir in;
        WriteZip(in / "a.zip", {{"a.txt", "A"}, {"deep/inner.zip", ZipBytes({{"i.txt", "I"}})}});
        fs::create_directory(in / "sub");
        WriteRar(in / "sub/set", {{"big.txt", std::string(300000, 'r')}, {"r.txt", "R"}}, RarFormat::Rar5, 3);
        WriteAce(in / "c.ace", {{"c.txt", "C"}});
        WriteFile(in / "notes.txt", "mine");
        ProcessResult result;
        if (headless == 1) {
            result = Extract(home, {in.path()});
        } else {
            std::vector<std::string> environment = home.environment();
            environment.push_back("QT_QPA_PLATFORM=offscreen");
            result = RunProcess({BRISKO_BINARY, in.path()}, environment, 120);
        }
        EXPECT_EQ(result.exitStatus, 0) << (headless == 1 ? "brisko-extract" : "brisko");
        trees[headless] = Tree(in.path());
        trashes[headless] = home.trashed();
    }
    EXPECT_EQ(trees[0], trees[1]);
    EXPECT_EQ(trashes[0], trashes[1]);
    EXPECT_EQ(trashes[1], (std::vector<std::string>{"a.zip", "c.ace", "inner.zip", "set.part1.rar",
                                                    "set.part2.rar", "set.part3.rar"}));
}

} // namespace
} // namespace brisko::test
