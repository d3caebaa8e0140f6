// The stream presets and the automatic quality's rules (ServerSessionTest
// sees the server apply them to a session).
#include "quality/AutoQuality.h"

#include "quality/StreamQuality.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <tuple>

using namespace quorvi;

TEST(StreamPresets, EveryModeAndLevel) {
    using M = StreamMode;
    // Mode, level, raw value, title, then the preset: rate, width, quality, label.
    const std::tuple<M, int, const char*, const char*, int, int, double, const char*> rows[] = {
        {M::economy, 2, "economy", "Économie", 5, 1280, 0.66, "5 FPS · économie réseau"},
        {M::balanced, 0, "balanced", "Défaut", 10, 1920, 0.78, "10 FPS · bonne qualité"},
        {M::fluid, 0, "fluid", "Fluide", 15, 1920, 0.82, "15 FPS · qualité fluide"},
        {M::highFrameRate, 0, "highFrameRate", "30 FPS", 30, 1920, 0.84, "30 FPS · vidéo fluide"},
        {M::automatic, -4, "auto", "Auto", 5, 1280, 0.66, "Auto bas · 5 FPS"},
        {M::automatic, 1, "auto", "Auto", 10, 1920, 0.78, "Auto moyen · 10 FPS"},
        {M::automatic, 2, "auto", "Auto", 15, 1920, 0.82, "Auto haut · 15 FPS"},
        {M::automatic, 99, "auto", "Auto", 30, 1920, 0.84, "Auto maximal · 30 FPS"},
    };
    for (const auto& [mode, level, raw, name, fps, maxWidth, quality, label] : rows) {
        SCOPED_TRACE(label);
        EXPECT_EQ(resolvedPreset(mode, level),
                  (StreamPreset{fps, {maxWidth, quality, fps, {}}, label}));
        EXPECT_EQ(rawValue(mode), raw);
        EXPECT_EQ(streamModeFromRawValue(raw), mode);
        EXPECT_EQ(title(mode), name);
    }
    EXPECT_FALSE(streamModeFromRawValue("Auto") || streamModeFromRawValue(""));
}

TEST(AutoQualityRules, BoundaryRowsOfEveryLevel) {
    // The level after each probe, for levels 0 to 3: first a latency of 221,
    // 220 (severe above), 121, 120 (high above), 70 and 69 ms (low enough to
    // climb) at the full preset rate F; then, without latency, a displayed
    // rate of max(F − 6, 1) − 1, max(F − 6, 1), F − 4, F − 3, F − 2 and F − 1.
    const std::int64_t next[4][12] = {{0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 0, 1},
                                      {0, 1, 1, 1, 1, 2, 0, 1, 1, 1, 1, 2},
                                      {1, 1, 1, 2, 2, 3, 1, 1, 1, 2, 2, 3},
                                      {2, 2, 2, 3, 3, 3, 2, 2, 2, 3, 3, 3}};
    for (std::int64_t level = 0; level <= 3; ++level) {
        const std::int64_t F = resolvedPreset(StreamMode::automatic, level).fps;
        const std::int64_t floor = std::max<std::int64_t>(F - 6, 1);
        const std::int64_t latency[] = {221, 220, 121, 120, 70, 69, 0, 0, 0, 0, 0, 0};
        const std::int64_t shown[] = {F,         F,     F,     F,     F,     F,
                                      floor - 1, floor, F - 4, F - 3, F - 2, F - 1};
        for (int i = 0; i < 12; ++i) {
            EXPECT_EQ(nextAutoLevel(level, F, latency[i], shown[i]), next[level][i])
                << "level " << level << ", L " << latency[i] << ", D " << shown[i];
        }
    }
}

TEST(StreamTargetWidth, FollowsTheViewportWithinItsBounds) {
    const auto balanced = resolvedPreset(StreamMode::balanced, 2).settings;
    const auto economy = resolvedPreset(StreamMode::economy, 2).settings;
    // Settings, viewport, then the width asked for.
    const std::tuple<StreamEncodingSettings, ViewportPixels, std::optional<std::int64_t>> cases[] =
        {{balanced, {1170, 2532}, 1920},       {economy, {1170, 2532}, 1280},
         {balanced, {500, 300}, 640},          {balanced, {845.4, 300}, 846},
         {balanced, {0.4, 0.3}, std::nullopt}, {balanced, {843.5, 0}, 844},
         {balanced, {1e300, 1}, std::nullopt}};
    for (const auto& [settings, viewport, width] : cases) {
        EXPECT_EQ(streamTargetWidth(settings, viewport), width)
            << viewport.width << "x" << viewport.height;
    }
}
