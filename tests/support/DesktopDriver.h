#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/VirtualDisplay.h"

struct _XDisplay; // Xlib's Display

// The real program on a display of its own, driven through xdotool as a user at the keyboard and
// mouse would drive it. There is no window manager on the display: a window gets the keyboard only
// when it is given the focus explicitly, and it sits where the program put it.
namespace brisko::test {

// A program running in the background while the test drives its windows. Standard input is
// /dev/null; the program is killed when the object goes and it is still running.
class BackgroundProgram {
public:
    // `environment` ("NAME=value") is added to this process's environment.
    BackgroundProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment);
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    bool started() const { return m_pid > 0; }
    bool running();
    // Waits for the end; false (and the program killed) when it did not end in time.
    bool waitForExit(double seconds);
    // The exit status once it ended normally; -1 while it runs, after a signal or when never started.
    int exitStatus() const { return m_exitStatus; }

private:
    void reap(int status);

    pid_t m_pid = -1;
    bool m_ended = false;
    int m_exitStatus = -1;
};

struct WindowGeometry {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// xdotool and ImageMagick's import on one display.
class DesktopDriver {
public:
    explicit DesktopDriver(std::string display) : m_display(std::move(display)) {}

    // What is missing for driving a display ("xdotool", "Xvfb"), empty when everything is there.
    static std::string MissingTools();

    // The visible top-level windows whose title is exactly `title`.
    std::vector<unsigned long> windows(const std::string& title) const;

    // Gives the window the keyboard focus and waits until the server has done it.
    bool focus(unsigned long window) const;
    // Focuses the window, then presses each key combination in turn ("y", "shift+y", "Return").
    bool keys(unsigned long window, const std::vector<std::string>& combinations) const;
    // Focuses the window, then types the text character by character.
    bool type(unsigned long window, const std::string& text) const;
    // Clicks the left button at a point given relative to the window's top-left corner.
    bool click(unsigned long window, int x, int y) const;
    // Parks the pointer in the screen's corner, where it raises no tool tip.
    bool parkPointer() const;
    std::optional<WindowGeometry> geometry(unsigned long window) const;

    // The whole screen as an image file (the format follows the extension). False when it failed.
    bool screenshot(const std::string& path) const;

    // The text of the CLIPBOARD selection as its owner gives it (UTF-8), or nothing when no one owns
    // it or no answer came within `seconds`.
    std::optional<std::string> clipboardText(double seconds = 5) const;

private:
    // Runs xdotool with DISPLAY set; its standard output, or nothing when it failed.
    std::optional<std::string> xdotool(const std::vector<std::string>& arguments) const;

    std::string m_display;
};

// Waits, checking `done` about every 10 ms, until it returns true or the time is up; gives the last
// answer of `done`.
bool WaitUntil(const std::function<bool()>& done, double seconds);

// The real program started on a fresh display, with `firstWindow` awaited. Should the program still
// be refused its X connection, that start says nothing about the program and is tried again on a new
// display (a few times); the caller's files are not touched by such a start, as the program ends
// before it reads anything.
class DesktopSession {
public:
    enum class Start {
        WindowShown,        // firstWindow appeared; the program may still run
        EndedWithoutWindow, // the program ended normally and the window was never seen
        NoDisplay,          // no X server could be started: the caller skips
        NeverShown,         // the window did not appear in time on any display
    };

    // `environment` gets DISPLAY and QT_QPA_PLATFORM=xcb added.
    Start start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                const std::string& firstWindow, double seconds = 45);

    DesktopDriver& driver() { return *m_driver; }
    BackgroundProgram& program() { return *m_program; }
    VirtualDisplay& display() { return *m_display; }

private:
    struct KeeperClose {
        void operator()(_XDisplay* connection) const;
    };

    std::unique_ptr<VirtualDisplay> m_display;
    // A connection held for the session's life. An X server whose last client leaves resets itself,
    // refusing connections meanwhile and putting the pointer back in the middle; with this one open,
    // neither the checks nor a program that ends trigger that. Closed before its server goes.
    std::unique_ptr<_XDisplay, KeeperClose> m_keeper;
    std::unique_ptr<DesktopDriver> m_driver;
    std::unique_ptr<BackgroundProgram> m_program; // declared last: ends before its display
};

} // namespace brisko::test
