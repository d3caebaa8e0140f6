#include "platform/linux/x11/X11CaptureService.h"

#include "platform/linux/CaptureStreamLoop.h"
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
#include <cstring>
#include <mutex>
#include <optional>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>
#include <utility>

namespace quorvi {

namespace {

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

// One stream's grab of its monitor. Set up on the thread that starts the
// stream, then handed to the capture thread, which alone uses it.
//
// The screen is kept in the root grabber's image (the canvas) with the
// pointer drawn in. XDamage tells which parts of the root window changed
// since the last tick; only those rows are grabbed again. Without XDamage
// every tick grabs the whole monitor, as it must.
class X11ScreenGrabber final : public ScreenGrabber {
public:
    X11ScreenGrabber(const std::string& displayName, CaptureStreamConfiguration configuration)
        : connection_(displayName), configuration_(std::move(configuration)) {}

    ~X11ScreenGrabber() override {
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

    bool open(std::string& error) override {
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
            error = kCaptureDisplayNotFound;
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
        return true;
    }

    ScreenNews news(std::optional<std::string>& endReason) override {
        ScreenNews news;
        bool isLayoutChanged = false;
        bool isDamaged = false;
        readEvents(isLayoutChanged, isDamaged);
        // Monitors can also change without an event reaching us (a
        // RandR-less server): the layout is read again now and then anyway.
        if (isLayoutChanged || ++ticksSinceLayout_ >= kLayoutRecheckTicks) {
            ticksSinceLayout_ = 0;
            if (!followLayout(endReason, news.isNewCanvas)) {
                return news;
            }
        }
        if (isDamaged) {
            // Fetched even when everything is grabbed: fetching clears the
            // damage, and only cleared damage raises the next event.
            news.damage = damagedParts();
        }
        if (!events_.hasDamage || !grabber_.usesShm()) {
            news.damage = ChangedRegion::whole(monitor_.width, monitor_.height);
        }
        cursor_.reset();
        if (hasCursorImages_) {
            cursor_ = readCursor();
        }
        if (checkLost()) {
            endReason = x11::kServerLost;
            return news;
        }
        if (cursor_) {
            news.pointer = PointerPlace{
                {cursor_->left, cursor_->top, cursor_->width, cursor_->height}, cursor_->serial};
        }
        return news;
    }

    bool grab(const ChangedRegion& region, std::optional<std::string>& endReason) override {
        for (const auto& [top, bottom] : rowBands(region)) {
            if (!grabber_.grab(monitor_.x, monitor_.y, top, bottom - top)) {
                if (checkLost()) {
                    endReason = x11::kServerLost;
                }
                return false;
            }
        }
        if (cursor_) {
            drawCursor(grabber_.pixels(), grabber_.bytesPerRow(), grabber_.width(),
                       grabber_.height(), *cursor_);
        }
        return true;
    }

    const std::uint8_t* canvas() const override { return grabber_.pixels(); }
    std::size_t canvasBytesPerRow() const override { return grabber_.bytesPerRow(); }
    int canvasWidth() const override { return grabber_.width(); }
    int canvasHeight() const override { return grabber_.height(); }

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

    bool followLayout(std::optional<std::string>& endReason, bool& isNewCanvas) {
        const X11DisplayLayout layout = readX11DisplayLayout(display_);
        if (checkLost()) {
            endReason = x11::kServerLost;
            return false;
        }
        const X11Monitor* monitor = layout.find(configuration_.displayID);
        if (monitor == nullptr) {
            endReason = kCaptureDisplayGone;
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
            isNewCanvas = true;
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
    // The pointer as this tick's grab draws it.
    std::optional<CursorImage> cursor_;
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

// Thread: any; the content connection is serialized by its mutex, the
// streams run on the runner's threads.
class X11CaptureService final : public CaptureService {
public:
    explicit X11CaptureService(std::string displayName)
        : displayName_(std::move(displayName)), contentConnection_(displayName_) {}

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
        return runner_.start(configuration,
                             std::make_unique<X11ScreenGrabber>(displayName_, configuration),
                             std::move(output));
    }

private:
    const std::string displayName_;
    std::mutex contentMutex_;
    x11::Connection contentConnection_;
    // Last, so that the streams stop before anything else goes.
    CaptureStreamRunner runner_;
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
