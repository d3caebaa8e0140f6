// The stream presets, the automatic quality's rules and how the server
// applies them to a session.
#include "quality/AutoQuality.h"

#include "fakes/FakeTransport.h"
#include "fakes/ServerHarness.h"
#include "quality/StreamQuality.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <limits>
#include <tuple>

using namespace std::chrono_literals;
using namespace quorvi;
using quorvi::testing::FakeConnection;
using quorvi::testing::FakeTransport;
using quorvi::testing::ServerHarness;

TEST(StreamPresets, EveryModeAndLevel) {
    using M = StreamMode;
    // Mode, level, raw value, title, then the preset: rate, width, quality, label.
    const std::tuple<M, int, const char*, const char*, int, int, double, const char*> rows[] = {
        {M::economy, 2, "economy", "Économie", 5, 1280, 0.66, "5 FPS · économie réseau"},
        {M::balanced, 0, "balanced", "Défaut", 10, 1920, 0.78, "10 FPS · bonne qualité"},
        {M::fluid, 0, "fluid", "Fluide", 15, 1920, 0.82, "15 FPS · qualité fluide"},
        {M::highFrameRate, 0, "highFrameRate", "30 FPS", 30, 1920, 0.84, "30 FPS · vidéo fluide"},
        {M::automatic, -4, "auto", "Auto", 5, 1280, 0.66, "Auto bas · 5 FPS"},
        {M::automatic, 0, "auto", "Auto", 5, 1280, 0.66, "Auto bas · 5 FPS"},
        {M::automatic, 1, "auto", "Auto", 10, 1920, 0.78, "Auto moyen · 10 FPS"},
        {M::automatic, 2, "auto", "Auto", 15, 1920, 0.82, "Auto haut · 15 FPS"},
        {M::automatic, 3, "auto", "Auto", 30, 1920, 0.84, "Auto maximal · 30 FPS"},
        {M::automatic, 99, "auto", "Auto", 30, 1920, 0.84, "Auto maximal · 30 FPS"},
    };
    for (const auto& [mode, level, raw, name, fps, maxWidth, quality, label] : rows) {
        SCOPED_TRACE(label);
        EXPECT_EQ(resolvedPreset(mode, level),
                  (StreamPreset{fps, {maxWidth, quality, fps, {}}, label}));
        EXPECT_EQ(rawValue(mode), raw);
        EXPECT_EQ(streamModeFromRawValue(raw), mode);
        EXPECT_EQ(title(mode), name);
    }
    EXPECT_FALSE(streamModeFromRawValue("Auto"));
    EXPECT_FALSE(streamModeFromRawValue(""));
}

TEST(AutoQualityRules, BoundaryRowsOfEveryLevel) {
    // The level after each probe, for levels 0 to 3: first a latency of 221,
    // 220 (severe above), 121, 120 (high above), 70 and 69 ms (low enough to
    // climb) at the full preset rate F; then, without latency, a displayed
    // rate of max(F − 6, 1) − 1, max(F − 6, 1), F − 4, F − 3, F − 2 and F − 1.
    const std::int64_t next[4][12] = {{0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 0, 1},
                                      {0, 1, 1, 1, 1, 2, 0, 1, 1, 1, 1, 2},
                                      {1, 1, 1, 2, 2, 3, 1, 1, 1, 2, 2, 3},
                                      {2, 2, 2, 3, 3, 3, 2, 2, 2, 3, 3, 3}};
    for (std::int64_t level = 0; level <= 3; ++level) {
        const std::int64_t F = resolvedPreset(StreamMode::automatic, level).fps;
        const std::int64_t floor = std::max<std::int64_t>(F - 6, 1);
        const std::int64_t latency[] = {221, 220, 121, 120, 70, 69, 0, 0, 0, 0, 0, 0};
        const std::int64_t shown[] = {F,         F,     F,     F,     F,     F,
                                      floor - 1, floor, F - 4, F - 3, F - 2, F - 1};
        for (int i = 0; i < 12; ++i) {
            EXPECT_EQ(nextAutoLevel(level, F, latency[i], shown[i]), next[level][i])
                << "level " << level << ", L " << latency[i] << ", D " << shown[i];
        }
    }
}

TEST(StreamTargetWidth, FollowsTheViewportWithinItsBounds) {
    const auto balanced = resolvedPreset(StreamMode::balanced, 2).settings;
    const auto economy = resolvedPreset(StreamMode::economy, 2).settings;
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    // Settings, viewport, then the width asked for.
    const std::tuple<StreamEncodingSettings, ViewportPixels, std::optional<std::int64_t>> cases[] =
        {
            {balanced, {0, 0}, std::nullopt},   {balanced, {1170, 2532}, 1920},
            {economy, {1170, 2532}, 1280},      {balanced, {500, 300}, 640},
            {balanced, {845.4, 300}, 846},      {balanced, {0.4, 0.3}, std::nullopt},
            {balanced, {844, 390}, 844},        {balanced, {843.5, 0}, 844}, // halves away from 0
            {balanced, {inf, 1}, std::nullopt}, {balanced, {nan, 1}, std::nullopt},
            {balanced, {1, nan}, std::nullopt}, {balanced, {1e300, 1}, std::nullopt},
        };
    for (const auto& [settings, viewport, width] : cases) {
        EXPECT_EQ(streamTargetWidth(settings, viewport), width)
            << viewport.width << "x" << viewport.height;
    }
}

TEST(FramePeriod, IsTheIntegerPeriodOfTheRateAndNeverZero) {
    const std::pair<std::int64_t, std::int64_t> periods[] = {
        {5, 200}, {10, 100}, {15, 66}, {30, 33}, {1001, 1}, {0, 1000}, {-5, 1000}};
    for (const auto& [fps, period] : periods) {
        EXPECT_EQ(framePeriodMilliseconds(fps), period) << fps;
    }
}

namespace {

std::string statsLine(std::optional<int> latency, std::optional<int> displayed) {
    std::string line = R"({"kind":"stats","sentAt":1,"phase":"","x":0,"y":0,"dx":0,"dy":0)";
    if (latency) {
        line += ",\"latencyMs\":" + std::to_string(*latency);
    }
    if (displayed) {
        line += ",\"displayedFPS\":" + std::to_string(*displayed);
    }
    return line + "}\n";
}

struct AutoQualitySession : ::testing::Test {
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    std::unique_ptr<ServerHarness> harness;
    std::shared_ptr<FakeConnection> client;

    void startWith(const std::string& mode, std::optional<int> level) {
        harness = std::make_unique<ServerHarness>(0, transport, [&](InMemoryUserDefaults& store) {
            store.setString("quorviMac.streamMode", mode);
            if (level) {
                store.setInteger("quorviMac.autoLevel", *level);
            }
        });
        ASSERT_TRUE(harness->startAndSettle());
        client = transport->lastListener()->connectClient();
        ASSERT_TRUE(harness->waitForStatus("Connecté"));
    }

    void send(std::optional<int> latency, std::optional<int> displayed) {
        client->deliver(statsLine(latency, displayed));
        for (int i = 0; i < 3; ++i) {
            harness->server->runOnWorkQueueForTesting([] {});
        }
        harness->mainQueue->drain();
    }

    PublishedState& state() { return harness->state(); }
};

} // namespace

TEST_F(AutoQualitySession, StepsUpThenWaitsOutTheCoolDown) {
    startWith("auto", 2);
    EXPECT_EQ(harness->server->sendTimerPeriod(), 66ms);
    send(40, 15);
    EXPECT_EQ(state().streamQuality(), "Auto maximal · 30 FPS");
    EXPECT_EQ(state().targetFPS(), 30);
    EXPECT_EQ(state().clientStats(), "40 ms · 15 FPS iPhone");
    EXPECT_EQ(state().logs().front(),
              "Auto ajuste flux: Auto maximal · 30 FPS · 40 ms · 15 FPS iPhone");
    EXPECT_EQ(harness->server->sendTimerPeriod(), 33ms);
    EXPECT_EQ(harness->userDefaults->integer("quorviMac.autoLevel"), 3);

    // Two seconds later: inside the cool-down, only the text changes.
    harness->clock->advance(2.0);
    const auto journalSize = state().logs().size();
    send(300, 2);
    EXPECT_EQ(state().clientStats(), "300 ms · 2 FPS iPhone");
    EXPECT_EQ(state().targetFPS(), 30);
    EXPECT_EQ(state().logs().size(), journalSize);

    // Exactly 3.0 s after the change is still inside; just past it is not.
    harness->clock->advance(1.0);
    send(300, 2);
    EXPECT_EQ(state().targetFPS(), 30);
    harness->clock->advance(0.001);
    send(300, 2);
    EXPECT_EQ(state().targetFPS(), 15);
    EXPECT_EQ(harness->server->sendTimerPeriod(), 66ms);
}

TEST_F(AutoQualitySession, AHoldNeitherJournalsNorRestartsTheCoolDown) {
    startWith("auto", 3);
    const auto journalSize = state().logs().size();
    send(40, 28); // hold at 3
    EXPECT_EQ(state().targetFPS(), 30);
    EXPECT_EQ(state().logs().size(), journalSize);
    // Had the hold restarted the clock, this would be ignored.
    send(250, 30);
    EXPECT_EQ(state().targetFPS(), 15);
    EXPECT_EQ(state().streamQuality(), "Auto haut · 15 FPS");
}

TEST_F(AutoQualitySession, FixedModesKeepTheNewest7200SamplesOfEachListAndNeverMove) {
    startWith("balanced", std::nullopt);
    send(500, 1);
    send(std::nullopt, std::nullopt); // missing figures count as zero
    EXPECT_EQ(state().clientStats(), "0 ms · 0 FPS iPhone");
    auto stats = harness->server->currentSessionStats();
    EXPECT_EQ(stats.latencySamples, (std::vector<std::int64_t>{500, 0}));
    EXPECT_EQ(stats.displayedFPSSamples, (std::vector<std::int64_t>{1, 0}));
    std::string burst;
    for (int i = 1; i <= 7198; ++i) {
        burst += statsLine(i, i % 50);
    }
    // In pieces no larger than one read.
    for (std::size_t offset = 0; offset < burst.size(); offset += 65536) {
        client->deliver(burst.substr(offset, 65536));
    }
    ASSERT_TRUE(harness->mainQueue->drainUntil(
        [&] { return state().clientStats() == "7198 ms · 48 FPS iPhone"; },
        // Sanitizer builds run this burst many times slower.
        std::chrono::seconds(120)));
    stats = harness->server->currentSessionStats();
    ASSERT_EQ(stats.latencySamples.size(), 7200u);
    EXPECT_EQ(stats.latencySamples.front(), 500);
    EXPECT_EQ(stats.latencySamples.back(), 7198);
    send(7199, 49); // one too many: the oldest goes
    stats = harness->server->currentSessionStats();
    ASSERT_EQ(stats.latencySamples.size(), 7200u);
    ASSERT_EQ(stats.displayedFPSSamples.size(), 7200u);
    EXPECT_EQ(stats.latencySamples.front(), 0);
    EXPECT_EQ(stats.displayedFPSSamples.front(), 0);
    EXPECT_EQ(state().targetFPS(), 10);
}
