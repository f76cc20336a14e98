// The ZIP engine through its C interface, as the program calls it, alone and with its workers, and the
// program itself on a folder of ZIP archives. Run twice by CTest: as it comes and with the workers
// forced on. Faults these catch:
// - files, folders, names, times or modes other than Debian's unzip gives (stored, deflated, classic
//   encryption, UTF-8 names), in each of the program's destination modes too
// - the duplicate policy (never, always, newer by more than 2 s, prompt) or an answer "for all" not
//   applied, or the wrong line printed for a kept file; a later entry of the same name not following it
// - a password that does not fit not asked again, a fitting one asked again, a declined entry written
//   or failing the others (classic and AES)
// - a stop asked inside a large entry, or by the print callback, leaving a partial file or harming the
//   old one
// - a damaged archive (a CRC, a broken deflate stream, cut short, not a ZIP) leaving a file of the
//   damaged entry, stopping the entries after it, or giving the wrong code
// - a name read other than by the system that made it (UTF-8 flag, Unicode path field and its CRC,
//   CP437 for DOS and Windows and for what is no UTF-8); DOS attributes not giving owner rights
// - entries sharing their data (the overlap bomb) or an end record counting wrong not failing at once
// - a file where a folder is needed (or the reverse) failing more than its own entry
// - workers that change what the caller sees: other lines, prompts, service calls, files, modes, times
//   or result, with the duplicate policy, prompts, links, type conflicts and a damaged entry in play
// - a worker ignoring a stop (from the service callback, or KeepGoing asked on its thread): the engine
//   not returning within 0.5 s, or leaving a partial file, a temporary, a descriptor or a thread
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tuple>
#include <zlib.h>

#include "enginelibs/ZipFixtures.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace brisko::test {
namespace {

using Kind = ZipItem::Kind;
using Names = std::vector<std::string>;

class UnzipEngineTest : public ::testing::Test {
protected:
    void SetUp() override { m_oldUmask = umask(022); }
    void TearDown() override { umask(m_oldUmask); }

    // A fresh destination for each run.
    std::string out() {
        const std::string folder = m_root / ("out" + std::to_string(++m_outs));
        mkdir(folder.c_str(), 0755);
        return folder;
    }

    mode_t m_oldUmask = 0;
    TempDir m_root;
    const std::string m_zip = m_root / "test.zip";
    int m_outs = 0;
};

TEST_F(UnzipEngineTest, AppliesTheDuplicatePolicyAndAnswersForAll) {
    const std::string exists = "Target file exists.  Skipping ", newer = "Target file newer.  Skipping ",
                      inflating = "  inflating: ";
    const struct {
        Duplicates duplicates;
        time_t existingTime;
        std::vector<int> answers; // each asked for once
        const char* contents; // of 1, 2 and 3: N new, o old
        std::string firstLine;
    } cases[] = {
        {Duplicates::Never, kFixtureTime - 100, {}, "ooo", exists},
        {Duplicates::Always, kFixtureTime + 100, {}, "NNN", inflating},
        {Duplicates::Newer, kFixtureTime - 3, {}, "NNN", inflating},
        {Duplicates::Newer, kFixtureTime - 2, {}, "ooo", newer},
        {Duplicates::Prompt, kFixtureTime, {UNZ_REPLACE_ALL}, "NNN", inflating},
        {Duplicates::Prompt, kFixtureTime, {UNZ_REPLACE_NONE}, "ooo", exists},
        {Duplicates::Prompt, kFixtureTime, {UNZ_REPLACE_YES, UNZ_REPLACE_NO, UNZ_REPLACE_YES}, "NoN", inflating},
        {Duplicates::Prompt, kFixtureTime, {UNZ_REPLACE_NO, UNZ_REPLACE_ALL}, "oNN", exists},
    };
    WriteZip(m_zip, {{"1", "N"}, {"2", "N"}, {"3", "N"}});
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const std::string folder = out();
        for (const char* name : {"/1", "/2", "/3"}) {
            WriteFile(folder + name, "o");
            const timespec times[2] = {{c.existingTime, 0}, {c.existingTime, 0}};
            utimensat(AT_FDCWD, (folder + name).c_str(), times, 0);
        }
        EngineScript script;
        script.replaceAnswers = c.answers;
        EXPECT_EQ(RunEngine(m_zip, folder, c.duplicates, script), 0);
        EXPECT_EQ(ReadFile(folder + "/1") + ReadFile(folder + "/2") + ReadFile(folder + "/3"), c.contents);
        EXPECT_EQ(script.replaceAsked.size(), c.answers.size());
        ASSERT_EQ(script.lines.size(), 3u);
        EXPECT_EQ(script.lines[0], c.firstLine + folder + "/1\n");
    }
    const std::string folder = out();
    WriteZip(m_zip, {{"twice", "first"}, {"twice", "second"}});
    EngineScript script;
    EXPECT_EQ(RunEngine(m_zip, folder, Duplicates::Never, script), 0);
    EXPECT_EQ(ReadFile(folder + "/twice"), "first");
    EXPECT_EQ(RunEngine(m_zip, folder, Duplicates::Always, script), 0);
    EXPECT_EQ(ReadFile(folder + "/twice"), "second");
}

// A wrong password is given first only for AES, whose check bytes let one wrong password in 65536
// through; with classic encryption one in 256 passes and only fails at the CRC, no test of asking again.
TEST_F(UnzipEngineTest, AsksAgainForAPasswordThatDoesNotFitAndSkipsADeclinedEntry) {
    const std::string big = Patterned(200000, 3);
    for (const std::string encryption : {"zipcrypt", "aes256"}) {
        SCOPED_TRACE(encryption);
        WriteZip(m_zip, {{"d/", "", Kind::Folder, 0755}, {"a.txt", "alpha"}, {"b.bin", big}},
                 {"deflate", encryption, "right"});
        const std::string retried = out(), declined = out();
        EngineScript retry;
        retry.passwords = {encryption == "aes256" ? "wrong" : "right", "right"};
        EXPECT_EQ(RunEngine(m_zip, retried, Duplicates::Always, retry), 0);
        EXPECT_EQ(retry.passwordAsked, Names(encryption == "aes256" ? 2 : 1, "a.txt")); // and kept for b.bin
        EXPECT_EQ(ReadFile(retried + "/a.txt"), "alpha");
        EXPECT_EQ(ReadFile(retried + "/b.bin"), big);
        EngineScript decline;
        decline.passwords = {std::nullopt, "right"};
        EXPECT_EQ(RunEngine(m_zip, declined, Duplicates::Always, decline), 82);
        EXPECT_EQ(decline.passwordAsked, (Names{"a.txt", "b.bin"}));
        EXPECT_EQ(ListTree(declined), (Names{"b.bin", "d"}));
    }
}

// Damage, entries that share their data (the overlap bomb), an end record counting wrong, type
// conflicts and a stop by the print callback: each with its code, and nothing of a failed entry left.
// (A stop inside an entry is the workers' test's, with the calling thread alone too.)
TEST_F(UnzipEngineTest, FailingArchivesGiveTheirCodeAndLeaveOnlyWholeEntries) {
    const auto zipBytes = [&](const std::vector<ZipItem>& items, const ZipOptions& options = {}) {
        WriteZip(m_zip, items, options);
        return ReadFile(m_zip);
    };
    const auto rawBytes = [&](const std::vector<RawZipEntry>& entries, std::optional<unsigned> counted = {}) {
        WriteRawZip(m_zip, entries, counted);
        return ReadFile(m_zip);
    };
    const std::string stored = zipBytes({{"a.txt", "first entry"}, {"b.txt", "hello world, stored"}, {"c.txt", "last"}},
                                        {"store", "", ""});
    std::string crc = stored, deflated = zipBytes({{"a.txt", "a"}, {"b.bin", Patterned(200000, 9)}, {"c.txt", "c"}});
    crc[crc.find("hello world")] ^= 1;
    for (std::size_t i = deflated.find("b.bin") + 1000, end = i + 64; i < end; ++i) {
        deflated[i] ^= 0x5a;
    }
    std::vector<RawZipEntry> overlapped{{"a.txt", std::string(1000, 'a')}};
    for (int i = 0; i < 50; ++i) {
        overlapped.push_back({"b" + std::to_string(i) + ".txt", "", 3, 0100644u << 16, 0, "", 0});
    }
    const struct {
        const char* label;
        std::string archive;
        int code;
        Names left;
        int stopPrintingAt = -1;
    } cases[] = {
        {"stopped at the first line", stored, 80, {}, 0},
        {"truncated", stored.substr(0, stored.size() / 2), 3, {}},
        {"CRC", crc, 2, {"a.txt", "c.txt"}},
        {"broken deflate stream", deflated, 3, {"a.txt", "c.txt"}},
        {"not a ZIP", "just some text that is long enough to be read", 9, {}},
        {"fifty entries on the data of one", rawBytes(overlapped), 3, {}},
        {"the end record counts one more", rawBytes({{"a.txt", "a"}, {"b.txt", "b"}}, 3), 3, {}},
        {"the end record counts one less", rawBytes({{"a.txt", "a"}, {"b.txt", "b"}}, 1), 3, {}},
        {"a folder, then a file of its name", zipBytes({{"d/", "", Kind::Folder, 0755}, {"d", "x"}, {"ok", "ok"}}), 50,
         {"d", "ok"}},
        {"a file, then one below it", zipBytes({{"d", "file d"}, {"d/b", "x"}, {"ok", "ok"}}), 50, {"d", "ok"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string folder = out();
        std::ofstream(m_zip, std::ios::binary | std::ios::trunc) << c.archive;
        EngineScript script;
        script.stopPrintingAt = c.stopPrintingAt;
        EXPECT_EQ(RunEngine(m_zip, folder, Duplicates::Always, script), c.code);
        EXPECT_EQ(ListTree(folder), c.left);
    }
}

constexpr unsigned kUnix = 3, kDos = 0, kNtfs = 11, kUtf8Flag = 0x800;

// An Info-ZIP Unicode Path field for an entry stored as `stored`.
std::string unicodePath(const std::string& text, const std::string& stored, bool rightCrc) {
    const auto crc = static_cast<std::uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(stored.data()), static_cast<uInt>(stored.size())) ^ !rightCrc);
    std::string field = {0x75, 0x70, static_cast<char>(5 + text.size()), 0, 1};
    for (int i = 0; i < 4; ++i) {
        field += static_cast<char>(crc >> (8 * i));
    }
    return field + text;
}

TEST_F(UnzipEngineTest, NamesAndModesAreReadByTheSystemThatMadeThem) {
    const struct {
        const char* label;
        std::string stored;
        unsigned system;
        std::uint32_t attributes;
        unsigned flags;
        std::string extra;
        std::string extracted; // "" when the entry is refused
        mode_t mode;
    } cases[] = {
        {"Unix, UTF-8 bytes", "na\xC3\xAFve caf\xC3\xA9.txt", kUnix, 0100644u << 16, 0, "",
         "na\xC3\xAFve caf\xC3\xA9.txt", 0644},
        {"Unix, Latin-1 bytes: CP437", "caf\xE9.txt", kUnix, 0100644u << 16, 0, "", "caf\xCE\x98.txt", 0644},
        {"Windows, CP437", "caf\x82.txt", kNtfs, 0x20, 0, "", "caf\xC3\xA9.txt", 0644},
        {"DOS, bytes that pass for UTF-8", "na\xC3\xAFve.txt", kDos, 0x21, 0, "", "na\xE2\x94\x9C\xC2\xBBve.txt",
         0644},
        {"the UTF-8 flag", "caf\xC3\xA9.txt", kDos, 0x20, kUtf8Flag, "", "caf\xC3\xA9.txt", 0644},
        {"the UTF-8 flag on bytes that are not", "caf\xE9.txt", kUnix, 0100644u << 16, kUtf8Flag, "", "", 0},
        {"a Unicode path field", "cafe.txt", kDos, 0x20, 0, unicodePath("caf\xC3\xA9.txt", "cafe.txt", true),
         "caf\xC3\xA9.txt", 0644},
        {"a stale Unicode path field", "cafe.txt", kDos, 0x20, 0, unicodePath("caf\xC3\xA9.txt", "cafe.txt", false),
         "cafe.txt", 0644},
        {"a DOS folder", "dosdir/", kDos, 0x10, 0, "", "dosdir", 0755},
        {"no rights at all", "mode0000", kUnix, 0100000u << 16, 0, "", "mode0000", 0644},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        WriteRawZip(m_zip, {{c.stored, "", c.system, c.attributes, c.flags, c.extra}, {"ok.txt", "ok"}});
        const std::string ours = out();
        EngineScript script;
        EXPECT_EQ(RunEngine(m_zip, ours, Duplicates::Always, script), c.extracted.empty() ? 1 : 0);
        Names expected{"ok.txt"};
        if (!c.extracted.empty()) {
            expected.insert(c.extracted < "ok.txt" ? expected.begin() : expected.end(), c.extracted);
            EXPECT_EQ(Snapshot(ours).at(c.extracted).mode, c.mode);
        }
        EXPECT_EQ(ListTree(ours), expected);
    }
}

// Brisko itself on a folder of ZIP archives, in each destination mode, against Debian's unzip: the
// same files, folders, names, modes and times (but for folders made on the way and the archives).
TEST(ZipJourney, EachDestinationModeGivesWhatUnzipGives) {
    if (!HaveUnzip()) {
        GTEST_SKIP() << "Debian's unzip is not installed; it is the reference here";
    }
    const auto makeArchives = [](const std::string& folder) {
        WriteZip(folder + "/a.zip", {{"readme.txt", "read me\n"},
                                     {"empty.txt", ""},
                                     {"d/e/deep.bin", Patterned(300000, 7)},
                                     {"Grüße/Ünïcødé ✓.txt", "u"},
                                     {"docs/", "", Kind::Folder, 0755},
                                     {"docs/empty/", "", Kind::Folder, 0700},
                                     {"x/", "", Kind::Folder, 0755, kFixtureTime - 86400},
                                     {"x/f.txt", "f", Kind::File, 0600, kFixtureTime + 3600}});
        WriteZip(folder + "/b.zip", {{"b/deep/er/data.bin", std::string("\0\1\2\3", 4)}, {"top.txt", "top"}},
                 {"store", "", ""});
    };
    const auto nodes = [](const std::string& folder) {
        std::map<std::string, std::string> out;
        for (const auto& [path, node] : Snapshot(folder)) {
            const bool fromArchive = node.mtime < kFixtureTime + 86400;
            out[path] = node.description + " " + std::to_string(node.mode) + " " +
                        (fromArchive ? std::to_string(node.mtime) : "now");
        }
        return out;
    };
    const struct {
        const char* settings;
        std::string subfolder; // "*": the archive's name
    } cases[] = {
        {"SingleSub=1\nSeparateSubs=0\nSameFolder=0\nSubFolderName=Out put\n", "Out put"},
        {"SingleSub=0\nSeparateSubs=1\nSameFolder=0\n", "*"},
        {"SingleSub=0\nSeparateSubs=0\nSameFolder=1\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        TempDir home, ours, theirs;
        makeArchives(ours.path());
        makeArchives(theirs.path());
        WriteFile(home / "config/Brisko/Brisko.ini", std::string("[Options]\n") + c.settings);
        const ProcessResult run = RunProcess(
            {BRISKO_BINARY, ours.path()},
            {"HOME=" + home.path(), "XDG_CONFIG_HOME=" + (home / "config"), "QT_QPA_PLATFORM=offscreen"}, 60);
        EXPECT_EQ(run.exitStatus, 0);
        for (const std::string base : {"a", "b"}) {
            ASSERT_EQ(RunUnzip(theirs / (base + ".zip"), theirs / (c.subfolder == "*" ? base : c.subfolder)), 0);
        }
        EXPECT_EQ(nodes(ours.path()), nodes(theirs.path()));
    }
}

using Clock = std::chrono::steady_clock;

// Everything a caller of the engine can see of one run, the destination's path taken out of the lines
// so that two runs into two folders compare. Folders made on the way get the time of the run.
struct Seen {
    int code = -1;
    Clock::time_point returned;
    std::vector<std::string> lines;
    int serviceCalls = 0;
    std::map<std::string, std::string> tree;
};

// What is compared between runs: all but the time.
auto seenOf(const Seen& seen) {
    return std::tie(seen.code, seen.lines, seen.serviceCalls, seen.tree);
}

struct RunSetup {
    Duplicates duplicates = Duplicates::Always;
    std::vector<int> answers{};
    std::vector<std::string> old{}; // files there before, with a time after the archive's
    std::function<int(const std::string&, unsigned long)> service{};
    const BriskoGuard* guard = nullptr;
};

Seen run(const char* threads, const std::string& zip, const std::string& out, const RunSetup& setup = {}) {
    std::filesystem::remove_all(out);
    std::filesystem::create_directories(out);
    for (const std::string& name : setup.old) {
        WriteFile(out + "/" + name, "old " + name);
        const timespec times[2] = {{kFixtureTime + 60, 0}, {kFixtureTime + 60, 0}};
        utimensat(AT_FDCWD, (out + "/" + name).c_str(), times, 0);
    }
    EngineScript script;
    script.replaceAnswers = setup.answers;
    script.service = setup.service;
    setenv("BRISKO_ZIP_THREADS", threads, 1);
    Seen seen;
    seen.code = RunEngine(zip, out, setup.duplicates, script, setup.guard);
    seen.returned = Clock::now();
    unsetenv("BRISKO_ZIP_THREADS");
    script.lines.insert(script.lines.end(), script.replaceAsked.begin(), script.replaceAsked.end());
    for (std::string line : script.lines) {
        for (std::size_t at; (at = line.find(out)) != std::string::npos;) {
            line.replace(at, out.size(), "<out>");
        }
        seen.lines.push_back(line);
    }
    seen.serviceCalls = script.serviceCalls;
    for (const auto& [name, node] : Snapshot(out)) {
        const bool timeOfRun = node.description == "folder" && node.mtime != kFixtureTime;
        seen.tree[name] = node.description + " " + std::to_string(node.mode) + " " +
                          (timeOfRun ? "-" : std::to_string(node.mtime));
    }
    return seen;
}

// The engine with workers decoding ahead of the calling thread (forced on with BRISKO_ZIP_THREADS,
// whatever the archive's size) against the calling thread alone.
class ZipWorkersTest : public UnzipEngineTest {
protected:
    const std::string m_alone = m_root / "alone", m_workers = m_root / "workers";
};

TEST_F(ZipWorkersTest, ArchivesGiveWhatTheCallingThreadAloneGives) {
    std::vector<ZipItem> items = {{"a.txt", "new a"},
                                  {"b.txt", "new b"},
                                  {"a.txt", "second a"},
                                  {"d/e.txt", "new e"},
                                  {"p/", "", Kind::Folder, 0700},
                                  {"p/q/r.txt", "r"},
                                  {"x", "a file"},
                                  {"x/y.txt", "needs x as a folder"},
                                  {"dirlink", "p", Kind::Link},
                                  {"dirlink/through.txt", "through a link"},
                                  {"z/", "", Kind::Folder, 0755},
                                  {"z", "a file where a folder is"}};
    for (int i = 0; i < 90; ++i) {
        items.push_back({"many/d" + std::to_string(i % 7) + "/f" + std::to_string(i), Patterned(i * 997, i)});
    }
    items.push_back({"many/big.bin", Patterned(5u << 20, 1)}); // service calls inside the entry
    items.push_back({"many/empty", ""});
    const std::vector<int> answers = {UNZ_REPLACE_YES, UNZ_REPLACE_NO, UNZ_REPLACE_NO, UNZ_REPLACE_ALL};
    items[12 + 45].data.replace(500, 11, "DAMAGE-HERE"); // many/d3/f45, of 44865 bytes
    for (const std::string compression : {"deflate", "store"}) {
        // A damaged entry among many: the calling thread finds the damage again when it comes to it.
        WriteZip(m_zip, items, {compression, "", ""});
        std::string bytes = ReadFile(m_zip);
        const bool stored = compression == "store"; // a CRC that fails, or a deflate stream that breaks
        const std::size_t at = stored ? bytes.find("DAMAGE-HERE") : bytes.find("many/d3/f45") + 1000;
        for (std::size_t i = at; i < at + (stored ? 1 : 64); ++i) {
            bytes[i] ^= 0x5a;
        }
        std::ofstream(m_zip, std::ios::binary | std::ios::trunc) << bytes;
        for (const Duplicates duplicates : {Duplicates::Prompt, Duplicates::Never, Duplicates::Newer}) {
            SCOPED_TRACE(compression + " " + std::to_string(static_cast<int>(duplicates)));
            const RunSetup setup{duplicates, answers, {"a.txt", "d/e.txt", "many/d1/f1", "many/big.bin"}};
            const Seen alone = run("0", m_zip, m_alone, setup);
            EXPECT_EQ(alone.tree.count("many/d3/f45"), 0u) << "the damaged entry left no file";
            EXPECT_EQ(alone.tree.count("many/empty"), 1u) << "the entries after it came out";
            EXPECT_EQ(seenOf(run("3", m_zip, m_workers, setup)), seenOf(alone));
        }
    }
}

// The caller stops while workers are decoding ahead, through the service callback or the guard's
// KeepGoing (asked on the workers' threads): the engine returns at once, with no temporary, no open
// descriptor and no thread left, and every file there is whole.
TEST_F(ZipWorkersTest, StoppingMidWayReturnsAtOnceAndLeavesOnlyWholeFiles) {
    std::vector<ZipItem> items = {{"first.txt", "first"}};
    for (int i = 0; i < 6; ++i) {
        items.push_back({"big/" + std::to_string(i) + ".bin", Patterned(4u << 20, i)});
    }
    items.push_back({"last.txt", "last"});
    WriteZip(m_zip, items);
    std::map<std::string, std::string> whole;
    for (const ZipItem& item : items) {
        whole[item.name] = "file:" + item.data;
    }
    whole["big/3.bin"] = "file:old big/3.bin"; // never reached, or left as it was when stopped inside
    // KeepGoing is asked on the workers' threads after every MiB they write: it counts what is asked
    // after the stop, and refuses from the ask `refuseAt` on (0: never, so that a worker going on after
    // a stop by the service callback shows).
    static std::atomic<int> asked, askedAfterStop, refuseAt;
    static std::atomic<Clock::rep> stoppedAt;
    BriskoGuard guard{};
    guard.KeepGoing = [](void*) {
        askedAfterStop += stoppedAt != 0;
        if (++asked == refuseAt) {
            stoppedAt = Clock::now().time_since_epoch().count();
        }
        return refuseAt == 0 || asked < refuseAt ? 1 : 0;
    };
    const struct {
        const char* entry; // stop at the service call number `call` for it (1: the one before its data)
        int call, refuseAt;
    } cases[] = {{"big/2.bin", 1, 0}, {"big/3.bin", 3, 0}, {"", 0, 5}};
    // Whatever threads the process keeps once it has had some (a sanitizer's, say) are there before
    // the runs that count.
    run("3", m_zip, m_workers);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        int calls = 0;
        asked = askedAfterStop = stoppedAt = 0;
        refuseAt = c.refuseAt;
        const auto service = [&](const std::string& entry, unsigned long) {
            if (entry == c.entry && ++calls == c.call) {
                stoppedAt = Clock::now().time_since_epoch().count();
                return 1;
            }
            return 0;
        };
        const int descriptors = CountEntries("/proc/self/fd"), threads = CountEntries("/proc/self/task");
        const Seen workers = run("3", m_zip, m_workers, {.old = {"big/3.bin"}, .service = service, .guard = &guard});
        EXPECT_EQ(workers.code, 80);
        EXPECT_LT(workers.returned - Clock::time_point(Clock::duration(stoppedAt.load())), std::chrono::milliseconds(500));
        EXPECT_LE(askedAfterStop, 3) << "a worker went on after the stop";
        EXPECT_EQ(CountEntries("/proc/self/fd"), descriptors);
        EXPECT_EQ(CountEntries("/proc/self/task"), threads);
        for (const auto& [name, node] : Snapshot(m_workers)) {
            EXPECT_TRUE(node.description == "folder" || node.description == whole[name]) << name;
        }
        EXPECT_EQ(workers.tree.count("last.txt"), 0u);
        EXPECT_EQ(workers.tree.count("big/3.bin"), 1u);
        if (c.refuseAt == 0) {
            calls = 0;
            EXPECT_EQ(seenOf(run("0", m_zip, m_alone, {.old = {"big/3.bin"}, .service = service})), seenOf(workers));
        }
    }
}

} // namespace
} // namespace brisko::test
