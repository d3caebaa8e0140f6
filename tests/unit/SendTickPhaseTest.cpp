#include "platform/SendTickPhase.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using quorvi::SendTickPhase;

TEST(SendTickPhase, GivesTheNextTickOfTheSendGridAtAboutTheSameRate) {
    const SendTickPhase::Clock::time_point origin{1000s};
    SendTickPhase::publish(origin, 33ms);
    // A capture at 1/30 s follows the 33 ms grid.
    EXPECT_EQ(SendTickPhase::nextTickAfter(origin + 10ms, 33'333'333ns), origin + 33ms);
    EXPECT_EQ(SendTickPhase::nextTickAfter(origin + 33ms, 33'333'333ns), origin + 66ms);
    EXPECT_EQ(SendTickPhase::nextTickAfter(origin - 5ms, 33'333'333ns), origin);
    // Another rate: no phase to follow.
    EXPECT_FALSE(SendTickPhase::nextTickAfter(origin + 10ms, 66'666'666ns));
    SendTickPhase::clear();
    EXPECT_FALSE(SendTickPhase::nextTickAfter(origin + 10ms, 33'333'333ns));
}
