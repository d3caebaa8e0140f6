#include "server/FrameTimings.h"

#include <gtest/gtest.h>

namespace quorvi {
namespace {

using std::chrono::milliseconds;

TEST(FrameTimingsTest, NearestRankPercentiles) {
    FrameTimings timings;
    for (int i = 1; i <= 100; ++i) {
        timings.record(milliseconds(i), milliseconds(2 * i));
    }
    EXPECT_DOUBLE_EQ(timings.tickToSentMilliseconds(50), 50);
    EXPECT_DOUBLE_EQ(timings.tickToSentMilliseconds(99), 99);
    EXPECT_DOUBLE_EQ(timings.captureToSentMilliseconds(50), 100);
    EXPECT_DOUBLE_EQ(timings.captureToSentMilliseconds(99), 198);
    EXPECT_EQ(timings.frames(), 100u);
}

TEST(FrameTimingsTest, EmptyAndSingleSample) {
    EXPECT_DOUBLE_EQ(FrameTimings::percentile({}, 50), 0);
    EXPECT_DOUBLE_EQ(FrameTimings::percentile({7.5}, 0), 7.5);
    EXPECT_DOUBLE_EQ(FrameTimings::percentile({7.5}, 99), 7.5);
    EXPECT_DOUBLE_EQ(FrameTimings::percentile({3, 1, 2}, 50), 2);
}

TEST(FrameTimingsTest, FramesWithoutCaptureCountOnlyForTheTick) {
    FrameTimings timings;
    timings.record(milliseconds(4), std::nullopt);
    EXPECT_EQ(timings.frames(), 1u);
    EXPECT_DOUBLE_EQ(timings.captureToSentMilliseconds(50), 0);
    EXPECT_EQ(timings.summaryLine(), "tick_to_sent_ms p50=4.00 p99=4.00 capture_to_sent_ms "
                                     "p50=0.00 p99=0.00 frames=1");
}

TEST(FrameTimingsTest, KeepsOnlyTheMostRecentSamples) {
    FrameTimings timings(4);
    for (int i = 1; i <= 10; ++i) {
        timings.record(milliseconds(i), std::nullopt);
    }
    // Samples 7 to 10 remain.
    EXPECT_DOUBLE_EQ(timings.tickToSentMilliseconds(0), 7);
    EXPECT_DOUBLE_EQ(timings.tickToSentMilliseconds(100), 10);
    EXPECT_EQ(timings.frames(), 10u);
}

} // namespace
} // namespace quorvi
