#include "enginelibs/AceTestSupport.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace brisko::test {

AceRunResult ExtractAce(const std::string& archive, const std::string& dest,
                        std::vector<std::string> passwords) {
    AceRunResult result;
    std::string name = archive;
    AceOpenRecord open{};
    open.ArcName = name.data();
    open.OpenMode = ACE_OPEN_EXTRACT;
    void* handle = ACEOpenArchive(&open);
    result.openResult = open.OpenResult;
    if (handle == nullptr) {
        return result;
    }
    std::reverse(passwords.begin(), passwords.end());
    AceHeaderRecord header{};
    while ((result.end = ACEReadHeader(handle, &header)) == 0) {
        AceEntryResult entry;
        entry.name = header.FileName;
        entry.volume = header.ArcName;
        entry.fileTime = header.FileTime;
        entry.fileCrc = header.FileCRC;
        std::string folder = dest;
        entry.code = ACEProcessFile(handle, ACE_EXTRACT, folder.data());
        while (entry.code == ACE_ERR_PASSWORD && !passwords.empty()) {
            ACESetPassword(handle, passwords.back().data());
            passwords.pop_back();
            entry.code = ACEProcessFile(handle, ACE_EXTRACT, folder.data());
        }
        result.entries.push_back(entry);
    }
    ACECloseArchive(handle);
    return result;
}

std::vector<std::string> FilesBelow(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& item : std::filesystem::recursive_directory_iterator(folder)) {
        if (!item.is_directory()) {
            out.push_back(std::filesystem::relative(item.path(), folder).string());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string AceSamples() {
    const std::string dir = BRISKO_ACE_TESTDATA;
    return std::filesystem::is_directory(dir) ? dir : std::string();
}

} // namespace brisko::test
