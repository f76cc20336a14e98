#pragma once

#include <string>
#include <sys/types.h>

namespace brisko::test {

// An X server of our own (Xvfb) for tests that run the real program in real windows.
class VirtualDisplay {
public:
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // Empty when no X server could be started (Xvfb missing): the caller skips.
    const std::string& name() const { return m_name; }

    // Asks the top-level window with this title to close, as its close box would
    // (WM_DELETE_WINDOW). False when there is no such window.
    bool requestClose(const std::string& title) const;

    // True when a top-level window with this title is mapped.
    bool hasWindow(const std::string& title) const;

private:
    std::string m_name;
    pid_t m_server = -1;
};

} // namespace brisko::test
