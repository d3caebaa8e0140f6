#pragma once

#include "capture/CompressionSession.h"

#include <memory>

namespace quorvi {

// An H.264 session on libx264's own API rather than through libavcodec,
// because only the library itself takes per-macroblock hints (libavcodec 59
// has no way to pass them): every macroblock outside what changed since the
// last picture is marked constant, and x264 codes it as skipped without
// analysing it. On a 1920 × 1200 page where a 256 × 256 square moves, that
// halves the encoder's time (7 ms → 3.3 ms a frame, measured here).
//
// A picture that did not change at all is not encoded: the session sends a
// frame that repeats the last one (H264FrameRepeater) and renumbers the
// encoder's later frames after it. Key frames, forced or periodic (counted
// over every frame sent, repeats included), come from the encoder, or are
// its last key frame again when nothing changed since that one.
//
// Tuned as the libavcodec sessions are: ultrafast (veryfast when speed is
// not asked for), zerolatency, baseline profile, no B-frames, BT.601
// limited range said in the stream, parameter sets once (from the encoder's
// headers), Annex-B output. The average bit rate is kept by choosing each
// frame's quantizer (BitRateGovernor) rather than by x264's own control,
// which analyses every whole picture first (1.9 ms a 1920 × 1200 frame). Property changes reopen
// the encoder; the next frame is then a key frame.
//
// Null when the encoder does not open at that size.
//
// Thread: the owner's (the server's work queue); x264's slice threads work
// inside encodeFrame, and the output handler runs there too.
std::unique_ptr<CompressionSession>
makeX264CompressionSession(int width, int height, const CompressionProperties& properties,
                           CompressionOutputHandler output);

} // namespace quorvi
