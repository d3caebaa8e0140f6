#pragma once

#include "capture/JpegEncoder.h"

#include <memory>
#include <mutex>

namespace quorvi {

// JPEG pictures through TurboJPEG, straight from the BGRA rows (alpha
// ignored, the row stride honoured), with 4:2:0 chroma. One compressor and
// one output buffer serve every call, so a frame costs no allocation beyond
// the returned bytes once the buffer has grown to the picture size.
// Quality 0 is encoded as 1, the lowest JPEG knows.
//
// Thread: any; calls are serialized by a mutex (the frame source makes them
// from the work queue only, so it is never contended there).
class TurboJpegEncoder final : public JpegEncoder {
public:
    TurboJpegEncoder();
    ~TurboJpegEncoder() override;
    TurboJpegEncoder(const TurboJpegEncoder&) = delete;
    TurboJpegEncoder& operator=(const TurboJpegEncoder&) = delete;

    std::optional<std::vector<std::uint8_t>> encode(const PixelBuffer& picture,
                                                    int quality) override;

private:
    std::mutex mutex_;
    // A tjhandle; void* so that turbojpeg.h stays in the .cpp.
    void* compressor_ = nullptr;
    unsigned char* buffer_ = nullptr;
    unsigned long capacity_ = 0;
};

std::shared_ptr<JpegEncoder> makeTurboJpegEncoder();

} // namespace quorvi
