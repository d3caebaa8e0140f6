#include "platform/linux/gnome/VirtualMonitorStreams.h"

#include <utility>

namespace quorvi::gnome {

void VirtualMonitorStreams::add(DisplayID id, std::shared_ptr<PipeWireVideoStream> stream) {
    std::lock_guard guard(mutex_);
    streams_[id] = std::move(stream);
}

void VirtualMonitorStreams::remove(DisplayID id) {
    std::lock_guard guard(mutex_);
    streams_.erase(id);
}

std::shared_ptr<PipeWireVideoStream> VirtualMonitorStreams::find(DisplayID id) const {
    std::lock_guard guard(mutex_);
    const auto found = streams_.find(id);
    return found == streams_.end() ? nullptr : found->second;
}

} // namespace quorvi::gnome
