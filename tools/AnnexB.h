#pragma once

#include "capture/VideoFrameEncoder.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorvi::client {

// One NAL unit of an Annex-B byte stream.
struct NalUnit {
    std::size_t offset = 0; // first byte after the start code
    std::size_t size = 0;
    std::size_t startCodeLength = 0; // 3 or 4
    int type = 0;                    // nal_unit_type of the codec
};

// Cuts an Annex-B byte stream at its start codes. Bytes before the first
// start code are not a unit (the checker below refuses them).
std::vector<NalUnit> splitAnnexB(std::span<const std::uint8_t> bytes, VideoCodec codec);

// Checks the form the server promises for one access unit: it begins with
// 00 00 00 01, every unit has a 4-byte start code, and a key frame carries
// its parameter sets (H.264: SPS and PPS; HEVC: VPS, SPS and PPS) before its
// first picture slice. Returns the French reason of the first breach.
std::optional<std::string> checkAccessUnit(std::span<const std::uint8_t> bytes, VideoCodec codec,
                                           bool isKeyFrame);

} // namespace quorvi::client
