#pragma once

#include "capture/CompressionSession.h"
#include "capture/VideoFrameEncoder.h"

#include <memory>
#include <string>
#include <vector>

namespace quorvi {

// Which libavcodec encoders may serve each codec, in order of preference.
// Hardware first; software HEVC (libx265) is left out by default because it
// cannot keep up with a 1920 × 1200 screen at 30 fps on a desktop's spare
// cores, where libx264 can.
struct LibavEncoderChoice {
    std::vector<std::string> hevcEncoders = {"hevc_vaapi", "hevc_nvenc"};
    std::vector<std::string> h264Encoders = {"h264_vaapi", "h264_nvenc", "libx264"};
};

// Compression sessions on libavcodec.
//
// A session opens the first encoder of the codec's list that opens at the
// asked size, tuned for latency: no B-frames, zero-latency modes (libx264
// tune=zerolatency; nvenc delay=0, zerolatency=1; vaapi async_depth=1), the
// fastest preset, baseline (H.264) or main (HEVC) profile, the average bit
// rate and a key frame at least every maxKeyFrameInterval frames. Each
// submitted picture comes out inside completeFrames().
//
// Parameter sets are read once from the encoder's global header (extradata)
// and the samples are handed over start-coded, as the encoder wrote them;
// the encoder's output conversion gives every unit a 4-byte start code.
//
// Pictures are converted BGRA → YUV 4:2:0 (PixelConversion) straight from
// the shared buffer into the encoder's frame (NV12 uploaded to a hardware
// frame for VAAPI), and only where the picture changed since the one the
// frame holds; an unchanged picture is sent without converting anything.
// libx264 is driven through its own API instead (X264CompressionSession),
// which takes hints libavcodec cannot pass. 4:2:0 has no odd sizes: a
// picture with an odd width or height is coded without its last column or
// row.
//
// Encoders are probed once per process (a small picture is opened) and the
// answer is kept, so an encoder this machine lacks (no GPU, no driver)
// costs one failed open in the process's life, not one per session.
//
// Properties that libavcodec can only take when the encoder opens (frame
// rate, key-frame interval, bit rate) reopen the encoder when they change;
// the next frame is then a key frame.
//
// Thread: the factory and its sessions are called from the server's work
// queue; the output handler runs inside encodeFrame/completeFrames. The
// probe record is shared by every factory and guarded by a mutex.
std::shared_ptr<CompressionSessionFactory>
makeLibavCompressionSessionFactory(LibavEncoderChoice choice = {});

// The video encoder of the Linux bundle: a VideoFrameEncoder over libavcodec
// sessions with the default choice of encoders.
std::shared_ptr<VideoEncoder> makeLibavVideoEncoder();

} // namespace quorvi
