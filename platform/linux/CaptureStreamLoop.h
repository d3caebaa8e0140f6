#pragma once

#include "capture/CaptureService.h"
#include "capture/PictureChanges.h"
#include "capture/ScreenChangeTracker.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// What every desktop's screen capture shares once it can keep a copy of a
// display up to date: the capture thread, its pacing, the pool of delivered
// buffers, the bookkeeping of what changed, the scaling and the stop. A
// desktop only says how its screen is grabbed (a ScreenGrabber).

namespace quorvi {

// Texts a stream ends or fails with, on every desktop.
inline constexpr const char* kCaptureDisplayNotFound = "Display introuvable pour ScreenCaptureKit";
inline constexpr const char* kCaptureDisplayGone = "écran déconnecté";

// What the screen reported since the last tick.
struct ScreenNews {
    // The parts that changed, in canvas coordinates.
    ChangedRegion damage;
    // Where the grab will draw the pointer, when the grabber draws it
    // itself; absent when the pointer is not shown or is already part of
    // the screen's pixels.
    std::optional<PointerPlace> pointer;
    // The canvas changed size, or now shows another part of the screen:
    // everything is grabbed again.
    bool isNewCanvas = false;
};

// One desktop's way of keeping a copy of one display, the canvas: 32-bit
// pixels, blue first in memory, the fourth byte undefined.
//
// Thread: opened on the thread that starts the stream, then used by the
// stream's capture thread alone.
class ScreenGrabber {
public:
    virtual ~ScreenGrabber() = default;

    // Prepares the grabbing of the display; false with the reason in French.
    // Once it succeeded, the canvas has its size.
    virtual bool open(std::string& error) = 0;

    // What changed since the last call. endReason is set when the stream
    // cannot go on.
    virtual ScreenNews news(std::optional<std::string>& endReason) = 0;

    // Brings region of the canvas up to date, with the pointer drawn where
    // news() said. False when it could not this time (the region is asked
    // for again at the next tick), with endReason set when it never will.
    virtual bool grab(const ChangedRegion& region, std::optional<std::string>& endReason) = 0;

    virtual const std::uint8_t* canvas() const = 0;
    virtual std::size_t canvasBytesPerRow() const = 0;
    virtual int canvasWidth() const = 0;
    virtual int canvasHeight() const = 0;
};

// A grabber whose canvas is memory of its own, rows packed tight, that
// it fills as the screen reports news.
//
// Thread: as ScreenGrabber.
class OwnCanvasScreenGrabber : public ScreenGrabber {
public:
    const std::uint8_t* canvas() const override { return canvas_.data(); }
    std::size_t canvasBytesPerRow() const override {
        return static_cast<std::size_t>(canvasWidth_) * 4;
    }
    int canvasWidth() const override { return canvasWidth_; }
    int canvasHeight() const override { return canvasHeight_; }

protected:
    // A canvas of that size, all black, unless it has that size already;
    // whether it changed.
    bool setCanvasSize(int width, int height) {
        if (width == canvasWidth_ && height == canvasHeight_) {
            return false;
        }
        canvasWidth_ = width;
        canvasHeight_ = height;
        canvas_.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0);
        isCanvasBlank_ = true;
        return true;
    }

    std::vector<std::uint8_t> canvas_;
    // Nothing of the screen was taken into the canvas since it was made.
    bool isCanvasBlank_ = true;
    int canvasWidth_ = 0;
    int canvasHeight_ = 0;
};

// The capture threads of one capture service: start() opens the grabber and
// hands it to a new thread that grabs what changed and delivers the
// picture scaled to the asked size, following absolute deadlines one frame
// interval apart (the sleep after the grab, so the rate does not drift
// with the grab's cost), timed to be ready just before the send loop's
// tick. An unchanged screen delivers the last picture again.
//
// Thread: any; destroying the runner stops every stream it started and
// waits for their capture threads.
class CaptureStreamRunner {
public:
    CaptureStreamRunner() = default;
    ~CaptureStreamRunner();
    CaptureStreamRunner(const CaptureStreamRunner&) = delete;
    CaptureStreamRunner& operator=(const CaptureStreamRunner&) = delete;

    CaptureStartResult start(const CaptureStreamConfiguration& configuration,
                             std::unique_ptr<ScreenGrabber> grabber, CaptureStreamOutput output);

    // What a stream's handle and its capture thread share.
    struct StreamState;

private:
    struct Running {
        std::shared_ptr<StreamState> state;
        std::thread thread;
    };

    std::mutex mutex_;
    std::vector<Running> running_;
};

} // namespace quorvi
