// The three engine adapters against scripted stand-in engines, loaded through the same loader as the
// real ones. Faults these catch:
// - an engine return code mapped to another code's outcome (success, stop, or go on with the next entry)
// - a wrong password no longer asked for again and the entry (or header) not retried with the answer
// - the ZIP adapter asking before its silent first try, asking twice after a decline, or losing the
//   remembered password (scrambled in the value store) or the engine's buffer bound
// - an entry that cannot be created retried, or anything in its way deleted, or the archive counted whole
// - a cancel not ending the archive after the entry in hand, or a cancel from before not honoured/dropped
// - a missing engine or archive not failing the archive, or the engine's message not shown
// - a pass that ends before the archive's end counted as finished; sizes summed with overflow
// - options, progress lines and overwrite answers not reaching the engine or the window as they should
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

#include "engines/RC4_Modified.h"
#include "engines/mdlUnACE.h"
#include "engines/mdlUnRAR.h"
#include "engines/mdlUnZIP.h"
#include "support/RecordingDialogs.h"
#include "support/RecordingDisplay.h"
#include "support/TempDir.h"

namespace brisko::engines {
namespace {

struct ScriptedPrompt : OverwritePrompt, ValueStore {
    std::string OverwriteAnswer(const std::string& name) override {
        names.push_back(name);
        return answer;
    }
    std::string ReadValue(const std::string& key) override { return values[key]; }
    void WriteValue(const std::string& key, const std::string& value) override { values[key] = value; }
    std::string answer;
    std::vector<std::string> names;
    std::map<std::string, std::string> values; // the store of the remembered password
};

// The stand-in engine (all three interfaces in one library): its script setter and its log.
struct Fake {
    Fake() : handle(dlopen(FAKE_ENGINES_LIBRARY, RTLD_NOW)) {
        EXPECT_NE(handle, nullptr) << dlerror();
        script = reinterpret_cast<void (*)(const char*)>(dlsym(handle, "FakeEngine_Script"));
        log = reinterpret_cast<const char* (*)()>(dlsym(handle, "FakeEngine_Log"));
    }
    ~Fake() { dlclose(handle); }
    void* handle;
    void (*script)(const char*) = nullptr;
    const char* (*log)() = nullptr;
};

class AdapterTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::WriteFile(m_rarArchive, "rar");
        test::WriteFile(m_aceArchive, "ace");
    }

    std::string zip(const std::string& script, const std::string& archive = "/in/a.zip") {
        m_fake.script(script.c_str());
        m_state.unzipOptions.lpszZipFN = archive;
        m_state.unzipOptions.lpszExtractDir = "/in/out";
        m_state.result.Succeeded = records::kFalse;
        m_zip.UnzipArchive(m_state, m_display);
        return m_fake.log();
    }
    // RAR: a test pass, then the extraction pass; a script for the second alone starts "header 10".
    std::string rar(const std::string& script, std::string destination = {}, mdlUnRAR* adapter = nullptr) {
        m_fake.script(script.c_str());
        std::string password, archive = m_rarArchive;
        destination = destination.empty() ? m_out.path() : destination;
        (adapter ? *adapter : m_rar).UnrarArchive(archive, destination, m_display, password, m_state);
        return m_fake.log();
    }
    std::string ace(const std::string& script, mdlUnACE* adapter = nullptr) {
        m_fake.script(script.c_str());
        m_state.result.Succeeded = records::kFalse; // as the batch run leaves it before each dispatch
        (adapter ? *adapter : m_ace).UnaceArchive(m_aceArchive, m_out.path(), m_display, {}, m_state);
        return m_fake.log();
    }
    // The one-pass script of the RAR and ACE cases, run through either.
    std::string run(bool isRar, const std::string& script) { return isRar ? rar("header 10\n" + script) : ace(script); }
    bool succeeded() const { return m_state.result.Succeeded == records::kTrue; }

    Fake m_fake;
    test::TempDir m_in, m_out;
    std::string m_rarArchive = m_in / "Set.part1.rar", m_aceArchive = m_in / "Set.ace";
    const std::string m_outSlash = m_out.path() + "/";
    records::ProcessState m_state;
    test::RecordingDisplay m_display;
    test::RecordingDialogs m_dialogs;
    ScriptedPrompt m_prompt;
    mdlUnZIP m_zip{m_dialogs, m_prompt, m_prompt, FAKE_ENGINES_LIBRARY};
    mdlUnRAR m_rar{m_dialogs, FAKE_ENGINES_LIBRARY};
    mdlUnACE m_ace{m_dialogs, FAKE_ENGINES_LIBRARY};
};

// The rules RAR and ACE share, one row per engine.
struct PerEngine {
    bool isRar;
    int badPassword, cannotCreate;
    bool goesOnAfterCreateError;
    std::vector<std::pair<int, bool>> codes; // an entry's code -> the archive counts as extracted
};
const PerEngine kEngines[] = {
    {true, ERAR_BAD_DATA, ERAR_ECREATE, true,
     {{ERAR_NO_MEMORY, false}, {ERAR_BAD_ARCHIVE, false}, {ERAR_UNKNOWN_FORMAT, false}, {ERAR_EOPEN, false},
      {ERAR_ECLOSE, false}, {ERAR_EREAD, false}, {ERAR_EWRITE, false}, {ERAR_ECREATE, false},
      {ERAR_SMALL_BUF, true}, {ERAR_UNKNOWN, true}, {-1, true}}},
    {false, 131, 11, false,
     {{1, false}, {3, false}, {5, false}, {6, false}, {7, false}, {9, false}, {11, false},
      {2, true}, {4, true}, {8, true}, {10, true}, {128, true}}},
};

TEST_F(AdapterTest, RarAndAceCodesDecideTheArchive) {
    for (const PerEngine& e : kEngines) {
        for (const auto& [code, ok] : e.codes) {
            SCOPED_TRACE(std::string(e.isRar ? "RAR " : "ACE ") + std::to_string(code));
            const std::string log = run(e.isRar, "header 0 v a 1\nprocess " + std::to_string(code) +
                                                      "\nheader 0 v b 1\n");
            EXPECT_EQ(succeeded(), ok);
            EXPECT_EQ(log.substr(log.size() - 6), "close\n") << "the archive is always closed";
            // Stop leaves the second entry alone; going on extracts it (RAR: after a write or create error too).
            const bool goesOn = ok || (e.isRar && (code == ERAR_EWRITE || code == ERAR_ECREATE));
            EXPECT_EQ(log.find("process 2 " + m_outSlash + " -> 0") != std::string::npos, goesOn) << log;
            if (!e.isRar) {
                ace("header " + std::to_string(code) + "\n");
                EXPECT_EQ(succeeded(), ok) << "as a header's code";
            }
        }
    }
    EXPECT_EQ(ace("open 5\n"), "open 1\n");
    EXPECT_FALSE(succeeded());
    rar("open 15\n");
    EXPECT_FALSE(succeeded());
}

TEST_F(AdapterTest, AWrongPasswordIsAskedForAgainAndTheEntryRetried) {
    for (const PerEngine& e : kEngines) {
        SCOPED_TRACE(e.isRar ? "RAR" : "ACE");
        const std::string bad = std::to_string(e.badPassword);
        m_dialogs = {};
        m_dialogs.answers = {"wrong", "secret"};
        const std::string log = run(e.isRar, "header 0 v a 1\nprocess " + bad + "\nprocess " + bad + "\nprocess 0\n");
        EXPECT_TRUE(succeeded());
        EXPECT_NE(log.find("-> " + bad + "\npassword wrong\nprocess 2 " + m_outSlash + " -> " + bad +
                           "\npassword secret\nprocess 2 " + m_outSlash + " -> 0\n"),
                  std::string::npos)
            << log;
        EXPECT_EQ(m_dialogs.prompts, (std::vector<std::string>{kPasswordPrompt, kPasswordPrompt}));
        run(e.isRar, "header 0 v a 1\nprocess " + bad + "\n"); // no answer
        EXPECT_FALSE(succeeded());
    }
    // RAR's encrypted headers: the same header is read again once the password is set.
    m_dialogs.answers = {"secret"};
    EXPECT_NE(rar("header 12\nheader 10\nheader 10\n").find("header 12\npassword secret\nheader 10\nclose"),
              std::string::npos);
    EXPECT_TRUE(succeeded());
}

TEST_F(AdapterTest, AnEntryThatCannotBeCreatedFailsTheArchiveAndDeletesNothing) {
    test::WriteFile(m_out / "old.txt", "old");
    test::WriteFile(m_out / "dir/keep", "");
    test::WriteFile(m_in / "victim", "must stay");
    ASSERT_EQ(symlink(m_in.path().c_str(), (m_out / "link").c_str()), 0);
    for (const PerEngine& e : kEngines) {
        const std::string code = std::to_string(e.cannotCreate);
        for (const char* name : {"old.txt", "dir", "dir/keep/x", "missing", "../victim", "link/victim"}) {
            SCOPED_TRACE(std::string(e.isRar ? "RAR " : "ACE ") + name);
            const std::string log =
                run(e.isRar, std::string("header 0 v ") + name + " 1\nprocess " + code + "\nheader 0 v next 1\nprocess 0\n");
            EXPECT_FALSE(succeeded());
            EXPECT_EQ(log.find("-> " + code), log.rfind("-> " + code)) << "no second try\n" << log;
            EXPECT_EQ(log.find("-> 0") != std::string::npos, e.goesOnAfterCreateError) << log;
        }
    }
    EXPECT_EQ(test::ReadFile(m_out / "old.txt"), "old");
    EXPECT_TRUE(test::Exists(m_out / "dir/keep"));
    EXPECT_EQ(test::ReadFile(m_in / "victim"), "must stay");
}

TEST_F(AdapterTest, CancelEndsTheArchiveAfterTheEntryInHand) {
    for (const bool isRar : {true, false}) {
        m_state.result.CancelRequested = records::kFalse;
        m_display.eventRounds = 0;
        // RAR handles events once before its passes too: its cancel comes in the second round, after entry a.
        m_display.onEvents = [&] {
            if (!isRar || m_display.eventRounds == 2) {
                m_state.result.CancelRequested = records::kTrue;
            }
        };
        const std::string log = run(isRar, "header 0 v a 1\nheader 0 v b 1\n");
        EXPECT_TRUE(succeeded()) << isRar;
        EXPECT_EQ(m_state.result.CancelRequested, records::kTrue);
        EXPECT_EQ(log, (isRar ? "open 0\nheader 10\nclose\nopen 1\n" : "open 1\n") + std::string("header 0\nprocess 2 ") +
                           m_outSlash + " -> 0\nclose\n");
    }
    // A cancel from before: ACE does not start the archive (RAR drops it, see below).
    m_state.result.CancelRequested = records::kTrue;
    EXPECT_EQ(ace("header 0 v a\n"), "");
    EXPECT_FALSE(succeeded()) << "left as the batch run set it";
}

TEST_F(AdapterTest, MissingArchiveOrEngineFailsTheArchive) {
    m_rarArchive = m_in / "missing.rar";
    m_aceArchive = m_in / "missing.ace";
    EXPECT_EQ(rar("header 10\nheader 0 v a 1\n"), "");
    EXPECT_FALSE(succeeded());
    EXPECT_EQ(ace("header 0 v a 1\n"), "");
    EXPECT_FALSE(succeeded());
    EXPECT_TRUE(m_display.archiveLines.empty());

    m_rarArchive = m_in / "Set.part1.rar";
    m_aceArchive = m_in / "Set.ace";
    mdlUnZIP zip(m_dialogs, m_prompt, m_prompt, "libno-such-engine.so");
    mdlUnRAR rarAdapter(m_dialogs, "libno-such-engine.so");
    mdlUnACE aceAdapter(m_dialogs, "libno-such-engine.so");
    for (int i = 0; i < 2; ++i) {
        m_state.result.Succeeded = records::kTrue;
        zip.UnzipArchive(m_state, m_display);
        EXPECT_FALSE(succeeded());
        rar("", {}, &rarAdapter);
        EXPECT_FALSE(succeeded());
        ace("", &aceAdapter);
        EXPECT_FALSE(succeeded());
    }
    // The ZIP engine's message comes once per program run, the others' with each archive.
    EXPECT_EQ(m_dialogs.messages, (std::vector<std::string>{kZipEngineMissing, kRarEngineMissing, kAceEngineMissing,
                                                            kRarEngineMissing, kAceEngineMissing}));
}

TEST_F(AdapterTest, RarTestsThenExtractsAndEveryPassMustEndAtTheArchivesEnd) {
    const std::string entries = "header 0 /in/Set.part1.rar docs/a.txt 100\nheader 0 /in/SET.PART2.RAR b 300\n";
    m_state.result.CancelRequested = records::kTrue; // a cancel from before this archive is dropped
    EXPECT_EQ(rar(entries + "header 10\n" + entries),
              "open 0\nheader 0\nprocess 0 -> 0\nheader 0\nprocess 0 -> 0\nheader 10\nclose\nopen 1\nheader 0\nprocess 2 " +
                  m_outSlash + " -> 0\nheader 0\nprocess 2 " + m_outSlash + " -> 0\nheader 10\nclose\n");
    EXPECT_TRUE(succeeded());
    EXPECT_EQ(m_display.archiveLines,
              (std::vector<std::string>{"Testing Set.part1.rar", "Set.part1.rar", "set.part1.rar", "set.part2.rar"}));
    EXPECT_EQ(m_display.statuses, (std::vector<std::string>{"", "Extracting: docs/a.txt", "Extracting: b"}));
    EXPECT_EQ(m_display.bars, (std::vector<std::string>{"0/100%", "100/400%", "400/400%"}));
    // A destination that already ends with its separator gives the same folder.
    EXPECT_NE(rar("header 10\nheader 0 v x 1\n", m_outSlash).find("process 2 " + m_outSlash + " -> 0"), std::string::npos);
    // Sizes are summed in 64 bits.
    rar("header 0 v a 4294967295\nheader 0 v b 4294967295\nheader 10\nheader 0 v a 4294967295\nheader 0 v b 4294967295\n");
    EXPECT_EQ(m_display.bars.back(), "8589934590/8589934590%");

    for (const char* script : {"header 0 v a 1\nheader 21\n", "header 10\nheader 0 v a 1\nheader 21\n", "header 10\nheader 19\n"}) {
        rar(script);
        EXPECT_FALSE(succeeded()) << script;
    }
    EXPECT_EQ(rar("close 17\n"), "open 0\nheader 10\nclose\n") << "a failing close stops before extraction";
    EXPECT_FALSE(succeeded());
}

TEST_F(AdapterTest, ZipCodesOptionsAndProgressLines) {
    const struct {
        int code;
        std::int16_t succeeded, cancelRequested;
    } codes[] = {{0, records::kTrue, records::kFalse}, {80, records::kFalse, records::kTrue},
                 {1, records::kFalse, records::kFalse}, {11, records::kFalse, records::kFalse},
                 {82, records::kFalse, records::kFalse}};
    for (const auto& c : codes) {
        m_state.result.CancelRequested = records::kFalse;
        zip("return " + std::to_string(c.code));
        EXPECT_EQ(m_state.result.Succeeded, c.succeeded) << c.code;
        EXPECT_EQ(m_state.result.CancelRequested, c.cancelRequested) << c.code;
    }
    m_state.result.CancelRequested = records::kTrue; // a cancel requested before is never cleared here
    zip("return 0");
    EXPECT_EQ(m_state.result.CancelRequested, records::kTrue);
    m_state.result.CancelRequested = records::kFalse;

    records::UnzipOptions& o = m_state.unzipOptions;
    o.ExtractOnlyNewer = o.nfflag = o.ndflag = 1;
    o.noflag = -1; // widened with its sign
    EXPECT_EQ(zip("options"), "options 11-10010 /in/a.zip > /in/out lists 0[] 0[]\n");

    // A progress line becomes the status line, the destination cut off; a warning says "Error.".
    for (const auto& [line, status] : std::vector<std::pair<std::string, std::string>>{
             {"  inflating: /in/out/docs/readme.txt  \\n", "Extracting: docs/readme.txt  "},
             {"   creating: /in/out/sub/\\n", "Creating: sub/"}, {"Target file newer.  Skipping /in/out/z\\n", "Skipping: z"},
             {"warning:  bad CRC\\n", "Error."}, {"\\n", ""}}) {
        m_display.statuses.clear();
        EXPECT_EQ(zip("print " + line), "print 0\n") << line;
        EXPECT_EQ(m_display.statuses, status.empty() ? std::vector<std::string>{} : std::vector<std::string>{status}) << line;
    }
}

TEST_F(AdapterTest, ZipCancelAndReplaceAnswers) {
    m_display.onEvents = [this] { m_state.result.CancelRequested = records::kTrue; };
    EXPECT_EQ(zip("print \\n\nservice\nprint never"), "print 0\nservice 1\n");
    EXPECT_EQ(m_state.result.Succeeded, records::kFalse);
    EXPECT_EQ(zip("print \\n"), "print 1\n") << "already requested: even a line feed says stop";
    m_display.onEvents = nullptr;

    const struct {
        const char* answer;
        int code;
        std::int16_t prompt, overwrite; // the settings afterwards, from Prompt 1 and Overwrite 0
    } cases[] = {{"yes", 102, 1, 0}, {"no", 100, 1, 0}, {"yestoall", 103, 0, 1}, {"notoall", 104, 0, 0}, {"", 102, 1, 0}};
    for (const auto& c : cases) {
        m_state.settings.Prompt = 1;
        m_state.settings.Overwrite = 0;
        m_prompt.answer = c.answer;
        m_prompt.names.clear();
        EXPECT_EQ(zip("replace /in/out/docs/readme.txt"), "replace " + std::to_string(c.code) + "\n") << c.answer;
        EXPECT_EQ(m_prompt.names, std::vector<std::string>{"docs/readme.txt"});
        EXPECT_EQ(m_state.settings.Prompt, c.prompt) << c.answer;
        EXPECT_EQ(m_state.settings.Overwrite, c.overwrite) << c.answer;
    }
}

TEST_F(AdapterTest, ZipPasswordsAreTriedSilentlyFirstAskedOnTheRepeatAndDeclinedOnce) {
    EXPECT_EQ(zip("password e1"), "password 0 []\n") << "nothing remembered: the empty password, silently";
    EXPECT_TRUE(m_dialogs.prompts.empty());
    // The same entry again: the box asks; the typed password is stored scrambled and handed over.
    m_dialogs.answers = {"s3cret"};
    EXPECT_EQ(zip("password e1\npassword e2"), "password 0 [s3cret]\npassword 0 [s3cret]\n");
    EXPECT_EQ(m_dialogs.prompts, std::vector<std::string>{kPasswordPrompt});
    EXPECT_EQ(DecryptText(m_prompt.values[kPasswordValue]), "s3cret");
    EXPECT_EQ(m_zip.GetRememberedPassword(), "s3cret");
    // A password longer than the engine's buffer is cut, and the buffer stays terminated.
    m_dialogs.answers = {"0123456789abcdefghij"};
    EXPECT_EQ(zip("password e2"), "password 0 [0123456789abcde]\n");

    // Declined: no password for this entry nor any other of this archive, without asking again.
    zip("password e1");
    m_dialogs.prompts.clear();
    const std::string declined = "password 1 [xxxxxxxxxxxxxxxx] unterminated\n";
    EXPECT_EQ(zip("password e1\npassword e2\npassword e1"), declined + declined + declined);
    EXPECT_EQ(m_dialogs.prompts.size(), 1u);
    // The next archive asks again, after its own silent first try with the remembered password.
    m_dialogs.answers = {"pw"};
    EXPECT_EQ(zip("password e1\npassword e1", "/in/b.zip"), "password 0 [0123456789abcde]\npassword 0 [pw]\n");
    EXPECT_EQ(m_dialogs.prompts.size(), 2u);
}

TEST(RC4_Modified, AFreshSaltEachTime) {
    int different = 0;
    for (int i = 0; i < 8; ++i) {
        different += EncryptText("pässwörd") != EncryptText("pässwörd") ? 1 : 0;
    }
    EXPECT_GT(different, 0);
    EXPECT_EQ(DecryptText(EncryptText(std::string("\0\xff\x80", 3))), std::string("\0\xff\x80", 3));
}

} // namespace
} // namespace brisko::engines
