#include "platform/linux/wlroots/WlrootsEventPoster.h"

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <linux/input-event-codes.h>
#include <string>
#include <thread>
#include <wayland-client.h>

namespace quorvi {

namespace {

constexpr std::uint32_t kManagerVersion = 2;
// Positions are sent in 1/256 of a point, the precision of the compositor's
// own fixed-point coordinates. The compositor turns x / x_extent back into a
// layout position with a division, which may land a hair below the value
// sent; aiming at the middle of the sub-pixel (odd halves of it) keeps an
// exact pixel edge from rounding into the pixel before it.
constexpr double kSubpixelsPerPoint = 256;
constexpr std::uint32_t kHalvesPerSubpixel = 2;
// How long sway needs before a new pointer device's buttons count.
constexpr auto kNewDeviceSettling = std::chrono::milliseconds(100);

std::uint32_t nowMilliseconds() {
    // The protocol's times are milliseconds that wrap around, from any
    // fixed base.
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// A position along one axis of the box, or nothing when the box is too
// large for the protocol's 32-bit extents.
std::optional<std::pair<std::uint32_t, std::uint32_t>> boxPosition(double offset, double length) {
    const double extent = length * kSubpixelsPerPoint * kHalvesPerSubpixel;
    if (!(length > 0) || extent > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    // Off the box the pointer stops at its edge, as a real one does.
    const double last = length * kSubpixelsPerPoint - 1;
    const double subpixel = std::clamp(std::floor(offset * kSubpixelsPerPoint), 0.0, last);
    return std::pair{static_cast<std::uint32_t>(subpixel) * kHalvesPerSubpixel + 1,
                     static_cast<std::uint32_t>(extent)};
}

} // namespace

WaylandScroll waylandScroll(std::int32_t dx, std::int32_t dy) {
    // Through double: the negation of the lowest int32 does not fit one.
    return {-static_cast<double>(dx), -static_cast<double>(dy)};
}

WlrootsEventPoster::WlrootsEventPoster() {
    // The device is made now, so that the first tap does not wait for it
    // to settle.
    {
        std::lock_guard lock(mutex_);
        pointer();
    }
    scrollPause_.emplace(mutex_, [this] {
        endScroll();
        send();
    });
}

WlrootsEventPoster::~WlrootsEventPoster() {
    const bool isScrolling = [this] {
        std::lock_guard lock(mutex_);
        return scrollPause_->isArmed();
    }();
    scrollPause_.reset();
    std::lock_guard lock(mutex_);
    if (isScrolling) {
        endScroll();
        connection_->dispatchPending();
    }
    dropDevice();
}

void WlrootsEventPoster::moveMouse(DisplayPoint point) {
    post(point, Button::none);
}

void WlrootsEventPoster::pressLeftButton(DisplayPoint point) {
    post(point, Button::press);
}

void WlrootsEventPoster::releaseLeftButton(DisplayPoint point) {
    post(point, Button::release);
}

// The compositor remembers the button pressed by an earlier start, so a
// plain motion is a drag.
void WlrootsEventPoster::dragMouse(DisplayPoint point) {
    post(point, Button::none);
}

void WlrootsEventPoster::post(DisplayPoint point, Button button) {
    std::lock_guard lock(mutex_);
    zwlr_virtual_pointer_v1* device = pointer();
    if (device == nullptr) {
        return;
    }
    if (scrollPause_->isArmed()) {
        endScroll();
    }
    const std::optional<Target> to = target(point);
    const std::uint32_t time = nowMilliseconds();
    if (to && !(button == Button::release && to == lastTarget_)) {
        zwlr_virtual_pointer_v1_motion_absolute(device, time, to->x, to->y, to->xExtent,
                                                to->yExtent);
        zwlr_virtual_pointer_v1_frame(device);
        lastTarget_ = to;
    }
    if ((button == Button::press && to) || button == Button::release) {
        zwlr_virtual_pointer_v1_button(device, time, BTN_LEFT,
                                       button == Button::press ? WL_POINTER_BUTTON_STATE_PRESSED
                                                               : WL_POINTER_BUTTON_STATE_RELEASED);
        zwlr_virtual_pointer_v1_frame(device);
    }
    send();
}

// wlroots applies axis_source to the axis named last, so the source follows
// each axis; the protocol allows it anywhere in the frame.
void WlrootsEventPoster::scrollPixels(std::int32_t dx, std::int32_t dy) {
    std::lock_guard lock(mutex_);
    zwlr_virtual_pointer_v1* device = pointer();
    if (device == nullptr) {
        return;
    }
    const WaylandScroll scroll = waylandScroll(dx, dy);
    const std::uint32_t time = nowMilliseconds();
    for (const auto& [axis, value] :
         {std::pair{WL_POINTER_AXIS_VERTICAL_SCROLL, scroll.vertical},
          std::pair{WL_POINTER_AXIS_HORIZONTAL_SCROLL, scroll.horizontal}}) {
        if (value != 0) {
            zwlr_virtual_pointer_v1_axis(device, time, axis, wl_fixed_from_double(value));
            zwlr_virtual_pointer_v1_axis_source(device, WL_POINTER_AXIS_SOURCE_FINGER);
        }
    }
    zwlr_virtual_pointer_v1_frame(device);
    scrollPause_->arm();
    send();
}

zwlr_virtual_pointer_v1* WlrootsEventPoster::pointer() {
    connection_ = session_.current();
    if (connection_ == nullptr || pointer_ != nullptr) {
        return pointer_;
    }
    manager_ = static_cast<zwlr_virtual_pointer_manager_v1*>(
        connection_->bind(zwlr_virtual_pointer_manager_v1_interface, 1, kManagerVersion));
    if (manager_ == nullptr) {
        return nullptr;
    }
    // No seat: the compositor's default one, where its real pointer lives.
    pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager_, nullptr);
    // Sway 1.7 drops the buttons of a pointer device until it has moved and
    // a moment has passed (verified with wev: a tap right after the device
    // appeared arrived as an entry without its press). A motion by nothing
    // wakes the device without moving the pointer; the wait costs once per
    // compositor.
    zwlr_virtual_pointer_v1_motion(pointer_, nowMilliseconds(), 0, 0);
    zwlr_virtual_pointer_v1_frame(pointer_);
    connection_->roundtrip();
    std::this_thread::sleep_for(kNewDeviceSettling);
    return pointer_;
}

void WlrootsEventPoster::send() {
    connection_ = session_.current();
}

// Also what the session runs before it closes a lost connection: the
// objects made on a connection go before it.
void WlrootsEventPoster::dropDevice() {
    if (pointer_ != nullptr) {
        zwlr_virtual_pointer_v1_destroy(pointer_);
        pointer_ = nullptr;
    }
    if (manager_ != nullptr) {
        zwlr_virtual_pointer_manager_v1_destroy(manager_);
        manager_ = nullptr;
    }
    connection_ = nullptr;
    lastTarget_.reset();
    if (scrollPause_) {
        scrollPause_->disarm();
    }
}

// The compositor places an absolute motion in the box around all its
// outputs; a global point is in the compositor's coordinates once the
// layout's origin is added.
std::optional<WlrootsEventPoster::Target> WlrootsEventPoster::target(DisplayPoint point) const {
    if (std::isnan(point.x) || std::isnan(point.y)) {
        return std::nullopt;
    }
    const GlobalDisplayLayout layout = connection_->layout();
    if (layout.displays.empty()) {
        return std::nullopt;
    }
    double minX = std::numeric_limits<double>::max();
    double minY = minX;
    double maxX = std::numeric_limits<double>::lowest();
    double maxY = maxX;
    for (const LaidOutDisplay& display : layout.displays) {
        minX = std::min(minX, display.rect.minX);
        minY = std::min(minY, display.rect.minY);
        maxX = std::max(maxX, display.rect.minX + display.rect.width);
        maxY = std::max(maxY, display.rect.minY + display.rect.height);
    }
    // The box and the point are both global here: the origin cancels out.
    const auto x = boxPosition(point.x - minX, maxX - minX);
    const auto y = boxPosition(point.y - minY, maxY - minY);
    if (!x || !y) {
        return std::nullopt;
    }
    return Target{x->first, y->first, x->second, y->second};
}

// Both axes stop, each with the finger as its source, in one frame.
void WlrootsEventPoster::endScroll() {
    const std::uint32_t time = nowMilliseconds();
    for (const auto axis : {WL_POINTER_AXIS_VERTICAL_SCROLL, WL_POINTER_AXIS_HORIZONTAL_SCROLL}) {
        zwlr_virtual_pointer_v1_axis_stop(pointer_, time, axis);
        zwlr_virtual_pointer_v1_axis_source(pointer_, WL_POINTER_AXIS_SOURCE_FINGER);
    }
    zwlr_virtual_pointer_v1_frame(pointer_);
    if (scrollPause_) {
        scrollPause_->disarm();
    }
}

} // namespace quorvi
