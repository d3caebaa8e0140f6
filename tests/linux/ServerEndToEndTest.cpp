// The whole server on a real X display, reached by a real TCP client:
// gestures move the real pointer, and the picture the client decodes is the
// one on the screen.
#include "capture/VideoFrameEncoder.h"
#include "fakes/DrainableMainQueue.h"
#include "fakes/LoopbackClient.h"
#include "linux/TestDisplay.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "platform/linux/LinuxPlatform.h"
#include "protocol/Base64.h"
#include "protocol/JsonCodec.h"
#include "server/QuorviServer.h"

#include <cstdlib>
#include <turbojpeg.h>
#include <unistd.h>
// Xlib's None and Bool are macros, and Google Test uses both names.
#undef None
#undef Bool

#include <gtest/gtest.h>

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

struct DecodedPicture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;

    // Mean colour of a square around (x, y).
    std::array<int, 3> colourAt(int x, int y, int radius = 6) const {
        long sum[3] = {0, 0, 0};
        int count = 0;
        for (int py = y - radius; py <= y + radius; ++py) {
            for (int px = x - radius; px <= x + radius; ++px) {
                const auto* pixel = &rgb[(static_cast<std::size_t>(py) * width + px) * 3];
                for (int c = 0; c < 3; ++c) {
                    sum[c] += pixel[c];
                }
                ++count;
            }
        }
        return {static_cast<int>(sum[0] / count), static_cast<int>(sum[1] / count),
                static_cast<int>(sum[2] / count)};
    }
};

std::optional<DecodedPicture> decodeJpeg(const std::vector<std::uint8_t>& jpeg) {
    tjhandle handle = tjInitDecompress();
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colourspace = 0;
    DecodedPicture picture;
    if (tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &width, &height, &subsampling,
                            &colourspace) != 0) {
        tjDestroy(handle);
        return std::nullopt;
    }
    picture.width = width;
    picture.height = height;
    picture.rgb.resize(static_cast<std::size_t>(width) * height * 3);
    const int result = tjDecompress2(handle, jpeg.data(), jpeg.size(), picture.rgb.data(), width, 0,
                                     height, TJPF_RGB, 0);
    tjDestroy(handle);
    if (result != 0) {
        return std::nullopt;
    }
    return picture;
}

bool near(std::array<int, 3> colour, std::array<int, 3> expected, int tolerance = 24) {
    for (int c = 0; c < 3; ++c) {
        if (std::abs(colour[c] - expected[c]) > tolerance) {
            return false;
        }
    }
    return true;
}

class ServerOnXDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "Xorg with the dummy driver needs root: not run";
        }
        if (const auto failure = display_.start(); !failure.empty()) {
            GTEST_SKIP() << "Xorg with the dummy driver did not start: " << failure;
        }
        ::setenv("DISPLAY", display_.name().c_str(), 1);
        auto platform = makeLinuxPlatform(
            mainQueue_, std::make_shared<InMemoryNotificationCenter>(mainQueue_), "127.0.0.1");
        auto defaults = std::make_shared<InMemoryUserDefaults>();
        defaults->setString("quorviMac.streamMode", "balanced");
        platform.userDefaults = defaults;
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

    std::unique_ptr<LoopbackClient> connect() {
        auto client = std::make_unique<LoopbackClient>(server_->listeningPort());
        EXPECT_TRUE(client->isConnected());
        return client;
    }

    // Reads frames until one carries a picture (the stream starts in the
    // background), returns the frames read.
    std::vector<ScreenFrameMessage> readFrames(LoopbackClient& client, std::size_t count) {
        std::vector<ScreenFrameMessage> frames;
        while (frames.size() < count) {
            const auto line = client.readLine(5s);
            if (!line) {
                break;
            }
            auto frame = decodeScreenFrameMessage(*line);
            EXPECT_TRUE(frame.value) << frame.error;
            if (frame.value) {
                frames.push_back(std::move(*frame.value));
            }
            mainQueue_->drain();
        }
        return frames;
    }

    virtual bool usesVideo() const { return false; }

    TestDisplay display_{kDisplayNumber};
    std::shared_ptr<DrainableMainQueue> mainQueue_ = std::make_shared<DrainableMainQueue>();
    std::shared_ptr<QuorviServer> server_;
};

} // namespace

TEST_F(ServerOnXDisplay, ATapMovesTheRealPointerAndClicksThere) {
    TestWindow window(display_.name(), 0, 0, 1920, 1200);
    ASSERT_TRUE(window.isReady());
    auto client = connect();
    ASSERT_TRUE(client->send(gestureLine("tap", 0.25, 0.5)));
    const auto events = window.collect([](const std::vector<SeenEvent>& seen) {
        return TestWindow::buttonsOnly(seen).size() >= 2;
    });
    EXPECT_EQ(display_.pointer(), std::make_pair(480, 600));
    const auto buttons = TestWindow::buttonsOnly(events);
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[0].type, ButtonPress);
    EXPECT_EQ(buttons[0].button, 1u);
    EXPECT_EQ(buttons[0].x, 480);
    EXPECT_EQ(buttons[0].y, 600);
    EXPECT_EQ(buttons[1].type, ButtonRelease);
    EXPECT_EQ(buttons[1].button, 1u);
    EXPECT_TRUE(mainQueue_->drainUntil([&] {
        const auto& logs = server_->published().logs();
        return std::find(logs.begin(), logs.end(), "Input tap: 25%, 50%") != logs.end();
    }));
}

TEST_F(ServerOnXDisplay, ADragHoldsTheButtonWhileItMoves) {
    TestWindow window(display_.name(), 0, 0, 1920, 1200);
    ASSERT_TRUE(window.isReady());
    auto client = connect();
    client->send(gestureLine("start", 0.1, 0.1) + gestureLine("drag", 0.2, 0.1) +
                 gestureLine("drag", 0.3, 0.2) + gestureLine("drag", 0.4, 0.3) +
                 gestureLine("end", 0.4, 0.3));
    const auto events = window.collect([](const std::vector<SeenEvent>& seen) {
        return TestWindow::buttonsOnly(seen).size() >= 2;
    });
    const auto buttons = TestWindow::buttonsOnly(events);
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[0].type, ButtonPress);
    EXPECT_EQ(buttons[1].type, ButtonRelease);
    EXPECT_EQ(buttons[1].x, 768);
    EXPECT_EQ(buttons[1].y, 360);
    // Between press and release the pointer moved with button 1 held.
    bool isBetween = false;
    int heldMotions = 0;
    for (const auto& event : events) {
        if (event.type == ButtonPress) {
            isBetween = true;
        } else if (event.type == ButtonRelease) {
            isBetween = false;
        } else if (isBetween && event.type == MotionNotify && event.isButton1Held) {
            ++heldMotions;
        }
    }
    EXPECT_GE(heldMotions, 3);
}

TEST_F(ServerOnXDisplay, AScrollTurnsTheWheelAndAnUnknownPhaseOnlyMoves) {
    TestWindow window(display_.name(), 0, 0, 1920, 1200);
    ASSERT_TRUE(window.isReady());
    auto client = connect();
    // dy 0.1 is 120 pixels towards the content below: wheel down (button 5).
    client->send(gestureLine("scroll", 0.5, 0.5, 0, 0.1));
    auto events = window.collect([](const std::vector<SeenEvent>& seen) {
        return TestWindow::buttonsOnly(seen).size() >= 6;
    });
    auto buttons = TestWindow::buttonsOnly(events);
    ASSERT_FALSE(buttons.empty());
    for (const auto& event : buttons) {
        EXPECT_EQ(event.button, 5u);
    }
    EXPECT_EQ(buttons.size() % 2, 0u); // each click a press and a release

    client->send(gestureLine("hover", 0.75, 0.25));
    events = window.collect([](const std::vector<SeenEvent>& seen) {
        return !seen.empty() && seen.back().x == 1440 && seen.back().y == 300;
    });
    EXPECT_TRUE(TestWindow::buttonsOnly(events).empty());
    EXPECT_EQ(display_.pointer(), std::make_pair(1440, 300));
}

TEST_F(ServerOnXDisplay, TheClientSeesThePaintedPicture) {
    TestWindow window(display_.name(), 0, 0, 1920, 1200);
    ASSERT_TRUE(window.isReady());
    // Four quadrants and a white marker in the red one; the pointer parked
    // in a corner, away from every spot the test looks at.
    window.fill(0, 0, 960, 600, 0xD02020);
    window.fill(960, 0, 960, 600, 0x20B040);
    window.fill(0, 600, 960, 600, 0x2040D0);
    window.fill(960, 600, 960, 600, 0xE0C020);
    window.fill(300, 200, 80, 80, 0xFFFFFF);
    display_.run("xdotool mousemove 1900 1190");

    auto client = connect();
    auto frames = readFrames(*client, 14);
    ASSERT_EQ(frames.size(), 14u);
    std::vector<DecodedPicture> pictures;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].sequence, static_cast<std::int64_t>(i + 1));
        if (!frames[i].imageBase64) {
            continue; // the stream was still starting
        }
        EXPECT_EQ(frames[i].imageMimeType, "image/jpeg");
        EXPECT_EQ(frames[i].width, 1920);
        EXPECT_EQ(frames[i].height, 1200);
        const auto bytes = decodeBase64(*frames[i].imageBase64);
        ASSERT_TRUE(bytes);
        auto picture = decodeJpeg(*bytes);
        ASSERT_TRUE(picture);
        pictures.push_back(std::move(*picture));
    }
    ASSERT_GE(pictures.size(), 10u);
    const auto& last = pictures.back();
    EXPECT_EQ(last.width, 1920);
    EXPECT_EQ(last.height, 1200);
    EXPECT_TRUE(near(last.colourAt(700, 450), {0xD0, 0x20, 0x20}));
    EXPECT_TRUE(near(last.colourAt(1440, 300), {0x20, 0xB0, 0x40}));
    EXPECT_TRUE(near(last.colourAt(480, 900), {0x20, 0x40, 0xD0}));
    EXPECT_TRUE(near(last.colourAt(1440, 900), {0xE0, 0xC0, 0x20}));
    EXPECT_TRUE(near(last.colourAt(340, 240), {0xFF, 0xFF, 0xFF}));
    EXPECT_TRUE(near(last.colourAt(420, 240), {0xD0, 0x20, 0x20}));
}

TEST_F(ServerOnXDisplay, TheOutputFollowsTheClientViewport) {
    auto client = connect();
    InputEventMessage viewport;
    viewport.kind = "viewport";
    viewport.viewportWidth = 390;
    viewport.viewportHeight = 844;
    client->send(*encodeInputEventMessage(viewport).value + "\n");
    // 844 px is the longer side: the picture is 844 wide, the height in
    // proportion (1200 / 1920 × 844 = 527.5 → 528).
    bool sawScaled = false;
    for (int i = 0; i < 40 && !sawScaled; ++i) {
        const auto frames = readFrames(*client, 1);
        ASSERT_EQ(frames.size(), 1u);
        const bool hasPicture = frames[0].imageBase64 || frames[0].videoBase64;
        sawScaled = hasPicture && frames[0].width == 844 && frames[0].height == 528;
    }
    EXPECT_TRUE(sawScaled);
    EXPECT_TRUE(mainQueue_->drainUntil([&] {
        return server_->published().streamQuality() == "10 FPS · bonne qualité · sortie 844px";
    }));
}

namespace {

class VideoServerOnXDisplay : public ServerOnXDisplay {
protected:
    bool usesVideo() const override { return true; }
};

} // namespace

// The real encoder behind the real server, checked by real peers: the
// reference client dumps the access units, ffmpeg decodes them without a
// word and ffprobe counts them.
TEST_F(VideoServerOnXDisplay, TheClientReceivesAStreamThatFfmpegDecodes) {
    display_.run("xdotool mousemove 100 100");
    const std::string dump = "/tmp/quorvi-e2e-" + std::to_string(::getpid()) + ".h264";
    const auto bin = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    if (!std::filesystem::exists(bin / "quorvi-client")) {
        GTEST_SKIP() << "quorvi-client is not built next to the tests";
    }
    const auto received = runCommand("timeout 60 " + (bin / "quorvi-client").string() +
                                     " 127.0.0.1:" + std::to_string(server_->listeningPort()) +
                                     " --frames 60 --dump " + dump);
    ASSERT_EQ(received.status, 0) << received.output;
    EXPECT_NE(received.output.find("payload=h264"), std::string::npos) << received.output;
    const auto decoded = runCommand("ffmpeg -v error -i " + dump + " -f null -");
    EXPECT_EQ(decoded.status, 0);
    EXPECT_EQ(decoded.output, "");
    const auto counted = runCommand("ffprobe -v error -count_frames -select_streams v:0 "
                                    "-show_entries stream=nb_read_frames -of csv=p=0 " +
                                    dump);
    // Frames sent while the capture was starting carry no picture.
    EXPECT_GE(std::atoi(counted.output.c_str()), 55) << counted.output;
    std::filesystem::remove(dump);
}
