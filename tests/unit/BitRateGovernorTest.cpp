// The quantizer of each frame, against a model encoder whose frames halve
// with every 6 steps: the stream keeps to its bit rate whatever the content.

#include "capture/BitRateGovernor.h"

#include <cmath>
#include <gtest/gtest.h>

namespace quorvi {
namespace {

TEST(BitRateGovernor, KeepsTheAverageBitRateForEveryKindOfContent) {
    constexpr std::int64_t kBitRate = 8'000'000;
    constexpr std::int64_t kAllMacroblocks = 9000;
    const struct {
        const char* name;
        double complexity;               // bits a changed macroblock at quantizer 0
        std::int64_t changedMacroblocks; // in each frame that is not a repeat
        int repeatsBetween;              // frames sent without the encoder
        bool canSpendTheBudget;          // the content is rich enough to fill it
    } rows[] = {
        {"busy full screen", 5000, kAllMacroblocks, 0, true},
        {"plain full screen", 1500, kAllMacroblocks, 0, true},
        {"video in a page", 20000, 289, 0, true},
        {"typing", 5000, 4, 3, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        BitRateGovernor governor(kBitRate, 30);
        double bits = 0;
        int quantizer = 0;
        for (int frame = 0; frame < 600; ++frame) {
            const bool isKeyFrame = frame % 60 == 0;
            if (!isKeyFrame && frame % (row.repeatsBetween + 1) != 0) {
                governor.repeated(11);
                bits += 88;
                continue;
            }
            const std::int64_t changed = isKeyFrame ? kAllMacroblocks : row.changedMacroblocks;
            quantizer = governor.quantizer(changed, isKeyFrame);
            ASSERT_GE(quantizer, BitRateGovernor::kFinest);
            ASSERT_LE(quantizer, BitRateGovernor::kCoarsest);
            const double frameBits =
                row.complexity * (isKeyFrame ? 4 : 1) * changed * std::exp2(-quantizer / 6.0);
            governor.coded(static_cast<std::size_t>(frameBits / 8), changed, isKeyFrame, quantizer);
            bits += frameBits;
        }
        const double bitRate = bits / 20;
        EXPECT_LT(bitRate, kBitRate * 1.15);
        if (row.canSpendTheBudget) {
            EXPECT_GT(bitRate, kBitRate * 0.85);
        } else {
            EXPECT_EQ(quantizer, BitRateGovernor::kFinest) << "the best it can do";
        }
    }
}

TEST(BitRateGovernor, AFullChangeAfterAStillSpellIsNotCodedAtTheStillQuantizer) {
    BitRateGovernor governor(8'000'000, 30);
    for (int frame = 0; frame < 90; ++frame) {
        const int quantizer = governor.quantizer(4, false);
        governor.coded(static_cast<std::size_t>(40000 * 4 * std::exp2(-quantizer / 6.0) / 8), 4,
                       false, quantizer);
    }
    const int quantizer = governor.quantizer(9000, false);
    // A second's credit at most: the frame fits in two seconds' budget.
    EXPECT_LT(40000 * 9000 * std::exp2(-quantizer / 6.0), 2 * 8'000'000);
}

} // namespace
} // namespace quorvi
