#include "quality/Diagnostics.h"

#include "platform/DesktopFolder.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

using namespace quorvi;

TEST(Percentile, PicksAnElementWithoutInterpolating) {
    EXPECT_FALSE(percentile({}, 0.5));
    EXPECT_EQ(percentile({48}, 0.5), 48);
    EXPECT_EQ(percentile({48}, 0.95), 48);
    EXPECT_EQ(percentile({10, 20, 30, 40}, 0.5), 30);  // index round(1.5) = 2
    EXPECT_EQ(percentile({10, 20, 30, 40}, 0.05), 10); // index 0
    EXPECT_EQ(percentile({10, 20, 30, 40}, 0.95), 40); // index round(2.85) = 3
    EXPECT_EQ(percentile({30, 10, 20}, 0.5), 20);
    std::vector<std::int64_t> ten{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(percentile(ten, 0.95), 10); // round(8.55) = 9
    EXPECT_EQ(percentile(ten, 0.5), 6);   // round(4.5) = 5, the upper middle
    EXPECT_EQ(percentile(ten, 0.05), 1);
    EXPECT_EQ(percentile(ten, 7), 10);
    EXPECT_EQ(percentile(ten, -1), 1);
    EXPECT_EQ(percentile(ten, std::numeric_limits<double>::quiet_NaN()), 1);
}

TEST(DiagnosticsValues, SizesTruncateAndDurationsRound) {
    EXPECT_EQ(diagnosticsSize(1179.9, 2556.4), (DiagnosticsSize{1179, 2556}));
    EXPECT_EQ(diagnosticsSize(std::numeric_limits<double>::infinity(), -0.5),
              (DiagnosticsSize{0, 0}));
    EXPECT_EQ(durationSeconds(100, 100), 0);
    EXPECT_EQ(durationSeconds(100, 142.5), 43);
    EXPECT_EQ(durationSeconds(100, 142.49), 42);
    EXPECT_EQ(durationSeconds(100, 90), 0);
    EXPECT_EQ(internetDateTime(1764947438.7), "2025-12-05T15:10:38Z");
}

TEST(DiagnosticsSummary, ShowsZerosForMissingFigures) {
    SessionDiagnosticsSnapshot snapshot;
    EXPECT_EQ(diagnosticsSummaryText(snapshot), "0s · 0 frames · FPS médian 0 · latence p95 0 ms");
    snapshot.durationSeconds = 42;
    snapshot.sentFrames = 380;
    snapshot.displayedFPSMedian = 14;
    snapshot.latencyP95Ms = 61;
    EXPECT_EQ(diagnosticsSummaryText(snapshot),
              "42s · 380 frames · FPS médian 14 · latence p95 61 ms");
}

TEST(DiagnosticsFile, IsSortedPrettyJsonWithoutAbsentKeys) {
    SessionDiagnosticsSnapshot snapshot;
    snapshot.latencySamplesMs = {30, 10, 20};
    snapshot.clientViewportPixels = diagnosticsSize(1179.9, 2556.4);
    snapshot.displayMode = "Étendu actif";
    const std::string text = encodeDiagnosticsJSON(snapshot);
    const auto json = nlohmann::json::parse(text);
    EXPECT_FALSE(json.contains("latencyP50Ms"));
    EXPECT_FALSE(json.contains("displayedFPSLowP05"));
    EXPECT_EQ(json["latencySamplesMs"], nlohmann::json({30, 10, 20}));
    EXPECT_EQ(json["clientViewportPixels"]["width"], 1179);
    EXPECT_EQ(json["clientViewportPixels"]["height"], 2556);
    EXPECT_EQ(json.size(), 20u);
    // Pretty: one member per line; sorted: keys appear in ascending order.
    EXPECT_NE(text.find("\n  \"appVersion\": "), std::string::npos);
    EXPECT_LT(text.find("\"appVersion\""), text.find("\"bundleIdentifier\""));
    EXPECT_LT(text.find("\"displayMode\""), text.find("\"displayModeDetail\""));
    EXPECT_LT(text.find("\"startedAt\""), text.find("\"streamMode\""));
    EXPECT_EQ(text.find("null"), std::string::npos);
    snapshot.latencyP50Ms = 20;
    EXPECT_TRUE(nlohmann::json::parse(encodeDiagnosticsJSON(snapshot)).contains("latencyP50Ms"));
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
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "second");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1);
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
