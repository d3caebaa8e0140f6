// Capture from a real headless Mutter over PipeWire: a painted page scaled,
// a still screen delivered again without a copy, the end when Mutter goes;
// a virtual monitor read from the stream that keeps it, which goes on
// flowing between its readers.
#include "capture/ScreenCaptureSession.h"
#include "linux/HeadlessCompositorTest.h"
#include "platform/linux/gnome/GnomeCaptureService.h"
#include "platform/linux/gnome/GnomeDisplayServices.h"
#include "platform/linux/gnome/MutterSession.h"
#include "platform/linux/gnome/VirtualMonitorStreams.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>

namespace quorvi {
namespace {

bool isColour(const PixelBuffer& picture, int x, int y, std::array<int, 3> rgb) {
    const std::uint8_t* p = picture.data() + y * picture.bytesPerRow() + x * 4;
    return std::abs(p[2] - rgb[0]) + std::abs(p[1] - rgb[1]) + std::abs(p[0] - rgb[2]) <= 8;
}

class GnomeCaptureTest : public testing::MutterHeadlessTest {
protected:
    GnomeCaptureTest() : MutterHeadlessTest(88) {}

    // The benchmark's still page, full screen: a blue wallpaper, a light
    // grey window frame.
    void paintPage() {
        const auto program = std::filesystem::read_symlink("/proc/self/exe").parent_path() /
                             "quorvi-animate-wayland";
        if (!std::filesystem::exists(program)) {
            GTEST_SKIP() << program << " is not built";
        }
        ASSERT_EQ(run(program.string() + " --scene static >/dev/null 2>&1 &").status, 0);
    }
};

TEST_F(GnomeCaptureTest, TheMonitorComesBackScaledAndAgainWhenStillUntilMutterGoes) {
    ASSERT_NO_FATAL_FAILURE(paintPage());
    if (IsSkipped()) {
        return;
    }
    auto displays = std::make_shared<GnomeDisplayServices>();
    const DisplayID id = displays->mainDisplayID();
    auto session = std::make_shared<ScreenCaptureSession>(
        makeGnomeCaptureService(displays, nullptr), displays);
    session->prepare(id, {.maxWidth = 960});
    std::optional<CapturedVideoBuffer> page, again;
    const auto seen = [&](std::optional<CapturedVideoBuffer>& found, auto check) {
        // Mutter draws in software: on a loaded machine its first pictures
        // of a new window take seconds.
        return testing::eventually(
            [&] { return (found = session->latestBuffer(id)) && check(*found); },
            std::chrono::seconds(20));
    };
    // The wallpaper's top-left corner and the frame's left side.
    ASSERT_TRUE(seen(page, [](auto& b) {
        return isColour(*b.pixelBuffer, 2, 2, {30, 60, 120}) &&
               isColour(*b.pixelBuffer, 84, 300, {235, 235, 235});
    }));
    EXPECT_TRUE(page->width == 960 && page->height == 600);
    // Once Mutter's window animation is over, the same picture again.
    std::optional<CapturedVideoBuffer> last = page;
    EXPECT_TRUE(seen(again, [&](auto& b) {
        const bool isRepeat = b.pixelBuffer->stamp() == last->pixelBuffer->stamp();
        const bool isLater = b.capturedAt > last->capturedAt;
        last = b;
        return isRepeat && isLater;
    }));

    // PipeWire goes with Mutter, or first Mutter's stream: either way, why.
    stopCompositor();
    EXPECT_TRUE(testing::eventually([&] {
        const std::string subtitle = session->diagnosticSubtitle(true);
        return subtitle.starts_with("Capture arrêtée: ") &&
               (subtitle.find("PipeWire") != std::string::npos ||
                subtitle.find("GNOME") != std::string::npos);
    })) << session->diagnosticSubtitle(true);
}

// How much the spot where the pointer is drawn at point (stream pixels)
// differs between two half-size pictures.
int differenceAt(const PixelBuffer& a, const PixelBuffer& b, DisplayPoint point) {
    const int left = static_cast<int>(point.x) / 2 * 4;
    int sum = 0;
    for (int y = static_cast<int>(point.y) / 2; y < static_cast<int>(point.y) / 2 + 10; ++y) {
        for (int i = left; i < left + 7 * 4; ++i) {
            sum += i % 4 == 3 ? 0
                              : std::abs(a.data()[y * a.bytesPerRow() + i] -
                                         b.data()[y * b.bytesPerRow() + i]);
        }
    }
    return sum;
}

TEST_F(GnomeCaptureTest, AVirtualMonitorIsReadFromItsOwnStreamThatFlowsBetweenReaders) {
    std::string error;
    // A remote-desktop session: its pointer draws the marks.
    auto maker = gnome::MutterSession::create(gnome::MutterSession::Kind::remoteDesktop, error);
    ASSERT_TRUE(maker) << error;
    const auto index = maker->recordVirtual(error);
    ASSERT_TRUE(index && maker->start(error)) << error;
    auto stream = gnome::PipeWireVideoStream::connectWithPicture(
        *maker->stream(*index).pipeWireNode, gnome::PictureSize{1280, 800}, error);
    ASSERT_TRUE(stream) << error;
    // An identifier GNOME does not list: recording it would fail.
    constexpr DisplayID kVirtual = 0x7ff00001;
    auto virtuals = std::make_shared<gnome::VirtualMonitorStreams>();
    virtuals->add(kVirtual, stream);
    auto service = makeGnomeCaptureService(std::make_shared<GnomeDisplayServices>(), virtuals);

    // The pointer drawn by Mutter, moved while nobody reads, shows that the
    // stream took the pictures in between. The first reader sees the
    // monitor without it.
    const std::array<DisplayPoint, 2> spots{{{320, 200}, {960, 600}}};
    std::shared_ptr<const PixelBuffer> bare;
    for (int turn = -1; turn < 2; ++turn) {
        SCOPED_TRACE(turn);
        if (turn >= 0) {
            ASSERT_TRUE(maker->movePointer(*index, spots[turn].x, spots[turn].y));
        }
        std::promise<std::shared_ptr<const PixelBuffer>> shown;
        std::atomic<bool> isShown = false;
        const auto isExpected = [&](const PixelBuffer& picture) {
            return picture.width() == 640 &&
                   (bare == nullptr || std::ranges::all_of(spots, [&](DisplayPoint spot) {
                        const bool isPointer = turn >= 0 && spot == spots[turn];
                        return (differenceAt(picture, *bare, spot) > 600) == isPointer;
                    }));
        };
        CaptureStreamOutput output{[&](CapturedVideoBuffer buffer) {
                                       if (isExpected(*buffer.pixelBuffer) &&
                                           !isShown.exchange(true)) {
                                           shown.set_value(buffer.pixelBuffer);
                                       }
                                   },
                                   {}};
        const CaptureStartResult started = service->start(
            {.displayID = kVirtual, .width = 640, .height = 400, .minimumFrameInterval = {1, 30}},
            std::move(output));
        ASSERT_TRUE(started.stream) << started.errorDescription;
        auto picture = shown.get_future();
        const bool isReady = picture.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        std::promise<void> stopped;
        started.stream->stop([&] { stopped.set_value(); });
        stopped.get_future().wait();
        ASSERT_TRUE(isReady);
        if (bare == nullptr) {
            bare = picture.get();
        }
    }
    EXPECT_EQ(stream->size(), (gnome::PictureSize{1280, 800}));
    EXPECT_FALSE(stream->endReason());
}

} // namespace
} // namespace quorvi
