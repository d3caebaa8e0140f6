#pragma once

#include "capture/CaptureService.h"

#include <memory>

namespace quorvi {

class GnomeDisplayServices;
namespace gnome {
class VirtualMonitorStreams;
} // namespace gnome

// Screen capture on GNOME through Mutter's screen-cast service. A monitor is
// recorded by a screen-cast session of the stream's own, pointer drawn in
// by Mutter, and its pictures come over PipeWire in shared memory; the
// session lasts as long as the stream. A virtual monitor of ours is read
// from the stream that made it, never recorded again: Mutter keeps it only
// while that stream is consumed.
//
// The stream ends with a French reason when Mutter closes it, PipeWire goes
// away or the monitor does. The windows of the shareable content are not
// listed: GNOME has no public list of other applications' windows.
//
// Thread: the service is called from any thread; destroying it stops every
// stream it started and waits for their capture threads.
std::shared_ptr<CaptureService>
makeGnomeCaptureService(std::shared_ptr<GnomeDisplayServices> displays,
                        std::shared_ptr<gnome::VirtualMonitorStreams> virtuals);

} // namespace quorvi
