#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvi {

// The value at index round((count − 1) × p) of the sorted samples, halves
// away from zero, clamped; no interpolation. Absent for no samples.
std::optional<std::int64_t> percentile(std::vector<std::int64_t> values, double p);

struct DiagnosticsSize {
    std::int64_t width = 0;
    std::int64_t height = 0;

    bool operator==(const DiagnosticsSize&) const = default;
};

// A size in pixels or points as the file shows it: each side truncated
// toward zero, and 0 for a side no integer can hold.
DiagnosticsSize diagnosticsSize(double width, double height);

// Everything the diagnostics file says about the session.
struct SessionDiagnosticsSnapshot {
    std::string exportedAt;
    std::string startedAt;
    std::int64_t durationSeconds = 0;
    std::string appVersion;
    std::string bundleIdentifier;
    std::string mode;
    std::string displayMode;
    std::string displayModeDetail;
    std::string streamMode;
    std::int64_t targetFPS = 0;
    std::string streamQuality;
    DiagnosticsSize clientViewportPixels;
    DiagnosticsSize extendedDisplayPoints;
    std::string permissionSummary;
    std::string captureVisibilitySummary;
    std::vector<std::string> localAddresses;
    std::int64_t sentFrames = 0;
    std::int64_t inputEvents = 0;
    std::vector<std::int64_t> latencySamplesMs;
    std::vector<std::int64_t> displayedFPSSamples;
    std::optional<std::int64_t> latencyP50Ms;
    std::optional<std::int64_t> latencyP95Ms;
    std::optional<std::int64_t> displayedFPSMedian;
    std::optional<std::int64_t> displayedFPSLowP05;

    bool operator==(const SessionDiagnosticsSnapshot&) const = default;
};

// ISO 8601 in UTC, whole seconds ("2026-12-05T15:10:38Z").
std::string internetDateTime(double secondsSince1970);
// Seconds from start to now, rounded halves away from zero, never below 0.
std::int64_t durationSeconds(double startedAt, double now);

// durationSeconds + "s · " + frames + " frames · FPS médian " + median +
// " · latence p95 " + p95 + " ms", missing figures shown as 0.
std::string diagnosticsSummaryText(const SessionDiagnosticsSnapshot& snapshot);

// One pretty-printed JSON object, keys in ascending byte order, absent
// optional keys left out.
std::string encodeDiagnosticsJSON(const SessionDiagnosticsSnapshot& snapshot);

// "QuorviDiagnostics-yyyyMMdd-HHmmss.json" in local time.
std::string diagnosticsFileName(double secondsSince1970);

} // namespace quorvi
