// The scenes of the end-to-end benchmark, drawn the same way whatever the
// display server: each animator (X11, Wayland) only says how to fill a
// rectangle and how to write a line of text. The scenes bracket what a
// desktop does most of its life:
//   full    30 times a second on absolute deadlines, a changing background
//           with coloured rectangles moving over it, so the encoder never
//           sees two equal pictures (the worst case);
//   static  a still page (gradients, panels, lines of text) drawn once, then
//           nothing at all: the pointer does not move either;
//   region  the same page with one 256 × 256 square repainted 30 times a
//           second, like a video playing inside a page.
// Everything here runs on the animator's only thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace quorvi::animate {

enum class Scene { Full, Static, Region };

struct Options {
    Scene scene = Scene::Full;
    int fps = 30;
};

// Reads [--scene full|static|region] [--fps N]; prints the usage under the
// program's name and returns nothing when the arguments are wrong.
std::optional<Options> parseOptions(int argc, char** argv, const char* program);

// 0xRRGGBB, each component taken modulo 256.
std::uint32_t rgb(int r, int g, int b);

struct Area {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Where the painting goes: the animator's window or buffer.
class Canvas {
public:
    Canvas(int width, int height) : width_(width), height_(height) {}
    virtual ~Canvas() = default;

    int width() const { return width_; }
    int height() const { return height_; }

    // Rectangles may reach past the edges; negative sizes draw nothing.
    virtual void fill(std::uint32_t colour, int x, int y, int w, int h) = 0;
    // One line of small text whose baseline is at y.
    virtual void text(std::uint32_t colour, int x, int y, const std::string& line) = 0;

private:
    int width_;
    int height_;
};

// The still page of the static and region scenes.
void paintPage(Canvas& canvas);

// What changes on each frame of a moving scene: the whole canvas (full) or
// the square (region). The static scene has no moving area.
Area movingArea(Scene scene, int width, int height);

// Paints frame number `frame` of a moving scene over its moving area.
void paintFrame(Canvas& canvas, Scene scene, long frame);

// Absolute frame deadlines: a late frame skips the deadlines it missed
// rather than bunching frames up.
class FramePacer {
public:
    explicit FramePacer(int fps);

    // The deadline of the next frame, after the one just painted.
    std::chrono::steady_clock::time_point next();

private:
    std::chrono::nanoseconds interval_;
    std::chrono::steady_clock::time_point deadline_;
};

} // namespace quorvi::animate
