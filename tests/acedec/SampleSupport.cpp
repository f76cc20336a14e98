#include "SampleSupport.h"

#include "Md5.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace brisko::acedec::test {

std::string sampleDir() {
    const std::string dir = BRISKO_ACE_TESTDATA;
    return std::filesystem::is_directory(dir) ? dir : std::string();
}

std::map<std::string, std::vector<ExpectedMember>> loadExpected() {
    std::map<std::string, std::vector<ExpectedMember>> out;
    std::ifstream in(sampleDir() + "/expected-members.tsv");
    std::string line;
    std::getline(in, line); // column names
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream ss(line);
        std::string field;
        while (std::getline(ss, field, '\t')) {
            fields.push_back(field);
        }
        fields.resize(6);
        if (fields[1] != "file" && fields[1] != "dir") {
            out[fields[0]]; // a malformed sample: listed, no members
            continue;
        }
        ExpectedMember m;
        m.isDirectory = fields[1] == "dir";
        m.size = m.isDirectory ? 0 : std::stoull(fields[2]);
        m.crc = fields[3];
        m.md5 = fields[4];
        m.name = fields[5];
        out[fields[0]].push_back(m);
    }
    return out;
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

WalkResult walkArchive(VolumeProvider& volumes, const std::string& password) {
    WalkResult result;
    Archive archive(volumes);
    result.open = archive.open();
    if (result.open != Status::Ok) {
        return result;
    }
    if (!password.empty()) {
        archive.setPassword(password);
    }
    Status next;
    while ((next = archive.nextEntry()) == Status::Ok) {
        WalkedEntry walked;
        walked.name = archive.entry().rawName;
        std::replace(walked.name.begin(), walked.name.end(), '\\', '/');
        walked.isDirectory = archive.entry().isDirectory;
        std::uint32_t crc = kCrcStart;
        Md5 md5;
        walked.status = archive.extractEntry([&](std::span<const std::uint8_t> bytes) {
            crc = aceCrc32(bytes, crc);
            md5.update(bytes);
            walked.size += bytes.size();
            return true;
        });
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", ~crc);
        walked.crc = hex;
        walked.md5 = md5.hex();
        result.entries.push_back(walked);
    }
    result.end = next;
    return result;
}

std::vector<std::vector<std::uint8_t>> readVolumes(const std::string& firstPath) {
    std::vector<std::vector<std::uint8_t>> volumes{readFile(firstPath)};
    for (unsigned i = 1;; ++i) {
        const std::string name = volumeFileName(firstPath, i, false);
        if (name.empty() || !std::filesystem::exists(name)) {
            break;
        }
        volumes.push_back(readFile(name));
    }
    return volumes;
}

MemoryVolumeProvider memoryVolumes(const std::vector<std::vector<std::uint8_t>>& volumes) {
    std::vector<MemoryVolumeProvider::Volume> list;
    for (const auto& v : volumes) {
        list.push_back({v.data(), v.size()});
    }
    return MemoryVolumeProvider(std::move(list));
}

} // namespace brisko::acedec::test
