#include "platform/linux/x11/X11PrivacyGrants.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace quorvi {

namespace {

bool hasExtension(Display* display, const char* name) {
    int opcode = 0;
    int firstEvent = 0;
    int firstError = 0;
    return XQueryExtension(display, name, &opcode, &firstEvent, &firstError) != False;
}

// Reading one pixel exercises the same path as a capture (GetImage on the
// root) without its cost; a server that refuses it, by policy or because it
// is going away, refuses the capture too.
bool canReadRootPixel(Display* display) {
    x11::ErrorTrap trap(display);
    XImage* image = XGetImage(display, DefaultRootWindow(display), 0, 0, 1, 1, AllPlanes, ZPixmap);
    const bool hasError = trap.sync().has_value();
    if (image == nullptr) {
        return false;
    }
    XDestroyImage(image);
    return !hasError;
}

} // namespace

X11PrivacyGrants::X11PrivacyGrants(std::string displayName) : connection_(std::move(displayName)) {}

X11PrivacyGrants::~X11PrivacyGrants() = default;

bool X11PrivacyGrants::isScreenRecordingGranted() {
    std::lock_guard lock(mutex_);
    return answers().screenRecording;
}

bool X11PrivacyGrants::isAccessibilityGranted() {
    std::lock_guard lock(mutex_);
    return answers().accessibility;
}

// Called with mutex_ held.
X11PrivacyGrants::Answers X11PrivacyGrants::answers() {
    const auto now = std::chrono::steady_clock::now();
    if (checkedAt_ && now - *checkedAt_ < kCacheLifetime) {
        return cached_;
    }
    cached_ = check();
    checkedAt_ = now;
    return cached_;
}

// Called with mutex_ held.
X11PrivacyGrants::Answers X11PrivacyGrants::check() {
    x11::XDisplay* display = connection_.display();
    if (display == nullptr) {
        return {};
    }
    if (!extensions_ || extensions_->generation != connection_.generation()) {
        Extensions found;
        found.generation = connection_.generation();
        found.hasXTest = hasExtension(display, "XTEST");
        found.isXWayland = hasExtension(display, "XWAYLAND");
        // Answers of a connection that broke meanwhile say nothing.
        if (connection_.dropIfLost()) {
            extensions_.reset();
            return {};
        }
        extensions_ = found;
    }
    if (extensions_->isXWayland) {
        return {};
    }
    Answers answers;
    answers.screenRecording = canReadRootPixel(display);
    answers.accessibility = extensions_->hasXTest;
    if (connection_.dropIfLost()) {
        extensions_.reset();
        return {};
    }
    return answers;
}

std::shared_ptr<PrivacyGrants> makeX11PrivacyGrants(std::string displayName) {
    return std::make_shared<X11PrivacyGrants>(std::move(displayName));
}

} // namespace quorvi
