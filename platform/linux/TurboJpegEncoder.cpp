#include "platform/linux/TurboJpegEncoder.h"

#include <algorithm>
#include <climits>
#include <turbojpeg.h>

namespace quorvi {

TurboJpegEncoder::TurboJpegEncoder() : compressor_(tjInitCompress()) {}

TurboJpegEncoder::~TurboJpegEncoder() {
    if (buffer_ != nullptr) {
        tjFree(buffer_);
    }
    if (compressor_ != nullptr) {
        tjDestroy(compressor_);
    }
}

std::optional<std::vector<std::uint8_t>> TurboJpegEncoder::encode(const PixelBuffer& picture,
                                                                  int quality) {
    const std::int64_t width = picture.width();
    const std::int64_t height = picture.height();
    // libjpeg refuses sides above 65500; checking here also keeps every
    // size below within int.
    constexpr std::int64_t kMaxSide = 65500;
    if (picture.data() == nullptr || width <= 0 || height <= 0 || width > kMaxSide ||
        height > kMaxSide || picture.bytesPerRow() < static_cast<std::size_t>(width) * 4 ||
        picture.bytesPerRow() > static_cast<std::size_t>(INT_MAX)) {
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    if (compressor_ == nullptr) {
        compressor_ = tjInitCompress();
        if (compressor_ == nullptr) {
            return std::nullopt;
        }
    }
    const unsigned long needed =
        tjBufSize(static_cast<int>(width), static_cast<int>(height), TJSAMP_420);
    if (needed == static_cast<unsigned long>(-1)) {
        return std::nullopt;
    }
    if (needed > capacity_) {
        if (needed > static_cast<unsigned long>(INT_MAX)) {
            return std::nullopt;
        }
        unsigned char* grown = tjAlloc(static_cast<int>(needed));
        if (grown == nullptr) {
            return std::nullopt;
        }
        if (buffer_ != nullptr) {
            tjFree(buffer_);
        }
        buffer_ = grown;
        capacity_ = needed;
    }
    unsigned long size = capacity_;
    // The buffer holds the worst case of this size, so TurboJPEG never has to
    // reallocate it (and is told not to, which keeps buffer_ ours).
    const int status =
        tjCompress2(compressor_, picture.data(), static_cast<int>(width),
                    static_cast<int>(picture.bytesPerRow()), static_cast<int>(height), TJPF_BGRX,
                    &buffer_, &size, TJSAMP_420, std::clamp(quality, 1, 100), TJFLAG_NOREALLOC);
    if (status != 0 || size == 0) {
        // A TurboJPEG handle that failed half-way can refuse every later
        // picture; the next frame gets a fresh one.
        tjDestroy(compressor_);
        compressor_ = tjInitCompress();
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(buffer_, buffer_ + size);
}

std::shared_ptr<JpegEncoder> makeTurboJpegEncoder() {
    return std::make_shared<TurboJpegEncoder>();
}

} // namespace quorvi
