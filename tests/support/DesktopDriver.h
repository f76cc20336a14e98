#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct _XDisplay; // Xlib's Display

// The real program on a display of its own, driven through xdotool as a user at the keyboard and
// mouse would drive it. There is no window manager on the display: a window gets the keyboard only
// when it is given the focus explicitly, and it sits where the program put it.
// Faults it exists to catch: none of its own; a start refused by a busy X server is retried so that
// it is never taken for a fault of the program.
namespace brisko::test {

// Waits, checking `done` about every 10 ms, until it returns true or the time is up; gives the last
// answer of `done`.
bool WaitUntil(const std::function<bool()>& done, double seconds);

class DesktopSession {
public:
    enum class Start {
        WindowShown,        // firstWindow appeared; the program may still run
        EndedWithoutWindow, // the program ended normally and the window was never seen
        NoDisplay,          // no X server could be started: the caller skips
        NeverShown,         // the window did not appear in time on any display
    };
    ~DesktopSession();

    // What is missing for driving a display ("xdotool", "Xvfb"), empty when everything is there.
    static std::string MissingTools();

    // Starts the program on a fresh display (`environment` gets DISPLAY and QT_QPA_PLATFORM=xcb) and
    // waits for `firstWindow`. A program refused its X connection says nothing about itself and is
    // started again on a new display, a few times; it ends before it reads anything in such a start.
    Start start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                const std::string& firstWindow, double seconds = 45);
    bool running();
    // Waits for the end; false (and the program killed) when it did not end in time.
    bool waitForExit(double seconds);
    // The exit status once it ended normally; -1 while it runs, after a signal or when never started.
    int exitStatus() const { return m_exitStatus; }

    // The visible top-level windows whose title is exactly `title`.
    std::vector<unsigned long> windows(const std::string& title) const;
    // Asks the window to close, as its close box would (WM_DELETE_WINDOW).
    void requestClose(unsigned long window) const;
    // Focuses the window (waiting until the server has done it), then presses each key combination
    // in turn ("y", "shift+y", "Return").
    bool keys(unsigned long window, const std::vector<std::string>& combinations) const;
    // Focuses the window, then types the text character by character.
    bool type(unsigned long window, const std::string& text) const;
    // Clicks the left button at a point given relative to the window's top-left corner.
    bool click(unsigned long window, int x, int y) const;
    // The window's height, -1 when it could not be told.
    int height(unsigned long window) const;
    // The whole screen as an image file (the format follows the extension).
    bool screenshot(const std::string& path) const;

private:
    bool focus(unsigned long window) const;
    // Runs xdotool on the display; its standard output, or nothing when it failed.
    std::optional<std::string> xdotool(const std::vector<std::string>& arguments) const;

    pid_t m_server = -1;   // our own X server (Xvfb)
    std::string m_display; // its name, ":N"
    // A connection held for the session's life. An X server whose last client leaves resets itself,
    // refusing connections meanwhile and putting the pointer back in the middle; with this one open,
    // neither the checks nor a program that ends trigger that. Closed before its server goes.
    std::unique_ptr<_XDisplay, int (*)(_XDisplay*)> m_keeper{nullptr, nullptr};
    pid_t m_pid = -1; // the program, killed when the session goes and it still runs
    int m_exitStatus = -1;
};

} // namespace brisko::test
