// The server's lifecycle over real TCP on loopback: listener, one client at
// a time, statuses and journal.
#include "fakes/LoopbackClient.h"
#include "fakes/ServerHarness.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using quorvi::testing::LoopbackClient;
using quorvi::testing::ServerHarness;

namespace {

std::size_t indexOf(const std::vector<std::string>& list, const std::string& value,
                    std::size_t from = 0) {
    for (std::size_t i = from; i < list.size(); ++i) {
        if (list[i] == value) {
            return i;
        }
    }
    return list.size();
}

// Holds a loopback port so that the server cannot bind it.
struct PortBlocker {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    std::uint16_t port = 0;
    PortBlocker() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd, 1);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~PortBlocker() { ::close(fd); }
};

} // namespace

TEST(ServerLifecycle, ConstructedServerShowsItsInitialTexts) {
    ServerHarness harness;
    auto& state = harness.state();
    EXPECT_EQ(state.status(), "Arrêté");
    EXPECT_EQ(state.connectionName(), "Aucun iPhone");
    EXPECT_EQ(state.permissionSummary(), "Permissions inconnues");
    EXPECT_EQ(state.captureVisibilitySummary(), "Capture non testée");
    EXPECT_EQ(state.displayMode(), "Miroir actif");
    EXPECT_EQ(state.displayModeDetail(), "Capture écran principal");
    EXPECT_EQ(state.targetFPS(), 10);
    EXPECT_EQ(state.clientStats(), "Stats iPhone en attente");
    EXPECT_EQ(state.diagnosticsSummary(), "Aucune session mesurée");
    EXPECT_TRUE(state.logs().empty());
    // Four observers, registered in order, gone with the server.
    EXPECT_EQ(harness.notifications->observerCount(), 4u);
    harness.server.reset();
    EXPECT_EQ(harness.notifications->observerCount(), 0u);
}

TEST(ServerLifecycle, StartAnnouncesThePortThenBecomesReadyAndAdvertises) {
    ServerHarness harness;
    const auto port = harness.startAndWaitUntilReady();
    ASSERT_NE(port, 0);
    const auto& history = harness.statusHistory;
    const auto starting = indexOf(history, "Démarrage Bonjour sur port " + std::to_string(port));
    const auto ready = indexOf(history, "Prêt: iPhone peut détecter ce Mac");
    ASSERT_LT(starting, history.size());
    EXPECT_LT(starting, ready);
    // The starting line is a status only, never a journal line.
    EXPECT_FALSE(harness.journalContains("Démarrage Bonjour sur port " + std::to_string(port)));
    EXPECT_TRUE(harness.journalContains("Prêt: iPhone peut détecter ce Mac"));

    const auto advertised = harness.advertisers->advertisements();
    ASSERT_EQ(advertised.size(), 1u);
    EXPECT_EQ(advertised[0].name, "Poste de test");
    EXPECT_EQ(advertised[0].type, "_quorvi._tcp");
    EXPECT_EQ(advertised[0].port, port);
}

TEST(ServerLifecycle, RestartPassesThroughStoppedBeforeStartingAgain) {
    ServerHarness harness;
    harness.startAndWaitUntilReady();
    LoopbackClient client(harness.server->listeningPort());
    ASSERT_TRUE(harness.waitForStatus("Connecté"));
    harness.statusHistory.clear();

    harness.server->start();
    const auto port = harness.server->listeningPort();
    ASSERT_TRUE(harness.waitForStatus("Prêt: iPhone peut détecter ce Mac"));
    const auto& history = harness.statusHistory;
    const auto stopped = indexOf(history, "Arrêté");
    const auto starting = indexOf(history, "Démarrage Bonjour sur port " + std::to_string(port));
    ASSERT_LT(stopped, history.size());
    EXPECT_LT(stopped, starting);
    EXPECT_EQ(harness.state().connectionName(), "Aucun iPhone");
    // The old client was shut down with the old session.
    EXPECT_TRUE(client.waitForEndOfStream(5s));
    // The old listener's cancellation reached the journal; the old
    // advertisement was withdrawn and a new one made.
    EXPECT_TRUE(harness.journalContains("Arrêté"));
    const auto advertised = harness.advertisers->advertisements();
    ASSERT_EQ(advertised.size(), 2u);
    EXPECT_TRUE(advertised[0].isWithdrawn);
    EXPECT_FALSE(advertised[1].isWithdrawn);
}

TEST(ServerLifecycle, TakenPortIsAServerErrorAndNothingElseRuns) {
    PortBlocker blocker;
    ServerHarness harness(blocker.port);
    harness.server->start();
    ASSERT_TRUE(harness.waitForStatusPrefix("Erreur serveur: "));
    EXPECT_EQ(harness.state().status(), "Erreur serveur: Adresse déjà utilisée");
    EXPECT_TRUE(harness.journalContains("Erreur serveur: Adresse déjà utilisée"));
    harness.mainQueue->drainFor(200ms);
    // No announcement, no advertisement.
    EXPECT_TRUE(harness.advertisers->advertisements().empty());
    EXPECT_EQ(harness.state().status(), "Erreur serveur: Adresse déjà utilisée");
    for (const auto& status : harness.statusHistory) {
        EXPECT_EQ(status.rfind("Démarrage Bonjour", 0), std::string::npos) << status;
    }
}

TEST(ServerLifecycle, ClientThatLeavesIsDisconnectedAndTheNextOneIsAccepted) {
    ServerHarness harness;
    const auto port = harness.startAndWaitUntilReady();
    {
        LoopbackClient client(port);
        ASSERT_TRUE(harness.waitForStatus("Connecté"));
        EXPECT_EQ(harness.state().connectionName(), "iPhone connecté");
    }
    ASSERT_TRUE(harness.waitForStatus("Déconnecté"));
    EXPECT_EQ(harness.state().connectionName(), "Aucun iPhone");
    EXPECT_TRUE(harness.journalContains("Déconnecté"));

    LoopbackClient next(port);
    ASSERT_TRUE(harness.waitForStatus("Connecté"));
    EXPECT_EQ(harness.state().connectionName(), "iPhone connecté");
}

TEST(ServerLifecycle, ResetByThePeerIsAFailedConnection) {
    ServerHarness harness;
    const auto port = harness.startAndWaitUntilReady();
    LoopbackClient client(port);
    ASSERT_TRUE(harness.waitForStatus("Connecté"));
    client.closeWithReset();
    ASSERT_TRUE(harness.waitForStatusPrefix("Connexion échouée: "));
    EXPECT_EQ(harness.state().connectionName(), "Aucun iPhone");
    EXPECT_EQ(harness.state().status(),
              "Connexion échouée: Connexion réinitialisée par le correspondant");
}

TEST(ServerLifecycle, SecondClientReplacesTheFirst) {
    // Declared first: the harness's teardown still tells the observer.
    std::vector<std::int64_t> sentFramesHistory;
    ServerHarness harness;
    auto state = harness.server->publishedState();
    state->addObserver({nullptr, [&](quorvi::PublishedProperty property) {
                            if (property == quorvi::PublishedProperty::sentFrames) {
                                sentFramesHistory.push_back(state->sentFrames());
                            }
                        }});
    const auto port = harness.startAndWaitUntilReady();
    LoopbackClient first(port);
    ASSERT_TRUE(harness.waitForStatus("Connecté"));
    // The first session gets some frames through.
    ASSERT_TRUE(harness.mainQueue->drainUntil([&] { return state->sentFrames() >= 2; }));
    harness.statusHistory.clear();
    sentFramesHistory.clear();

    LoopbackClient second(port);
    EXPECT_TRUE(first.waitForEndOfStream(5s));
    ASSERT_TRUE(harness.waitForStatus("Connecté"));
    // The replaced connection's own cancellation is stale: it must not show
    // "Déconnecté" over the new session, now or later.
    harness.mainQueue->drainFor(300ms);
    EXPECT_EQ(harness.state().connectionName(), "iPhone connecté");
    EXPECT_EQ(indexOf(harness.statusHistory, "Déconnecté"), harness.statusHistory.size());
    // The count went back to 0 in between, then the newcomer's frames
    // counted from 1 again.
    ASSERT_FALSE(sentFramesHistory.empty());
    EXPECT_EQ(sentFramesHistory.front(), 0);
    EXPECT_LE(state->sentFrames(), static_cast<std::int64_t>(sentFramesHistory.size()));
    // The newcomer is served: it stays connected and receives frames.
    EXPECT_TRUE(second.readLine(2s));
}

TEST(ServerLifecycle, StopFromTheWorkQueueDoesNotBlock) {
    ServerHarness harness;
    const auto port = harness.startAndWaitUntilReady();
    LoopbackClient client(port);
    ASSERT_TRUE(harness.waitForStatus("Connecté"));
    bool returned = false;
    harness.server->runOnWorkQueueForTesting([&] {
        harness.server->stop();
        returned = true;
    });
    EXPECT_TRUE(returned);
    ASSERT_TRUE(harness.waitForStatus("Arrêté"));
    EXPECT_EQ(harness.state().connectionName(), "Aucun iPhone");
    EXPECT_TRUE(client.waitForEndOfStream(5s));
    // Stopped means stopped: nobody listens any more.
    LoopbackClient late(port);
    EXPECT_FALSE(late.isConnected());
}

TEST(ServerLifecycle, StoppedIsJournaledOnlyByTheListenerCancellation) {
    ServerHarness harness;
    harness.startAndWaitUntilReady();
    harness.server->stop();
    ASSERT_TRUE(harness.mainQueue->drainUntil([&] { return harness.journalContains("Arrêté"); }));
    // One "Arrêté" in the journal, though stop() showed it as a status too.
    const auto& logs = harness.state().logs();
    EXPECT_EQ(std::count(logs.begin(), logs.end(), "Arrêté"), 1);
}

TEST(ServerLifecycle, BonjourTroubleIsJournaledWithoutTouchingTheStatus) {
    ServerHarness harness;
    harness.startAndWaitUntilReady();
    harness.advertisers->reportProblem("avahi-daemon injoignable");
    ASSERT_TRUE(harness.mainQueue->drainUntil(
        [&] { return harness.journalContains("Bonjour indisponible: avahi-daemon injoignable"); }));
    EXPECT_EQ(harness.state().status(), "Prêt: iPhone peut détecter ce Mac");
    // Still serving by address.
    LoopbackClient client(harness.server->listeningPort());
    EXPECT_TRUE(harness.waitForStatus("Connecté"));
}

TEST(ServerLifecycle, ReleasingTheServerWithAClientConnectedClosesEverything) {
    auto harness = std::make_unique<ServerHarness>();
    const auto port = harness->startAndWaitUntilReady();
    LoopbackClient client(port);
    ASSERT_TRUE(harness->waitForStatus("Connecté"));
    harness.reset();
    EXPECT_TRUE(client.waitForEndOfStream(5s));
    // The last reference may go on the work queue, a moment after ours: the
    // listener closes then, right after the client's socket.
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    bool isRefused = !LoopbackClient(port).isConnected();
    while (!isRefused && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
        isRefused = !LoopbackClient(port).isConnected();
    }
    EXPECT_TRUE(isRefused);
}

TEST(ServerLifecycle, ManyClientsInARowLeaveNothingBehind) {
    ServerHarness harness;
    const auto port = harness.startAndWaitUntilReady();
    for (int i = 0; i < 50; ++i) {
        LoopbackClient client(port);
        ASSERT_TRUE(client.isConnected());
        ASSERT_TRUE(harness.waitForStatus("Connecté"));
        client.close();
        ASSERT_TRUE(harness.waitForStatus("Déconnecté"));
    }
    EXPECT_EQ(harness.state().logs().size(), 30u);
}
