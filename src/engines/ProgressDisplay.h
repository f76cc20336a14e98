#pragma once

#include <string>

namespace brisko::engines {

// What the engine adapters may do with the progress window while they work. The window implements
// it; tests record it.
class ProgressDisplay {
public:
    virtual ~ProgressDisplay() = default;

    // The archive line (lblCurrentZipfile) and the status line (lblStatus). UTF-8 text.
    virtual void setCurrentZipfile(const std::string& text) = 0;
    virtual void setStatus(const std::string& text) = 0;

    // Repaints both lines at once, for callers that will not let events run for a while.
    virtual void refresh() {}

    // Redraws the progress bar: currAmt of maxAmt, as "n of m" or, with showPercent, as "n%".
    // Amounts out of range are clamped; a maxAmt of 0 draws an empty bar.
    virtual void ProgBar(long currAmt, long maxAmt, bool showPercent) = 0;

    // Lets the window system handle pending events (repaints, Cancel clicks, close requests). A
    // click on Cancel or the close box sets CancelRequested while this runs.
    virtual void processEvents() = 0;
};

} // namespace brisko::engines
