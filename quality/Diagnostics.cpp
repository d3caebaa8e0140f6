#include "quality/Diagnostics.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>

namespace quorvi {

std::optional<std::int64_t> percentile(std::vector<std::int64_t> values, double p) {
    if (values.empty()) {
        return std::nullopt;
    }
    const double position = std::round(static_cast<double>(values.size() - 1) * p);
    const double last = static_cast<double>(values.size() - 1);
    // NaN compares false both ways: it lands on 0 like a negative p.
    const double clamped = position > 0 ? std::min(position, last) : 0.0;
    // Only one element of the sorted order is wanted: a selection gives it
    // in linear time, where a sort of 7200 samples after every message
    // would not.
    const auto index = static_cast<std::ptrdiff_t>(clamped);
    std::nth_element(values.begin(), values.begin() + index, values.end());
    return values[static_cast<std::size_t>(index)];
}

DiagnosticsSize diagnosticsSize(double width, double height) {
    auto side = [](double value) -> std::int64_t {
        if (!std::isfinite(value) || value >= 0x1p63 || value < -0x1p63) {
            return 0;
        }
        return static_cast<std::int64_t>(std::trunc(value));
    };
    return {side(width), side(height)};
}

std::string internetDateTime(double secondsSince1970) {
    const auto seconds = static_cast<std::time_t>(std::floor(secondsSince1970));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::int64_t durationSeconds(double startedAt, double now) {
    const double rounded = std::round(now - startedAt);
    if (!(rounded > 0)) {
        return 0;
    }
    return rounded >= 0x1p63 ? INT64_MAX : static_cast<std::int64_t>(rounded);
}

std::string diagnosticsSummaryText(const SessionDiagnosticsSnapshot& snapshot) {
    return std::to_string(snapshot.durationSeconds) + "s · " + std::to_string(snapshot.sentFrames) +
           " frames · FPS médian " + std::to_string(snapshot.displayedFPSMedian.value_or(0)) +
           " · latence p95 " + std::to_string(snapshot.latencyP95Ms.value_or(0)) + " ms";
}

std::string encodeDiagnosticsJSON(const SessionDiagnosticsSnapshot& s) {
    // nlohmann's default object is a std::map: keys come out in ascending
    // byte order, which is the fixed order the file promises.
    auto size = [](const DiagnosticsSize& value) {
        return nlohmann::json{{"width", value.width}, {"height", value.height}};
    };
    nlohmann::json json = {
        {"exportedAt", s.exportedAt},
        {"startedAt", s.startedAt},
        {"durationSeconds", s.durationSeconds},
        {"appVersion", s.appVersion},
        {"bundleIdentifier", s.bundleIdentifier},
        {"mode", s.mode},
        {"displayMode", s.displayMode},
        {"displayModeDetail", s.displayModeDetail},
        {"streamMode", s.streamMode},
        {"targetFPS", s.targetFPS},
        {"streamQuality", s.streamQuality},
        {"clientViewportPixels", size(s.clientViewportPixels)},
        {"extendedDisplayPoints", size(s.extendedDisplayPoints)},
        {"permissionSummary", s.permissionSummary},
        {"captureVisibilitySummary", s.captureVisibilitySummary},
        {"localAddresses", s.localAddresses},
        {"sentFrames", s.sentFrames},
        {"inputEvents", s.inputEvents},
        {"latencySamplesMs", s.latencySamplesMs},
        {"displayedFPSSamples", s.displayedFPSSamples},
    };
    auto optional = [&json](const char* key, const std::optional<std::int64_t>& value) {
        if (value) {
            json[key] = *value;
        }
    };
    optional("latencyP50Ms", s.latencyP50Ms);
    optional("latencyP95Ms", s.latencyP95Ms);
    optional("displayedFPSMedian", s.displayedFPSMedian);
    optional("displayedFPSLowP05", s.displayedFPSLowP05);
    // Texts come from window titles and the like: replace invalid UTF-8
    // rather than refuse to write the file.
    return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string diagnosticsFileName(double secondsSince1970) {
    const auto seconds = static_cast<std::time_t>(std::floor(secondsSince1970));
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    std::strftime(text, sizeof text, "QuorviDiagnostics-%Y%m%d-%H%M%S.json", &local);
    return text;
}

} // namespace quorvi
