#include "capture/H264FrameRepeater.h"

#include "capture/AnnexB.h"

#include <algorithm>
#include <bit>
#include <optional>

namespace quorvi {

namespace {

// Slice headers are read up to frame_num, which lies within the first 10
// bytes of the payload even for the largest pictures and identifiers.
constexpr std::size_t kSliceHeaderBytes = 16;

// The payload of a NAL unit (after its header byte) without the emulation
// prevention bytes, at most `limit` bytes of it.
std::vector<std::uint8_t> unescape(std::span<const std::uint8_t> payload,
                                   std::size_t limit = SIZE_MAX) {
    std::vector<std::uint8_t> rbsp;
    rbsp.reserve(std::min(payload.size(), limit));
    int zeros = 0;
    for (std::size_t i = 0; i < payload.size() && rbsp.size() < limit; ++i) {
        const std::uint8_t byte = payload[i];
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            continue;
        }
        rbsp.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    return rbsp;
}

void appendEscaped(std::span<const std::uint8_t> rbsp, std::vector<std::uint8_t>& out) {
    int zeros = 0;
    for (const std::uint8_t byte : rbsp) {
        if (zeros >= 2 && byte <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    // A unit cannot end in a zero byte (it would read as part of the next
    // start code).
    if (zeros > 0) {
        out.push_back(3);
    }
}

// Reads an RBSP; past its end every read fails and ok() turns false.
class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }
    std::size_t position() const { return position_; }

    std::uint32_t bits(unsigned count) {
        std::uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i) {
            if (position_ >= bytes_.size() * 8) {
                ok_ = false;
                return 0;
            }
            value = value << 1 | ((bytes_[position_ / 8] >> (7 - position_ % 8)) & 1u);
            ++position_;
        }
        return value;
    }
    bool flag() { return bits(1) != 0; }

    std::uint32_t ue() {
        unsigned zeros = 0;
        while (ok_ && bits(1) == 0) {
            if (++zeros > 31) {
                ok_ = false;
            }
        }
        if (!ok_) {
            return 0;
        }
        return static_cast<std::uint32_t>((std::uint64_t{1} << zeros) - 1 + bits(zeros));
    }
    std::int64_t se() {
        const std::int64_t code = ue();
        return code % 2 == 1 ? (code + 1) / 2 : -(code / 2);
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
    bool ok_ = true;
};

class BitWriter {
public:
    void bit(unsigned value) {
        if (used_ == 0) {
            bytes_.push_back(0);
        }
        bytes_.back() |= static_cast<std::uint8_t>((value & 1u) << (7 - used_));
        used_ = (used_ + 1) % 8;
    }
    void bits(std::uint64_t value, unsigned count) {
        while (count > 0) {
            bit(static_cast<unsigned>(value >> --count));
        }
    }
    void ue(std::uint32_t value) {
        const std::uint64_t code = std::uint64_t{value} + 1;
        const auto length = static_cast<unsigned>(std::bit_width(code));
        bits(0, length - 1);
        bits(code, length);
    }
    // rbsp_stop_one_bit, then zeros to the byte boundary.
    std::vector<std::uint8_t> finish() {
        bit(1);
        while (used_ != 0) {
            bit(0);
        }
        return std::move(bytes_);
    }

private:
    std::vector<std::uint8_t> bytes_;
    unsigned used_ = 0;
};

// Appends the unit with `count` bits at `position` of its RBSP set to
// `value`. Only the bytes up to the first nonzero one past those bits are
// unescaped and escaped again: emulation prevention starts afresh after a
// nonzero byte, so the rest of the unit (the slice data) is copied as it is.
void appendRewritten(std::span<const std::uint8_t> unit, std::size_t position, unsigned count,
                     std::uint32_t value, std::vector<std::uint8_t>& out) {
    const std::span<const std::uint8_t> payload = unit.subspan(1);
    const std::size_t lastByte = (position + count - 1) / 8;
    std::vector<std::uint8_t> rbsp;
    std::size_t consumed = 0;
    int zeros = 0;
    while (consumed < payload.size()) {
        const std::uint8_t byte = payload[consumed++];
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            continue;
        }
        rbsp.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
        if (rbsp.size() > lastByte + 1 && byte != 0) {
            break;
        }
    }
    for (unsigned i = 0; i < count; ++i, ++position) {
        const auto mask = static_cast<std::uint8_t>(0x80u >> (position % 8));
        const bool set = ((value >> (count - 1 - i)) & 1u) != 0;
        rbsp[position / 8] =
            static_cast<std::uint8_t>(set ? rbsp[position / 8] | mask : rbsp[position / 8] & ~mask);
    }
    out.push_back(unit[0]);
    appendEscaped(rbsp, out);
    out.insert(out.end(), payload.begin() + static_cast<std::ptrdiff_t>(consumed), payload.end());
}

// forbidden_zero_bit clear and the given nal_unit_type.
bool isUnitOfType(std::span<const std::uint8_t> unit, int type) {
    return unit.size() >= 2 && (unit[0] & 0x9f) == type;
}

bool skipScalingList(BitReader& reader, int size) {
    int last = 8;
    int next = 8;
    for (int j = 0; j < size && reader.ok(); ++j) {
        if (next != 0) {
            const std::int64_t delta = reader.se();
            if (delta < -128 || delta > 127) {
                return false;
            }
            next = static_cast<int>((last + delta + 256) % 256);
        }
        last = next == 0 ? last : next;
    }
    return reader.ok();
}

struct Sps {
    std::uint32_t id = 0;
    unsigned frameNumBits = 0;
    std::uint32_t macroblocks = 0;
};

// Read up to the frame cropping; the VUI after it changes nothing here.
std::optional<Sps> parseSps(std::span<const std::uint8_t> unit) {
    if (!isUnitOfType(unit, 7)) {
        return std::nullopt;
    }
    const std::vector<std::uint8_t> rbsp = unescape(unit.subspan(1));
    BitReader reader(rbsp);
    const std::uint32_t profile = reader.bits(8);
    reader.bits(16); // constraint flags, level_idc
    Sps sps;
    sps.id = reader.ue();
    // The profiles whose SPS says how chroma and transforms are coded.
    static constexpr std::uint32_t kExtendedHeaderProfiles[] = {100, 110, 122, 244, 44,  83, 86,
                                                                118, 128, 138, 139, 134, 135};
    if (std::ranges::find(kExtendedHeaderProfiles, profile) != std::end(kExtendedHeaderProfiles)) {
        const std::uint32_t chromaFormat = reader.ue();
        if (chromaFormat > 3 || (chromaFormat == 3 && reader.flag())) {
            return std::nullopt; // separate colour planes: three slices per picture
        }
        reader.ue();   // bit_depth_luma_minus8
        reader.ue();   // bit_depth_chroma_minus8
        reader.flag(); // qpprime_y_zero_transform_bypass_flag
        if (reader.flag()) {
            for (int i = 0; i < (chromaFormat != 3 ? 8 : 12); ++i) {
                if (reader.flag() && !skipScalingList(reader, i < 6 ? 16 : 64)) {
                    return std::nullopt;
                }
            }
        }
    }
    const std::uint32_t log2MaxFrameNumMinus4 = reader.ue();
    // Picture order from frame_num alone (type 2) forbids reordering, so
    // the last picture decoded is the last one shown: the one to repeat.
    const std::uint32_t pocType = reader.ue();
    // One reference frame: the repeat replaces the picture it copies. With
    // more, the encoder's later pictures could refer to frames the repeats
    // pushed out of the window.
    const std::uint32_t referenceFrames = reader.ue();
    reader.flag(); // gaps_in_frame_num_value_allowed_flag
    const std::uint64_t widthInMbs = std::uint64_t{reader.ue()} + 1;
    const std::uint64_t heightInMbs = std::uint64_t{reader.ue()} + 1;
    const bool frameMbsOnly = reader.flag();
    reader.flag(); // direct_8x8_inference_flag
    if (reader.flag()) {
        for (int i = 0; i < 4; ++i) {
            reader.ue(); // frame crop offsets
        }
    }
    // 139264 macroblocks: the largest frame any level allows.
    if (!reader.ok() || log2MaxFrameNumMinus4 > 12 || pocType != 2 || referenceFrames != 1 ||
        !frameMbsOnly || widthInMbs * heightInMbs > 139264) {
        return std::nullopt;
    }
    sps.frameNumBits = log2MaxFrameNumMinus4 + 4;
    sps.macroblocks = static_cast<std::uint32_t>(widthInMbs * heightInMbs);
    return sps;
}

struct Pps {
    std::uint32_t id = 0;
    std::uint32_t spsId = 0;
    bool deblockingControl = false;
};

std::optional<Pps> parsePps(std::span<const std::uint8_t> unit) {
    if (!isUnitOfType(unit, 8)) {
        return std::nullopt;
    }
    const std::vector<std::uint8_t> rbsp = unescape(unit.subspan(1));
    BitReader reader(rbsp);
    Pps pps;
    pps.id = reader.ue();
    pps.spsId = reader.ue();
    const bool cabac = reader.flag();
    reader.flag(); // bottom_field_pic_order_in_frame_present_flag: no field in type 2
    const std::uint32_t sliceGroupsMinus1 = reader.ue();
    reader.ue(); // num_ref_idx_l0_default_active_minus1: the repeat says its own
    reader.ue(); // num_ref_idx_l1_default_active_minus1
    const bool weightedPrediction = reader.flag();
    reader.bits(2); // weighted_bipred_idc: B slices only
    reader.se();    // pic_init_qp_minus26
    reader.se();    // pic_init_qs_minus26
    reader.se();    // chroma_qp_index_offset
    pps.deblockingControl = reader.flag();
    reader.flag(); // constrained_intra_pred_flag
    const bool redundantPictures = reader.flag();
    if (!reader.ok() || cabac || sliceGroupsMinus1 != 0 || weightedPrediction ||
        redundantPictures || pps.id > 255 || pps.spsId > 31) {
        return std::nullopt;
    }
    return pps;
}

struct SliceHeader {
    bool idr = false;
    bool reference = false;
    std::size_t frameNumPosition = 0;
    std::uint32_t frameNum = 0;
};

} // namespace

bool H264FrameRepeater::reset(std::span<const std::uint8_t> sps,
                              std::span<const std::uint8_t> pps) {
    sps_.assign(sps.begin(), sps.end());
    pps_.assign(pps.begin(), pps.end());
    synced_ = false;
    lastWasReference_ = false;
    frameNumShift_ = 0;
    const std::optional<Sps> sequence = parseSps(sps);
    const std::optional<Pps> picture = parsePps(pps);
    supported_ = sequence && picture && picture->spsId == sequence->id;
    if (supported_) {
        ppsId_ = picture->id;
        deblockingControl_ = picture->deblockingControl;
        frameNumBits_ = sequence->frameNumBits;
        macroblocks_ = sequence->macroblocks;
    }
    return supported_;
}

bool H264FrameRepeater::adopt(std::vector<std::uint8_t>& accessUnit) {
    const std::vector<std::span<const std::uint8_t>> units = splitAnnexB(accessUnit);
    std::span<const std::uint8_t> sps = sps_;
    std::span<const std::uint8_t> pps = pps_;
    for (const auto unit : units) {
        sps = isUnitOfType(unit, 7) ? unit : sps;
        pps = isUnitOfType(unit, 8) ? unit : pps;
    }
    if (!std::ranges::equal(sps, sps_) || !std::ranges::equal(pps, pps_)) {
        const std::vector<std::uint8_t> newSps(sps.begin(), sps.end());
        const std::vector<std::uint8_t> newPps(pps.begin(), pps.end());
        reset(newSps, newPps);
    }
    if (!supported_) {
        return false;
    }

    std::optional<SliceHeader> picture;
    std::vector<SliceHeader> slices(units.size());
    bool readable = true;
    for (std::size_t i = 0; i < units.size() && readable; ++i) {
        const int type = nalUnitType(units[i], VideoCodec::h264);
        if (type == 2 || type == 3 || type == 4 || type == 20 || type == 21) {
            readable = false; // partitioned or extension slices
        }
        if (type != 1 && type != 5) {
            continue;
        }
        const std::vector<std::uint8_t> header = unescape(units[i].subspan(1), kSliceHeaderBytes);
        BitReader reader(header);
        const std::uint32_t firstMacroblock = reader.ue();
        const std::uint32_t sliceType = reader.ue();
        const std::uint32_t ppsId = reader.ue();
        SliceHeader& slice = slices[i];
        slice.idr = type == 5;
        slice.reference = (units[i][0] & 0x60) != 0;
        slice.frameNumPosition = reader.position();
        slice.frameNum = reader.bits(frameNumBits_);
        readable =
            reader.ok() && firstMacroblock < macroblocks_ && sliceType <= 9 && ppsId == ppsId_ &&
            (!slice.idr || (slice.frameNum == 0 && slice.reference)) &&
            (!picture || (picture->idr == slice.idr && picture->reference == slice.reference &&
                          picture->frameNum == slice.frameNum));
        picture = slice;
    }
    if (!readable || !picture) {
        synced_ = false;
        return false;
    }

    const std::uint32_t frameNumMask = (1u << frameNumBits_) - 1;
    if (picture->idr) {
        frameNumShift_ = 0;
        synced_ = true;
    }
    const std::uint32_t frameNum = (picture->frameNum + frameNumShift_) & frameNumMask;
    if (picture->reference) {
        lastReferenceFrameNum_ = frameNum;
    }
    lastWasReference_ = picture->reference;
    if (frameNum == picture->frameNum) {
        return true;
    }
    std::vector<std::uint8_t> renumbered;
    renumbered.reserve(accessUnit.size() + 16);
    for (std::size_t i = 0; i < units.size(); ++i) {
        renumbered.insert(renumbered.end(), std::begin(kStartCode), std::end(kStartCode));
        const int type = nalUnitType(units[i], VideoCodec::h264);
        if (type != 1 && type != 5) {
            renumbered.insert(renumbered.end(), units[i].begin(), units[i].end());
            continue;
        }
        appendRewritten(units[i], slices[i].frameNumPosition, frameNumBits_, frameNum, renumbered);
    }
    accessUnit = std::move(renumbered);
    return true;
}

std::vector<std::uint8_t> H264FrameRepeater::repeat() {
    if (!supported_ || !synced_ || !lastWasReference_) {
        return {};
    }
    const std::uint32_t frameNumMask = (1u << frameNumBits_) - 1;
    const std::uint32_t frameNum = (lastReferenceFrameNum_ + 1) & frameNumMask;
    BitWriter slice;
    slice.ue(0); // first_mb_in_slice
    slice.ue(5); // P, and so is every slice of the picture
    slice.ue(ppsId_);
    slice.bits(frameNum, frameNumBits_);
    slice.bit(1); // num_ref_idx_active_override_flag
    slice.ue(0);  // one reference: the last picture
    slice.bit(0); // ref_pic_list_modification_flag_l0
    slice.bit(0); // adaptive_ref_pic_marking_mode_flag: the sliding window
    slice.ue(0);  // slice_qp_delta
    if (deblockingControl_) {
        // Nothing to filter between skipped blocks with equal motion; saying
        // so spares the decoder the edge checks.
        slice.ue(1);
    }
    slice.ue(macroblocks_); // mb_skip_run: the whole picture
    const std::vector<std::uint8_t> rbsp = slice.finish();

    // nal_ref_idc 2, nal_unit_type 1 (non-IDR slice).
    std::vector<std::uint8_t> unit(std::begin(kStartCode), std::end(kStartCode));
    unit.push_back(0x41);
    appendEscaped(rbsp, unit);
    lastReferenceFrameNum_ = frameNum;
    frameNumShift_ = (frameNumShift_ + 1) & frameNumMask;
    return unit;
}

} // namespace quorvi
