#include "platform/linux/gnome/GnomeEventPoster.h"

#include "platform/linux/gnome/GnomeDisplayServices.h"

#include <linux/input-event-codes.h>
#include <thread>

namespace quorvi {

namespace {

// A Mutter that refuses sessions is not asked again at every tap.
constexpr auto kSessionRetryInterval = std::chrono::seconds(1);

// Mutter adds a remote-desktop session's pointer to the seat a moment after
// the session starts; a motion sent before is lost on clients that had no
// pointer yet (a headless GNOME has no other one).
constexpr auto kNewDeviceSettling = std::chrono::milliseconds(100);
constexpr auto kFirstMotionRepeatDelay = std::chrono::milliseconds(50);

} // namespace

GnomeEventPoster::GnomeEventPoster(std::shared_ptr<GnomeDisplayServices> displays)
    : displays_(std::move(displays)) {
    scrollPause_.emplace(mutex_, [this] { finishScroll(); });
}

GnomeEventPoster::~GnomeEventPoster() {
    const bool isScrolling = [this] {
        std::lock_guard lock(mutex_);
        return scrollPause_->isArmed();
    }();
    scrollPause_.reset();
    std::lock_guard lock(mutex_);
    if (isScrolling) {
        finishScroll();
    }
}

void GnomeEventPoster::moveMouse(DisplayPoint point) {
    post(point, Button::none);
}

void GnomeEventPoster::pressLeftButton(DisplayPoint point) {
    post(point, Button::press);
}

void GnomeEventPoster::releaseLeftButton(DisplayPoint point) {
    post(point, Button::release);
}

// Mutter remembers the button pressed by an earlier start, so a plain motion
// is a drag.
void GnomeEventPoster::dragMouse(DisplayPoint point) {
    post(point, Button::none);
}

void GnomeEventPoster::post(DisplayPoint point, Button button) {
    const GlobalDisplayLayout layout = displays_->layout();
    std::lock_guard lock(mutex_);
    gnome::MutterSession* remote = session(layout);
    if (remote == nullptr) {
        return;
    }
    if (scrollPause_->isArmed()) {
        finishScroll();
    }
    const std::optional<DisplayPixel> pixel = displayPixelAt(layout, point);
    // A release where the press was adds no motion.
    if (pixel && !(button == Button::release && pixel == lastPixel_)) {
        remote->movePointer(streamOf_.at(pixel->id), pixel->x, pixel->y);
        if (!hasMoved_) {
            // Mutter shows its pointer on the first motion of a new device,
            // too late for that motion to reach the window under it: the
            // same motion again does.
            std::this_thread::sleep_for(kFirstMotionRepeatDelay);
            remote->movePointer(streamOf_.at(pixel->id), pixel->x, pixel->y);
            hasMoved_ = true;
        }
        lastPixel_ = pixel;
    }
    if ((button == Button::press && pixel) || button == Button::release) {
        remote->setButton(BTN_LEFT, button == Button::press);
    }
}

// The content follows the finger the same way on both systems, but the
// Mac's wheel signs (a positive dy scrolls up) are the opposite of Mutter's
// (a positive dy scrolls down): both signs turn over.
void GnomeEventPoster::scrollPixels(std::int32_t dx, std::int32_t dy) {
    const GlobalDisplayLayout layout = displays_->layout();
    std::lock_guard lock(mutex_);
    gnome::MutterSession* remote = session(layout);
    if (remote == nullptr) {
        return;
    }
    remote->scroll(-static_cast<double>(dx), -static_cast<double>(dy), false);
    scrollPause_->arm();
}

gnome::MutterSession* GnomeEventPoster::session(const GlobalDisplayLayout& layout) {
    if (session_ != nullptr && layout == sessionLayout_ && session_->isAlive()) {
        return session_.get();
    }
    // A scroll of the old session cannot be finished by the new one.
    if (scrollPause_) {
        scrollPause_->disarm();
    }
    session_.reset();
    streamOf_.clear();
    lastPixel_.reset();
    hasMoved_ = false;
    const auto now = std::chrono::steady_clock::now();
    if (layout.displays.empty() ||
        (lastSessionAttempt_ && now - *lastSessionAttempt_ < kSessionRetryInterval)) {
        return nullptr;
    }
    lastSessionAttempt_ = now;
    std::string error;
    auto made = gnome::MutterSession::create(gnome::MutterSession::Kind::remoteDesktop, error);
    if (made == nullptr) {
        return nullptr;
    }
    std::map<DisplayID, std::size_t> streams;
    for (const LaidOutDisplay& display : layout.displays) {
        const auto connector = displays_->connectorOf(display.id);
        const auto stream = connector ? made->recordMonitor(*connector, error) : std::nullopt;
        if (!stream) {
            return nullptr;
        }
        streams[display.id] = *stream;
    }
    if (!made->start(error)) {
        return nullptr;
    }
    session_ = std::move(made);
    streamOf_ = std::move(streams);
    sessionLayout_ = layout;
    std::this_thread::sleep_for(kNewDeviceSettling);
    return session_.get();
}

void GnomeEventPoster::finishScroll() {
    if (session_ != nullptr) {
        session_->scroll(0, 0, true);
    }
    if (scrollPause_) {
        scrollPause_->disarm();
    }
}

} // namespace quorvi
