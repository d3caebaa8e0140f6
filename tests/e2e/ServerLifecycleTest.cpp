// The server's lifecycle over real TCP on loopback: listener, one client at
// a time, statuses and journal.
#include "fakes/LoopbackClient.h"
#include "fakes/ServerHarness.h"

#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;
using quorvi::testing::LoopbackClient;
using quorvi::testing::ServerHarness;

// The port is announced as a status only, never journaled; a restart
// passes through "Arrêté", closes the client and advertises afresh.
TEST(ServerLifecycle, StartAnnouncesThePortAdvertisesAndARestartBeginsAfresh) {
    const std::string ready = "Prêt: iPhone peut détecter ce Mac";
    ServerHarness harness;
    const auto at = [&](const std::string& status) {
        const auto& history = harness.statusHistory;
        return std::find(history.begin(), history.end(), status) - history.begin();
    };
    const auto announced = [&] {
        return "Démarrage Bonjour sur port " + std::to_string(harness.server->listeningPort());
    };
    ASSERT_TRUE(harness.startAndSettle());
    EXPECT_LT(at(announced()), at(ready));
    LoopbackClient client(harness.server->listeningPort());
    ASSERT_TRUE(harness.waitForStatus("Connecté"));
    harness.statusHistory.clear();
    harness.server->start();
    ASSERT_TRUE(harness.waitForStatus(ready));
    EXPECT_TRUE(client.waitForEndOfStream(5s));
    EXPECT_EQ(harness.state().connectionName(), "Aucun iPhone");
    EXPECT_LT(at("Arrêté"), at(announced()));
    EXPECT_LT(at(announced()), at(ready));
    EXPECT_FALSE(harness.journalHas("Démarrage"));
    const auto advertised = harness.advertisers->advertisements();
    ASSERT_EQ(advertised.size(), 2u);
    EXPECT_FALSE(advertised[0].onProblem); // withdrawn
    EXPECT_EQ(advertised[1].name, "Poste de test");
    EXPECT_EQ(advertised[1].type, "_quorvi._tcp");
    EXPECT_EQ(advertised[1].port, harness.server->listeningPort());

    // DNS-SD trouble is journaled and leaves the status alone.
    harness.advertisers->reportProblem("avahi-daemon injoignable");
    ASSERT_TRUE(harness.mainQueue->drainUntil(
        [&] { return harness.journalHas("Bonjour indisponible: avahi-daemon injoignable"); }));
    EXPECT_EQ(harness.state().status(), ready);
}

// Stopping from the work queue does not wait for itself; "Arrêté" is shown
// by stop() and journaled only by the listener's cancellation.
TEST(ServerLifecycle, StopFromTheWorkQueueDoesNotBlockAndIsJournaledOnce) {
    ServerHarness harness;
    ASSERT_TRUE(harness.startAndSettle());
    const auto port = harness.server->listeningPort();
    LoopbackClient client(port);
    ASSERT_TRUE(harness.waitForStatus("Connecté"));
    harness.server->runOnWorkQueueForTesting([&] { harness.server->stop(); });
    ASSERT_TRUE(harness.waitForStatus("Arrêté"));
    EXPECT_EQ(harness.state().connectionName(), "Aucun iPhone");
    EXPECT_TRUE(client.waitForEndOfStream(5s));
    EXPECT_FALSE(LoopbackClient(port).isConnected());
    ASSERT_TRUE(harness.mainQueue->drainUntil([&] { return harness.journalHas("Arrêté"); }));
    harness.settle();
    const auto& logs = harness.state().logs();
    EXPECT_EQ(std::count(logs.begin(), logs.end(), "Arrêté"), 1);
}

// A polite goodbye is proven by the headless lifecycle script; a reset is
// a failure, and the next client is welcome. Releasing the server with that
// client connected closes it and the listener.
TEST(ServerLifecycle, AResetIsAFailureAndReleasingTheServerClosesEverything) {
    auto harness = std::make_unique<ServerHarness>();
    ASSERT_TRUE(harness->startAndSettle());
    const auto port = harness->server->listeningPort();
    LoopbackClient client(port);
    ASSERT_TRUE(harness->waitForStatus("Connecté"));
    client.closeWithReset();
    ASSERT_TRUE(
        harness->waitForStatus("Connexion échouée: Connexion réinitialisée par le correspondant"));
    EXPECT_EQ(harness->state().connectionName(), "Aucun iPhone");
    LoopbackClient next(port);
    ASSERT_TRUE(harness->waitForStatus("Connecté"));
    harness.reset();
    EXPECT_TRUE(next.waitForEndOfStream(5s));
    // The last reference may go on the work queue, a moment after ours: the
    // listener closes then, right after the client's socket.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (LoopbackClient(port).isConnected() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(LoopbackClient(port).isConnected());
}
