#include "enginelibs/RarTestSupport.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace brisko::test {

RarRun RunRar(const std::string& archive, const std::string& destination, const std::string& password,
              int operation, unsigned mode) {
    RarRun run;
    RAROpenArchiveData open{};
    std::string name = archive;
    open.ArcName = name.data();
    open.OpenMode = mode;
    void* handle = RAROpenArchive(&open);
    run.openResult = static_cast<int>(open.OpenResult);
    if (handle == nullptr) {
        return run;
    }
    std::string pw = password;
    if (!pw.empty()) {
        RARSetPassword(handle, pw.data());
    }
    std::string dest = destination;
    for (;;) {
        RARHeaderData header{};
        const int code = RARReadHeader(handle, &header);
        if (code != 0) {
            run.endCode = code;
            break;
        }
        run.headers.push_back(header);
        run.results[header.FileName] = RARProcessFile(handle, operation, dest.data(), nullptr);
    }
    RARCloseArchive(handle);
    return run;
}

std::vector<std::string> TreeOf(const std::string& folder) {
    namespace fs = std::filesystem;
    std::vector<std::string> paths;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        std::string relative = it->path().lexically_relative(folder).generic_string();
        if (it->is_directory() && !it->is_symlink()) {
            relative += '/';
        }
        paths.push_back(relative);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

bool HasLeftovers(const std::string& folder) {
    for (const std::string& path : TreeOf(folder)) {
        if (path.find(".brisko-") != std::string::npos) {
            return true;
        }
    }
    return false;
}

} // namespace brisko::test
