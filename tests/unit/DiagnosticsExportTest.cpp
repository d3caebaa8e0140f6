// The diagnostics summary and export through the server.
#include "fakes/FakeTransport.h"
#include "fakes/ServerHarness.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace quorvi;
using quorvi::testing::FakeConnection;
using quorvi::testing::FakeTransport;
using quorvi::testing::ServerHarness;

namespace {

struct DiagnosticsExport : ::testing::Test {
    std::filesystem::path desktop =
        std::filesystem::temp_directory_path() / ("quorvi-desktop-" + std::to_string(::getpid()));
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    std::unique_ptr<ServerHarness> harness;

    void SetUp() override {
        std::filesystem::remove_all(desktop);
        std::filesystem::create_directories(desktop);
        harness = std::make_unique<ServerHarness>(0, transport);
    }
    void TearDown() override {
        harness.reset();
        std::filesystem::remove_all(desktop);
    }

    // Exports and waits for the journal line or the failure.
    std::string exportNow() {
        const auto before = harness->state().logs().size();
        harness->server->exportDiagnostics();
        harness->mainQueue->drainUntil([&] { return harness->state().logs().size() > before; });
        return harness->state().logs().front();
    }

    nlohmann::json readExport() {
        std::ifstream file(harness->state().diagnosticsExportPath());
        return nlohmann::json::parse(file);
    }
};

} // namespace

TEST_F(DiagnosticsExport, TheSummaryStartsAtZeroWithTheSession) {
    ASSERT_TRUE(harness->startAndSettle());
    EXPECT_EQ(harness->state().diagnosticsSummary(), "Aucune session mesurée");
    transport->lastListener()->connectClient(/*holdSends=*/true);
    ASSERT_TRUE(harness->mainQueue->drainUntil([&] {
        return harness->state().diagnosticsSummary() ==
               "0s · 0 frames · FPS médian 0 · latence p95 0 ms";
    }));
}

TEST_F(DiagnosticsExport, BeforeAnySessionTheFileDescribesAnEmptySession) {
    harness->userDefaults->setString("unused", "");
    // The folder is given by the platform seam in the real app; here the
    // HOME-based rule is replaced by setting HOME for this process.
    const char* oldHome = std::getenv("HOME");
    const std::string home = desktop.string();
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    std::filesystem::create_directories(desktop / "Desktop");
    const auto line = exportNow();
    EXPECT_EQ(line.rfind("Diagnostic exporté: " + home + "/Desktop/QuorviDiagnostics-", 0), 0u)
        << line;
    const auto json = readExport();
    EXPECT_EQ(json["startedAt"], json["exportedAt"]);
    EXPECT_EQ(json["durationSeconds"], 0);
    EXPECT_EQ(json["bundleIdentifier"], "brenholt.quorvi.mac");
    EXPECT_EQ(json["mode"], "mirror");
    EXPECT_EQ(json["displayMode"], "Miroir actif");
    EXPECT_FALSE(json.contains("latencyP95Ms"));
    EXPECT_EQ(json["localAddresses"], nlohmann::json({"192.0.2.7"}));

    // "Bureau" when user-dirs.dirs says so.
    std::filesystem::create_directories(desktop / "config");
    std::filesystem::create_directories(desktop / "Bureau");
    std::ofstream(desktop / "config" / "user-dirs.dirs") << "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n";
    EXPECT_EQ(exportNow().rfind("Diagnostic exporté: " + home + "/Bureau/", 0), 0u);
    if (oldHome != nullptr) {
        ::setenv("HOME", oldHome, 1);
    }
    ::unsetenv("XDG_CONFIG_HOME");
}

TEST_F(DiagnosticsExport, TheFileHoldsTheSessionSamplesInArrivalOrder) {
    harness = std::make_unique<ServerHarness>(0, transport);
    ASSERT_TRUE(harness->startAndSettle());
    auto client = transport->lastListener()->connectClient();
    ASSERT_TRUE(harness->waitForStatus("Connecté"));
    client->deliver(
        R"({"kind":"viewport","sentAt":1,"phase":"","x":0,"y":0,"dx":0,"dy":0,"viewportWidth":1179.9,"viewportHeight":2556.4})"
        "\n");
    for (int latency : {30, 10, 20}) {
        client->deliver(
            R"({"kind":"stats","sentAt":1,"phase":"","x":0,"y":0,"dx":0,"dy":0,"latencyMs":)" +
            std::to_string(latency) +
            R"(,"displayedFPS":9})"
            "\n");
    }
    // The status hop can overtake the rest of the work-queue task that
    // posted it: let that task finish before moving the clock.
    harness->server->runOnWorkQueueForTesting([] {});
    harness->clock->advance(42.4);
    ASSERT_TRUE(harness->mainQueue->drainUntil(
        [&] { return harness->state().clientStats() == "20 ms · 9 FPS iPhone"; }));
    const std::string folder = desktop.string();
    // Route the export to the test folder through HOME.
    ::setenv("HOME", folder.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (folder + "/none").c_str(), 1);
    std::filesystem::create_directories(desktop / "Desktop");
    exportNow();
    ::unsetenv("XDG_CONFIG_HOME");
    const auto json = readExport();
    EXPECT_EQ(json["latencySamplesMs"], nlohmann::json({30, 10, 20}));
    EXPECT_EQ(json["latencyP50Ms"], 20);
    EXPECT_EQ(json["displayedFPSMedian"], 9);
    EXPECT_EQ(json["clientViewportPixels"], nlohmann::json({{"width", 1179}, {"height", 2556}}));
    EXPECT_EQ(json["durationSeconds"], 42);
    EXPECT_GE(json["sentFrames"].get<int>(), 0);
    // Two exports within the same second leave one file.
    exportNow();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(desktop / "Desktop"),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(DiagnosticsExport, AMissingDesktopFolderFailsAndChangesNothingElse) {
    const std::string folder = (desktop / "nowhere").string();
    ::setenv("HOME", folder.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (folder + "/none").c_str(), 1);
    const auto line = exportNow();
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(line.rfind("Export diagnostic échoué: dossier introuvable", 0), 0u) << line;
    EXPECT_EQ(harness->state().status(), line);
    EXPECT_EQ(harness->state().diagnosticsExportPath(), "");
    EXPECT_EQ(harness->state().connectionName(), "Aucun iPhone");
    EXPECT_FALSE(std::filesystem::exists(desktop / "nowhere"));
}
