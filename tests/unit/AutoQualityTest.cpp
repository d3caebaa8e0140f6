#include "quality/AutoQuality.h"

#include "fakes/FakeTransport.h"
#include "fakes/ServerHarness.h"
#include "quality/SessionStats.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace quorvi;
using quorvi::testing::FakeConnection;
using quorvi::testing::FakeTransport;
using quorvi::testing::ServerHarness;

TEST(AutoQualityRules, FirstMatchingRuleDecides) {
    struct Case {
        std::int64_t level, fps, latency, displayed, expected;
    };
    const Case cases[] = {
        {2, 15, 40, 15, 3},  // keeps up: one step up
        {3, 30, 40, 30, 3},  // already at the top
        {3, 30, 40, 28, 3},  // rule 6 holds (D < F − 1)
        {3, 30, 40, 29, 3},  // D = F − 1 does not hold, but the top caps it
        {2, 15, 40, 13, 2},  // rule 6 holds (below 14)
        {2, 15, 40, 14, 3},  // 14 is enough to climb
        {2, 15, 70, 15, 2},  // rule 5 holds on latency
        {2, 15, 69, 15, 3},  // 69 ms is low enough
        {0, 5, 150, 5, 1},   // rule 3 raises level 0 to 1
        {0, 5, 250, 5, 0},   // rule 1 cannot go below 0
        {3, 30, 221, 30, 2}, // rule 1
        {3, 30, 40, 23, 2},  // rule 2: below 24
        {3, 30, 40, 26, 2},  // rule 4: below 27
        {1, 10, 40, 3, 0},   // rule 2: below 4
        {1, 10, 40, 6, 1},   // rule 4 keeps at least 1
        {0, 5, 0, 0, 0},     // nothing measured at the bottom
        {2, 15, 0, 0, 1},    // nothing measured: one step down
        {0, 5, 40, 1, 1},    // rule 4 from level 0 (D < 2) raises to 1
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nextAutoLevel(c.level, c.fps, c.latency, c.displayed), c.expected)
            << "level " << c.level << " L " << c.latency << " D " << c.displayed;
    }
}

TEST(SessionStatsBound, KeepsTheNewest7200OfEachList) {
    SessionStats stats;
    for (std::int64_t i = 1; i <= 7201; ++i) {
        stats.latencySamples.push_back(i);
        stats.keepBounded();
    }
    ASSERT_EQ(stats.latencySamples.size(), 7200u);
    EXPECT_EQ(stats.latencySamples.front(), 2);
    EXPECT_EQ(stats.latencySamples.back(), 7201);
    stats.displayedFPSSamples.assign(20000, 1);
    stats.keepBounded();
    EXPECT_EQ(stats.displayedFPSSamples.size(), 7200u);
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

    void send(const std::string& line) {
        client->deliver(line);
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
    send(statsLine(40, 15));
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
    send(statsLine(300, 2));
    EXPECT_EQ(state().clientStats(), "300 ms · 2 FPS iPhone");
    EXPECT_EQ(state().targetFPS(), 30);
    EXPECT_EQ(state().logs().size(), journalSize);

    // Exactly 3.0 s after the change is still inside; just past it is not.
    harness->clock->advance(1.0);
    send(statsLine(300, 2));
    EXPECT_EQ(state().targetFPS(), 30);
    harness->clock->advance(0.001);
    send(statsLine(300, 2));
    EXPECT_EQ(state().targetFPS(), 15);
    EXPECT_EQ(harness->server->sendTimerPeriod(), 66ms);
}

TEST_F(AutoQualitySession, AHoldKeepsTheCoolDownClock) {
    startWith("auto", 3);
    send(statsLine(40, 28)); // hold at 3
    EXPECT_EQ(state().targetFPS(), 30);
    // Had the hold restarted the clock, this would be ignored.
    send(statsLine(250, 30));
    EXPECT_EQ(state().targetFPS(), 15);
    EXPECT_EQ(state().streamQuality(), "Auto haut · 15 FPS");
}

TEST_F(AutoQualitySession, TheBottomLevelReactsToModerateButNotSevereTrouble) {
    startWith("auto", 0);
    const auto journalSize = state().logs().size();
    send(statsLine(250, 5));
    EXPECT_EQ(state().targetFPS(), 5);
    EXPECT_EQ(state().logs().size(), journalSize);
    send(statsLine(150, 5));
    EXPECT_EQ(state().targetFPS(), 10);
    EXPECT_EQ(state().streamQuality(), "Auto moyen · 10 FPS");
}

TEST_F(AutoQualitySession, AMessageWithoutFiguresRecordsZerosAndStepsDown) {
    startWith("auto", 2);
    send(statsLine(std::nullopt, std::nullopt));
    const auto stats = harness->server->currentSessionStats();
    EXPECT_EQ(stats.latencySamples, std::vector<std::int64_t>{0});
    EXPECT_EQ(stats.displayedFPSSamples, std::vector<std::int64_t>{0});
    EXPECT_EQ(state().clientStats(), "0 ms · 0 FPS iPhone");
    EXPECT_EQ(state().targetFPS(), 10);
}

TEST_F(AutoQualitySession, FixedModesRecordButNeverMove) {
    startWith("balanced", std::nullopt);
    send(statsLine(500, 1));
    send(statsLine(20, 10));
    EXPECT_EQ(state().targetFPS(), 10);
    EXPECT_EQ(state().clientStats(), "20 ms · 10 FPS iPhone");
    const auto stats = harness->server->currentSessionStats();
    EXPECT_EQ(stats.latencySamples, (std::vector<std::int64_t>{500, 20}));
    EXPECT_EQ(stats.displayedFPSSamples, (std::vector<std::int64_t>{1, 10}));
}

TEST_F(AutoQualitySession, ABurstKeepsBothListsBounded) {
    startWith("balanced", std::nullopt);
    std::string burst;
    for (int i = 0; i < 20000; ++i) {
        burst += statsLine(i, 10);
    }
    for (std::size_t offset = 0; offset < burst.size(); offset += 65536) {
        client->deliver(burst.substr(offset, 65536));
    }
    ASSERT_TRUE(harness->mainQueue->drainUntil(
        [&] { return state().clientStats() == "19999 ms · 10 FPS iPhone"; },
        // Sanitizer builds run this burst many times slower.
        std::chrono::seconds(120)));
    const auto stats = harness->server->currentSessionStats();
    EXPECT_EQ(stats.latencySamples.size(), 7200u);
    EXPECT_EQ(stats.displayedFPSSamples.size(), 7200u);
    EXPECT_EQ(stats.latencySamples.front(), 20000 - 7200);
}
