#include "platform/linux/x11/X11CaptureService.h"

#include "capture/ScreenChangeTracker.h"
#include "platform/SendTickPhase.h"
#include "platform/linux/PixelConversion.h"
#include "platform/linux/x11/X11DisplayServices.h"
#include "platform/linux/x11/X11ErrorHandling.h"
#include "platform/linux/x11/X11WindowList.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <optional>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace quorvi {

namespace {

constexpr const char* kDisplayNotFound = "Display introuvable pour ScreenCaptureKit";
constexpr const char* kMonitorGone = "écran déconnecté";
constexpr const char* kBadSize = "taille de sortie invalide";

// Far beyond any screen; keeps the pool's allocations sane whatever is asked.
constexpr std::int64_t kLargestSide = 16384;
constexpr int kLargestQueueDepth = 8;
// A period this short would only spin.
constexpr std::chrono::nanoseconds kShortestInterval = std::chrono::milliseconds(1);

// ---- the pixel formats we read ------------------------------------------------

// Only the layout every current X server uses for depth 24 and 32: four
// bytes a pixel, blue first in memory. Anything else (16-bit screens, a
// big-endian server) is refused rather than shown with wrong colours.
std::optional<std::string> unsupportedFormat(const XImage& image) {
    const bool isBgrx = image.bits_per_pixel == 32 && image.byte_order == LSBFirst &&
                        image.red_mask == 0xff0000 && image.green_mask == 0xff00 &&
                        image.blue_mask == 0xff;
    if (isBgrx) {
        return std::nullopt;
    }
    return "format de pixels non pris en charge (" + std::to_string(image.depth) + " bits)";
}

// ---- grabbing a root rectangle ---------------------------------------------------

// Reads a rectangle of the root window into an image of its own: through a
// shared memory segment the server writes into when MIT-SHM works (a local
// server that lets us attach), else with GetImage, which sends the pixels
// over the socket.
//
// Thread: the capture thread (after setUp on the start thread).
class RootGrabber {
public:
    RootGrabber() = default;
    ~RootGrabber() { release(true); }
    RootGrabber(const RootGrabber&) = delete;
    RootGrabber& operator=(const RootGrabber&) = delete;

    bool setUp(Display* display, int width, int height, std::string& error) {
        release(true);
        display_ = display;
        width_ = width;
        height_ = height;
        if (setUpShm(error)) {
            return true;
        }
        if (!error.empty()) {
            return false;
        }
        // Checked on a one-pixel read: GetImage makes a new image each time.
        XImage* probe =
            XGetImage(display_, DefaultRootWindow(display_), 0, 0, 1, 1, AllPlanes, ZPixmap);
        if (probe == nullptr) {
            error = x11::kServerUnreachable;
            return false;
        }
        const std::optional<std::string> unsupported = unsupportedFormat(*probe);
        XDestroyImage(probe);
        if (unsupported) {
            error = *unsupported;
            return false;
        }
        return true;
    }

    // Grabs rows firstRow up to firstRow + rowCount of the rectangle whose
    // top-left corner is at (x, y) of the root window into the same rows of
    // the image. Through MIT-SHM the rows land in place; GetImage can only
    // read the whole rectangle, so it does whatever rows were asked.
    bool grab(int x, int y, int firstRow, int rowCount) {
        const Window root = DefaultRootWindow(display_);
        if (isShm_) {
            if (firstRow < 0 || rowCount < 1 || firstRow + rowCount > height_) {
                return false;
            }
            // The same segment, seen as just those rows: the server writes at
            // the offset of the band's data in the segment.
            XImage band = *image_;
            band.height = rowCount;
            band.data =
                image_->data + static_cast<std::ptrdiff_t>(firstRow) * image_->bytes_per_line;
            return XShmGetImage(display_, root, &band, x, y + firstRow, AllPlanes) != 0;
        }
        XImage* image = XGetImage(display_, root, x, y, static_cast<unsigned int>(width_),
                                  static_cast<unsigned int>(height_), AllPlanes, ZPixmap);
        if (image == nullptr) {
            return false;
        }
        if (unsupportedFormat(*image)) {
            XDestroyImage(image);
            return false;
        }
        if (image_ != nullptr) {
            XDestroyImage(image_);
        }
        image_ = image;
        return true;
    }

    std::uint8_t* pixels() const { return reinterpret_cast<std::uint8_t*>(image_->data); }
    std::size_t bytesPerRow() const { return static_cast<std::size_t>(image_->bytes_per_line); }
    int width() const { return width_; }
    int height() const { return height_; }
    bool usesShm() const { return isShm_; }

    // The connection is dead: frees what lives in this process only.
    void abandon() { release(false); }

private:
    bool setUpShm(std::string& error) {
        if (!XShmQueryExtension(display_)) {
            return false;
        }
        const int screen = DefaultScreen(display_);
        image_ = XShmCreateImage(display_, DefaultVisual(display_, screen),
                                 static_cast<unsigned int>(DefaultDepth(display_, screen)), ZPixmap,
                                 nullptr, &segment_, static_cast<unsigned int>(width_),
                                 static_cast<unsigned int>(height_));
        if (image_ == nullptr) {
            return false;
        }
        if (const std::optional<std::string> unsupported = unsupportedFormat(*image_)) {
            error = *unsupported;
            release(true);
            return false;
        }
        const std::size_t size =
            static_cast<std::size_t>(image_->bytes_per_line) * static_cast<std::size_t>(height_);
        // Readable by us (and root) only: it holds the screen.
        segment_.shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
        if (segment_.shmid < 0) {
            release(true);
            return false;
        }
        segment_.shmaddr = static_cast<char*>(shmat(segment_.shmid, nullptr, 0));
        if (segment_.shmaddr == reinterpret_cast<char*>(-1)) {
            segment_.shmaddr = nullptr;
            shmctl(segment_.shmid, IPC_RMID, nullptr);
            release(true);
            return false;
        }
        image_->data = segment_.shmaddr;
        segment_.readOnly = False;
        x11::ErrorTrap trap(display_);
        XShmAttach(display_, &segment_);
        // A remote server, or one that may not read our segment, refuses the
        // attach: GetImage then.
        const bool isAttached = !trap.sync().has_value();
        // Marked for removal now, so the segment goes away with the last of
        // the two attachments whatever happens to either process.
        shmctl(segment_.shmid, IPC_RMID, nullptr);
        if (!isAttached) {
            release(true);
            return false;
        }
        isShm_ = true;
        isAttached_ = true;
        return true;
    }

    void release(bool isDisplayAlive) {
        if (isAttached_ && isDisplayAlive) {
            XShmDetach(display_, &segment_);
            XSync(display_, False);
        }
        isAttached_ = false;
        if (image_ != nullptr) {
            if (segment_.shmaddr != nullptr) {
                // The pixels are the segment's, not the image's to free.
                image_->data = nullptr;
            }
            XDestroyImage(image_);
            image_ = nullptr;
        }
        if (segment_.shmaddr != nullptr) {
            shmdt(segment_.shmaddr);
        }
        segment_ = {};
        isShm_ = false;
    }

    Display* display_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    XImage* image_ = nullptr;
    XShmSegmentInfo segment_{};
    bool isShm_ = false;
    bool isAttached_ = false;
};

// ---- one stream's capture --------------------------------------------------------

// Rows of the monitor that must be grabbed again: the changed rectangles
// merged into full-width bands, since a band lands in place in the shared
// segment while a narrower grab would need a copy.
std::vector<std::pair<int, int>> rowBands(const ChangedRegion& region) {
    std::vector<std::pair<int, int>> spans;
    for (const PixelRect& rect : region.rects()) {
        spans.emplace_back(rect.y, rect.bottom());
    }
    std::sort(spans.begin(), spans.end());
    std::vector<std::pair<int, int>> bands;
    for (const auto& [top, bottom] : spans) {
        if (!bands.empty() && top <= bands.back().second) {
            bands.back().second = std::max(bands.back().second, bottom);
        } else {
            bands.emplace_back(top, bottom);
        }
    }
    return bands;
}

// The extensions' event codes this connection listens to.
struct ChangeEvents {
    bool hasDamage = false;
    int damageEventBase = 0;
    Damage damage = 0;
    XserverRegion parts = 0;
    bool hasRandr = false;
    int randrEventBase = 0;
};

// Everything a capture thread works with. Set up on the thread that starts
// the stream, then handed to the capture thread, which alone uses it.
//
// The screen is kept in the grabber's image (the canvas) with the pointer
// drawn in. XDamage tells which parts of the root window changed since the
// last tick; only those rows are grabbed again, and only the matching part
// of the delivered buffer is scaled again. A tick where neither the screen
// nor the pointer changed grabs nothing and delivers the last picture again.
// Without XDamage every tick grabs the whole monitor, as it must.
class Capturer {
public:
    Capturer(const std::string& displayName, CaptureStreamConfiguration configuration)
        : connection_(displayName), configuration_(std::move(configuration)) {}

    ~Capturer() {
        if (isLost_) {
            grabber_.abandon();
        } else if (display_ != nullptr) {
            if (events_.hasDamage) {
                XDamageDestroy(display_, events_.damage);
                XFixesDestroyRegion(display_, events_.parts);
            }
            XSync(display_, False);
        }
    }

    // Opens the connection and prepares the grab; on failure error says why.
    bool open(std::string& error) {
        const std::int64_t width = configuration_.width;
        const std::int64_t height = configuration_.height;
        if (width < 1 || height < 1 || width > kLargestSide || height > kLargestSide) {
            error = kBadSize;
            return false;
        }
        display_ = connection_.display();
        if (display_ == nullptr) {
            error = x11::kServerUnreachable;
            return false;
        }
        listenForChanges();
        const X11DisplayLayout layout = readX11DisplayLayout(display_);
        if (checkLost()) {
            error = x11::kServerLost;
            return false;
        }
        const X11Monitor* monitor = layout.find(configuration_.displayID);
        if (monitor == nullptr) {
            error = kDisplayNotFound;
            return false;
        }
        monitor_ = *monitor;
        if (configuration_.showsCursor) {
            int eventBase = 0;
            int errorBase = 0;
            int major = 0;
            int minor = 0;
            hasCursorImages_ = XFixesQueryExtension(display_, &eventBase, &errorBase) &&
                               XFixesQueryVersion(display_, &major, &minor) && major >= 1;
        }
        if (!grabber_.setUp(display_, monitor_.width, monitor_.height, error) || checkLost()) {
            if (error.empty()) {
                error = x11::kServerLost;
            }
            return false;
        }
        pool_ = PixelBufferPool::make(width, height,
                                      std::clamp(configuration_.queueDepth, 1, kLargestQueueDepth));
        tracker_.emplace(monitor_.width, monitor_.height, static_cast<int>(width),
                         static_cast<int>(height));
        return true;
    }

    const CaptureStreamConfiguration& configuration() const { return configuration_; }

    // The picture of this tick (the last one again when nothing changed), or
    // null when this tick has none to give (a failed grab, every buffer
    // still in use). Sets endReason when the stream cannot go on, and
    // capturedAt to the moment the screen was known to look like it.
    std::shared_ptr<const PixelBuffer> capture(std::optional<std::string>& endReason,
                                               std::chrono::steady_clock::time_point& capturedAt) {
        bool isLayoutChanged = false;
        bool isDamaged = false;
        readEvents(isLayoutChanged, isDamaged);
        // Monitors can also change without an event reaching us (a
        // RandR-less server): the layout is read again now and then anyway.
        if (isLayoutChanged || ++ticksSinceLayout_ >= kLayoutRecheckTicks) {
            ticksSinceLayout_ = 0;
            if (!followLayout(endReason)) {
                return nullptr;
            }
        }
        // A grab that failed last tick is owed still: its damage was fetched.
        ChangedRegion damage = std::move(unfinishedGrab_);
        unfinishedGrab_ = {};
        if (isDamaged) {
            // Fetched even when everything is grabbed: fetching clears the
            // damage, and only cleared damage raises the next event.
            damage.add(damagedParts());
        }
        if (!events_.hasDamage || !grabber_.usesShm()) {
            damage = ChangedRegion::whole(monitor_.width, monitor_.height);
        }
        std::optional<CursorImage> cursor;
        if (hasCursorImages_) {
            cursor = readCursor();
        }
        if (checkLost()) {
            endReason = x11::kServerLost;
            return nullptr;
        }
        std::optional<PointerPlace> pointer;
        if (cursor) {
            pointer = PointerPlace{{cursor->left, cursor->top, cursor->width, cursor->height},
                                   cursor->serial};
        }
        const ChangedRegion grab = tracker_->toGrab(damage, pointer);
        if (grab.isEmpty()) {
            capturedAt = std::chrono::steady_clock::now();
            if (lastShared_ && lastShared_->stamp() == tracker_->history().latest()) {
                return lastShared_;
            }
            // The last change never reached a buffer (none was free).
            return fillBuffer();
        }
        for (const auto& [top, bottom] : rowBands(grab)) {
            if (!grabber_.grab(monitor_.x, monitor_.y, top, bottom - top)) {
                unfinishedGrab_ = grab;
                capturedAt = std::chrono::steady_clock::now();
                if (checkLost()) {
                    endReason = x11::kServerLost;
                }
                return nullptr;
            }
        }
        capturedAt = std::chrono::steady_clock::now();
        if (cursor) {
            drawCursor(grabber_.pixels(), grabber_.bytesPerRow(), grabber_.width(),
                       grabber_.height(), *cursor);
        }
        tracker_->grabbed(grab, pointer);
        return fillBuffer();
    }

private:
    static constexpr int kLayoutRecheckTicks = 30;

    void listenForChanges() {
        const Window root = DefaultRootWindow(display_);
        int errorBase = 0;
        if (XDamageQueryExtension(display_, &events_.damageEventBase, &errorBase)) {
            int major = 0;
            int minor = 0;
            XDamageQueryVersion(display_, &major, &minor);
            // One event each time the damage goes from none to some; the
            // rectangles themselves are fetched when a tick needs them.
            events_.damage = XDamageCreate(display_, root, XDamageReportNonEmpty);
            events_.parts = XFixesCreateRegion(display_, nullptr, 0);
            events_.hasDamage = events_.damage != 0 && events_.parts != 0;
        }
        if (XRRQueryExtension(display_, &events_.randrEventBase, &errorBase)) {
            XRRSelectInput(display_, root,
                           RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask |
                               RROutputChangeNotifyMask);
            events_.hasRandr = true;
        }
    }

    // Takes every queued event without waiting for one.
    void readEvents(bool& isLayoutChanged, bool& isDamaged) {
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (events_.hasDamage && event.type == events_.damageEventBase + XDamageNotify) {
                isDamaged = true;
            } else if (events_.hasRandr &&
                       (event.type == events_.randrEventBase + RRScreenChangeNotify ||
                        event.type == events_.randrEventBase + RRNotify)) {
                isLayoutChanged = true;
            }
        }
    }

    bool followLayout(std::optional<std::string>& endReason) {
        const X11DisplayLayout layout = readX11DisplayLayout(display_);
        if (checkLost()) {
            endReason = x11::kServerLost;
            return false;
        }
        const X11Monitor* monitor = layout.find(configuration_.displayID);
        if (monitor == nullptr) {
            endReason = kMonitorGone;
            return false;
        }
        if (monitor->width != monitor_.width || monitor->height != monitor_.height) {
            std::string error;
            if (!grabber_.setUp(display_, monitor->width, monitor->height, error)) {
                endReason = checkLost() ? x11::kServerLost : error;
                return false;
            }
        }
        if (monitor->x != monitor_.x || monitor->y != monitor_.y ||
            monitor->width != monitor_.width || monitor->height != monitor_.height) {
            tracker_->resize(monitor->width, monitor->height);
        }
        monitor_ = *monitor;
        return true;
    }

    // What XDamage collected since the last fetch, in monitor coordinates,
    // and the damage cleared for the next tick.
    ChangedRegion damagedParts() {
        XDamageSubtract(display_, events_.damage, None, events_.parts);
        int count = 0;
        XRectangle* rects = XFixesFetchRegion(display_, events_.parts, &count);
        ChangedRegion region;
        const PixelRect monitor{monitor_.x, monitor_.y, monitor_.width, monitor_.height};
        for (int i = 0; rects != nullptr && i < count; ++i) {
            const PixelRect part =
                intersection({rects[i].x, rects[i].y, rects[i].width, rects[i].height}, monitor);
            region.add({part.x - monitor_.x, part.y - monitor_.y, part.width, part.height});
        }
        if (rects != nullptr) {
            XFree(rects);
        }
        return region;
    }

    // Fills a free buffer from the canvas, redoing only what changed since
    // that buffer was last filled.
    std::shared_ptr<const PixelBuffer> fillBuffer() {
        std::unique_ptr<PixelBuffer> buffer = pool_->take();
        if (!buffer) {
            return nullptr;
        }
        if (!scaleBgra(grabber_.pixels(), grabber_.bytesPerRow(), grabber_.width(),
                       grabber_.height(), *buffer,
                       tracker_->history().changedSince(buffer->stamp()))) {
            pool_->putBack(std::move(buffer));
            return nullptr;
        }
        buffer->setHistory(tracker_->history());
        lastShared_ = pool_->share(std::move(buffer));
        return lastShared_;
    }

    std::optional<CursorImage> readCursor() {
        XFixesCursorImage* image = XFixesGetCursorImage(display_);
        if (image == nullptr) {
            return std::nullopt;
        }
        CursorImage cursor;
        cursor.left = image->x - image->xhot - monitor_.x;
        cursor.top = image->y - image->yhot - monitor_.y;
        cursor.width = image->width;
        cursor.height = image->height;
        cursor.serial = image->cursor_serial;
        const std::size_t count =
            static_cast<std::size_t>(image->width) * static_cast<std::size_t>(image->height);
        cursor.pixels.resize(count);
        // Each pixel sits in an unsigned long, 64 bits wide here: the ARGB
        // value is in its low 32 bits.
        for (std::size_t i = 0; i < count; ++i) {
            cursor.pixels[i] = static_cast<std::uint32_t>(image->pixels[i] & 0xffffffffUL);
        }
        XFree(image);
        return cursor;
    }

    bool checkLost() {
        if (!isLost_ && connection_.dropIfLost()) {
            isLost_ = true;
            grabber_.abandon();
            display_ = nullptr;
        }
        return isLost_;
    }

    x11::Connection connection_;
    const CaptureStreamConfiguration configuration_;
    Display* display_ = nullptr;
    bool isLost_ = false;
    X11Monitor monitor_;
    ChangeEvents events_;
    int ticksSinceLayout_ = 0;
    bool hasCursorImages_ = false;
    RootGrabber grabber_;
    std::optional<ScreenChangeTracker> tracker_;
    ChangedRegion unfinishedGrab_;
    std::shared_ptr<PixelBufferPool> pool_;
    std::shared_ptr<const PixelBuffer> lastShared_;
};

// What a stream's handle and its capture thread share.
struct StreamState {
    std::mutex mutex;
    std::condition_variable wake;
    bool isStopRequested = false;
    bool isFinished = false;
    std::vector<std::function<void()>> completions;
};

std::chrono::nanoseconds frameInterval(const MediaTime& interval) {
    const std::int64_t timescale = std::max<std::int32_t>(interval.timescale, 1);
    const std::int64_t value = std::clamp<std::int64_t>(interval.value, 1, 3600);
    return std::max(std::chrono::nanoseconds(value * 1'000'000'000 / timescale), kShortestInterval);
}

// The capture thread: grab, deliver, then sleep until the next deadline.
// Deadlines are absolute (start + n intervals); a grab that overruns skips
// the ticks it missed instead of bunching up pictures to catch up.
void runCapture(const std::shared_ptr<StreamState>& state, std::unique_ptr<Capturer> capturer,
                const CaptureStreamOutput& output) {
    const std::chrono::nanoseconds interval =
        frameInterval(capturer->configuration().minimumFrameInterval);
    auto deadline = std::chrono::steady_clock::now();
    std::chrono::nanoseconds slowestGrab{0};
    std::optional<std::string> endReason;
    for (;;) {
        {
            std::lock_guard guard(state->mutex);
            if (state->isStopRequested) {
                break;
            }
        }
        const auto grabStarted = std::chrono::steady_clock::now();
        std::chrono::steady_clock::time_point capturedAt{};
        std::shared_ptr<const PixelBuffer> picture = capturer->capture(endReason, capturedAt);
        if (endReason) {
            break;
        }
        if (picture) {
            const std::int64_t width = picture->width();
            const std::int64_t height = picture->height();
            output.didOutputSample({std::move(picture), width, height, capturedAt});
        }
        deadline += interval;
        const auto now = std::chrono::steady_clock::now();
        if (deadline < now) {
            deadline += ((now - deadline) / interval + 1) * interval;
        }
        // When the send loop ticks at this rate, grab just before its next
        // tick (by what the last grab took, plus a margin), so the frame it
        // sends is fresh rather than up to one interval old.
        // A still screen makes ticks that take next to nothing: the lead
        // follows the slowest recent grab, decaying slowly, so that the
        // first change after a quiet spell is still ready in time.
        slowestGrab = std::max<std::chrono::nanoseconds>(now - grabStarted, slowestGrab * 15 / 16);
        const auto lead = std::clamp<std::chrono::nanoseconds>(
            slowestGrab + std::chrono::milliseconds(3), std::chrono::milliseconds(2), interval / 2);
        if (auto tick = SendTickPhase::nextTickAfter(now + lead, interval)) {
            deadline = *tick - lead;
        }
        std::unique_lock guard(state->mutex);
        if (state->wake.wait_until(guard, deadline, [&] { return state->isStopRequested; })) {
            break;
        }
    }
    // The X connection closes before anyone hears that the stream ended.
    capturer.reset();
    bool isStopRequested = false;
    {
        std::lock_guard guard(state->mutex);
        isStopRequested = state->isStopRequested;
    }
    if (endReason && !isStopRequested && output.didStopWithError) {
        output.didStopWithError(*endReason);
    }
    std::vector<std::function<void()>> completions;
    {
        std::lock_guard guard(state->mutex);
        state->isFinished = true;
        completions.swap(state->completions);
    }
    for (const auto& completion : completions) {
        completion();
    }
}

void requestStop(StreamState& state, std::function<void()> completion) {
    bool isFinished = false;
    {
        std::lock_guard guard(state.mutex);
        state.isStopRequested = true;
        isFinished = state.isFinished;
        if (!isFinished && completion) {
            state.completions.push_back(std::move(completion));
        }
    }
    state.wake.notify_all();
    if (isFinished && completion) {
        completion();
    }
}

// The handle the session holds. Letting go of it stops the stream too.
class X11CaptureStream final : public CaptureStream {
public:
    explicit X11CaptureStream(std::shared_ptr<StreamState> state) : state_(std::move(state)) {}
    ~X11CaptureStream() override { requestStop(*state_, {}); }

    void stop(std::function<void()> completion) override {
        requestStop(*state_, std::move(completion));
    }

private:
    std::shared_ptr<StreamState> state_;
};

// ---- shareable content -----------------------------------------------------------

// The capture leaves out this application's own windows; which those are,
// the window list of the visibility probe already tells, with the same
// rules for window managers, frames and minimized windows.
std::vector<ShareableWindow> readOnScreenWindows(Display* display) {
    std::vector<ShareableWindow> windows;
    for (const VisibleWindow& visible : readVisibleWindows(display, getpid())) {
        ShareableWindow window;
        window.windowID = visible.windowID;
        if (visible.applicationName || visible.ownerProcessID) {
            window.owningApplication =
                CaptureApplication{visible.applicationName.value_or(""), visible.isThisApplication};
        }
        windows.push_back(std::move(window));
    }
    return windows;
}

// ---- the service -----------------------------------------------------------------

class X11CaptureService final : public CaptureService {
public:
    explicit X11CaptureService(std::string displayName)
        : displayName_(std::move(displayName)), contentConnection_(displayName_) {}

    ~X11CaptureService() override {
        std::vector<Running> running;
        {
            std::lock_guard guard(runningMutex_);
            running.swap(running_);
        }
        for (Running& stream : running) {
            requestStop(*stream.state, {});
        }
        for (Running& stream : running) {
            // The last reference can go on a capture thread (a session
            // released from a callback): that thread finishes by itself.
            if (stream.thread.get_id() == std::this_thread::get_id()) {
                stream.thread.detach();
            } else {
                stream.thread.join();
            }
        }
    }

    ShareableContentResult shareableContent() override {
        std::lock_guard guard(contentMutex_);
        Display* display = contentConnection_.display();
        if (display == nullptr) {
            return {std::nullopt, x11::kServerUnreachable};
        }
        ShareableContent content;
        for (const X11Monitor& monitor : readX11DisplayLayout(display).monitors) {
            content.displayIDs.push_back(monitor.id);
        }
        content.windows = readOnScreenWindows(display);
        if (contentConnection_.dropIfLost()) {
            return {std::nullopt, x11::kServerLost};
        }
        return {std::move(content), {}};
    }

    CaptureStartResult start(const CaptureStreamConfiguration& configuration,
                             CaptureStreamOutput output) override {
        auto capturer = std::make_unique<Capturer>(displayName_, configuration);
        std::string error;
        if (!capturer->open(error)) {
            return {nullptr, error};
        }
        auto state = std::make_shared<StreamState>();
        std::thread thread;
        try {
            thread = std::thread(
                [state, capturer = std::move(capturer), output = std::move(output)]() mutable {
                    runCapture(state, std::move(capturer), output);
                });
        } catch (const std::system_error& failure) {
            return {nullptr, failure.what()};
        }
        std::vector<Running> finished;
        {
            std::lock_guard guard(runningMutex_);
            // Threads of streams that ended are joined here, so they do not
            // pile up over a long session.
            auto isFinished = [](const Running& stream) {
                std::lock_guard stateGuard(stream.state->mutex);
                return stream.state->isFinished;
            };
            for (auto it = running_.begin(); it != running_.end();) {
                if (isFinished(*it)) {
                    finished.push_back(std::move(*it));
                    it = running_.erase(it);
                } else {
                    ++it;
                }
            }
            running_.push_back({state, std::move(thread)});
        }
        for (Running& stream : finished) {
            stream.thread.join();
        }
        return {std::make_shared<X11CaptureStream>(state), {}};
    }

private:
    struct Running {
        std::shared_ptr<StreamState> state;
        std::thread thread;
    };

    const std::string displayName_;
    std::mutex contentMutex_;
    x11::Connection contentConnection_;
    std::mutex runningMutex_;
    std::vector<Running> running_;
};

} // namespace

// ---- the pointer -----------------------------------------------------------------

void drawCursor(std::uint8_t* picture, std::size_t bytesPerRow, int width, int height,
                const CursorImage& cursor) {
    const int firstRow = std::max(0, -cursor.top);
    const int lastRow = std::min(cursor.height, height - cursor.top);
    const int firstColumn = std::max(0, -cursor.left);
    const int lastColumn = std::min(cursor.width, width - cursor.left);
    if (cursor.pixels.size() <
        static_cast<std::size_t>(std::max(cursor.width, 0)) * std::max(cursor.height, 0)) {
        return;
    }
    for (int row = firstRow; row < lastRow; ++row) {
        const std::uint32_t* source =
            cursor.pixels.data() + static_cast<std::size_t>(row) * cursor.width;
        std::uint8_t* target = picture + static_cast<std::size_t>(cursor.top + row) * bytesPerRow +
                               static_cast<std::size_t>(cursor.left) * 4;
        for (int column = firstColumn; column < lastColumn; ++column) {
            const std::uint32_t argb = source[column];
            const std::uint32_t alpha = argb >> 24;
            if (alpha == 0) {
                continue;
            }
            std::uint8_t* pixel = target + static_cast<std::size_t>(column) * 4;
            const std::uint32_t keep = 255 - alpha;
            // Premultiplied: the cursor's colour is added as it is, the
            // screen's is kept in proportion to the transparency.
            pixel[0] = static_cast<std::uint8_t>((argb & 0xff) + (pixel[0] * keep + 127) / 255);
            pixel[1] =
                static_cast<std::uint8_t>(((argb >> 8) & 0xff) + (pixel[1] * keep + 127) / 255);
            pixel[2] =
                static_cast<std::uint8_t>(((argb >> 16) & 0xff) + (pixel[2] * keep + 127) / 255);
        }
    }
}

std::shared_ptr<CaptureService> makeX11CaptureService(std::string displayName) {
    return std::make_shared<X11CaptureService>(std::move(displayName));
}

} // namespace quorvi
