// The JPEG fallback through TurboJPEG, decoded back with TurboJPEG.

#include "platform/linux/TurboJpegEncoder.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

namespace quorvi {
namespace {

// Red, green / blue, white.
constexpr int kQuadrants[4][3] = {{230, 20, 20}, {20, 210, 30}, {25, 30, 220}, {250, 250, 250}};

// Four flat quadrants in rows padded beyond the picture; the padding and
// alpha bytes hold noise that must not show.
PixelBuffer quadrants(int width, int height, std::size_t padding) {
    const std::size_t stride = static_cast<std::size_t>(width) * 4 + padding;
    auto bytes = std::make_unique<std::uint8_t[]>(stride * height);
    for (std::size_t i = 0; i < stride * height; ++i) {
        const std::size_t x = i % stride / 4;
        const std::size_t byte = i % stride % 4; // blue, green, red, alpha
        const int q = (i / stride >= height / 2u ? 2 : 0) + (x >= width / 2u ? 1 : 0);
        bytes[i] = x < static_cast<std::size_t>(width) && byte < 3
                       ? static_cast<std::uint8_t>(kQuadrants[q][2 - byte])
                       : static_cast<std::uint8_t>(i * 37 + 11);
    }
    return PixelBuffer(width, height, stride, std::move(bytes));
}

// One encoder for pictures of every size, with and without row padding:
// each decodes at its size in 4:2:0 with its colours.
TEST(TurboJpegEncoder, EncodesEachBgraPictureAtItsSizeIn420) {
    TurboJpegEncoder encoder;
    tjhandle decoder = tjInitDecompress();
    for (const auto& [width, height, padding] : std::vector<std::tuple<int, int, std::size_t>>{
             {96, 64, 40}, {64, 64, 0}, {1280, 800, 40}, {17, 9, 40}, {2, 2, 0}}) {
        SCOPED_TRACE(::testing::Message() << width << "x" << height << " padding " << padding);
        const auto jpeg = encoder.encode(quadrants(width, height, padding), 78);
        ASSERT_TRUE(jpeg);
        // The quality asked shows in the size; 0 is taken as 1.
        const auto low = encoder.encode(quadrants(width, height, padding), 10);
        EXPECT_TRUE(width < 32 || (low && low->size() < jpeg->size()));
        EXPECT_EQ(encoder.encode(quadrants(width, height, padding), 0),
                  encoder.encode(quadrants(width, height, padding), 1));
        int size[4] = {}; // width, height, subsampling, colour space
        ASSERT_EQ(tjDecompressHeader3(decoder, jpeg->data(), jpeg->size(), &size[0], &size[1],
                                      &size[2], &size[3]),
                  0);
        EXPECT_EQ(std::pair(size[0], size[1]), std::pair(width, height));
        EXPECT_EQ(size[2], TJSAMP_420);
        std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
        ASSERT_EQ(tjDecompress2(decoder, jpeg->data(), jpeg->size(), rgb.data(), width, 0, height,
                                TJPF_RGB, 0),
                  0);
        // Quadrant centres, away from the edges where 4:2:0 blurs colour.
        for (int q = 0; q < 4 && width >= 32; ++q) {
            const std::size_t at =
                ((height / 4 + q / 2 * height / 2) * width + width / 4 + q % 2 * width / 2) * 3;
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(rgb[at + c], kQuadrants[q][c], 12) << "quadrant " << q;
            }
        }
    }
    tjDestroy(decoder);
}

// What the encoder cannot take gives no picture, and it goes on.
TEST(TurboJpegEncoder, NonsenseGivesNone) {
    TurboJpegEncoder encoder;
    EXPECT_EQ(encoder.encode(PixelBuffer(0, 10), 80), std::nullopt);
    EXPECT_EQ(encoder.encode(PixelBuffer(70000, 1), 80), std::nullopt);
    EXPECT_EQ(encoder.encode(PixelBuffer(10, 10, 40, nullptr), 80), std::nullopt);
    // Rows shorter than four bytes per pixel.
    EXPECT_EQ(encoder.encode(PixelBuffer(10, 10, 20, std::make_unique<std::uint8_t[]>(200)), 80),
              std::nullopt);
    EXPECT_TRUE(encoder.encode(PixelBuffer(10, 10), 80));
}

} // namespace
} // namespace quorvi
