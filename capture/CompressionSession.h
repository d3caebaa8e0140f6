#pragma once

#include "capture/CaptureService.h"
#include "capture/CapturedVideoBuffer.h"
#include "capture/VideoFrameEncoder.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

// What the video encoder needs of the platform's compressor: a session made
// for one picture size and codec, tuned by a handful of properties, fed one
// picture at a time and told to push its output out. The platform
// implements it (libavcodec on Linux); tests script it.

namespace quorvi {

enum class ProfileLevel { hevcMainAutoLevel, h264BaselineAutoLevel };

// The session's tuning, in the order the encoder applies it. Everything here
// leans toward latency: a frame leaves as soon as it is coded.
struct CompressionProperties {
    bool realTime = true;
    // No B-frames: decode order equals presentation order.
    bool allowFrameReordering = false;
    ProfileLevel profileLevel = ProfileLevel::h264BaselineAutoLevel;
    // Frames per second, at least 1.
    std::int64_t expectedFrameRate = 1;
    // Frames between key frames at most; 0 or less: no limit.
    std::int64_t maxKeyFrameInterval = 0;
    // Bits per second.
    std::int64_t averageBitRate = 900000;
    bool prioritizeEncodingSpeedOverQuality = true;

    bool operator==(const CompressionProperties&) const = default;
};

// The properties for a session of that codec and size at fps frames per
// second (fps as the settings give it, 0 included).
CompressionProperties compressionProperties(VideoCodec codec, std::int64_t width,
                                            std::int64_t height, std::int64_t fps);

// How the NAL units of a compressed sample are delimited.
enum class NalFraming {
    // Each unit after its length as a 4-byte big-endian integer.
    lengthPrefixed,
    // Annex-B: each unit after a 3- or 4-byte start code.
    startCoded,
};

// The parameter sets a session's samples refer to, by index: H.264 SPS then
// PPS; HEVC VPS, SPS, PPS. An empty entry stands for a set that cannot be
// read.
struct FormatDescription {
    std::vector<std::vector<std::uint8_t>> parameterSets;
};

// Per-sample flags; a sample whose first entry has notSync cannot be decoded
// on its own.
struct SampleAttachments {
    bool notSync = false;
};

// One compressed frame as the session hands it over. It only borrows: every
// pointer and span is valid during the output call and not after.
struct CompressedSample {
    // None: the sample has no data. A span without a data pointer: the data
    // cannot be read.
    std::optional<std::span<const std::uint8_t>> dataBuffer;
    NalFraming framing = NalFraming::lengthPrefixed;
    // Null when the sample has no format description.
    const FormatDescription* formatDescription = nullptr;
    // None when the sample has no attachments; an empty span when it has an
    // empty list. Either way it is a key frame.
    std::optional<std::span<const SampleAttachments>> attachments;
};

// Identifies one submitted picture. The encoder numbers its submissions and
// the session hands the number back with the picture's output, so that
// output arriving after its waiter gave up is never taken for a later
// picture's. Numbering starts at 1; 0 belongs to no submission.
using SubmissionTag = std::uint64_t;

// The session's output: status 0 and a sample for a coded frame; any other
// status, or no sample, for a frame that was dropped.
using CompressionOutputHandler =
    std::function<void(SubmissionTag tag, int status, const CompressedSample* sample)>;

// One compression session of one size and codec.
//
// Thread: the owner (the server's work queue) calls every method. The output
// handler runs on a platform thread or inside encodeFrame/completeFrames;
// once invalidate() has returned (or the session is destroyed) it is never
// called again.
class CompressionSession {
public:
    virtual ~CompressionSession() = default;

    // Applies the properties; failures are ignored. Called for every frame,
    // so an unchanged set must cost next to nothing.
    virtual void setProperties(const CompressionProperties& properties) = 0;
    virtual void prepareToEncodeFrames() = 0;
    // Submits one picture of the session's size; true when it was accepted.
    // The picture is shared, not copied; forceKeyFrame asks for a frame that
    // can be decoded on its own.
    virtual bool encodeFrame(const std::shared_ptr<const PixelBuffer>& picture,
                             MediaTime presentationTime, SubmissionTag tag, bool forceKeyFrame) = 0;
    // Returns once every frame up to that presentation time has been handed
    // to the output handler.
    virtual void completeFrames(MediaTime upTo) = 0;
    virtual void invalidate() = 0;
};

// Makes sessions.
//
// Thread: called from the server's work queue.
class CompressionSessionFactory {
public:
    virtual ~CompressionSessionFactory() = default;

    // A session for pictures of width × height in that codec, opened with
    // the given properties, or null when none can be made.
    virtual std::unique_ptr<CompressionSession> create(std::int32_t width, std::int32_t height,
                                                       VideoCodec codec,
                                                       const CompressionProperties& properties,
                                                       CompressionOutputHandler output) = 0;
};

} // namespace quorvi
