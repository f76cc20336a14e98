// The ZIP engine with workers decoding ahead of the calling thread (forced on with BRISKO_ZIP_THREADS,
// whatever the archive's size) must show the caller exactly what the calling thread alone shows: the
// same lines, prompts and service calls, the same files, the same result, also when an entry is damaged
// and when the caller stops half-way.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "enginelibs/ZipFixtures.h"
#include "support/TempDir.h"

namespace brisko::test {
namespace {

using Kind = ZipItem::Kind;
using Clock = std::chrono::steady_clock;

constexpr const char* kOneThread = "0";
constexpr const char* kWorkers = "3"; // more than this machine's cores: workers race each other too

std::string patterned(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = static_cast<char>(i % 5 == 0 ? seed >> 16 : (i / 7) & 0xff);
    }
    return data;
}

int entriesOf(const char* folder) {
    int count = 0;
    if (DIR* dir = opendir(folder)) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

std::string withoutFolder(std::string text, const std::string& folder) {
    for (std::size_t at; (at = text.find(folder)) != std::string::npos;) {
        text.replace(at, folder.size(), "<out>");
    }
    return text;
}

// Everything a caller of the engine can see of one run, with the destination's path taken out of the
// lines so that two runs into two folders compare. Folders made on the way get the time of the run;
// everything else must match to the second.
struct Seen {
    int code = -1;
    Clock::time_point returned;
    std::vector<std::string> lines;
    std::vector<std::string> replaceAsked;
    int serviceCalls = 0;
    std::map<std::string, std::string> tree;
};

struct RunSetup {
    std::function<void(const std::string& out)> before = [](const std::string&) {};
    Duplicates duplicates = Duplicates::Always;
    std::vector<int> answers;
    std::function<int(const std::string& entry, unsigned long size)> service;
    const BriskoGuard* guard = nullptr;
};

Seen run(const char* threads, const std::string& zip, const std::string& out, const RunSetup& setup) {
    std::filesystem::create_directories(out);
    setup.before(out);
    EngineScript script;
    script.replaceAnswers = setup.answers;
    script.service = setup.service;
    setenv("BRISKO_ZIP_THREADS", threads, 1);
    Seen seen;
    seen.code = RunEngine(zip, out, setup.duplicates, script, 0, setup.guard);
    seen.returned = Clock::now();
    for (const std::string& line : script.lines) {
        seen.lines.push_back(withoutFolder(line, out));
    }
    for (const std::string& asked : script.replaceAsked) {
        seen.replaceAsked.push_back(withoutFolder(asked, out));
    }
    seen.serviceCalls = script.serviceCalls;
    for (const auto& [name, node] : Snapshot(out)) {
        const bool timeOfRun = node.description == "folder" && node.mtime != kFixtureTime;
        seen.tree[name] = node.description + " " + std::to_string(node.mode) + " " +
                          (timeOfRun ? "-" : std::to_string(node.mtime));
    }
    return seen;
}

void expectSame(const Seen& alone, const Seen& workers) {
    EXPECT_EQ(workers.code, alone.code);
    EXPECT_EQ(workers.lines, alone.lines);
    EXPECT_EQ(workers.replaceAsked, alone.replaceAsked);
    EXPECT_EQ(workers.serviceCalls, alone.serviceCalls);
    EXPECT_EQ(workers.tree, alone.tree);
}

class ZipWorkersTest : public ::testing::Test {
protected:
    void SetUp() override { m_oldUmask = umask(022); }
    void TearDown() override {
        umask(m_oldUmask);
        unsetenv("BRISKO_ZIP_THREADS");
    }

    // The archive extracted by the calling thread alone and with workers, each into a fresh folder.
    std::pair<Seen, Seen> both(const std::string& zip, const RunSetup& setup) {
        const std::string tag = std::to_string(++m_runs);
        Seen alone = run(kOneThread, zip, m_root / ("alone" + tag), setup);
        Seen workers = run(kWorkers, zip, m_root / ("workers" + tag), setup);
        return {alone, workers};
    }

    mode_t m_oldUmask = 0;
    TempDir m_root;
    int m_runs = 0;
};

TEST_F(ZipWorkersTest, SmallArchivesGiveWhatTheCallingThreadAloneGives) {
    std::vector<ZipItem> many;
    for (int i = 0; i < 90; ++i) {
        many.push_back({"many/d" + std::to_string(i % 7) + "/f" + std::to_string(i), patterned(i * 997, i)});
    }
    many.push_back({"many/big.bin", patterned(5u << 20, 1)}); // service calls inside the entry
    many.push_back({"many/empty", ""});
    const auto existing = [](std::vector<std::string> names) {
        return [names](const std::string& out) {
            for (const std::string& name : names) {
                WriteFile(out + "/" + name, "old " + name);
                const timespec times[2] = {{kFixtureTime + 60, 0}, {kFixtureTime + 60, 0}};
                utimensat(AT_FDCWD, (out + "/" + name).c_str(), times, 0);
            }
        };
    };
    const struct {
        const char* label;
        std::function<void(const std::string& zip)> make;
        RunSetup setup;
    } cases[] = {
        {"plain files, deflated", [&](const std::string& zip) { WriteZip(zip, many); }, {}},
        {"duplicates that need the prompt",
         [](const std::string& zip) {
             WriteZip(zip, {{"a.txt", "new a"},
                            {"b.txt", "new b"},
                            {"a.txt", "second a"},
                            {"c.txt", "new c"},
                            {"d/e.txt", "new e"},
                            {"f.txt", "new f"}});
         },
         {existing({"a.txt", "b.txt", "d/e.txt", "f.txt"}), Duplicates::Prompt,
          {UNZ_REPLACE_YES, UNZ_REPLACE_NO, UNZ_REPLACE_NO, UNZ_REPLACE_ALL}, nullptr}},
        // Files the workers decoded and the calling thread does not take.
        {"never replacing what is there, stored", [&](const std::string& zip) { WriteZip(zip, many, {"store", "", "", false}); },
         {existing({"many/d1/f1", "many/d3/f10", "many/big.bin"}), Duplicates::Never, {}, nullptr}},
        {"folders, links and a file where a folder is needed",
         [](const std::string& zip) {
             WriteZip(zip, {{"p/", "", Kind::Folder, 0700},
                            {"p/q/r.txt", "r"},
                            {"x", "a file"},
                            {"x/y.txt", "needs x as a folder"},
                            {"dirlink", "p", Kind::Link},
                            {"dirlink/through.txt", "through a link"},
                            {"z/", "", Kind::Folder, 0755},
                            {"z", "a file where a folder is"},
                            {"last.txt", "last"}});
         },
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string zip = m_root / ("case" + std::to_string(m_runs) + ".zip");
        c.make(zip);
        const auto [alone, workers] = both(zip, c.setup);
        ASSERT_FALSE(alone.lines.empty());
        expectSame(alone, workers);
    }
}

// One damaged entry among many: the calling thread finds the damage again when it comes to it, so
// the lines, the files and the result are the ones it gives alone.
TEST_F(ZipWorkersTest, ADamagedEntryAmongManyFailsAsWithOneThread) {
    std::vector<ZipItem> items;
    for (int i = 0; i < 40; ++i) {
        items.push_back({"d/f" + std::to_string(i) + ".bin", patterned(150000 + i, i)});
    }
    items[17].data.replace(5000, 11, "DAMAGE-HERE");
    items[29].data.replace(5000, 11, "DAMAGE-HERE");
    const struct {
        const char* label;
        const char* compression;
        std::function<void(std::string& bytes)> damage;
        int code;
    } cases[] = {
        {"two stored entries fail their CRC", "store",
         [](std::string& bytes) {
             bytes[bytes.find("DAMAGE-HERE")] ^= 1;
             bytes[bytes.rfind("DAMAGE-HERE")] ^= 1;
         },
         2},
        {"a deflate stream breaks", "deflate",
         [](std::string& bytes) {
             std::fill_n(bytes.begin() + static_cast<long>(bytes.find("d/f17.bin") + 3000), 4096, '\xff');
         },
         3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string zip = m_root / "damaged.zip";
        WriteZip(zip, items, {c.compression, "", "", false});
        std::string bytes = ReadFile(zip);
        c.damage(bytes);
        std::ofstream(zip, std::ios::binary | std::ios::trunc) << bytes;
        const auto [alone, workers] = both(zip, {});
        EXPECT_EQ(alone.code, c.code);
        EXPECT_EQ(alone.tree.count("d/f17.bin"), 0u) << "the damaged entry left no file";
        EXPECT_GT(alone.tree.count("d/f39.bin"), 0u) << "the entries after it came out";
        expectSame(alone, workers);
    }
}

// The caller stops while workers are decoding ahead, through the service callback or the guard's
// KeepGoing (asked on the workers' threads): the engine returns at once, with no temporary, no open
// descriptor and no thread left, and every file there is whole.
TEST_F(ZipWorkersTest, StoppingMidWayReturnsAtOnceAndLeavesOnlyWholeFiles) {
    std::vector<ZipItem> items = {{"first.txt", "first"}};
    for (int i = 0; i < 6; ++i) {
        items.push_back({"big/" + std::to_string(i) + ".bin", patterned(4u << 20, i)});
    }
    items.push_back({"last.txt", "last"});
    const std::string zip = m_root / "large.zip";
    WriteZip(zip, items);
    std::map<std::string, std::string> whole;
    for (const ZipItem& item : items) {
        whole[item.name] = item.data;
    }

    static std::atomic<int> askedToGoOn;
    static std::atomic<Clock::rep> refusedAt;
    BriskoGuard stopAfterFiveMiB{};
    stopAfterFiveMiB.KeepGoing = [](void*) {
        if (++askedToGoOn < 5) {
            return 1;
        }
        refusedAt = Clock::now().time_since_epoch().count();
        return 0;
    };
    const struct {
        const char* label;
        const char* entry; // stop at the service call number `call` for it (1: the one before its data)
        int call;
        const BriskoGuard* guard;
    } cases[] = {
        {"before an entry", "big/2.bin", 1, nullptr},
        {"inside an entry", "big/3.bin", 3, nullptr},
        {"by KeepGoing, on a worker's thread", "", 0, &stopAfterFiveMiB},
    };
    // Whatever threads the process keeps once it has had some (a sanitizer's, say) are there before
    // the runs that count.
    run(kWorkers, zip, m_root / "warm-up", {});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        int calls = 0;
        askedToGoOn = 0;
        RunSetup setup;
        setup.guard = c.guard;
        setup.service = [&](const std::string& entry, unsigned long) {
            if (entry == c.entry && ++calls == c.call) {
                refusedAt = Clock::now().time_since_epoch().count();
                return 1;
            }
            return 0;
        };
        const int descriptors = entriesOf("/proc/self/fd");
        const int threads = entriesOf("/proc/self/task");
        const Seen workers = run(kWorkers, zip, m_root / "workers", setup);
        EXPECT_EQ(workers.code, 80);
        EXPECT_LT(workers.returned - Clock::time_point(Clock::duration(refusedAt.load())),
                  std::chrono::milliseconds(500));
        EXPECT_EQ(entriesOf("/proc/self/fd"), descriptors);
        EXPECT_EQ(entriesOf("/proc/self/task"), threads);
        for (const auto& [name, node] : Snapshot(m_root / "workers")) {
            if (node.description != "folder") {
                EXPECT_EQ(node.description, "file:" + whole[name]) << name;
            }
        }
        EXPECT_EQ(Snapshot(m_root / "workers").count("last.txt"), 0u);
        if (c.guard == nullptr) {
            calls = 0;
            const Seen alone = run(kOneThread, zip, m_root / "alone", setup);
            EXPECT_EQ(alone.tree.count(c.entry), 0u);
            expectSame(alone, workers);
        }
        std::filesystem::remove_all(m_root / "alone");
        std::filesystem::remove_all(m_root / "workers");
    }
}

} // namespace
} // namespace brisko::test
