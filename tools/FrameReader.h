#pragma once

#include "capture/VideoFrameEncoder.h"
#include "tools/PictureDecoders.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorvi::client {

// What the client made of one frame line.
struct FrameReport {
    bool isWellFormed = false;
    // French, when not well-formed.
    std::string reason;
    // Absent when the line was not even a readable frame.
    std::optional<std::int64_t> sequence;
    std::string payloadKind = "none"; // jpeg, h264, hevc or none
    double width = 0;
    double height = 0;
    std::size_t payloadBytes = 0; // decoded from Base64
    std::optional<bool> isKeyFrame;
    double latencyMs = 0; // receive time − sentAt
    std::string subtitle;
    // A video frame that arrived before the first key frame of its stream:
    // well-formed but not decodable on its own.
    bool isAwaitingKeyFrame = false;
};

// Checks and decodes frame lines one after the other: the JSON and its
// required keys, the payload combination (at most one payload; video with
// its codec and key-frame flag; "image/jpeg" wherever a capture existed),
// strict Base64, the Annex-B form of video, and the picture itself, whose
// size must be the frame's. Video goes through one decoder per codec run; a
// codec change or a decoding failure waits for the next key frame.
//
// Thread: one at a time.
class FrameReader {
public:
    FrameReader();
    ~FrameReader();

    FrameReport read(std::string_view line, double receivedAt);

    // The last picture decoded, JPEG or video.
    std::optional<RgbPicture> lastPicture() const;

    // Called with every video access unit received (well-formed or not),
    // for --dump.
    std::function<void(std::span<const std::uint8_t>)> onAccessUnit;

private:
    void readJpeg(std::span<const std::uint8_t> bytes, FrameReport& report);
    void readVideo(std::span<const std::uint8_t> bytes, VideoCodec codec, FrameReport& report);

    JpegDecoder jpegDecoder_;
    std::unique_ptr<VideoDecoder> videoDecoder_;
    bool isAwaitingKeyFrame_ = true;
    std::optional<RgbPicture> lastJpeg_;
    bool isLastPictureVideo_ = false;
};

// One line per frame:
// "frame seq=3 payload=h264 size=1280x800 bytes=23012 key=yes latency_ms=12.1"
// with key=- for pictures that are not video, subtitle="…" on frames
// without payload, and " decoded=no (attente d'une image clé)" when the
// frame waited for a key frame.
std::string formatFrameLine(const FrameReport& report);

// "trame malformée seq=3: raison" (seq=? when the line had no readable
// sequence).
std::string formatMalformedLine(const FrameReport& report);

} // namespace quorvi::client
