#pragma once

// The fixture of the X11 suites: the suite's own Xorg dummy server, shared
// by its cases, and a plain Xlib connection to it (the peer). A case that
// changes the server for good, or fails, leaves a new one to the next case.

#include "linux/TestDisplay.h"
#include "platform/DisplayServices.h"
#include "platform/linux/x11/X11ErrorHandling.h"

#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <unistd.h>

namespace quorvi::testing {

class XorgDummyTest : public ::testing::Test {
protected:
    explicit XorgDummyTest(int displayNumber)
        : server_(servers().try_emplace(displayNumber, displayNumber).first->second),
          displayName_(server_.name()) {}

    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "Xorg with the dummy driver needs root: not run";
        }
        if (const std::string failure = server_.start(); !failure.empty()) {
            GTEST_SKIP() << "Xorg with the dummy driver did not start: " << failure;
        }
        x11::installErrorHandlers();
        peer_ = XOpenDisplay(displayName_.c_str());
        ASSERT_NE(peer_, nullptr);
    }

    void TearDown() override {
        if (peer_ != nullptr) {
            // Every client's windows go now, not when the server notices a
            // close, which the next case could overtake.
            XDestroySubwindows(peer_, DefaultRootWindow(peer_));
        }
        closePeer();
        if (isServerSpent_ || HasFailure()) {
            server_.stop();
        }
    }

    void freshServerNext() { isServerSpent_ = true; }

    // Before the server goes away on purpose, which the peer cannot survive.
    void closePeer() {
        if (peer_ != nullptr) {
            XCloseDisplay(peer_);
            peer_ = nullptr;
        }
    }

    Atom atom(const char* name) { return XInternAtom(peer_, name, False); }

    // A monitor's display ID, which is its name atom.
    DisplayID monitorID(const char* name) { return static_cast<DisplayID>(atom(name)); }

    void setProperty(Window window, const char* name, Atom type, std::vector<long> values) {
        XChangeProperty(peer_, window, atom(name), type, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(values.data()),
                        static_cast<int>(values.size()));
        XSync(peer_, False);
    }

    // A window with its program's class and process; with no window
    // manager, a map takes effect at once.
    Window makeWindow(std::optional<std::string> className, std::optional<long> pid,
                      bool isMapped = true) {
        const Window window =
            XCreateSimpleWindow(peer_, DefaultRootWindow(peer_), 10, 10, 100, 100, 0, 0, 0);
        std::string instance = "quorvi-test";
        XClassHint hint{instance.data(), className ? className->data() : nullptr};
        if (className) {
            XSetClassHint(peer_, window, &hint);
        }
        if (pid) {
            setProperty(window, "_NET_WM_PID", XA_CARDINAL, {*pid});
        }
        if (isMapped) {
            XMapWindow(peer_, window);
        }
        XSync(peer_, False);
        return window;
    }

    static std::map<int, TestDisplay>& servers() {
        static std::map<int, TestDisplay> servers;
        return servers;
    }

    TestDisplay& server_;
    const std::string displayName_;
    Display* peer_ = nullptr;
    bool isServerSpent_ = false;
};

} // namespace quorvi::testing
