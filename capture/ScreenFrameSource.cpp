#include "capture/ScreenFrameSource.h"

#include "protocol/Base64.h"

#include <algorithm>
#include <utility>

namespace quorvi {

namespace {

// Where the pointer is not on the streamed display (or cannot be read), the
// client gets no position at all.
CursorPoint hiddenCursor() {
    return CursorPoint{0, 0, false, std::nullopt};
}

constexpr std::string_view kJpegMimeType = "image/jpeg";

} // namespace

ScreenFrameMessage makeScreenFrameMessage(FrameContent content, std::int64_t sequence,
                                          std::string title) {
    ScreenFrameMessage message;
    message.sequence = sequence;
    message.sentAt = content.sentAt;
    message.width = content.width;
    message.height = content.height;
    message.title = std::move(title);
    message.subtitle = std::move(content.subtitle);
    message.imageBase64 = std::move(content.imageBase64);
    message.imageMimeType = std::move(content.imageMimeType);
    message.videoBase64 = std::move(content.videoBase64);
    message.videoCodec = std::move(content.videoCodec);
    message.isKeyFrame = content.isKeyFrame;
    message.cursor = std::move(content.cursor);
    return message;
}

ScreenFrameSource::ScreenFrameSource(std::shared_ptr<FrameCapture> capture,
                                     std::shared_ptr<VideoEncoder> videoEncoder,
                                     std::shared_ptr<JpegEncoder> jpegEncoder,
                                     std::shared_ptr<PrivacyGrants> grants,
                                     std::shared_ptr<DisplayServices> displays,
                                     std::shared_ptr<Clock> clock)
    : capture_(std::move(capture)), videoEncoder_(std::move(videoEncoder)),
      jpegEncoder_(std::move(jpegEncoder)), grants_(std::move(grants)),
      displays_(std::move(displays)), clock_(std::move(clock)) {}

FrameContent ScreenFrameSource::makeFrameContent(DisplayID displayID,
                                                 const StreamEncodingSettings& settings,
                                                 const std::string& defaultSubtitle) {
    // Asked on every frame: the grant can be withdrawn while streaming, and
    // a stream left running without it would only deliver blank pictures.
    // Stopping on each such frame also means the first frame after the grant
    // comes back starts a fresh stream.
    if (!grants_->isScreenRecordingGranted()) {
        capture_->stop();
        return contentWithoutCapture(displayID, std::string(kScreenRecordingMissingSubtitle));
    }

    capture_->prepare(displayID, settings);
    const std::optional<CapturedScreen> capture = captureDisplay(displayID);
    if (!capture) {
        return contentWithoutCapture(displayID,
                                     capture_->diagnosticSubtitle(/*screenRecordingGranted=*/true));
    }

    FrameContent content;
    content.width = capture->width;
    content.height = capture->height;
    content.subtitle = defaultSubtitle;
    content.imageMimeType = std::string(kJpegMimeType);
    content.capturedAt = capture->capturedAt;
    const CapturedVideoBuffer buffer{
        capture->pixelBuffer, static_cast<std::int64_t>(capture->width),
        static_cast<std::int64_t>(capture->height), capture->capturedAt};
    if (std::optional<EncodedVideoFrame> frame = videoEncoder_->encode(buffer, settings)) {
        content.videoBase64 = encodeBase64(frame->data);
        content.videoCodec = std::move(frame->codec);
        content.isKeyFrame = frame->isKeyFrame;
    } else {
        // This frame only: the next one tries the encoder again.
        content.imageBase64 = fallbackJPEGBase64(*capture, settings.jpegQuality);
    }
    // The time the payload was ready, so that the client's latency includes
    // the encoding.
    content.sentAt = clock_->now();
    content.cursor = cursorPoint(displayID, *capture);
    return content;
}

std::optional<CapturedScreen> ScreenFrameSource::captureDisplay(DisplayID displayID) const {
    std::optional<CapturedVideoBuffer> buffer = capture_->latestBuffer(displayID);
    if (!buffer || buffer->pixelBuffer == nullptr) {
        return std::nullopt;
    }
    return CapturedScreen{static_cast<double>(buffer->width), static_cast<double>(buffer->height),
                          std::move(buffer->pixelBuffer), buffer->capturedAt};
}

std::optional<std::string> ScreenFrameSource::fallbackJPEGBase64(const CapturedScreen& capture,
                                                                 double quality) const {
    if (capture.pixelBuffer == nullptr) {
        return std::nullopt;
    }
    const std::optional<std::vector<std::uint8_t>> jpeg =
        jpegEncoder_->encode(*capture.pixelBuffer, jpegQualityPercent(quality));
    if (!jpeg || jpeg->empty()) {
        return std::nullopt;
    }
    return encodeBase64(*jpeg);
}

CursorPoint ScreenFrameSource::cursorPoint(DisplayID displayID,
                                           const CapturedScreen& capture) const {
    const std::optional<DisplayPoint> pointer = displays_->pointerLocation();
    if (!pointer) {
        return hiddenCursor();
    }
    const DisplayRect bounds = displays_->bounds(displayID);
    // Left and top edges belong to the display, right and bottom ones to its
    // neighbours; an empty rectangle is a display that went away.
    if (!rectContainsPoint(bounds, *pointer) || !(bounds.width > 0) || !(bounds.height > 0)) {
        return hiddenCursor();
    }
    CursorPoint cursor;
    cursor.x = capture.width * (pointer->x - bounds.minX) / bounds.width;
    cursor.y = capture.height * (pointer->y - bounds.minY) / bounds.height;
    // The picture already shows the pointer; the position still tells the
    // client where it is.
    cursor.visible = false;
    cursor.kind = "arrow";
    return cursor;
}

FrameContent ScreenFrameSource::contentWithoutCapture(DisplayID displayID,
                                                      std::string subtitle) const {
    FrameContent content;
    // A display that reads as 0 or 1 pixels (unknown, or gone) still gives
    // the client a picture area it can lay out.
    content.width = static_cast<double>(std::max<std::size_t>(displays_->pixelsWide(displayID), 2));
    content.height =
        static_cast<double>(std::max<std::size_t>(displays_->pixelsHigh(displayID), 2));
    content.subtitle = std::move(subtitle);
    content.cursor = hiddenCursor();
    content.sentAt = clock_->now();
    return content;
}

} // namespace quorvi
