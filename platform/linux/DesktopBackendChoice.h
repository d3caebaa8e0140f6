#pragma once

#include "platform/linux/DesktopBackend.h"

#include <string>

namespace quorvi {

// The desktop back-end for this session. requested names one ("x11",
// "wlroots", "gnome") to use it whatever the session looks like; empty
// chooses: a Wayland session whose compositor offers wlroots' screen copy
// and virtual pointer is served by wlroots; a Wayland session whose bus has
// Mutter's screen-cast service by gnome; an X server that is not XWayland by
// x11; anything else also by x11, whose grants then say what is missing
// (under XWayland a grab would only see X clients).
//
// Thread: any; the choice opens short-lived connections to ask.
DesktopBackend makeDesktopBackend(const std::string& requested);

} // namespace quorvi
