// Capture from a real sway: the background scaled, a still screen delivered
// again without a copy, a moved pointer drawn in and alone changed, the end.
#include "capture/ScreenCaptureSession.h"
#include "linux/HeadlessCompositorTest.h"
#include "platform/linux/wlroots/WlrootsCaptureService.h"
#include "platform/linux/wlroots/WlrootsDisplayServices.h"
#include "platform/linux/wlroots/WlrootsEventPoster.h"

namespace quorvi {
namespace {

bool isColour(const PixelBuffer& picture, int x, int y, std::array<int, 3> rgb) {
    const std::uint8_t* p = picture.data() + y * picture.bytesPerRow() + x * 4;
    return std::abs(p[2] - rgb[0]) + std::abs(p[1] - rgb[1]) + std::abs(p[0] - rgb[2]) <= 8;
}

class WlrootsCaptureTest : public testing::SwayHeadlessTest {
protected:
    WlrootsCaptureTest() : SwayHeadlessTest(75) {}
};

TEST_F(WlrootsCaptureTest, TheOutputComesBackScaledOnlyAsFarAsItChangedUntilTheCompositorGoes) {
    ASSERT_EQ(run("swaymsg exec \"swaybg -c '#336699'\"").status, 0);
    auto displays = std::make_shared<WlrootsDisplayServices>();
    const DisplayID id = displays->displayNamed("HEADLESS-1");
    auto session = std::make_shared<ScreenCaptureSession>(makeWlrootsCaptureService(), displays);
    session->prepare(id, {.maxWidth = 960});
    const std::array<int, 3> blue{51, 102, 153};
    std::optional<CapturedVideoBuffer> still, again, before, after;
    const auto seen = [&](std::optional<CapturedVideoBuffer>& found, auto check) {
        return testing::eventually(
            [&] { return (found = session->latestBuffer(id)) && check(*found); });
    };
    ASSERT_TRUE(seen(still, [&](auto& b) { return isColour(*b.pixelBuffer, 480, 300, blue); }));
    EXPECT_TRUE(still->width == 960 && still->height == 600);
    EXPECT_EQ(still->pixelBuffer->data()[3], 255);
    ASSERT_TRUE(seen(again, [&](auto& b) { return b.capturedAt > still->capturedAt; }));
    EXPECT_EQ(again->pixelBuffer->stamp(), still->pixelBuffer->stamp());
    // The compositor draws a virtual pointer; a move changes only around it.
    WlrootsEventPoster pointer;
    pointer.moveMouse({960, 600});
    ASSERT_TRUE(seen(before, [&](auto& b) { return !isColour(*b.pixelBuffer, 481, 301, blue); }));
    pointer.moveMouse({1200, 800});
    ASSERT_TRUE(seen(after, [&](auto& b) {
        return !isColour(*b.pixelBuffer, 601, 401, blue) &&
               isColour(*b.pixelBuffer, 481, 301, blue);
    }));
    const auto changed = after->pixelBuffer->history().changedSince(before->pixelBuffer->stamp());
    EXPECT_TRUE(!changed.isEmpty() && changed.area() <= 960 * 600 / 20) << changed.area();

    stopCompositor();
    // Lost, or silent while it shuts down: either way the stream says why.
    EXPECT_TRUE(testing::eventually([&] {
        const std::string subtitle = session->diagnosticSubtitle(true);
        return subtitle.starts_with("Capture arrêtée: ") &&
               subtitle.find("compositeur Wayland") != std::string::npos;
    })) << session->diagnosticSubtitle(true);
}

} // namespace
} // namespace quorvi
