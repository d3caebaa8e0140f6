#pragma once

#include "capture/CompressionSession.h"
#include "capture/VideoFrameEncoder.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Turning a session's compressed sample into the access unit the client
// receives: every NAL unit after the 4-byte start code 00 00 00 01, and the
// parameter sets (H.264: SPS, PPS; HEVC: VPS, SPS, PPS) in front of every
// key frame, so a client can start decoding at any key frame.

namespace quorvi {

inline constexpr std::uint8_t kStartCode[4] = {0, 0, 0, 1};

// Length-prefixed units to start-coded ones. Stops at a length of 0 or at a
// unit that would run past the end; bytes too few to form a unit at the end
// are dropped.
void appendAnnexBFromLengthPrefixed(std::span<const std::uint8_t> units,
                                    std::vector<std::uint8_t>& out);

// Re-emits an Annex-B stream with 4-byte start codes (encoders write 3-byte
// ones between slices). Bytes before the first start code are dropped, so
// are the zero bytes that end a unit (they belong to the next start code).
// With skipParameterSets, units that are parameter sets of the codec are
// left out (they were already written from the format description).
void appendAnnexBFromStartCoded(std::span<const std::uint8_t> stream, VideoCodec codec,
                                bool skipParameterSets, std::vector<std::uint8_t>& out);

// The NAL units of an Annex-B stream (start codes and the zero bytes before
// them removed, empty units left out).
std::vector<std::span<const std::uint8_t>> splitAnnexB(std::span<const std::uint8_t> stream);

// nal_unit_type of a unit's first header byte; -1 for an empty unit.
int nalUnitType(std::span<const std::uint8_t> unit, VideoCodec codec);

// The access unit of one sample, or none when the sample has no readable
// data or the conversion leaves nothing. A sample without attachments, or
// with an empty list, or whose first entry lacks notSync, is a key frame;
// the format description's parameter sets go in front of it, a set that
// cannot be read skipped.
std::optional<EncodedVideoFrame> makeAccessUnit(const CompressedSample& sample, VideoCodec codec);

} // namespace quorvi
