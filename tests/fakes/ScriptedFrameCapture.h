#pragma once

#include "capture/FrameCapture.h"
#include "capture/JpegEncoder.h"
#include "capture/VideoFrameEncoder.h"

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

// Scripted stand-ins for the frame source's collaborators: the capture
// session and both encoders. Thread: any (a mutex guards each script).

namespace quorvi::fakes {

// A capture whose pictures the test sets; it records the streams asked for
// and counts the stops.
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
    std::vector<Prepared> prepared() const {
        std::lock_guard lock(mutex_);
        return prepared_;
    }
    int stopCount() const { return stopCount_; }

    void prepare(DisplayID displayID, const StreamEncodingSettings& settings) override {
        std::lock_guard lock(mutex_);
        prepared_.push_back({displayID, settings});
    }
    void stop() override { ++stopCount_; }
    std::string diagnosticSubtitle(bool) const override { return "ScreenCaptureKit démarre"; }
    std::optional<CapturedVideoBuffer> latestBuffer(DisplayID displayID) const override {
        std::lock_guard lock(mutex_);
        const auto found = buffers_.find(displayID);
        return found == buffers_.end() ? std::nullopt : std::optional(found->second);
    }

private:
    mutable std::mutex mutex_;
    std::map<DisplayID, CapturedVideoBuffer> buffers_;
    std::vector<Prepared> prepared_;
    std::atomic<int> stopCount_{0};
};

// An encoder that answers one scripted result, or an answer made from the
// call so that the result shows what it was given. The answer runs without
// the lock and may also stand for the time encoding takes.
template <typename Interface, typename Result, typename... Args>
class ScriptedEncoder : public Interface {
public:
    void setResult(Result result) {
        setAnswer([result = std::move(result)](Args...) { return result; });
    }
    void setAnswer(std::function<Result(Args...)> answer) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(answer);
    }
    Result encode(Args... args) override {
        std::unique_lock lock(mutex_);
        const auto answer = answer_;
        lock.unlock();
        return answer ? answer(args...) : Result{};
    }

private:
    std::mutex mutex_;
    std::function<Result(Args...)> answer_;
};

// The start and end markers of a JPEG file unless told otherwise.
class ScriptedJpegEncoder final
    : public ScriptedEncoder<JpegEncoder, std::optional<std::vector<std::uint8_t>>,
                             const PixelBuffer&, int> {
public:
    ScriptedJpegEncoder() { setResult(std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xD9}); }
};

// Nothing unless told otherwise; counts the key frames asked for.
class ScriptedVideoEncoder final
    : public ScriptedEncoder<VideoEncoder, std::optional<EncodedVideoFrame>,
                             const CapturedVideoBuffer&, const StreamEncodingSettings&> {
public:
    void forceKeyFrame() override { ++forcedKeyFrames_; }
    int forcedKeyFrames() const { return forcedKeyFrames_; }

private:
    std::atomic<int> forcedKeyFrames_{0};
};

} // namespace quorvi::fakes
