// The frame source against scripted collaborators: the grant check, the
// frames without picture, the video and JPEG payloads, the pointer mapping
// and when the time stamp is taken.

#include "capture/ScreenFrameSource.h"

#include "fakes/FakeDisplayServices.h"
#include "fakes/ManualClock.h"
#include "fakes/ScriptedFrameCapture.h"
#include "fakes/ScriptedJpegEncoder.h"
#include "fakes/ScriptedVideoEncoder.h"
#include "fakes/SwitchablePrivacyGrants.h"
#include "protocol/Base64.h"
#include "protocol/JsonCodec.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace quorvi {
namespace {

constexpr DisplayID kMain = 11;
constexpr DisplayID kSide = 12;
constexpr DisplayID kUnknown = 99;
const std::string kDefaultSubtitle = "Écran principal";

CursorPoint hidden() {
    return CursorPoint{0, 0, false, std::nullopt};
}

CursorPoint arrowAt(double x, double y) {
    return CursorPoint{x, y, false, std::string("arrow")};
}

CapturedVideoBuffer bufferOf(std::int64_t width, std::int64_t height) {
    return CapturedVideoBuffer{std::make_shared<const PixelBuffer>(width, height), width, height};
}

StreamEncodingSettings settingsWith(double jpegQuality, std::int64_t fps = 10) {
    StreamEncodingSettings settings;
    settings.jpegQuality = jpegQuality;
    settings.fps = fps;
    settings.targetWidth = 1280;
    return settings;
}

class ScreenFrameSourceTest : public ::testing::Test {
protected:
    ScreenFrameSourceTest() {
        // The main display is 1440 × 900 points of 2 × 2 pixels; a second
        // one of 800 × 600 sits to its right.
        displays_->addDisplay({kMain, {0, 0, 1440, 900}, 2880, 1800});
        displays_->addDisplay({kSide, {1440, 0, 800, 600}, 800, 600});
    }

    FrameContent make(DisplayID id = kMain, StreamEncodingSettings settings = settingsWith(0.78)) {
        return source_.makeFrameContent(id, settings, kDefaultSubtitle);
    }

    std::shared_ptr<fakes::ScriptedFrameCapture> capture_ =
        std::make_shared<fakes::ScriptedFrameCapture>();
    std::shared_ptr<fakes::ScriptedVideoEncoder> video_ =
        std::make_shared<fakes::ScriptedVideoEncoder>();
    std::shared_ptr<fakes::ScriptedJpegEncoder> jpeg_ =
        std::make_shared<fakes::ScriptedJpegEncoder>();
    std::shared_ptr<fakes::SwitchablePrivacyGrants> grants_ =
        std::make_shared<fakes::SwitchablePrivacyGrants>();
    std::shared_ptr<fakes::FakeDisplayServices> displays_ =
        std::make_shared<fakes::FakeDisplayServices>();
    std::shared_ptr<testing::ManualClock> clock_ = std::make_shared<testing::ManualClock>();
    ScreenFrameSource source_{capture_, video_, jpeg_, grants_, displays_, clock_};
};

void expectNoPayloadKeys(const FrameContent& content) {
    EXPECT_FALSE(content.hasPayload());
    EXPECT_EQ(content.imageBase64, std::nullopt);
    EXPECT_EQ(content.imageMimeType, std::nullopt);
    EXPECT_EQ(content.videoBase64, std::nullopt);
    EXPECT_EQ(content.videoCodec, std::nullopt);
    EXPECT_EQ(content.isKeyFrame, std::nullopt);
}

// ---- screen recording not granted -------------------------------------------

TEST_F(ScreenFrameSourceTest, WithoutTheGrantTheCaptureStopsAndTheFrameExplainsWhy) {
    grants_->setScreenRecording(false);
    capture_->setBuffer(kMain, bufferOf(1280, 800));
    displays_->setPointer(DisplayPoint{720, 450});

    const FrameContent content = make();

    EXPECT_EQ(capture_->stopCount(), 1);
    EXPECT_TRUE(capture_->prepared().empty());
    EXPECT_TRUE(video_->calls().empty());
    EXPECT_TRUE(jpeg_->calls().empty());
    EXPECT_EQ(content.subtitle,
              "Screen Recording non reconnu · relance requise après autorisation");
    EXPECT_EQ(content.width, 2880);
    EXPECT_EQ(content.height, 1800);
    expectNoPayloadKeys(content);
    EXPECT_EQ(content.cursor, hidden());
    EXPECT_EQ(content.sentAt, clock_->now());
}

TEST_F(ScreenFrameSourceTest, WithoutTheGrantAZeroSizedDisplayGivesATwoByTwoFrame) {
    grants_->setScreenRecording(false);

    const FrameContent content = make(kUnknown);

    EXPECT_EQ(content.width, 2);
    EXPECT_EQ(content.height, 2);
    EXPECT_EQ(content.subtitle, kScreenRecordingMissingSubtitle);
    expectNoPayloadKeys(content);
    EXPECT_EQ(content.cursor, hidden());
}

TEST_F(ScreenFrameSourceTest, TheGrantIsAskedOnEveryFrameAndItsReturnStartsANewStream) {
    capture_->setBuffer(kMain, bufferOf(1280, 800));
    grants_->setScreenRecording(false);
    make();
    make();
    EXPECT_EQ(capture_->stopCount(), 2);
    EXPECT_TRUE(capture_->prepared().empty());

    grants_->setScreenRecording(true);
    const FrameContent content = make();
    EXPECT_EQ(grants_->screenRecordingQueries(), 3);
    EXPECT_EQ(capture_->stopCount(), 2);
    ASSERT_EQ(capture_->prepared().size(), 1u);
    EXPECT_TRUE(content.hasPayload());
    EXPECT_EQ(content.subtitle, kDefaultSubtitle);
}

// ---- no picture yet ---------------------------------------------------------

TEST_F(ScreenFrameSourceTest, WithoutAPictureTheSessionExplainsAndTheDisplaySizeIsUsed) {
    capture_->setDiagnostic("ScreenCaptureKit démarre");
    displays_->setPointer(DisplayPoint{720, 450});
    const StreamEncodingSettings settings = settingsWith(0.66, 5);

    const FrameContent content = make(kMain, settings);

    ASSERT_EQ(capture_->prepared().size(), 1u);
    EXPECT_EQ(capture_->prepared()[0], (fakes::ScriptedFrameCapture::Prepared{kMain, settings}));
    EXPECT_EQ(capture_->diagnosticQueries(), std::vector<bool>{true});
    EXPECT_EQ(capture_->stopCount(), 0);
    EXPECT_EQ(content.subtitle, "ScreenCaptureKit démarre");
    EXPECT_EQ(content.width, 2880);
    EXPECT_EQ(content.height, 1800);
    expectNoPayloadKeys(content);
    // Even with the pointer over the display: no picture, no pointer.
    EXPECT_EQ(content.cursor, hidden());
    EXPECT_EQ(content.sentAt, clock_->now());
    EXPECT_TRUE(video_->calls().empty());
    EXPECT_TRUE(jpeg_->calls().empty());
}

TEST_F(ScreenFrameSourceTest, WithoutAPictureATinyDisplayIsRaisedToTwoPixels) {
    displays_->addDisplay({21, {0, 0, 1, 0}, 1, 0});
    capture_->setDiagnostic("Capture arrêtée: flux interrompu");

    const FrameContent content = make(21);

    EXPECT_EQ(content.width, 2);
    EXPECT_EQ(content.height, 2);
    EXPECT_EQ(content.subtitle, "Capture arrêtée: flux interrompu");
    expectNoPayloadKeys(content);
}

TEST_F(ScreenFrameSourceTest, APictureOfAnotherDisplayDoesNotCount) {
    capture_->setBuffer(kSide, bufferOf(800, 600));

    const FrameContent content = make(kMain);

    EXPECT_FALSE(content.hasPayload());
    EXPECT_EQ(content.imageMimeType, std::nullopt);
}

TEST_F(ScreenFrameSourceTest, ARecordWithoutPixelsIsNoPicture) {
    capture_->setBuffer(kMain, CapturedVideoBuffer{nullptr, 1280, 800});

    const FrameContent content = make();

    expectNoPayloadKeys(content);
    EXPECT_EQ(content.width, 2880);
}

TEST_F(ScreenFrameSourceTest, AFrameWithoutPictureCarriesNoPayloadKeysOnTheWire) {
    const ScreenFrameMessage message = makeScreenFrameMessage(make(), 7, "Écran");
    const Decoded<std::string> json = encodeScreenFrameMessage(message);
    ASSERT_TRUE(json.value) << json.error;
    for (const char* key : {"imageBase64", "imageMimeType", "videoBase64", "videoCodec",
                            "isKeyFrame", "null", "\"kind\":\"arrow\""}) {
        EXPECT_EQ(json.value->find(key), std::string::npos) << key << " in " << *json.value;
    }
    EXPECT_NE(json.value->find("\"subtitle\":\"ScreenCaptureKit démarre\""), std::string::npos);
}

// ---- JPEG fallback ----------------------------------------------------------

TEST_F(ScreenFrameSourceTest, WhenTheEncoderGivesNothingTheSamePictureGoesOutAsJpeg) {
    const CapturedVideoBuffer buffer = bufferOf(1280, 800);
    capture_->setBuffer(kMain, buffer);
    const std::vector<std::uint8_t> jpegBytes = {0xFF, 0xD8, 0x01, 0x02, 0x03, 0xFF, 0xD9};
    jpeg_->setResult(jpegBytes);

    const FrameContent content = make();

    ASSERT_EQ(video_->calls().size(), 1u);
    ASSERT_EQ(jpeg_->calls().size(), 1u);
    // The picture is handed on, never copied.
    EXPECT_EQ(video_->calls()[0].buffer.pixelBuffer, buffer.pixelBuffer);
    EXPECT_EQ(jpeg_->calls()[0].picture, buffer.pixelBuffer.get());
    EXPECT_EQ(jpeg_->calls()[0].quality, 78);
    EXPECT_EQ(content.width, 1280);
    EXPECT_EQ(content.height, 800);
    EXPECT_EQ(content.subtitle, kDefaultSubtitle);
    EXPECT_EQ(content.imageMimeType, "image/jpeg");
    ASSERT_TRUE(content.imageBase64);
    EXPECT_EQ(*content.imageBase64, "/9gBAgP/2Q==");
    EXPECT_EQ(decodeBase64(*content.imageBase64), jpegBytes);
    EXPECT_EQ(content.videoBase64, std::nullopt);
    EXPECT_EQ(content.videoCodec, std::nullopt);
    EXPECT_EQ(content.isKeyFrame, std::nullopt);
    EXPECT_TRUE(content.hasPayload());
}

TEST_F(ScreenFrameSourceTest, TheJpegQualityIsTheFactorInPercentRounded) {
    capture_->setBuffer(kMain, bufferOf(64, 48));
    for (const auto& [factor, percent] : std::vector<std::pair<double, int>>{
             {0.78, 78}, {0.665, 67}, {0.66, 66}, {0.84, 84}, {0.7249, 72}, {0.725, 73}}) {
        make(kMain, settingsWith(factor));
        ASSERT_FALSE(jpeg_->calls().empty());
        EXPECT_EQ(jpeg_->calls().back().quality, percent) << factor;
    }
}

TEST(JpegQualityPercent, RoundsHalfAwayFromZeroAndClamps) {
    EXPECT_EQ(jpegQualityPercent(0.665), 67);
    EXPECT_EQ(jpegQualityPercent(0.005), 1);
    EXPECT_EQ(jpegQualityPercent(0.004), 0);
    EXPECT_EQ(jpegQualityPercent(0), 0);
    EXPECT_EQ(jpegQualityPercent(1), 100);
    EXPECT_EQ(jpegQualityPercent(1.5), 100);
    EXPECT_EQ(jpegQualityPercent(-0.2), 0);
    EXPECT_EQ(jpegQualityPercent(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(jpegQualityPercent(std::numeric_limits<double>::infinity()), 100);
}

TEST_F(ScreenFrameSourceTest, AFailedJpegLeavesACaptureSizedFrameWithoutPayload) {
    capture_->setBuffer(kMain, bufferOf(1280, 800));
    jpeg_->setResult(std::nullopt);

    const FrameContent content = make();

    EXPECT_FALSE(content.hasPayload());
    EXPECT_EQ(content.imageMimeType, "image/jpeg");
    EXPECT_EQ(content.imageBase64, std::nullopt);
    EXPECT_EQ(content.videoBase64, std::nullopt);
    EXPECT_EQ(content.isKeyFrame, std::nullopt);
    EXPECT_EQ(content.width, 1280);
    EXPECT_EQ(content.height, 800);
    EXPECT_EQ(content.subtitle, kDefaultSubtitle);
}

TEST_F(ScreenFrameSourceTest, AnEmptyJpegCountsAsNone) {
    capture_->setBuffer(kMain, bufferOf(16, 16));
    jpeg_->setResult(std::vector<std::uint8_t>{});

    EXPECT_EQ(make().imageBase64, std::nullopt);
}

// ---- video ------------------------------------------------------------------

TEST_F(ScreenFrameSourceTest, AnEncodedFrameGoesOutAsVideoWithTheJpegMimeTypeKept) {
    const CapturedVideoBuffer buffer = bufferOf(1280, 800);
    capture_->setBuffer(kMain, buffer);
    const std::vector<std::uint8_t> accessUnit = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x65, 0x88};
    video_->setResult(EncodedVideoFrame{accessUnit, "h264-annexb", true});
    const StreamEncodingSettings settings = settingsWith(0.78, 30);

    const FrameContent content = make(kMain, settings);

    ASSERT_EQ(video_->calls().size(), 1u);
    EXPECT_EQ(video_->calls()[0].buffer.pixelBuffer, buffer.pixelBuffer);
    EXPECT_EQ(video_->calls()[0].buffer.width, 1280);
    EXPECT_EQ(video_->calls()[0].buffer.height, 800);
    EXPECT_EQ(video_->calls()[0].settings, settings);
    EXPECT_TRUE(jpeg_->calls().empty());
    ASSERT_TRUE(content.videoBase64);
    EXPECT_EQ(decodeBase64(*content.videoBase64), accessUnit);
    EXPECT_EQ(content.videoCodec, "h264-annexb");
    EXPECT_EQ(content.isKeyFrame, true);
    EXPECT_EQ(content.imageBase64, std::nullopt);
    EXPECT_EQ(content.imageMimeType, "image/jpeg");
    EXPECT_EQ(content.subtitle, kDefaultSubtitle);
    EXPECT_EQ(content.width, 1280);
    EXPECT_EQ(content.height, 800);
    EXPECT_TRUE(content.hasPayload());
}

TEST_F(ScreenFrameSourceTest, ANonKeyFrameSaysSoRatherThanLeavingTheFlagOut) {
    capture_->setBuffer(kMain, bufferOf(64, 64));
    video_->setResult(EncodedVideoFrame{{0, 0, 0, 1, 0x02, 0x01}, "hevc-annexb", false});

    const FrameContent content = make();

    EXPECT_EQ(content.videoCodec, "hevc-annexb");
    EXPECT_EQ(content.isKeyFrame, false);
}

TEST_F(ScreenFrameSourceTest, TheEncoderIsTriedAgainOnTheFrameAfterAFallback) {
    capture_->setBuffer(kMain, bufferOf(64, 64));
    EXPECT_TRUE(make().imageBase64);
    video_->setResult(EncodedVideoFrame{{0, 0, 0, 1, 0x65}, "h264-annexb", true});
    const FrameContent content = make();
    EXPECT_TRUE(content.videoBase64);
    EXPECT_EQ(content.imageBase64, std::nullopt);
    EXPECT_EQ(video_->calls().size(), 2u);
    EXPECT_EQ(jpeg_->calls().size(), 1u);
}

TEST(VideoCodec, RawValuesAreTheWireNames) {
    EXPECT_EQ(rawValue(VideoCodec::h264), "h264-annexb");
    EXPECT_EQ(rawValue(VideoCodec::hevc), "hevc-annexb");
    EXPECT_EQ(videoCodecFromRawValue("hevc-annexb"), VideoCodec::hevc);
    EXPECT_EQ(videoCodecFromRawValue("h264-annexb"), VideoCodec::h264);
    EXPECT_EQ(videoCodecFromRawValue("h264"), std::nullopt);
}

TEST(VideoFrameEncoder, GivesNothingYetSoFramesFallBackToJpeg) {
    VideoFrameEncoder encoder;
    const CapturedVideoBuffer buffer{std::make_shared<const PixelBuffer>(32, 32), 32, 32};
    EXPECT_EQ(encoder.encode(buffer, StreamEncodingSettings{}), std::nullopt);
}

// ---- time stamp -------------------------------------------------------------

TEST_F(ScreenFrameSourceTest, TheTimeStampIsTakenOnceTheJpegIsMade) {
    capture_->setBuffer(kMain, bufferOf(64, 64));
    const double start = clock_->now();
    jpeg_->setOnEncode([this] { clock_->advance(0.25); });

    const FrameContent content = make();

    EXPECT_EQ(content.sentAt, start + 0.25);
}

TEST_F(ScreenFrameSourceTest, TheTimeStampIsTakenOnceTheVideoIsMade) {
    capture_->setBuffer(kMain, bufferOf(64, 64));
    video_->setResult(EncodedVideoFrame{{0, 0, 0, 1, 0x65}, "h264-annexb", true});
    const double start = clock_->now();
    video_->setOnEncode([this] { clock_->advance(0.033); });

    const FrameContent content = make();

    EXPECT_EQ(content.sentAt, start + 0.033);
}

// ---- the pointer ------------------------------------------------------------

class CursorMappingTest : public ScreenFrameSourceTest {
protected:
    CursorPoint cursorWithPointerAt(std::optional<DisplayPoint> pointer, DisplayID id = kMain,
                                    std::int64_t width = 1280, std::int64_t height = 800) {
        displays_->setPointer(pointer);
        capture_->setBuffer(id, bufferOf(width, height));
        return make(id).cursor;
    }
};

TEST_F(CursorMappingTest, TheMiddleOfTheDisplayMapsToTheMiddleOfThePicture) {
    EXPECT_EQ(cursorWithPointerAt(DisplayPoint{720, 450}), arrowAt(640, 400));
}

TEST_F(CursorMappingTest, TheTopLeftCornerIsOnTheDisplay) {
    EXPECT_EQ(cursorWithPointerAt(DisplayPoint{0, 0}), arrowAt(0, 0));
}

TEST_F(CursorMappingTest, TheRightAndBottomEdgesAreOffTheDisplay) {
    EXPECT_EQ(cursorWithPointerAt(DisplayPoint{1440, 450}), hidden());
    EXPECT_EQ(cursorWithPointerAt(DisplayPoint{720, 900}), hidden());
    EXPECT_EQ(cursorWithPointerAt(DisplayPoint{1440, 900}), hidden());
}

TEST_F(CursorMappingTest, JustInsideTheFarEdgesIsStillOnTheDisplay) {
    const CursorPoint cursor = cursorWithPointerAt(DisplayPoint{1439.5, 899.5});
    EXPECT_EQ(cursor.kind, "arrow");
    EXPECT_DOUBLE_EQ(cursor.x, 1280 * 1439.5 / 1440);
    EXPECT_DOUBLE_EQ(cursor.y, 800 * 899.5 / 900);
}

TEST_F(CursorMappingTest, CoordinatesAreNotRounded) {
    const CursorPoint cursor = cursorWithPointerAt(DisplayPoint{1, 1});
    EXPECT_DOUBLE_EQ(cursor.x, 1280.0 / 1440.0);
    EXPECT_DOUBLE_EQ(cursor.y, 800.0 / 900.0);
}

TEST_F(CursorMappingTest, APointerOnAnotherDisplayIsHidden) {
    EXPECT_EQ(cursorWithPointerAt(DisplayPoint{1500, 100}), hidden());
    EXPECT_EQ(cursorWithPointerAt(DisplayPoint{-10, 100}), hidden());
}

TEST_F(CursorMappingTest, ADisplayAwayFromTheOriginIsMappedFromItsOwnCorner) {
    EXPECT_EQ(cursorWithPointerAt(DisplayPoint{1840, 300}, kSide, 1600, 1200), arrowAt(800, 600));
    EXPECT_EQ(cursorWithPointerAt(DisplayPoint{1440, 0}, kSide, 1600, 1200), arrowAt(0, 0));
    EXPECT_EQ(cursorWithPointerAt(DisplayPoint{1000, 300}, kSide, 1600, 1200), hidden());
}

TEST_F(CursorMappingTest, ADisplayLeftOfTheMainOneHasNegativeBounds) {
    displays_->addDisplay({31, {-1920, 0, 1920, 1200}, 1920, 1200});
    EXPECT_EQ(cursorWithPointerAt(DisplayPoint{-960, 600}, 31, 960, 600), arrowAt(480, 300));
}

TEST_F(CursorMappingTest, AnUnknownPointerIsHidden) {
    EXPECT_EQ(cursorWithPointerAt(std::nullopt), hidden());
}

TEST_F(CursorMappingTest, ADisplayThatWentAwayHidesThePointer) {
    // The last picture of a display that is gone: its bounds read as empty.
    displays_->removeDisplay(kMain);
    EXPECT_EQ(cursorWithPointerAt(DisplayPoint{0, 0}), hidden());
}

TEST_F(CursorMappingTest, CursorPointCanBeAskedOnItsOwn) {
    displays_->setPointer(DisplayPoint{360, 225});
    const CapturedScreen capture{1280, 800, std::make_shared<const PixelBuffer>(1280, 800), true};
    EXPECT_EQ(source_.cursorPoint(kMain, capture), arrowAt(320, 200));
    // A picture without the pointer drawn in asks the client to draw it.
    const CapturedScreen bare{1280, 800, capture.pixelBuffer, false};
    EXPECT_EQ(source_.cursorPoint(kMain, bare), (CursorPoint{320, 200, true, "arrow"}));
}

TEST_F(CursorMappingTest, EveryFrameFromACaptureKeepsTheDefaultSubtitle) {
    capture_->setBuffer(kMain, bufferOf(64, 64));
    EXPECT_EQ(make().subtitle, kDefaultSubtitle);
    jpeg_->setResult(std::nullopt);
    EXPECT_EQ(make().subtitle, kDefaultSubtitle);
    video_->setResult(EncodedVideoFrame{{0, 0, 0, 1, 0x65}, "h264-annexb", true});
    EXPECT_EQ(make().subtitle, kDefaultSubtitle);
}

// ---- helpers on their own ----------------------------------------------------

TEST_F(ScreenFrameSourceTest, CaptureDisplaySharesThePictureAndSaysThePointerIsDrawnIn) {
    const CapturedVideoBuffer buffer = bufferOf(1280, 800);
    capture_->setBuffer(kMain, buffer);

    const std::optional<CapturedScreen> capture = source_.captureDisplay(kMain);

    ASSERT_TRUE(capture);
    EXPECT_EQ(capture->pixelBuffer, buffer.pixelBuffer);
    EXPECT_EQ(capture->width, 1280);
    EXPECT_EQ(capture->height, 800);
    EXPECT_TRUE(capture->cursorInFrame);
    EXPECT_FALSE(source_.captureDisplay(kSide));
}

TEST_F(ScreenFrameSourceTest, FallbackJpegBase64UsesTheFactorGiven) {
    const CapturedScreen capture{64, 64, std::make_shared<const PixelBuffer>(64, 64), true};
    jpeg_->setResult(std::vector<std::uint8_t>{1, 2, 3});
    EXPECT_EQ(source_.fallbackJPEGBase64(capture, 0.84), "AQID");
    EXPECT_EQ(jpeg_->calls().back().quality, 84);
}

TEST_F(ScreenFrameSourceTest, TheMessageCarriesTheContentFieldForField) {
    capture_->setBuffer(kMain, bufferOf(1280, 800));
    video_->setResult(EncodedVideoFrame{{0, 0, 0, 1, 0x65}, "h264-annexb", true});
    displays_->setPointer(DisplayPoint{720, 450});
    const FrameContent content = make();

    const ScreenFrameMessage message = makeScreenFrameMessage(content, 42, "Mac");

    EXPECT_EQ(message.kind, "frame");
    EXPECT_EQ(message.sequence, 42);
    EXPECT_EQ(message.title, "Mac");
    EXPECT_EQ(message.sentAt, content.sentAt);
    EXPECT_EQ(message.width, 1280);
    EXPECT_EQ(message.height, 800);
    EXPECT_EQ(message.subtitle, kDefaultSubtitle);
    EXPECT_EQ(message.videoBase64, content.videoBase64);
    EXPECT_EQ(message.videoCodec, "h264-annexb");
    EXPECT_EQ(message.isKeyFrame, true);
    EXPECT_EQ(message.imageMimeType, "image/jpeg");
    EXPECT_EQ(message.imageBase64, std::nullopt);
    EXPECT_EQ(message.cursor, arrowAt(640, 400));
    EXPECT_TRUE(message.windows.empty());
}

} // namespace
} // namespace quorvi
