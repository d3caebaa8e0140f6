#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvi {

// One window that is on screen right now, as the capture visibility probe
// needs it.
struct VisibleWindow {
    // The platform's window identifier.
    std::uint64_t windowID = 0;
    // The name of the application the window belongs to, as shown to the
    // user (on X11 the WM_CLASS class); absent when nothing tells.
    std::optional<std::string> applicationName;
    // The process that owns the window, when the window says so (on X11
    // its _NET_WM_PID).
    std::optional<std::int64_t> ownerProcessID;
    // The window belongs to this very application, for a platform that
    // knows it other than by the process ID.
    bool isThisApplication = false;

    bool operator==(const VisibleWindow&) const = default;
};

// Either the on-screen windows in the platform's order (front to back or
// back to front, whatever it gives), or why they could not be read, in
// French (for example "serveur X injoignable").
struct WindowListResult {
    std::optional<std::vector<VisibleWindow>> windows;
    std::string errorDescription;
};

// The platform's list of on-screen windows, desktop windows included.
//
// Thread: any; the call blocks until the platform has answered, so it is
// made from a background task, never from the server's work queue or the
// main thread.
class WindowListSource {
public:
    virtual ~WindowListSource() = default;

    virtual WindowListResult onScreenWindows() = 0;
};

} // namespace quorvi
