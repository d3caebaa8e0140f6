#include "platform/MonitorConfiguration.h"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace quorvi {

namespace {

constexpr std::uint32_t kFnvOffsetBasis = 2166136261u;
constexpr std::uint32_t kFnvPrime = 16777619u;

// FNV-1a: short, well spread, and the same on every build and machine. The
// terminator goes in too, so that ("ab", "c") and ("a", "bc") differ.
std::uint32_t fnv1a(std::uint32_t hash, const std::string& text) {
    for (const char character : std::string_view(text.c_str(), text.size() + 1)) {
        hash ^= static_cast<unsigned char>(character);
        hash *= kFnvPrime;
    }
    return hash;
}

const PhysicalMonitor* monitorOn(const MonitorConfiguration& configuration,
                                 const std::string& connector) {
    for (const PhysicalMonitor& monitor : configuration.monitors) {
        if (monitor.identity.connector == connector && monitor.currentMode) {
            return &monitor;
        }
    }
    return nullptr;
}

} // namespace

DisplayID monitorDisplayID(const MonitorIdentity& identity) {
    std::uint32_t hash = kFnvOffsetBasis;
    for (const std::string* part :
         {&identity.connector, &identity.vendor, &identity.product, &identity.serial}) {
        hash = fnv1a(hash, *part);
    }
    return hash != 0 ? hash : kFnvOffsetBasis;
}

MonitorLayout monitorLayout(const MonitorConfiguration& configuration) {
    std::vector<LaidOutDisplay> displays;
    std::optional<DisplayID> primaryID;
    std::map<DisplayID, std::string> connectors;
    for (const LogicalMonitor& logical : configuration.logicalMonitors) {
        const PhysicalMonitor* monitor = nullptr;
        for (const std::string& connector : logical.connectors) {
            if ((monitor = monitorOn(configuration, connector)) != nullptr) {
                break;
            }
        }
        if (monitor == nullptr) {
            continue;
        }
        DisplayID id = monitorDisplayID(monitor->identity);
        // Two monitors whose identities hash alike still get distinct
        // identifiers; only the later one's depends on the order.
        while (id == 0 || connectors.contains(id)) {
            ++id;
        }
        connectors[id] = monitor->identity.connector;

        const bool isTurned = logical.transform % 2 == 1;
        const std::int32_t pixelsWide =
            isTurned ? monitor->currentMode->height : monitor->currentMode->width;
        const std::int32_t pixelsHigh =
            isTurned ? monitor->currentMode->width : monitor->currentMode->height;
        double width = pixelsWide;
        double height = pixelsHigh;
        if (configuration.layoutMode == MonitorLayoutMode::logical && logical.scale > 0) {
            width = std::round(width / logical.scale);
            height = std::round(height / logical.scale);
        }
        displays.push_back(
            {id,
             {static_cast<double>(logical.x), static_cast<double>(logical.y), width, height},
             static_cast<std::size_t>(std::max(pixelsWide, 0)),
             static_cast<std::size_t>(std::max(pixelsHigh, 0))});
        if (logical.isPrimary && !primaryID) {
            primaryID = id;
        }
    }
    MonitorLayout layout{globalDisplayLayout(displays, primaryID), {}};
    for (const LaidOutDisplay& display : layout.global.displays) {
        layout.connectors[display.id] = connectors[display.id];
    }
    return layout;
}

} // namespace quorvi
