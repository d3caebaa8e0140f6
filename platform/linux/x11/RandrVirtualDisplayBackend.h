#pragma once

#include "display/VirtualDisplayBackend.h"

#include <cstdint>
#include <memory>
#include <string>

namespace quorvi {

// Timings of a mode by VESA's Coordinated Video Timings with normal blanking
// (what the `cvt` tool prints): the clock in kHz, the horizontal and vertical
// edges in pixels and lines, negative horizontal and positive vertical sync.
// Blanking is worked out on whole 8-pixel cells; a width that is not a
// multiple of 8 keeps its exact value and gets the extra pixels as front
// porch, because the display must be exactly as wide as asked.
struct CvtModeLine {
    int clockKHz = 0;
    int hDisplay = 0;
    int hSyncStart = 0;
    int hSyncEnd = 0;
    int hTotal = 0;
    int vDisplay = 0;
    int vSyncStart = 0;
    int vSyncEnd = 0;
    int vTotal = 0;

    bool operator==(const CvtModeLine&) const = default;
};
CvtModeLine cvtModeLine(int width, int height, double refreshRate);

// Whether and how the X screen must grow for a display whose far corner is
// (right, bottom) in root pixels.
enum class RandrScreenGrowth {
    none,       // it already fits
    grow,       // the screen grows to width x height, within its size range
    cannotGrow, // the screen's size range allows no growth at all (Xvfb)
    tooLarge,   // it can grow, but not that far
};

struct RandrScreenPlan {
    RandrScreenGrowth growth = RandrScreenGrowth::none;
    int width = 0;
    int height = 0;
};

RandrScreenPlan planRandrScreen(int currentWidth, int currentHeight, int maxWidth, int maxHeight,
                                std::int64_t right, std::int64_t bottom);

// Virtual displays on an X server through RandR 1.5, on a spare output.
//
// A monitor alone would not do: the X server keeps the pointer inside the
// lit CRTCs, so taps aimed at a monitor without one would land on the main
// display's edge. So a display is made by taking a disconnected output with
// a free CRTC, adding a mode of the display's pixel size (CVT timings) to
// it, growing the screen within its size range, lighting the CRTC right of
// the main display with top edges aligned, and binding to that output a
// monitor named "Quorvi-" + serial + "-" + counter, a name never used before
// on that server, so that every display gets a new identifier: the name's
// atom. Removing it undoes each step and shrinks the screen back.
//
// Monitors, modes and CRTC settings belong to the X server, not to our
// connection: a process that dies without removing its display leaves it
// behind. Each name ends with its run's process id and start time, so that
// every start of the server and every creation remove the leftovers of runs
// that are gone and only theirs: another live instance (another user, on
// another port) keeps its display. The application still removes its
// display on every way out (the controller's stop()).
//
// Thread: any; one X connection of its own, one caller at a time (a mutex).
// The displays it makes share that connection and mutex, and may outlive the
// backend.
class RandrVirtualDisplayBackend final : public VirtualDisplayBackend {
public:
    // Every monitor and mode name of ours starts so.
    static constexpr const char* kNamePrefix = "Quorvi-";

    // An empty name means $DISPLAY.
    explicit RandrVirtualDisplayBackend(std::string displayName = {});
    ~RandrVirtualDisplayBackend() override;

    // Failures: unavailable when the server lacks RandR 1.5 or its screen
    // cannot grow and the display does not fit; creationFailed otherwise
    // (no spare output, too large, a refused request, no X server), with the
    // reason in French for the journal.
    VirtualDisplayCreation create(const VirtualDisplayDescriptor& descriptor,
                                  const VirtualDisplaySettings& settings) override;
    std::vector<std::string> removeLeftovers() override;

    struct Session;

private:
    std::shared_ptr<Session> session_;
};

// The backend the application's virtual display controller is built with.
std::shared_ptr<VirtualDisplayBackend> makeRandrVirtualDisplayBackend(std::string displayName = {});

} // namespace quorvi
