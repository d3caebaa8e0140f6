#pragma once

#include "capture/CapturedVideoBuffer.h"
#include "platform/DisplayServices.h"
#include "quality/StreamMode.h"

#include <optional>
#include <string>

namespace quorvi {

// What the frame source asks of the capture session: keep a stream of this
// display running, stop it, explain why there is no picture, and hand over
// the latest picture. Kept this small so the frame source can be exercised
// with a scripted capture; SessionFrameCapture forwards it to the real
// session.
//
// Thread: the server's work queue, like the frame source that calls it.
class FrameCapture {
public:
    virtual ~FrameCapture() = default;

    // Makes sure a stream of the display runs at the size and rate the
    // settings imply; returns at once, the stream starts in the background.
    virtual void prepare(DisplayID displayID, const StreamEncodingSettings& settings) = 0;
    // Stops the stream, without waiting for it to wind down.
    virtual void stop() = 0;
    // A short French text saying why no picture is available.
    virtual std::string diagnosticSubtitle(bool screenRecordingGranted) const = 0;
    // The latest picture of the display, sharing its pixel buffer (never a
    // copy), or none when the stream has not delivered one.
    virtual std::optional<CapturedVideoBuffer> latestBuffer(DisplayID displayID) const = 0;
};

} // namespace quorvi
