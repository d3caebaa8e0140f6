#include "platform/linux/x11/RandrVirtualDisplayBackend.h"

#include "platform/linux/ProcessRuns.h"
#include "platform/linux/x11/X11DisplayServices.h"
#include "platform/linux/x11/X11ErrorHandling.h"
#include "platform/linux/x11/X11RootWindow.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

namespace quorvi {

// ---- CVT timings ---------------------------------------------------------------

CvtModeLine cvtModeLine(int width, int height, double refreshRate) {
    // The constants of the standard (normal blanking).
    constexpr int kCellGranularity = 8;
    constexpr double kMinVSyncBackPorchMicroseconds = 550;
    constexpr int kMinVFrontPorch = 3;
    constexpr int kMinVBackPorch = 6;
    constexpr double kBlankingOffsetPercent = 30;    // C'
    constexpr double kBlankingGradientPercent = 300; // M'
    constexpr double kMinBlankingPercent = 20;
    constexpr int kHSyncPercent = 8;
    constexpr int kClockStepKHz = 250;

    CvtModeLine mode;
    if (width <= 0 || height <= 0 || !(refreshRate > 0)) {
        return mode;
    }
    // The sync width tells a receiver the aspect ratio.
    int vSync = 10;
    if (height % 3 == 0 && height * 4 / 3 == width) {
        vSync = 4;
    } else if (height % 9 == 0 && height * 16 / 9 == width) {
        vSync = 5;
    } else if (height % 10 == 0 && height * 16 / 10 == width) {
        vSync = 6;
    } else if (height % 4 == 0 && height * 5 / 4 == width) {
        vSync = 7;
    } else if (height % 9 == 0 && height * 15 / 9 == width) {
        vSync = 7;
    }

    const int cells = (width + kCellGranularity - 1) / kCellGranularity * kCellGranularity;
    // Line period in microseconds.
    const double hPeriod =
        (1e6 / refreshRate - kMinVSyncBackPorchMicroseconds) / (height + kMinVFrontPorch);
    int vSyncBackPorch = static_cast<int>(kMinVSyncBackPorchMicroseconds / hPeriod) + 1;
    vSyncBackPorch = std::max(vSyncBackPorch, vSync + kMinVBackPorch);

    double blankingPercent = kBlankingOffsetPercent - kBlankingGradientPercent * hPeriod / 1000.0;
    blankingPercent = std::max(blankingPercent, kMinBlankingPercent);
    int hBlank = static_cast<int>(cells * blankingPercent / (100.0 - blankingPercent));
    hBlank -= hBlank % (2 * kCellGranularity);

    mode.hDisplay = width;
    mode.hTotal = cells + hBlank;
    mode.hSyncEnd = cells + hBlank / 2;
    mode.hSyncStart = mode.hSyncEnd - mode.hTotal * kHSyncPercent / 100;
    mode.hSyncStart += kCellGranularity - mode.hSyncStart % kCellGranularity;
    mode.vDisplay = height;
    mode.vSyncStart = height + kMinVFrontPorch;
    mode.vSyncEnd = mode.vSyncStart + vSync;
    mode.vTotal = height + vSyncBackPorch + kMinVFrontPorch;
    const auto clock = static_cast<int>(mode.hTotal * 1000.0 / hPeriod);
    mode.clockKHz = clock - clock % kClockStepKHz;
    return mode;
}

// ---- screen growth ------------------------------------------------------------

RandrScreenPlan planRandrScreen(int currentWidth, int currentHeight, int maxWidth, int maxHeight,
                                std::int64_t right, std::int64_t bottom) {
    const std::int64_t width = std::max<std::int64_t>(currentWidth, right);
    const std::int64_t height = std::max<std::int64_t>(currentHeight, bottom);
    if (width == currentWidth && height == currentHeight) {
        return {RandrScreenGrowth::none, currentWidth, currentHeight};
    }
    if (width <= maxWidth && height <= maxHeight) {
        return {RandrScreenGrowth::grow, static_cast<int>(width), static_cast<int>(height)};
    }
    if (maxWidth <= currentWidth && maxHeight <= currentHeight) {
        return {RandrScreenGrowth::cannotGrow, currentWidth, currentHeight};
    }
    return {RandrScreenGrowth::tooLarge, currentWidth, currentHeight};
}

// ---- the X side -----------------------------------------------------------------

struct RandrVirtualDisplayBackend::Session {
    explicit Session(std::string displayName) : connection(std::move(displayName)) {}

    std::mutex mutex;
    x11::Connection connection;
    // Names of the displays made through this session and not removed yet:
    // never taken for leftovers.
    std::set<std::string> liveNames;
    std::uint64_t counter = 0;
};

namespace {

using Session = RandrVirtualDisplayBackend::Session;

constexpr int kMaxScreenSide = 32767; // X coordinates are 16-bit
constexpr double kFallbackDotsPerMillimetre = 96.0 / 25.4;

using x11::currentScreenSize;
using x11::ScreenSize;

bool hasRandr15(Display* display) {
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    return XRRQueryExtension(display, &eventBase, &errorBase) &&
           XRRQueryVersion(display, &major, &minor) && (major > 1 || (major == 1 && minor >= 5));
}

// The physical size in proportion to the pixels, so that the screen keeps
// its dots per millimetre. Xlib's remembered size and millimetres date from
// one moment, so their ratio is consistent even when the size is stale.
std::pair<int, int> millimetresFor(Display* display, int width, int height) {
    const int screen = DefaultScreen(display);
    const int knownWidth = DisplayWidth(display, screen);
    const int knownHeight = DisplayHeight(display, screen);
    const int knownWidthMM = DisplayWidthMM(display, screen);
    const int knownHeightMM = DisplayHeightMM(display, screen);
    const double xDensity = knownWidth > 0 && knownWidthMM > 0
                                ? static_cast<double>(knownWidth) / knownWidthMM
                                : kFallbackDotsPerMillimetre;
    const double yDensity = knownHeight > 0 && knownHeightMM > 0
                                ? static_cast<double>(knownHeight) / knownHeightMM
                                : kFallbackDotsPerMillimetre;
    return {std::max(1, static_cast<int>(std::lround(width / xDensity))),
            std::max(1, static_cast<int>(std::lround(height / yDensity)))};
}

// Owns what Xlib allocated.
struct ResourcesDeleter {
    void operator()(XRRScreenResources* resources) const { XRRFreeScreenResources(resources); }
};
struct OutputInfoDeleter {
    void operator()(XRROutputInfo* info) const { XRRFreeOutputInfo(info); }
};
struct CrtcInfoDeleter {
    void operator()(XRRCrtcInfo* info) const { XRRFreeCrtcInfo(info); }
};
using Resources = std::unique_ptr<XRRScreenResources, ResourcesDeleter>;
using OutputInfo = std::unique_ptr<XRROutputInfo, OutputInfoDeleter>;
using CrtcInfo = std::unique_ptr<XRRCrtcInfo, CrtcInfoDeleter>;

// The current configuration without probing the outputs (probing may take
// long on real hardware); a server that never probed yet answers with no
// outputs, and is then probed once.
Resources screenResources(Display* display) {
    const Window root = DefaultRootWindow(display);
    Resources resources(XRRGetScreenResourcesCurrent(display, root));
    if (!resources || resources->noutput == 0) {
        resources.reset(XRRGetScreenResources(display, root));
    }
    return resources;
}

std::string modeName(const XRRModeInfo& mode) {
    return mode.name == nullptr ? std::string() : std::string(mode.name, mode.nameLength);
}

std::optional<RRMode> findMode(const XRRScreenResources& resources, const std::string& name) {
    for (int i = 0; i < resources.nmode; ++i) {
        if (modeName(resources.modes[i]) == name) {
            return resources.modes[i].id;
        }
    }
    return std::nullopt;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string errorReason(Display* display, const std::string& what, const x11::Error& error) {
    return what + ": " + x11::errorText(display, error);
}

// Turns off every CRTC showing the mode, takes the mode off every output and
// destroys it, after deleting the monitor of that name. Each step is made
// whether or not the previous ones found something, so that a display half
// made or half removed goes all the same. Errors are expected here (a
// monitor someone else deleted) and ignored. Returns whether the mode was
// there, that is whether the display had changed this server's screen.
bool detachDisplay(Display* display, const std::string& name) {
    const Window root = DefaultRootWindow(display);
    bool foundMode = false;
    x11::ErrorTrap trap(display);
    // Only if the atom exists: a name never interned names no monitor.
    const Atom atom = XInternAtom(display, name.c_str(), True);
    if (atom != 0) {
        XRRDeleteMonitor(display, root, atom);
    }
    const Resources resources = screenResources(display);
    if (resources) {
        if (const std::optional<RRMode> mode = findMode(*resources, name)) {
            foundMode = true;
            for (int i = 0; i < resources->ncrtc; ++i) {
                const CrtcInfo crtc(XRRGetCrtcInfo(display, resources.get(), resources->crtcs[i]));
                if (crtc && crtc->mode == *mode) {
                    XRRSetCrtcConfig(display, resources.get(), resources->crtcs[i], CurrentTime, 0,
                                     0, 0, RR_Rotate_0, nullptr, 0);
                }
            }
            for (int i = 0; i < resources->noutput; ++i) {
                const OutputInfo output(
                    XRRGetOutputInfo(display, resources.get(), resources->outputs[i]));
                if (output && std::find(output->modes, output->modes + output->nmode, *mode) !=
                                  output->modes + output->nmode) {
                    XRRDeleteOutputMode(display, resources->outputs[i], *mode);
                }
            }
            XRRDestroyMode(display, *mode);
        }
    }
    (void)trap.sync();
    return foundMode;
}

// Shrinks the screen to target (when given) or else to the lit CRTCs, never
// below what the lit CRTCs need nor the size range's minimum, and never
// grows it.
void shrinkScreen(Display* display, std::optional<ScreenSize> target) {
    const Window root = DefaultRootWindow(display);
    const std::optional<ScreenSize> current = currentScreenSize(display);
    int minWidth = 0;
    int minHeight = 0;
    int maxWidth = 0;
    int maxHeight = 0;
    if (!current ||
        !XRRGetScreenSizeRange(display, root, &minWidth, &minHeight, &maxWidth, &maxHeight)) {
        return;
    }
    ScreenSize wanted = target.value_or(ScreenSize{minWidth, minHeight});
    wanted.width = std::max(wanted.width, minWidth);
    wanted.height = std::max(wanted.height, minHeight);
    const Resources resources = screenResources(display);
    if (!resources) {
        return;
    }
    for (int i = 0; i < resources->ncrtc; ++i) {
        const CrtcInfo crtc(XRRGetCrtcInfo(display, resources.get(), resources->crtcs[i]));
        if (crtc && crtc->mode != 0) {
            wanted.width = std::max(wanted.width, crtc->x + static_cast<int>(crtc->width));
            wanted.height = std::max(wanted.height, crtc->y + static_cast<int>(crtc->height));
        }
    }
    wanted.width = std::min(wanted.width, current->width);
    wanted.height = std::min(wanted.height, current->height);
    if (wanted.width == current->width && wanted.height == current->height) {
        return;
    }
    const auto [widthMM, heightMM] = millimetresFor(display, wanted.width, wanted.height);
    x11::ErrorTrap trap(display);
    XRRSetScreenSize(display, root, wanted.width, wanted.height, widthMM, heightMM);
    (void)trap.sync();
}

// A display of ours that no live run owns: made by a run that is gone (or
// by one that did not tag its names), or by this one and not removed.
bool isLeftover(const Session& session, const std::string& name) {
    if (!startsWith(name, RandrVirtualDisplayBackend::kNamePrefix) ||
        session.liveNames.count(name) != 0) {
        return false;
    }
    const std::optional<ProcessRun> owner = ownerOfName(name);
    return !owner || *owner == currentProcessRun() || !isRunning(*owner);
}

// Called with the session's mutex held. The names of the displays removed.
std::vector<std::string> removeLeftoversLocked(Session& session, Display* display) {
    std::set<std::string> names;
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), False, &count);
    for (int i = 0; monitors != nullptr && i < count; ++i) {
        char* atomName = XGetAtomName(display, monitors[i].name);
        if (atomName != nullptr) {
            names.insert(atomName);
            XFree(atomName);
        }
    }
    if (monitors != nullptr) {
        XRRFreeMonitors(monitors);
    }
    if (const Resources resources = screenResources(display)) {
        for (int i = 0; i < resources->nmode; ++i) {
            names.insert(modeName(resources->modes[i]));
        }
    }
    std::vector<std::string> removed;
    bool foundMode = false;
    for (const std::string& name : names) {
        if (isLeftover(session, name)) {
            foundMode = detachDisplay(display, name) || foundMode;
            removed.push_back(name);
        }
    }
    // What the screen was before a crashed run grew it is not known; the lit
    // CRTCs are what it needs.
    if (foundMode) {
        shrinkScreen(display, std::nullopt);
    }
    XSync(display, False);
    return removed;
}

// A free CRTC that the output can use, on an output with nothing plugged in
// and nothing shown.
struct SpareOutput {
    RROutput output = 0;
    RRCrtc crtc = 0;
};

std::optional<SpareOutput> findSpareOutput(Display* display, XRRScreenResources* resources) {
    for (int i = 0; i < resources->noutput; ++i) {
        const OutputInfo output(XRRGetOutputInfo(display, resources, resources->outputs[i]));
        if (!output || output->connection == RR_Connected || output->crtc != 0) {
            continue;
        }
        for (int c = 0; c < output->ncrtc; ++c) {
            const CrtcInfo crtc(XRRGetCrtcInfo(display, resources, output->crtcs[c]));
            if (crtc && crtc->mode == 0 && crtc->noutput == 0) {
                return SpareOutput{resources->outputs[i], output->crtcs[c]};
            }
        }
    }
    return std::nullopt;
}

VirtualDisplayCreation creationFailed(std::string reason) {
    return VirtualDisplayCreation::failed(VirtualDisplayCreation::Failure::creationFailed,
                                          std::move(reason));
}

std::string sizeText(std::int64_t width, std::int64_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

// Sets the monitor of that name over the CRTC's rectangle, bound to the
// output. The server keeps the rectangle it is given (it does not follow a
// CRTC that moves), so it is set again after every move.
Atom setMonitor(Display* display, const std::string& name, RROutput output, int x, int y, int width,
                int height, int widthMM, int heightMM) {
    XRRMonitorInfo* monitor = XRRAllocateMonitor(display, 1);
    if (monitor == nullptr) {
        return 0;
    }
    const Atom atom = XInternAtom(display, name.c_str(), False);
    monitor->name = atom;
    monitor->primary = False;
    monitor->automatic = False;
    monitor->x = x;
    monitor->y = y;
    monitor->width = width;
    monitor->height = height;
    monitor->mwidth = widthMM;
    monitor->mheight = heightMM;
    monitor->outputs[0] = output;
    XRRSetMonitor(display, DefaultRootWindow(display), monitor);
    XFree(monitor);
    return atom;
}

// One display on the server. Everything is looked up again by name when it
// is moved or removed: the connection may have been opened anew since (the
// names stay valid on the same server and name nothing on a new one).
class RandrVirtualDisplay final : public VirtualDisplay {
public:
    RandrVirtualDisplay(std::shared_ptr<Session> session, std::string name, DisplayID id,
                        ScreenSize screenBefore, int width, int height, int widthMM, int heightMM)
        : session_(std::move(session)), name_(std::move(name)), id_(id),
          screenBefore_(screenBefore), width_(width), height_(height), widthMM_(widthMM),
          heightMM_(heightMM) {}

    ~RandrVirtualDisplay() override {
        std::lock_guard lock(session_->mutex);
        session_->liveNames.erase(name_);
        Display* display = session_->connection.display();
        if (display == nullptr) {
            return; // the server is gone, and the display with it
        }
        // A display that is not on this server (it went away with a server
        // that restarted since) changed nothing to shrink back.
        if (detachDisplay(display, name_)) {
            shrinkScreen(display, screenBefore_);
        }
        XSync(display, False);
        session_->connection.dropIfLost();
    }

    DisplayID displayID() override { return id_; }

    void moveTo(std::int32_t x, std::int32_t y) override {
        std::lock_guard lock(session_->mutex);
        Display* display = session_->connection.display();
        if (display == nullptr) {
            return;
        }
        move(display, x, y);
        session_->connection.dropIfLost();
    }

private:
    // (x, y) is in the global display space, whose origin is the main
    // display's top-left corner.
    void move(Display* display, std::int32_t x, std::int32_t y) {
        const X11DisplayLayout layout = readX11DisplayLayout(display);
        const std::int64_t rootX = static_cast<std::int64_t>(x) + layout.originX;
        const std::int64_t rootY = static_cast<std::int64_t>(y) + layout.originY;
        if (rootX < 0 || rootY < 0 || rootX + width_ > kMaxScreenSide ||
            rootY + height_ > kMaxScreenSide) {
            return;
        }
        const Resources resources = screenResources(display);
        if (!resources) {
            return;
        }
        const std::optional<RRMode> mode = findMode(*resources, name_);
        if (!mode) {
            return;
        }
        for (int i = 0; i < resources->ncrtc; ++i) {
            const CrtcInfo crtc(XRRGetCrtcInfo(display, resources.get(), resources->crtcs[i]));
            if (!crtc || crtc->mode != *mode || crtc->noutput < 1) {
                continue;
            }
            if (crtc->x == rootX && crtc->y == rootY) {
                return; // already there: the usual case, creation placed it
            }
            const std::optional<ScreenSize> screen = currentScreenSize(display);
            int minWidth = 0;
            int minHeight = 0;
            int maxWidth = 0;
            int maxHeight = 0;
            if (!screen || !XRRGetScreenSizeRange(display, DefaultRootWindow(display), &minWidth,
                                                  &minHeight, &maxWidth, &maxHeight)) {
                return;
            }
            const RandrScreenPlan plan =
                planRandrScreen(screen->width, screen->height, maxWidth, maxHeight, rootX + width_,
                                rootY + height_);
            if (plan.growth == RandrScreenGrowth::cannotGrow ||
                plan.growth == RandrScreenGrowth::tooLarge) {
                return;
            }
            x11::ErrorTrap trap(display);
            if (plan.growth == RandrScreenGrowth::grow) {
                const auto [widthMM, heightMM] = millimetresFor(display, plan.width, plan.height);
                XRRSetScreenSize(display, DefaultRootWindow(display), plan.width, plan.height,
                                 widthMM, heightMM);
            }
            RROutput output = crtc->outputs[0];
            XRRSetCrtcConfig(display, resources.get(), resources->crtcs[i], CurrentTime,
                             static_cast<int>(rootX), static_cast<int>(rootY), *mode,
                             crtc->rotation, &output, 1);
            setMonitor(display, name_, output, static_cast<int>(rootX), static_cast<int>(rootY),
                       width_, height_, widthMM_, heightMM_);
            (void)trap.sync();
            return;
        }
    }

    std::shared_ptr<Session> session_;
    std::string name_;
    DisplayID id_;
    ScreenSize screenBefore_;
    int width_;
    int height_;
    int widthMM_;
    int heightMM_;
};

} // namespace

RandrVirtualDisplayBackend::RandrVirtualDisplayBackend(std::string displayName)
    : session_(std::make_shared<Session>(std::move(displayName))) {}

RandrVirtualDisplayBackend::~RandrVirtualDisplayBackend() = default;

std::vector<std::string> RandrVirtualDisplayBackend::removeLeftovers() {
    std::lock_guard lock(session_->mutex);
    Display* display = session_->connection.display();
    if (display == nullptr || !hasRandr15(display)) {
        return {};
    }
    const std::vector<std::string> removed = removeLeftoversLocked(*session_, display);
    session_->connection.dropIfLost();
    return removed;
}

VirtualDisplayCreation
RandrVirtualDisplayBackend::create(const VirtualDisplayDescriptor& descriptor,
                                   const VirtualDisplaySettings& settings) {
    std::lock_guard lock(session_->mutex);
    Display* display = session_->connection.display();
    if (display == nullptr) {
        return creationFailed(x11::kServerUnreachable);
    }
    // Whatever happens below, a connection that broke meanwhile is closed on
    // the way out, so that the next call opens a new one.
    struct DropIfLost {
        x11::Connection& connection;
        ~DropIfLost() { connection.dropIfLost(); }
    } dropIfLost{session_->connection};

    if (!hasRandr15(display)) {
        return VirtualDisplayCreation::failed(VirtualDisplayCreation::Failure::unavailable,
                                              "le serveur X n'a pas RandR 1.5");
    }
    removeLeftoversLocked(*session_, display);

    // One point is one X pixel; a hiDPI display has two pixels per point.
    const auto size = virtualDisplayPixelSize(descriptor, settings);
    if (!size) {
        return creationFailed("aucun mode demandé");
    }
    const std::int64_t pixelsWide = size->wide;
    const std::int64_t pixelsHigh = size->high;
    if (pixelsWide <= 0 || pixelsHigh <= 0 || pixelsWide > kMaxScreenSide ||
        pixelsHigh > kMaxScreenSide) {
        return creationFailed("taille " + sizeText(pixelsWide, pixelsHigh) +
                              " hors des limites de X");
    }
    const int width = static_cast<int>(pixelsWide);
    const int height = static_cast<int>(pixelsHigh);

    // Right of the main display, top edges aligned, in root pixels.
    const X11DisplayLayout layout = readX11DisplayLayout(display);
    int x = 0;
    int y = 0;
    if (const X11Monitor* main = layout.find(layout.mainID)) {
        x = main->x + main->width;
        y = main->y;
    }

    const Window root = DefaultRootWindow(display);
    const std::optional<ScreenSize> screenBefore = currentScreenSize(display);
    int minWidth = 0;
    int minHeight = 0;
    int maxWidth = 0;
    int maxHeight = 0;
    if (!screenBefore ||
        !XRRGetScreenSizeRange(display, root, &minWidth, &minHeight, &maxWidth, &maxHeight)) {
        return creationFailed("taille de l'écran X illisible");
    }
    const RandrScreenPlan plan = planRandrScreen(
        screenBefore->width, screenBefore->height, maxWidth, maxHeight,
        static_cast<std::int64_t>(x) + width, static_cast<std::int64_t>(y) + height);
    if (plan.growth == RandrScreenGrowth::cannotGrow) {
        return VirtualDisplayCreation::failed(
            VirtualDisplayCreation::Failure::unavailable,
            "l'écran X ne peut pas grandir (" +
                sizeText(screenBefore->width, screenBefore->height) + ", maximum " +
                sizeText(maxWidth, maxHeight) + ")");
    }
    if (plan.growth == RandrScreenGrowth::tooLarge) {
        return creationFailed("écran virtuel " + sizeText(width, height) +
                              " trop grand pour l'écran X (maximum " +
                              sizeText(maxWidth, maxHeight) + ")");
    }

    const Resources resources = screenResources(display);
    if (!resources) {
        return creationFailed("configuration RandR illisible");
    }
    const std::optional<SpareOutput> spare = findSpareOutput(display, resources.get());
    if (!spare) {
        return creationFailed("aucune sortie RandR libre (il faut une sortie déconnectée avec un "
                              "CRTC libre)");
    }

    // A name never interned on this server: its atom, the display's
    // identifier, is then new too, even after a restart of this process in
    // the same second.
    std::string name;
    do {
        name = descriptor.name + "-" + std::to_string(descriptor.serialNumber) + "-" +
               std::to_string(++session_->counter) + ownerTag(currentProcessRun());
    } while (XInternAtom(display, name.c_str(), True) != 0);

    // From here on, a failure removes by name whatever was made.
    auto undo = [&](std::string reason) {
        detachDisplay(display, name);
        shrinkScreen(display, *screenBefore);
        XSync(display, False);
        return creationFailed(std::move(reason));
    };

    const double refreshRate = settings.modes.front().refreshRate;
    const CvtModeLine timings = cvtModeLine(width, height, refreshRate > 0 ? refreshRate : 60);
    XRRModeInfo modeInfo{};
    modeInfo.width = static_cast<unsigned>(timings.hDisplay);
    modeInfo.height = static_cast<unsigned>(timings.vDisplay);
    modeInfo.dotClock = static_cast<unsigned long>(timings.clockKHz) * 1000ul;
    modeInfo.hSyncStart = static_cast<unsigned>(timings.hSyncStart);
    modeInfo.hSyncEnd = static_cast<unsigned>(timings.hSyncEnd);
    modeInfo.hTotal = static_cast<unsigned>(timings.hTotal);
    modeInfo.vSyncStart = static_cast<unsigned>(timings.vSyncStart);
    modeInfo.vSyncEnd = static_cast<unsigned>(timings.vSyncEnd);
    modeInfo.vTotal = static_cast<unsigned>(timings.vTotal);
    modeInfo.name = name.data();
    modeInfo.nameLength = static_cast<unsigned>(name.size());
    modeInfo.modeFlags = RR_HSyncNegative | RR_VSyncPositive;
    {
        x11::ErrorTrap trap(display);
        const RRMode mode = XRRCreateMode(display, root, &modeInfo);
        if (const auto error = trap.sync(); error || mode == 0) {
            return undo(error ? errorReason(display, "mode refusé", *error) : "mode refusé");
        }
        XRRAddOutputMode(display, spare->output, mode);
        if (const auto error = trap.sync()) {
            return undo(errorReason(display, "mode refusé par la sortie", *error));
        }
        if (plan.growth == RandrScreenGrowth::grow) {
            const auto [widthMM, heightMM] = millimetresFor(display, plan.width, plan.height);
            XRRSetScreenSize(display, root, plan.width, plan.height, widthMM, heightMM);
            if (const auto error = trap.sync()) {
                return undo(errorReason(display, "agrandissement de l'écran X refusé", *error));
            }
        }
        // The configuration may change between reading and setting it (the
        // server then refuses with a stale timestamp): read again and retry
        // once.
        Status status = RRSetConfigFailed;
        for (int attempt = 0; attempt < 2 && status != RRSetConfigSuccess; ++attempt) {
            const Resources current = screenResources(display);
            if (!current) {
                break;
            }
            RROutput output = spare->output;
            status = XRRSetCrtcConfig(display, current.get(), spare->crtc, CurrentTime, x, y, mode,
                                      RR_Rotate_0, &output, 1);
        }
        const auto error = trap.sync();
        if (error || status != RRSetConfigSuccess) {
            return undo(error ? errorReason(display, "CRTC refusé", *error)
                              : "CRTC refusé (état " + std::to_string(status) + ")");
        }
    }

    const int widthMM = static_cast<int>(std::lround(descriptor.widthMillimeters));
    const int heightMM = static_cast<int>(std::lround(descriptor.heightMillimeters));
    x11::ErrorTrap trap(display);
    const Atom atom =
        setMonitor(display, name, spare->output, x, y, width, height, widthMM, heightMM);
    if (const auto error = trap.sync(); error || atom == 0) {
        return undo(error ? errorReason(display, "moniteur refusé", *error) : "moniteur refusé");
    }
    if (session_->connection.dropIfLost()) {
        return creationFailed("serveur X perdu");
    }

    session_->liveNames.insert(name);
    VirtualDisplayCreation creation;
    // Atoms are 29-bit values carried in an unsigned long.
    creation.display =
        std::make_unique<RandrVirtualDisplay>(session_, name, static_cast<DisplayID>(atom),
                                              *screenBefore, width, height, widthMM, heightMM);
    return creation;
}

std::shared_ptr<VirtualDisplayBackend> makeRandrVirtualDisplayBackend(std::string displayName) {
    return std::make_shared<RandrVirtualDisplayBackend>(std::move(displayName));
}

} // namespace quorvi
