#include "Scenes.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quorvi::animate {

namespace {

constexpr int kSquare = 256;

// A triangle wave from 0 to span and back, one period every 2 × span steps.
int bounce(long step, int span) {
    if (span <= 0) {
        return 0;
    }
    const long period = 2L * span;
    const long phase = step % period;
    return static_cast<int>(phase < span ? phase : period - phase);
}

// Bands whose colours drift every frame, with rectangles bouncing over them
// at different speeds, all inside the area.
void paintMotion(Canvas& canvas, long frame, const Area& area, int bands, int rectangles,
                 int scale) {
    const int x = area.x;
    const int y = area.y;
    const int w = area.width;
    const int h = area.height;
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

} // namespace

std::optional<Options> parseOptions(int argc, char** argv, const char* program) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fps") == 0 && i + 1 < argc) {
            options.fps = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--scene") == 0 && i + 1 < argc) {
            const std::string name = argv[++i];
            if (name == "full") {
                options.scene = Scene::Full;
            } else if (name == "static") {
                options.scene = Scene::Static;
            } else if (name == "region") {
                options.scene = Scene::Region;
            } else {
                std::fprintf(stderr, "%s: unknown scene %s\n", program, name.c_str());
                return std::nullopt;
            }
        } else {
            std::fprintf(stderr, "usage: %s [--scene full|static|region] [--fps N]\n", program);
            return std::nullopt;
        }
    }
    return options;
}

std::uint32_t rgb(int r, int g, int b) {
    return (static_cast<std::uint32_t>(r & 0xff) << 16) |
           (static_cast<std::uint32_t>(g & 0xff) << 8) | static_cast<std::uint32_t>(b & 0xff);
}

// A desktop-like still picture: a gradient wallpaper, a window with a title
// bar, a side bar of icons, and a page of small text (the fine detail that
// costs an encoder most).
void paintPage(Canvas& canvas) {
    const int width = canvas.width();
    const int height = canvas.height();
    for (int y = 0; y < height; ++y) {
        canvas.fill(rgb(30 + y * 60 / height, 60 + y * 90 / height, 120 + y * 100 / height), 0, y,
                    width, 1);
    }
    const int left = width / 12;
    const int top = height / 12;
    const int right = width - left;
    const int bottom = height - top;
    canvas.fill(rgb(235, 235, 235), left, top, right - left, bottom - top);
    for (int x = left; x < right; ++x) {
        canvas.fill(rgb(70 + (x - left) * 80 / (right - left), 80, 110), x, top, 1, 28);
    }
    for (int i = 0; i < 12; ++i) {
        canvas.fill(rgb(i * 20, 200 - i * 13, 90 + i * 12), left + 16, top + 48 + i * 64, 48, 48);
    }
    canvas.fill(rgb(255, 255, 255), left + 80, top + 40, right - left - 96, bottom - top - 56);
    const std::uint32_t ink = rgb(20, 20, 20);
    for (int line = 0, y = top + 60; y < bottom - 24; ++line, y += 15) {
        canvas.text(ink, left + 96, y, textLine(line));
        canvas.text(ink, (left + right) / 2 + 40, y, textLine(line + 1000));
    }
}

Area movingArea(Scene scene, int width, int height) {
    switch (scene) {
    case Scene::Full:
        return {0, 0, width, height};
    case Scene::Region:
        // The square sits inside the page's text, off any 16-pixel grid, as a
        // video embedded in a page would.
        return {width / 2 + 148, height / 4 + 6, kSquare, kSquare};
    case Scene::Static:
        break;
    }
    return {};
}

void paintFrame(Canvas& canvas, Scene scene, long frame) {
    const Area area = movingArea(scene, canvas.width(), canvas.height());
    if (scene == Scene::Full) {
        paintMotion(canvas, frame, area, 12, 24, 1);
    } else if (scene == Scene::Region) {
        paintMotion(canvas, frame, area, 8, 6, 4);
    }
}

FramePacer::FramePacer(int fps)
    : interval_(1'000'000'000 / std::max(1, fps)), deadline_(std::chrono::steady_clock::now()) {}

std::chrono::steady_clock::time_point FramePacer::next() {
    deadline_ += interval_;
    const auto now = std::chrono::steady_clock::now();
    if (deadline_ < now) {
        deadline_ += ((now - deadline_) / interval_ + 1) * interval_;
    }
    return deadline_;
}

} // namespace quorvi::animate
