// Seeded hostile archives through each engine, called as the program calls it (the dispatcher and
// the real adapters), each extracted beside a sentinel tree. Whatever an archive holds, nothing
// outside the destination may change, no temporary file may stay, nothing inside may be a special
// file or a link that leads out, an archive with an entry that has to be refused may not count as
// extracted, and an archive that counts as extracted must have left exactly what it holds.
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

#include "batch/BatchRun.h"
#include "engines/mdlUnACE.h"
#include "engines/mdlUnRAR.h"
#include "engines/mdlUnZIP.h"
#include "hostile/HostileArchives.h"
#include "hostile/QuietHosts.h"
#include "support/TempDir.h"

namespace brisko::test::hostile {

// For readable test names in CTest.
void PrintTo(Format format, std::ostream* out) {
    *out << FormatName(format);
}

namespace {

constexpr std::uint32_t kSeedsPerFormat = 160;

struct Outcome {
    bool succeeded = false;
    std::vector<std::string> problems;
};

class EnginePropertyTest : public ::testing::TestWithParam<Format> {
protected:
    void SetUp() override { m_oldUmask = umask(022); }
    void TearDown() override { umask(m_oldUmask); }

    // One archive in a fresh sandbox; every broken property becomes a line of the outcome.
    Outcome run(Format format, const std::vector<HostileEntry>& entries, const Sandbox& sandbox,
                const std::string& archive) {
        WriteHostileArchive(format, archive, entries);
        const Expectation expected = Expect(format, entries);
        const auto before = DeepSnapshot(sandbox.root, "out");

        records::ProcessState state;
        state.settings.Overwrite = 1;
        std::string archivePath = archive;
        std::string destination = sandbox.destination;
        batch::ExtractArchive(archivePath, destination, state, m_hosts.display, m_hosts.adapters());

        Outcome outcome;
        outcome.succeeded = state.result.Succeeded != records::kFalse;
        const auto after = DeepSnapshot(sandbox.root, "out");
        for (const auto& [path, text] : after) {
            const auto it = before.find(path);
            if (it == before.end()) {
                outcome.problems.push_back("appeared outside the destination: " + path);
            } else if (it->second != text) {
                outcome.problems.push_back("changed outside the destination: " + path + " (" + it->second +
                                           " -> " + text + ")");
            }
        }
        for (const auto& [path, text] : before) {
            if (!after.count(path)) {
                outcome.problems.push_back("vanished outside the destination: " + path);
            }
        }
        for (const std::string& problem : CheckDestination(sandbox.root, sandbox.destination)) {
            outcome.problems.push_back(problem);
        }
        if (expected.mustFail && outcome.succeeded) {
            std::string why;
            for (const std::string& reason : expected.why) {
                why += "\n        " + reason;
            }
            outcome.problems.push_back("counted as extracted although an entry had to be refused:" + why);
        }
        if (expected.mustSucceed && !outcome.succeeded) {
            outcome.problems.push_back("an ordinary archive was not extracted");
        }
        if (outcome.succeeded) {
            compareTree(expected, TreeOf(sandbox.destination), outcome.problems);
        }
        return outcome;
    }

    // An archive that counts as extracted has left exactly its entries, the last of each name winning.
    static void compareTree(const Expectation& expected, std::map<std::string, std::string> actual,
                            std::vector<std::string>& problems) {
        auto dropBelow = [&](const std::string& path) {
            actual.erase(path);
            for (auto it = actual.lower_bound(path + "/");
                 it != actual.end() && it->first.rfind(path + "/", 0) == 0;) {
                it = actual.erase(it);
            }
        };
        for (const std::string& ignored : expected.ignored) {
            dropBelow(ignored);
        }
        for (const auto& [folder, content] : expected.opaque) {
            std::vector<std::string> inside;
            for (auto it = actual.lower_bound(folder + "/");
                 it != actual.end() && it->first.rfind(folder + "/", 0) == 0; ++it) {
                inside.push_back(it->second);
            }
            if (inside != std::vector<std::string>{"file:" + content}) {
                problems.push_back("the odd-named file in " + folder + " is not there alone");
            }
            dropBelow(folder);
            actual[folder] = "folder";
        }
        for (const auto& [path, text] : expected.tree) {
            const auto it = actual.find(path);
            if (it == actual.end()) {
                problems.push_back("missing after success: " + path + " (" + text.substr(0, 60) + ")");
            } else if (it->second != text) {
                problems.push_back("wrong after success: " + path + " is " + it->second.substr(0, 60) +
                                   ", not " + text.substr(0, 60));
            }
        }
        for (const auto& [path, text] : actual) {
            if (!expected.tree.count(path)) {
                problems.push_back("unexpected after success: " + path + " (" + text.substr(0, 60) + ")");
            }
        }
    }

    mode_t m_oldUmask = 0;
    static QuietHosts m_hosts;
};

QuietHosts EnginePropertyTest::m_hosts;

TEST_P(EnginePropertyTest, NothingEscapesAndNoRefusalCountsAsExtracted) {
    const Format format = GetParam();
    int succeeded = 0, failed = 0, reported = 0;
    for (std::uint32_t seed = 1; seed <= kSeedsPerFormat; ++seed) {
        TempDir root, work;
        const Sandbox sandbox(root.path());
        const std::vector<HostileEntry> entries = Generate(format, seed, sandbox);
        const Outcome outcome = run(format, entries, sandbox, work / ("hostile" + Extension(format)));
        (outcome.succeeded ? succeeded : failed)++;
        if (!outcome.problems.empty() && reported++ < 5) {
            std::ostringstream text;
            text << FormatName(format) << " seed " << seed << " ("
                 << (outcome.succeeded ? "counted as extracted" : "failed") << "):\n";
            for (const std::string& problem : outcome.problems) {
                text << "  " << problem << "\n";
            }
            text << "  entries:\n" << Describe(entries);
            ADD_FAILURE() << text.str();
        }
    }
    EXPECT_EQ(reported, 0) << "seeds with broken properties";
    // A generator that only ever made failing archives would prove little about the success path.
    EXPECT_GT(succeeded, static_cast<int>(kSeedsPerFormat) / 10);
    EXPECT_GT(failed, static_cast<int>(kSeedsPerFormat) / 3);
}

// Minimal archives for what the RAR adapter once got wrong: a name longer than its header record
// holds, a NUL inside a name, and a folder and a file of the same name in either order.
TEST_F(EnginePropertyTest, RarNamesTheHeaderRecordCannotHoldAndTypeClashes) {
    using Kind = HostileEntry::Kind;
    const struct {
        Format format;
        std::vector<HostileEntry> entries;
    } cases[] = {
        {Format::Rar4, {{Kind::File, "long/" + std::string(200, 'd') + "/" + std::string(80, 'x'), "data"}}},
        {Format::Rar5, {{Kind::File, std::string("nul\0/../../esc", 14), "data"}}},
        {Format::Rar5, {{Kind::Folder, "c", {}, 040755}, {Kind::File, "c", "data"}}},
        {Format::Rar4, {{Kind::File, "c", "data"}, {Kind::Folder, "c", {}, 040755}}},
    };
    for (const auto& c : cases) {
        TempDir root, work;
        const Sandbox sandbox(root.path());
        const Outcome outcome = run(c.format, c.entries, sandbox, work / "known.rar");
        EXPECT_TRUE(outcome.problems.empty()) << FormatName(c.format) << ":\n" << Describe(c.entries);
    }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, EnginePropertyTest,
                         ::testing::Values(Format::Zip, Format::Rar4, Format::Rar5, Format::Ace),
                         [](const auto& info) { return std::string(FormatName(info.param)); });

} // namespace
} // namespace brisko::test::hostile
