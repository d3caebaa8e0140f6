#pragma once

#include <cstdint>
#include <span>
#include <vector>

// An unchanged screen still has to reach the client as one frame per tick,
// but asking the encoder to code the same picture again costs milliseconds.
// The repeater writes that frame itself: a P picture whose macroblocks are
// all skipped, which a decoder shows as an exact copy of the last picture.
// The encoder does not know about these pictures, so the frame_num of its
// later slices is shifted to follow them.
//
// Only streams where this is sound are continued: CAVLC, progressive
// frames, picture order from the decoding order (pic_order_cnt_type 2, so
// no reordering), one reference frame, no weighted prediction, no redundant
// pictures, one slice group. The repeat is a reference picture that takes
// the place of the one it copies in the one-frame sliding window, so the
// encoder's next P picture predicts from the same pixels it expects.

namespace quorvi {

// Thread: one caller at a time (the server's work queue).
class H264FrameRepeater {
public:
    // The stream's SPS and PPS (NAL units without start code, emulation
    // prevention bytes included). Returns whether the stream can be
    // continued by repeats; when not, repeat() returns nothing and adopt()
    // leaves access units as they are. Repeats wait for the next IDR.
    bool reset(std::span<const std::uint8_t> sps, std::span<const std::uint8_t> pps);
    bool canRepeat() const { return supported_; }

    // One access unit from the encoder, Annex-B, in stream order. Its slices'
    // frame_num are moved past the repeats inserted since the last IDR (a
    // renumbered unit comes back with 4-byte start codes). Parameter sets in it
    // replace the ones given to reset(). Returns false, leaving the unit as
    // it is, when the stream is not supported or the unit cannot be read;
    // then no repeat is made until an IDR is adopted again.
    bool adopt(std::vector<std::uint8_t>& accessUnit);

    // An access unit (a 4-byte start code and one slice) that shows the last
    // picture again; empty when none can be made (unsupported stream, no IDR
    // adopted since reset() or a failed adopt(), or the last picture was not
    // a reference picture, so a copy of the reference would show the wrong
    // one).
    std::vector<std::uint8_t> repeat();

private:
    std::vector<std::uint8_t> sps_;
    std::vector<std::uint8_t> pps_;
    bool supported_ = false;
    unsigned ppsId_ = 0;
    unsigned frameNumBits_ = 0;
    bool deblockingControl_ = false;
    std::uint32_t macroblocks_ = 0;

    // Whether the last IDR and everything since were read.
    bool synced_ = false;
    bool lastWasReference_ = false;
    // frame_num of the last reference picture sent, and what is added to the
    // encoder's frame_num (repeats inserted since its IDR), modulo MaxFrameNum.
    std::uint32_t lastReferenceFrameNum_ = 0;
    std::uint32_t frameNumShift_ = 0;
};

} // namespace quorvi
