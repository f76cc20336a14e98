#pragma once

#include <csignal>
#include <cstdio>
#include <functional>
#include <string>

#include "batch/BatchDisplay.h"
#include "records/ProcessState.h"

namespace brisko::cli {

// The batch run shown as text: progress on standard error (one line that redraws itself on a
// terminal, a plain line per archive otherwise, nothing when quiet), and each archive's outcome on
// standard output, as a line ("extracted PATH", "failed PATH: REASON") or as one JSON object.
// A signal noted in `stopSignal` (SIGINT, SIGTERM) asks the run to stop: it sets CancelRequested
// whenever the engines let events run.
class TextDisplay : public batch::BatchDisplay {
public:
    TextDisplay(records::ProcessState& state, const volatile std::sig_atomic_t& stopSignal, bool quiet, bool json,
                std::FILE* out = stdout, std::FILE* err = stderr);
    ~TextDisplay() override;

    // engines::ProgressDisplay
    void setCurrentZipfile(const std::string& text) override;
    void setStatus(const std::string& text) override;
    void ProgBar(long currAmt, long maxAmt, bool showPercent) override;
    void processEvents() override;

    // batch::BatchDisplay
    void setToDir(const std::string&) override {}
    void showKindIcon(const std::string&) override {}
    void showWindow() override {}
    void addFailedArchive(const std::string& path, const std::string& reason) override;
    void appendDone(const std::string&) override {}
    void beginArchive(const std::string& path) override;
    void archiveExtracted(const std::string& path) override;

    int failures() const { return m_failures; }

    // Called when an archive is about to be extracted (the password file starts over).
    std::function<void()> onBeginArchive;

private:
    void outcome(const std::string& path, bool extracted, const std::string& reason);
    void drawProgress();
    void clearProgress();

    records::ProcessState& m_state;
    const volatile std::sig_atomic_t& m_stopSignal;
    bool m_quiet;
    bool m_json;
    bool m_terminal;
    std::FILE* m_out;
    std::FILE* m_err;
    std::string m_archive;
    std::string m_status;
    long m_done = 0;
    long m_count = 0;
    bool m_lineShown = false; // an unfinished progress line stands on the terminal
    int m_failures = 0;
};

// A text for JSON strings: quotes, backslashes and control characters escaped; bytes that are not
// UTF-8 written as \u00XX of their value.
std::string JsonString(const std::string& text);

// A path or reason for a line of text: control characters shown as '?', so that no name can start
// a new line or steer a terminal.
std::string PrintableText(const std::string& text);

} // namespace brisko::cli
