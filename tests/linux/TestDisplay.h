#pragma once

// A private Xorg dummy display, a peer command run on it, a test window
// and its events.

#include "linux/TestCommands.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
// Xlib's None and Bool are macros, and Google Test uses both names: this
// header may come before gtest.h.
#undef None
#undef Bool
#include <functional>
#include <string>
#include <vector>

namespace quorvi::testing {

// An Xorg dummy server run by the test environment script; starting a
// running one reuses it.
class TestDisplay {
public:
    explicit TestDisplay(int number) : number_(std::to_string(number)), name_(":" + number_) {}
    ~TestDisplay() { stop(); }

    // Empty on success, else why it could not start.
    std::string start() {
        const auto started = runCommand("timeout 60 " + script() + " start " + number_);
        isStarted_ = started.status == 0;
        return isStarted_ ? "" : "xorg-dummy a échoué: " + started.output;
    }

    void stop() {
        if (isStarted_) {
            runCommand("timeout 60 " + script() + " stop " + number_);
            isStarted_ = false;
        }
    }

    // SIGKILL, as a crash would end it; stop() still clears what it left.
    bool killOutright() const {
        return runCommand("kill -9 $(cat ${TMPDIR:-/tmp}/quorvi-xorg-dummy-" + number_ +
                          "/xorg.pid)")
                   .status == 0;
    }

    const std::string& name() const { return name_; }
    CommandResult run(const std::string& command) const {
        return runCommand("DISPLAY=" + name_ + " timeout 20 " + command);
    }

    // xdotool's view of the pointer, in root pixels.
    std::pair<int, int> pointer() const {
        std::pair<int, int> at{-1, -1};
        std::sscanf(run("xdotool getmouselocation").output.c_str(), "x:%d y:%d", &at.first,
                    &at.second);
        return at;
    }

private:
    static std::string script() { return repositoryPath("scripts/test-env/xorg-dummy"); }

    std::string number_;
    std::string name_;
    bool isStarted_ = false;
};

// What a test window saw of the pointer.
struct SeenEvent {
    int type = 0; // ButtonPress, ButtonRelease or MotionNotify
    unsigned int button = 0;
    int x = 0;
    int y = 0;
    bool isButton1Held = false;
};

// An override-redirect window over a rectangle of the root, on a connection
// of its own, reporting buttons and motion, optionally painted.
class TestWindow {
public:
    TestWindow(const std::string& displayName, int x, int y, int width, int height)
        : display_(XOpenDisplay(displayName.c_str())) {
        if (display_ == nullptr) {
            return;
        }
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.background_pixel = BlackPixel(display_, DefaultScreen(display_));
        attributes.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
        window_ = XCreateWindow(display_, DefaultRootWindow(display_), x, y,
                                static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                                CopyFromParent, InputOutput, CopyFromParent,
                                CWOverrideRedirect | CWEventMask | CWBackPixel, &attributes);
        // Override-redirect: mapped as soon as the server has the request.
        XMapRaised(display_, window_);
        XSync(display_, False);
    }

    ~TestWindow() {
        if (display_ != nullptr) {
            XCloseDisplay(display_);
        }
    }
    bool isReady() const { return display_ != nullptr; }

    // Fills a rectangle with an RGB colour (0xRRGGBB); the dummy screen is
    // 24-bit TrueColor, so the pixel value is the colour itself.
    void fill(int x, int y, int width, int height, unsigned long rgb) {
        GC gc = XCreateGC(display_, window_, 0, nullptr);
        XSetForeground(display_, gc, rgb);
        XFillRectangle(display_, window_, gc, x, y, static_cast<unsigned>(width),
                       static_cast<unsigned>(height));
        XFreeGC(display_, gc);
        XSync(display_, False);
    }

    // The events seen until isComplete holds for them (or 5 s pass).
    std::vector<SeenEvent>
    collect(const std::function<bool(const std::vector<SeenEvent>&)>& isComplete) {
        std::vector<SeenEvent> seen;
        eventually([&] {
            for (XEvent e; XPending(display_) > 0;) {
                XNextEvent(display_, &e);
                // A motion event has a button event's fields but the button.
                if (e.type == ButtonPress || e.type == ButtonRelease || e.type == MotionNotify) {
                    seen.push_back({e.type, e.type == MotionNotify ? 0 : e.xbutton.button,
                                    e.xbutton.x, e.xbutton.y,
                                    (e.xbutton.state & Button1Mask) != 0});
                }
            }
            return isComplete(seen);
        });
        return seen;
    }

    static std::vector<SeenEvent> buttonsOnly(std::vector<SeenEvent> events) {
        std::erase_if(events, [](const SeenEvent& event) { return event.type == MotionNotify; });
        return events;
    }

private:
    Display* display_;
    Window window_ = 0;
};

} // namespace quorvi::testing
