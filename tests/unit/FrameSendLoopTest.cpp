// The frame send loop through a fake connection: numbering, one frame in
// flight, completions, and what the status says about missing pictures.
#include "fakes/FakeTransport.h"
#include "fakes/ServerHarness.h"
#include "protocol/JsonCodec.h"

#include <cmath>
#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;
using namespace quorvi;
using quorvi::testing::FakeConnection;
using quorvi::testing::FakeTransport;
using quorvi::testing::ServerHarness;

namespace {

struct FrameSendLoop : ::testing::Test {
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    ServerHarness harness{0, transport, [](InMemoryUserDefaults& store) {
                              store.setString("quorviMac.streamMode", "highFrameRate");
                          }};

    void SetUp() override { ASSERT_TRUE(harness.startAndSettle()); }

    std::shared_ptr<FakeConnection> connect(bool holdSends = false) {
        auto client = transport->lastListener()->connectClient(holdSends);
        EXPECT_TRUE(harness.waitForStatus("Connecté"));
        return client;
    }

    std::vector<ScreenFrameMessage> frames(const FakeConnection& client) {
        std::vector<ScreenFrameMessage> decoded;
        for (const auto& bytes : client.sentMessages()) {
            EXPECT_EQ(bytes.back(), '\n');
            auto frame =
                decodeScreenFrameMessage(std::string_view(bytes).substr(0, bytes.size() - 1));
            EXPECT_TRUE(frame.value) << frame.error;
            if (frame.value) {
                decoded.push_back(*frame.value);
            }
        }
        return decoded;
    }

    bool waitForFrames(const FakeConnection& client, std::size_t count) {
        return harness.mainQueue->drainUntil([&] { return client.sentMessages().size() >= count; },
                                             5s);
    }

    void givePicture() {
        auto picture = std::make_shared<PixelBuffer>(1920, 1200);
        harness.capture->setBuffer(1, CapturedVideoBuffer{picture, 1920, 1200});
        harness.jpeg->setResult(std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xD9});
    }
};

} // namespace

TEST_F(FrameSendLoop, FramesAreNumberedFromOneAndCarryTheMirrorTitle) {
    givePicture();
    auto client = connect();
    ASSERT_TRUE(waitForFrames(*client, 3));
    const auto sent = frames(*client);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].sequence, static_cast<std::int64_t>(i + 1));
        EXPECT_EQ(sent[i].kind, "frame");
        EXPECT_EQ(sent[i].title, "Miroir Mac");
        EXPECT_EQ(sent[i].subtitle, "Mode miroir actif");
        EXPECT_TRUE(sent[i].windows.empty());
        EXPECT_EQ(sent[i].imageMimeType, "image/jpeg");
        EXPECT_TRUE(sent[i].imageBase64);
    }
    // The capture was asked for the main display at the preset's rate.
    const auto prepared = harness.capture->prepared();
    ASSERT_FALSE(prepared.empty());
    EXPECT_EQ(prepared.front().displayID, 1u);
    EXPECT_EQ(prepared.front().settings.fps, 30);
    EXPECT_TRUE(harness.mainQueue->drainUntil([&] { return harness.state().sentFrames() >= 3; }));
}

TEST_F(FrameSendLoop, ASlowSendSkipsTicksWithoutLeavingAGap) {
    givePicture();
    auto client = connect(true);
    ASSERT_TRUE(waitForFrames(*client, 1));
    // Two to three periods of 33 ms pass while the first frame is in flight.
    std::this_thread::sleep_for(85ms);
    harness.server->runOnWorkQueueForTesting([] {});
    EXPECT_EQ(client->sentMessages().size(), 1u);
    client->holdSends(false);
    client->completeHeldSends();
    ASSERT_TRUE(waitForFrames(*client, 2));
    const auto sent = frames(*client);
    EXPECT_EQ(sent[0].sequence, 1);
    EXPECT_EQ(sent[1].sequence, 2);
}

TEST_F(FrameSendLoop, ACompletionForAReplacedClientChangesNothing) {
    givePicture();
    auto first = connect(true);
    ASSERT_TRUE(waitForFrames(*first, 1));
    auto second = transport->lastListener()->connectClient(true);
    ASSERT_TRUE(waitForFrames(*second, 1));
    harness.mainQueue->drain();
    EXPECT_EQ(harness.state().sentFrames(), 0);

    first->completeHeldSends(); // the old client's frame 1 finally leaves
    harness.server->runOnWorkQueueForTesting([] {});
    harness.server->runOnWorkQueueForTesting([] {});
    harness.mainQueue->drainFor(60ms);
    EXPECT_EQ(harness.state().sentFrames(), 0);
    // The new client's frame is still the one in flight: nothing more left.
    EXPECT_EQ(second->sentMessages().size(), 1u);
    EXPECT_EQ(frames(*second).front().sequence, 1);

    second->holdSends(false);
    second->completeHeldSends();
    EXPECT_TRUE(harness.mainQueue->drainUntil([&] { return harness.state().sentFrames() >= 1; }));
}

TEST_F(FrameSendLoop, WithoutTheGrantFramesExplainWhyAndCarryNoPicture) {
    givePicture();
    harness.grants->setScreenRecording(false);
    auto client = connect();
    ASSERT_TRUE(waitForFrames(*client, 2));
    const std::string reason = "Screen Recording non reconnu · relance requise après autorisation";
    const auto bytes = client->sentMessages().front();
    for (const char* key :
         {"imageBase64", "imageMimeType", "videoBase64", "videoCodec", "isKeyFrame", "null"}) {
        EXPECT_EQ(bytes.find(key), std::string::npos) << key;
    }
    EXPECT_EQ(frames(*client).front().subtitle, reason);
    ASSERT_TRUE(harness.waitForStatus("Capture en attente: " + reason));
    EXPECT_NE(harness.state().logs().front(), "Capture en attente: " + reason);

    // The grant arrives: the first frame with a picture brings "Connecté"
    // back, and a permission line that said the screen was missing is fixed.
    harness.state().setPermissionSummary("Screen manquant · Accessibility manquant");
    harness.grants->setAccessibility(false);
    harness.grants->setScreenRecording(true);
    ASSERT_TRUE(harness.waitForStatus("Connecté"));
    EXPECT_TRUE(harness.mainQueue->drainUntil([&] {
        return harness.state().permissionSummary() == "Screen OK · Accessibility manquant";
    }));
}

TEST_F(FrameSendLoop, AFrameThatCannotBeEncodedIsReportedAndItsNumberConsumed) {
    givePicture();
    harness.clock->set(std::nan("")); // the frame's sentAt cannot be written
    auto client = connect();
    ASSERT_TRUE(harness.waitForStatusPrefix("Encodage frame échoué: "));
    EXPECT_EQ(harness.state().logs().front().rfind("Encodage frame échoué: ", 0), 0u);
    EXPECT_TRUE(client->sentMessages().empty());
    harness.clock->set(1'700'000'000.0);
    ASSERT_TRUE(waitForFrames(*client, 1));
    EXPECT_GT(frames(*client).front().sequence, 1);
}

TEST_F(FrameSendLoop, AFailedSendIsReportedAndTheNextTickTriesAgain) {
    givePicture();
    auto client = connect(true);
    ASSERT_TRUE(waitForFrames(*client, 1));
    client->holdSends(false);
    client->completeHeldSends(NetworkError{"Connexion rompue"});
    ASSERT_TRUE(harness.waitForStatus("Envoi échoué: Connexion rompue"));
    ASSERT_TRUE(waitForFrames(*client, 2));
}

TEST_F(FrameSendLoop, AModeChangeWhileConnectedRestartsTheTimerAtTheNewRate) {
    auto client = connect();
    EXPECT_EQ(harness.server->sendTimerPeriod(), 33ms);
    harness.server->setStreamMode(StreamMode::economy);
    harness.server->runOnWorkQueueForTesting([] {});
    EXPECT_EQ(harness.server->sendTimerPeriod(), 200ms);
}

TEST_F(FrameSendLoop, ADisconnectStopsTheTicksAndStopStopsTheCapture) {
    auto client = connect();
    ASSERT_TRUE(waitForFrames(*client, 1));
    client->cancel();
    ASSERT_TRUE(harness.waitForStatus("Déconnecté"));
    EXPECT_FALSE(harness.server->sendTimerPeriod());
    const auto stops = harness.capture->stopCount();
    harness.server->stop();
    EXPECT_EQ(harness.capture->stopCount(), stops + 1);
}

TEST_F(FrameSendLoop, EveryNewClientStartsOnAKeyFrame) {
    const auto before = harness.video->forcedKeyFrames();
    auto first = connect();
    EXPECT_EQ(harness.video->forcedKeyFrames(), before + 1);
    auto second = transport->lastListener()->connectClient();
    EXPECT_TRUE(harness.mainQueue->drainUntil(
        [&] { return harness.video->forcedKeyFrames() == before + 2; }));
}
