#include "capture/BitRateGovernor.h"

#include <algorithm>
#include <cmath>

namespace quorvi {

namespace {

// How much a new frame's measure counts against what was learnt.
constexpr double kLearning = 0.4;
// How much finer than the frames around it a key frame is coded, budget
// permitting: they all predict from it.
constexpr double kKeyFrameFiner = 2;

// The quantizer that makes that many bits of that much content.
double quantizerFor(double complexity, double macroblocks, double bits) {
    return 6 * std::log2(std::max(complexity * macroblocks, 1.0) / std::max(bits, 1.0));
}

} // namespace

BitRateGovernor::BitRateGovernor(std::int64_t bitsPerSecond, std::int64_t framesPerSecond)
    : budgetPerFrame_(static_cast<double>(std::max<std::int64_t>(bitsPerSecond, 1)) /
                      static_cast<double>(std::max<std::int64_t>(framesPerSecond, 1))),
      budgetPerSecond_(static_cast<double>(std::max<std::int64_t>(bitsPerSecond, 1))),
      framesPerSecond_(static_cast<double>(std::max<std::int64_t>(framesPerSecond, 1))) {}

int BitRateGovernor::quantizer(std::int64_t changedMacroblocks, bool isKeyFrame) const {
    const double macroblocks = static_cast<double>(std::max<std::int64_t>(changedMacroblocks, 1));
    double chosen = 0;
    if (isKeyFrame) {
        chosen = std::max(quantizerFor(intraComplexity_, macroblocks, budgetPerSecond_ / 2),
                          lastInterQuantizer_ - kKeyFrameFiner);
    } else {
        // This frame's share, minus a second's share of the debt (or plus
        // the credit).
        const double allowed =
            std::max(budgetPerFrame_ - owed_ / framesPerSecond_, budgetPerFrame_ / 4);
        chosen = quantizerFor(interComplexity_, macroblocks, allowed);
    }
    return std::clamp(static_cast<int>(std::lround(chosen)), kFinest, kCoarsest);
}

void BitRateGovernor::coded(std::size_t bytes, std::int64_t changedMacroblocks, bool isKeyFrame,
                            int quantizer) {
    const double bits = static_cast<double>(bytes) * 8;
    const double macroblocks = static_cast<double>(std::max<std::int64_t>(changedMacroblocks, 1));
    const double measured = bits * std::exp2(quantizer / 6.0) / macroblocks;
    double& complexity = isKeyFrame ? intraComplexity_ : interComplexity_;
    complexity += kLearning * (measured - complexity);
    if (!isKeyFrame) {
        lastInterQuantizer_ = quantizer;
    }
    spend(bits);
}

void BitRateGovernor::repeated(std::size_t bytes) {
    spend(static_cast<double>(bytes) * 8);
}

void BitRateGovernor::spend(double bits) {
    owed_ = std::max(owed_ + bits - budgetPerFrame_, -budgetPerSecond_);
}

} // namespace quorvi
