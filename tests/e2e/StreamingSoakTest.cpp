// Twenty seconds of streaming over real TCP on loopback while the client
// reconnects, sends everything it can and the mode keeps changing. Run under
// TSan and ASan in CI: this is where races between the work queue, the main
// queue and the network would show.
#include "fakes/LoopbackClient.h"
#include "fakes/ServerHarness.h"
#include "protocol/JsonCodec.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace quorvi;
using quorvi::testing::LoopbackClient;
using quorvi::testing::ServerHarness;

TEST(StreamingSoak, ReconnectsAndModeChangesKeepEveryStreamWellFormed) {
    ServerHarness harness;
    auto picture = std::make_shared<PixelBuffer>(1920, 1200);
    harness.capture->setBuffer(1, CapturedVideoBuffer{picture, 1920, 1200});
    harness.jpeg->setResult(std::vector<std::uint8_t>(2000, 0x5A));
    const auto port = harness.startAndWaitUntilReady();

    const StreamMode modes[] = {StreamMode::highFrameRate, StreamMode::automatic,
                                StreamMode::economy, StreamMode::fluid, StreamMode::balanced};
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    int sessions = 0;
    std::int64_t framesRead = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        auto client = std::make_unique<LoopbackClient>(port);
        ASSERT_TRUE(client->isConnected());
        ++sessions;
        harness.server->setStreamMode(modes[sessions % 5]);
        client->send(R"({"kind":"viewport","sentAt":1,"phase":"","x":0,"y":0,"dx":0,"dy":0,)"
                     R"("viewportWidth":390,"viewportHeight":844})"
                     "\n");
        std::int64_t expected = 1;
        const auto sessionEnd = std::chrono::steady_clock::now() + 700ms;
        while (std::chrono::steady_clock::now() < sessionEnd) {
            const auto line = client->readLine(2s);
            ASSERT_TRUE(line);
            const auto frame = decodeScreenFrameMessage(*line);
            ASSERT_TRUE(frame.value) << frame.error;
            // Numbered from 1 on each connection, no gaps.
            ASSERT_EQ(frame.value->sequence, expected);
            ++expected;
            ++framesRead;
            client->send(R"({"sentAt":2,"phase":"drag","x":0.5,"y":0.5,"dx":0,"dy":0})"
                         "\n"
                         R"({"kind":"stats","sentAt":2,"phase":"","x":0,"y":0,"dx":0,"dy":0,)"
                         R"("latencyMs":30,"displayedFPS":30})"
                         "\n");
            harness.mainQueue->drain();
        }
        // Every other session ends by replacement, the others politely.
        if (sessions % 2 == 0) {
            client->close();
        }
        harness.mainQueue->drain();
    }
    EXPECT_GT(sessions, 10);
    EXPECT_GT(framesRead, 100);
    std::cout << "sessions " << sessions << ", frames " << framesRead << "\n";
}
