#include "platform/linux/X11CaptureService.h"

#include "platform/SendTickPhase.h"
#include "platform/linux/X11DisplayServices.h"
#include "platform/linux/X11ErrorHandling.h"
#include "platform/linux/X11WindowList.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
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

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

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

    bool grab(int x, int y) {
        const Window root = DefaultRootWindow(display_);
        if (isShm_) {
            return XShmGetImage(display_, root, image_, x, y, AllPlanes) != 0;
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

// Everything a capture thread works with. Set up on the thread that starts
// the stream, then handed to the capture thread, which alone uses it.
class Capturer {
public:
    Capturer(const std::string& displayName, CaptureStreamConfiguration configuration)
        : connection_(displayName), configuration_(std::move(configuration)) {}

    ~Capturer() {
        if (isLost_) {
            grabber_.abandon();
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
        return true;
    }

    const CaptureStreamConfiguration& configuration() const { return configuration_; }

    // One picture, or null when this tick has none to give (a failed grab,
    // every buffer still in use). Sets endReason when the stream cannot go
    // on, and capturedAt to the moment the screen was grabbed.
    std::shared_ptr<const PixelBuffer> capture(std::optional<std::string>& endReason,
                                               std::chrono::steady_clock::time_point& capturedAt) {
        // The layout is read every time: a monitor can be removed or resized
        // at any moment, and a grab outside the screen would only fail.
        const X11DisplayLayout layout = readX11DisplayLayout(display_);
        if (checkLost()) {
            endReason = x11::kServerLost;
            return nullptr;
        }
        const X11Monitor* monitor = layout.find(configuration_.displayID);
        if (monitor == nullptr) {
            endReason = kMonitorGone;
            return nullptr;
        }
        if (monitor->width != monitor_.width || monitor->height != monitor_.height) {
            std::string error;
            if (!grabber_.setUp(display_, monitor->width, monitor->height, error)) {
                endReason = checkLost() ? x11::kServerLost : error;
                return nullptr;
            }
        }
        monitor_ = *monitor;
        const bool isGrabbed = grabber_.grab(monitor_.x, monitor_.y);
        capturedAt = std::chrono::steady_clock::now();
        if (checkLost()) {
            endReason = x11::kServerLost;
            return nullptr;
        }
        if (!isGrabbed) {
            return nullptr;
        }
        if (hasCursorImages_) {
            drawPointer();
            if (checkLost()) {
                endReason = x11::kServerLost;
                return nullptr;
            }
        }
        std::unique_ptr<PixelBuffer> buffer = pool_->take();
        if (!buffer) {
            return nullptr;
        }
        if (!scaler_.scale(grabber_.pixels(), grabber_.bytesPerRow(), grabber_.width(),
                           grabber_.height(), *buffer)) {
            pool_->putBack(std::move(buffer));
            return nullptr;
        }
        return pool_->share(std::move(buffer));
    }

private:
    bool checkLost() {
        if (!isLost_ && connection_.dropIfLost()) {
            isLost_ = true;
            grabber_.abandon();
            display_ = nullptr;
        }
        return isLost_;
    }

    void drawPointer() {
        XFixesCursorImage* image = XFixesGetCursorImage(display_);
        if (image == nullptr) {
            return;
        }
        cursor_.left = image->x - image->xhot - monitor_.x;
        cursor_.top = image->y - image->yhot - monitor_.y;
        cursor_.width = image->width;
        cursor_.height = image->height;
        const std::size_t count =
            static_cast<std::size_t>(image->width) * static_cast<std::size_t>(image->height);
        cursor_.pixels.resize(count);
        // Each pixel sits in an unsigned long, 64 bits wide here: the ARGB
        // value is in its low 32 bits.
        for (std::size_t i = 0; i < count; ++i) {
            cursor_.pixels[i] = static_cast<std::uint32_t>(image->pixels[i] & 0xffffffffUL);
        }
        XFree(image);
        drawCursor(grabber_.pixels(), grabber_.bytesPerRow(), grabber_.width(), grabber_.height(),
                   cursor_);
    }

    x11::Connection connection_;
    const CaptureStreamConfiguration configuration_;
    Display* display_ = nullptr;
    bool isLost_ = false;
    X11Monitor monitor_;
    bool hasCursorImages_ = false;
    RootGrabber grabber_;
    CursorImage cursor_;
    BgraScaler scaler_;
    std::shared_ptr<PixelBufferPool> pool_;
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
        const auto grabTook = now - grabStarted;
        const auto lead = std::clamp<std::chrono::nanoseconds>(
            grabTook + std::chrono::milliseconds(3), std::chrono::milliseconds(2), interval / 2);
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

// ---- pixel work --------------------------------------------------------------------

std::size_t alignedBytesPerRow(std::int64_t width) {
    const auto bytes = static_cast<std::size_t>(std::max<std::int64_t>(width, 1)) * 4;
    return (bytes + 63) / 64 * 64;
}

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

// The row loops below are where a capture thread spends its time; GCC
// vectorizes them only at -O3, which the rest of the build does not use.
#if defined(__GNUC__) && !defined(__clang__)
#define QUORVI_HOT_LOOP __attribute__((optimize("O3")))
#else
#define QUORVI_HOT_LOOP
#endif

namespace {

// Same size: a copy that makes the fourth byte opaque on the way.
QUORVI_HOT_LOOP void copyOpaqueRow(const std::uint8_t* from, std::uint8_t* to, int width) {
    for (int column = 0; column < width; ++column) {
        std::uint32_t pixel = 0;
        std::memcpy(&pixel, from + static_cast<std::size_t>(column) * 4, 4);
        pixel |= 0xff000000U;
        std::memcpy(to + static_cast<std::size_t>(column) * 4, &pixel, 4);
    }
}

// One row of 2 x 2 box averages from two source rows.
QUORVI_HOT_LOOP void halveRow(const std::uint8_t* upper, const std::uint8_t* lower,
                              std::uint8_t* to, int width) {
    for (int column = 0; column < width; ++column) {
        for (int channel = 0; channel < 4; ++channel) {
            const std::size_t left = static_cast<std::size_t>(column) * 8 + channel;
            to[static_cast<std::size_t>(column) * 4 + channel] = static_cast<std::uint8_t>(
                (upper[left] + upper[left + 4] + lower[left] + lower[left + 4] + 2) >> 2);
        }
    }
}

// A row between two source rows; weight (0..256) is the lower row's share.
QUORVI_HOT_LOOP void blendRows(const std::uint8_t* upper, const std::uint8_t* lower,
                               std::uint8_t* to, std::size_t count, std::uint32_t weight) {
    const std::uint32_t keep = 256 - weight;
    for (std::size_t i = 0; i < count; ++i) {
        to[i] = static_cast<std::uint8_t>((upper[i] * keep + lower[i] * weight + 128) >> 8);
    }
}

// Where an output sample falls in the source, centres aligned, in 1/256
// pixel: the source index and the next one's share.
struct Tap {
    int index = 0;
    std::uint32_t weight = 0;
};

std::vector<Tap> taps(int sourceSize, int targetSize) {
    std::vector<Tap> result(static_cast<std::size_t>(targetSize));
    for (int i = 0; i < targetSize; ++i) {
        const std::int64_t position =
            (static_cast<std::int64_t>(2 * i + 1) * sourceSize * 256) / (2 * targetSize) - 128;
        const std::int64_t clamped =
            std::clamp<std::int64_t>(position, 0, static_cast<std::int64_t>(sourceSize - 1) * 256);
        result[static_cast<std::size_t>(i)] = {static_cast<int>(clamped / 256),
                                               static_cast<std::uint32_t>(clamped % 256)};
    }
    return result;
}

int swscaleFlags(BgraScaler::Filter filter) {
    switch (filter) {
    case BgraScaler::Filter::swscaleFastBilinear:
        return SWS_FAST_BILINEAR;
    case BgraScaler::Filter::swscaleArea:
        return SWS_AREA;
    case BgraScaler::Filter::swscaleBilinear:
    case BgraScaler::Filter::boxThenBilinear:
        break;
    }
    return SWS_BILINEAR;
}

} // namespace

struct BgraScaler::Context {
    SwsContext* scaler = nullptr;
    // Box-averaged intermediates, used in turn.
    std::vector<std::uint8_t> halves[2];
    // One blended row, one pixel longer than the source: the last pixel
    // repeated, so the right-hand tap never needs a bounds check.
    std::vector<std::uint8_t> row;
    std::vector<Tap> columns;
    std::vector<Tap> rows;
    int tapSourceWidth = 0;
    int tapSourceHeight = 0;
    int tapTargetWidth = 0;
    int tapTargetHeight = 0;

    ~Context() { sws_freeContext(scaler); }
};

BgraScaler::BgraScaler(Filter filter) : filter_(filter), context_(std::make_unique<Context>()) {}

BgraScaler::~BgraScaler() = default;

bool BgraScaler::scale(const std::uint8_t* source, std::size_t sourceBytesPerRow, int sourceWidth,
                       int sourceHeight, PixelBuffer& destination) {
    const std::int64_t targetWidth = destination.width();
    const std::int64_t targetHeight = destination.height();
    if (source == nullptr || sourceWidth < 1 || sourceHeight < 1 || targetWidth < 1 ||
        targetHeight < 1 || destination.bytesPerRow() < static_cast<std::size_t>(targetWidth) * 4) {
        return false;
    }
    if (filter_ != Filter::boxThenBilinear &&
        (targetWidth != sourceWidth || targetHeight != sourceHeight)) {
        return scaleWithSwscale(source, sourceBytesPerRow, sourceWidth, sourceHeight, destination);
    }
    const int width = static_cast<int>(targetWidth);
    const int height = static_cast<int>(targetHeight);
    Context& context = *context_;

    // Halved while at least twice the size both ways: each bilinear sample
    // then stands for at most two source pixels a side.
    int half = 0;
    while (sourceWidth >= 2 * width && sourceHeight >= 2 * height) {
        const int halfWidth = sourceWidth / 2;
        const int halfHeight = sourceHeight / 2;
        std::vector<std::uint8_t>& into = context.halves[half];
        into.resize(static_cast<std::size_t>(halfWidth) * halfHeight * 4);
        for (int row = 0; row < halfHeight; ++row) {
            const std::uint8_t* upper =
                source + static_cast<std::size_t>(2 * row) * sourceBytesPerRow;
            halveRow(upper, upper + sourceBytesPerRow,
                     into.data() + static_cast<std::size_t>(row) * halfWidth * 4, halfWidth);
        }
        source = into.data();
        sourceBytesPerRow = static_cast<std::size_t>(halfWidth) * 4;
        sourceWidth = halfWidth;
        sourceHeight = halfHeight;
        half = 1 - half;
    }

    std::uint8_t* target = destination.mutableData();
    if (sourceWidth == width && sourceHeight == height) {
        for (int row = 0; row < height; ++row) {
            copyOpaqueRow(source + static_cast<std::size_t>(row) * sourceBytesPerRow,
                          target + static_cast<std::size_t>(row) * destination.bytesPerRow(),
                          width);
        }
        return true;
    }

    if (context.tapSourceWidth != sourceWidth || context.tapTargetWidth != width) {
        context.columns = taps(sourceWidth, width);
        context.tapSourceWidth = sourceWidth;
        context.tapTargetWidth = width;
    }
    if (context.tapSourceHeight != sourceHeight || context.tapTargetHeight != height) {
        context.rows = taps(sourceHeight, height);
        context.tapSourceHeight = sourceHeight;
        context.tapTargetHeight = height;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(sourceWidth) * 4;
    context.row.resize(rowBytes + 4);
    std::uint8_t* blended = context.row.data();
    for (int row = 0; row < height; ++row) {
        const Tap vertical = context.rows[static_cast<std::size_t>(row)];
        const std::uint8_t* upper =
            source + static_cast<std::size_t>(vertical.index) * sourceBytesPerRow;
        const std::uint8_t* lower =
            vertical.index + 1 < sourceHeight ? upper + sourceBytesPerRow : upper;
        blendRows(upper, lower, blended, rowBytes, vertical.weight);
        std::memcpy(blended + rowBytes, blended + rowBytes - 4, 4);
        std::uint8_t* out = target + static_cast<std::size_t>(row) * destination.bytesPerRow();
        for (int column = 0; column < width; ++column) {
            const Tap horizontal = context.columns[static_cast<std::size_t>(column)];
            const std::uint8_t* left = blended + static_cast<std::size_t>(horizontal.index) * 4;
            const std::uint32_t weight = horizontal.weight;
            const std::uint32_t keep = 256 - weight;
            std::uint8_t* pixel = out + static_cast<std::size_t>(column) * 4;
            pixel[0] = static_cast<std::uint8_t>((left[0] * keep + left[4] * weight + 128) >> 8);
            pixel[1] = static_cast<std::uint8_t>((left[1] * keep + left[5] * weight + 128) >> 8);
            pixel[2] = static_cast<std::uint8_t>((left[2] * keep + left[6] * weight + 128) >> 8);
            pixel[3] = 255;
        }
    }
    return true;
}

bool BgraScaler::scaleWithSwscale(const std::uint8_t* source, std::size_t sourceBytesPerRow,
                                  int sourceWidth, int sourceHeight, PixelBuffer& destination) {
    const int width = static_cast<int>(destination.width());
    const int height = static_cast<int>(destination.height());
    // Made again only when a size changes.
    context_->scaler = sws_getCachedContext(context_->scaler, sourceWidth, sourceHeight,
                                            AV_PIX_FMT_BGR0, width, height, AV_PIX_FMT_BGRA,
                                            swscaleFlags(filter_), nullptr, nullptr, nullptr);
    if (context_->scaler == nullptr) {
        return false;
    }
    const std::uint8_t* const sourcePlanes[4] = {source, nullptr, nullptr, nullptr};
    const int sourceStrides[4] = {static_cast<int>(sourceBytesPerRow), 0, 0, 0};
    std::uint8_t* const targetPlanes[4] = {destination.mutableData(), nullptr, nullptr, nullptr};
    const int targetStrides[4] = {static_cast<int>(destination.bytesPerRow()), 0, 0, 0};
    return sws_scale(context_->scaler, sourcePlanes, sourceStrides, 0, sourceHeight, targetPlanes,
                     targetStrides) == height;
}

// ---- buffer pool -------------------------------------------------------------------

std::shared_ptr<PixelBufferPool> PixelBufferPool::make(std::int64_t width, std::int64_t height,
                                                       int capacity) {
    return std::shared_ptr<PixelBufferPool>(new PixelBufferPool(width, height, capacity));
}

PixelBufferPool::PixelBufferPool(std::int64_t width, std::int64_t height, int capacity)
    : width_(width), height_(height), capacity_(std::max(capacity, 1)) {}

std::unique_ptr<PixelBuffer> PixelBufferPool::take() {
    std::lock_guard guard(mutex_);
    if (!free_.empty()) {
        std::unique_ptr<PixelBuffer> buffer = std::move(free_.back());
        free_.pop_back();
        return buffer;
    }
    if (created_ >= capacity_) {
        return nullptr;
    }
    const std::size_t bytesPerRow = alignedBytesPerRow(width_);
    auto buffer = std::make_unique<PixelBuffer>(
        width_, height_, bytesPerRow,
        std::make_unique<std::uint8_t[]>(bytesPerRow * static_cast<std::size_t>(height_)));
    ++created_;
    return buffer;
}

void PixelBufferPool::putBack(std::unique_ptr<PixelBuffer> buffer) {
    if (!buffer) {
        return;
    }
    std::lock_guard guard(mutex_);
    free_.push_back(std::move(buffer));
}

std::shared_ptr<const PixelBuffer> PixelBufferPool::share(std::unique_ptr<PixelBuffer> buffer) {
    if (!buffer) {
        return nullptr;
    }
    // The deleter holds the pool, so a buffer still out after its stream
    // ended finds its way back (and is freed with the pool).
    return std::shared_ptr<const PixelBuffer>(
        buffer.release(), [pool = shared_from_this()](const PixelBuffer* returned) {
            pool->putBack(std::unique_ptr<PixelBuffer>(const_cast<PixelBuffer*>(returned)));
        });
}

std::shared_ptr<CaptureService> makeX11CaptureService(std::string displayName) {
    return std::make_shared<X11CaptureService>(std::move(displayName));
}

} // namespace quorvi
