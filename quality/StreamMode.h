#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvi {

enum class StreamMode { economy, balanced, fluid, highFrameRate, automatic };

inline constexpr std::array<StreamMode, 5> kAllStreamModes = {
    StreamMode::economy, StreamMode::balanced, StreamMode::fluid, StreamMode::highFrameRate,
    StreamMode::automatic};

// The persisted form ("economy", …, "auto").
std::string_view rawValue(StreamMode mode);
std::optional<StreamMode> streamModeFromRawValue(std::string_view raw);
// The display title ("Économie", "Défaut", "Fluide", "30 FPS", "Auto").
std::string_view title(StreamMode mode);

struct StreamEncodingSettings {
    std::int64_t maxWidth = 1920;
    double jpegQuality = 0.78;
    std::int64_t fps = 10;
    std::optional<std::int64_t> targetWidth;

    bool operator==(const StreamEncodingSettings&) const = default;
};

struct StreamPreset {
    std::int64_t fps = 10;
    StreamEncodingSettings settings;
    std::string label = "10 FPS · bonne qualité";

    bool operator==(const StreamPreset&) const = default;
};

// The preset table; for automatic the level is clamped to 0..3.
StreamPreset resolvedPreset(StreamMode mode, std::int64_t autoLevel);

} // namespace quorvi
