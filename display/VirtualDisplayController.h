#pragma once

#include "display/VirtualDisplayBackend.h"
#include "platform/DisplayServices.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorvi {

class Clock;

// Why start() made no display. The one failure of the system that crosses a
// component boundary as an exception: start() throws it, and callers show
// description() inside their own status lines.
//
// Thread: any; a value that never changes once made.
class VirtualDisplayError final : public std::exception {
public:
    enum class Kind {
        displayNotOnline,
        classesUnavailable,
        displayCreationFailed,
        displayIDUnavailable,
    };

    // Made but never seen among the online displays.
    static VirtualDisplayError displayNotOnline(DisplayID id);
    // The system offers no virtual displays.
    static VirtualDisplayError classesUnavailable(std::string reason = {});
    // reason: what went wrong, for the journal; never part of description().
    static VirtualDisplayError displayCreationFailed(std::string reason = {});
    // Made, but the system gave it no identifier.
    static VirtualDisplayError displayIDUnavailable();

    Kind kind() const { return kind_; }
    // The display of displayNotOnline; 0 for the other cases.
    DisplayID displayID() const { return displayID_; }
    // The localized description, e.g. "Création écran virtuel échouée".
    const std::string& description() const { return description_; }
    // The platform's reason when it gave one (displayCreationFailed,
    // classesUnavailable), else empty. Meant for the journal.
    const std::string& reason() const { return reason_; }

    const char* what() const noexcept override { return description_.c_str(); }

private:
    VirtualDisplayError(Kind kind, DisplayID id, std::string reason);

    Kind kind_;
    DisplayID displayID_;
    std::string description_;
    std::string reason_;
};

// The serial and product numbers a display made at a given time carries:
// starts in different seconds give different serials, and as a rule
// different products.
struct VirtualDisplayNumbers {
    std::uint32_t serialNumber = 0; // t AND 0x7FFF, t the whole seconds since 1970
    std::uint32_t productID = 0;    // 0x1000 OR (serial mod 4095): 4096 to 8190
};
VirtualDisplayNumbers virtualDisplayNumbers(double secondsSince1970);

// The extra display that extended mode streams, and the two queries over all
// online displays that the server uses to tell whether that display is
// still there and to describe the layout in its status texts.
//
// start() and stop() run on the caller's thread: the backend needs no main
// thread, so the work queue never waits for the main thread and a stop() from
// the main thread never waits for the work queue to finish a start. Every
// backend call is made under one lock, after checking that no stop() came
// in between, so when stop() returns no display exists and a start() that was
// under way cannot make one any more; that start() fails instead. The lock
// is held for single backend calls (a few X round trips), never across the
// wait for the display to come online.
//
// Thread: any. The static queries touch no field.
class VirtualDisplayController {
public:
    // How long a new display has to come online, and how often it is looked
    // for meanwhile.
    static constexpr double kOnlineTimeoutSeconds = 3.0;
    static constexpr std::chrono::milliseconds kOnlinePollInterval{50};

    // No backend: every start() fails with classesUnavailable, stop() and
    // the queries still work.
    VirtualDisplayController();
    // clock seeds the serial and product numbers (the system clock when
    // null); waitClock paces the online wait (the steady clock when null).
    VirtualDisplayController(std::shared_ptr<VirtualDisplayBackend> backend,
                             std::shared_ptr<DisplayServices> displays,
                             std::shared_ptr<Clock> clock = nullptr,
                             std::shared_ptr<WaitClock> waitClock = nullptr);
    // Removes the display, if any.
    ~VirtualDisplayController();
    VirtualDisplayController(const VirtualDisplayController&) = delete;
    VirtualDisplayController& operator=(const VirtualDisplayController&) = delete;

    // Makes sure a display of width x height points exists and is online,
    // and returns its identifier: the current one when it has that size and
    // is still online, else a new one (the old one is removed first), placed
    // right of the main display with top edges aligned. Blocks up to about
    // three seconds while a new display comes online.
    // Throws VirtualDisplayError; a failed start leaves no display.
    DisplayID start(std::int64_t width, std::int64_t height);

    // Removes the display, if any; harmless without one. From any thread,
    // also while another thread is inside start(): that start() then fails
    // and leaves nothing behind.
    void stop();

    // Removes what runs of the application that are gone left behind (a
    // killed run's display); the names of what it removed. Never touches
    // this controller's display or another live run's.
    std::vector<std::string> removeLeftovers();

    // Makes a start() under way fail at its next step and leave nothing
    // behind, as stop() does, but keeps a display that a finished start()
    // made: whoever streams it can stop first, then remove it with stop().
    // From any thread.
    void cancelStart();

    // The current virtual display, if one exists.
    std::optional<DisplayID> displayID() const;

    // Every online display, in the system's order.
    static std::vector<DisplayID> onlineDisplayIDs(DisplayServices& displays);

    // One line per online display, in the same order: "#" + ID + " " + width
    // + "x" + height + " @ " + x + "," + y, from the display's global bounds
    // in points, each truncated toward zero ("#5 1512x982 @ 0,0").
    static std::vector<std::string> onlineDisplayDescriptions(DisplayServices& displays);

private:
    struct Size {
        std::int64_t width = 0;
        std::int64_t height = 0;
        bool operator==(const Size&) const = default;
    };

    // Called with mutex_ held.
    void removeDisplayLocked();
    void throwIfStoppedLocked(std::uint64_t stopsAtStart) const;
    bool isOnline(DisplayID id);
    void positionDisplayToRight();
    bool waitUntilOnline(DisplayID id, std::uint64_t stopsAtStart);

    const std::shared_ptr<VirtualDisplayBackend> backend_;
    const std::shared_ptr<DisplayServices> displays_;
    const std::shared_ptr<Clock> clock_;
    const std::shared_ptr<WaitClock> waitClock_;

    // One start() at a time, so that two callers cannot interleave their
    // stop-before-start and creation. stop() never takes it.
    std::mutex startMutex_;

    mutable std::mutex mutex_;
    // The display being made or shown.
    std::unique_ptr<VirtualDisplay> display_;
    std::optional<Size> activeSize_;
    std::optional<DisplayID> displayID_;
    // Counts the stop() calls, so that a start() can tell one came in.
    std::uint64_t stopCount_ = 0;
};

} // namespace quorvi
