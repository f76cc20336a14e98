#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engines/ProgressDisplay.h"

namespace brisko::test {

// A progress display that records what the engines show; onEvents runs where the window would
// handle its events (a test presses Cancel there).
class RecordingDisplay : public engines::ProgressDisplay {
public:
    void setCurrentZipfile(const std::string& text) override { archiveLines.push_back(text); }
    void setStatus(const std::string& text) override { statuses.push_back(text); }
    void ProgBar(long current, long maximum, bool percent) override {
        bars.push_back(std::to_string(current) + "/" + std::to_string(maximum) + (percent ? "%" : ""));
    }
    void processEvents() override {
        ++eventRounds;
        if (onEvents) {
            onEvents();
        }
    }

    std::vector<std::string> archiveLines, statuses, bars;
    int eventRounds = 0;
    std::function<void()> onEvents;
};

} // namespace brisko::test
