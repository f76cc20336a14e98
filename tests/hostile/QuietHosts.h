#pragma once

#include <algorithm>
#include <functional>
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

namespace brisko::test::hostile {

// The real adapters over the engine libraries of this build, with a display that shows nothing,
// dialogs that decline every password and an overwrite question nobody answers.
struct QuietHosts {
    struct NoDisplay : engines::ProgressDisplay {
        void setCurrentZipfile(const std::string&) override {}
        void setStatus(const std::string&) override {}
        void ProgBar(long, long, bool) override {}
        void processEvents() override {}
    };
    struct NoPrompt : engines::OverwritePrompt {
        std::string OverwriteAnswer(const std::string&) override { return "no"; }
    };
    struct NoStore : engines::ValueStore {
        std::string ReadValue(const std::string&) override { return {}; }
        void WriteValue(const std::string&, const std::string&) override {}
    };

    engines::EngineAdapters adapters() { return {&zip, &rar, &ace}; }

    NoDisplay display;
    NoPrompt prompt;
    NoStore store;
    RecordingDialogs dialogs;
    engines::mdlUnZIP zip{dialogs, prompt, store, UNZIP_LIBRARY};
    engines::mdlUnRAR rar{dialogs, UNRAR_LIBRARY};
    engines::mdlUnACE ace{dialogs, UNACE_LIBRARY};
};

// The batch run's display, reduced to what the batch-level tests look at: the failure list, and a
// hook that runs whenever an engine reports the entry it is on.
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

    bool listed(const std::string& path) const { return std::find(failed.begin(), failed.end(), path) != failed.end(); }

    std::string current;
    std::vector<std::string> failed;
    std::vector<std::string> reasons; // beside `failed`
    std::function<void(const std::string& archive, const std::string& status)> onStatus;
};

} // namespace brisko::test::hostile
