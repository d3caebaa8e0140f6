#pragma once

#include "capture/CapturedVideoBuffer.h"
#include "capture/FrameCapture.h"
#include "capture/JpegEncoder.h"
#include "capture/VideoFrameEncoder.h"
#include "platform/Clock.h"
#include "platform/DisplayServices.h"
#include "protocol/Messages.h"
#include "quality/StreamMode.h"
#include "system/PrivacyGrants.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quorvi {

// Replaces the subtitle while the screen-recording grant is missing.
inline constexpr std::string_view kScreenRecordingMissingSubtitle =
    "Screen Recording non reconnu · relance requise après autorisation";

// What one frame message shows, field for field. At most one of videoBase64
// and imageBase64 is present; imageMimeType is "image/jpeg" on every frame
// built from a capture (also a video frame, or one whose JPEG failed) and
// absent when there was no capture at all.
struct FrameContent {
    double width = 0;
    double height = 0;
    std::string subtitle;
    std::optional<std::string> imageBase64;
    std::optional<std::string> imageMimeType;
    std::optional<std::string> videoBase64;
    std::optional<std::string> videoCodec;
    std::optional<bool> isKeyFrame; // only with videoBase64
    CursorPoint cursor;
    // Seconds since 1970, taken once the payload was made.
    double sentAt = 0;
    // When the picture in the payload was grabbed, if a captured buffer was used.
    std::optional<std::chrono::steady_clock::time_point> capturedAt;

    // A real picture, as opposed to a frame that only explains its absence.
    bool hasPayload() const { return videoBase64.has_value() || imageBase64.has_value(); }

    bool operator==(const FrameContent&) const = default;
};

// The frame message that carries the content (moved, not copied: the payload
// is hundreds of kilobytes), with an empty window list.
ScreenFrameMessage makeScreenFrameMessage(FrameContent content, std::int64_t sequence,
                                          std::string title);

// One captured picture ready for encoding. The stream draws the pointer
// into every picture, so the client never needs to draw one.
struct CapturedScreen {
    double width = 0;
    double height = 0;
    std::shared_ptr<const PixelBuffer> pixelBuffer;
    // When the buffer was grabbed; zero where unknown.
    std::chrono::steady_clock::time_point capturedAt{};
};

// Turns the current picture of one display into the content of one frame:
// video when the encoder delivers, else a JPEG of the same picture, the
// pointer mapped into the picture's pixels, or an explanation when there is
// no picture. Keeps no state of its own between frames: the capture keeps
// the stream and its latest picture, the encoder its compression session.
// Never throws and always answers.
//
// Thread: the server's work queue; makeFrameContent may block it for up to
// one encoder time-out.
class ScreenFrameSource {
public:
    ScreenFrameSource(std::shared_ptr<FrameCapture> capture,
                      std::shared_ptr<VideoEncoder> videoEncoder,
                      std::shared_ptr<JpegEncoder> jpegEncoder,
                      std::shared_ptr<PrivacyGrants> grants,
                      std::shared_ptr<DisplayServices> displays, std::shared_ptr<Clock> clock);

    // settings.targetWidth is already filled by the caller.
    FrameContent makeFrameContent(DisplayID displayID, const StreamEncodingSettings& settings,
                                  const std::string& defaultSubtitle);

private:
    std::optional<CapturedScreen> captureDisplay(DisplayID displayID) const;
    // quality: the settings' factor from 0 to 1.
    std::optional<std::string> fallbackJPEGBase64(const CapturedScreen& capture,
                                                  double quality) const;
    CursorPoint cursorPoint(DisplayID displayID, const CapturedScreen& capture) const;
    // Frame size when there is no picture: the display's, at least 2 × 2.
    FrameContent contentWithoutCapture(DisplayID displayID, std::string subtitle) const;

    std::shared_ptr<FrameCapture> capture_;
    std::shared_ptr<VideoEncoder> videoEncoder_;
    std::shared_ptr<JpegEncoder> jpegEncoder_;
    std::shared_ptr<PrivacyGrants> grants_;
    std::shared_ptr<DisplayServices> displays_;
    std::shared_ptr<Clock> clock_;
};

} // namespace quorvi
