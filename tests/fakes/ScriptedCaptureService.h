#pragma once

#include "capture/CaptureService.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorvi::fakes {

// A stream the test drives: deliver() plays its capture thread, endWith()
// its platform stopping it. It records the stops it was asked for and
// completes each at once.
//
// Thread: any (a mutex guards the record).
class ScriptedCaptureStream final : public CaptureStream {
public:
    ScriptedCaptureStream(CaptureStreamConfiguration configuration, CaptureStreamOutput output);

    void stop(std::function<void()> completion) override;

    const CaptureStreamConfiguration& configuration() const { return configuration_; }

    // Hands a picture to the output on the calling thread, also after a stop:
    // a sample may already be on its way when the stop is asked.
    void deliver(CapturedVideoBuffer buffer);
    // A picture of the configured size.
    void deliverPicture();
    // The platform ends the stream with that reason.
    void endWith(const std::string& description);

    int stopCount() const;
    bool waitUntilStopped(std::chrono::milliseconds limit) const;

private:
    const CaptureStreamConfiguration configuration_;
    const CaptureStreamOutput output_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    int stopCount_ = 0;
};

// A capture service whose answers the test writes. Content queries and
// starts can be held: the call then waits (after being counted) until the
// test lets it go, so that a test can stop or re-prepare a session while its
// start is under way.
//
// Thread: any (a mutex guards the script and the record).
class ScriptedCaptureService final : public CaptureService {
public:
    void setContent(ShareableContent content);
    // With a description, content queries fail with it.
    void failContentQueries(std::optional<std::string> description);
    // With a description, starts fail with it.
    void failStarts(std::optional<std::string> description);
    // With a description, each started stream reports that it ended before
    // start() returns (a stream that dies at once).
    void endStreamsAtStart(std::optional<std::string> description);
    void holdContentQueries(bool isHeld);
    void holdStarts(bool isHeld);

    ShareableContentResult shareableContent() override;
    CaptureStartResult start(const CaptureStreamConfiguration& configuration,
                             CaptureStreamOutput output) override;

    int contentQueries() const;
    // Starts asked for so far, in order.
    std::size_t startCount() const;
    // The configuration of the start at index.
    CaptureStreamConfiguration configuration(std::size_t index) const;
    // The stream the start at index made (null while it is held or when it
    // failed).
    std::shared_ptr<ScriptedCaptureStream> stream(std::size_t index) const;
    // start() calls that have returned.
    std::size_t finishedStarts() const;

    bool waitForContentQueries(int count, std::chrono::milliseconds limit) const;
    bool waitForStarts(std::size_t count, std::chrono::milliseconds limit) const;
    bool waitForFinishedStarts(std::size_t count, std::chrono::milliseconds limit) const;

private:
    struct Start {
        CaptureStreamConfiguration configuration;
        std::shared_ptr<ScriptedCaptureStream> stream;
    };

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    ShareableContent content_;
    std::optional<std::string> contentFailure_;
    std::optional<std::string> startFailure_;
    std::optional<std::string> endAtStart_;
    bool isContentHeld_ = false;
    bool isStartHeld_ = false;
    int contentQueries_ = 0;
    std::vector<Start> starts_;
    std::size_t finishedStarts_ = 0;
};

} // namespace quorvi::fakes
