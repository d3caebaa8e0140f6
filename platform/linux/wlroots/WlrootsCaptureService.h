#pragma once

#include "capture/CaptureService.h"

#include <memory>

namespace quorvi {

// Screen capture on wlroots compositors (sway, Hyprland, river) through
// zwlr_screencopy_manager_v1. Each running stream has a capture thread with
// its own Wayland connection that keeps one copy request of its output
// outstanding: the compositor answers it only once the output changed,
// copying the output, pointer included, into a shared-memory buffer and
// saying which parts changed; only those are taken into the picture, and
// a tick without an answer delivers the last picture again.
//
// A compositor that goes away, an output that does, or a copy the
// compositor refuses ends the stream with a French reason. The windows of
// the shareable content are not listed: a copy of an output cannot leave
// any of them out anyway.
//
// Thread: the service is called from any thread; destroying it stops every
// stream it started and waits for their capture threads.
std::shared_ptr<CaptureService> makeWlrootsCaptureService();

} // namespace quorvi
