#include "display/VirtualDisplayController.h"

#include "platform/Clock.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>

namespace quorvi {

namespace {

// Truncation toward zero, defined for every double: converting NaN or an
// out-of-range value to an integer would be undefined behaviour, and the
// bounds come from another component.
std::string truncatedText(double value) {
    if (std::isnan(value)) {
        return "0";
    }
    constexpr double kLimit = 9.0e18; // inside the 64-bit range
    const double clamped = std::fmax(-kLimit, std::fmin(kLimit, std::trunc(value)));
    return std::to_string(static_cast<std::int64_t>(clamped));
}

// The same for a 32-bit origin; nothing for a value that is not a number.
std::optional<std::int32_t> truncatedInt32(double value) {
    if (std::isnan(value)) {
        return std::nullopt;
    }
    constexpr double kLow = std::numeric_limits<std::int32_t>::min();
    constexpr double kHigh = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(std::fmax(kLow, std::fmin(kHigh, std::trunc(value))));
}

// The identity every display of ours carries.
constexpr const char* kDisplayName = "Quorvi";
constexpr std::uint32_t kVendorID = 0x5156;
constexpr double kWidthMillimeters = 150;
constexpr double kHeightMillimeters = 95;
constexpr double kRefreshRate = 60;

// Sizes are refused rather than clamped: a display of another size than the
// one asked for would be reused by the next start of that size and mislead
// the caller. The server asks for a few thousand points at most; this bound
// keeps twice the size far inside every integer type on the way.
constexpr std::int64_t kMaxPoints = 1 << 20;

// What a start that a stop() overtook reports. The caller asked for the
// display to go away meanwhile, so this only reaches a journal at most.
constexpr const char* kStoppedDuringStart = "écran virtuel retiré par un arrêt pendant sa création";

} // namespace

// ---- VirtualDisplayError ----------------------------------------------------

VirtualDisplayError::VirtualDisplayError(Kind kind, DisplayID id, std::string reason)
    : kind_(kind), displayID_(id), reason_(std::move(reason)) {
    switch (kind) {
    case Kind::displayNotOnline:
        description_ =
            "Display virtuel #" + std::to_string(id) + " créé mais pas reconnu comme écran macOS";
        break;
    case Kind::classesUnavailable:
        description_ = "CGVirtualDisplay runtime indisponible";
        break;
    case Kind::displayCreationFailed:
        description_ = "Création écran virtuel échouée";
        break;
    case Kind::displayIDUnavailable:
        description_ = "Display ID virtuel indisponible";
        break;
    }
}

VirtualDisplayError VirtualDisplayError::displayNotOnline(DisplayID id) {
    return {Kind::displayNotOnline, id, {}};
}

VirtualDisplayError VirtualDisplayError::classesUnavailable(std::string reason) {
    return {Kind::classesUnavailable, 0, std::move(reason)};
}

VirtualDisplayError VirtualDisplayError::displayCreationFailed(std::string reason) {
    return {Kind::displayCreationFailed, 0, std::move(reason)};
}

VirtualDisplayError VirtualDisplayError::displayIDUnavailable() {
    return {Kind::displayIDUnavailable, 0, {}};
}

// ---- numbers and clocks -----------------------------------------------------

VirtualDisplayNumbers virtualDisplayNumbers(double secondsSince1970) {
    // Only the low 15 bits of t matter, so t is taken modulo 2^15 on the way
    // in; that also keeps a clock far outside the 64-bit range defined.
    double seconds = std::trunc(secondsSince1970);
    if (std::isnan(seconds) || std::isinf(seconds)) {
        seconds = 0;
    }
    double low = std::fmod(seconds, 32768.0); // exact for every double
    if (low < 0) {
        low += 32768.0; // two's complement: the low bits of a negative t
    }
    const auto serial = static_cast<std::uint32_t>(low) & 0x7FFFu;
    return {serial, 0x1000u | (serial % 4095u)};
}

std::optional<VirtualDisplayPixelSize>
virtualDisplayPixelSize(const VirtualDisplayDescriptor& descriptor,
                        const VirtualDisplaySettings& settings) {
    if (settings.modes.empty()) {
        return std::nullopt;
    }
    const VirtualDisplayMode& wanted = settings.modes.front();
    const std::int64_t scale = settings.isHiDPI ? 2 : 1;
    VirtualDisplayPixelSize size{wanted.width * scale, wanted.height * scale};
    if (descriptor.maxPixelsWide > 0) {
        size.wide = std::min(size.wide, descriptor.maxPixelsWide);
    }
    if (descriptor.maxPixelsHigh > 0) {
        size.high = std::min(size.high, descriptor.maxPixelsHigh);
    }
    return size;
}

double SteadyWaitClock::now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void SteadyWaitClock::sleepFor(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

// ---- VirtualDisplayController -----------------------------------------------

VirtualDisplayController::VirtualDisplayController() : VirtualDisplayController(nullptr, nullptr) {}

VirtualDisplayController::VirtualDisplayController(std::shared_ptr<VirtualDisplayBackend> backend,
                                                   std::shared_ptr<DisplayServices> displays,
                                                   std::shared_ptr<Clock> clock,
                                                   std::shared_ptr<WaitClock> waitClock)
    : backend_(std::move(backend)), displays_(std::move(displays)),
      clock_(clock ? std::move(clock) : std::make_shared<SystemClock>()),
      waitClock_(waitClock ? std::move(waitClock) : std::make_shared<SteadyWaitClock>()) {}

VirtualDisplayController::~VirtualDisplayController() {
    std::lock_guard lock(mutex_);
    removeDisplayLocked();
}

DisplayID VirtualDisplayController::start(std::int64_t width, std::int64_t height) {
    std::lock_guard startLock(startMutex_);
    std::uint64_t stopsAtStart = 0;
    {
        std::lock_guard lock(mutex_);
        stopsAtStart = stopCount_;
        // The same size, still online: nothing to do.
        if (displayID_ && activeSize_ && *activeSize_ == Size{width, height} &&
            isOnline(*displayID_)) {
            return *displayID_;
        }
        // Any previous display goes before a new one is made, also when only
        // the size changes: a resize yields a new display with a new ID.
        removeDisplayLocked();
    }

    if (!backend_ || !displays_) {
        throw VirtualDisplayError::classesUnavailable();
    }
    if (width <= 0 || height <= 0 || width > kMaxPoints || height > kMaxPoints) {
        throw VirtualDisplayError::displayCreationFailed(
            "taille invalide " + std::to_string(width) + "x" + std::to_string(height));
    }

    const VirtualDisplayNumbers numbers = virtualDisplayNumbers(clock_->now());
    VirtualDisplayDescriptor descriptor;
    descriptor.name = kDisplayName;
    descriptor.vendorID = kVendorID;
    descriptor.productID = numbers.productID;
    descriptor.serialNumber = numbers.serialNumber;
    descriptor.maxPixelsWide = 2 * width;
    descriptor.maxPixelsHigh = 2 * height;
    descriptor.widthMillimeters = kWidthMillimeters;
    descriptor.heightMillimeters = kHeightMillimeters;
    VirtualDisplaySettings settings;
    settings.isHiDPI = true;
    settings.modes = {VirtualDisplayMode{width, height, kRefreshRate}};

    DisplayID id = 0;
    {
        std::lock_guard lock(mutex_);
        throwIfStoppedLocked(stopsAtStart);
        VirtualDisplayCreation creation = backend_->create(descriptor, settings);
        if (creation.failure == VirtualDisplayCreation::Failure::unavailable) {
            throw VirtualDisplayError::classesUnavailable(std::move(creation.reason));
        }
        if (creation.failure != VirtualDisplayCreation::Failure::none || !creation.display) {
            throw VirtualDisplayError::displayCreationFailed(std::move(creation.reason));
        }
        // Kept in the field at once, so that a stop() from now on removes it.
        display_ = std::move(creation.display);
        id = display_->displayID();
        if (id == 0) {
            display_.reset();
            throw VirtualDisplayError::displayIDUnavailable();
        }
        positionDisplayToRight();
    }

    if (!waitUntilOnline(id, stopsAtStart)) {
        std::lock_guard lock(mutex_);
        throwIfStoppedLocked(stopsAtStart);
        display_.reset();
        throw VirtualDisplayError::displayNotOnline(id);
    }

    std::lock_guard lock(mutex_);
    throwIfStoppedLocked(stopsAtStart);
    displayID_ = id;
    activeSize_ = Size{width, height};
    return id;
}

void VirtualDisplayController::stop() {
    std::lock_guard lock(mutex_);
    ++stopCount_;
    removeDisplayLocked();
}

std::vector<std::string> VirtualDisplayController::removeLeftovers() {
    std::lock_guard lock(mutex_);
    return backend_ ? backend_->removeLeftovers() : std::vector<std::string>{};
}

void VirtualDisplayController::cancelStart() {
    std::lock_guard lock(mutex_);
    ++stopCount_;
    // A start() under way removed any older display before making its own,
    // and publishes the ID only once done: without an ID, whatever exists
    // belongs to a start that has not finished.
    if (!displayID_) {
        removeDisplayLocked();
    }
}

std::optional<DisplayID> VirtualDisplayController::displayID() const {
    std::lock_guard lock(mutex_);
    return displayID_;
}

void VirtualDisplayController::removeDisplayLocked() {
    // Destroying the display object is what removes the display.
    display_.reset();
    activeSize_.reset();
    displayID_.reset();
}

// A stop() since this start began has removed whatever the start made; the
// start must not make or keep anything more.
void VirtualDisplayController::throwIfStoppedLocked(std::uint64_t stopsAtStart) const {
    if (stopCount_ != stopsAtStart) {
        throw VirtualDisplayError::displayCreationFailed(kStoppedDuringStart);
    }
}

bool VirtualDisplayController::isOnline(DisplayID id) {
    if (!displays_) {
        return false;
    }
    const std::vector<DisplayID> online = onlineDisplayIDs(*displays_);
    return std::find(online.begin(), online.end(), id) != online.end();
}

// Right of the main display, top edges aligned. Called with mutex_ held and
// display_ set. Without a main display there is nothing to align with, and
// the display stays where the backend put it.
void VirtualDisplayController::positionDisplayToRight() {
    const DisplayID mainID = displays_->mainDisplayID();
    if (mainID == 0) {
        return;
    }
    const DisplayRect main = displays_->bounds(mainID);
    const std::optional<std::int32_t> x = truncatedInt32(main.maxX());
    const std::optional<std::int32_t> y = truncatedInt32(main.minY);
    if (x && y) {
        display_->moveTo(*x, *y);
    }
}

// Looks for the display every 50 ms for three seconds, then once more. The
// lock is not held while waiting, so a stop() meanwhile removes the display
// at once; the wait then ends at its next look.
bool VirtualDisplayController::waitUntilOnline(DisplayID id, std::uint64_t stopsAtStart) {
    const double deadline = waitClock_->now() + kOnlineTimeoutSeconds;
    while (waitClock_->now() < deadline) {
        {
            std::lock_guard lock(mutex_);
            throwIfStoppedLocked(stopsAtStart);
        }
        if (isOnline(id)) {
            return true;
        }
        waitClock_->sleepFor(kOnlinePollInterval);
    }
    {
        std::lock_guard lock(mutex_);
        throwIfStoppedLocked(stopsAtStart);
    }
    return isOnline(id);
}

std::vector<DisplayID> VirtualDisplayController::onlineDisplayIDs(DisplayServices& displays) {
    return displays.onlineDisplayIDs();
}

std::vector<std::string>
VirtualDisplayController::onlineDisplayDescriptions(DisplayServices& displays) {
    std::vector<std::string> lines;
    for (const DisplayID id : displays.onlineDisplayIDs()) {
        const DisplayRect bounds = displays.bounds(id);
        lines.push_back("#" + std::to_string(id) + " " + truncatedText(bounds.width) + "x" +
                        truncatedText(bounds.height) + " @ " + truncatedText(bounds.minX) + "," +
                        truncatedText(bounds.minY));
    }
    return lines;
}

} // namespace quorvi
