// Who may connect, over real TCP on loopback: 127.0.0.1 streams while
// 127.0.0.2 is refused, held for the user's answer, allowed or trusted.
#include "fakes/LoopbackClient.h"
#include "fakes/ServerHarness.h"
#include "protocol/JsonCodec.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <map>
#include <sys/socket.h>

using namespace std::chrono_literals;
using namespace quorvi;
using quorvi::testing::LoopbackClient;
using quorvi::testing::ServerHarness;

namespace {

constexpr const char* kOther = "127.0.0.2";
const std::string kTap = R"({"sentAt":1,"phase":"tap","x":0.5,"y":0.5,"dx":0,"dy":0})"
                         "\n";

struct Access : ::testing::Test {
    std::unique_ptr<ServerHarness> harness;

    void start(std::map<std::string, std::string> settings,
               std::shared_ptr<NetworkTransport> transport = nullptr) {
        harness = std::make_unique<ServerHarness>(0, transport, [&](InMemoryUserDefaults& store) {
            for (const auto& [key, value] : settings) {
                store.setRaw(key, value);
            }
        });
        harness->capture->setBuffer(
            1, CapturedVideoBuffer{std::make_shared<PixelBuffer>(1920, 1200), 1920, 1200});
        harness->jpeg->setResult(std::vector<std::uint8_t>(2000, 0x5A));
        ASSERT_TRUE(harness->startAndSettle());
    }
    std::unique_ptr<LoopbackClient> connect(const char* source = nullptr) {
        auto client = std::make_unique<LoopbackClient>(harness->server->listeningPort(), source);
        EXPECT_TRUE(client->isConnected());
        return client;
    }
    // The next frame's sequence number; 0 when none came.
    std::int64_t nextFrame(LoopbackClient& client) {
        const auto line = client.readLine(5s);
        const auto frame = line ? decodeScreenFrameMessage(*line).value : std::nullopt;
        return frame ? frame->sequence : 0;
    }
    // The client goes on receiving frames in order, not replaced.
    void expectStillStreaming(LoopbackClient& client, std::int64_t& last) {
        for (int i = 0; i < 3; ++i) {
            const auto sequence = nextFrame(client);
            ASSERT_EQ(sequence, last + 1);
            last = sequence;
        }
    }
    bool waitFor(const std::function<bool()>& condition) {
        return harness->mainQueue->drainUntil(condition);
    }
    bool waitForPending(const std::string& address) {
        return waitFor([&] { return harness->state().pendingDevice() == address; });
    }
    bool waitForJournal(const std::string& line) {
        return waitFor([&] { return harness->journalHas(line); });
    }
    void signal(const std::string& name) {
        harness->notifications->postNotification("brenholt.quorvi.mac." + name);
        harness->mainQueue->drain(); // observers run there
    }
};

} // namespace

TEST_F(Access, RefusedAddressesAreClosedWithoutAByteWhileTheClientStreams) {
    start({{"quorviMac.allowedNetworks", "127.0.0.1/32"}});
    auto streaming = connect();
    std::int64_t last = nextFrame(*streaming);
    ASSERT_EQ(last, 1);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(connect(kOther)->readToEnd(5s), "") << i;
    }
    expectStillStreaming(*streaming, last);
    ASSERT_TRUE(waitForJournal("Connexion refusée: 127.0.0.2 (hors des réseaux autorisés)"));
    harness->settle();
    const auto& logs = harness->state().logs();
    EXPECT_EQ(std::count_if(logs.begin(), logs.end(),
                            [](const auto& line) { return line.starts_with("Connexion refusée"); }),
              1);
    EXPECT_EQ(harness->state().connectedDevice(), "127.0.0.1");
    EXPECT_EQ(harness->state().connectionName(), "iPhone connecté");
}

TEST_F(Access, APendingDeviceGetsNothingUntilAllowedThenDenialsAndSilenceRefuse) {
    start({{"quorviMac.approveNewDevices", "true"}, {"quorviMac.trustedAddresses", "127.0.0.1"}});
    auto streaming = connect();
    std::int64_t last = nextFrame(*streaming);
    auto pending = connect(kOther);
    ASSERT_TRUE(pending->send(kTap));
    ASSERT_TRUE(waitForPending("127.0.0.2"));
    expectStillStreaming(*streaming, last);
    EXPECT_TRUE(pending->hasReceivedNothing());
    EXPECT_TRUE(harness->eventPoster->events().empty());

    // Allowed once: it replaces the client, and its early gesture counts now.
    signal("allowPendingDevice");
    EXPECT_EQ(nextFrame(*pending), 1);
    EXPECT_TRUE(streaming->waitForEndOfStream(5s));
    EXPECT_TRUE(waitFor([&] { return !harness->eventPoster->events().empty(); }));
    EXPECT_TRUE(waitFor([&] { return harness->state().connectedDevice() == "127.0.0.2"; }));
    EXPECT_EQ(harness->state().pendingDevice(), "");
    EXPECT_EQ(harness->state().trustedAddresses(), std::vector<std::string>{"127.0.0.1"});

    // Denied: closed, and closed at once for 30 s without a new question.
    last = nextFrame(*pending);
    auto denied = connect(kOther);
    ASSERT_TRUE(waitForPending("127.0.0.2"));
    signal("denyPendingDevice");
    EXPECT_EQ(denied->readToEnd(5s), "");
    EXPECT_TRUE(waitForJournal("Connexion refusée: 127.0.0.2 (refusé par l'utilisateur)"));
    EXPECT_EQ(connect(kOther)->readToEnd(5s), "");
    EXPECT_TRUE(waitForJournal("Connexion refusée: 127.0.0.2 (refusé il y a moins de 30 s)"));
    expectStillStreaming(*pending, last);

    // Unanswered for 30 s on the server clock: refused.
    harness->clock->advance(30);
    auto ignored = connect(kOther);
    ASSERT_TRUE(waitForPending("127.0.0.2"));
    harness->clock->advance(29.9);
    harness->settle();
    EXPECT_TRUE(ignored->hasReceivedNothing());
    harness->clock->advance(0.1);
    EXPECT_EQ(ignored->readToEnd(5s), "");
    EXPECT_TRUE(waitForPending(""));
    EXPECT_TRUE(waitForJournal("Connexion refusée: 127.0.0.2 (pas de réponse en 30 s)"));
    expectStillStreaming(*pending, last);
}

TEST_F(Access, AlwaysAllowedAddressesOutliveARestartUntilForgotten) {
    start({{"quorviMac.approveNewDevices", "true"}});
    auto first = connect(kOther);
    ASSERT_TRUE(waitForPending("127.0.0.2"));
    signal("alwaysAllowPendingDevice");
    EXPECT_EQ(nextFrame(*first), 1);
    EXPECT_TRUE(waitFor([&] { return !harness->state().trustedAddresses().empty(); }));
    const auto stored = harness->userDefaults->raw("quorviMac.trustedAddresses");
    EXPECT_EQ(stored, "127.0.0.2");
    first.reset();

    start({{"quorviMac.approveNewDevices", "true"}, {"quorviMac.trustedAddresses", *stored}});
    auto again = connect(kOther);
    EXPECT_EQ(nextFrame(*again), 1);
    EXPECT_EQ(harness->state().pendingDevice(), "");

    // "Déconnecter" ends the client; the server goes on listening.
    signal("disconnectClient");
    EXPECT_TRUE(again->waitForEndOfStream(5s));
    EXPECT_TRUE(harness->waitForStatus("Déconnecté"));
    harness->server->forgetTrustedAddress("127.0.0.2");
    EXPECT_TRUE(waitFor([&] { return harness->state().trustedAddresses().empty(); }));
    EXPECT_EQ(harness->userDefaults->raw("quorviMac.trustedAddresses"), "");
    auto forgotten = connect(kOther);
    EXPECT_TRUE(waitForPending("127.0.0.2"));
    forgotten->closeWithReset(); // a held connection is never read
}

// Where IPv6 is disabled the dual-stack socket cannot be opened: the
// listener falls back to IPv4. Either way a peer shows as plain IPv4.
TEST_F(Access, TheListenerFallsBackToIPv4WithoutIPv6) {
    for (const bool hasIPv6 : {true, false}) {
        SCOPED_TRACE(hasIPv6 ? "dual stack" : "IPv4 only");
        auto transport = std::make_shared<AsioTransport>("", nullptr);
        int openedFamily = 0;
        transport->setSocketOpener([&](int family) {
            if (family == AF_INET6 && !hasIPv6) {
                errno = EAFNOSUPPORT;
                return -1;
            }
            openedFamily = family;
            return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        });
        start({}, transport);
        EXPECT_EQ(openedFamily, hasIPv6 ? AF_INET6 : AF_INET);
        auto client = connect();
        EXPECT_EQ(nextFrame(*client), 1);
        EXPECT_TRUE(waitFor([&] { return harness->state().connectedDevice() == "127.0.0.1"; }));
    }
}
