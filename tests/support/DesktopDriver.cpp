#include "support/DesktopDriver.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/Process.h"

namespace brisko::test {

namespace {

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (!folder.empty() && access((folder + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

// Runs a program found on PATH with `environment` added, its standard output captured; it is
// killed after `seconds` (a tool that hangs on a busy display must not hang the test).
ProcessResult Capture(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                      double seconds) {
    ProcessOptions options;
    options.captureOutput = true;
    options.searchPath = true;
    return RunProcess(argv, environment, seconds, {}, options);
}

// xdotool's --name takes a regular expression; a title is matched whole and literally.
std::string ExactTitlePattern(const std::string& title) {
    std::string pattern = "^";
    for (const char c : title) {
        if (std::string_view(".[]{}()\\*+?^$|").find(c) != std::string_view::npos) {
            pattern += '\\';
        }
        pattern += c;
    }
    return pattern + "$";
}

} // namespace

// ---- BackgroundProgram ----------------------------------------------------------------------------

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& argv,
                                     const std::vector<std::string>& environment)
    : m_pid(StartProcess(argv, environment)) {}

BackgroundProgram::~BackgroundProgram() {
    if (running()) {
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
}

void BackgroundProgram::reap(int status) {
    m_ended = true;
    m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool BackgroundProgram::running() {
    if (m_pid <= 0 || m_ended) {
        return false;
    }
    int status = 0;
    const pid_t done = waitpid(m_pid, &status, WNOHANG);
    if (done == m_pid) {
        reap(status);
        return false;
    }
    return done == 0;
}

bool BackgroundProgram::waitForExit(double seconds) {
    if (WaitUntil([this] { return !running(); }, seconds)) {
        return true;
    }
    if (running()) {
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
        reap(status);
    }
    return false;
}

// ---- DesktopDriver --------------------------------------------------------------------------------

std::string DesktopDriver::MissingTools() {
    std::string missing;
    for (const char* tool : {"Xvfb", "xdotool", "import"}) {
        if (!OnPath(tool)) {
            missing += missing.empty() ? tool : std::string(", ") + tool;
        }
    }
    return missing;
}

std::optional<std::string> DesktopDriver::xdotool(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{"xdotool"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const ProcessResult run = Capture(argv, {"DISPLAY=" + m_display}, 20);
    if (run.exitStatus != 0) {
        return std::nullopt;
    }
    return run.output;
}

std::vector<unsigned long> DesktopDriver::windows(const std::string& title) const {
    std::vector<unsigned long> found;
    // xdotool answers 1 when nothing matches.
    const auto output = xdotool({"search", "--onlyvisible", "--name", ExactTitlePattern(title)});
    if (!output) {
        return found;
    }
    std::stringstream lines(*output);
    unsigned long id = 0;
    while (lines >> id) {
        found.push_back(id);
    }
    return found;
}

bool DesktopDriver::focus(unsigned long window) const {
    // While it waits for the focus, xdotool inspects other windows too; one that the program destroys
    // at that moment makes it fail with BadWindow (seen rarely, early in a run). Trying again settles it.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (xdotool({"windowfocus", "--sync", std::to_string(window)})) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

bool DesktopDriver::keys(unsigned long window, const std::vector<std::string>& combinations) const {
    if (!focus(window)) {
        return false;
    }
    std::vector<std::string> arguments{"key", "--delay", "60"};
    arguments.insert(arguments.end(), combinations.begin(), combinations.end());
    return xdotool(arguments).has_value();
}

bool DesktopDriver::type(unsigned long window, const std::string& text) const {
    return focus(window) && xdotool({"type", "--delay", "40", text}).has_value();
}

bool DesktopDriver::click(unsigned long window, int x, int y) const {
    return focus(window) && xdotool({"mousemove", "--window", std::to_string(window), "--sync",
                                     std::to_string(x), std::to_string(y), "click", "1"})
                                .has_value();
}

bool DesktopDriver::parkPointer() const {
    Display* display = XOpenDisplay(m_display.c_str());
    if (!display) {
        return false;
    }
    XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, 0, 0);
    XSync(display, False);
    XCloseDisplay(display);
    return true;
}

std::optional<WindowGeometry> DesktopDriver::geometry(unsigned long window) const {
    const auto output = xdotool({"getwindowgeometry", "--shell", std::to_string(window)});
    if (!output) {
        return std::nullopt;
    }
    WindowGeometry geometry;
    std::stringstream lines(*output);
    std::string line;
    int seen = 0;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string name = line.substr(0, equals);
        const int value = std::atoi(line.c_str() + equals + 1);
        for (const auto& [key, field] :
             {std::pair{"X", &WindowGeometry::x}, std::pair{"Y", &WindowGeometry::y},
              std::pair{"WIDTH", &WindowGeometry::width}, std::pair{"HEIGHT", &WindowGeometry::height}}) {
            if (name == key) {
                geometry.*field = value;
                ++seen;
            }
        }
    }
    return seen == 4 ? std::optional(geometry) : std::nullopt;
}

bool DesktopDriver::screenshot(const std::string& path) const {
    return Capture({"import", "-display", m_display, "-window", "root", path}, {"DISPLAY=" + m_display}, 30)
               .exitStatus == 0;
}

std::optional<std::string> DesktopDriver::clipboardText(double seconds) const {
    Display* display = XOpenDisplay(m_display.c_str());
    if (!display) {
        return std::nullopt;
    }
    // The owner answers by writing the text into a property of a window of ours and telling us so.
    const Window requestor = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    const Atom property = XInternAtom(display, "BRISKO_TEST_CLIPBOARD", False);
    XConvertSelection(display, clipboard, utf8, property, requestor, CurrentTime);
    XFlush(display);

    std::optional<std::string> text;
    bool answered = false;
    WaitUntil(
        [&] {
            while (!answered && XPending(display) > 0) {
                XEvent event{};
                XNextEvent(display, &event);
                if (event.type != SelectionNotify || event.xselection.requestor != requestor) {
                    continue;
                }
                answered = true;
                if (event.xselection.property == None) {
                    break; // no owner, or it cannot give text
                }
                Atom type = None;
                int format = 0;
                unsigned long count = 0, remaining = 0;
                unsigned char* data = nullptr;
                if (XGetWindowProperty(display, requestor, property, 0, LONG_MAX / 4, True, AnyPropertyType,
                                       &type, &format, &count, &remaining, &data) == Success &&
                    data != nullptr) {
                    text = std::string(reinterpret_cast<const char*>(data), count * (format / 8));
                }
                if (data) {
                    XFree(data);
                }
            }
            return answered;
        },
        seconds);
    XDestroyWindow(display, requestor);
    XCloseDisplay(display);
    return text;
}

bool WaitUntil(const std::function<bool()>& done, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// ---- DesktopSession -------------------------------------------------------------------------------

namespace {

constexpr int kStartAttempts = 3;

} // namespace

void DesktopSession::KeeperClose::operator()(_XDisplay* connection) const {
    XCloseDisplay(connection);
}

DesktopSession::Start DesktopSession::start(const std::vector<std::string>& argv,
                                            const std::vector<std::string>& environment,
                                            const std::string& firstWindow, double seconds) {
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        m_program.reset();
        m_driver.reset();
        m_keeper.reset();
        // The display that refused the program is kept until the next one runs, so that the next
        // one gets another number.
        std::unique_ptr<VirtualDisplay> refused = std::move(m_display);
        m_display = std::make_unique<VirtualDisplay>();
        refused.reset();
        if (m_display->name().empty()) {
            return Start::NoDisplay;
        }
        // The display's own check has just left it, so it may be resetting: the keeper tries a while.
        WaitUntil(
            [&] {
                m_keeper.reset(XOpenDisplay(m_display->name().c_str()));
                return m_keeper != nullptr;
            },
            10);
        m_driver = std::make_unique<DesktopDriver>(m_display->name());
        // A pointer in the middle of the screen would raise tool tips over what the screenshots show.
        m_driver->parkPointer();
        std::vector<std::string> env = environment;
        env.insert(env.end(), {"DISPLAY=" + m_display->name(), "QT_QPA_PLATFORM=xcb"});
        m_program = std::make_unique<BackgroundProgram>(argv, env);

        // The window is looked for through Xlib rather than xdotool: a short run may show it only
        // for a moment.
        bool shown = false;
        WaitUntil(
            [&] {
                shown = m_display->hasWindow(firstWindow);
                return shown || !m_program->running();
            },
            seconds);
        if (shown) {
            return Start::WindowShown;
        }
        if (!m_program->running() && m_program->exitStatus() >= 0 && m_program->exitStatus() != 127) {
            // Qt aborts when it cannot reach the display; a normal end means the program ran.
            return Start::EndedWithoutWindow;
        }
    }
    return Start::NeverShown;
}

} // namespace brisko::test
