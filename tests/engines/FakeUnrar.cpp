// A stand-in for the RAR engine library. A test queues the answers of each call with
// FakeUnrar_Script (one per line; a call whose queue is empty gets the default in brackets):
//   open CODE                       the OpenResult of the next open            [0]
//   header CODE [VOLUME NAME SIZE]  the next RARReadHeader                     [10, the archive's end]
//   process CODE                    the next RARProcessFile                    [0]
//   close CODE                      the next RARCloseArchive                   [0]
// FakeUnrar_Log returns the calls made, one per line.
#include <sstream>
#include <string>

#include "enginelibs/api/unrar.h"
#include "engines/FakeScript.h"

namespace {

brisko::test::FakeScript g_script;
std::string g_log;
int g_handle = 0;

std::string next(const std::string& call, const std::string& fallback) {
    return g_script.next(call, fallback);
}

} // namespace

#define EXPORTED extern "C" __attribute__((visibility("default")))

EXPORTED void FakeUnrar_Script(const char* script) {
    g_script.load(script);
    g_log.clear();
}

EXPORTED const char* FakeUnrar_Log() {
    return g_log.c_str();
}

EXPORTED void* RAROpenArchive(RAROpenArchiveData* data) {
    data->OpenResult = static_cast<unsigned>(std::stoi(next("open", "0")));
    g_log += "open " + std::to_string(data->OpenMode) + "\n";
    return data->OpenResult == 0 ? &g_handle : nullptr;
}

EXPORTED int RARCloseArchive(void*) {
    g_log += "close\n";
    return std::stoi(next("close", "0"));
}

EXPORTED int RARReadHeader(void*, RARHeaderData* header) {
    std::istringstream answer(next("header", "10"));
    int code = 0;
    std::string volume, name;
    unsigned size = 0;
    answer >> code >> volume >> name >> size;
    if (code == 0) {
        *header = RARHeaderData{};
        volume.copy(header->ArcName, sizeof header->ArcName - 1);
        name.copy(header->FileName, sizeof header->FileName - 1);
        header->UnpSize = size;
    }
    g_log += "header " + std::to_string(code) + "\n";
    return code;
}

EXPORTED int RARProcessFile(void*, int operation, char* path, char* name) {
    const int code = std::stoi(next("process", "0"));
    g_log += "process " + std::to_string(operation) + (path ? std::string(" ") + path : "") +
             (name ? std::string(" ") + name : "") + " -> " + std::to_string(code) + "\n";
    return code;
}

EXPORTED void RARSetPassword(void*, char* password) {
    g_log += std::string("password ") + password + "\n";
}
