#include "platform/linux/x11/X11ErrorHandling.h"

#include <X11/Xlib.h>
#include <deque>
#include <mutex>
#include <unordered_map>

namespace quorvi::x11 {

namespace {

// Recorded errors per connection. Errors nobody traps (an asynchronous
// failure of a fire-and-forget request) would pile up, so only the newest
// few are kept.
constexpr std::size_t kMaxRecordedErrors = 16;

struct ErrorRecords {
    std::mutex mutex;
    std::unordered_map<Display*, std::deque<Error>> errors;
};

ErrorRecords& records() {
    static ErrorRecords instance;
    return instance;
}

// Called by Xlib on the thread whose request failed. It must not make X
// requests, and must return: Xlib's default prints and exits.
int recordError(Display* display, XErrorEvent* event) {
    ErrorRecords& all = records();
    std::lock_guard lock(all.mutex);
    auto& list = all.errors[display];
    if (list.size() >= kMaxRecordedErrors) {
        list.pop_front();
    }
    list.push_back(Error{event->error_code, event->request_code, event->minor_code, event->serial});
    return 0;
}

// Xlib calls this first when a connection breaks, then the connection's exit
// handler. The default prints a line to stderr; the loss is handled by the
// exit handler, so there is nothing to do here.
int ignoreIOError(Display*) {
    return 0;
}

void forgetErrors(Display* display) {
    ErrorRecords& all = records();
    std::lock_guard lock(all.mutex);
    all.errors.erase(display);
}

} // namespace

void installErrorHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(recordError);
        XSetIOErrorHandler(ignoreIOError);
    });
}

std::string errorText(XDisplay* display, const Error& error) {
    char text[256] = {};
    XGetErrorText(display, error.errorCode, text, sizeof text);
    return text;
}

ErrorTrap::ErrorTrap(XDisplay* display) : display_(display), firstSerial_(NextRequest(display)) {}

std::optional<Error> ErrorTrap::sync() {
    XSync(display_, False);
    ErrorRecords& all = records();
    std::lock_guard lock(all.mutex);
    auto found = all.errors.find(display_);
    if (found == all.errors.end()) {
        return std::nullopt;
    }
    std::optional<Error> first;
    auto& list = found->second;
    for (auto it = list.begin(); it != list.end();) {
        if (it->serial >= firstSerial_) {
            if (!first) {
                first = *it;
            }
            it = list.erase(it);
        } else {
            ++it;
        }
    }
    return first;
}

Connection::Connection(std::string displayName) : displayName_(std::move(displayName)) {
    installErrorHandlers();
}

Connection::~Connection() {
    close();
}

XDisplay* Connection::display() {
    if (display_ != nullptr && isLost_) {
        close();
    }
    if (display_ != nullptr) {
        return display_;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < nextAttempt_) {
        return nullptr;
    }
    display_ = XOpenDisplay(displayName_.empty() ? nullptr : displayName_.c_str());
    if (display_ == nullptr) {
        nextAttempt_ = now + kRetryInterval;
        return nullptr;
    }
    isLost_ = false;
    ++generation_;
    XSetIOErrorExitHandler(display_, &Connection::onIOErrorExit, this);
    return display_;
}

bool Connection::dropIfLost() {
    if (display_ == nullptr || !isLost_) {
        return false;
    }
    close();
    return true;
}

// Replaces Xlib's exit(1) after an IO error. From then on Xlib answers every
// call on this connection with failure without touching the socket, so the
// caller finishes its calls, then dropIfLost() closes it.
void Connection::onIOErrorExit(XDisplay*, void* connection) {
    static_cast<Connection*>(connection)->isLost_ = true;
}

void Connection::close() {
    if (display_ == nullptr) {
        return;
    }
    Display* display = display_;
    display_ = nullptr;
    isLost_ = false;
    XCloseDisplay(display);
    forgetErrors(display);
}

} // namespace quorvi::x11
