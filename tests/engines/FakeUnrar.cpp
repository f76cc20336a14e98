// A stand-in for the RAR engine library. A test queues the answers of each call with
// FakeUnrar_Script (one per line; a call whose queue is empty gets the default in brackets):
//   open CODE                       the OpenResult of the next open            [0]
//   header CODE [VOLUME NAME SIZE]  the next RARReadHeader                     [10, the archive's end]
//   process CODE                    the next RARProcessFile                    [0]
//   close CODE                      the next RARCloseArchive                   [0]
// FakeUnrar_Log returns the calls made, one per line.
#include <deque>
#include <map>
#include <sstream>
#include <string>

#include "enginelibs/api/unrar.h"

namespace {

std::map<std::string, std::deque<std::string>> g_queues;
std::string g_log;
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

} // namespace

#define EXPORTED extern "C" __attribute__((visibility("default")))

EXPORTED void FakeUnrar_Script(const char* script) {
    g_queues.clear();
    g_log.clear();
    std::istringstream lines(script);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t space = line.find(' ');
        g_queues[line.substr(0, space)].push_back(line.substr(space + 1));
    }
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
