#include "support/DesktopDriver.h"

#include <X11/Xlib.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

#include "support/Process.h"

namespace brisko::test {

bool WaitUntil(const std::function<bool()>& done, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

namespace {

// Starts an X server of our own (Xvfb); its pid and name once it accepts clients, the name empty when
// none could be started.
std::pair<pid_t, std::string> StartXvfb() {
    ProcessOptions options;
    options.captureOutput = options.searchPath = true;
    int output = -1;
    // -noreset: without it the server resets when its last client leaves, and a program that connects
    // just then is refused. -displayfd: it writes the display number once it accepts connections.
    const pid_t server = StartProcess(
        {"Xvfb", "-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, {},
        options, &output);
    std::string name = ":";
    pollfd waitFor{output, POLLIN, 0};
    char c = 0;
    while (server > 0 && poll(&waitFor, 1, 10000) > 0 && read(output, &c, 1) == 1 && c != '\n') {
        name += c;
    }
    close(output);
    return {server, name.size() > 1 ? name : ""};
}

void StopXvfb(pid_t server) {
    if (server > 0) {
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
    }
}

} // namespace

DesktopSession::~DesktopSession() {
    waitForExit(0);
    m_keeper.reset(); // before its server goes
    StopXvfb(m_server);
}

std::string DesktopSession::MissingTools() {
    std::string missing;
    for (const std::string tool : {"Xvfb", "xdotool", "import"}) {
        if (RunProcess({"/bin/sh", "-c", "command -v " + tool + " >/dev/null"}, {}, 10).exitStatus != 0) {
            missing += (missing.empty() ? "" : ", ") + tool;
        }
    }
    return missing;
}

DesktopSession::Start DesktopSession::start(const std::vector<std::string>& argv,
                                            const std::vector<std::string>& environment,
                                            const std::string& firstWindow, double seconds) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        waitForExit(0);
        m_keeper.reset();
        // The display that refused the program is kept until the next one runs, so that the next
        // one gets another number.
        const pid_t refused = m_server;
        std::tie(m_server, m_display) = StartXvfb();
        StopXvfb(refused);
        if (m_display.empty()) {
            return Start::NoDisplay;
        }
        WaitUntil(
            [&] {
                m_keeper = {XOpenDisplay(m_display.c_str()), XCloseDisplay};
                return m_keeper != nullptr;
            },
            10);
        if (!m_keeper) {
            continue;
        }
        // A pointer in the middle of the screen would raise tool tips in the screenshots.
        XWarpPointer(m_keeper.get(), None, DefaultRootWindow(m_keeper.get()), 0, 0, 0, 0, 0, 0);
        XSync(m_keeper.get(), False);
        std::vector<std::string> env = environment;
        env.insert(env.end(), {"DISPLAY=" + m_display, "QT_QPA_PLATFORM=xcb"});
        m_pid = StartProcess(argv, env);
        m_exitStatus = -1;
        bool shown = false;
        WaitUntil([&] { return (shown = !windows(firstWindow).empty()) || !running(); }, seconds);
        if (shown) {
            return Start::WindowShown;
        }
        // Qt aborts when it cannot reach the display; a normal end means the program ran.
        if (!running() && m_exitStatus >= 0 && m_exitStatus != 127) {
            return Start::EndedWithoutWindow;
        }
    }
    return Start::NeverShown;
}

bool DesktopSession::running() {
    int status = 0;
    const pid_t done = m_pid > 0 ? waitpid(m_pid, &status, WNOHANG) : -1;
    if (done == 0) {
        return true;
    }
    if (done == m_pid) {
        m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    m_pid = -1;
    return false;
}

bool DesktopSession::waitForExit(double seconds) {
    if (WaitUntil([this] { return !running(); }, seconds)) {
        return true;
    }
    kill(m_pid, SIGKILL);
    WaitUntil([this] { return !running(); }, 30);
    return false;
}

std::optional<std::string> DesktopSession::xdotool(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{"xdotool"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    // Killed after a while: a tool that hangs on a busy display must not hang the test.
    ProcessOptions options;
    options.captureOutput = options.searchPath = true;
    const ProcessResult run = RunProcess(argv, {"DISPLAY=" + m_display}, 20, options);
    return run.exitStatus == 0 ? std::optional(run.output) : std::nullopt;
}

std::vector<unsigned long> DesktopSession::windows(const std::string& title) const {
    // --name takes a regular expression; the title is matched whole and literally.
    const std::string pattern = std::regex_replace(title, std::regex(R"([.\[\]{}()\\*+?^$|])"), R"(\$&)");
    std::vector<unsigned long> found;
    std::stringstream lines(xdotool({"search", "--onlyvisible", "--name", "^" + pattern + "$"}).value_or(""));
    for (unsigned long id = 0; lines >> id;) {
        found.push_back(id);
    }
    return found;
}

void DesktopSession::requestClose(unsigned long window) const {
    if (window == 0) {
        return; // Xlib would end this process over a request for no window
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(m_keeper.get(), "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(m_keeper.get(), "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(m_keeper.get(), window, False, NoEventMask, &event);
    XSync(m_keeper.get(), False);
}

bool DesktopSession::focus(unsigned long window) const {
    // While it waits for the focus, xdotool inspects other windows too; one that the program destroys
    // at that moment makes it fail with BadWindow (seen rarely, early in a run). Trying again settles it.
    for (int attempt = 0; attempt < 3;
         ++attempt, std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
        if (xdotool({"windowfocus", "--sync", std::to_string(window)})) {
            return true;
        }
    }
    return false;
}

bool DesktopSession::keys(unsigned long window, const std::vector<std::string>& combinations) const {
    std::vector<std::string> arguments{"key", "--delay", "60"};
    arguments.insert(arguments.end(), combinations.begin(), combinations.end());
    return focus(window) && xdotool(arguments);
}

bool DesktopSession::type(unsigned long window, const std::string& text) const {
    return focus(window) && xdotool({"type", "--delay", "40", text});
}

bool DesktopSession::click(unsigned long window, int x, int y) const {
    return focus(window) && xdotool({"mousemove", "--window", std::to_string(window), "--sync",
                                     std::to_string(x), std::to_string(y), "click", "1"});
}

int DesktopSession::height(unsigned long window) const {
    const std::string shell = xdotool({"getwindowgeometry", "--shell", std::to_string(window)}).value_or("");
    const auto at = shell.find("HEIGHT=");
    return at == std::string::npos ? -1 : std::atoi(shell.c_str() + at + 7);
}

bool DesktopSession::screenshot(const std::string& path) const {
    return RunProcess(
               {"import", "-display", m_display, "-window", "root", path}, {}, 30,
               {.workingFolder = {}, .captureOutput = false, .captureErrors = false, .searchPath = true})
               .exitStatus == 0;
}

} // namespace brisko::test
