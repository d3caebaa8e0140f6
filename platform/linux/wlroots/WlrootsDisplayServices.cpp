#include "platform/linux/wlroots/WlrootsDisplayServices.h"

namespace quorvi {

namespace {
// Layout changes arrive as events; reading them this often keeps the answers
// fresh without a round trip on every call (several are made per frame).
constexpr auto kRefreshInterval = std::chrono::milliseconds(5);
} // namespace

WlrootsDisplayServices::WlrootsDisplayServices() : session_(kRefreshInterval) {}

GlobalDisplayLayout WlrootsDisplayServices::layout() {
    std::lock_guard lock(mutex_);
    wayland::Connection* connection = session_.current();
    return connection != nullptr ? connection->layout() : GlobalDisplayLayout{};
}

std::optional<LaidOutDisplay> WlrootsDisplayServices::find(DisplayID id) {
    for (const LaidOutDisplay& display : layout().displays) {
        if (display.id == id) {
            return display;
        }
    }
    return std::nullopt;
}

DisplayID WlrootsDisplayServices::mainDisplayID() {
    return layout().mainID;
}

DisplayRect WlrootsDisplayServices::bounds(DisplayID id) {
    const auto display = find(id);
    return display ? display->rect : DisplayRect{};
}

std::size_t WlrootsDisplayServices::pixelsWide(DisplayID id) {
    const auto display = find(id);
    return display ? display->pixelsWide : 0;
}

std::size_t WlrootsDisplayServices::pixelsHigh(DisplayID id) {
    const auto display = find(id);
    return display ? display->pixelsHigh : 0;
}

std::vector<DisplayID> WlrootsDisplayServices::onlineDisplayIDs() {
    std::vector<DisplayID> ids;
    for (const LaidOutDisplay& display : layout().displays) {
        ids.push_back(display.id);
    }
    return ids;
}

std::optional<DisplayPoint> WlrootsDisplayServices::pointerLocation() {
    return std::nullopt;
}

DisplayID WlrootsDisplayServices::displayNamed(const std::string& outputName) {
    std::lock_guard lock(mutex_);
    wayland::Connection* connection = session_.current();
    if (connection == nullptr || !connection->roundtrip()) {
        return 0;
    }
    for (const wayland::Output& output : connection->outputs()) {
        if (output.isComplete && output.name == outputName) {
            return output.registryName;
        }
    }
    return 0;
}

} // namespace quorvi
