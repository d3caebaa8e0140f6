#pragma once

#include "capture/CapturedVideoBuffer.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace quorvi {

// Turns one captured BGRA picture into JPEG file bytes, at the picture's own
// size (the capture has already scaled it) with 4:2:0 chroma. This is the
// fallback picture of a frame whenever the video encoder gives nothing, so
// it must never throw: a picture it cannot encode yields none.
//
// Thread: any; implementations serialize their own state.
class JpegEncoder {
public:
    virtual ~JpegEncoder() = default;

    // quality: 0 (smallest) to 100 (best), as jpegQualityPercent() gives it.
    virtual std::optional<std::vector<std::uint8_t>> encode(const PixelBuffer& picture,
                                                            int quality) = 0;
};

// The stream settings carry the JPEG quality as a factor from 0 to 1; JPEG
// libraries take a whole percentage. Rounded half away from zero
// (0.665 gives 67), clamped to 0…100; a factor that is not a number gives 0.
inline int jpegQualityPercent(double factor) {
    if (!(factor > 0)) {
        return 0;
    }
    if (factor >= 1) {
        return 100;
    }
    return static_cast<int>(std::lround(factor * 100));
}

} // namespace quorvi
