#pragma once

#include <string>

#include "engines/ProgressDisplay.h"

namespace brisko::batch {

// The progress window as the batch run drives it: what the engines may do, plus the run's own
// display operations.
class BatchDisplay : public engines::ProgressDisplay {
public:
    // The destination line (lblToDir), already quoted by the caller.
    virtual void setToDir(const std::string& text) = 0;

    // Makes exactly the icon of the kind ("ZIP", "RAR" or "ACE") visible.
    virtual void showKindIcon(const std::string& kind) = 0;

    // Shows the window (not modal); showing it again changes nothing.
    virtual void showWindow() = 0;

    // Shows "Files not extracted:" and the error list, appends the path as one line, followed by
    // the reason in parentheses when there is one, and grows the window to make room for the list.
    virtual void addFailedArchive(const std::string& path, const std::string& reason = {}) = 0;

    // Appends a handled archive to the hidden done list (lstDone).
    virtual void appendDone(const std::string& path) = 0;

    // An archive is about to go to its engine, and one came out whole: for displays that report
    // every outcome (the window lists only failures).
    virtual void beginArchive(const std::string& path) { (void)path; }
    virtual void archiveExtracted(const std::string& path) { (void)path; }
};

} // namespace brisko::batch
