#include "capture/VideoFrameEncoder.h"

#include "capture/AnnexB.h"
#include "capture/CompressionSession.h"

#include <algorithm>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <utility>

namespace quorvi {

std::string_view rawValue(VideoCodec codec) {
    switch (codec) {
    case VideoCodec::hevc:
        return "hevc-annexb";
    case VideoCodec::h264:
        return "h264-annexb";
    }
    return "h264-annexb";
}

std::optional<VideoCodec> videoCodecFromRawValue(std::string_view raw) {
    for (VideoCodec codec : {VideoCodec::hevc, VideoCodec::h264}) {
        if (raw == rawValue(codec)) {
            return codec;
        }
    }
    return std::nullopt;
}

std::int32_t encoderTimeScale(std::int64_t fps) {
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(fps, 1, std::numeric_limits<std::int32_t>::max()));
}

std::chrono::milliseconds encoderTimeout(std::int64_t fps) {
    if (fps > 30) {
        return std::chrono::milliseconds(33);
    }
    return std::chrono::milliseconds(1000 / encoderTimeScale(fps));
}

std::int64_t averageBitRate(std::int64_t width, std::int64_t height, std::int64_t fps) {
    const std::int64_t frameRate = std::max<std::int64_t>(fps, 1);
    const std::int64_t cap = fps >= 30 ? 14000000 : 8000000;
    // Sizes and rates far beyond any screen saturate instead of wrapping.
    std::int64_t pixelRate = 0;
    if (__builtin_mul_overflow(width, height, &pixelRate) ||
        __builtin_mul_overflow(pixelRate, frameRate, &pixelRate)) {
        return cap;
    }
    if (pixelRate <= 450000) {
        return 900000;
    }
    return pixelRate > cap / 2 ? cap : 2 * pixelRate;
}

CompressionProperties compressionProperties(VideoCodec codec, std::int64_t width,
                                            std::int64_t height, std::int64_t fps) {
    CompressionProperties properties;
    properties.realTime = true;
    properties.allowFrameReordering = false;
    properties.profileLevel = codec == VideoCodec::hevc ? ProfileLevel::hevcMainAutoLevel
                                                        : ProfileLevel::h264BaselineAutoLevel;
    properties.expectedFrameRate = std::max<std::int64_t>(fps, 1);
    // Two seconds of frames; fps as given, so fps 0 means no limit.
    std::int64_t interval = 0;
    properties.maxKeyFrameInterval = __builtin_mul_overflow(fps, 2, &interval)
                                         ? std::numeric_limits<std::int64_t>::max()
                                         : interval;
    properties.averageBitRate = averageBitRate(width, height, fps);
    properties.prioritizeEncodingSpeedOverQuality = true;
    return properties;
}

// The meeting point of encode() and the session's output handler. Only the
// tagged submission encode() waits for may fill the slot; a lock guards the
// three fields and is never held across a call into the session.
struct VideoFrameEncoder::Handover {
    struct Wait {
        SubmissionTag tag = 0;
        bool signalled = false;
    };

    std::mutex mutex;
    std::condition_variable signal;
    std::optional<EncodedVideoFrame> pendingFrame;
    // Present only while encode() waits.
    std::optional<Wait> pendingSemaphore;

    bool awaits(SubmissionTag tag) {
        std::lock_guard lock(mutex);
        return pendingSemaphore && pendingSemaphore->tag == tag;
    }

    // Output of the awaited submission, or a signal without a frame when its
    // sample gave nothing; anything else nobody waits for is dropped.
    void deliver(SubmissionTag tag, std::optional<EncodedVideoFrame> frame) {
        std::lock_guard lock(mutex);
        if (!pendingSemaphore || pendingSemaphore->tag != tag) {
            return;
        }
        if (frame) {
            pendingFrame = std::move(frame);
        }
        pendingSemaphore->signalled = true;
        signal.notify_all();
    }
};

VideoFrameEncoder::VideoFrameEncoder() : VideoFrameEncoder(nullptr) {}

VideoFrameEncoder::VideoFrameEncoder(std::shared_ptr<CompressionSessionFactory> factory)
    : factory_(std::move(factory)), handover_(std::make_shared<Handover>()) {}

VideoFrameEncoder::~VideoFrameEncoder() {
    dropSession();
}

void VideoFrameEncoder::forceKeyFrame() {
    keyFrameRequests_.fetch_add(1, std::memory_order_relaxed);
}

std::optional<EncodedVideoFrame> VideoFrameEncoder::encode(const CapturedVideoBuffer& buffer,
                                                           const StreamEncodingSettings& settings) {
    if (!buffer.pixelBuffer) {
        return std::nullopt;
    }
    const std::int64_t fps = settings.fps;
    if (!prepareSession(buffer.pixelBuffer->width(), buffer.pixelBuffer->height(), fps)) {
        return std::nullopt;
    }

    const SubmissionTag tag = ++lastTag_;
    {
        std::lock_guard lock(handover_->mutex);
        handover_->pendingFrame.reset();
        handover_->pendingSemaphore = Handover::Wait{tag, false};
    }

    const MediaTime presentationTime{frameIndex_, encoderTimeScale(fps)};
    ++frameIndex_;
    const std::uint64_t requests = keyFrameRequests_.load(std::memory_order_relaxed);
    const bool forceKey = streamHasGap_ || requests != keyFrameRequestsAnswered_;

    if (!session_->encodeFrame(buffer.pixelBuffer, presentationTime, tag, forceKey)) {
        std::lock_guard lock(handover_->mutex);
        handover_->pendingSemaphore.reset();
        return std::nullopt;
    }
    session_->completeFrames(presentationTime);

    std::optional<EncodedVideoFrame> frame;
    {
        std::unique_lock lock(handover_->mutex);
        const auto deadline = std::chrono::steady_clock::now() + encoderTimeout(fps);
        handover_->signal.wait_until(lock, deadline,
                                     [&] { return handover_->pendingSemaphore->signalled; });
        handover_->pendingSemaphore.reset();
        frame = std::exchange(handover_->pendingFrame, std::nullopt);
    }

    if (!frame) {
        streamHasGap_ = true;
    } else if (frame->isKeyFrame) {
        streamHasGap_ = false;
        keyFrameRequestsAnswered_ = requests;
    }
    return frame;
}

bool VideoFrameEncoder::prepareSession(std::int64_t width, std::int64_t height, std::int64_t fps) {
    if (session_ && width_ == width && height_ == height) {
        updateSession(fps);
        return true;
    }
    dropSession();
    width_ = width;
    height_ = height;
    frameIndex_ = 0;
    if (createSession(width, height, VideoCodec::hevc, fps)) {
        return true;
    }
    session_.reset();
    if (createSession(width, height, VideoCodec::h264, fps)) {
        return true;
    }
    session_.reset();
    return false;
}

bool VideoFrameEncoder::createSession(std::int64_t width, std::int64_t height, VideoCodec codec,
                                      std::int64_t fps) {
    constexpr std::int64_t largest = std::numeric_limits<std::int32_t>::max();
    if (!factory_ || width < 0 || height < 0 || width > largest || height > largest) {
        return false;
    }
    // The handler keeps the meeting point alive, not the encoder: output
    // that comes late, even after the encoder is gone, lands nowhere.
    CompressionOutputHandler output = [handover = handover_,
                                       codec](SubmissionTag tag, int status,
                                              const CompressedSample* sample) {
        if (status != 0 || sample == nullptr || !handover->awaits(tag)) {
            return;
        }
        handover->deliver(tag, makeAccessUnit(*sample, codec));
    };
    std::unique_ptr<CompressionSession> session =
        factory_->create(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height), codec,
                         compressionProperties(codec, width, height, fps), std::move(output));
    if (!session) {
        return false;
    }
    codec_ = codec;
    session_ = std::move(session);
    updateSession(fps);
    session_->prepareToEncodeFrames();
    // A new session starts with a key frame and nothing before it.
    streamHasGap_ = false;
    return true;
}

void VideoFrameEncoder::updateSession(std::int64_t fps) {
    if (session_) {
        session_->setProperties(compressionProperties(codec_, width_, height_, fps));
    }
}

void VideoFrameEncoder::dropSession() {
    if (session_) {
        session_->invalidate();
        session_.reset();
    }
}

} // namespace quorvi
