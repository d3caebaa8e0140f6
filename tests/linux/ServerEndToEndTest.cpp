// The whole server on a real X display, reached by real clients: gestures
// move the real pointer, and the reference client receives, at the size of
// its viewport, the picture painted on the screen, as JPEG and as H.264 that
// ffmpeg decodes without a word.
#include "capture/VideoFrameEncoder.h"
#include "fakes/DrainableMainQueue.h"
#include "fakes/LoopbackClient.h"
#include "linux/TestDisplay.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "platform/linux/LinuxPlatform.h"
#include "protocol/JsonCodec.h"
#include "server/QuorviServer.h"

#include <future>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace quorvi;
using namespace quorvi::testing;

namespace {

constexpr int kDisplayNumber = 87;

std::string gestureLine(const std::string& phase, double x, double y, double dx = 0,
                        double dy = 0) {
    InputEventMessage message;
    message.sentAt = 1;
    message.phase = phase;
    message.x = x;
    message.y = y;
    message.dx = dx;
    message.dy = dy;
    return *encodeInputEventMessage(message).value + "\n";
}

class ServerOnXDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto failure = geteuid() != 0 ? "needs root" : display_.start();
            !failure.empty()) {
            GTEST_SKIP() << "Xorg with the dummy driver did not start: " << failure;
        }
        ::setenv("DISPLAY", display_.name().c_str(), 1);
        auto platform = makeLinuxPlatform(
            mainQueue_, std::make_shared<InMemoryNotificationCenter>(mainQueue_), "127.0.0.1");
        // None stored: the balanced mode, 10 FPS.
        platform.userDefaults = std::make_shared<InMemoryUserDefaults>();
        if (!usesVideo()) {
            // An encoder that never delivers: the JPEG pictures, which the
            // test decodes and compares.
            platform.videoEncoder = std::make_shared<VideoFrameEncoder>();
        }
        server_ = QuorviServer::create(platform, ServerOptions{0});
        server_->start();
        ASSERT_TRUE(mainQueue_->drainUntil(
            [&] { return server_->published().status() == "Prêt: iPhone peut détecter ce Mac"; }));
    }

    void TearDown() override {
        server_.reset();
        mainQueue_->drain();
        display_.stop();
    }

    // Four quadrants and a white marker in the red one, the pointer parked in
    // a corner away from every spot looked at; the reference client asks for
    // a 390 × 844 viewport, so pictures come 844 px wide and 1200 / 1920 ×
    // 844 = 527.5 → 528 high. Its last one, saved, shows the painting.
    void expectThePaintedPictureAtTheViewportSize(const std::string& payload) {
        TestWindow window(display_.name(), 0, 0, 1920, 1200);
        ASSERT_TRUE(window.isReady());
        window.fill(0, 0, 960, 600, 0xD02020);
        window.fill(960, 0, 960, 600, 0x20B040);
        window.fill(0, 600, 960, 600, 0x2040D0);
        window.fill(960, 600, 960, 600, 0xE0C020);
        window.fill(300, 200, 80, 80, 0xFFFFFF);
        display_.run("xdotool mousemove 1900 1190");
        const auto bin = std::filesystem::read_symlink("/proc/self/exe").parent_path();
        const std::string files = "/tmp/quorvi-e2e-" + std::to_string(::getpid());
        auto running = std::async(std::launch::async, runCommand,
                                  "timeout 60 " + (bin / "quorvi-client").string() +
                                      " 127.0.0.1:" + std::to_string(server_->listeningPort()) +
                                      " --viewport 390x844 --frames 30 --save " + files +
                                      ".png --dump " + files + ".h264");
        mainQueue_->drainUntil([&] { return running.wait_for(0s) == std::future_status::ready; },
                               90s);
        const auto received = running.get();
        ASSERT_EQ(received.status, 0) << received.output;
        EXPECT_NE(received.output.find("payload=" + payload + " size=844x528"), std::string::npos)
            << received.output;
        EXPECT_EQ(server_->published().streamQuality(), "10 FPS · bonne qualité · sortie 844px");
        const std::string rgb =
            runCommand("ffmpeg -nostdin -v error -i " + files + ".png -f rawvideo -pix_fmt rgb24 -")
                .output;
        ASSERT_EQ(rgb.size(), 844u * 528 * 3);
        // Spots of the screen, scaled by 844 / 1920, with their colour.
        const std::vector<std::array<int, 5>> spots = {
            {700, 450, 0xD0, 0x20, 0x20}, {1440, 300, 0x20, 0xB0, 0x40},
            {480, 900, 0x20, 0x40, 0xD0}, {1440, 900, 0xE0, 0xC0, 0x20},
            {340, 240, 0xFF, 0xFF, 0xFF}, {440, 240, 0xD0, 0x20, 0x20},
        };
        for (const auto& spot : spots) {
            const std::size_t at = (spot[1] * 844 / 1920 * 844 + spot[0] * 844 / 1920) * 3;
            for (std::size_t c = 0; c < 3; ++c) {
                EXPECT_NEAR(static_cast<std::uint8_t>(rgb[at + c]), spot[2 + c], 24)
                    << spot[0] << "," << spot[1];
            }
        }
        if (payload == "h264") {
            const auto decoded =
                runCommand("ffmpeg -nostdin -v error -i " + files + ".h264 -f null -");
            EXPECT_EQ(decoded.status, 0);
            EXPECT_EQ(decoded.output, "");
            const auto counted =
                runCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                           "stream=nb_read_frames -of csv=p=0 " +
                           files + ".h264");
            // Frames sent while the capture was starting carry no picture.
            EXPECT_GE(std::atoi(counted.output.c_str()), 25) << counted.output;
        }
        runCommand("rm -f " + files + ".png " + files + ".h264");
    }

    virtual bool usesVideo() const { return false; }

    TestDisplay display_{kDisplayNumber};
    std::shared_ptr<DrainableMainQueue> mainQueue_ = std::make_shared<DrainableMainQueue>();
    std::shared_ptr<QuorviServer> server_;
};

} // namespace

// A tap and a scroll through the whole server, seen as the X server's own
// events (the other gestures are pinned at the XTest poster).
TEST_F(ServerOnXDisplay, ATapClicksAtItsPointAndAScrollTurnsTheWheelItsClicks) {
    TestWindow window(display_.name(), 0, 0, 1920, 1200);
    ASSERT_TRUE(window.isReady());
    LoopbackClient client(server_->listeningPort());
    ASSERT_TRUE(client.isConnected());
    using Button = std::tuple<int, unsigned, int, int>; // type, button, x, y
    const auto buttonsAfter = [&](const std::string& gesture, std::size_t count) {
        client.send(gesture);
        std::vector<Button> buttons;
        for (const SeenEvent& event : TestWindow::buttonsOnly(window.collect([&](const auto& seen) {
                 return TestWindow::buttonsOnly(seen).size() >= count;
             }))) {
            buttons.emplace_back(event.type, event.button, event.x, event.y);
        }
        return buttons;
    };
    EXPECT_EQ(buttonsAfter(gestureLine("tap", 0.25, 0.5), 2),
              (std::vector<Button>{{ButtonPress, 1, 480, 600}, {ButtonRelease, 1, 480, 600}}));
    EXPECT_EQ(display_.pointer(), std::make_pair(480, 600));
    // dy 0.1 is 120 pixels towards the content below: three clicks of the
    // wheel down (button 5) where the pointer is.
    std::vector<Button> clicks;
    for (int i = 0; i < 3; ++i) {
        clicks.insert(clicks.end(), {{ButtonPress, 5, 480, 600}, {ButtonRelease, 5, 480, 600}});
    }
    EXPECT_EQ(buttonsAfter(gestureLine("scroll", 0.5, 0.5, 0, 0.1), 6), clicks);
}

TEST_F(ServerOnXDisplay, TheClientSeesThePaintedPictureAtItsViewportSize) {
    expectThePaintedPictureAtTheViewportSize("jpeg");
}

namespace {
class VideoServerOnXDisplay : public ServerOnXDisplay {
    bool usesVideo() const override { return true; }
};
} // namespace

TEST_F(VideoServerOnXDisplay, TheClientSeesThePaintedPictureInAStreamFfmpegDecodes) {
    expectThePaintedPictureAtTheViewportSize("h264");
}
