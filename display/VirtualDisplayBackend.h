#pragma once

#include "platform/DisplayServices.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvi {

// What the controller asks of the platform to make one virtual display. The
// controller decides every value (names, numbers, sizes); a backend only
// turns them into a display of its system and may ignore what its system
// has no use for (an X server has no vendor or product numbers).
struct VirtualDisplayDescriptor {
    std::string name;
    std::uint32_t vendorID = 0;
    std::uint32_t productID = 0;
    std::uint32_t serialNumber = 0;
    // The largest picture the display may show, in pixels.
    std::int64_t maxPixelsWide = 0;
    std::int64_t maxPixelsHigh = 0;
    double widthMillimeters = 0;
    double heightMillimeters = 0;

    bool operator==(const VirtualDisplayDescriptor&) const = default;
};

// One mode of the display, in points.
struct VirtualDisplayMode {
    std::int64_t width = 0;
    std::int64_t height = 0;
    double refreshRate = 0;

    bool operator==(const VirtualDisplayMode&) const = default;
};

// hiDPI: two pixels per point in each direction.
struct VirtualDisplaySettings {
    bool isHiDPI = false;
    std::vector<VirtualDisplayMode> modes;

    bool operator==(const VirtualDisplaySettings&) const = default;
};

// A display's size in pixels.
struct VirtualDisplayPixelSize {
    std::int64_t wide = 0;
    std::int64_t high = 0;
};

// The size in pixels a backend gives the display: the settings' first mode,
// doubled in each direction when hiDPI (two pixels per point), within the
// descriptor's largest picture where it names one. Absent when no mode is
// asked for. The backend still checks the result against its system's
// limits.
//
// Thread: any (pure).
std::optional<VirtualDisplayPixelSize>
virtualDisplayPixelSize(const VirtualDisplayDescriptor& descriptor,
                        const VirtualDisplaySettings& settings);

// One display made by a backend. It exists exactly as long as this object:
// destroying it removes the display from the system.
//
// Thread: any, one caller at a time (the controller calls it under its lock).
class VirtualDisplay {
public:
    virtual ~VirtualDisplay() = default;

    // The display's identifier in the global display space; 0 when the
    // system gave it none.
    virtual DisplayID displayID() = 0;

    // Moves the display's top-left corner to (x, y) of the global display
    // space. Failures are tolerated: the display stays where it is.
    virtual void moveTo(std::int32_t x, std::int32_t y) = 0;
};

// The answer of a creation: the display, or why there is none.
struct VirtualDisplayCreation {
    enum class Failure {
        none,
        // The system offers no virtual displays at all.
        unavailable,
        // It does, but this one could not be made.
        creationFailed,
    };

    // A creation that failed, with why.
    static VirtualDisplayCreation failed(Failure failure, std::string reason) {
        VirtualDisplayCreation creation;
        creation.failure = failure;
        creation.reason = std::move(reason);
        return creation;
    }

    std::unique_ptr<VirtualDisplay> display;
    Failure failure = Failure::none;
    // Why, in words for the journal (French, like every journal line);
    // may be empty.
    std::string reason;
};

// Makes virtual displays on one system: the seam between the controller's
// rules (reuse, numbering, placement, waiting) and the platform calls.
//
// Thread: any; implementations serialize their own platform calls.
class VirtualDisplayBackend {
public:
    virtual ~VirtualDisplayBackend() = default;

    // Makes a display with the descriptor's identity, showing the settings'
    // first mode, placed where the system puts a new display (the
    // controller moves it afterwards).
    virtual VirtualDisplayCreation create(const VirtualDisplayDescriptor& descriptor,
                                          const VirtualDisplaySettings& settings) = 0;

    // Removes what runs of this application that are gone (killed, crashed)
    // left in the system, and only that; the names of what it removed. A
    // system that removes a display with its owner has nothing to do.
    virtual std::vector<std::string> removeLeftovers() { return {}; }
};

// How the controller lets time pass while it waits for a new display to come
// online; a seam so that tests need not wait for real.
//
// Thread: any.
class WaitClock {
public:
    virtual ~WaitClock() = default;
    // Seconds on a clock that never jumps; the origin is the clock's own.
    virtual double now() = 0;
    virtual void sleepFor(std::chrono::milliseconds duration) = 0;
};

// The steady clock and a real sleep. Thread: any.
class SteadyWaitClock final : public WaitClock {
public:
    double now() override;
    void sleepFor(std::chrono::milliseconds duration) override;
};

} // namespace quorvi
