// One client session through a fake connection, so that bytes arrive in
// exactly the chunks a case needs and sends complete when it says: the
// receive path, the frame send loop, display modes and stream settings.
#include "fakes/FakeTransport.h"
#include "fakes/ServerHarness.h"
#include "protocol/JsonCodec.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace quorvi;
using quorvi::testing::FakeConnection;
using quorvi::testing::ServerHarness;
using Lines = std::vector<std::string>;

namespace {

const std::string kScreens = "écrans: #1 1920x1200 @ 0,0";

std::string gesture(const std::string& phase, const std::string& x, const std::string& y) {
    return R"({"sentAt":1,"phase":")" + phase + R"(","x":)" + x + R"(,"y":)" + y +
           R"(,"dx":0,"dy":0})";
}

struct Session : ::testing::Test {
    std::shared_ptr<quorvi::testing::FakeTransport> transport =
        std::make_shared<quorvi::testing::FakeTransport>();
    std::unique_ptr<ServerHarness> harness = std::make_unique<ServerHarness>(0, transport);
    std::shared_ptr<FakeConnection> client;

    void start(const std::function<void(InMemoryUserDefaults&)>& plant = nullptr) {
        harness = std::make_unique<ServerHarness>(0, transport, plant);
        ASSERT_TRUE(harness->startAndSettle());
    }
    void startConnected(bool holdSends = false) {
        start();
        connect(holdSends);
    }
    void connect(bool holdSends = false) {
        client = transport->lastListener()->connectClient(holdSends);
        ASSERT_TRUE(harness->waitForStatus("Connecté"));
    }
    // Each delivery waits for the server's next read: go round the work
    // queue until every one was read, or reading stopped.
    void read(const FakeConnection& connection) {
        for (std::size_t left = SIZE_MAX; connection.undeliveredCount() != left;) {
            left = connection.undeliveredCount();
            harness->server->runOnWorkQueueForTesting([] {});
        }
        harness->settle();
    }
    // The frames sent so far, once there are at least count.
    std::vector<ScreenFrameMessage> frames(std::size_t count) {
        EXPECT_TRUE(
            harness->mainQueue->drainUntil([&] { return client->sentMessages().size() >= count; }));
        std::vector<ScreenFrameMessage> decoded;
        for (const auto& bytes : client->sentMessages()) {
            EXPECT_EQ(bytes.back(), '\n');
            auto frame =
                decodeScreenFrameMessage(std::string_view(bytes).substr(0, bytes.size() - 1));
            EXPECT_TRUE(frame.value) << frame.error;
            decoded.push_back(frame.value.value_or(ScreenFrameMessage{}));
        }
        return decoded;
    }
    void sendViewport(double width, double height) {
        const InputEventMessage message{
            .kind = "viewport", .viewportWidth = width, .viewportHeight = height};
        client->deliver(*encodeInputEventMessage(message).value + "\n");
        read(*client);
    }
    bool waitFor(const std::function<bool()>& condition) {
        return harness->mainQueue->drainUntil(condition);
    }
    PublishedState& state() { return harness->state(); }
    const std::string& journalFront() { return state().logs().front(); }
    std::int64_t inputEvents() { return harness->server->currentSessionStats().inputEvents; }
};

using ReceivePath = Session;
using FrameSendLoop = Session;
using DisplayModes = Session;
using StreamSettings = Session;

} // namespace

TEST_F(ReceivePath, ReadsAtMost64KiBAndCutsLinesWhateverTheChunking) {
    startConnected();
    EXPECT_EQ(client->largestReadRequested(), 65536u);
    // Two lines in one read; percentages truncate toward zero, and what is
    // no number an int64 can hold shows as "?".
    client->deliver(gesture("tap", "0.257", "0.5") + "\n" + gesture("tap", "-0.019", "1e300") +
                    "\n");
    // One line over three reads.
    const auto third = gesture("tap", "9.3e16", "-9.3e16");
    client->deliver(third.substr(0, 7));
    client->deliver(third.substr(7, 20));
    read(*client);
    EXPECT_EQ(inputEvents(), 2);
    client->deliver(third.substr(27) + "\n");
    // Empty lines are nothing; an unreadable line is reported and reading
    // goes on; CR LF ends a line; stats are no gesture.
    client->deliver("\n\n{\"sentAt\":1}\n" + gesture("end", "0.2", "0.2") + "\r\n" +
                    R"({"kind":"stats","sentAt":1,"phase":"","x":0,"y":0,"dx":0,"dy":0,)"
                    R"("latencyMs":40,"displayedFPS":28})"
                    "\n");
    read(*client);

    EXPECT_EQ(inputEvents(), 4);
    EXPECT_FALSE(client->isCancelled());
    const Lines journal(state().logs().begin(), state().logs().begin() + 5);
    EXPECT_EQ(journal[0], "Input end: 20%, 20%");
    EXPECT_EQ(journal[1].rfind("Input illisible: ", 0), 0u) << journal[1];
    EXPECT_EQ(Lines(journal.begin() + 2, journal.end()),
              (Lines{"Input tap: ?%, ?%", "Input tap: -1%, ?%", "Input tap: 25%, 50%"}));
    EXPECT_LT(std::find(harness->statusHistory.begin(), harness->statusHistory.end(), journal[1]),
              harness->statusHistory.end());
}

TEST_F(ReceivePath, ALineOfExactlyEightMebibytesIsReadOneByteMoreClosesTheConnection) {
    startConnected();
    const std::string line = gesture("tap", "0.5", "0.5");
    const std::string padded = line + std::string(8'388'608 - line.size() - 1, ' ') + "\n";
    for (std::size_t offset = 0; offset < padded.size(); offset += 65536) {
        client->deliver(padded.substr(offset, 65536));
    }
    read(*client);
    EXPECT_EQ(inputEvents(), 1);

    for (int i = 0; i < 128; ++i) { // 8,388,608 bytes without a line feed
        client->deliver(std::string(65536, ' '));
    }
    read(*client);
    EXPECT_FALSE(client->isCancelled());
    client->deliver("x");
    read(*client);
    EXPECT_TRUE(client->isCancelled());
    // The closed connection then reports its cancellation.
    ASSERT_TRUE(harness->waitForStatus("Déconnecté"));
    EXPECT_EQ(state().logs().at(1), "Input trop volumineux: connexion fermée");
}

// Bytes the old connection read before it was replaced, handled after the
// newcomer was accepted, belong to nobody; nor does a line it left unfinished.
TEST_F(ReceivePath, BytesOfAReplacedConnectionNeverReachTheNewClient) {
    startConnected();
    client->deliver(R"({"sentAt":1,"pha)");
    read(*client);
    std::shared_ptr<FakeConnection> newcomer;
    harness->server->runOnWorkQueueForTesting([&] {
        newcomer = transport->lastListener()->connectClient();
        client->deliver(gesture("tap", "0.1", "0.1") + "\n");
    });
    newcomer->deliver(gesture("tap", "0.7", "0.7") + "\n");
    read(*newcomer);
    EXPECT_EQ(inputEvents(), 1);
    EXPECT_EQ(journalFront(), "Input tap: 70%, 70%");
    EXPECT_FALSE(harness->journalHas("Input illisible"));
}

// Ticks that fall while a frame is in flight are skipped, not queued, and
// use up no number; a failed send is reported and the next tick tries
// again. The ticks run on the real steady clock and a skipped tick leaves
// no trace, so the test lets three periods pass.
TEST_F(FrameSendLoop, FramesAreNumberedFromOneWithOneInFlight) {
    start([](InMemoryUserDefaults& store) {
        store.setString("quorviMac.streamMode", "highFrameRate");
    });
    harness->capture->setBuffer(
        1, CapturedVideoBuffer{std::make_shared<PixelBuffer>(1920, 1200), 1920, 1200});
    connect(true);
    const auto first = frames(1).front();
    EXPECT_EQ(first.sequence, 1);
    EXPECT_EQ(first.title, "Miroir Mac");
    EXPECT_EQ(first.imageMimeType, "image/jpeg");
    EXPECT_EQ(harness->capture->prepared().front().displayID, 1u);
    EXPECT_EQ(harness->capture->prepared().front().settings.fps, 30);

    const auto due = std::chrono::steady_clock::now() + 3 * *harness->server->sendTimerPeriod();
    waitFor([&] { return std::chrono::steady_clock::now() >= due; });
    EXPECT_EQ(client->sentMessages().size(), 1u);
    client->completeHeldSends(NetworkError{"Connexion rompue"});
    ASSERT_TRUE(harness->waitForStatus("Envoi échoué: Connexion rompue"));
    EXPECT_EQ(frames(2)[1].sequence, 2);
    client->holdSends(false);
    client->completeHeldSends();
    EXPECT_EQ(frames(3)[2].sequence, 3);
    EXPECT_TRUE(waitFor([&] { return state().sentFrames() >= 2; }));
}

// A newcomer's frames count from 1 again; the replaced client's late
// completion changes nothing.
TEST_F(FrameSendLoop, ACompletionForAReplacedClientChangesNothing) {
    startConnected(true);
    frames(1);
    client->completeHeldSends();
    ASSERT_TRUE(waitFor([&] { return state().sentFrames() == 1; }));
    auto first = std::exchange(client, transport->lastListener()->connectClient(true));
    EXPECT_EQ(frames(1).front().sequence, 1);
    harness->settle();
    EXPECT_EQ(state().sentFrames(), 0);
    first->completeHeldSends();
    harness->settle();
    EXPECT_EQ(state().sentFrames(), 0);
    client->completeHeldSends();
    EXPECT_TRUE(waitFor([&] { return state().sentFrames() == 1; }));
}

TEST_F(FrameSendLoop, WithoutTheGrantFramesExplainWhyAndCarryNoPicture) {
    start();
    harness->grants->setScreenRecording(false);
    connect();
    const std::string reason = "Screen Recording non reconnu · relance requise après autorisation";
    EXPECT_EQ(frames(1).front().subtitle, reason);
    for (const char* key : {"image", "video", "isKeyFrame", "null"}) {
        EXPECT_EQ(client->sentMessages().front().find(key), std::string::npos) << key;
    }
    ASSERT_TRUE(harness->waitForStatus("Capture en attente: " + reason));
    EXPECT_FALSE(harness->journalHas("Capture en attente: "));
    // The grant arrives: the first frame with a picture brings "Connecté"
    // back, and a permission line that said the screen was missing is fixed.
    harness->capture->setBuffer(1,
                                CapturedVideoBuffer{std::make_shared<PixelBuffer>(64, 64), 64, 64});
    state().setPermissionSummary("Screen manquant · Accessibility manquant");
    harness->grants->setAccessibility(false);
    harness->grants->setScreenRecording(true);
    ASSERT_TRUE(harness->waitForStatus("Connecté"));
    EXPECT_TRUE(waitFor(
        [&] { return state().permissionSummary() == "Screen OK · Accessibility manquant"; }));
}

// Every newcomer starts on a key frame; the timer follows the mode and
// stops with the client, and a stop stops the capture.
TEST_F(FrameSendLoop, TheTimerFollowsTheModeAndTheClient) {
    start();
    const auto keyFrames = harness->video->forcedKeyFrames();
    connect();
    harness->server->setStreamMode(StreamMode::economy);
    harness->settle();
    EXPECT_EQ(harness->server->sendTimerPeriod(), 200ms);
    connect();
    EXPECT_TRUE(waitFor([&] { return harness->video->forcedKeyFrames() == keyFrames + 2; }));
    client->cancel();
    ASSERT_TRUE(harness->waitForStatus("Déconnecté"));
    EXPECT_FALSE(harness->server->sendTimerPeriod());
    const auto stops = harness->capture->stopCount();
    harness->server->stop();
    EXPECT_EQ(harness->capture->stopCount(), stops + 1);
}

// A stored extended mode is entered once the listener is up (a stored size
// of 0 × 500 is ignored), never while it failed.
TEST_F(DisplayModes, ModesSwitchFromTheStoreTheServerAndOtherProcesses) {
    transport->failNextListener("Adresse déjà utilisée");
    harness = std::make_unique<ServerHarness>(0, transport, [](InMemoryUserDefaults& store) {
        store.setString("quorviMac.displayMode", "extended");
        store.setRaw("quorviMac.extendedWidth", "0");
        store.setRaw("quorviMac.extendedHeight", "500");
    });
    harness->server->start();
    ASSERT_TRUE(harness->waitForStatus("Erreur serveur: Adresse déjà utilisée"));
    harness->settle();
    EXPECT_EQ(state().displayMode(), "Étendu prêt");
    EXPECT_TRUE(harness->virtualDisplays->creations().empty());
    ASSERT_TRUE(harness->startAndSettle());
    harness->settle();
    EXPECT_EQ(state().displayMode(), "Étendu actif");
    EXPECT_EQ(state().displayModeDetail(), "Display #100 · 1400x646");
    EXPECT_TRUE(harness->journalHas("Mode étendu restauré: #100 · " + kScreens));

    harness->server->useExtendedMode(); // the same size while online: kept
    harness->settle();
    EXPECT_EQ(journalFront(),
              "Écran virtuel créé: #100 · " + kScreens + " · #100 1400x646 @ 1920,0");
    EXPECT_EQ(harness->virtualDisplays->creations().size(), 1u);
    harness->notifications->postNotification("brenholt.quorvi.mac.useMirrorMode");
    ASSERT_TRUE(waitFor([&] { return state().displayMode() == "Miroir actif"; }));
    EXPECT_EQ(journalFront(), "Mode miroir activé · " + kScreens);
    EXPECT_EQ(harness->virtualDisplays->liveCount(), 0);
    EXPECT_EQ(harness->userDefaults->string("quorviMac.displayMode"), "mirror");
    harness->notifications->postNotification("brenholt.quorvi.mac.refreshDisplays");
    ASSERT_TRUE(waitFor([&] { return journalFront() == "Écrans online: #1 1920x1200 @ 0,0"; }));
}

TEST_F(DisplayModes, FramesComeFromTheVirtualDisplayUntilItIsLost) {
    start();
    harness->server->useExtendedMode();
    harness->settle();
    connect();
    EXPECT_EQ(frames(1).back().title, "Écran étendu");
    EXPECT_EQ(harness->capture->prepared().back().displayID, 100u);
    // The display goes away behind our back: the next frame notices, and
    // the choice stays extended for the next start.
    harness->displays->removeDisplay(100);
    ASSERT_TRUE(waitFor([&] { return state().displayMode() == "Étendu perdu"; }));
    EXPECT_EQ(state().displayModeDetail(), "macOS a retiré le display virtuel");
    ASSERT_TRUE(
        waitFor([&] { return harness->journalHas("Étendu perdu · retour miroir · " + kScreens); }));
    EXPECT_EQ(frames(client->sentMessages().size() + 2).back().title, "Miroir Mac");
    EXPECT_EQ(harness->capture->prepared().back().displayID, 1u);
    EXPECT_EQ(harness->userDefaults->string("quorviMac.displayMode"), "extended");

    harness->virtualDisplays->failWith(VirtualDisplayCreation::Failure::creationFailed, "sortie");
    harness->server->useExtendedMode();
    harness->settle();
    EXPECT_EQ(state().displayMode(), "Étendu échoué");
    EXPECT_EQ(state().displayModeDetail(), "Création écran virtuel échouée");
    EXPECT_EQ(journalFront(),
              "Écran virtuel échoué: Création écran virtuel échouée (sortie) · " + kScreens);
}

// A quarter of the viewport's pixels, within 360 × 180 to 1600 × 1000
// points, rounded up to even; the floor comes before the even rule.
TEST_F(DisplayModes, TheViewportSizesTheVirtualDisplay) {
    startConnected();
    const struct {
        double width, height, points[2];
    } rows[] = {{800, 600, {360, 180}},   {8000, 6000, {1600, 1000}}, {1442, 722, {362, 182}},
                {1179, 2556, {360, 640}}, {1500, 2556, {376, 640}},   {0, 500, {376, 640}},
                {-5, 500, {376, 640}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.width) + "x" + std::to_string(row.height));
        sendViewport(row.width, row.height);
        EXPECT_EQ(harness->userDefaults->number("quorviMac.extendedWidth"), row.points[0]);
        EXPECT_EQ(harness->userDefaults->number("quorviMac.extendedHeight"), row.points[1]);
    }
    // In mirror mode nothing is made and nothing journaled.
    EXPECT_TRUE(harness->virtualDisplays->creations().empty());
    EXPECT_FALSE(harness->journalHas("Écran adapté"));
    // In extended mode a new viewport makes a new display; less than 2
    // points away on both sides only refreshes the quality.
    harness->server->useExtendedMode();
    sendViewport(1179, 2556);
    EXPECT_EQ(state().displayModeDetail(), "Display #101 · 720x1280");
    EXPECT_EQ(journalFront(), "Écran adapté iPhone/iPad: display 720x1280 · stream 1920px");
    EXPECT_EQ(state().streamQuality(), "10 FPS · bonne qualité · sortie 1920px");
    const auto journalSize = state().logs().size();
    sendViewport(1180, 2558);
    EXPECT_EQ(harness->virtualDisplays->creations().size(), 2u);
    EXPECT_EQ(state().logs().size(), journalSize);
}

// Choosing a mode stores it and journals it, even the same one again;
// choosing automatic always starts at level 2.
TEST_F(StreamSettings, AChoiceIsStoredAndJournaled) {
    harness->userDefaults->setInteger("quorviMac.autoLevel", 3);
    harness->server->setStreamMode(StreamMode::fluid);
    harness->server->setStreamMode(StreamMode::fluid);
    harness->server->setStreamMode(StreamMode::automatic);
    ASSERT_TRUE(waitFor([&] { return state().logs().size() == 3; }));
    EXPECT_EQ(state().logs(), (Lines{"Mode flux: Auto · Auto haut · 15 FPS",
                                     "Mode flux: Fluide · 15 FPS · qualité fluide",
                                     "Mode flux: Fluide · 15 FPS · qualité fluide"}));
    EXPECT_EQ(state().streamMode(), StreamMode::automatic);
    EXPECT_EQ(harness->userDefaults->string("quorviMac.streamMode"), "auto");
    EXPECT_EQ(harness->userDefaults->integer("quorviMac.autoLevel"), 2);
}

// Read when the server is made; a stored extended mode is shown, not
// entered, before a start.
TEST_F(StreamSettings, AreReadAtConstruction) {
    const struct {
        std::string mode, level, displayMode, quality, shownMode;
    } rows[] = {
        {"economy", "", "extended", "5 FPS · économie réseau", "Étendu prêt"},
        {"auto", "0", "Extended", "Auto bas · 5 FPS", "Miroir actif"},
        {"auto", "7", "", "Auto maximal · 30 FPS", "Miroir actif"},
        {"auto", "-2", "", "Auto bas · 5 FPS", "Miroir actif"},
        {"auto", "1.5", "", "Auto haut · 15 FPS", "Miroir actif"},
        {"auto", "trois", "", "Auto haut · 15 FPS", "Miroir actif"},
        {"Fluid", "", "", "10 FPS · bonne qualité", "Miroir actif"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mode + " " + row.level);
        harness = std::make_unique<ServerHarness>(0, transport, [&](InMemoryUserDefaults& store) {
            store.setRaw("quorviMac.streamMode", row.mode);
            store.setRaw("quorviMac.autoLevel", row.level);
            store.setString("quorviMac.displayMode", row.displayMode);
        });
        EXPECT_EQ(state().streamQuality(), row.quality);
        EXPECT_EQ(state().displayMode(), row.shownMode);
    }
}
