// A stand-in for the ZIP engine library, loaded by the adapter like the real one. A test hands it a
// script (FakeUnzip_Script) of callback calls to make, one per line, and reads back what the
// callbacks answered (FakeUnzip_Log):
//   print TEXT          print(TEXT) — "\n" in TEXT stands for a line feed
//   service             ServCallBk; a non-zero answer ends the call with 80
//   replace PATH        replace(PATH)
//   password ENTRY      password(buffer of 16 bytes, ENTRY)
//   options             logs the option record
//   return CODE         ends the call with CODE (the default is 0)
#include <cstring>
#include <sstream>
#include <string>

#include "enginelibs/api/unzip32.h"

namespace {

std::string g_script;
std::string g_log;

std::string unescape(std::string text) {
    for (std::size_t at = text.find("\\n"); at != std::string::npos; at = text.find("\\n", at + 1)) {
        text.replace(at, 2, "\n");
    }
    return text;
}

} // namespace

extern "C" __attribute__((visibility("default"))) void FakeUnzip_Script(const char* script) {
    g_script = script;
    g_log.clear();
}

extern "C" __attribute__((visibility("default"))) const char* FakeUnzip_Log() {
    return g_log.c_str();
}

extern "C" __attribute__((visibility("default"))) int
Wiz_SingleEntryUnzip(int ifnc, char** ifnv, int xfnc, char** xfnv, DCL* C, USERFUNCTIONS* f) {
    std::istringstream lines(g_script);
    std::string line;
    std::ostringstream log;
    while (std::getline(lines, line)) {
        const std::string verb = line.substr(0, line.find(' '));
        const std::string rest = line.size() > verb.size() ? line.substr(verb.size() + 1) : std::string();
        if (verb == "print") {
            std::string text = unescape(rest);
            log << "print " << f->print(text.data(), text.size()) << "\n";
        } else if (verb == "service") {
            const int answer = f->ServCallBk("entry", 1);
            log << "service " << answer << "\n";
            if (answer != 0) {
                g_log = log.str();
                return 80;
            }
        } else if (verb == "replace") {
            std::string path = rest;
            log << "replace " << f->replace(path.data()) << "\n";
        } else if (verb == "password") {
            char buffer[16];
            std::memset(buffer, 'x', sizeof buffer);
            const int answer = f->password(buffer, sizeof buffer, "prompt", rest.c_str());
            log << "password " << answer << " [" << std::string(buffer, strnlen(buffer, sizeof buffer)) << "]"
                << (buffer[sizeof buffer - 1] == '\0' ? "" : " unterminated") << "\n";
        } else if (verb == "options") {
            log << "options " << C->ExtractOnlyNewer << C->nfflag << C->noflag << C->PromptToOverwrite
                << C->nvflag << C->ndflag << C->nzflag << " " << C->lpszZipFN << " > " << C->lpszExtractDir
                << " lists " << ifnc << "[" << ifnv[0] << "] " << xfnc << "[" << xfnv[0] << "]\n";
        } else if (verb == "return") {
            g_log = log.str();
            return std::stoi(rest);
        }
    }
    g_log = log.str();
    return 0;
}
