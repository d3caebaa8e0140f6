#pragma once

#include "capture/VideoFrameEncoder.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace quorvi::fakes {

// A video encoder that answers what the test scripted (none by default) and
// records every picture and settings it was given. onEncode runs inside
// encode, before it answers, to stand for the time encoding takes.
//
// Thread: any (a mutex guards the script and the record).
class ScriptedVideoEncoder final : public VideoEncoder {
public:
    struct Call {
        CapturedVideoBuffer buffer;
        StreamEncodingSettings settings;
    };

    void setResult(std::optional<EncodedVideoFrame> result) {
        std::lock_guard lock(mutex_);
        result_ = std::move(result);
    }

    void setOnEncode(std::function<void()> action) {
        std::lock_guard lock(mutex_);
        onEncode_ = std::move(action);
    }

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

    std::optional<EncodedVideoFrame> encode(const CapturedVideoBuffer& buffer,
                                            const StreamEncodingSettings& settings) override {
        std::function<void()> action;
        std::optional<EncodedVideoFrame> result;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back({buffer, settings});
            action = onEncode_;
            result = result_;
        }
        if (action) {
            action();
        }
        return result;
    }

    void forceKeyFrame() override { ++forcedKeyFrames_; }
    int forcedKeyFrames() const { return forcedKeyFrames_; }

private:
    std::atomic<int> forcedKeyFrames_{0};
    mutable std::mutex mutex_;
    std::optional<EncodedVideoFrame> result_;
    std::function<void()> onEncode_;
    std::vector<Call> calls_;
};

} // namespace quorvi::fakes
