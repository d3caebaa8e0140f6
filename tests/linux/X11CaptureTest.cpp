// Screen capture against a real Xorg on the dummy driver: a known picture
// painted with plain Xlib comes back at the asked size with its colours and
// the pointer drawn in; unknown displays, removed monitors and a killed
// server end as French texts, never as a crash.

#include "capture/ScreenCaptureSession.h"
#include "linux/XorgDummyTest.h"
#include "platform/linux/X11CaptureService.h"
#include "platform/linux/X11DisplayServices.h"
#include "platform/linux/X11ErrorHandling.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>
#include <unistd.h>
// Xlib's None and Bool are macros, and Google Test uses both names.
#undef None
#undef Bool

#include <gtest/gtest.h>

namespace quorvi {
namespace {

using namespace std::chrono_literals;
using testing::CommandResult;
using testing::eventually;

// Our own display number, so that no other test's server is touched.
constexpr int kDisplayNumber = 75;
const std::string kDisplayName = ":" + std::to_string(kDisplayNumber);

struct Colour {
    int red = 0;
    int green = 0;
    int blue = 0;
};

Colour pixelAt(const PixelBuffer& picture, int x, int y) {
    const std::uint8_t* pixel = picture.data() +
                                static_cast<std::size_t>(y) * picture.bytesPerRow() +
                                static_cast<std::size_t>(x) * 4;
    return {pixel[2], pixel[1], pixel[0]};
}

bool isNear(Colour seen, Colour wanted, int tolerance) {
    return std::abs(seen.red - wanted.red) <= tolerance &&
           std::abs(seen.green - wanted.green) <= tolerance &&
           std::abs(seen.blue - wanted.blue) <= tolerance;
}

// Pixels of a square that are not the colour around them: the pointer.
int differingPixels(const PixelBuffer& picture, int left, int top, int size, Colour around) {
    int count = 0;
    for (int y = std::max(top, 0); y < std::min<std::int64_t>(top + size, picture.height()); ++y) {
        for (int x = std::max(left, 0); x < std::min<std::int64_t>(left + size, picture.width());
             ++x) {
            if (!isNear(pixelAt(picture, x, y), around, 24)) {
                ++count;
            }
        }
    }
    return count;
}

constexpr Colour kRed{255, 0, 0};
constexpr Colour kGreen{0, 255, 0};
constexpr Colour kBlue{0, 0, 255};
constexpr Colour kYellow{255, 255, 0};

StreamEncodingSettings settings(std::int64_t maxWidth, std::int64_t fps = 30) {
    StreamEncodingSettings result;
    result.maxWidth = maxWidth;
    result.fps = fps;
    return result;
}

class X11CaptureTest : public testing::XorgDummyTest {
protected:
    X11CaptureTest() : XorgDummyTest(kDisplayNumber) {}

    void TearDown() override {
        session_.reset();
        XorgDummyTest::TearDown();
    }

    DisplayID mainID() { return monitorID("DUMMY0"); }

    // An override-redirect window of one colour, with an arrow pointer.
    Window paint(int x, int y, int width, int height, unsigned long rgb) {
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.background_pixel = rgb;
        attributes.event_mask = StructureNotifyMask;
        attributes.cursor = XCreateFontCursor(peer_, XC_left_ptr);
        const Window window = XCreateWindow(
            peer_, DefaultRootWindow(peer_), x, y, static_cast<unsigned int>(width),
            static_cast<unsigned int>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
            CWOverrideRedirect | CWBackPixel | CWEventMask | CWCursor, &attributes);
        XMapRaised(peer_, window);
        XSync(peer_, False);
        EXPECT_TRUE(eventually([&] {
            XEvent event;
            return XCheckTypedWindowEvent(peer_, window, MapNotify, &event) == True;
        }));
        return window;
    }

    // Red, green / blue, yellow over the 1920 x 1200 main display.
    void paintQuadrants() {
        paint(0, 0, 960, 600, 0xff0000);
        paint(960, 0, 960, 600, 0x00ff00);
        paint(0, 600, 960, 600, 0x0000ff);
        paint(960, 600, 960, 600, 0xffff00);
        XSync(peer_, False);
    }

    void warpPointer(int x, int y) {
        XWarpPointer(peer_, 0, DefaultRootWindow(peer_), 0, 0, 0, 0, x, y);
        XSync(peer_, False);
    }

    void startSession() {
        session_ = std::make_shared<ScreenCaptureSession>(
            makeX11CaptureService(kDisplayName),
            std::make_shared<X11DisplayServices>(kDisplayName));
    }

    // The first picture of the display for which check holds.
    std::optional<CapturedVideoBuffer>
    waitForPicture(DisplayID id, const std::function<bool(const PixelBuffer&)>& check) {
        std::optional<CapturedVideoBuffer> found;
        eventually([&] {
            found = session_->latestBuffer(id);
            return found && check(*found->pixelBuffer);
        });
        return found;
    }

    std::shared_ptr<ScreenCaptureSession> session_;
};

TEST_F(X11CaptureTest, AFrameAt960x600ShowsTheFourQuadrants) {
    paintQuadrants();
    warpPointer(1900, 1190);
    startSession();
    session_->prepare(mainID(), settings(960));
    const auto picture = waitForPicture(mainID(), [](const PixelBuffer&) { return true; });
    ASSERT_TRUE(picture.has_value()) << session_->diagnosticSubtitle(true);
    EXPECT_EQ(picture->width, 960);
    EXPECT_EQ(picture->height, 600);
    const PixelBuffer& pixels = *picture->pixelBuffer;
    EXPECT_EQ(pixels.width(), 960);
    EXPECT_EQ(pixels.height(), 600);
    EXPECT_GE(pixels.bytesPerRow(), 960u * 4);

    const struct {
        int x;
        int y;
        Colour colour;
    } probes[] = {{240, 150, kRed},    {720, 150, kGreen}, {240, 450, kBlue},
                  {720, 450, kYellow}, {10, 10, kRed},     {950, 10, kGreen},
                  {10, 590, kBlue},    {470, 290, kRed},   {490, 310, kYellow}};
    for (const auto& probe : probes) {
        const Colour seen = pixelAt(pixels, probe.x, probe.y);
        EXPECT_TRUE(isNear(seen, probe.colour, 6))
            << "at " << probe.x << "," << probe.y << ": " << seen.red << " " << seen.green << " "
            << seen.blue;
    }
    // Opaque everywhere.
    EXPECT_EQ(pixels.data()[3], 255);
    EXPECT_EQ(session_->diagnosticSubtitle(true), "Capture active, frame en attente");
}

TEST_F(X11CaptureTest, AFullSizeFrameIsAnExactCopy) {
    paintQuadrants();
    warpPointer(1900, 1190);
    startSession();
    session_->prepare(mainID(), settings(1920, 10));
    const auto picture = waitForPicture(mainID(), [](const PixelBuffer&) { return true; });
    ASSERT_TRUE(picture.has_value()) << session_->diagnosticSubtitle(true);
    EXPECT_EQ(picture->width, 1920);
    EXPECT_EQ(picture->height, 1200);
    const PixelBuffer& pixels = *picture->pixelBuffer;
    EXPECT_TRUE(isNear(pixelAt(pixels, 959, 599), kRed, 0));
    EXPECT_TRUE(isNear(pixelAt(pixels, 960, 599), kGreen, 0));
    EXPECT_TRUE(isNear(pixelAt(pixels, 959, 600), kBlue, 0));
    EXPECT_TRUE(isNear(pixelAt(pixels, 960, 600), kYellow, 0));
    EXPECT_TRUE(isNear(pixelAt(pixels, 0, 0), kRed, 0));
    EXPECT_EQ(pixels.data()[3], 255);
}

TEST_F(X11CaptureTest, ThePointerIsDrawnWhereItIs) {
    paintQuadrants();
    warpPointer(480, 300);
    startSession();
    session_->prepare(mainID(), settings(960));
    // The arrow's tip (its hot spot) is at the pointer: 240, 150 once halved.
    auto picture = waitForPicture(mainID(), [](const PixelBuffer& pixels) {
        return differingPixels(pixels, 238, 148, 12, kRed) > 10;
    });
    ASSERT_TRUE(picture.has_value()) << session_->diagnosticSubtitle(true);
    EXPECT_GT(differingPixels(*picture->pixelBuffer, 238, 148, 12, kRed), 10);
    EXPECT_EQ(differingPixels(*picture->pixelBuffer, 100, 50, 40, kRed), 0);
    EXPECT_EQ(differingPixels(*picture->pixelBuffer, 700, 430, 40, kYellow), 0);

    // At 30 fps the stream has two buffers: the session holds the latest,
    // and one kept here would leave the capture none to fill.
    picture.reset();
    warpPointer(1440, 900);
    picture = waitForPicture(mainID(), [](const PixelBuffer& pixels) {
        return differingPixels(pixels, 718, 448, 12, kYellow) > 10;
    });
    ASSERT_TRUE(picture.has_value());
    EXPECT_GT(differingPixels(*picture->pixelBuffer, 718, 448, 12, kYellow), 10);
    EXPECT_EQ(differingPixels(*picture->pixelBuffer, 230, 140, 30, kRed), 0);
}

TEST_F(X11CaptureTest, AnUnknownDisplayIsNotFound) {
    startSession();
    session_->prepare(123456789, settings(960));
    EXPECT_TRUE(eventually([&] {
        return session_->diagnosticSubtitle(true) == "Display introuvable pour ScreenCaptureKit";
    })) << session_->diagnosticSubtitle(true);
    EXPECT_EQ(session_->latestBuffer(123456789), std::nullopt);
}

TEST_F(X11CaptureTest, AMonitorTurnedOffEndsItsStream) {
    onTestDisplay("xrandr --newmode quorvi-capture-800 38.25 800 832 912 1024 600 603 607 624 "
                  "-hsync +vsync");
    ASSERT_EQ(onTestDisplay("xrandr --addmode DUMMY1 quorvi-capture-800").status, 0);
    const CommandResult lit =
        onTestDisplay("xrandr --output DUMMY1 --mode quorvi-capture-800 --right-of DUMMY0");
    ASSERT_EQ(lit.status, 0) << lit.output;
    const DisplayID second = monitorID("DUMMY1");
    startSession();
    session_->prepare(second, settings(1920, 15));
    const auto picture = waitForPicture(second, [](const PixelBuffer&) { return true; });
    ASSERT_TRUE(picture.has_value()) << session_->diagnosticSubtitle(true);
    EXPECT_EQ(picture->width, 800);
    EXPECT_EQ(picture->height, 600);

    ASSERT_EQ(onTestDisplay("xrandr --output DUMMY1 --off").status, 0);
    EXPECT_TRUE(eventually([&] {
        return session_->diagnosticSubtitle(true) == "Capture arrêtée: écran déconnecté";
    })) << session_->diagnosticSubtitle(true);
}

TEST_F(X11CaptureTest, AKilledServerEndsTheStreamAndTheProcessGoesOn) {
    paintQuadrants();
    startSession();
    session_->prepare(mainID(), settings(960));
    ASSERT_TRUE(waitForPicture(mainID(), [](const PixelBuffer&) { return true; }).has_value())
        << session_->diagnosticSubtitle(true);
    const DisplayID main = mainID();
    // Our own plain connection would take the process down with the server.
    closePeer();
    ASSERT_TRUE(server_.killOutright());

    EXPECT_TRUE(eventually([&] {
        return session_->diagnosticSubtitle(true).rfind("Capture arrêtée: ", 0) == 0;
    })) << session_->diagnosticSubtitle(true);
    EXPECT_EQ(session_->diagnosticSubtitle(true), "Capture arrêtée: connexion au serveur X perdue");
    // The last picture stays until something stops the session.
    EXPECT_TRUE(session_->latestBuffer(main).has_value());

    // A new start without a server fails as a text too.
    session_->stop();
    session_->prepare(main, settings(1280));
    EXPECT_TRUE(eventually([&] {
        return session_->diagnosticSubtitle(true).rfind("ScreenCaptureKit: ", 0) == 0;
    })) << session_->diagnosticSubtitle(true);
}

TEST_F(X11CaptureTest, TheContentListsTheMonitorsAndTellsOurWindowsApart) {
    const Window ours = paint(10, 10, 100, 100, 0x808080);
    const Window other = paint(200, 10, 100, 100, 0x404040);
    const Window unnamed = paint(400, 10, 100, 100, 0x202020);
    const auto setOwner = [&](Window window, const char* className, unsigned long pid) {
        XClassHint hint{};
        std::string name = "quorvi-test";
        std::string klass = className;
        hint.res_name = name.data();
        hint.res_class = klass.data();
        XSetClassHint(peer_, window, &hint);
        const long value = static_cast<long>(pid);
        XChangeProperty(peer_, window, XInternAtom(peer_, "_NET_WM_PID", False), XA_CARDINAL, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&value), 1);
    };
    setOwner(ours, "QuorviTest", static_cast<unsigned long>(getpid()));
    setOwner(other, "Other", 1);
    XSync(peer_, False);

    const auto service = makeX11CaptureService(kDisplayName);
    const ShareableContentResult result = service->shareableContent();
    ASSERT_TRUE(result.content.has_value()) << result.errorDescription;
    EXPECT_EQ(result.content->displayIDs, std::vector<DisplayID>{mainID()});
    auto find = [&](Window window) -> const ShareableWindow* {
        for (const ShareableWindow& seen : result.content->windows) {
            if (seen.windowID == window) {
                return &seen;
            }
        }
        return nullptr;
    };
    ASSERT_NE(find(ours), nullptr);
    EXPECT_EQ(find(ours)->owningApplication, (CaptureApplication{"QuorviTest", true}));
    ASSERT_NE(find(other), nullptr);
    EXPECT_EQ(find(other)->owningApplication, (CaptureApplication{"Other", false}));
    ASSERT_NE(find(unnamed), nullptr);
    EXPECT_EQ(find(unnamed)->owningApplication, std::nullopt);

    // An unmapped window is not on screen.
    XUnmapWindow(peer_, other);
    XSync(peer_, False);
    const ShareableContentResult later = service->shareableContent();
    ASSERT_TRUE(later.content.has_value());
    for (const ShareableWindow& seen : later.content->windows) {
        EXPECT_NE(seen.windowID, other);
    }
}

TEST_F(X11CaptureTest, NoMoreThanTheQueueDepthOfPicturesIsOutAtOnce) {
    const auto service = makeX11CaptureService(kDisplayName);
    std::mutex mutex;
    std::vector<CapturedVideoBuffer> held;
    CaptureStreamOutput output;
    output.didOutputSample = [&](CapturedVideoBuffer buffer) {
        std::lock_guard guard(mutex);
        held.push_back(std::move(buffer));
    };
    output.didStopWithError = [](const std::string&) {};
    CaptureStreamConfiguration configuration;
    configuration.displayID = mainID();
    configuration.width = 640;
    configuration.height = 400;
    configuration.minimumFrameInterval = {1, 60};
    configuration.queueDepth = 2;
    const CaptureStartResult started = service->start(configuration, output);
    ASSERT_NE(started.stream, nullptr) << started.errorDescription;
    auto count = [&] {
        std::lock_guard guard(mutex);
        return held.size();
    };
    ASSERT_TRUE(eventually([&] { return count() == 2; }));
    // Several frame intervals later, still two: the pool is empty.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(count(), 2u);
    {
        std::lock_guard guard(mutex);
        EXPECT_NE(held[0].pixelBuffer.get(), held[1].pixelBuffer.get());
        held.erase(held.begin());
    }
    EXPECT_TRUE(eventually([&] { return count() == 2; }));

    std::atomic<bool> hasStopped{false};
    started.stream->stop([&] { hasStopped = true; });
    EXPECT_TRUE(eventually([&] { return hasStopped.load(); }));
    std::lock_guard guard(mutex);
    held.clear();
}

// ---- the pixel work, without X --------------------------------------------------

// A BGRX picture whose fourth byte is 0, as X leaves it.
std::vector<std::uint8_t> picture(int width, int height,
                                  const std::function<Colour(int, int)>& colourAt) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Colour colour = colourAt(x, y);
            std::uint8_t* pixel = bytes.data() + (static_cast<std::size_t>(y) * width + x) * 4;
            pixel[0] = static_cast<std::uint8_t>(colour.blue);
            pixel[1] = static_cast<std::uint8_t>(colour.green);
            pixel[2] = static_cast<std::uint8_t>(colour.red);
            pixel[3] = 0;
        }
    }
    return bytes;
}

PixelBuffer buffer(int width, int height) {
    const std::size_t bytesPerRow = alignedBytesPerRow(width);
    return PixelBuffer(width, height, bytesPerRow,
                       std::make_unique<std::uint8_t[]>(bytesPerRow * height));
}

TEST(BgraScaler, TheSameSizeIsAnExactOpaqueCopyIntoPaddedRows) {
    const auto source = picture(5, 3, [](int x, int y) { return Colour{x * 40, y * 80, 7}; });
    PixelBuffer target = buffer(5, 3);
    EXPECT_EQ(target.bytesPerRow(), 64u);
    BgraScaler scaler;
    ASSERT_TRUE(scaler.scale(source.data(), 20, 5, 3, target));
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 5; ++x) {
            EXPECT_TRUE(isNear(pixelAt(target, x, y), Colour{x * 40, y * 80, 7}, 0));
            EXPECT_EQ(target.data()[y * 64 + x * 4 + 3], 255);
        }
    }
}

TEST(BgraScaler, FlatColourStaysExactAtEverySize) {
    const auto source = picture(1920, 1200, [](int, int) { return Colour{200, 100, 50}; });
    BgraScaler scaler;
    for (const auto& [width, height] : std::vector<std::pair<int, int>>{
             {1280, 800}, {1179, 737}, {960, 600}, {641, 401}, {2, 2}, {1919, 1199}}) {
        PixelBuffer target = buffer(width, height);
        ASSERT_TRUE(scaler.scale(source.data(), 1920 * 4, 1920, 1200, target));
        for (const auto& [x, y] : std::vector<std::pair<int, int>>{
                 {0, 0}, {width - 1, height - 1}, {width / 2, height / 3}}) {
            EXPECT_TRUE(isNear(pixelAt(target, x, y), Colour{200, 100, 50}, 0))
                << width << "x" << height << " at " << x << "," << y;
            EXPECT_EQ(target.data()[static_cast<std::size_t>(y) * target.bytesPerRow() + x * 4 + 3],
                      255);
        }
    }
}

TEST(BgraScaler, HalvingAveragesEachTwoByTwoBlock) {
    // A one-pixel checkerboard of black and white becomes mid grey, not a
    // pattern of whichever pixels a sampler happened to hit.
    const auto source = picture(8, 4, [](int x, int y) {
        return (x + y) % 2 == 0 ? Colour{0, 0, 0} : Colour{255, 255, 255};
    });
    PixelBuffer target = buffer(4, 2);
    BgraScaler scaler;
    ASSERT_TRUE(scaler.scale(source.data(), 32, 8, 4, target));
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 4; ++x) {
            EXPECT_TRUE(isNear(pixelAt(target, x, y), Colour{128, 128, 128}, 1));
        }
    }
}

TEST(BgraScaler, ASharpEdgeStaysWhereItWasAndBlendsOnlyAcrossIt) {
    // Left half red, right half blue, scaled by two thirds.
    const auto source = picture(300, 30, [](int x, int) { return x < 150 ? kRed : kBlue; });
    PixelBuffer target = buffer(200, 20);
    BgraScaler scaler;
    ASSERT_TRUE(scaler.scale(source.data(), 1200, 300, 30, target));
    for (int x = 0; x < 99; ++x) {
        EXPECT_TRUE(isNear(pixelAt(target, x, 10), kRed, 0)) << x;
    }
    for (int x = 101; x < 200; ++x) {
        EXPECT_TRUE(isNear(pixelAt(target, x, 10), kBlue, 0)) << x;
    }
}

TEST(BgraScaler, ASwscaleFilterGivesTheSameFlatColourWithinRounding) {
    const auto source = picture(1920, 1200, [](int, int) { return Colour{200, 100, 50}; });
    BgraScaler scaler(BgraScaler::Filter::swscaleBilinear);
    PixelBuffer target = buffer(1280, 800);
    ASSERT_TRUE(scaler.scale(source.data(), 1920 * 4, 1920, 1200, target));
    EXPECT_TRUE(isNear(pixelAt(target, 640, 400), Colour{200, 100, 50}, 3));
}

TEST(BgraScaler, NonsenseSizesAreRefused) {
    const auto source = picture(4, 4, [](int, int) { return kRed; });
    BgraScaler scaler;
    PixelBuffer target = buffer(2, 2);
    EXPECT_FALSE(scaler.scale(nullptr, 16, 4, 4, target));
    EXPECT_FALSE(scaler.scale(source.data(), 16, 0, 4, target));
    PixelBuffer narrowRows(2, 2, 4, std::make_unique<std::uint8_t[]>(8));
    EXPECT_FALSE(scaler.scale(source.data(), 16, 4, 4, narrowRows));
}

TEST(CursorDrawing, PremultipliedPixelsAreLaidOverAndClippedAtTheEdges) {
    auto screen = picture(4, 4, [](int, int) { return Colour{100, 100, 100}; });
    CursorImage cursor;
    cursor.left = -1;
    cursor.top = 2;
    cursor.width = 3;
    cursor.height = 3;
    // Opaque white, half-transparent black (premultiplied: 0x80000000),
    // fully transparent.
    cursor.pixels = {0xffffffffU, 0x80000000U, 0x00000000U, 0xffffffffU, 0x80000000U,
                     0x00000000U, 0xffffffffU, 0x80000000U, 0x00000000U};
    drawCursor(screen.data(), 16, 4, 4, cursor);
    auto at = [&](int x, int y) {
        const std::uint8_t* pixel = screen.data() + y * 16 + x * 4;
        return Colour{pixel[2], pixel[1], pixel[0]};
    };
    // Column 0 of the picture is the cursor's column 1 (half black over
    // grey: 100 x 127 / 255 = 50); column 1 is its transparent column.
    EXPECT_TRUE(isNear(at(0, 2), Colour{50, 50, 50}, 1));
    EXPECT_TRUE(isNear(at(0, 3), Colour{50, 50, 50}, 1));
    EXPECT_TRUE(isNear(at(1, 2), Colour{100, 100, 100}, 0));
    EXPECT_TRUE(isNear(at(0, 1), Colour{100, 100, 100}, 0));
    EXPECT_TRUE(isNear(at(3, 3), Colour{100, 100, 100}, 0));
}

TEST(CursorDrawing, ACursorEntirelyOutsideChangesNothing) {
    auto screen = picture(4, 4, [](int, int) { return kRed; });
    const auto before = screen;
    CursorImage cursor{10, 10, 2, 2, {0xffffffffU, 0xffffffffU, 0xffffffffU, 0xffffffffU}};
    drawCursor(screen.data(), 16, 4, 4, cursor);
    cursor.left = -5;
    cursor.top = -5;
    drawCursor(screen.data(), 16, 4, 4, cursor);
    EXPECT_EQ(screen, before);
}

TEST(PixelBufferPool, HandsOutAtMostItsCapacityAndTakesBuffersBackFromAnyThread) {
    const auto pool = PixelBufferPool::make(64, 32, 2);
    auto first = pool->take();
    auto second = pool->take();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(pool->take(), nullptr);
    EXPECT_EQ(first->width(), 64);
    EXPECT_EQ(first->bytesPerRow(), 256u);
    const PixelBuffer* firstMemory = first.get();

    std::shared_ptr<const PixelBuffer> shared = pool->share(std::move(first));
    std::shared_ptr<const PixelBuffer> copy = shared;
    shared.reset();
    EXPECT_EQ(pool->outstanding(), 2);
    std::thread([released = std::move(copy)]() mutable { released.reset(); }).join();
    EXPECT_EQ(pool->outstanding(), 1);
    // The same memory comes out again.
    auto again = pool->take();
    EXPECT_EQ(again.get(), firstMemory);
    pool->putBack(std::move(second));
    pool->putBack(std::move(again));
    EXPECT_EQ(pool->outstanding(), 0);
}

TEST(PixelBufferPool, ABufferOutlivingItsPoolHolderStillGoesBack) {
    std::shared_ptr<const PixelBuffer> shared;
    {
        const auto pool = PixelBufferPool::make(8, 8, 1);
        shared = pool->share(pool->take());
    }
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->width(), 8);
    shared.reset();
}

} // namespace
} // namespace quorvi
