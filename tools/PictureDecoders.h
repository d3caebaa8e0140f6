#pragma once

#include "capture/VideoFrameEncoder.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorvi::client {

// A decoded picture, 8-bit RGB, rows packed (3 × width bytes).
struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
};

// JPEG files through TurboJPEG. A warning (a truncated file, say) counts as
// a failure: the server never sends a damaged picture.
//
// Thread: one at a time.
class JpegDecoder {
public:
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // The picture, or none with a French reason in error.
    std::optional<RgbPicture> decode(std::span<const std::uint8_t> jpeg, std::string& error);

private:
    void reset();

    void* decompressor_ = nullptr; // tjhandle
};

// One H.264 or HEVC stream through libavcodec, one access unit at a time,
// tuned for a live stream: no frame threading and low delay, so each access
// unit gives its picture at once (the server's encoders never reorder).
//
// Thread: one at a time.
class VideoDecoder {
public:
    struct Result {
        bool isDecoded = false;
        std::string error; // French, when not decoded
        int width = 0;
        int height = 0;
        bool isKeyFrame = false; // as the decoder saw the picture
    };

    explicit VideoDecoder(VideoCodec codec);
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    VideoCodec codec() const { return codec_; }
    bool isOpen() const;

    Result decode(std::span<const std::uint8_t> accessUnit);

    // The last decoded picture, converted now (only a saved picture needs
    // RGB, so frames are not converted as they come).
    std::optional<RgbPicture> lastPicture() const;

private:
    struct State;
    VideoCodec codec_;
    std::unique_ptr<State> state_;
};

// Writes the picture as a PNG file through libavcodec's PNG encoder. Returns
// a French reason on failure.
std::optional<std::string> writePng(const RgbPicture& picture, const std::string& path);

} // namespace quorvi::client
