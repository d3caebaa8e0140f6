// quorvi-animate: the screen content of the end-to-end benchmark. An
// override-redirect window covers the root window and shows one of three
// scenes, chosen because they bracket what a desktop does most of its life:
//   full    30 times a second on absolute deadlines, a changing background
//           with coloured rectangles moving over it, so the encoder never
//           sees two equal pictures (the worst case);
//   static  a still page (gradients, panels, lines of text) drawn once, then
//           nothing at all: the pointer does not move either;
//   region  the same page with one 256 × 256 square repainted 30 times a
//           second, like a video playing inside a page.
// Single-threaded; runs until killed.
//
// Usage: quorvi-animate [--scene full|static|region] [--fps N]
//        (the display comes from $DISPLAY)
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

enum class Scene { Full, Static, Region };

constexpr int kSquare = 256;

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

struct Canvas {
    Display* display;
    Window window;
    GC gc;
    int width;
    int height;

    void fill(unsigned long colour, int x, int y, int w, int h) const {
        XSetForeground(display, gc, colour);
        XFillRectangle(display, window, gc, x, y, static_cast<unsigned>(std::max(w, 0)),
                       static_cast<unsigned>(std::max(h, 0)));
    }
};

// Bands whose colours drift every frame, with rectangles bouncing over them
// at different speeds, all inside (x, y, w, h).
void paintMotion(const Canvas& canvas, long frame, int x, int y, int w, int h, int bands,
                 int rectangles, int scale) {
    const int bandHeight = (h + bands - 1) / bands;
    for (int band = 0; band < bands; ++band) {
        canvas.fill(rgb(static_cast<int>(frame * 3 + band * 20),
                        static_cast<int>(frame * 5 + band * 11),
                        static_cast<int>(frame * 7 + band * 29)),
                    x, y + band * bandHeight, w, std::min(bandHeight, h - band * bandHeight));
    }
    for (int i = 0; i < rectangles; ++i) {
        const int rw = (80 + (i * 37) % 220) / scale;
        const int rh = (60 + (i * 53) % 180) / scale;
        const int rx = bounce(frame * (4 + i % 9) + i * 97, w - rw);
        const int ry = bounce(frame * (3 + i % 7) + i * 61, h - rh);
        canvas.fill(rgb(255 - i * 9, static_cast<int>(i * 41 + frame * 2), i * 83), x + rx, y + ry,
                    rw, rh);
    }
}

// Deterministic filler words, so that every run shows the same page.
std::string textLine(int line) {
    static const char* const kWords[] = {
        "capture", "image", "flux",    "pixel",   "couleur", "trame",  "bureau", "curseur",
        "texte",   "page",  "lecture", "clavier", "serveur", "client", "rendu",  "zone",
        "mesure",  "fond",  "ligne",   "point",   "bord",    "titre",  "menu",   "bouton"};
    constexpr int kWordCount = sizeof(kWords) / sizeof(kWords[0]);
    std::string text;
    unsigned state = static_cast<unsigned>(line) * 2654435761u + 12345u;
    const int words = 9 + line % 7;
    for (int i = 0; i < words; ++i) {
        state = state * 1103515245u + 12345u;
        if (!text.empty()) {
            text += ' ';
        }
        text += kWords[(state >> 16) % kWordCount];
    }
    return text + '.';
}

// A desktop-like still picture: a gradient wallpaper, a window with a title
// bar, a side bar of icons, and a page of small text (the fine detail that
// costs an encoder most).
void paintPage(const Canvas& canvas) {
    for (int y = 0; y < canvas.height; ++y) {
        canvas.fill(rgb(30 + y * 60 / canvas.height, 60 + y * 90 / canvas.height,
                        120 + y * 100 / canvas.height),
                    0, y, canvas.width, 1);
    }
    const int left = canvas.width / 12;
    const int top = canvas.height / 12;
    const int right = canvas.width - left;
    const int bottom = canvas.height - top;
    canvas.fill(rgb(235, 235, 235), left, top, right - left, bottom - top);
    for (int x = left; x < right; ++x) {
        canvas.fill(rgb(70 + (x - left) * 80 / (right - left), 80, 110), x, top, 1, 28);
    }
    for (int i = 0; i < 12; ++i) {
        canvas.fill(rgb(i * 20, 200 - i * 13, 90 + i * 12), left + 16, top + 48 + i * 64, 48, 48);
    }
    canvas.fill(rgb(255, 255, 255), left + 80, top + 40, right - left - 96, bottom - top - 56);
    XSetForeground(canvas.display, canvas.gc, rgb(20, 20, 20));
    for (int line = 0, y = top + 60; y < bottom - 24; ++line, y += 15) {
        const std::string text = textLine(line);
        XDrawString(canvas.display, canvas.window, canvas.gc, left + 96, y, text.c_str(),
                    static_cast<int>(text.size()));
        const std::string second = textLine(line + 1000);
        XDrawString(canvas.display, canvas.window, canvas.gc, (left + right) / 2 + 40, y,
                    second.c_str(), static_cast<int>(second.size()));
    }
}

} // namespace

int main(int argc, char** argv) {
    int fps = 30;
    Scene scene = Scene::Full;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fps") == 0 && i + 1 < argc) {
            fps = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--scene") == 0 && i + 1 < argc) {
            const std::string name = argv[++i];
            if (name == "full") {
                scene = Scene::Full;
            } else if (name == "static") {
                scene = Scene::Static;
            } else if (name == "region") {
                scene = Scene::Region;
            } else {
                std::fprintf(stderr, "quorvi-animate: unknown scene %s\n", name.c_str());
                return 2;
            }
        } else {
            std::fprintf(stderr, "usage: quorvi-animate [--scene full|static|region] [--fps N]\n");
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
    const Canvas canvas{display, window, XCreateGC(display, window, 0, nullptr), width, height};
    // Drawing before the map is processed would be lost.
    XSync(display, False);

    if (scene != Scene::Full) {
        paintPage(canvas);
        XSync(display, False);
    }
    if (scene == Scene::Static) {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }

    // The square sits inside the page's text, off any 16-pixel grid, as a
    // video embedded in a page would.
    const int squareX = width / 2 + 148;
    const int squareY = height / 4 + 6;
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / fps);
    auto deadline = std::chrono::steady_clock::now();
    for (long frame = 0;; ++frame) {
        if (scene == Scene::Full) {
            paintMotion(canvas, frame, 0, 0, width, height, 12, 24, 1);
        } else {
            paintMotion(canvas, frame, squareX, squareY, kSquare, kSquare, 8, 6, 4);
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
