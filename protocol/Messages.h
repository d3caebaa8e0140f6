#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvi {

// What the client sends: a gesture, its viewport size or its statistics.
struct InputEventMessage {
    std::string kind = "input";
    double sentAt = 0;
    std::string phase;
    double x = 0;
    double y = 0;
    double dx = 0;
    double dy = 0;
    std::optional<double> viewportWidth;
    std::optional<double> viewportHeight;
    std::optional<std::int64_t> latencyMs;
    std::optional<std::int64_t> displayedFPS;

    bool operator==(const InputEventMessage&) const = default;
};

struct CursorPoint {
    double x = 0;
    double y = 0;
    bool visible = false;
    std::optional<std::string> kind;

    bool operator==(const CursorPoint&) const = default;
};

struct WindowCard {
    std::string title;
    std::string detail;
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    std::string accentHex;

    bool operator==(const WindowCard&) const = default;
};

// What the server sends: one picture of the streamed display.
struct ScreenFrameMessage {
    std::string kind = "frame";
    std::int64_t sequence = 0;
    double sentAt = 0;
    double width = 0;
    double height = 0;
    std::string title;
    std::string subtitle;
    std::optional<std::string> imageBase64;
    std::optional<std::string> imageMimeType;
    std::optional<std::string> videoBase64;
    std::optional<std::string> videoCodec;
    std::optional<bool> isKeyFrame;
    CursorPoint cursor;
    std::vector<WindowCard> windows;

    bool operator==(const ScreenFrameMessage&) const = default;
};

} // namespace quorvi
