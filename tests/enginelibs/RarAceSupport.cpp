#include "enginelibs/RarAceSupport.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/ArchiveBytes.h"

namespace brisko::test {

namespace fs = std::filesystem;

namespace {

// Sets the next password, if any is left.
bool nextPassword(std::vector<std::string>& passwords, void* handle, bool rar) {
    if (passwords.empty()) {
        return false;
    }
    std::string password = passwords.front();
    passwords.erase(passwords.begin());
    rar ? RARSetPassword(handle, password.data()) : ACESetPassword(handle, password.data());
    return true;
}

} // namespace

ArchiveRun RunRar(const std::string& archive, const std::string& destination,
                  std::vector<std::string> passwords, int operation, unsigned mode) {
    ArchiveRun run;
    std::string name = archive, dest = destination;
    RAROpenArchiveData open{};
    open.ArcName = name.data();
    open.OpenMode = mode;
    void* handle = RAROpenArchive(&open);
    run.open = static_cast<int>(open.OpenResult);
    RARHeaderData header{};
    while (handle != nullptr && (run.end = RARReadHeader(handle, &header)) != ERAR_END_ARCHIVE) {
        if (run.end != 0) {
            if (run.end == ERAR_BAD_DATA && nextPassword(passwords, handle, true)) {
                continue; // encrypted headers
            }
            break;
        }
        int code = RARProcessFile(handle, operation, dest.data(), nullptr);
        while (code == ERAR_BAD_DATA && (header.Flags & 0x04) != 0 && nextPassword(passwords, handle, true)) {
            code = RARProcessFile(handle, operation, dest.data(), nullptr);
        }
        // A RAR 5 entry that is encrypted keeps its CRC in a keyed form.
        const bool plain = header.FileCRC != 0 && !((header.Flags & 0x04) != 0 && header.UnpVer >= 50);
        run.order.push_back(header.FileName);
        run.entries[header.FileName] = {code,           header.FileCRC,  plain,
                                        header.UnpSize, header.FileTime, header.ArcName};
    }
    if (handle != nullptr) {
        RARCloseArchive(handle);
    }
    return run;
}

ArchiveRun RunAce(const std::string& archive, const std::string& destination,
                  std::vector<std::string> passwords) {
    ArchiveRun run;
    std::string name = archive, dest = destination;
    AceOpenRecord open{};
    open.ArcName = name.data();
    open.OpenMode = ACE_OPEN_EXTRACT;
    void* handle = ACEOpenArchive(&open);
    run.open = static_cast<int>(open.OpenResult);
    AceHeaderRecord header{};
    while (handle != nullptr && (run.end = ACEReadHeader(handle, &header)) == 0) {
        int code = ACEProcessFile(handle, ACE_EXTRACT, dest.data());
        while (code == ACE_ERR_PASSWORD && nextPassword(passwords, handle, false)) {
            code = ACEProcessFile(handle, ACE_EXTRACT, dest.data());
        }
        run.order.push_back(header.FileName);
        run.entries[header.FileName] = {code, header.FileCRC, true, 0, header.FileTime, header.ArcName};
    }
    if (handle != nullptr) {
        ACECloseArchive(handle);
    }
    return run;
}

std::vector<std::string> TreeOf(const std::string& folder) {
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
    const auto tree = TreeOf(folder);
    return std::any_of(tree.begin(), tree.end(), [](auto& p) { return p.find(".brisko-") != p.npos; });
}

std::string CrcHex(const std::string& bytes) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", Crc(bytes));
    return hex;
}

namespace {

// The RAR inventory: "SET name", its password and first volume, and "expected members" lines of
// kind, size (or -), path and " -> target".
void loadRar(std::vector<SampleSet>& sets) {
    std::ifstream in(kRarSamples + "/MANIFEST.txt");
    std::string line, folder;
    bool inMembers = false;
    while (std::getline(in, line)) {
        const std::string value = line.size() > 14 ? line.substr(14) : "";
        if (line.rfind("SET ", 0) == 0) {
            folder = line.substr(4);
            sets.push_back({false, folder, "", "", {}});
            inMembers = false;
        } else if (folder.empty()) {
        } else if (line.rfind("  password  : ", 0) == 0) {
            sets.back().password = value == "(none)" ? "" : value;
        } else if (line.rfind("  files     : ", 0) == 0) {
            sets.back().archive = kRarSamples + "/" + folder + "/" + value.substr(0, value.find(" ("));
        } else if (line.rfind("  expected members", 0) == 0) {
            inMembers = true;
        } else if (inMembers && line.rfind("      ", 0) == 0) {
            std::istringstream fields(line);
            Member member;
            std::string size, rest;
            fields >> member.kind >> size;
            member.size = size == "-" ? -1 : std::stoll(size);
            std::getline(fields >> std::ws, rest);
            const auto arrow = rest.find(" -> ");
            member.path = rest.substr(0, arrow);
            member.target = arrow == rest.npos ? "" : rest.substr(arrow + 4);
            sets.back().members.push_back(member);
        } else {
            inMembers = false;
        }
    }
}

// The ACE inventory: tab-separated archive, kind, size, crc32, md5, name; "malformed" archives have
// no members.
void loadAce(std::vector<SampleSet>& sets) {
    std::ifstream in(kAceSamples + "/expected-members.tsv");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        for (std::string field; std::getline(ss, field, '\t');) {
            f.push_back(field);
        }
        f.resize(6);
        if (sets.empty() || !sets.back().ace || sets.back().name != f[0]) {
            const std::string password = f[0].find("passwd2") != f[0].npos  ? "1234"
                                         : f[0].find("passwd") != f[0].npos ? "pass"
                                                                            : "";
            sets.push_back({true, f[0], kAceSamples + "/" + f[0], password, {}});
        }
        if (f[1] == "file" || f[1] == "dir") {
            sets.back().members.push_back({f[1], f[1] == "dir" ? -1 : std::stoll(f[2]), f[5], "", f[3]});
        }
    }
}

} // namespace

std::vector<SampleSet> LoadSampleSets() {
    std::vector<SampleSet> sets;
    loadRar(sets);
    loadAce(sets);
    return sets;
}

ArchiveRun RunSet(const SampleSet& set, const std::string& destination, const std::string& archive,
                  const std::vector<std::string>& passwords) {
    const std::string& path = archive.empty() ? set.archive : archive;
    return set.ace ? RunAce(path, destination, passwords) : RunRar(path, destination, passwords);
}

} // namespace brisko::test
