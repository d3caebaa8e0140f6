#pragma once

#include "platform/DisplayServices.h"
#include "platform/linux/gnome/PipeWireVideoStream.h"

#include <map>
#include <memory>
#include <mutex>

namespace quorvi::gnome {

// The streams of the virtual monitors this process made, by display. Mutter
// keeps a virtual monitor only while its stream is consumed, so whoever
// captures such a display reads the stream that keeps it alive rather than
// recording the monitor a second time.
//
// Thread: any; every call is serialized by its mutex.
class VirtualMonitorStreams {
public:
    // Replaces whatever id had.
    void add(DisplayID id, std::shared_ptr<PipeWireVideoStream> stream);
    void remove(DisplayID id);
    // nullptr when id is no virtual monitor of ours.
    std::shared_ptr<PipeWireVideoStream> find(DisplayID id) const;

private:
    mutable std::mutex mutex_;
    std::map<DisplayID, std::shared_ptr<PipeWireVideoStream>> streams_;
};

} // namespace quorvi::gnome
