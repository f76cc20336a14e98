// What a batch run may write, replace, trash and enter, with the real engines: folders as a user has
// them (volume sets, downloads finishing meanwhile, odd names, pipes, links) and the outcome each must
// have. Then a run killed in the middle of an entry.
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "batch/BatchRun.h"
#include "enginelibs/ZipFixtures.h"
#include "hostile/QuietHosts.h"
#include "support/Process.h"
#include "support/RarFixtures.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace brisko::test {
namespace {

records::Settings Options(std::int16_t separate, std::int16_t same, std::int16_t recurse = 0) {
    records::Settings s;
    s.Overwrite = s.Newer = 1; // "only if newer", as a new user has it
    s.SingleSub = separate == 0 && same == 0 ? 1 : 0;
    s.SeparateSubs = separate;
    s.SameFolder = same;
    s.SubFolderName = "Briskoed";
    s.DeleteOriginals = 1;
    s.Recurse = recurse;
    return s;
}

// The same with "always overwrite": an entry then replaces whatever it may.
records::Settings AlwaysReplacing(records::Settings s) {
    s.Newer = 0;
    return s;
}

nlink_t Links(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_nlink : 0;
}

std::string Bytes(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = static_cast<char>(seed >> 16);
    }
    return data;
}

// Names in a folder that start with a dot: what a run must not leave beside the archives.
std::vector<std::string> Hidden(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) {
        if (item.path().filename().string().front() == '.') {
            names.push_back(item.path().filename().string());
        }
    }
    return names;
}

// Makes `levels` folders of 200 characters below `folder`, one inside the other, with `archive` in the
// deepest, and returns its path: deeper than the system lets a path name.
std::string DeepFolder(const std::string& folder, int levels, const std::string& archive) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    std::string path = folder;
    const std::string name(200, 'd');
    for (int i = 0; i < levels; ++i) {
        mkdirat(fd, name.c_str(), 0755);
        const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
        path += "/" + name;
    }
    const int out = openat(fd, "x.zip", O_WRONLY | O_CREAT, 0644);
    EXPECT_EQ(write(out, archive.data(), archive.size()), static_cast<ssize_t>(archive.size()));
    close(out);
    close(fd);
    return path;
}

struct Folder {
    // rm goes through folders too deep for a path to name; the test's own removal does not.
    ~Folder() { std::system(("rm -rf -- '" + root.path() + "'").c_str()); }

    TempDir root;
    const std::string in = root / "in";
    const std::string trash = root / "home/Trash";
    std::string at(const std::string& name) const { return in + "/" + name; }
    bool trashed(const std::string& name) const { return Exists(trash + "/files/" + name); }
};

struct Outcome {
    std::vector<std::string> failed;
    std::vector<std::string> messages;
};

Outcome RunOn(const Folder& folder, const records::Settings& settings,
            std::function<void(const std::string&, const std::string&)> onStatus = {}) {
    hostile::QuietHosts hosts;
    records::ProcessState state;
    state.settings = settings;
    hostile::WatchingDisplay display;
    display.onStatus = std::move(onStatus);
    const engines::EngineAdapters adapters = hosts.adapters();
    batch::BatchRun run(state, display, hosts.dialogs, adapters, platform::TrashPlaces{folder.trash});
    run.RunBatch(folder.in);
    return {display.failed, hosts.dialogs.messages};
}

TEST(RunSafety, EachFolderGetsItsOutcome) {
    const struct {
        const char* what;
        records::Settings settings;
        std::function<void(Folder&)> make;
        std::function<void(const Folder&, const std::string& archive, const std::string& status)> during;
        std::function<void(const Folder&, const Outcome&)> check;
    } cases[] = {
        {"a volume set, last in the folder, goes to the trash whole and does not come back", Options(0, 0),
         [](Folder& f) { WriteRar(f.at("x"), {{"movie.bin", Bytes(300000, 1)}}, RarFormat::Rar5, 3); }, {},
         [](const Folder& f, const Outcome& o) {
             EXPECT_TRUE(o.failed.empty());
             EXPECT_EQ(ReadFile(f.at("Briskoed/movie.bin")), Bytes(300000, 1));
             for (const char* v : {"x.part1.rar", "x.part2.rar", "x.part3.rar"}) {
                 EXPECT_FALSE(Exists(f.at(v))) << v;
                 EXPECT_TRUE(f.trashed(v)) << v;
                 EXPECT_EQ(Links(f.trash + "/files/" + v), 1u) << v;
             }
             EXPECT_TRUE(Hidden(f.in).empty());
         }},
        {"a download that finishes meanwhile is kept, and extracted as it is then", Options(0, 0),
         [](Folder& f) {
             WriteZip(f.at("big.zip"), {{"one.bin", Bytes(1 << 20, 2)}, {"two.bin", Bytes(1 << 20, 3)}});
             WriteZip(f.at("other.zip"), {{"old.txt", "the old download"}});
         },
         [](const Folder& f, const std::string& archive, const std::string& status) {
             if (archive == f.at("big.zip") && status.find("one.bin") != std::string::npos &&
                 !Exists(f.root / "new.zip")) {
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
        {"an archive named ...zip extracts below its folder, never into the one above", Options(1, 0),
         [](Folder& f) {
             WriteFile(f.root / ".bashrc", "mine");
             WriteZip(f.at("...zip"), {{".bashrc", "theirs", ZipItem::Kind::File, 0644, 2051222400},
                                       {".config/autostart/evil.desktop", "x"}});
             WriteZip(f.at("..zip"), {{"b.txt", "b"}});
         },
         {},
         [](const Folder& f, const Outcome& o) {
             EXPECT_TRUE(o.failed.empty());
             EXPECT_EQ(ReadFile(f.root / ".bashrc"), "mine");
             EXPECT_FALSE(Exists(f.root / ".config"));
             EXPECT_EQ(ReadFile(f.at("...zip_files/.bashrc")), "theirs");
             EXPECT_EQ(ReadFile(f.at("..zip_files/b.txt")), "b");
             EXPECT_FALSE(Exists(f.at("b.txt")));
         }},
        {"an archive holding its own name fails and stays", AlwaysReplacing(Options(0, 1)),
         [](Folder& f) { WriteZip(f.at("a.zip"), {{"a.zip", "not the archive"}, {"b.txt", "b"}}); }, {},
         [](const Folder& f, const Outcome& o) {
             EXPECT_EQ(o.failed, std::vector<std::string>{f.at("a.zip")});
             EXPECT_EQ(ReadWithLibarchive(f.at("a.zip")),
                       (std::map<std::string, std::string>{{"a.zip", "not the archive"}, {"b.txt", "b"}}));
             EXPECT_FALSE(f.trashed("a.zip"));
         }},
        {"an entry named like a volume still waiting for its set fails; the set comes out whole",
         AlwaysReplacing(Options(0, 1)),
         [](Folder& f) {
             WriteZip(f.at("b.zip"), {{"x.r00", "not a volume"}});
             WriteRar(f.at("x"), {{"set.bin", Bytes(200000, 4)}}, RarFormat::Rar4, 2, true);
         },
         {},
         [](const Folder& f, const Outcome& o) {
             EXPECT_EQ(o.failed, std::vector<std::string>{f.at("b.zip")});
             EXPECT_EQ(ReadFile(f.at("set.bin")), Bytes(200000, 4));
             EXPECT_TRUE(f.trashed("x.rar") && f.trashed("x.r00"));
             EXPECT_NE(ReadFile(f.trash + "/files/x.r00"), "not a volume");
             EXPECT_TRUE(Exists(f.at("b.zip")));
         }},
        {"only the volumes the engine read go to the trash", Options(0, 0),
         [](Folder& f) {
             WriteRar(f.at("x"), {{"x.bin", Bytes(200000, 5)}}, RarFormat::Rar5, 3);
             const auto other = WriteRar(f.root / "y", {{"y.bin", Bytes(200000, 6)}}, RarFormat::Rar5, 3);
             WriteFile(f.at("x.part4.rar"), "a text file");
             fs::copy_file(other[1], f.at("x.part5.rar"));
             WriteFile(f.at("x.part6.rar"), "another");
         },
         {},
         [](const Folder& f, const Outcome& o) {
             EXPECT_TRUE(o.failed.empty());
             for (const char* v : {"x.part1.rar", "x.part2.rar", "x.part3.rar"}) {
                 EXPECT_TRUE(f.trashed(v)) << v;
             }
             for (const char* v : {"x.part4.rar", "x.part5.rar", "x.part6.rar"}) {
                 EXPECT_TRUE(Exists(f.at(v))) << v;
                 EXPECT_FALSE(f.trashed(v)) << v;
             }
         }},
        {"a pipe named like a volume fails its set at once", Options(0, 0),
         [](Folder& f) {
             const auto x = WriteRar(f.at("x"), {{"x.bin", Bytes(100000, 7)}}, RarFormat::Rar5, 2);
             const auto y = WriteRar(f.at("y"), {{"y.bin", Bytes(100000, 8)}}, RarFormat::Rar4, 2, true);
             for (const std::string& volume : {x[1], y[1]}) {
                 fs::remove(volume);
                 ASSERT_EQ(mkfifo(volume.c_str(), 0600), 0);
             }
         },
         {},
         [](const Folder& f, const Outcome& o) {
             EXPECT_EQ(o.failed, (std::vector<std::string>{f.at("x.part1.rar"), f.at("y.rar")}));
             EXPECT_FALSE(fs::exists(f.trash));
         }},
        {"subfolders are searched, links to folders are not entered", Options(0, 0, 1),
         [](Folder& f) {
             fs::create_directories(f.root / "elsewhere");
             fs::create_directories(f.at("f"));
             WriteZip(f.root / "elsewhere/real.zip", {{"real.txt", "r"}});
             WriteZip(f.at("f/ok.zip"), {{"ok.txt", "ok"}});
             fs::create_directory_symlink("../../elsewhere", f.at("f/shortcut"));
         },
         {},
         [](const Folder& f, const Outcome& o) {
             EXPECT_TRUE(o.failed.empty());
             EXPECT_TRUE(f.trashed("ok.zip"));
             EXPECT_TRUE(Exists(f.root / "elsewhere/real.zip"));
             EXPECT_FALSE(Exists(f.root / "elsewhere/Briskoed"));
             EXPECT_FALSE(f.trashed("real.zip"));
         }},
        {"a folder too deep to be read is listed, not passed over", Options(0, 0, 1),
         [](Folder& f) {
             WriteZip(f.root / "x.zip", {{"x.txt", "x"}});
             DeepFolder(f.in, 21, ReadFile(f.root / "x.zip"));
         },
         {},
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
        const auto during = c.during;
        const Outcome outcome = RunOn(folder, c.settings, [&](const std::string& archive, const std::string& status) {
            if (during) {
                during(folder, archive, status);
            }
        });
        c.check(folder, outcome);
    }
}

// An archive that would fill the disk fails with its reason, gives back what it wrote, and the run
// goes on: a smaller archive after it still fits.
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
    hostile::QuietHosts hosts;
    records::ProcessState state;
    state.settings = Options(0, 0);
    hostile::WatchingDisplay display;
    const engines::EngineAdapters adapters = hosts.adapters();
    batch::BatchRun run(state, display, hosts.dialogs, adapters, platform::TrashPlaces{folder.trash});
    run.RunBatch(disk / "in");

    EXPECT_EQ(display.failed, std::vector<std::string>{disk / "in/a_bomb.zip"});
    EXPECT_EQ(display.reasons, std::vector<std::string>{"not enough free space"});
    EXPECT_EQ(ReadFile(disk / "in/Briskoed/small.txt"), "fits");
    EXPECT_FALSE(Exists(disk / "in/Briskoed/zeros.bin"));
    EXPECT_TRUE(Exists(disk / "in/a_bomb.zip"));
    EXPECT_LT(disk.used(), before + (1u << 20));
}

// A run killed with SIGKILL in the middle of writing a large entry leaves nothing of it: no partial
// file, no temporary, nothing hidden beside the archives, nothing trashed.
TEST(RunSafety, AKilledRunLeavesNothingBehind) {
    TempDir home, in;
    constexpr std::size_t kHuge = 512u * 1024 * 1024; // zeros: a few seconds to write, little to store
    WriteZip(in / "a_big.zip", {{"big/huge.bin", std::string(kHuge, '\0')}});
    WriteRar(in / "b", {{"b.txt", "b"}}, RarFormat::Rar5, 2);
    WriteFile(home / "config/Brisko/Brisko.ini", "[Options]\nSameFolder=1\nSingleSub=0\nDeleteOriginals=1\n");
    // Every name below the folder, with its kind, size and inode: short enough to print.
    const auto tree = [&] {
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

    const pid_t pid = StartProcess({BRISKO_BINARY, in.path()},
                                   {"HOME=" + home.path(), "XDG_CONFIG_HOME=" + (home / "config"),
                                    "XDG_DATA_HOME=" + (home / ".local/share"), "QT_QPA_PLATFORM=offscreen"});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitUntilWritingBelow(pid, in.path(), 60)) << "the large entry was never seen being written";
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);

    auto after = tree();
    after.erase("big"); // the entry's folder may stay, empty (made before the data is placed, or not yet)
    EXPECT_EQ(after, before) << "only the archives, as they were";
    EXPECT_FALSE(Exists(home / ".local/share/Trash/files/a_big.zip"));
}

} // namespace
} // namespace brisko::test
