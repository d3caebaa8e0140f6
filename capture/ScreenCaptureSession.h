#pragma once

#include "capture/CaptureService.h"
#include "capture/CapturedVideoBuffer.h"
#include "platform/DisplayServices.h"
#include "quality/StreamMode.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace quorvi {

// The pixel size a display is captured at.
struct CaptureOutputSize {
    std::int64_t width = 0;
    std::int64_t height = 0;

    bool operator==(const CaptureOutputSize&) const = default;
};

// Keeps one capture stream of one display running and remembers the latest
// picture it delivered. The frame source calls prepare() on every tick; only
// a change of display, size or frame rate restarts the stream, in the
// background. Every start carries a generation number, so a start that
// finishes after a newer prepare() or a stop() is thrown away (and its
// stream stopped). Nobody ever waits for the capture service: while there is
// no picture, diagnosticSubtitle() says why in French.
//
// Create it with std::make_shared: background starts and the stream's
// callbacks hold it weakly and do nothing once it is gone.
//
// Thread: prepare(), stop() and diagnosticSubtitle() on the server's work
// queue; latestBuffer() on any thread (the frame source reads it on the work
// queue). Starts run on a background thread of their own; samples arrive on
// the stream's capture thread (the capture queue), a stop with error on any
// thread.
class ScreenCaptureSession : public std::enable_shared_from_this<ScreenCaptureSession> {
public:
    explicit ScreenCaptureSession(std::shared_ptr<CaptureService> captureService,
                                  std::shared_ptr<DisplayServices> displayServices);
    ~ScreenCaptureSession();
    ScreenCaptureSession(const ScreenCaptureSession&) = delete;
    ScreenCaptureSession& operator=(const ScreenCaptureSession&) = delete;

    // The size a display of pixelsWide x pixelsHigh is captured at: the
    // settings' maxWidth, lowered to targetWidth when there is one, never
    // above the display's width; the height keeps the display's proportions,
    // rounded half away from zero. Then both sides are made even by dropping
    // an odd last pixel, and are at least 2. A display that reports less than
    // 2 pixels counts as 2.
    //
    // Even because 4:2:0 video has one chroma sample per 2 × 2 pixels: an
    // encoder codes an odd side one pixel short (or would need a crop of one
    // pixel, which the codecs cannot express), so the decoded picture would
    // not have the size its frame message states, and the client would scale
    // the picture and map taps with the wrong size. Capturing at the even
    // size keeps the message, the picture (video or JPEG) and the cursor
    // position, which is mapped into the captured picture, in agreement.
    static CaptureOutputSize outputSize(std::size_t pixelsWide, std::size_t pixelsHigh,
                                        const StreamEncodingSettings& settings);

    // Makes sure a stream of displayID runs at the size and rate the settings
    // imply (maxWidth, targetWidth and fps are used). Returns at once.
    void prepare(DisplayID displayID, const StreamEncodingSettings& settings);

    // Ends the current stream without waiting for it, and forgets it, its
    // settings and every picture. The last error text is kept.
    void stop();

    // Why there is no picture, in French.
    std::string diagnosticSubtitle(bool screenRecordingGranted) const;

    // The latest picture of the display, read under lock; the pixels are
    // shared, not copied.
    std::optional<CapturedVideoBuffer> latestBuffer(DisplayID displayID) const;

private:
    // The state one start works with, copied into its background thread.
    struct StartRequest {
        DisplayID displayID = 0;
        CaptureOutputSize size;
        std::int64_t fps = 0;
        std::int64_t generation = 0;
    };

    static void start(const std::weak_ptr<ScreenCaptureSession>& weakSelf,
                      const std::shared_ptr<CaptureService>& service, const StartRequest& request);
    static CaptureStreamConfiguration configuration(const StartRequest& request,
                                                    const ShareableContent& content);
    static CaptureStreamOutput output(const std::weak_ptr<ScreenCaptureSession>& weakSelf,
                                      const StartRequest& request);

    // Under stateLock: the start of generation is still the one wanted.
    bool isCurrentLocked(std::int64_t generation, DisplayID displayID) const;
    void launchStart(const StartRequest& request);
    void failStart(std::int64_t generation, DisplayID displayID, std::string text);
    void deliver(std::int64_t generation, DisplayID displayID, CapturedVideoBuffer buffer);
    void streamDidStop(std::int64_t generation, const std::string& description);

    const std::shared_ptr<CaptureService> captureService_;
    const std::shared_ptr<DisplayServices> displayServices_;

    // Guards latestBuffers and acceptedGeneration.
    mutable std::mutex lock;
    // Guards everything below it down to isStarting, and stream with the
    // active fields, which the work queue, the start thread and the stream's
    // callbacks all touch. Never held together with lock, and never across a
    // call into the capture service.
    mutable std::mutex stateLock;

    // stateLock:
    std::shared_ptr<CaptureStream> stream;
    std::optional<DisplayID> activeDisplayID;
    std::optional<std::int64_t> activeWidth;
    std::optional<std::int64_t> activeHeight;
    std::optional<std::int64_t> activeFPS;
    std::int64_t streamGeneration = 0;
    std::optional<std::string> lastErrorSummary;
    bool isStarting = false;
    // The generation whose stream reported that it stopped by itself; such a
    // report can overtake the end of its own start.
    std::int64_t endedGeneration = 0;

    // lock:
    std::map<DisplayID, CapturedVideoBuffer> latestBuffers;
    // Samples are filed only when they come from the stream of this
    // generation (0: none), so a late sample from a stopped or replaced
    // stream never lands in the table.
    std::int64_t acceptedGeneration = 0;
};

} // namespace quorvi
