#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvi {

// Chooses the quantizer of each coded frame so that a stream keeps to its
// average bit rate. An encoder's own rate control does that too, but
// libx264's analyses a downscaled copy of every whole picture to predict its
// cost: about 1.9 ms a 1920 × 1200 frame here, a third of all the server
// spends on a page where one small area moves. The capture already knows
// how many macroblocks changed, which predicts a frame's size well enough:
//   bits ≈ complexity × changed macroblocks × 2^(−quantizer / 6)
// (H.264 halves a frame for every 6 quantizer steps), the complexity being
// learnt from the frames sent, apart for key frames and the others.
//
// The account: every tick may spend bitRate / fps bits; what frames spend
// beyond that is owed and paid back over the next second, what they save is
// credit, but at most one second's worth, so that a long still spell does
// not buy a burst the network cannot carry. A key frame is coded a little
// finer than the frames around it, which all predict from it, as long as it
// spends at most half a second's budget.
//
// Thread: the owner's (the server's work queue).
class BitRateGovernor {
public:
    static constexpr int kFinest = 16;
    static constexpr int kCoarsest = 51; // H.264's coarsest

    BitRateGovernor(std::int64_t bitsPerSecond, std::int64_t framesPerSecond);

    // The quantizer for the next frame, in which that many macroblocks
    // changed (every one, for a key frame).
    int quantizer(std::int64_t changedMacroblocks, bool isKeyFrame) const;

    // A frame the encoder coded at quantizer, with its changed macroblocks.
    void coded(std::size_t bytes, std::int64_t changedMacroblocks, bool isKeyFrame, int quantizer);
    // A frame that went out without the encoder (a repeat).
    void repeated(std::size_t bytes);

private:
    void spend(double bits);

    double budgetPerFrame_;
    double budgetPerSecond_;
    double framesPerSecond_;
    // Bits per macroblock at quantizer 0, as last learnt.
    double interComplexity_ = 2000;
    double intraComplexity_ = 12000;
    double lastInterQuantizer_ = 26;
    // Bits spent beyond the budget so far (negative: saved).
    double owed_ = 0;
};

} // namespace quorvi
