// The session's figures, the diagnostics summary and the exported file.
#include "quality/Diagnostics.h"

#include "fakes/FakeTransport.h"
#include "fakes/ServerHarness.h"
#include "platform/DesktopFolder.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

using namespace quorvi;
using nlohmann::json;
using quorvi::testing::FakeTransport;
using quorvi::testing::ServerHarness;

TEST(DiagnosticsFigures, PercentilesSizesDurationsAndSummary) {
    // The export test sees the rank rule at work; these are the edges.
    EXPECT_FALSE(percentile({}, 0.5));
    EXPECT_EQ(percentile({48}, 0.95), 48);
    EXPECT_EQ(percentile({3, 1, 2}, 7), 3);
    EXPECT_EQ(percentile({3, 1, 2}, -1), 1);
    EXPECT_EQ(percentile({3, 1, 2}, std::numeric_limits<double>::quiet_NaN()), 1);

    EXPECT_EQ(diagnosticsSize(1179.9, 2556.4), (DiagnosticsSize{1179, 2556}));
    EXPECT_EQ(diagnosticsSize(std::numeric_limits<double>::infinity(), -0.5),
              (DiagnosticsSize{0, 0}));
    EXPECT_EQ(durationSeconds(100, 142.5), 43);
    EXPECT_EQ(durationSeconds(100, 142.49), 42);
    EXPECT_EQ(durationSeconds(100, 90), 0);
    EXPECT_EQ(internetDateTime(1764947438.7), "2025-12-05T15:10:38Z");

    // Missing figures show as 0.
    EXPECT_EQ(diagnosticsSummaryText({}), "0s · 0 frames · FPS médian 0 · latence p95 0 ms");
}

TEST(DesktopFolderRule, FollowsUserDirsThenFallsBackToDesktop) {
    EXPECT_EQ(desktopFolderFrom("/home/lea", ""), "/home/lea/Desktop");
    EXPECT_EQ(desktopFolderFrom("/home/lea", "# comment\nXDG_DESKTOP_DIR=\"$HOME/Bureau\"\n"),
              "/home/lea/Bureau");
    EXPECT_EQ(desktopFolderFrom("/home/lea", "XDG_DESKTOP_DIR=\"/data/bureau\"\n"), "/data/bureau");
    EXPECT_EQ(desktopFolderFrom("/home/lea", "XDG_DOWNLOAD_DIR=\"$HOME/T\"\n"),
              "/home/lea/Desktop");
    EXPECT_FALSE(desktopFolderFrom("", ""));
}

TEST(AtomicWrite, ReplacesTheTargetAndLeavesNothingBehindOnFailure) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("quorvi-atomic-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto target = (folder / "file.json").string();
    EXPECT_EQ(writeFileAtomically(target, "first"), "");
    EXPECT_EQ(writeFileAtomically(target, "second"), "");
    std::ifstream file(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "second");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
    // A missing folder is not created.
    EXPECT_EQ(writeFileAtomically((folder / "absent" / "file.json").string(), "x")
                  .rfind("dossier introuvable", 0),
              0u);
    EXPECT_FALSE(std::filesystem::exists(folder / "absent"));
    if (::geteuid() != 0) { // root writes anywhere
        ::chmod(folder.c_str(), 0555);
        EXPECT_EQ(writeFileAtomically(target, "third").rfind("permission refusée", 0), 0u);
        ::chmod(folder.c_str(), 0755);
    }
    std::filesystem::remove_all(folder);
}

namespace {

// The export goes to the desktop folder found from HOME: this points HOME
// and the user-dirs lookup at a test folder, and puts both back afterwards.
class HomeFolder {
public:
    explicit HomeFolder(const std::filesystem::path& home) {
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    }
    ~HomeFolder() {
        restore("HOME", home_);
        restore("XDG_CONFIG_HOME", config_);
    }

private:
    static std::optional<std::string> read(const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    }
    static void restore(const char* name, const std::optional<std::string>& value) {
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    std::optional<std::string> home_ = read("HOME"), config_ = read("XDG_CONFIG_HOME");
};

struct DiagnosticsExport : ::testing::Test {
    std::filesystem::path home =
        std::filesystem::temp_directory_path() / ("quorvi-home-" + std::to_string(::getpid()));
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    std::unique_ptr<ServerHarness> harness = std::make_unique<ServerHarness>(0, transport);

    void SetUp() override {
        std::filesystem::remove_all(home);
        std::filesystem::create_directories(home / "Desktop");
    }
    void TearDown() override {
        harness.reset();
        std::filesystem::remove_all(home);
    }

    // Exports and waits for the journal line of the result.
    std::string exportNow() {
        const auto before = harness->state().logs().size();
        harness->server->exportDiagnostics();
        harness->mainQueue->drainUntil([&] { return harness->state().logs().size() > before; });
        return harness->state().logs().front();
    }

    std::string exportedText() {
        std::ifstream file(harness->state().diagnosticsExportPath());
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
};

} // namespace

TEST_F(DiagnosticsExport, EveryFieldOfASessionReadsBack) {
    harness = std::make_unique<ServerHarness>(0, transport, [](InMemoryUserDefaults& store) {
        store.setString("quorviMac.streamMode", "fluid");
    });
    harness->grants->setAccessibility(false);
    harness->windowList->setWindows({{1, "Terminal", 4243, false}, {2, "Firefox", 4242, false}});
    *harness->addresses = {"192.0.2.7", "198.51.100.4"};
    ASSERT_TRUE(harness->startAndSettle());
    // The start publishes what the file will say, and journals the probe.
    EXPECT_EQ(harness->state().permissionSummary(), "Screen OK · Accessibility manquant");
    EXPECT_EQ(harness->state().localAddresses(),
              (std::vector<std::string>{"192.0.2.7", "198.51.100.4"}));
    EXPECT_EQ(harness->state().captureVisibilitySummary(), "2 fenêtres · Firefox, Terminal");
    EXPECT_TRUE(harness->journalHas("Capture visibilité: Firefox, Terminal"));
    EXPECT_EQ(harness->state().diagnosticsSummary(), "Aucune session mesurée");
    harness->clock->advance(10);
    auto client = transport->lastListener()->connectClient(/*holdSends=*/true);
    // One frame goes out and completes; the next one then stays in flight.
    ASSERT_TRUE(harness->mainQueue->drainUntil([&] { return client->sentMessages().size() == 1; }));
    client->completeHeldSends();
    ASSERT_TRUE(harness->mainQueue->drainUntil([&] { return harness->state().sentFrames() == 1; }));
    const std::string frame = R"("sentAt":1,"phase":"tap","x":0.5,"y":0.5,"dx":0,"dy":0)";
    std::string lines = R"({"kind":"viewport","sentAt":1,"phase":"","x":0,"y":0,"dx":0,"dy":0,)"
                        R"("viewportWidth":1179.9,"viewportHeight":2556.4})"
                        "\n{" +
                        frame + "}\n{" + frame + "}\n";
    for (const auto& [latency, displayed] : {std::pair{30, 9}, {10, 12}, {20, 8}, {90, 11}}) {
        lines += R"({"kind":"stats",)" + frame + ",\"latencyMs\":" + std::to_string(latency) +
                 ",\"displayedFPS\":" + std::to_string(displayed) + "}\n";
    }
    client->deliver(lines);
    ASSERT_TRUE(harness->mainQueue->drainUntil(
        [&] { return harness->state().clientStats() == "90 ms · 11 FPS iPhone"; }));
    EXPECT_EQ(harness->state().diagnosticsSummary(),
              "0s · 1 frames · FPS médian 11 · latence p95 90 ms");
    harness->clock->advance(42.4);
    HomeFolder homeFolder(home);
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

TEST_F(DiagnosticsExport, BeforeAnySessionTheFileDescribesAnEmptySession) {
    HomeFolder homeFolder(home);
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
    std::ofstream(home / "config" / "user-dirs.dirs") << "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n";
    EXPECT_EQ(exportNow().rfind("Diagnostic exporté: " + home.string() + "/Bureau/", 0), 0u);
}

TEST_F(DiagnosticsExport, AMissingDesktopFolderFailsAndChangesNothingElse) {
    HomeFolder homeFolder(home / "nowhere");
    const auto line = exportNow();
    EXPECT_EQ(line.rfind("Export diagnostic échoué: dossier introuvable", 0), 0u) << line;
    EXPECT_EQ(harness->state().status(), line);
    EXPECT_EQ(harness->state().diagnosticsExportPath(), "");
    EXPECT_EQ(harness->state().connectionName(), "Aucun iPhone");
    EXPECT_FALSE(std::filesystem::exists(home / "nowhere"));
}
