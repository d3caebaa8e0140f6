#pragma once

#include "capture/CapturedVideoBuffer.h"
#include "quality/StreamMode.h"

#include <cstdint>
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
};

// The server's video encoder.
//
// Thread: the server's work queue.
class VideoFrameEncoder final : public VideoEncoder {
public:
    std::optional<EncodedVideoFrame> encode(const CapturedVideoBuffer& buffer,
                                            const StreamEncodingSettings& settings) override;
};

} // namespace quorvi
