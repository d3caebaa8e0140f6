// Ten seconds of streaming over real TCP on loopback while clients come and
// go, send everything they can and the mode keeps changing. Run under TSan
// and ASan in CI: this is where races between the work queue, the main
// queue and the network would show.
#include "fakes/LoopbackClient.h"
#include "fakes/ServerHarness.h"
#include "protocol/JsonCodec.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace quorvi;
using quorvi::testing::LoopbackClient;
using quorvi::testing::ServerHarness;

TEST(StreamingSoak, ReplacementsAndModeChangesKeepEveryStreamWellFormed) {
    const std::string gestures = R"({"sentAt":2,"phase":"drag","x":0.5,"y":0.5,"dx":0,"dy":0}
{"kind":"stats","sentAt":2,"phase":"","x":0,"y":0,"dx":0,"dy":0,"latencyMs":30,"displayedFPS":30}
)";
    ServerHarness harness;
    harness.capture->setBuffer(
        1, CapturedVideoBuffer{std::make_shared<PixelBuffer>(1920, 1200), 1920, 1200});
    harness.jpeg->setResult(std::vector<std::uint8_t>(2000, 0x5A));
    ASSERT_TRUE(harness.startAndSettle());

    const auto deadline = std::chrono::steady_clock::now() + 10s;
    int sessions = 0, replacements = 0;
    std::unique_ptr<LoopbackClient> previous;
    while (std::chrono::steady_clock::now() < deadline) {
        // Every other session ends politely; the others are replaced while
        // still connected, streaming and sending.
        if (++sessions % 2 == 0) {
            previous.reset();
        } else if (previous) {
            previous->send(gestures + gestures + gestures);
        }
        auto client = std::make_unique<LoopbackClient>(harness.server->listeningPort());
        ASSERT_TRUE(client->isConnected());
        if (previous) {
            EXPECT_TRUE(previous->waitForEndOfStream(5s)); // the server let it go
            ++replacements;
        }
        harness.server->setStreamMode(kAllStreamModes[sessions % kAllStreamModes.size()]);
        client->send(R"({"kind":"viewport","sentAt":1,"phase":"","x":0,"y":0,"dx":0,"dy":0,)"
                     R"("viewportWidth":390,"viewportHeight":844})"
                     "\n" +
                     gestures);
        std::int64_t expected = 1;
        const auto sessionEnd = std::chrono::steady_clock::now() + 500ms;
        while (std::chrono::steady_clock::now() < sessionEnd) {
            const auto line = client->readLine(2s);
            ASSERT_TRUE(line);
            const auto frame = decodeScreenFrameMessage(*line);
            ASSERT_TRUE(frame.value) << frame.error;
            // Numbered from 1 on each connection, no gaps.
            ASSERT_EQ(frame.value->sequence, expected++);
            client->send(gestures);
            harness.mainQueue->drain();
        }
        // A replaced connection's late cancellation is stale: it never
        // shows over the session that replaced it.
        EXPECT_EQ(harness.state().connectionName(), "iPhone connecté");
        previous = std::move(client);
    }
    EXPECT_GT(replacements, 5);
    EXPECT_GT(sessions, 12);
}
