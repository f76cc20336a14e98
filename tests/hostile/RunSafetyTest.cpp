// What a batch run may write, replace, trash and enter, with the real engines: seeded folders whose
// archives name each other's files, folders as a user has them, a disk that fills, a run killed mid-entry.
// Then archives working against each other: a link one archive (or pass, or another tool) left. Faults
// these catch:
// - an archive or volume of the pass replaced, changed, lost, or both kept and trashed, in any
//   destination mode and duplicate policy; a trashed file without its description
// - an archive trashed though it failed, or failed though nothing of the pass was in its way
// - a volume set trashed in part, or as a second link
// - a download that finishes meanwhile replaced or extracted as it was before
// - an archive named "...zip" extracting into the folder above; a pipe named like a volume read
// - a folder too deep to name passed over; a full disk not failing the archive with its reason, or
//   keeping what it wrote; a killed run leaving a partial file, a temporary or a trashed archive
// - a link one archive (or one pass, or another tool) left carrying a later archive's file anywhere
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "batch/BatchRun.h"
#include "enginelibs/ZipFixtures.h"
#include "hostile/HostileArchives.h"
#include "support/Process.h"
#include "support/RarFixtures.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace brisko::test::hostile {
namespace {

std::string Bytes(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    std::generate(data.begin(), data.end(), std::mt19937(seed));
    return data;
}

ino_t Inode(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

struct Outcome {
    std::vector<std::string> failed, reasons, messages;
};
Outcome RunOn(const std::string& in, const std::string& trash, const records::Settings& settings,
          std::function<void(const std::string&, const std::string&)> onStatus = {}) {
    QuietHosts hosts;
    records::ProcessState state;
    state.settings = settings;
    WatchingDisplay display;
    display.onStatus = std::move(onStatus);
    const engines::EngineAdapters adapters = hosts.adapters();
    batch::BatchRun(state, display, hosts.dialogs, adapters, platform::TrashPlaces{trash}).RunBatch(in);
    return {display.failed, display.reasons, hosts.dialogs.messages};
}

// Deleting originals, into "Briskoed" below the folder (mode 0) or below a folder per archive (1), or into
// the folder itself (2). Overwrite and Newer both 1: "only if newer", as a new user has it.
records::Settings Options(int mode, std::int16_t overwrite, std::int16_t newer, bool nested = false, bool recurse = false,
                          bool trash = true) {
    records::Settings s;
    s.SingleSub = mode == 0;
    s.SeparateSubs = mode == 1;
    s.SameFolder = mode == 2;
    s.SubFolderName = "Briskoed";
    s.Overwrite = overwrite;
    s.Newer = newer;
    s.ZipsInZips = nested;
    s.Recurse = recurse;
    s.DeleteOriginals = trash;
    return s;
}

// What the trash holds: original path -> the file in files/. A file without its description, or the
// other way round, is a problem.
std::map<std::string, std::string> TrashContents(const std::string& trash, std::vector<std::string>& problems) {
    std::map<std::string, std::string> byOrigin;
    std::error_code error;
    for (const auto& file : fs::directory_iterator(trash + "/files", error)) {
        const std::string name = file.path().filename().string(), info = trash + "/info/" + name + ".trashinfo";
        const std::string text = Exists(info) ? ReadFile(info) : "";
        const std::string encoded = text.find("\nPath=") == std::string::npos ? "" : text.substr(text.find("\nPath=") + 6);
        std::string path;
        for (std::size_t i = 0; i < encoded.size() && encoded[i] != '\n'; ++i) { // percent-decoded
            path += encoded[i] == '%' ? static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16)) : encoded[i];
            i += encoded[i] == '%' ? 2 : 0;
        }
        byOrigin[path] = file.path().string();
    }
    const auto infos = std::distance(fs::directory_iterator(trash + "/info", error), fs::directory_iterator());
    if (byOrigin.count("") != 0 || infos != static_cast<long>(byOrigin.size())) {
        problems.push_back("a trashed file without its description, or the other way round");
    }
    return byOrigin;
}

// Seeded folders: 2 to 5 archives of any format (RAR ones as sets of 1 to 3 volumes, named either way)
// whose entries are ordinary names or names of the pass's own files.
TEST(PassProperty, NoArchiveFileOfAPassIsReplacedLostOrTrashedUnextracted) {
    const Format formats[] = {Format::Zip, Format::Rar4, Format::Rar5, Format::Ace};
    for (std::uint32_t seed = 1; seed <= 60; ++seed) {
        std::mt19937 random(seed);
        TempDir root;
        const std::string in = root / "in", trash = root / "Trash";
        fs::create_directories(in);
        struct Archive {
            Format format;
            std::vector<std::string> volumes, entries; // the first volume is what the run dispatches
        };
        std::vector<Archive> archives(2 + random() % 4);
        std::set<std::string> passNames;
        for (std::size_t i = 0; i < archives.size(); ++i) {
            Archive& a = archives[i];
            a.format = formats[random() % 4];
            const std::string base = in + "/" + static_cast<char>('a' + i);
            const int volumes = a.format == Format::Rar4 || a.format == Format::Rar5 ? 1 + static_cast<int>(random() % 3) : 1;
            const bool oldNaming = volumes > 1 && random() % 2 == 0;
            for (int v = 0; v < volumes; ++v) {
                a.volumes.push_back(volumes == 1 ? base + Extension(a.format)
                                    : oldNaming ? (v == 0 ? base + ".rar" : base + ".r0" + std::to_string(v - 1))
                                                : base + ".part" + std::to_string(v + 1) + ".rar");
                passNames.insert(fs::path(a.volumes.back()).filename().string());
            }
        }
        const std::vector<std::string> names(passNames.begin(), passNames.end());
        std::map<std::string, std::pair<std::string, ino_t>> before;
        for (Archive& a : archives) {
            for (std::size_t e = 1 + random() % 3; e > 0; --e) {
                a.entries.push_back(random() % 2 == 0 ? names[random() % names.size()] : "f" + std::to_string(random() % 3) + ".txt");
            }
            std::vector<RarItem> items;
            std::vector<HostileEntry> entries;
            for (const std::string& name : a.entries) {
                items.push_back({name, "from " + a.volumes[0] + " " + std::to_string(random() % 1000)});
                entries.push_back({HostileEntry::Kind::File, name, items.back().data});
            }
            if (a.format == Format::Zip || a.format == Format::Ace) {
                WriteHostileArchive(a.format, a.volumes[0], entries);
            } else {
                const bool partNames = a.volumes[0].ends_with(".part1.rar");
                const std::string base = a.volumes[0].substr(0, a.volumes[0].size() - (partNames ? 10 : 4));
                ASSERT_EQ(WriteRar(base, items, a.format == Format::Rar5 ? RarFormat::Rar5 : RarFormat::Rar4,
                                   static_cast<int>(a.volumes.size()), !partNames),
                          a.volumes);
            }
            for (const std::string& volume : a.volumes) {
                before[volume] = {ReadFile(volume), Inode(volume)};
            }
        }
        const int mode = static_cast<int>(seed % 3);
        const bool replace = random() % 4 != 0, nested = random() % 2, recurse = random() % 2; // mostly "replace"
        const Outcome run = RunOn(in, trash, Options(mode, replace, 0, nested, recurse));

        std::vector<std::string> problems;
        const auto trashed = TrashContents(trash, problems);
        for (const auto& [path, file] : before) {
            const bool inFolder = Inode(path) == file.second;
            const auto inTrash = trashed.find(path);
            if ((inFolder && ReadFile(path) != file.first) || (inTrash != trashed.end() && ReadFile(inTrash->second) != file.first)) {
                problems.push_back("changed in place or in the trash: " + path);
            }
            if (inFolder == (inTrash != trashed.end())) {
                problems.push_back(inFolder ? "both in the folder and in the trash: " + path : "lost: " + path);
            }
        }
        for (const Archive& a : archives) {
            const bool failed = std::find(run.failed.begin(), run.failed.end(), a.volumes[0]) != run.failed.end();
            for (const std::string& volume : a.volumes) {
                if (failed && trashed.count(volume) != 0) {
                    problems.push_back("failed but trashed: " + volume);
                }
            }
            const bool namesNoPassFile =
                std::none_of(a.entries.begin(), a.entries.end(), [&](const std::string& e) { return passNames.count(e); });
            if (failed && (namesNoPassFile || mode != 2)) {
                problems.push_back("not extracted although nothing of the pass was in its way: " + a.volumes[0]);
            }
        }
        for (const std::string& problem : problems) {
            ADD_FAILURE() << "seed " << seed << ", mode " << mode << ": " << problem;
        }
    }
}

struct Folder {
    // rm goes through folders too deep for a path to name; the test's own removal does not.
    ~Folder() { std::system(("rm -rf -- '" + root.path() + "'").c_str()); }
    TempDir root;
    const std::string in = root / "in", trash = root / "home/Trash";
    std::string at(const std::string& name) const { return in + "/" + name; }
    bool trashed(const std::string& name) const { return Exists(trash + "/files/" + name); }
};

TEST(RunSafety, EachFolderGetsItsOutcome) {
    const struct {
        const char* what;
        records::Settings settings;
        std::function<void(Folder&)> make;
        std::function<void(const Folder&, const std::string& archive, const std::string& status)> during;
        std::function<void(const Folder&, const Outcome&)> check;
    } cases[] = {
        {"a volume set, last in the folder, goes to the trash whole and does not come back", Options(0, 1, 1),
         [](Folder& f) { WriteRar(f.at("x"), {{"movie.bin", Bytes(300000, 1)}}, RarFormat::Rar5, 3); }, {},
         [](const Folder& f, const Outcome& o) {
             EXPECT_TRUE(o.failed.empty());
             EXPECT_EQ(ReadFile(f.at("Briskoed/movie.bin")), Bytes(300000, 1));
             for (const char* v : {"x.part1.rar", "x.part2.rar", "x.part3.rar"}) {
                 struct stat st {};
                 EXPECT_FALSE(Exists(f.at(v))) << v;
                 EXPECT_EQ(lstat((f.trash + "/files/" + v).c_str(), &st) == 0 ? st.st_nlink : 0, 1u) << v;
             }
             for (const auto& item : fs::directory_iterator(f.in)) {
                 EXPECT_NE(item.path().filename().string().front(), '.') << "left beside the archives";
             }
         }},
        {"a download that finishes meanwhile is kept, and extracted as it is then", Options(0, 1, 1),
         [](Folder& f) {
             WriteZip(f.at("big.zip"), {{"one.bin", Bytes(1 << 20, 2)}, {"two.bin", Bytes(1 << 20, 3)}});
             WriteZip(f.at("other.zip"), {{"old.txt", "the old download"}});
         },
         [](const Folder& f, const std::string& archive, const std::string& status) {
             if (archive == f.at("big.zip") && status.find("one.bin") != std::string::npos && !Exists(f.root / "new.zip")) {
                 WriteZip(f.root / "new.zip", {{"new.txt", "the new download"}});
                 fs::copy_file(f.root / "new.zip", f.at(".other.zip.crdownload"));
                 fs::rename(f.at(".other.zip.crdownload"), f.at("other.zip"));
             }
         },
         [](const Folder& f, const Outcome& o) {
             EXPECT_TRUE(o.failed.empty());
             EXPECT_EQ(ReadFile(f.at("Briskoed/new.txt")), "the new download");
             EXPECT_FALSE(Exists(f.at("Briskoed/old.txt")));
             EXPECT_EQ(ReadFile(f.trash + "/files/other.zip"), ReadFile(f.root / "new.zip"));
         }},
        {"an archive named ...zip extracts below its folder, never into the one above", Options(1, 1, 1),
         [](Folder& f) {
             WriteFile(f.root / ".bashrc", "mine");
             WriteZip(f.at("...zip"), {{".bashrc", "theirs", ZipItem::Kind::File, 0644, 2051222400},
                                       {".config/autostart/evil.desktop", "x"}});
             WriteZip(f.at("..zip"), {{"b.txt", "b"}});
         }, {},
         [](const Folder& f, const Outcome& o) {
             EXPECT_TRUE(o.failed.empty());
             EXPECT_EQ(ReadFile(f.root / ".bashrc"), "mine");
             EXPECT_FALSE(Exists(f.root / ".config") || Exists(f.at("b.txt")));
             EXPECT_EQ(ReadFile(f.at("...zip_files/.bashrc")), "theirs");
             EXPECT_EQ(ReadFile(f.at("..zip_files/b.txt")), "b");
         }},
        {"a pipe named like a volume fails its set at once", Options(0, 1, 1),
         [](Folder& f) {
             const auto x = WriteRar(f.at("x"), {{"x.bin", Bytes(100000, 7)}}, RarFormat::Rar5, 2);
             const auto y = WriteRar(f.at("y"), {{"y.bin", Bytes(100000, 8)}}, RarFormat::Rar4, 2, true);
             for (const std::string& volume : {x[1], y[1]}) {
                 fs::remove(volume);
                 ASSERT_EQ(mkfifo(volume.c_str(), 0600), 0);
             }
         }, {},
         [](const Folder& f, const Outcome& o) {
             EXPECT_EQ(o.failed, (std::vector<std::string>{f.at("x.part1.rar"), f.at("y.rar")}));
             EXPECT_FALSE(fs::exists(f.trash));
         }},
        {"a folder too deep to be read is listed, not passed over", Options(0, 1, 1, false, true),
         [](Folder& f) {
             // 21 folders of 200 characters, one inside the other: deeper than the system lets a path name.
             WriteZip(f.root / "x.zip", {{"x.txt", "x"}});
             const std::string archive = ReadFile(f.root / "x.zip"), name(200, 'd');
             int fd = open(f.in.c_str(), O_RDONLY | O_DIRECTORY);
             for (int i = 0; i < 21; ++i) {
                 mkdirat(fd, name.c_str(), 0755);
                 const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
                 close(std::exchange(fd, next));
             }
             const int out = openat(fd, "x.zip", O_WRONLY | O_CREAT, 0644);
             EXPECT_EQ(write(out, archive.data(), archive.size()), static_cast<ssize_t>(archive.size()));
             close(out);
             close(fd);
         }, {},
         [](const Folder&, const Outcome& o) {
             ASSERT_EQ(o.failed.size(), 1u);
             EXPECT_GT(o.failed[0].size(), 4096u);
             EXPECT_EQ(o.failed[0].back(), '/');
             EXPECT_TRUE(o.messages.empty()) << "no claim that nothing was found";
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        fs::create_directories(folder.in);
        c.make(folder);
        c.check(folder, RunOn(folder.in, folder.trash, c.settings, [&](const std::string& archive, const std::string& status) {
                    if (c.during) {
                        c.during(folder, archive, status);
                    }
                }));
    }
}

// An archive that would fill the disk fails with its reason, gives back what it wrote, and the run goes
// on: a smaller archive after it still fits.
TEST(RunSafety, AnArchiveThatWouldFillTheDiskFailsAndTheNextOneFits) {
    SmallFileSystem disk(64);
    if (!disk.mounted()) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    }
    Folder folder;
    fs::create_directories(disk / "in");
    WriteZip(disk / "in/a_bomb.zip", {{"zeros.bin", std::string(100u << 20, '\0')}});
    WriteZip(disk / "in/b_small.zip", {{"small.txt", "fits"}});
    const unsigned long long before = disk.used();
    const Outcome run = RunOn(disk / "in", folder.trash, Options(0, 1, 1));
    EXPECT_EQ(run.failed, std::vector<std::string>{disk / "in/a_bomb.zip"});
    EXPECT_EQ(run.reasons, std::vector<std::string>{"not enough free space"});
    EXPECT_EQ(ReadFile(disk / "in/Briskoed/small.txt"), "fits");
    EXPECT_FALSE(Exists(disk / "in/Briskoed/zeros.bin"));
    EXPECT_TRUE(Exists(disk / "in/a_bomb.zip"));
    EXPECT_LT(disk.used(), before + (1u << 20));
}

// A run killed with SIGKILL in the middle of writing a large entry leaves nothing of it: no partial file,
// no temporary, nothing hidden beside the archives, nothing trashed.
TEST(RunSafety, AKilledRunLeavesNothingBehind) {
    TempDir home, in;
    WriteZip(in / "a_big.zip", {{"big/huge.bin", std::string(512u << 20, '\0')}}); // a few seconds to write
    WriteRar(in / "b", {{"b.txt", "b"}}, RarFormat::Rar5, 2);
    WriteFile(home / "config/Brisko/Brisko.ini", "[Options]\nSameFolder=1\nSingleSub=0\nDeleteOriginals=1\n");
    const auto tree = [&] { // names with kind, size and inode: short enough to print
        std::map<std::string, std::string> out;
        for (const auto& item : fs::recursive_directory_iterator(in.path())) {
            struct stat st {};
            lstat(item.path().c_str(), &st);
            out[item.path().lexically_relative(in.path()).string()] =
                S_ISDIR(st.st_mode) ? "folder" : std::to_string(st.st_size) + " bytes, inode " + std::to_string(st.st_ino);
        }
        return out;
    };
    const auto before = tree();
    const pid_t pid = StartProcess({BRISKO_BINARY, in.path()}, {"HOME=" + home.path(), "XDG_CONFIG_HOME=" + (home / "config"),
                                                                "XDG_DATA_HOME=" + (home / ".local/share"), "QT_QPA_PLATFORM=offscreen"});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitUntilWritingBelow(pid, in / "big", 60)) << "the large entry was never seen being written";
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    auto after = tree();
    EXPECT_EQ(after.erase("big"), 1u) << "the entry's folder may stay, empty";
    EXPECT_EQ(after, before) << "only the archives, as they were";
    EXPECT_FALSE(Exists(home / ".local/share/Trash/files/a_big.zip"));
}

using Kind = HostileEntry::Kind;
HostileEntry File(std::string name, std::string data) { return {Kind::File, std::move(name), std::move(data)}; }
HostileEntry Folder(std::string name) { return {Kind::Folder, std::move(name), {}, 040755}; }
HostileEntry Link(std::string name, std::string target) { return {Kind::Link, std::move(name), std::move(target), 0120777}; }
HostileEntry Through(Format format) { return File(format == Format::Ace ? "d\\x" : "d/x", "through"); }

// Archives working against each other in one batch run into a common subfolder "Briskoed", deleting originals.
class CrossArchiveTest : public ::testing::Test {
protected:
    void SetUp() override { m_oldUmask = umask(022); }
    void TearDown() override { umask(m_oldUmask); }

    // The archives that failed; the scan folder lies in the sandbox's destination.
    std::string runFolder(bool nested) {
        std::string failed; // the next pass finds nested archives in Briskoed
        for (const std::string& archive : RunOn(m_in, m_home / "Trash", Options(0, 1, 0, nested, nested)).failed) {
            failed += archive + "\n";
        }
        return failed;
    }

    mode_t m_oldUmask = 0;
    TempDir m_root, m_home;
    const Sandbox m_sandbox{m_root.path()};
    const std::string m_in = m_sandbox.destination + "/in", m_out = m_in + "/Briskoed";
};

TEST_F(CrossArchiveTest, ALinkLeftByOneArchiveOrPassCarriesNoFileOfAnother) {
    const struct {
        Format outer;
        std::vector<HostileEntry> a; // extracted first, may leave a link
        Format inner;
        std::string planted; // a link another tool left as Briskoed/d, when not empty
        bool nested;         // b inside a, extracted in the next pass into Briskoed/Briskoed
        bool bMustFail;
    } cases[] = {
        {Format::Zip, {Folder("sub"), Link("d", "sub")}, Format::Rar5, "", false, true},
        {Format::Rar5, {Folder("sub"), Link("d", "sub")}, Format::Ace, "", false, true},
        {Format::Rar4, {Link("d", ".")}, Format::Zip, "", false, true},
        {Format::Zip, {Link("d", m_sandbox.outside)}, Format::Ace, "", false, false}, // refused: ACE makes a real d
        {Format::Rar5, {Link("d", "../../../outside")}, Format::Zip, "", false, false},
        {Format::Zip, {File("plain.txt", "p")}, Format::Rar4, m_sandbox.outside, false, true},
        {Format::Zip, {File("plain.txt", "p")}, Format::Ace, m_sandbox.root + "/tosentinel", false, true},
        {Format::Zip, {Folder("Briskoed/sub"), Link("Briskoed/d", "sub")}, Format::Rar5, "", true, true},
        {Format::Rar4, {Folder("Briskoed/sub"), Link("Briskoed/d", "sub")}, Format::Ace, "", true, true},
        {Format::Zip, {Folder("Briskoed/sub"), Link("Briskoed/d", "../../../outside")}, Format::Rar4, "", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(FormatName(c.outer)) + " then " + FormatName(c.inner) + " " + Describe(c.a) + c.planted);
        fs::remove_all(m_in);
        fs::create_directories(m_out);
        const std::string a = m_in + "/a" + Extension(c.outer), b = (c.nested ? m_out : m_in) + "/b" + Extension(c.inner);
        TempDir work;
        WriteHostileArchive(c.inner, c.nested ? work / "b" : b, {Through(c.inner)});
        std::vector<HostileEntry> outer = c.a;
        if (c.nested) {
            outer.insert(outer.begin(), File("b" + Extension(c.inner), ReadFile(work / "b")));
        }
        WriteHostileArchive(c.outer, a, outer);
        if (!c.planted.empty()) {
            ASSERT_EQ(symlink(c.planted.c_str(), (m_out + "/d").c_str()), 0);
        }
        const auto outside = TreeOf(m_sandbox.root, true, "out");
        const std::string failed = runFolder(c.nested);

        EXPECT_EQ(TreeOf(m_sandbox.root, true, "out"), outside);
        EXPECT_FALSE(Exists(m_out + "/sub/x") || Exists(m_out + "/Briskoed/sub/x")) << "written through the link";
        EXPECT_TRUE(c.planted.empty() ? CheckDestination(m_sandbox.root, m_in).empty() : true);
        const std::string d = c.nested ? m_out + "/Briskoed/d" : m_out + "/d";
        if (c.bMustFail) {
            EXPECT_NE(failed.find("b" + Extension(c.inner)), std::string::npos) << failed;
            EXPECT_TRUE(Exists(b)) << "a failed archive went to the trash";
        } else if (!c.nested) {
            EXPECT_TRUE(fs::is_directory(fs::symlink_status(d)));
            EXPECT_EQ(ReadFile(d + "/x"), "through");
            EXPECT_TRUE(Exists(a)) << "the archive with the refused link went to the trash";
            EXPECT_FALSE(Exists(b));
        } else if (Exists(d)) { // the outer archive failed; if there was a further pass, d is a folder
            EXPECT_TRUE(fs::is_directory(fs::symlink_status(d)));
        }
    }
}

} // namespace
} // namespace brisko::test::hostile
