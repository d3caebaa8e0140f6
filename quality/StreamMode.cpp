#include "quality/StreamMode.h"

#include <algorithm>

namespace quorvi {

std::string_view rawValue(StreamMode mode) {
    switch (mode) {
    case StreamMode::economy:
        return "economy";
    case StreamMode::balanced:
        return "balanced";
    case StreamMode::fluid:
        return "fluid";
    case StreamMode::highFrameRate:
        return "highFrameRate";
    case StreamMode::automatic:
        return "auto";
    }
    return "balanced";
}

std::optional<StreamMode> streamModeFromRawValue(std::string_view raw) {
    for (StreamMode mode : kAllStreamModes) {
        if (rawValue(mode) == raw) {
            return mode;
        }
    }
    return std::nullopt;
}

std::string_view title(StreamMode mode) {
    switch (mode) {
    case StreamMode::economy:
        return "Économie";
    case StreamMode::balanced:
        return "Défaut";
    case StreamMode::fluid:
        return "Fluide";
    case StreamMode::highFrameRate:
        return "30 FPS";
    case StreamMode::automatic:
        return "Auto";
    }
    return "Défaut";
}

namespace {

StreamPreset preset(std::int64_t fps, std::int64_t maxWidth, double jpegQuality,
                    std::string label) {
    return StreamPreset{fps, StreamEncodingSettings{maxWidth, jpegQuality, fps, std::nullopt},
                        std::move(label)};
}

} // namespace

StreamPreset resolvedPreset(StreamMode mode, std::int64_t autoLevel) {
    switch (mode) {
    case StreamMode::economy:
        return preset(5, 1280, 0.66, "5 FPS · économie réseau");
    case StreamMode::balanced:
        return preset(10, 1920, 0.78, "10 FPS · bonne qualité");
    case StreamMode::fluid:
        return preset(15, 1920, 0.82, "15 FPS · qualité fluide");
    case StreamMode::highFrameRate:
        return preset(30, 1920, 0.84, "30 FPS · vidéo fluide");
    case StreamMode::automatic:
        break;
    }
    switch (std::clamp<std::int64_t>(autoLevel, 0, 3)) {
    case 0:
        return preset(5, 1280, 0.66, "Auto bas · 5 FPS");
    case 1:
        return preset(10, 1920, 0.78, "Auto moyen · 10 FPS");
    case 2:
        return preset(15, 1920, 0.82, "Auto haut · 15 FPS");
    default:
        return preset(30, 1920, 0.84, "Auto maximal · 30 FPS");
    }
}

} // namespace quorvi
