// One client session through a fake connection, so that bytes arrive in
// exactly the chunks a case needs and sends complete when it says: the
// receive path, the frame send loop, display modes, stream settings and the
// exported diagnostics.
#include "fakes/FakeTransport.h"
#include "fakes/ServerHarness.h"
#include "platform/DesktopFolder.h"
#include "protocol/JsonCodec.h"
#include "quality/Diagnostics.h"

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace quorvi;
using nlohmann::json;
using quorvi::testing::FakeConnection;
using quorvi::testing::FakeTransport;
using quorvi::testing::ServerHarness;
using Lines = std::vector<std::string>;

namespace {

const std::string kScreens = "écrans: #1 1920x1200 @ 0,0";

const std::string kStats = R"({"kind":"stats","sentAt":1,"phase":"","x":0,"y":0,"dx":0,"dy":0)";

std::string statsLine(int latency, int displayed) {
    return kStats + ",\"latencyMs\":" + std::to_string(latency) +
           ",\"displayedFPS\":" + std::to_string(displayed) + "}\n";
}

std::string gesture(const std::string& phase, const std::string& x, const std::string& y) {
    return R"({"sentAt":1,"phase":")" + phase + R"(","x":)" + x + R"(,"y":)" + y +
           R"(,"dx":0,"dy":0})";
}

struct Session : ::testing::Test {
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    std::unique_ptr<ServerHarness> harness = std::make_unique<ServerHarness>(0, transport);
    std::shared_ptr<FakeConnection> client;

    void start(const std::function<void(InMemoryUserDefaults&)>& plant = nullptr) {
        harness = std::make_unique<ServerHarness>(0, transport, plant);
        ASSERT_TRUE(harness->startAndSettle());
    }
    void startConnected(const std::string& streamMode = "balanced", int autoLevel = 2) {
        start([&](InMemoryUserDefaults& store) {
            store.setString("quorviMac.streamMode", streamMode);
            store.setInteger("quorviMac.autoLevel", autoLevel);
        });
        connect();
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
        EXPECT_TRUE(waitFor([&] { return client->sentMessages().size() >= count; }));
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
    void sendStats(int latency, int displayed) {
        client->deliver(statsLine(latency, displayed));
        read(*client);
    }
    void sendViewport(double width, double height) {
        const InputEventMessage message{
            .kind = "viewport", .viewportWidth = width, .viewportHeight = height};
        client->deliver(*encodeInputEventMessage(message).value + "\n");
        read(*client);
    }
    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
        return harness->mainQueue->drainUntil(condition, timeout);
    }
    PublishedState& state() { return harness->state(); }
    const std::string& journalFront() { return state().logs().front(); }
    std::int64_t inputEvents() { return harness->server->currentSessionStats().inputEvents; }
};

// An environment variable set for a while, then put back.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

struct DiagnosticsExport : Session {
    std::filesystem::path home =
        std::filesystem::temp_directory_path() / ("quorvi-home-" + std::to_string(::getpid()));
    // The export goes to the desktop folder found from HOME and user-dirs.
    ScopedVariable homeVariable{"HOME", home}, configVariable{"XDG_CONFIG_HOME", home / "config"};

    void SetUp() override {
        std::filesystem::remove_all(home);
        std::filesystem::create_directories(home / "Desktop");
    }
    void TearDown() override { std::filesystem::remove_all(home); }

    // Exports and waits for the journal line of the result.
    std::string exportNow() {
        const auto before = state().logs().size();
        harness->server->exportDiagnostics();
        waitFor([&] { return state().logs().size() > before; });
        return state().logs().front();
    }

    std::string exportedText() {
        std::ifstream file(state().diagnosticsExportPath());
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
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
                    statsLine(40, 28));
    read(*client);

    EXPECT_EQ(inputEvents(), 4);
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
    EXPECT_EQ(state().connectionName(), "iPhone connecté");
    client->deliver("x");
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
    EXPECT_EQ(frames(1).front().sequence, 1);
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

    // A frame that cannot be written (its sentAt is not a number) is
    // reported and uses up its number; the next tick tries again.
    const double now = harness->clock->now();
    harness->clock->set(std::nan(""));
    ASSERT_TRUE(waitFor([&] { return harness->journalHas("Encodage frame échoué: "); }));
    const std::size_t sent = client->sentMessages().size();
    harness->clock->set(now);
    const auto after = frames(sent + 1);
    EXPECT_GT(after[sent].sequence, after[sent - 1].sequence + 1);
}

// A newcomer starts on a key frame and its frames count from 1 again; the
// replaced client's late completion changes nothing. The timer stops with
// the client, and a stop stops the capture.
TEST_F(FrameSendLoop, ANewcomerStartsAfreshAndALateCompletionChangesNothing) {
    start();
    const auto keyFrames = harness->video->forcedKeyFrames();
    connect(true);
    frames(1);
    client->completeHeldSends();
    ASSERT_TRUE(waitFor([&] { return state().sentFrames() == 1; }));
    auto first = std::exchange(client, transport->lastListener()->connectClient(true));
    EXPECT_EQ(frames(1).front().sequence, 1);
    EXPECT_TRUE(waitFor([&] { return harness->video->forcedKeyFrames() == keyFrames + 2; }));
    harness->settle();
    EXPECT_EQ(state().sentFrames(), 0);
    first->completeHeldSends();
    harness->settle();
    EXPECT_EQ(state().sentFrames(), 0);
    client->completeHeldSends();
    EXPECT_TRUE(waitFor([&] { return state().sentFrames() == 1; }));
    client->cancel();
    ASSERT_TRUE(harness->waitForStatus("Déconnecté"));
    EXPECT_FALSE(harness->server->sendTimerPeriod());
    const auto stops = harness->capture->stopCount();
    harness->server->stop();
    EXPECT_EQ(harness->capture->stopCount(), stops + 1);
}

// Nothing runs for nobody: the capture stops with the client, and a mode
// chosen with no client (never one, or one that left) arms no timer and
// captures nothing; the next ready client gets that mode's rate.
TEST_F(FrameSendLoop, AModeChosenWithoutAClientCostsNothingUntilTheNextOne) {
    start();
    harness->server->setStreamMode(StreamMode::fluid);
    harness->settle();
    EXPECT_TRUE(harness->capture->prepared().empty());
    connect();
    frames(1);
    const auto stops = harness->capture->stopCount();
    client->cancel();
    ASSERT_TRUE(harness->waitForStatus("Déconnecté"));
    EXPECT_EQ(harness->capture->stopCount(), stops + 1);
    const auto prepared = harness->capture->prepared().size();
    const auto sent = client->sentMessages().size();
    harness->server->setStreamMode(StreamMode::highFrameRate);
    harness->settle();
    EXPECT_FALSE(harness->server->sendTimerPeriod());
    EXPECT_EQ(harness->capture->prepared().size(), prepared);
    EXPECT_EQ(client->sentMessages().size(), sent);
    connect();
    EXPECT_EQ(harness->server->sendTimerPeriod(), 33ms);
}

TEST_F(FrameSendLoop, WithoutTheGrantFramesExplainWhyUntilItArrives) {
    start();
    harness->grants->setScreenRecording(false);
    connect();
    const std::string reason = "Screen Recording non reconnu · relance requise après autorisation";
    EXPECT_EQ(frames(1).front().subtitle, reason);
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

    harness->virtualDisplays->setScript(
        {VirtualDisplayCreation::Failure::creationFailed, "sortie"});
    harness->server->useExtendedMode();
    harness->settle();
    EXPECT_EQ(state().displayMode(), "Étendu échoué");
    EXPECT_EQ(state().displayModeDetail(), "Création écran virtuel échouée");
    EXPECT_EQ(journalFront(),
              "Écran virtuel échoué: Création écran virtuel échouée (sortie) · " + kScreens);
}

// A stop while extended mode streams ends the frames before it removes the
// display: no frame finds it gone, so no loss is journaled.
TEST_F(DisplayModes, AStopEndsTheFramesBeforeItRemovesTheDisplay) {
    start();
    harness->server->useExtendedMode();
    harness->settle();
    connect();
    EXPECT_EQ(frames(1).back().title, "Écran étendu");
    std::atomic<bool> wasClientGone = false;
    harness->virtualDisplays->setOnRemoval([&] { wasClientGone = client->isCancelled(); });
    harness->server->stop();
    harness->virtualDisplays->setOnRemoval(nullptr);
    harness->settle();
    EXPECT_EQ(harness->virtualDisplays->liveCount(), 0);
    EXPECT_TRUE(wasClientGone);
    EXPECT_FALSE(harness->journalHas("Étendu perdu"));
}

// A quarter of the viewport's pixels, within 360 × 180 to 1600 × 1000
// points, rounded up to even; the floor comes before the even rule.
TEST_F(DisplayModes, TheViewportSizesTheVirtualDisplay) {
    startConnected();
    const double rows[][4] = {
        {800, 600, 360, 180}, {8000, 6000, 1600, 1000}, {1442, 722, 362, 182}, {0, 500, 362, 182}};
    for (const auto& [width, height, pointsWide, pointsHigh] : rows) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        sendViewport(width, height);
        EXPECT_EQ(harness->userDefaults->number("quorviMac.extendedWidth"), pointsWide);
        EXPECT_EQ(harness->userDefaults->number("quorviMac.extendedHeight"), pointsHigh);
    }
    // In mirror mode nothing is made and nothing journaled.
    EXPECT_TRUE(harness->virtualDisplays->creations().empty());
    EXPECT_FALSE(harness->journalHas("Écran adapté"));
    // In extended mode a new viewport makes a new display; less than 2
    // points away on both sides only refreshes the quality.
    harness->server->useExtendedMode();
    sendViewport(1500, 2556);
    EXPECT_EQ(state().displayModeDetail(), "Display #101 · 752x1280");
    EXPECT_EQ(journalFront(), "Écran adapté iPhone/iPad: display 752x1280 · stream 1920px");
    EXPECT_EQ(state().streamQuality(), "10 FPS · bonne qualité · sortie 1920px");
    const auto journalSize = state().logs().size();
    sendViewport(1501, 2558);
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
        {"auto", "7", "", "Auto maximal · 30 FPS", "Miroir actif"},
        {"auto", "-2", "Extended", "Auto bas · 5 FPS", "Miroir actif"},
        {"auto", "1.5", "", "Auto haut · 15 FPS", "Miroir actif"},
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

TEST_F(StreamSettings, AutoStepsThenWaitsOutTheCoolDownWhichAHoldDoesNotRestart) {
    startConnected("auto", 2);
    EXPECT_EQ(harness->server->sendTimerPeriod(), 66ms);
    sendStats(40, 15);
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
    sendStats(300, 2);
    EXPECT_EQ(state().clientStats(), "300 ms · 2 FPS iPhone");
    EXPECT_EQ(state().targetFPS(), 30);
    EXPECT_EQ(state().logs().size(), journalSize);

    // Exactly 3.0 s after the change is still inside; just past it is not.
    harness->clock->advance(1.0);
    sendStats(300, 2);
    EXPECT_EQ(state().targetFPS(), 30);
    harness->clock->advance(0.001);
    sendStats(300, 2);
    EXPECT_EQ(state().targetFPS(), 15);
    EXPECT_EQ(harness->server->sendTimerPeriod(), 66ms);

    // A hold neither journals nor restarts the cool-down.
    harness->clock->advance(3.001);
    const auto journalAtHold = state().logs().size();
    sendStats(100, 15);
    EXPECT_EQ(state().targetFPS(), 15);
    EXPECT_EQ(state().logs().size(), journalAtHold);
    sendStats(250, 15);
    EXPECT_EQ(state().streamQuality(), "Auto moyen · 10 FPS");
}

TEST_F(StreamSettings, FixedModesKeepTheNewest7200SamplesOfEachListAndNeverMove) {
    startConnected("balanced", 3);
    std::string burst;
    for (int i = 1; i <= 7201; ++i) {
        burst += statsLine(i, i % 50);
    }
    // In pieces no larger than one read.
    for (std::size_t offset = 0; offset < burst.size(); offset += 65536) {
        client->deliver(burst.substr(offset, 65536));
    }
    ASSERT_TRUE(waitFor([&] { return state().clientStats() == "7201 ms · 1 FPS iPhone"; },
                        // Sanitizer builds run this burst many times slower.
                        std::chrono::seconds(120)));
    client->deliver(kStats + "}\n"); // missing figures count as zero
    read(*client);
    EXPECT_EQ(state().clientStats(), "0 ms · 0 FPS iPhone");
    // 7,202 samples: the two oldest went.
    const auto stats = harness->server->currentSessionStats();
    ASSERT_EQ(stats.latencySamples.size(), 7200u);
    ASSERT_EQ(stats.displayedFPSSamples.size(), 7200u);
    EXPECT_EQ(stats.latencySamples.front(), 3);
    EXPECT_EQ(stats.displayedFPSSamples.front(), 3);
    EXPECT_EQ(stats.latencySamples.back(), 0);
    EXPECT_EQ(stats.displayedFPSSamples.back(), 0);
    EXPECT_EQ(state().targetFPS(), 10);
}

// The export tests see the figures at work; these are the edges a session
// can reach: a half second rounds up, a clock set back makes no duration.
TEST(DiagnosticsFigures, DurationsRoundAndMissingFiguresShowAsZero) {
    EXPECT_EQ(durationSeconds(100, 142.5), 43);
    EXPECT_EQ(durationSeconds(100, 90), 0);
    EXPECT_EQ(diagnosticsSummaryText({}), "0s · 0 frames · FPS médian 0 · latence p95 0 ms");
}

TEST(DesktopFolderRule, FollowsUserDirsThenFallsBackToDesktop) {
    EXPECT_EQ(desktopFolderFrom("/home/lea", ""), "/home/lea/Desktop");
    EXPECT_EQ(desktopFolderFrom("/home/lea", "XDG_DESKTOP_DIR=\"/data/bureau\"\n"), "/data/bureau");
    EXPECT_EQ(desktopFolderFrom("/home/lea", "XDG_DOWNLOAD_DIR=\"$HOME/T\"\n"),
              "/home/lea/Desktop");
    EXPECT_FALSE(desktopFolderFrom("", ""));
}

TEST_F(DiagnosticsExport, EveryFieldOfASessionReadsBack) {
    harness = std::make_unique<ServerHarness>(0, transport, [](InMemoryUserDefaults& store) {
        store.setString("quorviMac.streamMode", "fluid");
    });
    harness->grants->setAccessibility(false);
    harness->windowList->setWindows({{1, "Terminal", 4243, false}, {2, "Firefox", 4242, false}});
    *harness->addresses = {"192.0.2.7", "198.51.100.4"};
    ASSERT_TRUE(harness->startAndSettle());
    EXPECT_EQ(state().diagnosticsSummary(), "Aucune session mesurée");
    harness->clock->advance(10);
    connect(true);
    // One frame goes out and completes; the next one then stays in flight.
    ASSERT_TRUE(waitFor([&] { return client->sentMessages().size() == 1; }));
    client->completeHeldSends();
    ASSERT_TRUE(waitFor([&] { return state().sentFrames() == 1; }));
    sendViewport(1179.9, 2556.4);
    std::string lines = gesture("tap", "0.5", "0.5") + "\n" + gesture("tap", "0.5", "0.5") + "\n";
    for (const auto& [latency, displayed] : {std::pair{30, 9}, {10, 12}, {20, 8}, {90, 11}}) {
        lines += statsLine(latency, displayed);
    }
    client->deliver(lines);
    ASSERT_TRUE(waitFor([&] { return state().clientStats() == "90 ms · 11 FPS iPhone"; }));
    EXPECT_EQ(state().diagnosticsSummary(), "0s · 1 frames · FPS médian 11 · latence p95 90 ms");
    harness->clock->advance(42.4);
    EXPECT_EQ(exportNow().rfind("Diagnostic exporté: " + home.string() + "/Desktop/", 0), 0u);

    const std::string text = exportedText();
    const json file = json::parse(text);
    // Started 1,700,000,010 s, exported 42.4 s later.
    const json expected = json::parse(R"({
        "appVersion": ")" QUORVI_VERSION R"(", "bundleIdentifier": "brenholt.quorvi.mac",
        "captureVisibilitySummary": "2 fenêtres · Firefox, Terminal",
        "clientViewportPixels": {"width": 1179, "height": 2556}, "displayMode": "Miroir actif",
        "displayModeDetail": "Capture écran principal", "displayedFPSLowP05": 8,
        "displayedFPSMedian": 11, "displayedFPSSamples": [9, 12, 8, 11], "durationSeconds": 42,
        "exportedAt": "2023-11-14T22:14:12Z", "extendedDisplayPoints": {"width": 360,
        "height": 640}, "inputEvents": 2, "latencyP50Ms": 30, "latencyP95Ms": 90,
        "latencySamplesMs": [30, 10, 20, 90], "localAddresses": ["192.0.2.7", "198.51.100.4"],
        "mode": "mirror",
        "permissionSummary": "Screen OK · Accessibility manquant", "sentFrames": 1,
        "startedAt": "2023-11-14T22:13:30Z", "streamMode": "fluid",
        "streamQuality": "15 FPS · qualité fluide · sortie 1920px", "targetFPS": 15})");
    ASSERT_EQ(expected.size(), 24u);
    for (const auto& [key, value] : expected.items()) {
        EXPECT_EQ(file.value(key, json()), value) << key;
    }
    EXPECT_EQ(file.size(), 24u);
    // Pretty-printed, keys in ascending order.
    EXPECT_EQ(text, file.dump(2) + "\n");
}

// A missing desktop folder fails and changes nothing else; then, before any
// session, the file describes an empty one.
TEST_F(DiagnosticsExport, AMissingFolderFailsAndAnEmptySessionIsDescribed) {
    {
        ScopedVariable nowhere("HOME", home / "nowhere");
        const auto line = exportNow();
        EXPECT_EQ(line.rfind("Export diagnostic échoué: dossier introuvable", 0), 0u) << line;
        EXPECT_EQ(state().status(), line);
        EXPECT_EQ(state().diagnosticsExportPath(), "");
        EXPECT_EQ(state().connectionName(), "Aucun iPhone");
        EXPECT_FALSE(std::filesystem::exists(home / "nowhere"));
    }
    EXPECT_EQ(exportNow().rfind(
                  "Diagnostic exporté: " + home.string() + "/Desktop/QuorviDiagnostics-", 0),
              0u);
    const json file = json::parse(exportedText());
    EXPECT_EQ(file["startedAt"], file["exportedAt"]);
    EXPECT_EQ(file["durationSeconds"], 0);
    EXPECT_EQ(file["sentFrames"], 0);
    EXPECT_EQ(file["latencySamplesMs"], json::array());
    for (const char* absent :
         {"latencyP50Ms", "latencyP95Ms", "displayedFPSMedian", "displayedFPSLowP05"}) {
        EXPECT_FALSE(file.contains(absent)) << absent;
    }
    // Two exports within the same second leave one file.
    exportNow();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home / "Desktop"), {}), 1);

    // "Bureau" when user-dirs.dirs says so.
    std::filesystem::create_directories(home / "config");
    std::filesystem::create_directories(home / "Bureau");
    std::ofstream(home / "config" / "user-dirs.dirs")
        << "# a comment\nXDG_DESKTOP_DIR=\"$HOME/Bureau\"\n";
    EXPECT_EQ(exportNow().rfind("Diagnostic exporté: " + home.string() + "/Bureau/", 0), 0u);
}
