// Seeded folders whose archives hold entries named like the other archives and volumes of the same
// pass, or like themselves, run through the batch run with the real engines in every destination
// mode with deletion on. Whatever the order and the duplicate policy, every archive file of the pass
// stays whole: in its folder as it was, or in the trash as it was, never in both and never lost; every
// trashed file has its description; an archive goes to the trash only when it was extracted, and
// an archive whose entries name no file of the pass is extracted.
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <set>
#include <sys/stat.h>

#include "batch/BatchRun.h"
#include "hostile/HostileArchives.h"
#include "hostile/QuietHosts.h"
#include "support/RarFixtures.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace brisko::test::hostile {
namespace {

constexpr std::uint32_t kFolders = 60;

struct PassFile {
    std::string content;
    ino_t inode = 0;
};

struct Archive {
    Format format = Format::Zip;
    std::vector<std::string> volumes; // full paths, the first one is what the run dispatches
    std::vector<std::string> entries; // names
};

std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// What the trash holds: original path -> the file in files/. A file without its description, or a
// description without its file, is a problem.
std::map<std::string, std::string> TrashContents(const std::string& trash, std::vector<std::string>& problems) {
    std::map<std::string, std::string> byOrigin;
    std::error_code error;
    for (const auto& info : fs::directory_iterator(trash + "/info", error)) {
        const std::string text = ReadFile(info.path());
        const std::size_t at = text.find("\nPath=");
        const std::string name = info.path().stem().string();
        if (at == std::string::npos || !fs::exists(fs::symlink_status(trash + "/files/" + name))) {
            problems.push_back("a description without its file: " + name);
            continue;
        }
        byOrigin[PercentDecoded(text.substr(at + 6, text.find('\n', at + 6) - at - 6))] = trash + "/files/" + name;
    }
    for (const auto& file : fs::directory_iterator(trash + "/files", error)) {
        if (!fs::exists(trash + "/info/" + file.path().filename().string() + ".trashinfo")) {
            problems.push_back("a trashed file without its description: " + file.path().string());
        }
    }
    return byOrigin;
}

// Plans a folder: 2 to 5 archives of any format (RAR ones as sets of 1 to 3 volumes, named either
// way), whose entries are ordinary names or names of the pass's files.
std::vector<Archive> Plan(std::mt19937& random, const std::string& in) {
    const Format formats[] = {Format::Zip, Format::Rar4, Format::Rar5, Format::Ace};
    std::vector<Archive> archives(2 + random() % 4);
    std::vector<std::string> passNames;
    for (std::size_t i = 0; i < archives.size(); ++i) {
        Archive& a = archives[i];
        a.format = formats[random() % 4];
        const std::string base = in + "/" + static_cast<char>('a' + i);
        const bool rar = a.format == Format::Rar4 || a.format == Format::Rar5;
        const int volumes = rar ? 1 + static_cast<int>(random() % 3) : 1;
        const bool oldNaming = volumes > 1 && random() % 2 == 0;
        for (int v = 0; v < volumes; ++v) {
            if (volumes == 1) {
                a.volumes.push_back(base + Extension(a.format));
            } else if (oldNaming) {
                a.volumes.push_back(v == 0 ? base + ".rar" : base + ".r0" + std::to_string(v - 1));
            } else {
                a.volumes.push_back(base + ".part" + std::to_string(v + 1) + ".rar");
            }
            passNames.push_back(fs::path(a.volumes.back()).filename().string());
        }
    }
    for (Archive& a : archives) {
        const std::size_t entries = 1 + random() % 3;
        for (std::size_t e = 0; e < entries; ++e) {
            a.entries.push_back(random() % 2 == 0 ? passNames[random() % passNames.size()]
                                                  : "f" + std::to_string(random() % 3) + ".txt");
        }
    }
    return archives;
}

void Write(const Archive& a, std::mt19937& random) {
    if (a.format == Format::Rar4 || a.format == Format::Rar5) {
        std::vector<RarItem> items;
        for (const std::string& name : a.entries) {
            items.push_back({name, "from " + a.volumes[0] + " " + std::to_string(random() % 1000)});
        }
        const std::string& first = a.volumes[0];
        const bool partNames = first.ends_with(".part1.rar");
        const std::string base = first.substr(0, first.size() - (partNames ? 10 : 4));
        const auto written = WriteRar(base, items, a.format == Format::Rar5 ? RarFormat::Rar5 : RarFormat::Rar4,
                                      static_cast<int>(a.volumes.size()), !partNames);
        ASSERT_EQ(written, a.volumes);
        return;
    }
    std::vector<HostileEntry> entries;
    for (const std::string& name : a.entries) {
        entries.push_back({HostileEntry::Kind::File, name, "from " + a.volumes[0]});
    }
    WriteHostileArchive(a.format, a.volumes[0], entries);
}

TEST(PassPropertyTest, NoArchiveFileOfAPassIsReplacedLostOrTrashedUnextracted) {
    for (std::uint32_t seed = 1; seed <= kFolders; ++seed) {
        std::mt19937 random(seed);
        TempDir root;
        const std::string in = root / "in", trash = root / "Trash";
        fs::create_directories(in);
        const std::vector<Archive> archives = Plan(random, in);
        for (const Archive& a : archives) {
            Write(a, random);
        }
        std::map<std::string, PassFile> before;
        std::set<std::string> passNames;
        for (const Archive& a : archives) {
            for (const std::string& volume : a.volumes) {
                struct stat st {};
                stat(volume.c_str(), &st);
                before[volume] = {ReadFile(volume), st.st_ino};
                passNames.insert(fs::path(volume).filename().string());
            }
        }
        records::Settings settings;
        const int mode = static_cast<int>(seed % 3);
        settings.SingleSub = mode == 0;
        settings.SeparateSubs = mode == 1;
        settings.SameFolder = mode == 2;
        settings.SubFolderName = "Briskoed";
        settings.Overwrite = random() % 4 != 0; // mostly "replace", sometimes "never"
        settings.DeleteOriginals = 1;
        settings.ZipsInZips = random() % 2;
        settings.Recurse = random() % 2;

        QuietHosts hosts;
        records::ProcessState state;
        state.settings = settings;
        WatchingDisplay display;
        const engines::EngineAdapters adapters = hosts.adapters();
        batch::BatchRun run(state, display, hosts.dialogs, adapters, platform::TrashPlaces{trash});
        run.RunBatch(in);

        std::vector<std::string> problems;
        const std::map<std::string, std::string> trashed = TrashContents(trash, problems);
        for (const auto& [path, file] : before) {
            struct stat st {};
            const bool inFolder = lstat(path.c_str(), &st) == 0 && st.st_ino == file.inode;
            const auto inTrash = trashed.find(path);
            if (inFolder && ReadFile(path) != file.content) {
                problems.push_back("changed in place: " + path);
            }
            if (inTrash != trashed.end() && ReadFile(inTrash->second) != file.content) {
                problems.push_back("trashed changed: " + path);
            }
            if (inFolder && inTrash != trashed.end()) {
                problems.push_back("both in the folder and in the trash: " + path);
            }
            if (!inFolder && inTrash == trashed.end()) {
                problems.push_back("lost: " + path);
            }
        }
        for (const Archive& a : archives) {
            const bool failed = display.listed(a.volumes[0]);
            for (const std::string& volume : a.volumes) {
                if (failed && trashed.count(volume) != 0) {
                    problems.push_back("failed but trashed: " + volume);
                }
            }
            const bool namesNoPassFile = std::none_of(a.entries.begin(), a.entries.end(),
                                                      [&](const std::string& e) { return passNames.count(e); });
            if (failed && (namesNoPassFile || mode != 2)) {
                problems.push_back("not extracted although nothing of the pass was in its way: " + a.volumes[0]);
            }
        }
        if (!problems.empty()) {
            std::string plan;
            for (const Archive& a : archives) {
                plan += "\n  " + a.volumes[0] + " (" + std::to_string(a.volumes.size()) + " volumes):";
                for (const std::string& e : a.entries) {
                    plan += " " + e;
                }
            }
            ADD_FAILURE() << "seed " << seed << ", mode " << mode << ", overwrite " << settings.Overwrite
                          << ", nested " << settings.ZipsInZips << ", recurse " << settings.Recurse << plan;
            for (const std::string& problem : problems) {
                ADD_FAILURE() << problem;
            }
        }
    }
}

} // namespace
} // namespace brisko::test::hostile
