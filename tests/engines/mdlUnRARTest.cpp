// The RAR adapter against a scripted stand-in engine, loaded through the same loader as the real one.
#include "engines/mdlUnRAR.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "engines/mdlUnZIP.h"
#include "support/RecordingDialogs.h"
#include "support/RecordingDisplay.h"
#include "support/TempDir.h"

namespace brisko::engines {
namespace {

class mdlUnRARTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_fake = dlopen(FAKE_UNRAR_LIBRARY, RTLD_NOW);
        ASSERT_NE(m_fake, nullptr) << dlerror();
        m_setScript = reinterpret_cast<void (*)(const char*)>(dlsym(m_fake, "FakeUnrar_Script"));
        m_log = reinterpret_cast<const char* (*)()>(dlsym(m_fake, "FakeUnrar_Log"));
        test::WriteFile(m_archive, "rar");
    }
    void TearDown() override { dlclose(m_fake); }

    // Runs the archive through the adapter with the engine answering from `script`; returns the log.
    std::string run(const std::string& script, std::string destination = {}) {
        m_setScript(script.c_str());
        if (destination.empty()) {
            destination = m_out.path();
        }
        std::string password;
        m_adapter.UnrarArchive(m_archive, destination, m_display, password, m_state);
        return m_log();
    }
    bool succeeded() const { return m_state.result.Succeeded == records::kTrue; }

    void* m_fake = nullptr;
    void (*m_setScript)(const char*) = nullptr;
    const char* (*m_log)() = nullptr;
    test::TempDir m_in, m_out;
    std::string m_archive = m_in / "Set.part1.rar";
    records::ProcessState m_state;
    test::RecordingDisplay m_display;
    test::RecordingDialogs m_dialogs;
    mdlUnRAR m_adapter{m_dialogs, FAKE_UNRAR_LIBRARY};
};

TEST_F(mdlUnRARTest, TestPassThenExtractionPass) {
    const std::string entries =
        "header 0 /in/Set.part1.rar docs/a.txt 100\nheader 0 /in/SET.PART2.RAR b 300\n";
    m_state.result.CancelRequested = records::kTrue; // a cancel from before this archive is dropped
    const std::string log = run(entries + "header 10\n" + entries);
    const std::string out = m_out.path();
    // Each entry goes below the destination under the engine's own (full) name.
    EXPECT_EQ(log, "open 0\nheader 0\nprocess 0 -> 0\nheader 0\nprocess 0 -> 0\nheader 10\nclose\n"
                   "open 1\nheader 0\nprocess 2 " +
                       out + "/ -> 0\nheader 0\nprocess 2 " + out + "/ -> 0\nheader 10\nclose\n");
    EXPECT_TRUE(succeeded());
    EXPECT_EQ(m_display.archiveLines, (std::vector<std::string>{"Testing Set.part1.rar", "Set.part1.rar",
                                                                "set.part1.rar", "set.part2.rar"}));
    EXPECT_EQ(m_display.statuses, (std::vector<std::string>{"", "Extracting: docs/a.txt", "Extracting: b"}));
    EXPECT_EQ(m_display.bars, (std::vector<std::string>{"0/100%", "100/400%", "400/400%"}));
    EXPECT_EQ(m_display.eventRounds, 3);

    // A destination that already ends with its separator gives the same folder.
    EXPECT_EQ(run("header 10\nheader 0 v x 1\n", out + "/"),
              "open 0\nheader 10\nclose\nopen 1\nheader 0\nprocess 2 " + out + "/ -> 0\nheader 10\nclose\n");
}

TEST_F(mdlUnRARTest, EngineCodesDecideTheArchive) {
    const struct {
        int code;
        bool succeeded;
    } cases[] = {
        {ERAR_NO_MEMORY, false},      {ERAR_BAD_ARCHIVE, false},
        {ERAR_UNKNOWN_FORMAT, false}, {ERAR_EOPEN, false},
        {ERAR_ECLOSE, false},         {ERAR_EREAD, false},
        {ERAR_EWRITE, false},         {ERAR_ECREATE, false},
        {ERAR_SMALL_BUF, true},
        {ERAR_UNKNOWN, true},         {-1, true},
    };
    for (const auto& c : cases) {
        // The code comes from extracting the first of two entries; the archive is always closed.
        const std::string log =
            run("header 10\nheader 0 v a 1\nprocess " + std::to_string(c.code) + "\nheader 0 v b 1\n");
        EXPECT_EQ(succeeded(), c.succeeded) << c.code;
        EXPECT_EQ(log.substr(log.size() - 6), "close\n") << c.code;
        // Stop leaves the second entry alone; going on (after a write or create error too) extracts it.
        const bool goesOn = c.code == ERAR_EWRITE || c.code == ERAR_ECREATE || c.succeeded;
        EXPECT_EQ(log.rfind("/ -> 0") != std::string::npos && log.rfind("/ -> 0") > log.find("header 0\nprocess 2"),
                  goesOn)
            << c.code << log;
    }
}

TEST_F(mdlUnRARTest, APassMustEndAtTheArchivesEnd) {
    for (const char* script : {"header 0 v a 1\nheader 21\n", "header 10\nheader 0 v a 1\nheader 21\n",
                               "header 10\nheader 19\n"}) {
        run(script);
        EXPECT_FALSE(succeeded()) << script;
    }
    run("open 15\n");
    EXPECT_FALSE(succeeded());
    EXPECT_EQ(run("close 17\n"), "open 0\nheader 10\nclose\n") << "a failing close stops before extraction";
    EXPECT_FALSE(succeeded());
}

TEST_F(mdlUnRARTest, BadDataAsksForThePasswordAndRetriesTheSameCall) {
    // Encrypted data: the entry is processed again with the typed password.
    m_dialogs.answers = {"secret"};
    std::string log = run("header 10\nheader 0 v a 1\nprocess 12\nprocess 0\n");
    EXPECT_TRUE(succeeded());
    EXPECT_NE(log.find("-> 12\npassword secret\nprocess 2"), std::string::npos) << log;
    EXPECT_EQ(m_dialogs.prompts, std::vector<std::string>{kPasswordPrompt});

    // Encrypted headers: the same header is read again once the password is set.
    m_dialogs.answers = {"secret"};
    log = run("header 12\nheader 10\nheader 10\n");
    EXPECT_TRUE(succeeded());
    EXPECT_NE(log.find("header 12\npassword secret\nheader 10\nclose"), std::string::npos) << log;

    // No answer: the archive fails.
    m_dialogs.answers.clear();
    run("header 10\nheader 0 v a 1\nprocess 12\n");
    EXPECT_FALSE(succeeded());
}

TEST_F(mdlUnRARTest, AnEntryThatCannotBeCreatedFailsTheArchiveAndDeletesNothing) {
    test::WriteFile(m_out / "old.txt", "old");
    test::WriteFile(m_out / "dir/keep", "");
    test::WriteFile(m_in / "victim", "must stay");
    ASSERT_EQ(symlink(m_in.path().c_str(), (m_out / "link").c_str()), 0);
    // Whatever is in the way stays; the next entry still comes out; the archive is not whole.
    for (const char* name : {"old.txt", "dir", "dir/keep/x", "missing", "../victim", "link/victim"}) {
        const std::string log = run(std::string("header 10\nheader 0 v ") + name +
                                    " 1\nprocess 16\nheader 0 v next 1\nprocess 0\n");
        EXPECT_FALSE(succeeded()) << name;
        EXPECT_EQ(log.find("-> 16"), log.rfind("-> 16")) << "no second try\n" << log;
        EXPECT_NE(log.find("process 2 " + m_out.path() + "/ -> 0"), std::string::npos) << log;
    }
    EXPECT_EQ(test::ReadFile(m_out / "old.txt"), "old");
    EXPECT_TRUE(test::Exists(m_out / "dir/keep"));
    EXPECT_EQ(test::ReadFile(m_in / "victim"), "must stay");
}

TEST_F(mdlUnRARTest, CancelEndsTheArchiveAfterTheEntryInHand) {
    m_display.onEvents = [this] {
        if (m_display.eventRounds == 2) {
            m_state.result.CancelRequested = records::kTrue;
        }
    };
    const std::string log = run("header 10\nheader 0 v a 1\nheader 0 v b 1\n");
    EXPECT_TRUE(succeeded());
    EXPECT_EQ(m_state.result.CancelRequested, records::kTrue);
    EXPECT_EQ(log.find("/b -> "), std::string::npos);

    // Cancel seen before the test pass: that pass stops after its first entry; nothing is extracted.
    m_display.eventRounds = 0;
    m_display.onEvents = [this] { m_state.result.CancelRequested = records::kTrue; };
    EXPECT_EQ(run("header 0 v a 1\nheader 0 v b 1\n"), "open 0\nheader 0\nprocess 0 -> 0\nclose\n");
    EXPECT_TRUE(succeeded());
}

TEST_F(mdlUnRARTest, LargeArchivesAreSummedWithoutOverflow) {
    run("header 0 v a 4294967295\nheader 0 v b 4294967295\nheader 10\nheader 0 v a 4294967295\n"
        "header 0 v b 4294967295\n");
    EXPECT_TRUE(succeeded());
    EXPECT_EQ(m_display.bars.back(), "8589934590/8589934590%");
}

TEST_F(mdlUnRARTest, MissingArchiveOrEngine) {
    m_archive = m_in / "missing.rar";
    EXPECT_EQ(run(""), "");
    EXPECT_FALSE(succeeded());
    EXPECT_TRUE(m_display.archiveLines.empty());

    m_archive = m_in / "Set.part1.rar";
    mdlUnRAR noEngine(m_dialogs, "libno-such-engine.so");
    for (int i = 0; i < 2; ++i) {
        std::string destination = m_out.path(), password;
        noEngine.UnrarArchive(m_archive, destination, m_display, password, m_state);
        EXPECT_FALSE(succeeded());
    }
    EXPECT_EQ(m_dialogs.messages, (std::vector<std::string>{kRarEngineMissing, kRarEngineMissing}));
}

} // namespace
} // namespace brisko::engines
