#pragma once

#include "capture/FrameCapture.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace quorvi::fakes {

// A capture whose pictures and diagnostic text the test sets, and which
// records what it was asked to do.
//
// Thread: any (a mutex guards the script and the record).
class ScriptedFrameCapture final : public FrameCapture {
public:
    struct Prepared {
        DisplayID displayID = 0;
        StreamEncodingSettings settings;

        bool operator==(const Prepared&) const = default;
    };

    void setBuffer(DisplayID displayID, CapturedVideoBuffer buffer) {
        std::lock_guard lock(mutex_);
        buffers_[displayID] = std::move(buffer);
    }

    void clearBuffers() {
        std::lock_guard lock(mutex_);
        buffers_.clear();
    }

    void setDiagnostic(std::string text) {
        std::lock_guard lock(mutex_);
        diagnostic_ = std::move(text);
    }

    std::vector<Prepared> prepared() const {
        std::lock_guard lock(mutex_);
        return prepared_;
    }

    int stopCount() const {
        std::lock_guard lock(mutex_);
        return stopCount_;
    }

    // The argument of every diagnosticSubtitle call, in order.
    std::vector<bool> diagnosticQueries() const {
        std::lock_guard lock(mutex_);
        return diagnosticQueries_;
    }

    void prepare(DisplayID displayID, const StreamEncodingSettings& settings) override {
        std::lock_guard lock(mutex_);
        prepared_.push_back({displayID, settings});
    }

    void stop() override {
        std::lock_guard lock(mutex_);
        ++stopCount_;
    }

    std::string diagnosticSubtitle(bool screenRecordingGranted) const override {
        std::lock_guard lock(mutex_);
        diagnosticQueries_.push_back(screenRecordingGranted);
        return diagnostic_;
    }

    std::optional<CapturedVideoBuffer> latestBuffer(DisplayID displayID) const override {
        std::lock_guard lock(mutex_);
        const auto found = buffers_.find(displayID);
        if (found == buffers_.end()) {
            return std::nullopt;
        }
        return found->second;
    }

private:
    mutable std::mutex mutex_;
    std::map<DisplayID, CapturedVideoBuffer> buffers_;
    std::string diagnostic_ = "ScreenCaptureKit démarre";
    std::vector<Prepared> prepared_;
    int stopCount_ = 0;
    mutable std::vector<bool> diagnosticQueries_;
};

} // namespace quorvi::fakes
