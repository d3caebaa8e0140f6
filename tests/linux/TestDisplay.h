#pragma once

// A private Xorg dummy display for end-to-end tests, with the few things
// they do on it: run a peer command, own a test window, read its events.

#include "linux/TestCommands.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
// Xlib's None and Bool are macros, and Google Test uses both names: this
// header may come before gtest.h.
#undef None
#undef Bool
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace quorvi::testing {

// One Xorg dummy server on its own display number, started and stopped by
// the test environment script.
class TestDisplay {
public:
    explicit TestDisplay(int number) : number_(number), name_(":" + std::to_string(number)) {}
    ~TestDisplay() { stop(); }

    // Empty on success, else why it could not start.
    std::string start() {
        const auto started =
            runCommand("timeout 60 " + repositoryPath("scripts/test-env/xorg-dummy") + " start " +
                       std::to_string(number_));
        if (started.status != 0) {
            return started.output.empty() ? "xorg-dummy a échoué" : started.output;
        }
        isStarted_ = true;
        return {};
    }

    void stop() {
        if (isStarted_) {
            runCommand("timeout 60 " + repositoryPath("scripts/test-env/xorg-dummy") + " stop " +
                       std::to_string(number_));
            isStarted_ = false;
        }
    }

    // SIGKILL, as a crash would end it; stop() still clears what it left.
    bool killOutright() const {
        const char* tmp = std::getenv("TMPDIR");
        const std::string pidFile = std::string(tmp != nullptr ? tmp : "/tmp") +
                                    "/quorvi-xorg-dummy-" + std::to_string(number_) + "/xorg.pid";
        return runCommand("kill -9 $(cat " + pidFile + ")").status == 0;
    }

    const std::string& name() const { return name_; }

    CommandResult run(const std::string& command) const {
        return runCommand("DISPLAY=" + name_ + " timeout 20 " + command);
    }

    // xdotool's view of the pointer, in root pixels.
    std::pair<int, int> pointer() const {
        const std::string output = run("xdotool getmouselocation").output;
        int x = -1;
        int y = -1;
        std::sscanf(output.c_str(), "x:%d y:%d", &x, &y);
        return {x, y};
    }

private:
    int number_;
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

// An override-redirect window over a rectangle of the root, reporting
// buttons and motion, optionally painted in solid rectangles.
class TestWindow {
public:
    TestWindow(const std::string& displayName, int x, int y, int width, int height) {
        display_ = XOpenDisplay(displayName.c_str());
        if (display_ == nullptr) {
            return;
        }
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.background_pixel = BlackPixel(display_, DefaultScreen(display_));
        attributes.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                                StructureNotifyMask | ExposureMask;
        window_ = XCreateWindow(display_, DefaultRootWindow(display_), x, y,
                                static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                                CopyFromParent, InputOutput, CopyFromParent,
                                CWOverrideRedirect | CWEventMask | CWBackPixel, &attributes);
        XMapRaised(display_, window_);
        XSync(display_, False);
        isMapped_ = eventually(
            [&] {
                XEvent event;
                return XCheckTypedWindowEvent(display_, window_, MapNotify, &event) == True;
            },
            std::chrono::seconds(3));
    }

    ~TestWindow() {
        if (display_ != nullptr) {
            XCloseDisplay(display_);
        }
    }

    bool isReady() const { return display_ != nullptr && isMapped_; }

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

    // Collects events until isComplete says so (or 3 s pass), then a little
    // longer, so that an unexpected extra one shows.
    std::vector<SeenEvent>
    collect(const std::function<bool(const std::vector<SeenEvent>&)>& isComplete) {
        auto take = [&] {
            while (XPending(display_) > 0) {
                XEvent event;
                XNextEvent(display_, &event);
                if (event.type == ButtonPress || event.type == ButtonRelease) {
                    seen_.push_back({event.type, event.xbutton.button, event.xbutton.x,
                                     event.xbutton.y, (event.xbutton.state & Button1Mask) != 0});
                } else if (event.type == MotionNotify) {
                    seen_.push_back({event.type, 0, event.xmotion.x, event.xmotion.y,
                                     (event.xmotion.state & Button1Mask) != 0});
                }
            }
            return isComplete(seen_);
        };
        eventually(take, std::chrono::seconds(3));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        take();
        auto seen = std::move(seen_);
        seen_.clear();
        return seen;
    }

    static std::vector<SeenEvent> buttonsOnly(const std::vector<SeenEvent>& events) {
        std::vector<SeenEvent> buttons;
        for (const auto& event : events) {
            if (event.type != MotionNotify) {
                buttons.push_back(event);
            }
        }
        return buttons;
    }

private:
    Display* display_ = nullptr;
    Window window_ = 0;
    bool isMapped_ = false;
    std::vector<SeenEvent> seen_;
};

} // namespace quorvi::testing
