// The ZIP adapter against a scripted stand-in engine, loaded through the same loader as the real one.
#include "engines/mdlUnZIP.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <map>

#include "engines/RC4_Modified.h"
#include "support/RecordingDialogs.h"
#include "support/RecordingDisplay.h"

namespace brisko::engines {
namespace {

using test::RecordingDisplay;

class ScriptedPrompt : public OverwritePrompt {
public:
    std::string OverwriteAnswer(const std::string& name) override {
        names.push_back(name);
        return answer;
    }
    std::string answer;
    std::vector<std::string> names;
};

class MemoryStore : public ValueStore {
public:
    std::string ReadValue(const std::string& key) override { return values[key]; }
    void WriteValue(const std::string& key, const std::string& value) override { values[key] = value; }
    std::map<std::string, std::string> values;
};

class mdlUnZIPTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_fake = dlopen(FAKE_UNZIP_LIBRARY, RTLD_NOW);
        ASSERT_NE(m_fake, nullptr) << dlerror();
        m_setScript = reinterpret_cast<void (*)(const char*)>(dlsym(m_fake, "FakeUnzip_Script"));
        m_log = reinterpret_cast<const char* (*)()>(dlsym(m_fake, "FakeUnzip_Log"));
        m_state.unzipOptions.lpszZipFN = "/in/a.zip";
        m_state.unzipOptions.lpszExtractDir = "/in/out";
    }
    void TearDown() override { dlclose(m_fake); }

    // Runs one archive through the adapter with the engine playing `script`; returns the engine's log.
    std::string run(const std::string& script, const std::string& archive = "/in/a.zip") {
        m_setScript(script.c_str());
        m_state.unzipOptions.lpszZipFN = archive;
        m_state.result.Succeeded = records::kFalse;
        m_adapter.UnzipArchive(m_state, m_display);
        return m_log();
    }

    void* m_fake = nullptr;
    void (*m_setScript)(const char*) = nullptr;
    const char* (*m_log)() = nullptr;
    records::ProcessState m_state;
    RecordingDisplay m_display;
    test::RecordingDialogs m_dialogs;
    ScriptedPrompt m_prompt;
    MemoryStore m_store;
    mdlUnZIP m_adapter{m_dialogs, m_prompt, m_store, FAKE_UNZIP_LIBRARY};
};

TEST_F(mdlUnZIPTest, EngineCodeBecomesTheOutcome) {
    const struct {
        int code;
        std::int16_t succeeded, cancelRequested;
    } cases[] = {{0, records::kTrue, records::kFalse},
                 {80, records::kFalse, records::kTrue},
                 {1, records::kFalse, records::kFalse},
                 {11, records::kFalse, records::kFalse},
                 {82, records::kFalse, records::kFalse}};
    for (const auto& c : cases) {
        m_state.result.CancelRequested = records::kFalse;
        run("return " + std::to_string(c.code));
        EXPECT_EQ(m_state.result.Succeeded, c.succeeded) << c.code;
        EXPECT_EQ(m_state.result.CancelRequested, c.cancelRequested) << c.code;
    }
    // A cancel requested before is never cleared here.
    m_state.result.CancelRequested = records::kTrue;
    run("return 0");
    EXPECT_EQ(m_state.result.CancelRequested, records::kTrue);
}

TEST_F(mdlUnZIPTest, OptionsReachTheEngineWidenedWithTheirSign) {
    records::UnzipOptions& o = m_state.unzipOptions;
    o.ExtractOnlyNewer = 1;
    o.nfflag = 1;
    o.noflag = -1;
    o.ndflag = 1;
    EXPECT_EQ(run("options"), "options 11-10010 /in/a.zip > /in/out lists 0[] 0[]\n");
}

TEST_F(mdlUnZIPTest, ProgressLinesBecomeTheStatusLine) {
    const struct {
        const char* engine;
        const char* status; // nullptr: the status line is left alone
    } cases[] = {
        {"  inflating: /in/out/docs/readme.txt  \\n", "Extracting: docs/readme.txt  "},
        {" extracting: /in/out/a.bin\\n", "Extracting: a.bin"},
        {"   creating: /in/out/sub/\\n", "Creating: sub/"},
        {"   skipping: /in/out/x\\n", "Skipping: x"},
        {"Target file exists.  Skipping /in/out/y\\n", "Skipping: y"},
        {"Target file newer.  Skipping /in/out/z\\n", "Skipping: z"},
        {"  inflating: elsewhere/f\\n", "Extracting:   inflating: elsewhere/f"},
        {"warning:  bad CRC\\n", "Error."},
        {"short", "Error."},
        {"\\n", nullptr},
        {"\\nanything after a line feed", nullptr},
    };
    for (const auto& c : cases) {
        m_display.statuses.clear();
        EXPECT_EQ(run(std::string("print ") + c.engine), "print 0\n") << c.engine;
        if (c.status) {
            EXPECT_EQ(m_display.statuses, std::vector<std::string>{c.status}) << c.engine;
        } else {
            EXPECT_TRUE(m_display.statuses.empty()) << c.engine;
        }
    }
}

TEST_F(mdlUnZIPTest, CancelDuringTheCallStopsTheEngine) {
    // Cancel is pressed while the adapter lets the window handle its events.
    m_display.onEvents = [this] { m_state.result.CancelRequested = records::kTrue; };
    EXPECT_EQ(run("print \\n\nservice\nprint never"), "print 0\nservice 1\n");
    EXPECT_EQ(m_state.result.Succeeded, records::kFalse);
    EXPECT_EQ(m_state.result.CancelRequested, records::kTrue);

    m_state.result.CancelRequested = records::kTrue; // already requested: even a line feed says stop
    EXPECT_EQ(run("print \\n"), "print 1\n");
}

TEST_F(mdlUnZIPTest, ReplaceAnswersAndTheirLastingEffect) {
    const struct {
        const char* answer;
        int code;
        std::int16_t prompt, overwrite; // the settings afterwards, from Prompt 1 and Overwrite 0
    } cases[] = {
        {"yes", 102, 1, 0},     {"no", 100, 1, 0}, {"yestoall", 103, 0, 1},
        {"notoall", 104, 0, 0}, {"", 102, 1, 0},
    };
    for (const auto& c : cases) {
        m_state.settings.Prompt = 1;
        m_state.settings.Overwrite = 0;
        m_prompt.answer = c.answer;
        m_prompt.names.clear();
        EXPECT_EQ(run("replace /in/out/docs/readme.txt"), "replace " + std::to_string(c.code) + "\n")
            << c.answer;
        EXPECT_EQ(m_prompt.names, std::vector<std::string>{"docs/readme.txt"});
        EXPECT_EQ(m_state.settings.Prompt, c.prompt) << c.answer;
        EXPECT_EQ(m_state.settings.Overwrite, c.overwrite) << c.answer;
    }
}

TEST_F(mdlUnZIPTest, PasswordsAreTriedSilentlyFirstAndAskedForOnTheRepeat) {
    // Nothing remembered: the first request gets the empty password without a prompt.
    EXPECT_EQ(run("password e1"), "password 0 []\n");
    EXPECT_TRUE(m_dialogs.prompts.empty());

    // The same entry again: the box asks; the typed password is stored scrambled and handed over.
    m_dialogs.answers = {"s3cret"};
    EXPECT_EQ(run("password e1\npassword e2"), "password 0 [s3cret]\npassword 0 [s3cret]\n");
    EXPECT_EQ(m_dialogs.prompts, std::vector<std::string>{kPasswordPrompt});
    const std::string stored = m_store.values[kPasswordValue];
    EXPECT_EQ(stored.size(), 7u);
    EXPECT_EQ(DecryptText(stored), "s3cret");
    EXPECT_EQ(m_adapter.GetRememberedPassword(), "s3cret");

    // A password longer than the engine's buffer is cut, and the buffer stays terminated.
    m_dialogs.answers = {"0123456789abcdefghij"};
    EXPECT_EQ(run("password e2"), "password 0 [0123456789abcde]\n");
}

TEST_F(mdlUnZIPTest, DecliningSkipsTheRestOfTheArchiveOnlyOnce) {
    run("password e1");
    m_dialogs.prompts.clear();
    // Empty answer: no password for this entry nor any other of this archive, without asking again.
    EXPECT_EQ(run("password e1\npassword e2\npassword e1", "/in/a.zip"),
              "password 1 [xxxxxxxxxxxxxxxx] unterminated\n"
              "password 1 [xxxxxxxxxxxxxxxx] unterminated\n"
              "password 1 [xxxxxxxxxxxxxxxx] unterminated\n");
    EXPECT_EQ(m_dialogs.prompts.size(), 1u);

    // The next archive asks again, after its own silent first try.
    m_dialogs.answers = {"pw"};
    EXPECT_EQ(run("password e1\npassword e1", "/in/b.zip"), "password 0 []\npassword 0 [pw]\n");
    EXPECT_EQ(m_dialogs.prompts.size(), 2u);
}

TEST_F(mdlUnZIPTest, MissingEngineFailsEveryArchiveAndSaysSoOnce) {
    mdlUnZIP adapter(m_dialogs, m_prompt, m_store, "libno-such-engine.so");
    for (int i = 0; i < 2; ++i) {
        m_state.result.Succeeded = records::kTrue;
        adapter.UnzipArchive(m_state, m_display);
        EXPECT_EQ(m_state.result.Succeeded, records::kFalse);
    }
    EXPECT_EQ(m_dialogs.messages, std::vector<std::string>{kZipEngineMissing});
}

TEST(RC4_Modified, ScramblingRoundTrips) {
    std::string everyByte;
    for (int c = 0; c < 256; ++c) {
        everyByte += static_cast<char>(c);
    }
    for (const std::string& plain : {std::string(), std::string("a"), std::string("pässwörd"), everyByte}) {
        const std::string stored = EncryptText(plain);
        EXPECT_EQ(stored.size(), plain.size() + 1);
        EXPECT_EQ(DecryptText(stored), plain);
        EXPECT_EQ(RC4Transform(RC4Transform(plain, "key"), "key"), plain);
    }
    EXPECT_EQ(MakeCipherKey().size(), 18u);
    EXPECT_EQ(RC4Transform("", "key"), "");
    // The length twist: the same prefix scrambles differently in texts of different lengths.
    EXPECT_NE(RC4Transform("ab", "key")[0], RC4Transform("abc", "key")[0]);
    // Fresh salts: saving the same password twice normally gives two stored values.
    int different = 0;
    for (int i = 0; i < 8; ++i) {
        different += EncryptText("same") != EncryptText("same") ? 1 : 0;
    }
    EXPECT_GT(different, 0);
}

} // namespace
} // namespace brisko::engines
