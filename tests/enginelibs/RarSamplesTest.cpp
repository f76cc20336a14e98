// The engine against archives made by real RAR versions (and a few made by an independent writer),
// judged by the inventory that lists what each must contain.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

#include "enginelibs/RarTestSupport.h"
#include "support/TempDir.h"

namespace brisko::test {
namespace {

namespace fs = std::filesystem;

const std::string kSamples = BRISKO_RAR_TESTDATA;

struct Member {
    std::string kind; // file, dir, symlink, hardlink
    long long size = -1;
    std::string path;
    std::string target;
};

struct SampleSet {
    std::string name;
    std::string password;
    std::string firstVolume;
    std::vector<Member> members;
};

std::vector<SampleSet> ReadManifest() {
    std::vector<SampleSet> sets;
    std::ifstream in(kSamples + "/MANIFEST.txt");
    std::string line;
    bool inMembers = false;
    while (std::getline(in, line)) {
        if (line.rfind("SET ", 0) == 0) {
            sets.push_back({line.substr(4), "", "", {}});
            inMembers = false;
        } else if (sets.empty()) {
            continue;
        } else if (line.rfind("  password  : ", 0) == 0) {
            const std::string value = line.substr(14);
            sets.back().password = value == "(none)" ? "" : value;
        } else if (line.rfind("  files     : ", 0) == 0) {
            const std::string value = line.substr(14);
            sets.back().firstVolume = value.substr(0, value.find(" ("));
        } else if (line.rfind("  expected members", 0) == 0) {
            inMembers = true;
        } else if (inMembers && line.rfind("      ", 0) == 0) {
            std::istringstream fields(line);
            Member member;
            std::string size;
            fields >> member.kind >> size;
            member.size = size == "-" ? -1 : std::stoll(size);
            std::string rest;
            std::getline(fields, rest);
            rest = rest.substr(rest.find_first_not_of(' '));
            const auto arrow = rest.find(" -> ");
            member.path = rest.substr(0, arrow);
            if (arrow != std::string::npos) {
                member.target = rest.substr(arrow + 4);
            }
            sets.back().members.push_back(member);
        } else {
            inMembers = false;
        }
    }
    return sets;
}

// What the engine cannot give, by set and member, with the code it must give instead. Members not
// listed must come out whole. "*" stands for every file member of the set.
struct Limit {
    std::string set;
    std::string member;
    int code;
};

const std::vector<Limit> kLimits = {
    // d.txt has another password than the set's.
    {"rar5-enc-data-mixed", "d.txt", ERAR_BAD_DATA},
    {"rar4-enc-data-mixed", "d.txt", ERAR_BAD_DATA},
    // Junctions lead to absolute Windows paths: refused.
    {"rar5-symlink-win", "links/dir_junction", ERAR_ECREATE},
    // Links that lead out of the destination are refused.
    {"rar4-symlink-unix", "random_link", ERAR_ECREATE},
    {"rar5-symlink-unix", "random_link", ERAR_ECREATE},
    {"rar5-symlink-win", "links/bad_link", ERAR_ECREATE},
    {"rar5-evil-symlink", "up", ERAR_ECREATE},
    {"_synthetic/g4-evil", "../evil-dotdot.txt", ERAR_ECREATE},
    {"_synthetic/g4-evil", "/tmp/evil-abs.txt", ERAR_ECREATE},
    {"_synthetic/g4-evil", "lnk", ERAR_ECREATE},
    {"_synthetic/g5-evil", "../evil-dotdot.txt", ERAR_ECREATE},
    {"_synthetic/g5-evil", "/tmp/evil-abs.txt", ERAR_ECREATE},
    {"_synthetic/g5-evil", "lnk", ERAR_ECREATE},
};

const Limit* LimitFor(const std::string& set, const std::string& member) {
    for (const Limit& limit : kLimits) {
        if (limit.set == set && (limit.member == member || limit.member == "*")) {
            return &limit;
        }
    }
    return nullptr;
}

class RarSamples : public ::testing::TestWithParam<std::string> {};

TEST_P(RarSamples, GivesWhatTheInventoryExpects) {
    if (!fs::exists(kSamples + "/MANIFEST.txt")) {
        GTEST_SKIP() << "RAR sample archives not found in " << kSamples;
    }
    SampleSet sample;
    for (const SampleSet& candidate : ReadManifest()) {
        if (candidate.name == GetParam()) {
            sample = candidate;
        }
    }
    ASSERT_FALSE(sample.firstVolume.empty()) << "set missing from the inventory";
    TempDir out;
    const RarRun run =
        RunRar(kSamples + "/" + sample.name + "/" + sample.firstVolume, out.path(), sample.password);
    ASSERT_EQ(run.openResult, 0);
    EXPECT_EQ(run.endCode, ERAR_END_ARCHIVE);
    EXPECT_FALSE(HasLeftovers(out.path()));
    for (const Member& member : sample.members) {
        SCOPED_TRACE(member.path);
        const Limit* limit = LimitFor(sample.name, member.path);
        const auto result = run.results.find(member.path);
        if (limit != nullptr && !(limit->member == "*" && member.kind == "dir")) {
            ASSERT_NE(result, run.results.end());
            EXPECT_EQ(result->second, limit->code);
            const bool inside = member.path.front() != '/' && member.path.find("..") == std::string::npos;
            if (member.kind != "dir" && limit->code != 0 && inside) {
                // A refused link may leave a plain folder of its name, made for a later entry.
                struct stat info {};
                const bool exists = ::lstat((out.path() + "/" + member.path).c_str(), &info) == 0;
                EXPECT_TRUE(!exists || (member.kind == "symlink" && S_ISDIR(info.st_mode)))
                    << "written anyway";
            }
            continue;
        }
        ASSERT_NE(result, run.results.end()) << "not listed";
        EXPECT_EQ(result->second, 0);
        const std::string path = out.path() + "/" + member.path;
        struct stat info {};
        ASSERT_EQ(::lstat(path.c_str(), &info), 0) << "not written";
        if (member.kind == "file" || member.kind == "hardlink") {
            EXPECT_TRUE(S_ISREG(info.st_mode));
            EXPECT_EQ(info.st_size, member.size);
        } else if (member.kind == "dir") {
            EXPECT_TRUE(S_ISDIR(info.st_mode));
        } else if (member.kind == "symlink") {
            ASSERT_TRUE(S_ISLNK(info.st_mode));
            EXPECT_EQ(fs::read_symlink(path).generic_string(), member.target);
        }
    }
}

// Every file a damaged copy of a set still gives must be exactly what the intact set gives: the
// checksum decides, whatever the decoders make of the damage. Copies cut in half, and with a byte
// flipped a third and two thirds into the first volume; sets over 8 MB are left to the sample test.
TEST_P(RarSamples, DamagedCopiesNeverGiveAWrongFile) {
    if (!fs::exists(kSamples + "/MANIFEST.txt")) {
        GTEST_SKIP() << "RAR sample archives not found in " << kSamples;
    }
    SampleSet sample;
    for (const SampleSet& candidate : ReadManifest()) {
        if (candidate.name == GetParam()) {
            sample = candidate;
        }
    }
    const fs::path folder = kSamples + "/" + sample.name;
    std::uintmax_t total = 0;
    for (const auto& file : fs::directory_iterator(folder)) {
        total += file.file_size();
    }
    if (sample.firstVolume.empty() || total > (8u << 20)) {
        GTEST_SKIP() << "not damaged here";
    }
    TempDir intact;
    RunRar((folder / sample.firstVolume).string(), intact.path(), sample.password);
    const struct {
        const char* how;
        void (*damage)(std::string& bytes);
    } damages[] = {
        {"cut in half", [](std::string& bytes) { bytes.resize(bytes.size() / 2); }},
        {"a byte flipped", [](std::string& bytes) { bytes[bytes.size() / 3] = static_cast<char>(~bytes[bytes.size() / 3]); }},
        {"another byte flipped",
         [](std::string& bytes) { bytes[bytes.size() * 2 / 3] = static_cast<char>(~bytes[bytes.size() * 2 / 3]); }},
    };
    for (const auto& d : damages) {
        SCOPED_TRACE(d.how);
        TempDir copy, out;
        for (const auto& file : fs::directory_iterator(folder)) {
            std::string bytes = ReadFile(file.path().string());
            if (file.path().filename() == sample.firstVolume && !bytes.empty()) {
                d.damage(bytes);
            }
            WriteFile(copy / file.path().filename().string(), bytes);
        }
        RunRar(copy / sample.firstVolume, out.path(), sample.password);
        EXPECT_FALSE(HasLeftovers(out.path()));
        for (const auto& item : fs::recursive_directory_iterator(out.path())) {
            if (item.is_regular_file() && !item.is_symlink()) {
                const std::string relative = item.path().lexically_relative(out.path()).string();
                EXPECT_EQ(ReadFile(item.path().string()), ReadFile(intact / relative)) << relative;
            }
        }
    }
}

std::vector<std::string> SetNames() {
    std::vector<std::string> names;
    for (const SampleSet& set : ReadManifest()) {
        names.push_back(set.name);
    }
    if (names.empty()) {
        names.push_back("(none)");
    }
    return names;
}

std::string TestName(const ::testing::TestParamInfo<std::string>& info) {
    std::string name;
    for (const char c : info.param) {
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Inventory, RarSamples, ::testing::ValuesIn(SetNames()), TestName);

} // namespace
} // namespace brisko::test
