#pragma once

#include "capture/CaptureService.h"
#include "capture/CapturedVideoBuffer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorvi {

// Screen capture on X11. Each running stream has a capture thread with its
// own X connection: it grabs the monitor's rectangle of the root window
// (MIT-SHM when the server offers it, else a plain GetImage), draws the
// pointer in from XFixes, scales the picture to the asked size into a buffer
// of a small pool, and delivers it by reference. Grabs follow absolute
// deadlines one frame interval apart, the sleep coming after the grab, so
// the rate does not drift with the grab's own cost.
//
// A lost X server or a monitor that goes away ends the stream with a French
// reason; X errors never end the process (X11ErrorHandling).
//
// Thread: the service is called from any thread; destroying it stops every
// stream it started and waits for their capture threads.
std::shared_ptr<CaptureService> makeX11CaptureService(std::string displayName = "");

// ---- the pixel work of a capture thread (plain C++, measured in bench/) ----

// Row length of the buffers a stream delivers: four bytes a pixel, rounded
// up to 64 bytes so that the scaler's vector code runs on aligned rows.
std::size_t alignedBytesPerRow(std::int64_t width);

// The pointer's picture, placed in the coordinates of the picture it is
// drawn into.
struct CursorImage {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    // Premultiplied ARGB (alpha in the high byte), row after row.
    std::vector<std::uint32_t> pixels;
};

// Draws the pointer over a 32-bit BGRX picture (premultiplied "over"),
// clipped to the picture.
void drawCursor(std::uint8_t* picture, std::size_t bytesPerRow, int width, int height,
                const CursorImage& cursor);

// Turns a grabbed 32-bit BGRX picture (the fourth byte undefined, as X
// leaves it) into an opaque BGRA buffer of the buffer's size: copied when
// the sizes match, else scaled.
//
// The default filter is our own: 2 x 2 box averages while the picture is at
// least twice the asked size (so text does not alias), then bilinear. It
// works on the four bytes as they are, where libswscale goes through YUV and
// back for packed RGB: measured on a 1920 x 1200 picture brought to
// 1280 x 800, about 4 ms against 12 ms (fast bilinear) to 19 ms (bilinear).
// The libswscale filters stay selectable for that comparison (bench/).
//
// Thread: one caller at a time.
class BgraScaler {
public:
    enum class Filter { boxThenBilinear, swscaleFastBilinear, swscaleBilinear, swscaleArea };

    explicit BgraScaler(Filter filter = Filter::boxThenBilinear);
    ~BgraScaler();
    BgraScaler(const BgraScaler&) = delete;
    BgraScaler& operator=(const BgraScaler&) = delete;

    bool scale(const std::uint8_t* source, std::size_t sourceBytesPerRow, int sourceWidth,
               int sourceHeight, PixelBuffer& destination);

private:
    struct Context;
    bool scaleWithSwscale(const std::uint8_t* source, std::size_t sourceBytesPerRow,
                          int sourceWidth, int sourceHeight, PixelBuffer& destination);

    Filter filter_;
    std::unique_ptr<Context> context_;
};

// A fixed number of equally sized buffers, handed out to be filled and then
// shared by reference; a buffer comes back when its last reference goes, on
// whichever thread that happens. While every buffer is out, take() has
// nothing to give: the capture skips that picture instead of growing.
//
// Thread: any (a mutex guards the free list).
class PixelBufferPool : public std::enable_shared_from_this<PixelBufferPool> {
public:
    static std::shared_ptr<PixelBufferPool> make(std::int64_t width, std::int64_t height,
                                                 int capacity);

    // A buffer to fill, or null while all of them are out.
    std::unique_ptr<PixelBuffer> take();
    // Returns a buffer that was taken but not shared.
    void putBack(std::unique_ptr<PixelBuffer> buffer);
    // Shares a filled buffer; it is never written again until it comes back.
    std::shared_ptr<const PixelBuffer> share(std::unique_ptr<PixelBuffer> buffer);

private:
    PixelBufferPool(std::int64_t width, std::int64_t height, int capacity);

    const std::int64_t width_;
    const std::int64_t height_;
    const int capacity_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<PixelBuffer>> free_;
    int created_ = 0;
};

} // namespace quorvi
