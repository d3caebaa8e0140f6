#include "platform/linux/wlroots/WlrootsCaptureService.h"

#include "platform/linux/CaptureStreamLoop.h"
#include "platform/linux/wlroots/WaylandConnection.h"
#include "platform/linux/wlroots/WaylandSession.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>
#include <wayland-client.h>

namespace quorvi {

namespace {

constexpr const char* kCompositorLost = "connexion au compositeur Wayland perdue";
constexpr const char* kCompositorSilent = "le compositeur Wayland ne répond pas";
constexpr const char* kNoScreencopy =
    "le compositeur n'offre pas la copie d'écran wlroots (zwlr_screencopy_manager_v1)";
constexpr const char* kNoSharedMemory = "le compositeur n'offre pas de mémoire partagée (wl_shm)";
constexpr const char* kCopyRefused = "copie d'écran refusée par le compositeur";

// Version 3 only adds buffer_done and the dma-buf offer, which this client
// does without (the round trip after capture_output brings the whole buffer
// description); version 2 is the first with copy_with_damage.
constexpr std::uint32_t kScreencopyVersion = 3;
constexpr std::uint32_t kScreencopyWithDamage = 2;

// What the compositor asks the copy's buffer to be.
struct BufferShape {
    std::uint32_t format = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;

    bool operator==(const BufferShape&) const = default;
};

// Both formats are B, G, R, then alpha or nothing, in memory on a
// little-endian machine: the canvas' own layout. Others are refused rather
// than shown with wrong colours.
bool isBgrx(const BufferShape& shape) {
    return shape.format == WL_SHM_FORMAT_ARGB8888 || shape.format == WL_SHM_FORMAT_XRGB8888;
}

// Far beyond any output; a shape outside it is a compositor's mistake.
bool isSane(const BufferShape& shape) {
    constexpr std::uint32_t kLargestSide = 16384;
    return shape.width > 0 && shape.height > 0 && shape.width <= kLargestSide &&
           shape.height <= kLargestSide && shape.stride >= shape.width * 4 &&
           shape.stride <= kLargestSide * 8;
}

// A wl_shm buffer in memory of its own (a memfd), kept for as long as the
// compositor asks for the same shape.
//
// Thread: the capture thread of one stream.
class SharedBuffer {
public:
    SharedBuffer() = default;
    ~SharedBuffer() { release(); }
    SharedBuffer(const SharedBuffer&) = delete;
    SharedBuffer& operator=(const SharedBuffer&) = delete;

    // Makes the buffer unless it already has that shape; false with the
    // reason when the memory cannot be had.
    bool shape(wl_shm* shm, const BufferShape& shape, std::string& error) {
        if (buffer_ != nullptr && shape == shape_) {
            return true;
        }
        release();
        size_ = static_cast<std::size_t>(shape.stride) * shape.height;
        const int fd = memfd_create("quorvi-screencopy", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(size_)) != 0) {
            error = std::string("mémoire partagée indisponible: ") + std::strerror(errno);
            if (fd >= 0) {
                close(fd);
            }
            return false;
        }
        void* memory = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory == MAP_FAILED) {
            error = std::string("mémoire partagée indisponible: ") + std::strerror(errno);
            close(fd);
            return false;
        }
        pixels_ = static_cast<std::uint8_t*>(memory);
        // The pool only lends its memory to the buffer, which keeps it; the
        // descriptor was duplicated into the request.
        wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(size_));
        close(fd);
        buffer_ = wl_shm_pool_create_buffer(pool, 0, static_cast<std::int32_t>(shape.width),
                                            static_cast<std::int32_t>(shape.height),
                                            static_cast<std::int32_t>(shape.stride), shape.format);
        wl_shm_pool_destroy(pool);
        shape_ = shape;
        return true;
    }

    wl_buffer* buffer() const { return buffer_; }
    const std::uint8_t* pixels() const { return pixels_; }
    const BufferShape& currentShape() const { return shape_; }

private:
    void release() {
        if (buffer_ != nullptr) {
            wl_buffer_destroy(buffer_);
            buffer_ = nullptr;
        }
        if (pixels_ != nullptr) {
            munmap(pixels_, size_);
            pixels_ = nullptr;
        }
        shape_ = {};
    }

    wl_buffer* buffer_ = nullptr;
    std::uint8_t* pixels_ = nullptr;
    std::size_t size_ = 0;
    BufferShape shape_;
};

// One copy request, from capture_output to ready or failed, as its events
// tell it.
struct CopyRequest {
    zwlr_screencopy_frame_v1* frame = nullptr;
    std::optional<BufferShape> shmShape;
    bool isYInverted = false;
    bool isReady = false;
    bool isFailed = false;
    // What changed since this client's previous copy of the output.
    ChangedRegion damage;
};

struct FrameListener {
    static CopyRequest& of(void* data) { return *static_cast<CopyRequest*>(data); }

    static void buffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format,
                       std::uint32_t width, std::uint32_t height, std::uint32_t stride) {
        of(data).shmShape = BufferShape{format, width, height, stride};
    }
    static void flags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
        of(data).isYInverted = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
    }
    static void ready(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                      std::uint32_t) {
        of(data).isReady = true;
    }
    static void failed(void* data, zwlr_screencopy_frame_v1*) { of(data).isFailed = true; }
    static void damage(void* data, zwlr_screencopy_frame_v1*, std::uint32_t x, std::uint32_t y,
                       std::uint32_t width, std::uint32_t height) {
        of(data).damage.add({static_cast<int>(x), static_cast<int>(y), static_cast<int>(width),
                             static_cast<int>(height)});
    }
    static void linuxDmabuf(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                            std::uint32_t) {}
    static void bufferDone(void*, zwlr_screencopy_frame_v1*) {}

    static constexpr zwlr_screencopy_frame_v1_listener listener{
        buffer, flags, ready, failed, damage, linuxDmabuf, bufferDone};
};

// One stream's copy of its output. The compositor copies the whole output
// into the shared buffer each time; the parts it reports as changed are
// taken from there into the canvas, and the next request goes out at once,
// so the buffer is never read while the compositor may write it.
//
// Thread: opened on the thread that starts the stream, then used by the
// capture thread alone, with its own connection.
class WlrootsScreenGrabber final : public OwnCanvasScreenGrabber {
public:
    explicit WlrootsScreenGrabber(CaptureStreamConfiguration configuration)
        : configuration_(std::move(configuration)) {}

    ~WlrootsScreenGrabber() override {
        if (request_.frame != nullptr) {
            zwlr_screencopy_frame_v1_destroy(request_.frame);
        }
        if (shm_ != nullptr) {
            wl_shm_destroy(shm_);
        }
        if (manager_ != nullptr) {
            zwlr_screencopy_manager_v1_destroy(manager_);
        }
    }

    bool open(std::string& error) override {
        connection_ = wayland::Connection::open(error);
        if (connection_ == nullptr) {
            return false;
        }
        manager_ = static_cast<zwlr_screencopy_manager_v1*>(connection_->bind(
            zwlr_screencopy_manager_v1_interface, kScreencopyWithDamage, kScreencopyVersion));
        shm_ = static_cast<wl_shm*>(connection_->bind(wl_shm_interface, 1, 1));
        if (manager_ == nullptr || shm_ == nullptr) {
            error = manager_ == nullptr ? kNoScreencopy : kNoSharedMemory;
            return false;
        }
        if (!requestCopy(error)) {
            return false;
        }
        // The first copy comes at once (everything counts as changed for a
        // new client); it gives the canvas its size.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!request_.isReady && !request_.isFailed) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !connection_->dispatchFor(left)) {
                error = connection_->isAlive() ? kCompositorSilent : kCompositorLost;
                return false;
            }
        }
        if (request_.isFailed) {
            error = kCopyRefused;
            return false;
        }
        resizeCanvas();
        return true;
    }

    ScreenNews news(std::optional<std::string>& endReason) override {
        ScreenNews news;
        if (!connection_->dispatchPending()) {
            endReason = kCompositorLost;
            return news;
        }
        if (connection_->outputProxy(configuration_.displayID) == nullptr) {
            endReason = compositorAnswers() ? kCaptureDisplayGone : kCompositorLost;
            return news;
        }
        if (request_.isFailed) {
            // A copy can fail once when the output changes mode between the
            // request and the copy; twice in a row, it will not work.
            if (hasFailedBefore_) {
                endReason = compositorAnswers() ? kCopyRefused : kCompositorLost;
                return news;
            }
            hasFailedBefore_ = true;
            renewRequest(endReason);
            return news;
        }
        if (!request_.isReady) {
            return news;
        }
        hasFailedBefore_ = false;
        news.isNewCanvas = resizeCanvas();
        news.damage = request_.damage;
        if (isCanvasBlank_) {
            news.damage = ChangedRegion::whole(canvasWidth_, canvasHeight_);
        }
        news.damage.clip(canvasWidth_, canvasHeight_);
        if (news.damage.isEmpty()) {
            // No grab follows to take the copy: ask for the next one now.
            renewRequest(endReason);
        }
        return news;
    }

    bool grab(const ChangedRegion& region, std::optional<std::string>& endReason) override {
        if (request_.isReady) {
            takeFromCopy(region);
            isCanvasBlank_ = false;
            if (!renewRequest(endReason)) {
                return false;
            }
        }
        return true;
    }

private:
    // Sends capture_output and, once the compositor described the buffer it
    // wants (its description follows the request at once, so a round trip
    // brings it, buffer_done included), copy_with_damage into it.
    bool requestCopy(std::string& error) {
        wl_output* output = connection_->outputProxy(configuration_.displayID);
        if (output == nullptr) {
            error = kCaptureDisplayNotFound;
            return false;
        }
        if (request_.frame != nullptr) {
            zwlr_screencopy_frame_v1_destroy(request_.frame);
        }
        request_ = {};
        request_.frame = zwlr_screencopy_manager_v1_capture_output(
            manager_, configuration_.showsCursor ? 1 : 0, output);
        zwlr_screencopy_frame_v1_add_listener(request_.frame, &FrameListener::listener, &request_);
        if (!connection_->roundtrip()) {
            error = connection_->isAlive() ? kCompositorSilent : kCompositorLost;
            return false;
        }
        if (connection_->outputProxy(configuration_.displayID) == nullptr) {
            error = kCaptureDisplayGone;
            return false;
        }
        if (request_.isFailed || !request_.shmShape || !isSane(*request_.shmShape)) {
            error = kCopyRefused;
            return false;
        }
        if (!isBgrx(*request_.shmShape)) {
            error = "format de pixels non pris en charge (wl_shm " +
                    std::to_string(request_.shmShape->format) + ")";
            return false;
        }
        if (!staging_.shape(shm_, *request_.shmShape, error)) {
            return false;
        }
        zwlr_screencopy_frame_v1_copy_with_damage(request_.frame, staging_.buffer());
        // Sent now rather than at the next tick: the copy is due with the
        // output's next change. A failure shows at the next dispatch.
        wl_display_flush(connection_->display());
        return true;
    }

    bool renewRequest(std::optional<std::string>& endReason) {
        std::string error;
        if (!requestCopy(error)) {
            endReason = error;
            return false;
        }
        return true;
    }

    // Whether the compositor is still there, for telling a vanished output
    // from a compositor that is shutting down.
    bool compositorAnswers() { return connection_->roundtrip(); }

    // The canvas takes the size of the latest copy; true when it changed.
    bool resizeCanvas() {
        const BufferShape& shape = staging_.currentShape();
        const int width = static_cast<int>(shape.width);
        const int height = static_cast<int>(shape.height);
        return setCanvasSize(width, height);
    }

    // Copies region from the compositor's copy into the canvas, upright.
    void takeFromCopy(const ChangedRegion& region) {
        const std::uint8_t* source = staging_.pixels();
        const std::size_t sourceStride = staging_.currentShape().stride;
        const std::size_t targetStride = canvasBytesPerRow();
        for (const PixelRect& wanted : region.rects()) {
            const PixelRect rect = intersection(wanted, {0, 0, canvasWidth_, canvasHeight_});
            for (int y = rect.y; y < rect.bottom(); ++y) {
                const int sourceRow = request_.isYInverted ? canvasHeight_ - 1 - y : y;
                std::memcpy(canvas_.data() + static_cast<std::size_t>(y) * targetStride +
                                static_cast<std::size_t>(rect.x) * 4,
                            source + static_cast<std::size_t>(sourceRow) * sourceStride +
                                static_cast<std::size_t>(rect.x) * 4,
                            static_cast<std::size_t>(rect.width) * 4);
            }
        }
    }

    const CaptureStreamConfiguration configuration_;
    // First, so that it closes after every proxy below is gone.
    std::unique_ptr<wayland::Connection> connection_;
    zwlr_screencopy_manager_v1* manager_ = nullptr;
    wl_shm* shm_ = nullptr;
    SharedBuffer staging_;
    CopyRequest request_;
    bool hasFailedBefore_ = false;
};

// Thread: any; the content connection is serialized by its mutex, the
// streams run on the runner's threads.
class WlrootsCaptureService final : public CaptureService {
public:
    WlrootsCaptureService() : contentSession_(std::chrono::milliseconds(0)) {}

    ShareableContentResult shareableContent() override {
        std::lock_guard guard(contentMutex_);
        wayland::Connection* connection = contentSession_.current();
        if (connection == nullptr) {
            return {std::nullopt, contentSession_.whyNot()};
        }
        // An output added a moment ago (a virtual display) must be listed.
        if (!connection->roundtrip()) {
            return {std::nullopt, connection->isAlive() ? kCompositorSilent : kCompositorLost};
        }
        ShareableContent content;
        for (const LaidOutDisplay& display : connection->layout().displays) {
            content.displayIDs.push_back(display.id);
        }
        return {std::move(content), {}};
    }

    CaptureStartResult start(const CaptureStreamConfiguration& configuration,
                             CaptureStreamOutput output) override {
        return runner_.start(configuration, std::make_unique<WlrootsScreenGrabber>(configuration),
                             std::move(output));
    }

private:
    std::mutex contentMutex_;
    wayland::Session contentSession_;
    // Last, so that the streams stop before anything else goes.
    CaptureStreamRunner runner_;
};

} // namespace

std::shared_ptr<CaptureService> makeWlrootsCaptureService() {
    return std::make_shared<WlrootsCaptureService>();
}

} // namespace quorvi
