#pragma once

#include "capture/CapturedVideoBuffer.h"
#include "platform/DisplayServices.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvi {

// The application a window belongs to, as far as the capture service can
// tell.
struct CaptureApplication {
    // The name shown to the user (on X11 the WM_CLASS class).
    std::string applicationName;
    // The window belongs to this very application (on X11: its _NET_WM_PID is
    // our process).
    bool isThisApplication = false;

    bool operator==(const CaptureApplication&) const = default;
};

// One window currently on screen.
struct ShareableWindow {
    // The platform's window identifier.
    std::uint64_t windowID = 0;
    // Absent when nothing tells which application owns the window.
    std::optional<CaptureApplication> owningApplication;

    bool operator==(const ShareableWindow&) const = default;
};

// What can be captured right now: the displays and the on-screen windows,
// each in the platform's order.
struct ShareableContent {
    std::vector<DisplayID> displayIDs;
    std::vector<ShareableWindow> windows;
};

// Either the content, or the platform's description (in French) of why it
// could not be read.
struct ShareableContentResult {
    std::optional<ShareableContent> content;
    std::string errorDescription;
};

// A duration of value / timescale seconds.
struct MediaTime {
    std::int64_t value = 1;
    std::int32_t timescale = 1;

    bool operator==(const MediaTime&) const = default;
};

// What a capture stream is asked to produce.
struct CaptureStreamConfiguration {
    DisplayID displayID = 0;
    // Windows of this application that should stay out of the picture. A
    // platform that grabs the whole screen (X11) cannot leave them out and
    // only takes note; hiding our window during a stream covers that case.
    std::vector<std::uint64_t> excludedWindowIDs;
    // The size of every delivered picture, in pixels: the display is scaled
    // to it.
    std::int64_t width = 0;
    std::int64_t height = 0;
    // At most one picture per interval.
    MediaTime minimumFrameInterval;
    // How many pictures the stream may have out at once; when all of them
    // are still referenced, a picture is skipped rather than a new one made.
    int queueDepth = 3;
    // The pointer is drawn into every picture.
    bool showsCursor = true;

    bool operator==(const CaptureStreamConfiguration&) const = default;
};

// Where a stream delivers. Both callbacks may run concurrently with anything
// the receiver does elsewhere, so they must do their own locking.
struct CaptureStreamOutput {
    // One 32-bit BGRA picture of the configured size. Runs on the stream's
    // capture thread, one call at a time, never after the stream's stop
    // completion.
    std::function<void(CapturedVideoBuffer)> didOutputSample;
    // The stream ended by itself; the argument is the reason in French. Runs
    // at most once, on any thread, and never for a stop that was asked for.
    std::function<void(const std::string&)> didStopWithError;
};

// A running capture stream.
//
// Thread: any.
class CaptureStream {
public:
    virtual ~CaptureStream() = default;

    // Asks the stream to stop capturing and returns at once. completion (may
    // be empty) runs once, on any thread, when the stream has stopped and
    // will deliver nothing more; on a stream that already ended it runs right
    // away. Stopping is never reported as an error.
    virtual void stop(std::function<void()> completion) = 0;
};

// Either the started stream, or the platform's description (in French) of
// why it could not start.
struct CaptureStartResult {
    std::shared_ptr<CaptureStream> stream;
    std::string errorDescription;
};

// The platform's screen capture.
//
// Thread: any; both calls block until the platform has answered, so they
// are made from a background thread, never from the server's work queue.
class CaptureService {
public:
    virtual ~CaptureService() = default;

    // The displays that can be captured and the windows on screen (desktop
    // windows included).
    virtual ShareableContentResult shareableContent() = 0;

    // Starts a stream and returns once it captures, or with the reason it
    // cannot. The stream holds output until it has stopped.
    virtual CaptureStartResult start(const CaptureStreamConfiguration& configuration,
                                     CaptureStreamOutput output) = 0;
};

} // namespace quorvi
