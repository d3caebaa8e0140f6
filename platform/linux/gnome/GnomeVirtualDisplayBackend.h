#pragma once

#include "display/VirtualDisplayBackend.h"

#include <memory>
#include <mutex>

namespace quorvi {

class GnomeDisplayServices;
namespace gnome {
class VirtualMonitorStreams;
}

// Virtual displays on GNOME: a virtual monitor recorded by a screen-cast
// session of our own, whose size is the one our PipeWire stream fixes when
// it connects (2w × 2h pixels), given scale 2 and placed through Mutter's
// display configuration. Mutter keeps the monitor exactly as long as the
// stream is consumed and the session's bus connection lives, so it goes
// when the display object is destroyed and also when this process dies,
// however it dies: no run can leave one behind. The stream is registered
// with the virtual monitor streams, where the capture finds it.
//
// Thread: any; one creation at a time (a mutex). The displays it makes may
// outlive the backend.
class GnomeVirtualDisplayBackend final : public VirtualDisplayBackend {
public:
    GnomeVirtualDisplayBackend(std::shared_ptr<GnomeDisplayServices> displays,
                               std::shared_ptr<gnome::VirtualMonitorStreams> streams);

    // Failures: unavailable when Mutter's screen-cast service does not
    // answer; creationFailed otherwise, with the reason in French.
    VirtualDisplayCreation create(const VirtualDisplayDescriptor& descriptor,
                                  const VirtualDisplaySettings& settings) override;

private:
    std::shared_ptr<GnomeDisplayServices> displays_;
    std::shared_ptr<gnome::VirtualMonitorStreams> streams_;
    std::mutex mutex_;
};

} // namespace quorvi
