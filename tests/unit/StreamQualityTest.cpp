#include "quality/StreamQuality.h"

#include <gtest/gtest.h>
#include <limits>

using namespace quorvi;

TEST(StreamPresets, TheTableAndItsAutomaticLevels) {
    EXPECT_EQ(resolvedPreset(StreamMode::economy, 2).label, "5 FPS · économie réseau");
    EXPECT_EQ(resolvedPreset(StreamMode::economy, 2).settings.maxWidth, 1280);
    EXPECT_EQ(resolvedPreset(StreamMode::fluid, 0).settings.jpegQuality, 0.82);
    EXPECT_EQ(resolvedPreset(StreamMode::highFrameRate, 0).fps, 30);
    EXPECT_EQ(resolvedPreset(StreamMode::automatic, -4).label, "Auto bas · 5 FPS");
    EXPECT_EQ(resolvedPreset(StreamMode::automatic, 1).label, "Auto moyen · 10 FPS");
    EXPECT_EQ(resolvedPreset(StreamMode::automatic, 3).label, "Auto maximal · 30 FPS");
    EXPECT_EQ(resolvedPreset(StreamMode::automatic, 99).fps, 30);
    for (StreamMode mode : kAllStreamModes) {
        for (std::int64_t level = 0; level <= 3; ++level) {
            const auto preset = resolvedPreset(mode, level);
            EXPECT_EQ(preset.settings.fps, preset.fps);
            EXPECT_FALSE(preset.settings.targetWidth);
        }
    }
    // The automatic levels carry the fixed modes' numbers, only the labels differ.
    const StreamMode fixed[] = {StreamMode::economy, StreamMode::balanced, StreamMode::fluid,
                                StreamMode::highFrameRate};
    for (std::int64_t level = 0; level <= 3; ++level) {
        EXPECT_EQ(resolvedPreset(StreamMode::automatic, level).settings,
                  resolvedPreset(fixed[level], 0).settings);
    }
}

TEST(StreamPresets, RawValuesRoundTripAndUnknownOnesGiveNoMode) {
    for (StreamMode mode : kAllStreamModes) {
        EXPECT_EQ(streamModeFromRawValue(rawValue(mode)), mode);
    }
    EXPECT_EQ(rawValue(StreamMode::automatic), "auto");
    EXPECT_FALSE(streamModeFromRawValue("Auto"));
    EXPECT_FALSE(streamModeFromRawValue(""));
}

TEST(StreamTargetWidth, FollowsTheViewportWithinItsBounds) {
    const auto balanced = resolvedPreset(StreamMode::balanced, 2).settings;
    const auto economy = resolvedPreset(StreamMode::economy, 2).settings;
    struct Case {
        StreamEncodingSettings settings;
        ViewportPixels viewport;
        std::optional<std::int64_t> width;
    };
    const Case cases[] = {
        {balanced, {0, 0}, std::nullopt},
        {balanced, {1170, 2532}, 1920},
        {economy, {1170, 2532}, 1280},
        {balanced, {500, 300}, 640},
        {balanced, {845.4, 300}, 846},
        {balanced, {0.4, 0.3}, std::nullopt},
        {balanced, {844, 390}, 844},
        {balanced, {843.5, 0}, 844}, // halves away from zero
        {balanced, {std::numeric_limits<double>::infinity(), 1}, std::nullopt},
        {balanced, {std::numeric_limits<double>::quiet_NaN(), 1}, std::nullopt},
        {balanced, {1, std::numeric_limits<double>::quiet_NaN()}, std::nullopt},
        {balanced, {1e300, 1}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(streamTargetWidth(c.settings, c.viewport), c.width)
            << c.viewport.width << "x" << c.viewport.height;
    }
}

TEST(StreamQualityLabel, ShowsTheOutputWidthOnlyWhenOneApplies) {
    const auto balanced = resolvedPreset(StreamMode::balanced, 2);
    EXPECT_EQ(streamQualityLabel(balanced, {0, 0}), "10 FPS · bonne qualité");
    EXPECT_EQ(streamQualityLabel(balanced, {844, 390}), "10 FPS · bonne qualité · sortie 844px");
    EXPECT_EQ(streamQualityLabel(balanced, {1170, 2532}), "10 FPS · bonne qualité · sortie 1920px");
}

TEST(StreamModeJournal, NamesTheModeAndItsPreset) {
    EXPECT_EQ(streamModeJournalLine(StreamMode::fluid, resolvedPreset(StreamMode::fluid, 2)),
              "Mode flux: Fluide · 15 FPS · qualité fluide");
    EXPECT_EQ(
        streamModeJournalLine(StreamMode::automatic, resolvedPreset(StreamMode::automatic, 2)),
        "Mode flux: Auto · Auto haut · 15 FPS");
}

TEST(FramePeriod, IsTheIntegerPeriodOfTheRateAndNeverZero) {
    EXPECT_EQ(framePeriodMilliseconds(5), 200);
    EXPECT_EQ(framePeriodMilliseconds(10), 100);
    EXPECT_EQ(framePeriodMilliseconds(15), 66);
    EXPECT_EQ(framePeriodMilliseconds(30), 33);
    EXPECT_EQ(framePeriodMilliseconds(1001), 1);
    EXPECT_EQ(framePeriodMilliseconds(0), 1000);
    EXPECT_EQ(framePeriodMilliseconds(-5), 1000);
}
