#pragma once

#include "platform/DisplayLayout.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvi {

// What names a physical monitor for as long as it is plugged in, and again
// when it comes back: its connector and what its EDID says.
struct MonitorIdentity {
    std::string connector;
    std::string vendor;
    std::string product;
    std::string serial;

    bool operator==(const MonitorIdentity&) const = default;
};

// A physical monitor as Mutter's display configuration lists it.
struct PhysicalMonitor {
    MonitorIdentity identity;
    // The mode in use ("1920x1200@60.000") and its size in pixels; absent
    // while the monitor is off.
    struct Mode {
        std::string id;
        std::int32_t width = 0;
        std::int32_t height = 0;

        bool operator==(const Mode&) const = default;
    };
    std::optional<Mode> currentMode;

    bool operator==(const PhysicalMonitor&) const = default;
};

// A region of the desktop shown by one monitor, or by several mirroring
// each other.
struct LogicalMonitor {
    // Top-left corner in the layout's units.
    std::int32_t x = 0;
    std::int32_t y = 0;
    double scale = 1;
    // Wayland's output transform: 0 normal, 1 to 3 rotated by 90° steps,
    // 4 to 7 the same flipped.
    std::uint32_t transform = 0;
    bool isPrimary = false;
    // The connectors of the monitors showing it.
    std::vector<std::string> connectors;

    bool operator==(const LogicalMonitor&) const = default;
};

// How positions and sizes of logical monitors are counted: in logical
// pixels (a monitor covers its mode divided by its scale) or in physical
// pixels (it covers its whole mode, whatever the scale).
enum class MonitorLayoutMode : std::uint32_t { logical = 1, physical = 2 };

// Mutter's current display configuration; serial names it in requests that
// change it, which Mutter refuses once it has changed since.
struct MonitorConfiguration {
    std::uint32_t serial = 0;
    std::vector<PhysicalMonitor> monitors;
    std::vector<LogicalMonitor> logicalMonitors;
    MonitorLayoutMode layoutMode = MonitorLayoutMode::physical;

    bool operator==(const MonitorConfiguration&) const = default;
};

// The displays of a configuration in the global display space, and the
// connector each display is recorded from.
struct MonitorLayout {
    GlobalDisplayLayout global;
    std::map<DisplayID, std::string> connectors;

    bool operator==(const MonitorLayout&) const = default;
};

// A nonzero identifier that depends only on the monitor's identity, so the
// same monitor keeps it across reconfigurations and restarts.
//
// Thread: any (pure).
DisplayID monitorDisplayID(const MonitorIdentity& identity);

// One display per logical monitor, named and sized after its first monitor
// that has a mode (mirrors show the same picture): its area is the mode in
// the layout's units, turned a quarter when the monitor is rotated, and its
// pixels the mode, turned likewise. The primary logical monitor is the main
// display. Logical monitors without a monitor in use are left out.
//
// Thread: any (pure).
MonitorLayout monitorLayout(const MonitorConfiguration& configuration);

} // namespace quorvi
