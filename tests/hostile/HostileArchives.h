#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "batch/BatchDisplay.h"
#include "engines/EngineAdapters.h"
#include "engines/OverwritePrompt.h"
#include "engines/ProgressDisplay.h"
#include "engines/ValueStore.h"
#include "engines/mdlUnACE.h"
#include "engines/mdlUnRAR.h"
#include "engines/mdlUnZIP.h"
#include "support/RecordingDialogs.h"

// Hostile archives for all three engines: one entry model, a writer for each format, a seeded generator
// that mixes hostile and ordinary entries, the model of what a safe extraction may leave behind, and the
// real adapters to run them through. The model restates the containment rule independently of
// enginelibs/common, so that a weakened check there shows up as a difference.
namespace brisko::test::hostile {

enum class Format { Zip, Rar4, Rar5, Ace };
inline const char* FormatName(Format f) { return std::vector{"ZIP", "RAR4", "RAR5", "ACE"}[static_cast<int>(f)]; }
inline std::string Extension(Format f) { return f == Format::Zip ? ".zip" : f == Format::Ace ? ".ace" : ".rar"; }

struct HostileEntry {
    enum class Kind { File, Folder, Link, WindowsLink, Special, HardLink, Junction, FileCopy };
    Kind kind = Kind::File;
    std::string name; // raw bytes as stored ('/' is turned into '\' for RAR 4 and DOS-origin entries)
    std::string data; // a file's content or a link's target
    std::uint32_t mode = 0100644; // Unix mode with type bits, where the format can carry one
    bool dosOrigin = false;       // made on DOS/Windows: '\' separators, DOS attributes
};

// Writes the entries as one archive; stored data throughout.
void WriteHostileArchive(Format format, const std::string& path, const std::vector<HostileEntry>& entries);
// The entry list in a form that can be pasted back into a test, every byte outside printable ASCII escaped.
std::string Describe(const std::vector<HostileEntry>& entries);

// root/out is the destination; beside it root/outside holds sentinel files and a folder, root/out_evil
// shares the destination's name as a prefix, root/tosentinel and root/tosentinel.txt link to the sentinels.
struct Sandbox {
    explicit Sandbox(const std::string& root);
    std::string root, destination, outside;
};

// A random mix of hostile and ordinary entries. Absolute names point into `sandbox`, so that an engine
// that honoured one is caught by the sentinel check instead of writing somewhere on the machine.
std::vector<HostileEntry> Generate(Format format, std::uint32_t seed, const Sandbox& sandbox);

// What a safe engine must do with an archive.
struct Expectation {
    bool mustFail = false;        // an entry has to be refused: the archive cannot count as extracted
    bool mustSucceed = true;      // nothing hostile or doubtful: it has to be extracted
    std::vector<std::string> why; // the entries that decided mustFail
    // The destination after a success: path -> "file:<content>", "folder", "link:<target>".
    std::map<std::string, std::string> tree;
    std::set<std::string> ignored;             // paths (with what lies below) whose outcome is free
    std::map<std::string, std::string> opaque; // folder -> content of the one file with an odd name in it
};
Expectation Expect(Format format, const std::vector<HostileEntry>& entries);

// Below `root` by relative path, as Expectation::tree describes it; with `deep`, permissions and mtime too.
// Paths below `skip` are left out.
std::map<std::string, std::string> TreeOf(const std::string& root, bool deep = false, const std::string& skip = {});

// What holds whatever the outcome: no temporary file anywhere below `root`, no special file, no set-id
// bit, no owner without read and write, and no link leading out in `destination`. One line per violation.
std::vector<std::string> CheckDestination(const std::string& root, const std::string& destination);

// The real adapters over this build's engine libraries: a display that shows nothing, dialogs that
// decline every password, an overwrite question answered "no".
struct QuietHosts : engines::ProgressDisplay, engines::OverwritePrompt, engines::ValueStore {
    void setCurrentZipfile(const std::string&) override {}
    void setStatus(const std::string&) override {}
    void ProgBar(long, long, bool) override {}
    void processEvents() override {}
    std::string OverwriteAnswer(const std::string&) override { return "no"; }
    std::string ReadValue(const std::string&) override { return {}; }
    void WriteValue(const std::string&, const std::string&) override {}
    engines::EngineAdapters adapters() { return {&zip, &rar, &ace}; }

    RecordingDialogs dialogs;
    engines::mdlUnZIP zip{dialogs, *this, *this, UNZIP_LIBRARY};
    engines::mdlUnRAR rar{dialogs, UNRAR_LIBRARY};
    engines::mdlUnACE ace{dialogs, UNACE_LIBRARY};
};

// The batch run's display reduced to the failure list, and a hook run whenever an engine reports its entry.
struct WatchingDisplay : batch::BatchDisplay {
    void setCurrentZipfile(const std::string& text) override { current = text; }
    void setStatus(const std::string& text) override {
        if (onStatus) {
            onStatus(current, text);
        }
    }
    void ProgBar(long, long, bool) override {}
    void processEvents() override {}
    void setToDir(const std::string&) override {}
    void showKindIcon(const std::string&) override {}
    void showWindow() override {}
    void addFailedArchive(const std::string& path, const std::string& reason) override {
        failed.push_back(path);
        reasons.push_back(reason);
    }
    void appendDone(const std::string&) override {}

    std::string current;
    std::vector<std::string> failed, reasons;
    std::function<void(const std::string& archive, const std::string& status)> onStatus;
};

} // namespace brisko::test::hostile
