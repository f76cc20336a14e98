// A stand-in for all three engine libraries, loaded by the adapters like the real ones. A test hands it
// a script (FakeEngine_Script) and reads back the calls made (FakeEngine_Log). The adapters run one at
// a time, so one script serves whichever engine is called.
// ZIP: Wiz_SingleEntryUnzip plays the script's lines in order, making the callback calls:
//   print TEXT ("\n" in TEXT a line feed) | service (a non-zero answer ends with 80) | replace PATH |
//   password ENTRY (a buffer of 16 bytes) | options (logs the option record) | return CODE (default 0)
// RAR and ACE: each call takes the next answer queued for it (default in brackets):
//   open CODE [0] | header CODE [VOLUME NAME SIZE] [10, the archive's end] | process CODE [0] | close CODE [0]
//   An ACE "process" answer "write [CODE]" first creates the entry's file below the folder.
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "enginelibs/api/unace.h"
#include "enginelibs/api/unrar.h"
#include "enginelibs/api/unzip32.h"

namespace {

std::string g_script, g_log, g_entry;
std::map<std::string, std::deque<std::string>> g_queues;
int g_handle = 0;

std::string next(const std::string& call, const std::string& fallback) {
    auto& queue = g_queues[call];
    if (queue.empty()) {
        return fallback;
    }
    std::string answer = queue.front();
    queue.pop_front();
    return answer;
}

// "header CODE VOLUME NAME SIZE": the code, and the fields when it is 0.
int header(char* arcName, std::size_t arcSize, char* fileName, std::size_t nameSize, unsigned* size) {
    std::istringstream answer(next("header", "10"));
    int code = 0;
    std::string volume;
    answer >> code >> volume >> g_entry >> *size;
    if (code == 0) {
        volume.copy(arcName, arcSize - 1);
        g_entry.copy(fileName, nameSize - 1);
    }
    g_log += "header " + std::to_string(code) + "\n";
    return code;
}

} // namespace

#define EXPORTED extern "C" __attribute__((visibility("default")))

EXPORTED void FakeEngine_Script(const char* script) {
    g_script = script;
    g_log.clear();
    g_queues.clear();
    std::istringstream lines(g_script);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t space = line.find(' ');
        g_queues[line.substr(0, space)].push_back(line.substr(space + 1));
    }
}

EXPORTED const char* FakeEngine_Log() {
    return g_log.c_str();
}

EXPORTED int Wiz_SingleEntryUnzip(int ifnc, char** ifnv, int xfnc, char** xfnv, DCL* C, USERFUNCTIONS* f) {
    std::istringstream lines(g_script);
    std::ostringstream log;
    int code = 0;
    bool done = false;
    for (std::string line; !done && std::getline(lines, line);) {
        const std::string verb = line.substr(0, line.find(' '));
        std::string rest = line.size() > verb.size() ? line.substr(verb.size() + 1) : std::string();
        if (verb == "print") {
            for (std::size_t at = rest.find("\\n"); at != std::string::npos; at = rest.find("\\n", at + 1)) {
                rest.replace(at, 2, "\n");
            }
            log << "print " << f->print(rest.data(), rest.size()) << "\n";
        } else if (verb == "service") {
            const int answer = f->ServCallBk("entry", 1);
            log << "service " << answer << "\n";
            code = answer != 0 ? 80 : 0;
            done = answer != 0;
        } else if (verb == "replace") {
            log << "replace " << f->replace(rest.data()) << "\n";
        } else if (verb == "password") {
            char buffer[16];
            std::memset(buffer, 'x', sizeof buffer);
            const int answer = f->password(buffer, sizeof buffer, "prompt", rest.c_str());
            log << "password " << answer << " [" << std::string(buffer, strnlen(buffer, sizeof buffer)) << "]"
                << (buffer[sizeof buffer - 1] == '\0' ? "" : " unterminated") << "\n";
        } else if (verb == "options") {
            log << "options " << C->ExtractOnlyNewer << C->nfflag << C->noflag << C->PromptToOverwrite << C->nvflag
                << C->ndflag << C->nzflag << " " << C->lpszZipFN << " > " << C->lpszExtractDir << " lists " << ifnc
                << "[" << ifnv[0] << "] " << xfnc << "[" << xfnv[0] << "]\n";
        } else if (verb == "return") {
            code = std::stoi(rest);
            done = true;
        }
    }
    g_log = log.str();
    return code;
}

// The calls RAR and ACE share.
static void* Open(unsigned* result, int mode) {
    *result = static_cast<unsigned>(std::stoi(next("open", "0")));
    g_log += "open " + std::to_string(mode) + "\n";
    return *result == 0 ? &g_handle : nullptr;
}
static int Close(bool rar) {
    g_log += "close\n";
    return rar ? std::stoi(next("close", "0")) : 0;
}
static void SetPassword(const char* password) {
    g_log += std::string("password ") + password + "\n";
}

EXPORTED void* RAROpenArchive(RAROpenArchiveData* data) { return Open(&data->OpenResult, static_cast<int>(data->OpenMode)); }
EXPORTED void* ACEOpenArchive(AceOpenRecord* data) { return Open(&data->OpenResult, static_cast<int>(data->OpenMode)); }
EXPORTED int RARCloseArchive(void*) { return Close(true); }
EXPORTED int ACECloseArchive(void*) { return Close(false); }
EXPORTED void RARSetPassword(void*, char* password) { SetPassword(password); }
EXPORTED void ACESetPassword(void*, char* password) { SetPassword(password); }

EXPORTED int RARReadHeader(void*, RARHeaderData* h) {
    *h = RARHeaderData{};
    return header(h->ArcName, sizeof h->ArcName, h->FileName, sizeof h->FileName, &h->UnpSize);
}
EXPORTED int ACEReadHeader(void*, AceHeaderRecord* h) {
    *h = AceHeaderRecord{};
    unsigned size = 0;
    return header(h->ArcName, sizeof h->ArcName, h->FileName, sizeof h->FileName, &size);
}

EXPORTED int RARProcessFile(void*, int operation, char* path, char* name) {
    const int code = std::stoi(next("process", "0"));
    g_log += "process " + std::to_string(operation) + (path ? std::string(" ") + path : "") +
             (name ? std::string(" ") + name : "") + " -> " + std::to_string(code) + "\n";
    return code;
}
EXPORTED int ACEProcessFile(void*, int operation, char* folder) {
    std::string answer = next("process", "0");
    if (answer.rfind("write", 0) == 0) {
        std::ofstream(std::string(folder) + g_entry) << "new";
        answer = answer.size() > 6 ? answer.substr(6) : "0";
    }
    g_log += "process " + std::to_string(operation) + " " + folder + " -> " + answer + "\n";
    return std::stoi(answer);
}
