#include "platform/linux/PixelConversion.h"
#include "platform/linux/x11/X11CaptureService.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <vector>

// The pixel work of one captured frame, from a grabbed 1920 x 1200 BGRX
// picture: the same-size copy and the scaling to the sizes the presets and
// viewports ask for, of the whole picture and of a 256 x 256 changed square;
// the conversion to the encoder's I420, whole and square; the pointer drawn
// in; and a round trip through the buffer pool.

namespace {

constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1200;

// A busy picture (gradients and a checkerboard), so that no filter gets an
// easy ride on flat colour.
const std::vector<std::uint8_t>& screen() {
    static const std::vector<std::uint8_t> pixels = [] {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(kScreenWidth) * kScreenHeight * 4);
        for (int y = 0; y < kScreenHeight; ++y) {
            for (int x = 0; x < kScreenWidth; ++x) {
                std::uint8_t* pixel =
                    bytes.data() + (static_cast<std::size_t>(y) * kScreenWidth + x) * 4;
                const bool isDark = ((x / 8) + (y / 8)) % 2 == 0;
                pixel[0] = static_cast<std::uint8_t>(x * 255 / kScreenWidth);
                pixel[1] = static_cast<std::uint8_t>(y * 255 / kScreenHeight);
                pixel[2] = isDark ? 40 : 220;
                pixel[3] = 255;
            }
        }
        return bytes;
    }();
    return pixels;
}

quorvi::PixelBuffer target(int width, int height) {
    const std::size_t bytesPerRow = quorvi::alignedBytesPerRow(width);
    return quorvi::PixelBuffer(
        width, height, bytesPerRow,
        std::make_unique<std::uint8_t[]>(bytesPerRow * static_cast<std::size_t>(height)));
}

// A 256 x 256 square of the screen, where it lands at the output size.
quorvi::ChangedRegion square(int width, int height) {
    quorvi::ChangedRegion region;
    region.add(
        quorvi::scaledRect({800, 500, 256, 256}, kScreenWidth, kScreenHeight, width, height));
    return region;
}

// Arguments: output width, output height, and 1 for the changed square
// only. 1920 x 1200 is the copy path.
void BM_CaptureScale(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const quorvi::ChangedRegion changed =
        state.range(2) != 0 ? square(width, height) : quorvi::ChangedRegion::whole(width, height);
    quorvi::PixelBuffer output = target(width, height);
    for (auto _ : state) {
        const bool isScaled =
            quorvi::scaleBgra(screen().data(), static_cast<std::size_t>(kScreenWidth) * 4,
                              kScreenWidth, kScreenHeight, output, changed);
        benchmark::DoNotOptimize(isScaled);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CaptureScale)
    ->ArgNames({"w", "h", "square"})
    ->Args({1920, 1200, 0})
    ->Args({1920, 1200, 1})
    ->Args({1280, 800, 0})
    ->Args({1280, 800, 1})
    ->Args({1178, 736, 0})
    ->Args({960, 600, 0})
    ->Unit(benchmark::kMicrosecond);

// BGRA to the encoder's I420, whole (argument 0) or the changed square (1).
void BM_ConvertToI420(benchmark::State& state) {
    quorvi::PixelBuffer picture = target(kScreenWidth, kScreenHeight);
    quorvi::scaleBgra(screen().data(), static_cast<std::size_t>(kScreenWidth) * 4, kScreenWidth,
                      kScreenHeight, picture,
                      quorvi::ChangedRegion::whole(kScreenWidth, kScreenHeight));
    std::vector<std::uint8_t> planes(static_cast<std::size_t>(kScreenWidth) * kScreenHeight * 3 /
                                     2);
    std::uint8_t* luma = planes.data();
    std::uint8_t* blue = luma + static_cast<std::size_t>(kScreenWidth) * kScreenHeight;
    std::uint8_t* red = blue + static_cast<std::size_t>(kScreenWidth) * kScreenHeight / 4;
    const quorvi::YuvPlanes yuv{luma, kScreenWidth,     blue,         kScreenWidth / 2,
                                red,  kScreenWidth / 2, kScreenWidth, kScreenHeight,
                                false};
    const quorvi::ChangedRegion changed =
        state.range(0) != 0 ? square(kScreenWidth, kScreenHeight)
                            : quorvi::ChangedRegion::whole(kScreenWidth, kScreenHeight);
    for (auto _ : state) {
        benchmark::DoNotOptimize(quorvi::convertToYuv(picture, yuv, changed));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ConvertToI420)->ArgName("square")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The pointer over the grabbed picture: a usual 24 x 24 arrow and a large
// 64 x 64 one, both half transparent so every pixel is blended.
void BM_CaptureCursor(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    std::vector<std::uint8_t> picture = screen();
    quorvi::CursorImage cursor;
    cursor.left = 700;
    cursor.top = 500;
    cursor.width = side;
    cursor.height = side;
    cursor.pixels.assign(static_cast<std::size_t>(side) * side, 0x80404040U);
    for (auto _ : state) {
        quorvi::drawCursor(picture.data(), static_cast<std::size_t>(kScreenWidth) * 4, kScreenWidth,
                           kScreenHeight, cursor);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CaptureCursor)->Arg(24)->Arg(64)->Unit(benchmark::kMicrosecond);

// Taking a buffer, sharing it and letting the last reference go.
void BM_CapturePoolRoundTrip(benchmark::State& state) {
    const auto pool = quorvi::PixelBufferPool::make(1920, 1200, 2);
    for (auto _ : state) {
        auto shared = pool->share(pool->take());
        benchmark::DoNotOptimize(shared.get());
    }
}
BENCHMARK(BM_CapturePoolRoundTrip);

} // namespace
