// Changing the stream mode through the server, and what it keeps between runs.
#include "fakes/FakeTransport.h"
#include "fakes/ServerHarness.h"

#include <gtest/gtest.h>

using quorvi::StreamMode;
using quorvi::testing::FakeTransport;
using quorvi::testing::ServerHarness;

TEST(StreamModeChange, PublishesStoresAndJournalsTheNewPreset) {
    ServerHarness harness(0, std::make_shared<FakeTransport>());
    harness.server->setStreamMode(StreamMode::fluid);
    ASSERT_TRUE(harness.mainQueue->drainUntil(
        [&] { return harness.state().streamMode() == StreamMode::fluid; }));
    EXPECT_EQ(harness.state().targetFPS(), 15);
    EXPECT_EQ(harness.state().streamQuality(), "15 FPS · qualité fluide");
    EXPECT_EQ(harness.state().logs().front(), "Mode flux: Fluide · 15 FPS · qualité fluide");
    EXPECT_EQ(harness.userDefaults->string("quorviMac.streamMode"), "fluid");
    // Not automatic: the level is not written.
    EXPECT_FALSE(harness.userDefaults->raw("quorviMac.autoLevel"));
}

TEST(StreamModeChange, ChoosingAutomaticAlwaysStartsAtLevelTwoAndStoresIt) {
    ServerHarness harness(0, std::make_shared<FakeTransport>());
    harness.userDefaults->setInteger("quorviMac.autoLevel", 3);
    harness.server->setStreamMode(StreamMode::automatic);
    ASSERT_TRUE(harness.mainQueue->drainUntil(
        [&] { return harness.state().streamMode() == StreamMode::automatic; }));
    EXPECT_EQ(harness.state().targetFPS(), 15);
    EXPECT_EQ(harness.state().logs().front(), "Mode flux: Auto · Auto haut · 15 FPS");
    EXPECT_EQ(harness.userDefaults->string("quorviMac.streamMode"), "auto");
    EXPECT_EQ(harness.userDefaults->integer("quorviMac.autoLevel"), 2);
}

TEST(StreamModeChange, TheSameModeAgainStillWritesAndJournals) {
    ServerHarness harness(0, std::make_shared<FakeTransport>());
    harness.server->setStreamMode(StreamMode::balanced);
    harness.server->setStreamMode(StreamMode::balanced);
    ASSERT_TRUE(harness.mainQueue->drainUntil([&] { return harness.state().logs().size() == 2; }));
    EXPECT_EQ(harness.state().logs()[0], "Mode flux: Défaut · 10 FPS · bonne qualité");
    EXPECT_EQ(harness.state().logs()[1], "Mode flux: Défaut · 10 FPS · bonne qualité");
}

TEST(StoredSettings, AreReadAtConstruction) {
    struct Case {
        std::string mode;
        std::optional<std::string> level;
        StreamMode expectedMode;
        std::int64_t expectedFPS;
        std::string expectedQuality;
    };
    const Case cases[] = {
        {"economy", std::nullopt, StreamMode::economy, 5, "5 FPS · économie réseau"},
        {"auto", "0", StreamMode::automatic, 5, "Auto bas · 5 FPS"},
        {"auto", "3", StreamMode::automatic, 30, "Auto maximal · 30 FPS"},
        {"auto", "7", StreamMode::automatic, 30, "Auto maximal · 30 FPS"},
        {"auto", "-2", StreamMode::automatic, 5, "Auto bas · 5 FPS"},
        {"auto", "1.5", StreamMode::automatic, 15, "Auto haut · 15 FPS"},
        {"auto", "trois", StreamMode::automatic, 15, "Auto haut · 15 FPS"},
        {"Fluid", std::nullopt, StreamMode::balanced, 10, "10 FPS · bonne qualité"},
        {"", std::nullopt, StreamMode::balanced, 10, "10 FPS · bonne qualité"},
    };
    for (const auto& c : cases) {
        auto defaults = std::make_shared<quorvi::InMemoryUserDefaults>();
        defaults->setRaw("quorviMac.streamMode", c.mode);
        if (c.level) {
            defaults->setRaw("quorviMac.autoLevel", *c.level);
        }
        ServerHarness harness(0, std::make_shared<FakeTransport>());
        // A second server on the planted store: construction reads it.
        quorvi::Platform platform;
        platform.mainQueue = harness.mainQueue;
        platform.transport = std::make_shared<FakeTransport>();
        platform.clock = harness.clock;
        platform.userDefaults = defaults;
        auto server = quorvi::QuorviServer::create(platform);
        EXPECT_EQ(server->published().streamMode(), c.expectedMode) << c.mode;
        EXPECT_EQ(server->published().targetFPS(), c.expectedFPS) << c.mode;
        EXPECT_EQ(server->published().streamQuality(), c.expectedQuality) << c.mode;
    }
}

TEST(StoredSettings, TheStoredDisplayModeIsShownButNotEntered) {
    auto defaults = std::make_shared<quorvi::InMemoryUserDefaults>();
    quorvi::Platform platform;
    auto harness = ServerHarness(0, std::make_shared<FakeTransport>());
    platform.mainQueue = harness.mainQueue;
    platform.transport = std::make_shared<FakeTransport>();
    platform.clock = harness.clock;
    platform.userDefaults = defaults;

    defaults->setString("quorviMac.displayMode", "extended");
    auto extended = quorvi::QuorviServer::create(platform);
    EXPECT_EQ(extended->published().displayMode(), "Étendu prêt");
    EXPECT_EQ(extended->published().displayModeDetail(), "Display virtuel restauré au démarrage");

    defaults->setString("quorviMac.displayMode", "Extended");
    auto otherCase = quorvi::QuorviServer::create(platform);
    EXPECT_EQ(otherCase->published().displayMode(), "Miroir actif");
    EXPECT_EQ(otherCase->published().displayModeDetail(), "Capture écran principal");
}
