#include "support/VirtualDisplay.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <csignal>
#include <functional>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace brisko::test {

namespace {

// Calls `visit` for every window below `root` whose title is `title` until it returns true.
bool forEachTitled(Display* display, Window window, const std::string& title,
                   const std::function<bool(Window)>& visit) {
    char* name = nullptr;
    if (XFetchName(display, window, &name) && name) {
        const bool match = title == name;
        XFree(name);
        if (match && visit(window)) {
            return true;
        }
    }
    Window rootReturn = 0, parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, window, &rootReturn, &parent, &children, &count)) {
        return false;
    }
    bool done = false;
    for (unsigned i = 0; i < count && !done; ++i) {
        done = forEachTitled(display, children[i], title, visit);
    }
    if (children) {
        XFree(children);
    }
    return done;
}

bool withDisplay(const std::string& name, const std::function<bool(Display*)>& body) {
    Display* display = XOpenDisplay(name.c_str());
    if (!display) {
        return false;
    }
    const bool result = body(display);
    XCloseDisplay(display);
    return result;
}

} // namespace

VirtualDisplay::VirtualDisplay() {
    int fds[2];
    if (pipe(fds) != 0) {
        return;
    }
    m_server = fork();
    if (m_server == 0) {
        close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        // -noreset: without it the server resets when its last client leaves, and a program that
        // connects just then is refused.
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp", "-screen", "0",
               "1024x768x24", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    // Xvfb writes the display number once it accepts connections.
    std::string number;
    pollfd waitFor{fds[0], POLLIN, 0};
    char c = 0;
    while (m_server > 0 && poll(&waitFor, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') {
        number += c;
    }
    close(fds[0]);
    if (number.empty()) {
        return;
    }
    // Make sure clients can connect before anyone is started on the display.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (Display* display = XOpenDisplay((":" + number).c_str())) {
            XCloseDisplay(display);
            m_name = ":" + number;
            return;
        }
        usleep(50 * 1000);
    }
}

VirtualDisplay::~VirtualDisplay() {
    if (m_server > 0) {
        kill(m_server, SIGTERM);
        waitpid(m_server, nullptr, 0);
    }
}

bool VirtualDisplay::requestClose(const std::string& title) const {
    return withDisplay(m_name, [&](Display* display) {
        const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
        const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
        const bool found = forEachTitled(display, DefaultRootWindow(display), title, [&](Window window) {
            XEvent event{};
            event.xclient.type = ClientMessage;
            event.xclient.window = window;
            event.xclient.message_type = protocols;
            event.xclient.format = 32;
            event.xclient.data.l[0] = static_cast<long>(deleteWindow);
            event.xclient.data.l[1] = CurrentTime;
            XSendEvent(display, window, False, NoEventMask, &event);
            return true;
        });
        XSync(display, False);
        return found;
    });
}

bool VirtualDisplay::hasWindow(const std::string& title) const {
    return withDisplay(m_name, [&](Display* display) {
        return forEachTitled(display, DefaultRootWindow(display), title, [&](Window window) {
            XWindowAttributes attributes{};
            return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
        });
    });
}

} // namespace brisko::test
