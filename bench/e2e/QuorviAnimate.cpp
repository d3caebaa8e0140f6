// quorvi-animate: the screen content of the end-to-end benchmark on an X
// display. An override-redirect window covers the root window and shows one
// of the scenes of Scenes.h. Single-threaded; runs until killed.
//
// Usage: quorvi-animate [--scene full|static|region] [--fps N]
//        (the display comes from $DISPLAY)
#include "Scenes.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using namespace quorvi::animate;

// Draws with the X server's own primitives, on the only thread.
class WindowCanvas : public Canvas {
public:
    WindowCanvas(Display* display, Window window, int width, int height)
        : Canvas(width, height), display_(display), window_(window),
          gc_(XCreateGC(display, window, 0, nullptr)) {}

    void fill(std::uint32_t colour, int x, int y, int w, int h) override {
        XSetForeground(display_, gc_, colour);
        XFillRectangle(display_, window_, gc_, x, y, static_cast<unsigned>(std::max(w, 0)),
                       static_cast<unsigned>(std::max(h, 0)));
    }

    void text(std::uint32_t colour, int x, int y, const std::string& line) override {
        XSetForeground(display_, gc_, colour);
        XDrawString(display_, window_, gc_, x, y, line.c_str(), static_cast<int>(line.size()));
    }

private:
    Display* display_;
    Window window_;
    GC gc_;
};

} // namespace

int main(int argc, char** argv) {
    const auto options = parseOptions(argc, argv, "quorvi-animate");
    if (!options) {
        return 2;
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
    WindowCanvas canvas(display, window, width, height);
    // Drawing before the map is processed would be lost.
    XSync(display, False);

    if (options->scene != Scene::Full) {
        paintPage(canvas);
        XSync(display, False);
    }
    if (options->scene == Scene::Static) {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
    FramePacer pacer(options->fps);
    for (long frame = 0;; ++frame) {
        paintFrame(canvas, options->scene, frame);
        XFlush(display);
        std::this_thread::sleep_until(pacer.next());
    }
}
