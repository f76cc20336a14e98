// A stand-in for the ACE engine library, scripted like the RAR one (see FakeUnrar.cpp):
//   open CODE | header CODE [VOLUME NAME] | process CODE   (defaults 0, 10 = the end, 0)
// A "process" answer of "write" creates the entry's file below the folder and answers 0; "write CODE"
// creates it and answers CODE.
#include <fstream>
#include <sstream>
#include <string>

#include "enginelibs/api/unace.h"
#include "engines/FakeScript.h"

namespace {

brisko::test::FakeScript g_script;
std::string g_log;
std::string g_entry;
int g_handle = 0;

std::string next(const std::string& call, const std::string& fallback) {
    return g_script.next(call, fallback);
}

} // namespace

#define EXPORTED extern "C" __attribute__((visibility("default")))

EXPORTED void FakeUnace_Script(const char* script) {
    g_script.load(script);
    g_log.clear();
}

EXPORTED const char* FakeUnace_Log() {
    return g_log.c_str();
}

EXPORTED void* ACEOpenArchive(AceOpenRecord* data) {
    data->OpenResult = static_cast<unsigned>(std::stoi(next("open", "0")));
    g_log += "open " + std::to_string(data->OpenMode) + "\n";
    return data->OpenResult == 0 ? &g_handle : nullptr;
}

EXPORTED int ACECloseArchive(void*) {
    g_log += "close\n";
    return 0;
}

EXPORTED int ACEReadHeader(void*, AceHeaderRecord* header) {
    std::istringstream answer(next("header", "10"));
    int code = 0;
    std::string volume;
    answer >> code >> volume >> g_entry;
    if (code == 0) {
        *header = AceHeaderRecord{};
        volume.copy(header->ArcName, sizeof header->ArcName - 1);
        g_entry.copy(header->FileName, sizeof header->FileName - 1);
    }
    g_log += "header " + std::to_string(code) + "\n";
    return code;
}

EXPORTED int ACEProcessFile(void*, int operation, char* folder) {
    std::string answer = next("process", "0");
    if (answer.rfind("write", 0) == 0) {
        std::ofstream(std::string(folder) + g_entry) << "new";
        answer = answer.size() > 6 ? answer.substr(6) : "0";
    }
    const int code = std::stoi(answer);
    g_log += "process " + std::to_string(operation) + " " + folder + " -> " + std::to_string(code) + "\n";
    return code;
}

EXPORTED void ACESetPassword(void*, char* password) {
    g_log += std::string("password ") + password + "\n";
}
