// The ACE adapter against a scripted stand-in engine, loaded through the same loader as the real one.
#include "engines/mdlUnACE.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "engines/mdlUnZIP.h"
#include "support/RecordingDialogs.h"
#include "support/RecordingDisplay.h"
#include "support/TempDir.h"

namespace brisko::engines {
namespace {

class mdlUnACETest : public ::testing::Test {
protected:
    void SetUp() override {
        m_fake = dlopen(FAKE_UNACE_LIBRARY, RTLD_NOW);
        ASSERT_NE(m_fake, nullptr) << dlerror();
        m_setScript = reinterpret_cast<void (*)(const char*)>(dlsym(m_fake, "FakeUnace_Script"));
        m_log = reinterpret_cast<const char* (*)()>(dlsym(m_fake, "FakeUnace_Log"));
        test::WriteFile(m_archive, "ace");
    }
    void TearDown() override { dlclose(m_fake); }

    std::string run(const std::string& script) {
        m_setScript(script.c_str());
        m_state.result.Succeeded = records::kFalse; // as the batch run leaves it before each dispatch
        m_adapter.UnaceArchive(m_archive, m_out.path(), m_display, {}, m_state);
        return m_log();
    }
    bool succeeded() const { return m_state.result.Succeeded == records::kTrue; }

    void* m_fake = nullptr;
    void (*m_setScript)(const char*) = nullptr;
    const char* (*m_log)() = nullptr;
    test::TempDir m_in, m_out;
    std::string m_archive = m_in / "Set.ace";
    records::ProcessState m_state;
    test::RecordingDisplay m_display;
    test::RecordingDialogs m_dialogs;
    mdlUnACE m_adapter{m_dialogs, FAKE_UNACE_LIBRARY};
};

TEST_F(mdlUnACETest, OnePassThatReplacesExistingFiles) {
    test::WriteFile(m_out / "docs/a.txt", "old");
    ASSERT_EQ(chmod((m_out / "docs/a.txt").c_str(), 0444), 0);
    const std::string out = m_out.path() + "/";
    EXPECT_EQ(run("header 0 /in/Set.ace docs/a.txt\nprocess write\nheader 0 /in/SET.C00 b\n"),
              "open 1\nheader 0\nprocess 2 " + out + " -> 0\nheader 0\nprocess 2 " + out +
                  " -> 0\nheader 10\nclose\n");
    EXPECT_TRUE(succeeded());
    EXPECT_EQ(test::ReadFile(m_out / "docs/a.txt"), "new");
    EXPECT_EQ(m_display.archiveLines, (std::vector<std::string>{"Set.ace", "set.ace", "set.c00"}));
    EXPECT_EQ(m_display.statuses, (std::vector<std::string>{"Extracting: docs/a.txt", "Extracting: b"}));
    EXPECT_TRUE(m_display.bars.empty());
}

TEST_F(mdlUnACETest, EngineCodesDecideTheArchive) {
    const struct {
        int code;
        bool succeeded;
    } cases[] = {{1, false}, {3, false}, {5, false}, {6, false}, {7, false}, {9, false},
                 {2, true},  {4, true},  {8, true},  {10, true}, {128, true}};
    for (const auto& c : cases) {
        run("header 0 v a\nprocess " + std::to_string(c.code) + "\n");
        EXPECT_EQ(succeeded(), c.succeeded) << "process " << c.code;
        run("header " + std::to_string(c.code) + "\n");
        EXPECT_EQ(succeeded(), c.succeeded) << "header " << c.code;
    }
    EXPECT_EQ(run("open 5\n"), "open 1\n");
    EXPECT_FALSE(succeeded());
}

TEST_F(mdlUnACETest, AnEntryThatCannotBeCreatedFailsTheArchiveAndDeletesNothing) {
    test::WriteFile(m_in / "victim", "must stay");
    test::WriteFile(m_out / "present", "x");
    for (const char* name : {"present", "absent", "../victim"}) {
        const std::string log = run(std::string("header 0 v ") + name + "\nprocess 11\nprocess 0\n");
        EXPECT_FALSE(succeeded()) << name << "\n" << log;
        EXPECT_EQ(log.find("-> 0"), std::string::npos) << "no second try\n" << log;
    }
    EXPECT_EQ(test::ReadFile(m_out / "present"), "x");
    EXPECT_EQ(test::ReadFile(m_in / "victim"), "must stay");
}

TEST_F(mdlUnACETest, PasswordPromptRetriesTheEntry) {
    m_dialogs.answers = {"pass"};
    EXPECT_EQ(run("header 0 v a\nprocess 131\nprocess 0\n"), "open 1\nheader 0\nprocess 2 " + m_out.path() +
                                                                 "/ -> 131\npassword pass\nprocess 2 " +
                                                                 m_out.path() + "/ -> 0\nheader 10\nclose\n");
    EXPECT_TRUE(succeeded());
    run("header 0 v a\nprocess 131\n"); // no answer
    EXPECT_FALSE(succeeded());
}

TEST_F(mdlUnACETest, CancelBeforeOrDuringTheArchive) {
    m_state.result.CancelRequested = records::kTrue;
    EXPECT_EQ(run("header 0 v a\n"), "");
    EXPECT_FALSE(succeeded()) << "left as the batch run set it";
    EXPECT_TRUE(m_display.archiveLines.empty());

    m_state.result.CancelRequested = records::kFalse;
    m_display.onEvents = [this] { m_state.result.CancelRequested = records::kTrue; };
    EXPECT_EQ(run("header 0 v a\nheader 0 v b\n"),
              "open 1\nheader 0\nprocess 2 " + m_out.path() + "/ -> 0\nclose\n");
    EXPECT_TRUE(succeeded());
}

TEST_F(mdlUnACETest, MissingArchiveOrEngine) {
    m_archive = m_in / "missing.ace";
    EXPECT_EQ(run("header 0 v a\n"), "");
    EXPECT_FALSE(succeeded());

    m_archive = m_in / "Set.ace";
    mdlUnACE noEngine(m_dialogs, "libno-such-engine.so");
    noEngine.UnaceArchive(m_archive, m_out.path(), m_display, {}, m_state);
    EXPECT_FALSE(succeeded());
    EXPECT_EQ(m_dialogs.messages, std::vector<std::string>{kAceEngineMissing});
}

} // namespace
} // namespace brisko::engines
