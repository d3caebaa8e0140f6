#pragma once

#include "capture/PictureChanges.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quorvi {

// One captured picture: 32-bit BGRA (byte order B, G, R, A in memory),
// rows of bytesPerRow bytes (at least 4 × width). Shared by counted reference
// between the capture stream, the session and the encoder, never copied once
// scaled; the stream may recycle the memory once the last reference is gone.
// A stream that knows what changed from picture to picture says so in the
// history; a picture without one (number 0) is taken as new everywhere.
//
// Thread: immutable once delivered; any thread may read it.
class PixelBuffer {
public:
    PixelBuffer(std::int64_t width, std::int64_t height, std::size_t bytesPerRow,
                std::unique_ptr<std::uint8_t[]> bytes)
        : width_(width), height_(height), bytesPerRow_(bytesPerRow), bytes_(std::move(bytes)) {}
    // A zero-filled buffer with tightly packed rows.
    PixelBuffer(std::int64_t width, std::int64_t height)
        : width_(width), height_(height), bytesPerRow_(static_cast<std::size_t>(width) * 4),
          bytes_(
              std::make_unique<std::uint8_t[]>(bytesPerRow_ * static_cast<std::size_t>(height))) {}

    std::int64_t width() const { return width_; }
    std::int64_t height() const { return height_; }
    std::size_t bytesPerRow() const { return bytesPerRow_; }
    const std::uint8_t* data() const { return bytes_.get(); }
    // Only the producer writes, before it shares the buffer.
    std::uint8_t* mutableData() { return bytes_.get(); }

    const PictureHistory& history() const { return history_; }
    PictureStamp stamp() const { return history_.latest(); }
    // Only the producer, with the history of the pixels it just wrote.
    void setHistory(const PictureHistory& history) { history_ = history; }

private:
    std::int64_t width_;
    std::int64_t height_;
    std::size_t bytesPerRow_;
    std::unique_ptr<std::uint8_t[]> bytes_;
    PictureHistory history_;
};

// The latest picture of a display, with its size in pixels.
struct CapturedVideoBuffer {
    std::shared_ptr<const PixelBuffer> pixelBuffer;
    std::int64_t width = 0;
    std::int64_t height = 0;
    // When the screen was grabbed, before any scaling; zero where unknown.
    std::chrono::steady_clock::time_point capturedAt{};
};

} // namespace quorvi
