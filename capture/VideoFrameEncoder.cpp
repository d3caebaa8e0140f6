#include "capture/VideoFrameEncoder.h"

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

std::optional<EncodedVideoFrame> VideoFrameEncoder::encode(const CapturedVideoBuffer&,
                                                           const StreamEncodingSettings&) {
    // No compression session behind this yet (the libavcodec one is being
    // written): every frame takes the JPEG path until it lands.
    return std::nullopt;
}

} // namespace quorvi
