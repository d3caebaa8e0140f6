#pragma once

#include "capture/CaptureService.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvi::fakes {

// How long a test waits for the session's background start to move on.
inline constexpr std::chrono::seconds kCaptureWaitLimit{5};

// A stream the test drives: deliver() plays its capture thread, also after a
// stop (a sample may already be on its way then), endWith() its platform
// ending it; a stop completes at once. Thread: any.
class ScriptedCaptureStream final : public CaptureStream {
public:
    ScriptedCaptureStream(CaptureStreamConfiguration configuration, CaptureStreamOutput output)
        : configuration_(std::move(configuration)), output_(std::move(output)) {}

    void stop(std::function<void()> completion) override {
        isStopped_ = true;
        if (completion) {
            completion();
        }
    }
    bool isStopped() const { return isStopped_; }

    void deliver(CapturedVideoBuffer buffer) { output_.didOutputSample(std::move(buffer)); }
    void deliverPicture() {
        deliver({std::make_shared<const PixelBuffer>(configuration_.width, configuration_.height),
                 configuration_.width, configuration_.height});
    }
    void endWith(const std::string& description) { output_.didStopWithError(description); }

private:
    const CaptureStreamConfiguration configuration_;
    const CaptureStreamOutput output_;
    std::atomic<bool> isStopped_{false};
};

// A capture service whose answers the test writes. Content queries and
// starts can be held: the call then waits (after being recorded) until the
// test lets it go, so that a test can stop or re-prepare a session while its
// start is under way. Thread: any (a mutex guards the script and the record).
class ScriptedCaptureService final : public CaptureService {
public:
    struct Script {
        ShareableContent content;
        // Queries / starts fail with this; a started stream reports this end
        // before start() returns.
        std::optional<std::string> queryError, startError, endAtStart;
        bool holdQueries = false, holdStarts = false;
    };
    struct Start {
        CaptureStreamConfiguration configuration;
        // Null while the start is held, or when it failed.
        std::shared_ptr<ScriptedCaptureStream> stream;
    };

    void edit(const std::function<void(Script&)>& change) {
        std::lock_guard guard(mutex_);
        change(script_);
        changed_.notify_all();
    }

    ShareableContentResult shareableContent() override {
        std::unique_lock guard(mutex_);
        ++queries_;
        changed_.notify_all();
        changed_.wait(guard, [this] { return !script_.holdQueries; });
        return {script_.queryError ? std::nullopt : std::optional(script_.content),
                script_.queryError.value_or("")};
    }

    CaptureStartResult start(const CaptureStreamConfiguration& configuration,
                             CaptureStreamOutput output) override {
        std::unique_lock guard(mutex_);
        const std::size_t index = starts_.size();
        starts_.push_back({configuration, nullptr});
        changed_.notify_all();
        changed_.wait(guard, [this] { return !script_.holdStarts; });
        const Script script = script_;
        std::shared_ptr<ScriptedCaptureStream> stream;
        if (!script.startError) {
            stream = std::make_shared<ScriptedCaptureStream>(configuration, std::move(output));
            starts_[index].stream = stream;
        }
        guard.unlock();
        if (stream && script.endAtStart) {
            stream->endWith(*script.endAtStart);
        }
        edit([this](Script&) { ++finishedStarts_; });
        return {stream, script.startError.value_or("")};
    }

    std::vector<Start> starts() const {
        std::lock_guard guard(mutex_);
        return starts_;
    }
    // Content queries made, starts asked for, start() calls returned.
    struct Counts {
        int queries;
        std::size_t starts, finishedStarts;
    };
    bool waitUntil(const std::function<bool(const Counts&)>& isDone) const {
        std::unique_lock guard(mutex_);
        return changed_.wait_for(guard, kCaptureWaitLimit, [&] {
            return isDone({queries_, starts_.size(), finishedStarts_});
        });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Script script_;
    int queries_ = 0;
    std::vector<Start> starts_;
    std::size_t finishedStarts_ = 0;
};

} // namespace quorvi::fakes
