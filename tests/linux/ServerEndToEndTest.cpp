// The whole server on a real X display, reached by real clients: a tap
// moves the real pointer, and the reference client receives, at the size of
// its viewport, the picture painted on the screen.
#include "fakes/DrainableMainQueue.h"
#include "fakes/LoopbackClient.h"
#include "linux/XorgDummyTest.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/x11/X11Backend.h"
#include "protocol/JsonCodec.h"
#include "server/QuorviServer.h"

#include <future>

using namespace std::chrono_literals;
using namespace quorvi;
using namespace quorvi::testing;

namespace {

class ServerOnXDisplay : public XorgDummyTest {
protected:
    ServerOnXDisplay() : XorgDummyTest(87) {}

    void SetUp() override {
        XorgDummyTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        ::setenv("DISPLAY", displayName_.c_str(), 1);
        auto platform =
            makeLinuxPlatform(mainQueue_, std::make_shared<InMemoryNotificationCenter>(mainQueue_),
                              "127.0.0.1", makeX11Backend());
        // None stored: the balanced mode, 10 FPS.
        platform.userDefaults = std::make_shared<InMemoryUserDefaults>();
        quorvi_ = QuorviServer::create(platform, ServerOptions{0});
        quorvi_->start();
        ASSERT_TRUE(mainQueue_->drainUntil(
            [&] { return quorvi_->published().status() == "Prêt: iPhone peut détecter ce Mac"; }));
    }

    void TearDown() override {
        quorvi_.reset();
        mainQueue_->drain();
        XorgDummyTest::TearDown();
    }

    std::shared_ptr<DrainableMainQueue> mainQueue_ = std::make_shared<DrainableMainQueue>();
    std::shared_ptr<QuorviServer> quorvi_;
};

} // namespace

// A tap through the whole server, seen as the X server's own events (the
// gestures are pinned at the input injector and at the XTest poster).
TEST_F(ServerOnXDisplay, ATapClicksAtItsPoint) {
    TestWindow window(displayName_, 0, 0, 1920, 1200);
    ASSERT_TRUE(window.isReady());
    LoopbackClient client(quorvi_->listeningPort());
    ASSERT_TRUE(client.isConnected());
    InputEventMessage tap{.sentAt = 1, .phase = "tap", .x = 0.25, .y = 0.5};
    client.send(*encodeInputEventMessage(tap).value + "\n");
    std::vector<std::tuple<int, unsigned, int, int>> buttons; // type, button, x, y
    for (const SeenEvent& event : TestWindow::buttonsOnly(window.collect(
             [](const auto& seen) { return TestWindow::buttonsOnly(seen).size() >= 2; }))) {
        buttons.emplace_back(event.type, event.button, event.x, event.y);
    }
    EXPECT_EQ(buttons,
              (decltype(buttons){{ButtonPress, 1, 480, 600}, {ButtonRelease, 1, 480, 600}}));
    EXPECT_EQ(server_.pointer(), std::make_pair(480, 600));
}

// Four quadrants and a white marker in the red one, the pointer parked in a
// corner away from every spot looked at; the reference client asks for a
// 390 × 844 viewport, so pictures come 844 px wide and 1200 / 1920 × 844 =
// 527.5 → 528 high. Its last one, saved, shows the painting, and the stream
// it dumped decodes without a word. (The JPEG fallback's real decode is the
// reference client's suite's.)
TEST_F(ServerOnXDisplay, TheClientSeesThePaintedPictureInAStreamFfmpegDecodes) {
    TestWindow window(displayName_, 0, 0, 1920, 1200);
    ASSERT_TRUE(window.isReady());
    window.fill(0, 0, 960, 600, 0xD02020);
    window.fill(960, 0, 960, 600, 0x20B040);
    window.fill(0, 600, 960, 600, 0x2040D0);
    window.fill(960, 600, 960, 600, 0xE0C020);
    window.fill(300, 200, 80, 80, 0xFFFFFF);
    server_.run("xdotool mousemove 1900 1190");
    const auto bin = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    const std::string files = "/tmp/quorvi-e2e-" + std::to_string(::getpid());
    auto running = std::async(std::launch::async, runCommand,
                              "timeout 60 " + (bin / "quorvi-client").string() +
                                  " 127.0.0.1:" + std::to_string(quorvi_->listeningPort()) +
                                  " --viewport 390x844 --frames 30 --save " + files +
                                  ".png --dump " + files + ".h264");
    mainQueue_->drainUntil([&] { return running.wait_for(0s) == std::future_status::ready; }, 90s);
    const auto received = running.get();
    ASSERT_EQ(received.status, 0) << received.output;
    EXPECT_NE(received.output.find("payload=h264 size=844x528"), std::string::npos)
        << received.output;
    EXPECT_EQ(quorvi_->published().streamQuality(), "10 FPS · bonne qualité · sortie 844px");
    const std::string rgb =
        runCommand("ffmpeg -nostdin -v error -i " + files + ".png -f rawvideo -pix_fmt rgb24 -")
            .output;
    ASSERT_EQ(rgb.size(), 844u * 528 * 3);
    // Spots of the screen, scaled by 844 / 1920, with their colour.
    const std::vector<std::array<int, 5>> spots = {
        {700, 450, 0xD0, 0x20, 0x20},  {1440, 300, 0x20, 0xB0, 0x40}, {480, 900, 0x20, 0x40, 0xD0},
        {1440, 900, 0xE0, 0xC0, 0x20}, {340, 240, 0xFF, 0xFF, 0xFF},  {440, 240, 0xD0, 0x20, 0x20},
    };
    for (const auto& spot : spots) {
        const std::size_t at = (spot[1] * 844 / 1920 * 844 + spot[0] * 844 / 1920) * 3;
        for (std::size_t c = 0; c < 3; ++c) {
            EXPECT_NEAR(static_cast<std::uint8_t>(rgb[at + c]), spot[2 + c], 24)
                << spot[0] << "," << spot[1];
        }
    }
    const auto decoded = runCommand("ffmpeg -nostdin -v error -i " + files + ".h264 -f null -");
    EXPECT_EQ(decoded.status, 0);
    EXPECT_EQ(decoded.output, "");
    runCommand("rm -f " + files + ".png " + files + ".h264");
}
