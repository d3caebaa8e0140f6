// The frame source against scripted collaborators: frames without picture,
// video or else JPEG payloads, the pointer mapping, the time stamp.

#include "capture/ScreenFrameSource.h"

#include "fakes/FakeDisplayServices.h"
#include "fakes/ManualClock.h"
#include "fakes/ScriptedFrameCapture.h"
#include "fakes/SwitchablePrivacyGrants.h"
#include "protocol/Base64.h"

#include <gtest/gtest.h>
#include <limits>
#include <tuple>

namespace quorvi {
namespace {

using namespace fakes;

using Bytes = std::vector<std::uint8_t>;
constexpr DisplayID kMain = 11;
constexpr DisplayID kSide = 12;
const std::string kDefaultSubtitle = "Écran principal";
const CursorPoint kHidden{0, 0, false, std::nullopt};
const StreamEncodingSettings kSettings{.jpegQuality = 0.665, .fps = 30};

CapturedVideoBuffer bufferOf(std::int64_t width, std::int64_t height) {
    return CapturedVideoBuffer{std::make_shared<const PixelBuffer>(width, height), width, height};
}

class ScreenFrameSourceTest : public ::testing::Test {
protected:
    ScreenFrameSourceTest() {
        // 1440 × 900 points of 2 × 2 pixels, and one of 800 × 600 to its right.
        displays_->addDisplay({kMain, {0, 0, 1440, 900}, 2880, 1800});
        displays_->addDisplay({kSide, {1440, 0, 800, 600}, 800, 600});
        displays_->setPointer(DisplayPoint{720, 450});
    }

    FrameContent make(DisplayID id = kMain) {
        return source_.makeFrameContent(id, kSettings, kDefaultSubtitle);
    }

    std::shared_ptr<ScriptedFrameCapture> capture_ = std::make_shared<ScriptedFrameCapture>();
    std::shared_ptr<ScriptedVideoEncoder> video_ = std::make_shared<ScriptedVideoEncoder>();
    std::shared_ptr<ScriptedJpegEncoder> jpeg_ = std::make_shared<ScriptedJpegEncoder>();
    std::shared_ptr<SwitchablePrivacyGrants> grants_ = std::make_shared<SwitchablePrivacyGrants>();
    std::shared_ptr<FakeDisplayServices> displays_ = std::make_shared<FakeDisplayServices>();
    std::shared_ptr<testing::ManualClock> clock_ = std::make_shared<testing::ManualClock>();
    ScreenFrameSource source_{capture_, video_, jpeg_, grants_, displays_, clock_};
};

TEST_F(ScreenFrameSourceTest, AFrameWithoutPictureExplainsWhyAtTheDisplaysSize) {
    displays_->addDisplay({21, {0, 0, 1, 0}, 1, 0});
    capture_->setBuffer(kSide, bufferOf(800, 600));
    // Granted, display, its picture, then the frame's subtitle and size.
    using Case = std::tuple<bool, DisplayID, std::optional<CapturedVideoBuffer>, std::string,
                            double, double>;
    const std::string starting = "ScreenCaptureKit démarre",
                      missing(kScreenRecordingMissingSubtitle);
    const std::vector<Case> cases = {
        {false, kMain, bufferOf(1280, 800), missing, 2880, 1800},
        {true, kMain, std::nullopt, starting, 2880, 1800}, // no picture yet
        {true, 21, std::nullopt, starting, 2, 2},          // a tiny display
        {true, kMain, CapturedVideoBuffer{nullptr, 1280, 800}, starting, 2880, 1800}, // no pixels
    };
    for (const auto& [granted, display, buffer, subtitle, width, height] : cases) {
        SCOPED_TRACE(subtitle + " " + std::to_string(width));
        grants_->setScreenRecording(granted);
        if (buffer) {
            capture_->setBuffer(display, *buffer);
        }
        clock_->advance(1);
        // Even with the pointer over the display: no picture, no pointer.
        FrameContent expected{width, height, subtitle};
        expected.cursor = kHidden;
        expected.sentAt = clock_->now();
        EXPECT_EQ(make(display), expected);
        capture_->setBuffer(display, {});
    }
    // Without the grant a frame stops the capture; with it, it prepares one.
    EXPECT_EQ(capture_->stopCount(), 1);
    const auto prepared = capture_->prepared();
    ASSERT_EQ(prepared.size(), 3u);
    EXPECT_EQ(prepared[0], (ScriptedFrameCapture::Prepared{kMain, kSettings}));
}

TEST_F(ScreenFrameSourceTest, WhenTheEncoderGivesNothingTheSamePictureGoesOutAsJpegThisFrameOnly) {
    const CapturedVideoBuffer buffer = bufferOf(1280, 800);
    capture_->setBuffer(kMain, buffer);
    jpeg_->setAnswer([&](const PixelBuffer& picture, int quality) {
        EXPECT_EQ(&picture, buffer.pixelBuffer.get()) << "handed on, never copied";
        clock_->advance(0.25);
        return Bytes{0xFF, 0xD8, static_cast<std::uint8_t>(quality), 0xFF, 0xD9};
    });
    const double start = clock_->now();
    const FrameContent content = make();
    EXPECT_EQ(content.imageBase64, encodeBase64(Bytes{0xFF, 0xD8, 67, 0xFF, 0xD9}));
    EXPECT_EQ(content.imageMimeType, "image/jpeg");
    EXPECT_EQ(content.videoBase64, std::nullopt);
    EXPECT_EQ(content.subtitle, kDefaultSubtitle);
    EXPECT_EQ(content.width, 1280);
    EXPECT_EQ(content.sentAt, start + 0.25) << "stamped once the payload is made";

    // A failed or empty JPEG leaves a frame of the capture's size without payload.
    for (const std::optional<Bytes>& failed : {std::optional<Bytes>(), std::optional(Bytes{})}) {
        jpeg_->setResult(failed);
        const FrameContent none = make();
        EXPECT_EQ(std::pair(none.hasPayload(), none.height), std::pair(false, 800.0));
    }
    // The encoder is tried again on every frame: video goes out once it gives.
    const Bytes accessUnit = {0, 0, 0, 1, 0x65, 0x88};
    video_->setAnswer([&](const CapturedVideoBuffer& given, const StreamEncodingSettings& asked) {
        EXPECT_EQ(given.pixelBuffer, buffer.pixelBuffer);
        EXPECT_EQ(asked, kSettings);
        clock_->advance(0.033);
        return EncodedVideoFrame{accessUnit, "hevc-annexb", true};
    });
    const FrameContent video = make();
    EXPECT_EQ(video.videoBase64, encodeBase64(accessUnit));
    EXPECT_EQ(video.videoCodec, "hevc-annexb");
    EXPECT_EQ(video.isKeyFrame, true);
    EXPECT_EQ(video.imageBase64, std::nullopt);
    EXPECT_EQ(video.imageMimeType, "image/jpeg");
    EXPECT_EQ(video.sentAt, start + 0.25 + 0.033);
    // The flag is sent as false rather than left out.
    video_->setResult(EncodedVideoFrame{accessUnit, "h264-annexb", false});
    EXPECT_EQ(make().isKeyFrame, false);
}

TEST(JpegQualityPercent, RoundsHalfAwayFromZeroAndClamps) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<double, int>> table = {{0.665, 67}, {0.7249, 72}, {0.725, 73},
                                                       {0.005, 1},  {0.004, 0},   {1.5, 100},
                                                       {-0.2, 0},   {nan, 0},     {inf, 100}};
    for (const auto& [factor, percent] : table) {
        EXPECT_EQ(jpegQualityPercent(factor), percent) << factor;
    }
}

TEST_F(ScreenFrameSourceTest, ThePointerIsMappedIntoThePicturesPixels) {
    displays_->addDisplay({31, {-1920, 0, 1920, 1200}, 1920, 1200});
    const auto arrowAt = [](double x, double y) { return CursorPoint{x, y, false, "arrow"}; };
    // Pictures of 1280 × 800 on the main display, 1600 × 1200 on the side one,
    // 960 × 600 on the one left of the main.
    const std::tuple<std::optional<DisplayPoint>, DisplayID, CursorPoint> cases[] = {
        {DisplayPoint{1, 1}, kMain, arrowAt(1280.0 / 1440, 800.0 / 900)}, // not rounded
        {DisplayPoint{1439.5, 899.5}, kMain, arrowAt(1280 * 1439.5 / 1440, 800 * 899.5 / 900)},
        {DisplayPoint{1440, 450}, kMain, kHidden}, // the right edge is the neighbour's
        {DisplayPoint{720, 900}, kMain, kHidden},  // and so is the bottom one
        {std::nullopt, kMain, kHidden},
        {DisplayPoint{1440, 0}, kSide, arrowAt(0, 0)}, // its own top left corner
        {DisplayPoint{1000, 300}, kSide, kHidden},     // on another display
        {DisplayPoint{-960, 600}, 31, arrowAt(480, 300)},
    };
    capture_->setBuffer(kMain, bufferOf(1280, 800));
    capture_->setBuffer(kSide, bufferOf(1600, 1200));
    capture_->setBuffer(31, bufferOf(960, 600));
    for (const auto& [pointer, display, expected] : cases) {
        SCOPED_TRACE(display);
        displays_->setPointer(pointer);
        const CursorPoint cursor = make(display).cursor;
        EXPECT_EQ(cursor.kind, expected.kind);
        EXPECT_DOUBLE_EQ(cursor.x, expected.x);
        EXPECT_DOUBLE_EQ(cursor.y, expected.y);
        EXPECT_FALSE(cursor.visible) << "the picture shows the pointer already";
    }
    // The last picture of a display that went away, whose bounds read as empty.
    displays_->setPointer(DisplayPoint{0, 0});
    displays_->removeDisplay(kMain);
    EXPECT_EQ(make().cursor, kHidden);
}

} // namespace
} // namespace quorvi
