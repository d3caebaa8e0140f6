// Screen capture on a real Xorg (dummy driver): a known picture comes back at
// the asked size with the pointer drawn in, a change is grabbed alone and
// still decodes to what the screen shows; a removed monitor and a killed
// server end the stream as texts. And the pixel work: redoing a changed part
// gives exactly what redoing everything gives.

#include "capture/ScreenCaptureSession.h"
#include "capture/VideoFrameEncoder.h"
#include "linux/TestCommands.h"
#include "linux/XorgDummyTest.h"
#include "platform/linux/LibavCompressionSession.h"
#include "platform/linux/PixelConversion.h"
#include "platform/linux/x11/X11CaptureService.h"
#include "platform/linux/x11/X11DisplayServices.h"

#include <X11/cursorfont.h>
#include <cstring>
#include <fstream>

namespace quorvi {
namespace {

using testing::eventually;
using Colour = std::array<int, 3>; // red, green, blue

Colour pixelAt(const std::uint8_t* data, std::size_t bytesPerRow, int x, int y) {
    const std::uint8_t* pixel = data + y * bytesPerRow + x * 4;
    return {pixel[2], pixel[1], pixel[0]};
}

bool isNear(Colour seen, Colour wanted, int tolerance) {
    return std::abs(seen[0] - wanted[0]) <= tolerance &&
           std::abs(seen[1] - wanted[1]) <= tolerance && std::abs(seen[2] - wanted[2]) <= tolerance;
}

// Pixels of a square that are not the colour around them: the pointer.
int differingPixels(const PixelBuffer& picture, int left, int top, int size, Colour around) {
    int count = 0;
    for (int i = 0; i < size * size; ++i) {
        count +=
            !isNear(pixelAt(picture.data(), picture.bytesPerRow(), left + i % size, top + i / size),
                    around, 24);
    }
    return count;
}

class X11CaptureTest : public testing::XorgDummyTest {
protected:
    X11CaptureTest() : XorgDummyTest(75) {}

    void TearDown() override {
        session_.reset();
        XorgDummyTest::TearDown();
    }

    // The first picture of the display for which check holds, at maxWidth.
    std::optional<CapturedVideoBuffer>
    picture(DisplayID id, std::int64_t maxWidth,
            const std::function<bool(const PixelBuffer&)>& check) {
        if (!session_) {
            session_ = std::make_shared<ScreenCaptureSession>(
                makeX11CaptureService(displayName_),
                std::make_shared<X11DisplayServices>(displayName_));
            session_->prepare(id, {.maxWidth = maxWidth});
        }
        std::optional<CapturedVideoBuffer> found;
        eventually([&] {
            found = session_->latestBuffer(id);
            return found && check(*found->pixelBuffer);
        });
        return found;
    }

    bool subtitleBecomes(const std::string& text) {
        return eventually([&] { return session_->diagnosticSubtitle(true) == text; });
    }

    std::shared_ptr<ScreenCaptureSession> session_;
};

// 1179 pixels wide, as a phone asks: the picture is scaled by 0.614, to an
// even size.
TEST_F(X11CaptureTest, AFrameShowsTheScreenScaledWithThePointerWhereItIs) {
    testing::TestWindow window(displayName_, 0, 0, 1920, 1200);
    ASSERT_TRUE(window.isReady());
    const unsigned long quadrants[] = {0xff0000, 0x00ff00, 0x0000ff, 0xffff00};
    for (int q = 0; q < 4; ++q) {
        window.fill(q % 2 * 960, q / 2 * 600, 960, 600, quadrants[q]);
    }
    // An arrow, whose tip is its hot spot, in the green quadrant.
    XDefineCursor(peer_, DefaultRootWindow(peer_), XCreateFontCursor(peer_, XC_left_ptr));
    XWarpPointer(peer_, 0, DefaultRootWindow(peer_), 0, 0, 0, 0, 1440, 300);
    XSync(peer_, False);
    const auto frame = picture(monitorID("DUMMY0"), 1179, [](const PixelBuffer& pixels) {
        return differingPixels(pixels, 882, 182, 12, {0, 255, 0}) > 10;
    });
    ASSERT_TRUE(frame.has_value()) << session_->diagnosticSubtitle(true);
    EXPECT_EQ(std::pair(frame->width, frame->height),
              (std::pair<std::int64_t, std::int64_t>(1178, 736)));
    const PixelBuffer& pixels = *frame->pixelBuffer;
    const std::tuple<int, int, Colour> probes[] = {
        {295, 553, {0, 0, 255}}, {884, 553, {255, 255, 0}}, {2, 2, {255, 0, 0}},
        {580, 360, {255, 0, 0}}, {599, 378, {255, 255, 0}}, {0, 0, {255, 0, 0}}};
    for (const auto& [x, y, colour] : probes) {
        EXPECT_TRUE(isNear(pixelAt(pixels.data(), pixels.bytesPerRow(), x, y), colour, 6))
            << x << "," << y;
    }
    EXPECT_EQ(pixels.data()[3], 255);                                 // opaque
    EXPECT_EQ(differingPixels(pixels, 250, 140, 60, {255, 0, 0}), 0); // no pointer there
    EXPECT_EQ(session_->diagnosticSubtitle(true), "Capture active, frame en attente");
}

// Scaled to 1280 x 800 and sent as H.264: the still picture three times
// (a repeat, then the key frame again for a key frame asked for), then with
// a square painted, twice (the second a repeat).
TEST_F(X11CaptureTest, APaintedSquareIsAllThatIsGrabbedAndTheDecodedPictureMatchesTheScreen) {
    testing::TestWindow window(displayName_, 0, 0, 1920, 1200);
    ASSERT_TRUE(window.isReady());
    window.fill(0, 0, 1920, 1200, 0x3060a0);
    XWarpPointer(peer_, 0, DefaultRootWindow(peer_), 0, 0, 0, 0, 1900, 1180);
    XSync(peer_, False);
    const DisplayID id = monitorID("DUMMY0");
    const auto colourAt = [](int x, int y, Colour colour) {
        return [=](const PixelBuffer& p) {
            return isNear(pixelAt(p.data(), p.bytesPerRow(), x, y), colour, 4);
        };
    };
    const auto still = picture(id, 1280, colourAt(500, 300, {0x30, 0x60, 0xa0}));
    ASSERT_TRUE(still.has_value());
    window.fill(600, 450, 96, 96, 0xff0000);
    const auto painted = picture(id, 1280, colourAt(430, 330, {255, 0, 0}));
    ASSERT_TRUE(painted.has_value());
    // The square, and under the pointer, which is grabbed again with any change.
    const ChangedRegion changed =
        painted->pixelBuffer->history().changedSince(still->pixelBuffer->stamp());
    ASSERT_FALSE(changed.isEmpty());
    EXPECT_EQ(changed.rects()[0], scaledRect({600, 450, 96, 96}, 1920, 1200, 1280, 800));
    EXPECT_LT(changed.area(), 68 * 68 + 40 * 40);

    VideoFrameEncoder encoder(makeLibavCompressionSessionFactory({{}, {"libx264"}}));
    std::string stream;
    const CapturedVideoBuffer* shown[] = {&*still, &*still, &*still, &*painted, &*painted};
    for (int i = 0; i < 5; ++i) {
        if (i == 2) {
            encoder.forceKeyFrame();
        }
        const auto frame = encoder.encode(*shown[i], {.fps = 30});
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(frame->isKeyFrame, i % 2 == 0 && i < 4) << i;
        stream.append(frame->data.begin(), frame->data.end());
    }
    const std::string file = "/tmp/quorvi-square-" + std::to_string(getpid()) + ".h264";
    std::ofstream(file, std::ios::binary) << stream;
    const auto decoded =
        testing::runCommand("ffmpeg -nostdin -v error -i " + file + " -f rawvideo -pix_fmt bgra -");
    std::remove(file.c_str());
    ASSERT_EQ(decoded.output.size(), 5u * 1280 * 800 * 4) << "five pictures, no error";
    const auto* last =
        reinterpret_cast<const std::uint8_t*>(decoded.output.data()) + 4 * 1280 * 800 * 4;
    const Colour red{255, 0, 0}, blue{0x30, 0x60, 0xa0};
    const std::tuple<int, int, Colour> probes[] = {{430, 330, red},  {403, 303, red},
                                                   {460, 360, red},  {396, 330, blue},
                                                   {430, 368, blue}, {100, 700, blue}};
    for (const auto& [x, y, colour] : probes) {
        EXPECT_TRUE(isNear(pixelAt(last, 1280 * 4, x, y), colour, 24)) << x << "," << y;
    }
}

TEST_F(X11CaptureTest, AMonitorTurnedOffOrAServerKilledEndsTheStreamAsAText) {
    freshServerNext(); // the dummy driver keeps a lit output for good
    server_.run("xrandr --newmode m800 38.25 800 832 912 1024 600 603 607 624 -hsync +vsync");
    ASSERT_EQ(server_.run("xrandr --addmode DUMMY1 m800").status, 0);
    ASSERT_EQ(server_.run("xrandr --output DUMMY1 --mode m800 --right-of DUMMY0").status, 0);
    const auto second = picture(monitorID("DUMMY1"), 1920, [](auto&) { return true; });
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->width, 800);
    ASSERT_EQ(server_.run("xrandr --output DUMMY1 --off").status, 0);
    EXPECT_TRUE(subtitleBecomes("Capture arrêtée: écran déconnecté"));

    const DisplayID main = monitorID("DUMMY0");
    session_.reset();
    ASSERT_TRUE(picture(main, 960, [](auto&) { return true; }).has_value());
    closePeer(); // a plain Xlib connection would take the process down with it
    ASSERT_TRUE(server_.killOutright());
    EXPECT_TRUE(subtitleBecomes("Capture arrêtée: connexion au serveur X perdue"));
}

TEST(CursorDrawing, PremultipliedPixelsAreLaidOverAndClippedAtTheEdges) {
    const Colour grey{100, 100, 100};
    std::vector<std::uint8_t> screen(4 * 4 * 4, 100); // 4 x 4 grey BGRX
    // Columns of opaque white, half-transparent black (premultiplied) and
    // nothing, the first of them left of the picture.
    CursorImage cursor{-1, 2, 3, 3, {}};
    for (int row = 0; row < 3; ++row) {
        cursor.pixels.insert(cursor.pixels.end(), {0xffffffffU, 0x80000000U, 0U});
    }
    drawCursor(screen.data(), 16, 4, 4, cursor);
    // Half black over grey: 100 x 127 / 255 = 50.
    const std::tuple<int, int, Colour> probes[] = {
        {0, 2, {50, 50, 50}}, {0, 3, {50, 50, 50}}, {1, 2, grey}, {0, 1, grey}, {3, 3, grey}};
    for (const auto& [x, y, colour] : probes) {
        EXPECT_TRUE(isNear(pixelAt(screen.data(), 16, x, y), colour, 1)) << x << "," << y;
    }
    // Entirely outside, it changes nothing.
    const auto before = screen;
    for (const int at : {4, -2}) {
        drawCursor(screen.data(), 16, 4, 4, {at, at, 2, 2, {~0U, ~0U, ~0U, ~0U}});
    }
    EXPECT_EQ(screen, before);
}

// A picture brought up to date where a square changed equals one made anew,
// at the same size, scaled, and converted to I420.
TEST(PixelConversion, RedoingAChangedPartEqualsRedoingEverything) {
    const auto screen = [](int width, int height, bool withSquare) {
        auto picture = std::make_shared<PixelBuffer>(width, height);
        for (int i = 0; i < width * height * 4; ++i) {
            const int x = i / 4 % width, y = i / 4 / width;
            const bool isSquare = withSquare && x >= 301 && x < 377 && y >= 199 && y < 263;
            picture->mutableData()[i] = static_cast<std::uint8_t>(i % 4 == 3 ? 255
                                                                  : isSquare ? 7 * (x ^ y)
                                                                             : x + 3 * y + i % 4);
        }
        return picture;
    };
    const auto before = screen(960, 600, false);
    const auto after = screen(960, 600, true);
    const PixelRect square{301, 199, 76, 64};
    for (const auto& [width, height] : {std::pair{960, 600}, {640, 400}, {590, 368}}) {
        SCOPED_TRACE(width);
        const ChangedRegion whole = ChangedRegion::whole(width, height);
        ChangedRegion changed;
        changed.add(scaledRect(square, 960, 600, width, height));
        PixelBuffer updated(width, height), fresh(width, height);
        for (auto [target, from, region] : {std::tuple{&updated, before, whole},
                                            {&updated, after, changed},
                                            {&fresh, after, whole}}) {
            ASSERT_TRUE(scaleBgra(from->data(), from->bytesPerRow(), 960, 600, *target, region));
        }
        EXPECT_EQ(std::memcmp(updated.data(), fresh.data(), fresh.bytesPerRow() * height), 0);
    }
    // Odd edges: the chroma of the 2 x 2 blocks they cut is made again whole.
    const auto planesOf = [](std::vector<std::uint8_t>& p) {
        p.resize(960 * 600 * 3 / 2);
        return YuvPlanes{p.data(), 960,  p.data() + 960 * 600, 480, p.data() + 960 * 750, 480, 960,
                         600,      false};
    };
    ChangedRegion changed;
    changed.add(square);
    std::vector<std::uint8_t> inPlace, anew;
    EXPECT_TRUE(convertToYuv(*before, planesOf(inPlace), ChangedRegion::whole(960, 600)));
    EXPECT_TRUE(convertToYuv(*after, planesOf(inPlace), changed));
    EXPECT_TRUE(convertToYuv(*after, planesOf(anew), ChangedRegion::whole(960, 600)));
    EXPECT_TRUE(inPlace == anew);
}

} // namespace
} // namespace quorvi
