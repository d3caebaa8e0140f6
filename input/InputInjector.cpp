#include "input/InputInjector.h"

#include <cmath>
#include <cstdint>

namespace quorvi {

namespace {

constexpr double kPixelsPerScrollUnit = 1200;
constexpr double kMaxWheelPixels = 120;

// NaN cannot be converted to an integer (undefined behaviour), and no JSON
// can carry it, so it scrolls nothing. Infinities are ordinary large values
// here: the clamp brings them into range.
std::int32_t wheelPixels(double amount) {
    if (std::isnan(amount)) {
        return 0;
    }
    double pixels = -kPixelsPerScrollUnit * amount;
    if (pixels > kMaxWheelPixels) {
        pixels = kMaxWheelPixels;
    } else if (pixels <= -kMaxWheelPixels) {
        pixels = -kMaxWheelPixels;
    }
    return static_cast<std::int32_t>(pixels);
}

DisplayPoint globalPoint(const DisplayRect& bounds, double x, double y) {
    return {bounds.minX + x * bounds.width, bounds.minY + y * bounds.height};
}

} // namespace

InputInjector::InputInjector(DisplayServices& displays, EventPoster& poster)
    : displays_(&displays), poster_(&poster) {}

void InputInjector::handle(const InputEventMessage& message, DisplayID displayID) const {
    const DisplayPoint point = globalPoint(displays_->bounds(displayID), message.x, message.y);
    const std::string& phase = message.phase;
    if (phase == "start") {
        poster_->pressLeftButton(point);
    } else if (phase == "tap") {
        poster_->pressLeftButton(point);
        poster_->releaseLeftButton(point);
    } else if (phase == "drag") {
        poster_->dragMouse(point);
    } else if (phase == "scroll") {
        postScroll(message.dx, message.dy);
    } else if (phase == "end") {
        poster_->releaseLeftButton(point);
    } else {
        poster_->moveMouse(point);
    }
}

void InputInjector::postScroll(double dx, double dy) const {
    const std::int32_t x = wheelPixels(dx);
    const std::int32_t y = wheelPixels(dy);
    if (x == 0 && y == 0) {
        return;
    }
    poster_->scrollPixels(x, y);
}

} // namespace quorvi
