// Mirror and extended modes through the server, over a fake virtual
// display backend: texts, journal lines, stored settings, the viewport.
#include "fakes/FakeTransport.h"
#include "fakes/ServerHarness.h"
#include "protocol/JsonCodec.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace quorvi;
using quorvi::testing::FakeConnection;
using quorvi::testing::FakeTransport;
using quorvi::testing::ServerHarness;

namespace {

std::string viewportLine(double width, double height) {
    InputEventMessage message;
    message.kind = "viewport";
    message.viewportWidth = width;
    message.viewportHeight = height;
    return *encodeInputEventMessage(message).value + "\n";
}

struct DisplayModes : ::testing::Test {
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    std::unique_ptr<ServerHarness> harness;
    std::shared_ptr<FakeConnection> client;

    void startServer(const std::function<void(InMemoryUserDefaults&)>& plant = nullptr,
                     const std::string& expectedStatus = "Prêt: iPhone peut détecter ce Mac") {
        harness = std::make_unique<ServerHarness>(0, transport, plant);
        harness->server->start();
        ASSERT_TRUE(harness->waitForStatusPrefix(expectedStatus));
        ASSERT_TRUE(harness->waitForVisibilityProbe());
        settle();
    }

    bool journalHas(const std::string& prefix) {
        return harness->journalHasLineStartingWith(prefix);
    }

    void connect() {
        client = transport->lastListener()->connectClient();
        ASSERT_TRUE(harness->waitForStatus("Connecté"));
    }

    void settle() {
        for (int i = 0; i < 3; ++i) {
            harness->server->runOnWorkQueueForTesting([] {});
        }
        harness->mainQueue->drain();
    }

    void sendViewport(double width, double height) {
        client->deliver(viewportLine(width, height));
        settle();
    }

    PublishedState& state() { return harness->state(); }
    std::string journalFront() { return state().logs().empty() ? "" : state().logs().front(); }
    std::string mainScreen() { return "#1 1920x1200 @ 0,0"; }
};

} // namespace

TEST_F(DisplayModes, StartingInMirrorModeRestoresMirrorQuietly) {
    startServer();
    EXPECT_EQ(state().displayMode(), "Miroir actif");
    EXPECT_TRUE(journalHas("Mode miroir restauré"));
    EXPECT_EQ(harness->virtualDisplays->creations().size(), 0u);
}

TEST_F(DisplayModes, ExtendedModeCreatesTheDisplayAndPersistsTheChoice) {
    startServer();
    harness->server->useExtendedMode();
    settle();
    EXPECT_EQ(state().displayMode(), "Étendu actif");
    EXPECT_EQ(state().displayModeDetail(), "Display #100 · 1400x646");
    EXPECT_EQ(journalFront(),
              "Écran virtuel créé: #100 · écrans: " + mainScreen() + " · #100 1400x646 @ 1920,0");
    EXPECT_EQ(harness->userDefaults->string("quorviMac.displayMode"), "extended");
    ASSERT_EQ(harness->virtualDisplays->creations().size(), 1u);

    // Asked again at the same size while online: the display is kept.
    harness->server->useExtendedMode();
    settle();
    EXPECT_EQ(harness->virtualDisplays->creations().size(), 1u);
    EXPECT_EQ(journalFront().rfind("Écran virtuel créé: #100", 0), 0u);
}

TEST_F(DisplayModes, FramesComeFromTheVirtualDisplayUntilItIsLost) {
    startServer();
    harness->server->useExtendedMode();
    settle();
    connect();
    ASSERT_TRUE(harness->mainQueue->drainUntil([&] { return client->sentMessages().size() >= 1; }));
    auto frame = decodeScreenFrameMessage(client->sentMessages().back());
    ASSERT_TRUE(frame.value);
    EXPECT_EQ(frame.value->title, "Écran étendu");
    EXPECT_EQ(harness->capture->prepared().back().displayID, 100u);

    // The display goes away behind our back: the next frame notices.
    harness->displays->removeDisplay(100);
    ASSERT_TRUE(
        harness->mainQueue->drainUntil([&] { return state().displayMode() == "Étendu perdu"; }));
    EXPECT_EQ(state().displayModeDetail(), "macOS a retiré le display virtuel");
    EXPECT_TRUE(harness->mainQueue->drainUntil([&] {
        return std::find(state().logs().begin(), state().logs().end(),
                         "Étendu perdu · retour miroir · écrans: " + mainScreen()) !=
               state().logs().end();
    }));
    const auto count = client->sentMessages().size();
    ASSERT_TRUE(
        harness->mainQueue->drainUntil([&] { return client->sentMessages().size() > count + 1; }));
    frame = decodeScreenFrameMessage(client->sentMessages().back());
    EXPECT_EQ(frame.value->title, "Miroir Mac");
    EXPECT_EQ(harness->capture->prepared().back().displayID, 1u);
    // The choice is still extended: the next start tries again.
    EXPECT_EQ(harness->userDefaults->string("quorviMac.displayMode"), "extended");
}

TEST_F(DisplayModes, AFailingVirtualDisplayFallsBackToTheMainDisplay) {
    startServer();
    harness->virtualDisplays->failWith(VirtualDisplayCreation::Failure::creationFailed,
                                       "aucune sortie libre");
    harness->server->useExtendedMode();
    settle();
    EXPECT_EQ(state().displayMode(), "Étendu échoué");
    EXPECT_EQ(state().displayModeDetail(), "Création écran virtuel échouée");
    EXPECT_EQ(journalFront(), "Écran virtuel échoué: Création écran virtuel échouée (aucune sortie "
                              "libre) · écrans: " +
                                  mainScreen());
}

TEST_F(DisplayModes, MirrorWhileMirroringStillStopsTheCaptureAndJournals) {
    startServer();
    const auto stops = harness->capture->stopCount();
    harness->server->useMirrorMode();
    settle();
    EXPECT_EQ(harness->capture->stopCount(), stops + 1);
    EXPECT_EQ(journalFront(), "Mode miroir activé · écrans: " + mainScreen());
    EXPECT_EQ(harness->userDefaults->string("quorviMac.displayMode"), "mirror");
}

TEST_F(DisplayModes, OtherProcessesSwitchModesThroughNotifications) {
    startServer();
    harness->notifications->postNotification("brenholt.quorvi.mac.useExtendedMode");
    ASSERT_TRUE(
        harness->mainQueue->drainUntil([&] { return state().displayMode() == "Étendu actif"; }));
    harness->notifications->postNotification("brenholt.quorvi.mac.useMirrorMode");
    ASSERT_TRUE(
        harness->mainQueue->drainUntil([&] { return state().displayMode() == "Miroir actif"; }));
    EXPECT_EQ(harness->virtualDisplays->liveCount(), 0);
    harness->notifications->postNotification("brenholt.quorvi.mac.refreshDisplays");
    ASSERT_TRUE(harness->mainQueue->drainUntil(
        [&] { return journalFront() == "Écrans online: " + mainScreen(); }));
}

TEST_F(DisplayModes, TheStoredExtendedModeIsEnteredAtStartButNotWithoutAListener) {
    transport->failNextListener("Adresse déjà utilisée");
    startServer(
        [](InMemoryUserDefaults& store) {
            store.setString("quorviMac.displayMode", "extended");
            store.setRaw("quorviMac.extendedWidth", "0");
            store.setRaw("quorviMac.extendedHeight", "500");
        },
        "Erreur serveur: ");
    EXPECT_EQ(harness->virtualDisplays->creations().size(), 0u);
    EXPECT_EQ(state().displayMode(), "Étendu prêt");

    harness->server->start(); // the port is free again
    ASSERT_TRUE(harness->waitForStatus("Prêt: iPhone peut détecter ce Mac"));
    settle();
    ASSERT_EQ(harness->virtualDisplays->creations().size(), 1u);
    // The stored 0 × 500 was ignored: the default size is used.
    EXPECT_EQ(state().displayModeDetail(), "Display #100 · 1400x646");
    EXPECT_TRUE(journalHas("Mode étendu restauré: #100 · écrans: "));
}

TEST_F(DisplayModes, TheViewportSizesTheVirtualDisplay) {
    startServer();
    connect();
    struct Case {
        double width, height;
        double points[2];
    };
    const Case cases[] = {{800, 600, {360, 180}},
                          {8000, 6000, {1600, 1000}},
                          {1442, 722, {362, 182}},
                          // 1179 / 4 = 294.75 → 295, at most 360: raised to the
                          // 360-point floor (the floor comes before the odd rule).
                          {1179, 2556, {360, 640}},
                          {1500, 2556, {376, 640}}};
    for (const auto& c : cases) {
        sendViewport(c.width, c.height);
        EXPECT_EQ(harness->userDefaults->number("quorviMac.extendedWidth"), c.points[0]);
        EXPECT_EQ(harness->userDefaults->number("quorviMac.extendedHeight"), c.points[1]);
    }
    // In mirror mode nothing is created and nothing journaled.
    EXPECT_EQ(harness->virtualDisplays->creations().size(), 0u);
    for (const auto& line : state().logs()) {
        EXPECT_EQ(line.find("Écran adapté"), std::string::npos);
    }
    // Malformed viewports are ignored.
    sendViewport(0, 500);
    sendViewport(-5, 500);
    EXPECT_EQ(harness->userDefaults->number("quorviMac.extendedWidth"), 376);
}

TEST_F(DisplayModes, InExtendedModeANewViewportRecreatesTheDisplay) {
    startServer();
    harness->server->useExtendedMode();
    settle();
    connect();
    sendViewport(1179, 2556);
    EXPECT_EQ(state().displayModeDetail(), "Display #101 · 720x1280");
    EXPECT_EQ(journalFront(), "Écran adapté iPhone/iPad: display 720x1280 · stream 1920px");
    EXPECT_EQ(state().streamQuality(), "10 FPS · bonne qualité · sortie 1920px");
    ASSERT_EQ(harness->virtualDisplays->creations().size(), 2u);

    // Less than 2 points away in both sides: only the quality is refreshed.
    const auto journalSize = state().logs().size();
    sendViewport(1180, 2558);
    EXPECT_EQ(harness->virtualDisplays->creations().size(), 2u);
    EXPECT_EQ(state().logs().size(), journalSize);
}
