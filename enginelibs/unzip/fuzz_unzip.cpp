// libFuzzer target: every input is extracted as a ZIP archive into a scratch folder that sits next to
// a sentinel file. A sanitizer report, a changed sentinel or anything new beside the destination is
// a finding. Build with clang, the whole tree configured with
//   -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined
// and run: fuzz_unzip -max_len=65536 corpus/
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "api/unzip32.h"

namespace {

constexpr const char kSentinel[] = "sentinel";

struct Scratch {
    std::string root, archive, out, sentinel;
};

const Scratch& scratch() {
    static const Scratch folders = [] {
        char pattern[] = "/tmp/brisko-fuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::abort();
        }
        Scratch made{pattern, std::string(pattern) + "/archive.zip", std::string(pattern) + "/out",
                     std::string(pattern) + "/sentinel"};
        FILE* file = std::fopen(made.sentinel.c_str(), "wb");
        std::fputs(kSentinel, file);
        std::fclose(file);
        return made;
    }();
    return folders;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

int onPassword(char* buffer, int size, const char*, const char*) {
    std::snprintf(buffer, static_cast<std::size_t>(size), "password");
    return 0;
}

int onReplace(char*) {
    return UNZ_REPLACE_YES;
}

void checkSurroundings(const Scratch& folders) {
    char content[sizeof kSentinel] = {};
    FILE* file = std::fopen(folders.sentinel.c_str(), "rb");
    if (file == nullptr || std::fread(content, 1, sizeof content, file) != sizeof kSentinel - 1 ||
        std::strcmp(content, kSentinel) != 0) {
        std::abort();
    }
    std::fclose(file);
    DIR* root = opendir(folders.root.c_str());
    while (const dirent* entry = readdir(root)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name != "archive.zip" && name != "out" && name != "sentinel") {
            std::abort();
        }
    }
    closedir(root);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Scratch& folders = scratch();
    FILE* archive = std::fopen(folders.archive.c_str(), "wb");
    std::fwrite(data, 1, size, archive);
    std::fclose(archive);
    nftw(folders.out.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    mkdir(folders.out.c_str(), 0755);

    DCL options{};
    options.noflag = 1;
    options.lpszZipFN = folders.archive.c_str();
    options.lpszExtractDir = folders.out.c_str();
    USERFUNCTIONS callbacks{};
    callbacks.password = onPassword;
    callbacks.replace = onReplace;
    Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, &options, &callbacks);
    checkSurroundings(folders);
    return 0;
}
