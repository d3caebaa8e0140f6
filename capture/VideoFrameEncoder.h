#pragma once

#include "capture/CapturedVideoBuffer.h"
#include "quality/StreamMode.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvi {

// The two codecs, HEVC preferred. The raw value is the codec name frames
// carry in "videoCodec".
enum class VideoCodec { hevc, h264 };

// "hevc-annexb" or "h264-annexb".
std::string_view rawValue(VideoCodec codec);
std::optional<VideoCodec> videoCodecFromRawValue(std::string_view raw);

// One compressed access unit in Annex-B form: every NAL unit after the start
// code 00 00 00 01, the parameter sets in front of every key frame.
struct EncodedVideoFrame {
    std::vector<std::uint8_t> data;
    // The codec's raw value, "hevc-annexb" or "h264-annexb".
    std::string codec;
    // The access unit can be decoded on its own.
    bool isKeyFrame = false;

    bool operator==(const EncodedVideoFrame&) const = default;
};

// What the frame source needs of a video encoder: one picture in, one access
// unit out, or none when no frame could be made in time (the frame then goes
// out as JPEG). Tests script their own.
//
// Thread: the server's work queue.
class VideoEncoder {
public:
    virtual ~VideoEncoder() = default;

    // Blocks at most one frame interval of settings.fps.
    virtual std::optional<EncodedVideoFrame> encode(const CapturedVideoBuffer& buffer,
                                                    const StreamEncodingSettings& settings) = 0;

    // The next frame encode() delivers will be a key frame. The server asks
    // for it when a client connects: a decoder that joins a running stream
    // can do nothing with the P-frames that would otherwise come until the
    // next periodic key frame. Safe from any thread.
    virtual void forceKeyFrame() {}
};

// The time base of a stream at fps: max(fps, 1) as a 32-bit integer.
std::int32_t encoderTimeScale(std::int64_t fps);
// How long encode() waits for the session's output: one frame interval,
// 1000 ms for fps 0 or 1, 33 ms from 31 fps on.
std::chrono::milliseconds encoderTimeout(std::int64_t fps);
// Two bits per pixel per frame, at least 900000, capped at 14000000 from
// 30 fps on and 8000000 below.
std::int64_t averageBitRate(std::int64_t width, std::int64_t height, std::int64_t fps);

class CompressionSession;
class CompressionSessionFactory;

// The server's video encoder: one compression session at a time, made for
// the size of the pictures it gets (HEVC first, H.264 when no HEVC session
// can be made), turned synchronous: encode() submits the picture, has the
// session push it out and waits at most one frame interval for the access
// unit.
//
// The session's output may arrive on another thread and after the wait gave
// up. Every submission is numbered and the output carries its number, so
// such a late frame is dropped rather than taken for the next picture's.
// Since the client got a JPEG for a frame whose output never came, the
// stream it decodes lacks that frame: the next submission asks for a key
// frame, as forceKeyFrame() does.
//
// Thread: the server's work queue (forceKeyFrame() from any thread); the
// session's output handler from any thread.
class VideoFrameEncoder final : public VideoEncoder {
public:
    // Without a factory no session can be made: every frame goes out as JPEG.
    VideoFrameEncoder();
    explicit VideoFrameEncoder(std::shared_ptr<CompressionSessionFactory> factory);
    ~VideoFrameEncoder() override;
    VideoFrameEncoder(const VideoFrameEncoder&) = delete;
    VideoFrameEncoder& operator=(const VideoFrameEncoder&) = delete;

    std::optional<EncodedVideoFrame> encode(const CapturedVideoBuffer& buffer,
                                            const StreamEncodingSettings& settings) override;
    void forceKeyFrame() override;

private:
    struct Handover;

    bool prepareSession(std::int64_t width, std::int64_t height, std::int64_t fps);
    bool createSession(std::int64_t width, std::int64_t height, VideoCodec codec, std::int64_t fps);
    void updateSession(std::int64_t fps);
    void dropSession();

    std::shared_ptr<CompressionSessionFactory> factory_;
    std::unique_ptr<CompressionSession> session_;
    std::int64_t width_ = 0;
    std::int64_t height_ = 0;
    VideoCodec codec_ = VideoCodec::h264;
    // Frames submitted to the current session.
    std::int64_t frameIndex_ = 0;
    std::uint64_t lastTag_ = 0;
    // forceKeyFrame() counts requests; a delivered key frame answers every
    // request made before its submission.
    std::atomic<std::uint64_t> keyFrameRequests_{0};
    std::uint64_t keyFrameRequestsAnswered_ = 0;
    // A submitted frame's output never came.
    bool streamHasGap_ = false;
    // Shared with the session's output handler, which may outlive us.
    std::shared_ptr<Handover> handover_;
};

} // namespace quorvi
