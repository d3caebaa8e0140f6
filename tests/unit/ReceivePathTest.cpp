// The receive path driven through a fake connection, so that the bytes
// arrive in exactly the chunks each case needs.
#include "fakes/FakeTransport.h"
#include "fakes/ServerHarness.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using quorvi::testing::FakeConnection;
using quorvi::testing::FakeTransport;
using quorvi::testing::ServerHarness;

namespace {

std::string gesture(const std::string& phase, double x, double y, double sentAt = 1) {
    return R"({"sentAt":)" + std::to_string(sentAt) + R"(,"phase":")" + phase + R"(","x":)" +
           std::to_string(x) + R"(,"y":)" + std::to_string(y) + R"(,"dx":0,"dy":0})";
}

struct ReceivePath : ::testing::Test {
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    ServerHarness harness{0, transport};
    std::shared_ptr<FakeConnection> client;

    void SetUp() override {
        ASSERT_TRUE(harness.startAndSettle());
        client = transport->lastListener()->connectClient();
        ASSERT_TRUE(harness.waitForStatus("Connecté"));
    }

    std::vector<std::string> journal() { return harness.state().logs(); }

    // Waits until the server has consumed everything delivered so far.
    // A delivery waits for the server's next read, so go round the queue
    // until every chunk was handed over (or reading stopped for good).
    void settle() {
        std::size_t left = client->undeliveredCount();
        for (int round = 0; round < 100000; ++round) {
            harness.server->runOnWorkQueueForTesting([] {});
            harness.server->runOnWorkQueueForTesting([] {});
            const auto now = client->undeliveredCount();
            if (now == 0 || (now == left && round > 3)) {
                break;
            }
            left = now;
        }
        harness.mainQueue->drain();
    }

    std::int64_t inputEvents() { return harness.server->currentSessionStats().inputEvents; }
};

} // namespace

TEST_F(ReceivePath, ReadsAreBoundedTo64KiB) {
    EXPECT_EQ(client->largestReadRequested(), 65536u);
}

TEST_F(ReceivePath, LinesAreCutWhateverTheChunking) {
    // Two messages in one read.
    client->deliver(gesture("tap", 0.1, 0.2) + "\n" + gesture("tap", 0.3, 0.4) + "\n");
    // One message over three reads.
    const auto third = gesture("tap", 0.5, 0.6, 2);
    client->deliver(third.substr(0, 7));
    client->deliver(third.substr(7, 20));
    settle();
    EXPECT_EQ(inputEvents(), 2);
    client->deliver(third.substr(27) + "\n");
    settle();
    EXPECT_EQ(inputEvents(), 3);
    const auto logs = journal();
    ASSERT_GE(logs.size(), 3u);
    EXPECT_EQ(logs[0], "Input tap: 50%, 60%");
    EXPECT_EQ(logs[1], "Input tap: 30%, 40%");
    EXPECT_EQ(logs[2], "Input tap: 10%, 20%");
}

TEST_F(ReceivePath, CarriageReturnsAndEmptyLinesAreHarmless) {
    const auto before = journal();
    client->deliver("\n\n\r\n");
    settle();
    // "\r" alone is whitespace, not JSON: that line is unreadable, but the
    // two empty lines produced nothing at all.
    EXPECT_EQ(journal().size(), before.size() + 1);
    client->deliver(gesture("tap", 0.25, 0.5) + "\r\n");
    settle();
    EXPECT_EQ(journal().front(), "Input tap: 25%, 50%");
    EXPECT_EQ(inputEvents(), 1);
}

TEST_F(ReceivePath, AnUnreadableLineIsReportedAndReadingGoesOn) {
    client->deliver(gesture("tap", 0.1, 0.1) + "\n{\"sentAt\":1}\n" + gesture("end", 0.2, 0.2) +
                    "\n");
    settle();
    EXPECT_EQ(inputEvents(), 2);
    EXPECT_FALSE(client->isCancelled());
    const auto logs = journal();
    ASSERT_GE(logs.size(), 3u);
    EXPECT_EQ(logs[0], "Input end: 20%, 20%");
    EXPECT_EQ(logs[1].rfind("Input illisible: ", 0), 0u) << logs[1];
    EXPECT_GT(logs[1].size(), std::string("Input illisible: ").size());
    EXPECT_EQ(logs[2], "Input tap: 10%, 10%");
    EXPECT_NE(std::find(harness.statusHistory.begin(), harness.statusHistory.end(), logs[1]),
              harness.statusHistory.end());
}

TEST_F(ReceivePath, ExactlyEightMebibytesIsAcceptedOneByteMoreClosesTheConnection) {
    const std::string chunk(65536, ' ');
    for (int i = 0; i < 128; ++i) { // 8,388,608 bytes, no line feed
        client->deliver(chunk);
    }
    settle();
    EXPECT_FALSE(client->isCancelled());
    client->deliver("x");
    settle();
    EXPECT_TRUE(client->isCancelled());
    // The closed connection then reports its cancellation: "Déconnecté".
    ASSERT_TRUE(harness.waitForStatus("Déconnecté"));
    const auto logs = journal();
    ASSERT_GE(logs.size(), 2u);
    EXPECT_EQ(logs[1], "Input trop volumineux: connexion fermée");
}

TEST_F(ReceivePath, ALineCompletedAtTheBoundIsStillRead) {
    // A gesture padded with spaces up to exactly 8 MiB including its line feed.
    const auto line = gesture("tap", 0.5, 0.5);
    std::string padded = line + std::string(8'388'608 - line.size() - 1, ' ') + "\n";
    for (std::size_t offset = 0; offset < padded.size(); offset += 65536) {
        client->deliver(padded.substr(offset, 65536));
    }
    settle();
    EXPECT_FALSE(client->isCancelled());
    EXPECT_EQ(inputEvents(), 1);
}

TEST_F(ReceivePath, RecentGesturesKeepTheTwelveNewestAndAllAreCounted) {
    std::string lines;
    for (int i = 1; i <= 20; ++i) {
        lines += gesture("drag", 0.5, 0.5, i) + "\n";
    }
    client->deliver(lines);
    settle();
    EXPECT_EQ(inputEvents(), 20);
    const auto& inputs = harness.state().receivedInputs();
    ASSERT_EQ(inputs.size(), 12u);
    EXPECT_EQ(inputs.front().sentAt, 20);
    EXPECT_EQ(inputs.back().sentAt, 9);
}

TEST_F(ReceivePath, GestureLinesTruncateTowardZeroAndSurviveAbsurdNumbers) {
    client->deliver(gesture("tap", 0.257, 0.5) + "\n");
    settle();
    EXPECT_EQ(journal().front(), "Input tap: 25%, 50%");
    client->deliver(R"({"sentAt":1,"phase":"tap","x":-0.019,"y":1e300,"dx":0,"dy":0})"
                    "\n");
    settle();
    EXPECT_EQ(journal().front(), "Input tap: -1%, ?%");
    client->deliver(
        R"({"sentAt":1,"phase":"tap","x":9.2233720368547758e16,"y":-9.3e16,"dx":0,"dy":0})"
        "\n");
    settle();
    EXPECT_EQ(journal().front(), "Input tap: ?%, ?%");
    EXPECT_EQ(inputEvents(), 3);
}

TEST_F(ReceivePath, ViewportAndStatsAreNeitherGesturesNorJournaled) {
    const auto before = journal();
    client->deliver(
        R"({"kind":"viewport","sentAt":1,"phase":"","x":0,"y":0,"dx":0,"dy":0,"viewportWidth":390,"viewportHeight":844})"
        "\n"
        R"({"kind":"stats","sentAt":1,"phase":"","x":0,"y":0,"dx":0,"dy":0,"latencyMs":40,"displayedFPS":28})"
        "\n");
    settle();
    EXPECT_EQ(inputEvents(), 0);
    EXPECT_TRUE(harness.state().receivedInputs().empty());
    EXPECT_EQ(journal(), before);
}

TEST_F(ReceivePath, AReadErrorIsReportedAndReadingStops) {
    const auto requested = client->receivesRequested();
    client->deliverError("Connexion réinitialisée par le correspondant");
    ASSERT_TRUE(harness.waitForStatus("Réception échouée: Connexion réinitialisée par le "
                                      "correspondant"));
    settle();
    EXPECT_EQ(client->receivesRequested(), requested);
    EXPECT_FALSE(client->isCancelled());
}

TEST_F(ReceivePath, EndOfStreamStopsReadingWithoutCancelling) {
    const auto requested = client->receivesRequested();
    client->deliverEndOfStream();
    settle();
    EXPECT_EQ(client->receivesRequested(), requested);
    EXPECT_FALSE(client->isCancelled());
}

TEST_F(ReceivePath, BytesOfAReplacedConnectionNeverReachTheNewClient) {
    const auto half = gesture("tap", 0.1, 0.1);
    client->deliver(half.substr(0, 10));
    settle();
    auto newcomer = transport->lastListener()->connectClient();
    ASSERT_TRUE(harness.waitForStatus("Connecté"));
    settle();
    // The old connection still has a read armed: its late bytes are dropped.
    client->deliver(half.substr(10) + "\n");
    newcomer->deliver(gesture("tap", 0.7, 0.7) + "\n");
    settle();
    EXPECT_EQ(inputEvents(), 1);
    EXPECT_EQ(journal().front(), "Input tap: 70%, 70%");
}
