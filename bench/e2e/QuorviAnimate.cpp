// quorvi-animate: a full-screen picture that changes on every frame, for the
// end-to-end benchmark. An override-redirect window covers the root window
// and, 30 times a second on absolute deadlines, repaints a changing
// background with coloured rectangles moving over it, so the encoder never
// sees two equal pictures. Runs until killed.
//
// Usage: quorvi-animate [--fps N]   (the display comes from $DISPLAY)
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

unsigned long rgb(int r, int g, int b) {
    return (static_cast<unsigned long>(r & 0xff) << 16) |
           (static_cast<unsigned long>(g & 0xff) << 8) | static_cast<unsigned long>(b & 0xff);
}

// A triangle wave from 0 to span and back, one period every 2 × span steps.
int bounce(long step, int span) {
    if (span <= 0) {
        return 0;
    }
    const long period = 2L * span;
    const long phase = step % period;
    return static_cast<int>(phase < span ? phase : period - phase);
}

} // namespace

int main(int argc, char** argv) {
    int fps = 30;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fps") == 0 && i + 1 < argc) {
            fps = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: quorvi-animate [--fps N]\n");
            return 2;
        }
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "quorvi-animate: cannot open display\n");
        return 1;
    }
    const int screen = DefaultScreen(display);
    const int width = DisplayWidth(display, screen);
    const int height = DisplayHeight(display, screen);

    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = BlackPixel(display, screen);
    const Window window =
        XCreateWindow(display, RootWindow(display, screen), 0, 0, static_cast<unsigned>(width),
                      static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                      CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(display, window);
    const GC gc = XCreateGC(display, window, 0, nullptr);
    XFlush(display);

    constexpr int kBands = 12;
    constexpr int kRectangles = 24;
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / fps);
    auto deadline = std::chrono::steady_clock::now();
    for (long frame = 0;; ++frame) {
        // Background: horizontal bands whose colours drift every frame.
        const int bandHeight = (height + kBands - 1) / kBands;
        for (int band = 0; band < kBands; ++band) {
            XSetForeground(display, gc,
                           rgb(static_cast<int>(frame * 3 + band * 20),
                               static_cast<int>(frame * 5 + band * 11),
                               static_cast<int>(frame * 7 + band * 29)));
            XFillRectangle(display, window, gc, 0, band * bandHeight, static_cast<unsigned>(width),
                           static_cast<unsigned>(bandHeight));
        }
        // Rectangles bouncing across the screen at different speeds.
        for (int i = 0; i < kRectangles; ++i) {
            const int w = 80 + (i * 37) % 220;
            const int h = 60 + (i * 53) % 180;
            const int x = bounce(frame * (4 + i % 9) + i * 97, width - w);
            const int y = bounce(frame * (3 + i % 7) + i * 61, height - h);
            XSetForeground(display, gc,
                           rgb(255 - i * 9, static_cast<int>(i * 41 + frame * 2), i * 83));
            XFillRectangle(display, window, gc, x, y, static_cast<unsigned>(w),
                           static_cast<unsigned>(h));
        }
        XFlush(display);

        deadline += interval;
        const auto now = std::chrono::steady_clock::now();
        if (deadline < now) {
            // Late: skip the missed deadlines rather than bunching up frames.
            deadline += ((now - deadline) / interval + 1) * interval;
        }
        std::this_thread::sleep_until(deadline);
    }
}
