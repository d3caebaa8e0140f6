#pragma once

#include "capture/WindowListSource.h"
#include "platform/linux/x11/X11ErrorHandling.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorvi {

// The on-screen windows of an X11 desktop, for the capture visibility
// probe:
// - with a window manager, its _NET_CLIENT_LIST, keeping the windows that
//   are viewable and not minimized (_NET_WM_STATE_HIDDEN);
// - without one (no _NET_CLIENT_LIST on the root), the viewable top-level
//   windows in stacking order, each taken at the child that carries
//   WM_STATE (the client's window inside a frame), else as it is.
// A window's application is its WM_CLASS class; it belongs to this
// application when its _NET_WM_PID is our process.
//
// Each call opens its own connection and closes it: the probe runs rarely
// (on start and on demand), and nothing is kept between calls, so there is
// no state to guard and a restarted X server is simply met next time. A
// server that cannot be reached, or goes away during the call, is an error
// text, never a crash.
//
// Thread: any; the call blocks on the X server.
class X11WindowList final : public WindowListSource {
public:
    // An empty name means $DISPLAY.
    explicit X11WindowList(std::string displayName = {});

    WindowListResult onScreenWindows() override;

private:
    const std::string displayName_;
};

// The windows as X11WindowList describes them, read on a connection the
// caller holds (and checks for loss afterwards); thisProcessID decides
// isThisApplication.
//
// Thread: the thread using the connection.
std::vector<VisibleWindow> readVisibleWindows(x11::XDisplay* display, std::int64_t thisProcessID);

std::shared_ptr<WindowListSource> makeX11WindowList(std::string displayName = {});

} // namespace quorvi
