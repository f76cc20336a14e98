#include "engines/mdlUnZIP.h"

#include <cstring>
#include <utility>

#include "enginelibs/api/briskoguard.h"
#include "enginelibs/api/unzip32.h"
#include "engines/EngineGuard.h"
#include "engines/FailureReason.h"
#include "engines/RC4_Modified.h"

namespace brisko::engines {

namespace {

// The adapter whose engine call is running; see the class comment.
mdlUnZIP* s_active = nullptr;

constexpr std::size_t kHeadLength = 13;
constexpr std::size_t kNameLimit = 256;

struct Head {
    const char* head;
    const char* status;
};

constexpr Head kHeads[] = {
    {"   skipping: ", "Skipping: "},   {"Target file n", "Skipping: "},   {"Target file e", "Skipping: "},
    {" extracting: ", "Extracting: "}, {"  inflating: ", "Extracting: "}, {"   creating: ", "Creating: "},
};

// Text from an engine buffer: up to the first zero byte, at most `limit` bytes.
std::string fromBuffer(const char* text, std::size_t limit) {
    if (!text) {
        return {};
    }
    return std::string(text, strnlen(text, limit));
}

void removeAll(std::string& text, const std::string& what) {
    if (what.empty()) {
        return;
    }
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) {
        text.erase(at, what.size());
    }
}

// A path as the user reads it: relative to the destination. Native paths keep their "/".
std::string relativeToDestination(std::string path, const std::string& destination) {
    removeAll(path, destination + "/");
    return path;
}

} // namespace

mdlUnZIP::mdlUnZIP(Dialogs& dialogs, OverwritePrompt& prompt, ValueStore& store, std::string library)
    : m_dialogs(dialogs), m_prompt(prompt), m_store(store), m_libraryName(std::move(library)) {}

mdlUnZIP::~mdlUnZIP() {
    if (s_active == this) {
        s_active = nullptr;
    }
}

void mdlUnZIP::UnzipArchive(records::ProcessState& state, ProgressDisplay& display) {
    using Entry = int (*)(int, char**, int, char**, DCL*, USERFUNCTIONS*);
    using GuardedEntry = int (*)(int, char**, int, char**, DCL*, USERFUNCTIONS*, const BriskoGuard*);
    if (!m_library.loaded()) {
        m_library.load(m_libraryName);
    }
    const auto unzip = reinterpret_cast<Entry>(m_library.symbol("Wiz_SingleEntryUnzip"));
    const auto guarded = reinterpret_cast<GuardedEntry>(m_library.symbol("Wiz_SingleEntryUnzipGuarded"));
    if (!unzip) {
        if (!m_toldMissing) {
            m_toldMissing = true;
            m_dialogs.messageBox(kZipEngineMissing, MessageIcon::Critical);
        }
        NoteFailure(state.result, kEngineMissingReason);
        state.result.Succeeded = records::kFalse;
        return;
    }

    const records::UnzipOptions& options = state.unzipOptions;
    DCL dcl{};
    dcl.ExtractOnlyNewer = options.ExtractOnlyNewer;
    dcl.SpaceToUnderscore = options.SpaceToUnderscore;
    dcl.PromptToOverwrite = options.PromptToOverwrite;
    dcl.fQuiet = options.fQuiet;
    dcl.ncflag = options.ncflag;
    dcl.ntflag = options.ntflag;
    dcl.nvflag = options.nvflag;
    dcl.nfflag = options.nfflag;
    dcl.nzflag = options.nzflag;
    dcl.ndflag = options.ndflag;
    dcl.noflag = options.noflag;
    dcl.naflag = options.naflag;
    dcl.nZIflag = options.nZIflag;
    dcl.C_flag = options.C_flag;
    dcl.fPrivilege = options.fPrivilege;
    dcl.lpszZipFN = options.lpszZipFN.c_str();
    dcl.lpszExtractDir = options.lpszExtractDir.c_str();

    // Empty lists still hand the engine one empty name each, as its interface expects.
    std::vector<std::string> include = options.filesToExtract, exclude = options.filesToExclude;
    const int includeCount = static_cast<int>(include.size()),
              excludeCount = static_cast<int>(exclude.size());
    include.resize(std::max<std::size_t>(include.size(), 1));
    exclude.resize(std::max<std::size_t>(exclude.size(), 1));
    std::vector<char*> includeNames, excludeNames;
    for (auto& name : include) {
        includeNames.push_back(name.data());
    }
    for (auto& name : exclude) {
        excludeNames.push_back(name.data());
    }

    USERFUNCTIONS callbacks{};
    callbacks.print = &mdlUnZIP::OnUnzipPrint;
    callbacks.sound = nullptr;
    callbacks.replace = &mdlUnZIP::OnUnzipReplace;
    callbacks.password = &mdlUnZIP::OnUnzipPassword;
    callbacks.SendApplicationMessage = &mdlUnZIP::OnUnzipMessage;
    callbacks.ServCallBk = &mdlUnZIP::OnUnzipService;

    m_state = &state;
    m_display = &display;
    mdlUnZIP* const outer = std::exchange(s_active, this);
    int code = 0;
    if (guarded) {
        const BriskoGuard guard = GuardFor(state);
        code = guarded(includeCount, includeNames.data(), excludeCount, excludeNames.data(), &dcl, &callbacks,
                       &guard);
    } else {
        code = unzip(includeCount, includeNames.data(), excludeCount, excludeNames.data(), &dcl, &callbacks);
    }
    s_active = outer;
    m_state = nullptr;
    m_display = nullptr;

    if (code == 0) {
        state.result.Succeeded = records::kTrue;
    } else {
        NoteFailure(state.result, ZipCodeReason(code));
        if (code == 80) {
            state.result.CancelRequested = records::kTrue;
        }
        state.result.Succeeded = records::kFalse;
    }
    m_passwordDeclined = false;
    m_passwordTried = false;
}

int mdlUnZIP::cancelAnswer() const {
    return m_state && m_state->result.CancelRequested != records::kFalse ? 1 : 0;
}

int mdlUnZIP::print(const std::string& chunk) {
    std::string text = chunk;
    if (!text.empty() && text.front() == '\n') {
        text = "\r\n";
    }
    if (text != "\r\n") {
        const std::string& destination = m_state->unzipOptions.lpszExtractDir;
        NoteFailure(m_state->result, ZipLineReason(text, m_state->unzipOptions.lpszZipFN, destination));
        const char* status = "Error.";
        for (const Head& head : kHeads) {
            if (text.compare(0, kHeadLength, head.head) == 0 && text.size() >= kHeadLength) {
                status = head.status;
            }
        }
        std::string line = status;
        if (std::strcmp(status, "Error.") != 0) {
            const std::size_t at = destination.empty() ? std::string::npos : text.find(destination);
            line += relativeToDestination(at == std::string::npos ? text : text.substr(at), destination);
            // The engine ends its lines with a line break; the status line is one line.
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
                line.pop_back();
            }
        }
        m_display->setStatus(line);
        m_display->processEvents();
    }
    return cancelAnswer();
}

int mdlUnZIP::replace(const std::string& path) {
    records::Settings& settings = m_state->settings;
    const std::string answer =
        m_prompt.OverwriteAnswer(relativeToDestination(path, m_state->unzipOptions.lpszExtractDir));
    if (answer == "no") {
        return UNZ_REPLACE_NO;
    }
    if (answer == "yestoall") {
        settings.Prompt = 0;
        settings.Overwrite = 1;
        return UNZ_REPLACE_ALL;
    }
    if (answer == "notoall") {
        settings.Prompt = 0;
        settings.Overwrite = 0;
        return UNZ_REPLACE_NONE;
    }
    // "yes", and a window closed without an answer.
    return UNZ_REPLACE_YES;
}

int mdlUnZIP::password(char* buffer, int size, const std::string& entry) {
    if (m_passwordDeclined) {
        return 1;
    }
    const std::string& archive = m_state->unzipOptions.lpszZipFN;
    // The same entry again means the password handed over last time did not fit: only now ask.
    if (archive == m_lastPasswordRequest.archive && entry == m_lastPasswordRequest.entry) {
        const std::string typed = m_dialogs.inputBox(kPasswordPrompt);
        if (typed.empty()) {
            m_passwordDeclined = true;
            // The engine can only say the entry was skipped for want of a password.
            if (m_passwordTried) {
                NoteFailure(m_state->result, "wrong password: " + entry);
            }
            return 1;
        }
        SaveRememberedPassword(typed);
    }
    if (buffer && size > 0) {
        std::memset(buffer, 0, static_cast<std::size_t>(size));
        const std::string remembered = GetRememberedPassword();
        std::memcpy(buffer, remembered.data(),
                    std::min(remembered.size(), static_cast<std::size_t>(size - 1)));
        m_passwordTried = m_passwordTried || !remembered.empty();
    }
    m_lastPasswordRequest = {archive, entry};
    return 0;
}

std::string mdlUnZIP::GetRememberedPassword() {
    const std::string stored = m_store.ReadValue(kPasswordValue);
    return stored.empty() ? std::string() : DecryptText(stored);
}

void mdlUnZIP::SaveRememberedPassword(const std::string& password) {
    m_store.WriteValue(kPasswordValue, password.empty() ? password : EncryptText(password));
}

int mdlUnZIP::OnUnzipPrint(char* text, unsigned long length) {
    return s_active && s_active->m_state ? s_active->print(fromBuffer(text, length)) : 0;
}

int mdlUnZIP::OnUnzipService(const char*, unsigned long) {
    if (!s_active || !s_active->m_state) {
        return 0;
    }
    s_active->m_display->processEvents();
    return s_active->cancelAnswer();
}

int mdlUnZIP::OnUnzipReplace(char* path) {
    return s_active && s_active->m_state ? s_active->replace(fromBuffer(path, kNameLimit)) : UNZ_REPLACE_YES;
}

int mdlUnZIP::OnUnzipPassword(char* buffer, int size, const char*, const char* entry) {
    return s_active && s_active->m_state ? s_active->password(buffer, size, fromBuffer(entry, kNameLimit))
                                         : 1;
}

void mdlUnZIP::OnUnzipMessage(unsigned long, unsigned long, unsigned, unsigned, unsigned, unsigned, unsigned,
                              unsigned, char, const char*, const char*, unsigned long, char) {
    // Listing data of an entry: Brisko shows no listing, so there is nothing to keep.
}

} // namespace brisko::engines
