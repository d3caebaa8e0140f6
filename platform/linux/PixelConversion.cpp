#include "platform/linux/PixelConversion.h"

#include <algorithm>
#include <cstring>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>
#include <limits>

namespace quorvi {

std::size_t alignedBytesPerRow(std::int64_t width) {
    const auto bytes = static_cast<std::size_t>(std::max<std::int64_t>(width, 1)) * 4;
    return (bytes + 63) / 64 * 64;
}

// GCC vectorizes this loop only at -O3, which the rest of the build does not
// use; libyuv has no "set the alpha bytes" of its own.
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("O3")))
#endif
void makeOpaque(std::uint8_t* picture, std::size_t bytesPerRow, const PixelRect& rect) {
    for (int row = rect.y; row < rect.bottom(); ++row) {
        std::uint8_t* pixel = picture + static_cast<std::size_t>(row) * bytesPerRow +
                              static_cast<std::size_t>(rect.x) * 4;
        for (int column = 0; column < rect.width; ++column) {
            pixel[static_cast<std::size_t>(column) * 4 + 3] = 0xff;
        }
    }
}

namespace {

bool fitsInt(std::size_t value) {
    return value <= static_cast<std::size_t>(std::numeric_limits<int>::max());
}

} // namespace

bool scaleBgra(const std::uint8_t* source, std::size_t sourceBytesPerRow, int sourceWidth,
               int sourceHeight, PixelBuffer& target, const ChangedRegion& changed) {
    const int width = static_cast<int>(target.width());
    const int height = static_cast<int>(target.height());
    if (source == nullptr || sourceWidth < 1 || sourceHeight < 1 || width < 1 || height < 1 ||
        target.bytesPerRow() < static_cast<std::size_t>(width) * 4 ||
        sourceBytesPerRow < static_cast<std::size_t>(sourceWidth) * 4 ||
        !fitsInt(sourceBytesPerRow) || !fitsInt(target.bytesPerRow())) {
        return false;
    }
    const int sourceStride = static_cast<int>(sourceBytesPerRow);
    const int targetStride = static_cast<int>(target.bytesPerRow());
    const bool isSameSize = sourceWidth == width && sourceHeight == height;
    for (const PixelRect& changedRect : changed.rects()) {
        const PixelRect rect = intersection(changedRect, {0, 0, width, height});
        if (rect.isEmpty()) {
            continue;
        }
        std::uint8_t* into = target.mutableData() +
                             static_cast<std::size_t>(rect.y) * target.bytesPerRow() +
                             static_cast<std::size_t>(rect.x) * 4;
        int status = 0;
        if (isSameSize) {
            status =
                libyuv::ARGBCopy(source + static_cast<std::size_t>(rect.y) * sourceBytesPerRow +
                                     static_cast<std::size_t>(rect.x) * 4,
                                 sourceStride, into, targetStride, rect.width, rect.height);
        } else {
            // The clip variant writes only the rectangle, with the same
            // sampling positions as a scale of the whole picture.
            status = libyuv::ARGBScaleClip(
                source, sourceStride, sourceWidth, sourceHeight, target.mutableData(), targetStride,
                width, height, rect.x, rect.y, rect.width, rect.height, libyuv::kFilterBox);
        }
        if (status != 0) {
            return false;
        }
        // Grabs leave the fourth byte undefined, and the box filter's
        // fixed-point averages would not keep 255 anyway.
        makeOpaque(target.mutableData(), target.bytesPerRow(), rect);
    }
    return true;
}

bool convertToYuv(const PixelBuffer& source, const YuvPlanes& target,
                  const ChangedRegion& changed) {
    if (target.width < 2 || target.height < 2 || target.width % 2 != 0 || target.height % 2 != 0 ||
        source.width() < target.width || source.height() < target.height ||
        !fitsInt(source.bytesPerRow()) || target.luma == nullptr || target.chromaBlue == nullptr ||
        (!target.isNv12 && target.chromaRed == nullptr)) {
        return false;
    }
    const int stride = static_cast<int>(source.bytesPerRow());
    for (const PixelRect& changedRect : changed.rects()) {
        const PixelRect inside = intersection(changedRect, {0, 0, target.width, target.height});
        if (inside.isEmpty()) {
            continue;
        }
        const int left = inside.x & ~1;
        const int top = inside.y & ~1;
        const int width = std::min((inside.right() + 1) & ~1, target.width) - left;
        const int height = std::min((inside.bottom() + 1) & ~1, target.height) - top;
        const std::uint8_t* from = source.data() +
                                   static_cast<std::size_t>(top) * source.bytesPerRow() +
                                   static_cast<std::size_t>(left) * 4;
        std::uint8_t* luma =
            target.luma + static_cast<std::ptrdiff_t>(top) * target.lumaStride + left;
        const std::ptrdiff_t chromaRow = top / 2;
        int status = 0;
        if (target.isNv12) {
            status =
                libyuv::ARGBToNV12(from, stride, luma, target.lumaStride,
                                   target.chromaBlue + chromaRow * target.chromaBlueStride + left,
                                   target.chromaBlueStride, width, height);
        } else {
            status = libyuv::ARGBToI420(
                from, stride, luma, target.lumaStride,
                target.chromaBlue + chromaRow * target.chromaBlueStride + left / 2,
                target.chromaBlueStride,
                target.chromaRed + chromaRow * target.chromaRedStride + left / 2,
                target.chromaRedStride, width, height);
        }
        if (status != 0) {
            return false;
        }
    }
    return true;
}

// ---- buffer pool ----------------------------------------------------------------

std::shared_ptr<PixelBufferPool> PixelBufferPool::make(std::int64_t width, std::int64_t height,
                                                       int capacity) {
    return std::shared_ptr<PixelBufferPool>(new PixelBufferPool(width, height, capacity));
}

PixelBufferPool::PixelBufferPool(std::int64_t width, std::int64_t height, int capacity)
    : width_(width), height_(height), capacity_(std::max(capacity, 1)) {}

std::unique_ptr<PixelBuffer> PixelBufferPool::take() {
    std::lock_guard guard(mutex_);
    if (!free_.empty()) {
        std::unique_ptr<PixelBuffer> buffer = std::move(free_.back());
        free_.pop_back();
        return buffer;
    }
    if (created_ >= capacity_) {
        return nullptr;
    }
    const std::size_t bytesPerRow = alignedBytesPerRow(width_);
    auto buffer = std::make_unique<PixelBuffer>(
        width_, height_, bytesPerRow,
        std::make_unique<std::uint8_t[]>(bytesPerRow * static_cast<std::size_t>(height_)));
    ++created_;
    return buffer;
}

void PixelBufferPool::putBack(std::unique_ptr<PixelBuffer> buffer) {
    if (!buffer) {
        return;
    }
    std::lock_guard guard(mutex_);
    free_.push_back(std::move(buffer));
}

std::shared_ptr<const PixelBuffer> PixelBufferPool::share(std::unique_ptr<PixelBuffer> buffer) {
    if (!buffer) {
        return nullptr;
    }
    // The deleter holds the pool, so a buffer still out after its stream
    // ended finds its way back (and is freed with the pool).
    return std::shared_ptr<const PixelBuffer>(
        buffer.release(), [pool = shared_from_this()](const PixelBuffer* returned) {
            pool->putBack(std::unique_ptr<PixelBuffer>(const_cast<PixelBuffer*>(returned)));
        });
}

} // namespace quorvi
