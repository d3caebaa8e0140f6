#include "platform/linux/X264CompressionSession.h"

#include "capture/AnnexB.h"
#include "capture/BitRateGovernor.h"
#include "capture/H264FrameRepeater.h"
#include "platform/linux/PixelConversion.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <limits>
#include <optional>
#include <utility>
#include <vector>
#include <x264.h>

namespace quorvi {

namespace {

// x264's index of the SMPTE 170M matrix (BT.601, what the conversion makes).
constexpr int kSmpte170mMatrix = 6;
constexpr int kNoKeyFrameLimit = 1 << 30;

struct EncoderCloser {
    void operator()(x264_t* encoder) const { x264_encoder_close(encoder); }
};
using EncoderPtr = std::unique_ptr<x264_t, EncoderCloser>;

EncoderPtr openEncoder(int width, int height, const CompressionProperties& properties) {
    x264_param_t parameters;
    const char* preset = properties.prioritizeEncodingSpeedOverQuality ? "ultrafast" : "veryfast";
    if (x264_param_default_preset(&parameters, preset,
                                  properties.realTime ? "zerolatency" : nullptr) < 0) {
        return nullptr;
    }
    const int rate = static_cast<int>(
        std::clamp<std::int64_t>(properties.expectedFrameRate, 1, std::numeric_limits<int>::max()));
    parameters.i_log_level = X264_LOG_NONE;
    parameters.i_width = width;
    parameters.i_height = height;
    parameters.i_csp = X264_CSP_I420;
    parameters.i_fps_num = static_cast<std::uint32_t>(rate);
    parameters.i_fps_den = 1;
    parameters.i_timebase_num = 1;
    parameters.i_timebase_den = static_cast<std::uint32_t>(rate);
    parameters.i_keyint_max = properties.maxKeyFrameInterval > 0
                                  ? static_cast<int>(std::min<std::int64_t>(
                                        properties.maxKeyFrameInterval, kNoKeyFrameLimit))
                                  : kNoKeyFrameLimit;
    if (!properties.allowFrameReordering) {
        parameters.i_bframe = 0;
    }
    // Each frame's quantizer comes from BitRateGovernor: x264's own
    // average-bit-rate control analyses every whole picture first.
    parameters.rc.i_rc_method = X264_RC_CQP;
    parameters.rc.i_qp_constant = 26;
    parameters.vui.b_fullrange = 0;
    parameters.vui.i_colmatrix = kSmpte170mMatrix;
    parameters.b_repeat_headers = 0;
    parameters.b_annexb = 1;
    parameters.analyse.b_mb_info = 1;
    if (x264_param_apply_profile(&parameters, "baseline") < 0) {
        return nullptr;
    }
    return EncoderPtr(x264_encoder_open(&parameters));
}

// SPS and PPS from the encoder's headers; none unless both are there.
std::optional<FormatDescription> parameterSetsOf(x264_t* encoder) {
    x264_nal_t* units = nullptr;
    int count = 0;
    if (x264_encoder_headers(encoder, &units, &count) < 0 || count <= 0) {
        return std::nullopt;
    }
    FormatDescription description;
    description.parameterSets.resize(2);
    const std::span<const std::uint8_t> headers(
        units[0].p_payload,
        static_cast<std::size_t>(units[count - 1].p_payload - units[0].p_payload +
                                 units[count - 1].i_payload));
    for (std::span<const std::uint8_t> unit : splitAnnexB(headers)) {
        const int type = nalUnitType(unit, VideoCodec::h264);
        const std::size_t index = type == 7 ? 0 : 1;
        if ((type == 7 || type == 8) && description.parameterSets[index].empty()) {
            description.parameterSets[index].assign(unit.begin(), unit.end());
        }
    }
    if (description.parameterSets[0].empty() || description.parameterSets[1].empty()) {
        return std::nullopt;
    }
    return description;
}

class X264CompressionSession final : public CompressionSession {
public:
    X264CompressionSession(int width, int height, const CompressionProperties& properties,
                           CompressionOutputHandler output)
        : width_(width), height_(height), properties_(properties), output_(std::move(output)),
          luma_(static_cast<std::size_t>(width) * height),
          chromaBlue_(static_cast<std::size_t>(width / 2) * (height / 2)),
          chromaRed_(chromaBlue_.size()) {
        open();
    }

    bool isReady() const { return encoder_ != nullptr; }

    void setProperties(const CompressionProperties& properties) override {
        if (properties == properties_) {
            return;
        }
        properties_ = properties;
        if (!output_) {
            return;
        }
        // Rate, key-frame interval and bit rate are read when the encoder
        // opens. A failed reopen leaves the session without an encoder
        // (every submission fails, the frames go out as JPEG) until the
        // properties change again.
        completeFrames({});
        open();
    }

    void prepareToEncodeFrames() override {}

    bool encodeFrame(const std::shared_ptr<const PixelBuffer>& picture, MediaTime time,
                     SubmissionTag tag, bool forceKeyFrame) override {
        if (!encoder_ || !output_ || !picture || picture->width() < width_ ||
            picture->height() < height_) {
            return false;
        }
        const bool isUnchanged =
            picture->stamp().number != 0 && picture->stamp() == convertedStamp_;
        const bool isKeyFrameDue = forceKeyFrame || isKeyFrameOwed_ ||
                                   (properties_.maxKeyFrameInterval > 0 &&
                                    framesSinceKeyFrame_ + 1 >= properties_.maxKeyFrameInterval);
        if (isUnchanged && inFlight_.empty() &&
            (isKeyFrameDue ? sendKeyFrameAgain(tag) : sendRepeat(tag))) {
            return true;
        }
        ChangedRegion changed;
        if (!isUnchanged) {
            changed = picture->stamp().number == 0
                          ? ChangedRegion::whole(width_, height_)
                          : picture->history().changedSince(convertedStamp_);
            convertedStamp_ = {};
            const YuvPlanes planes{luma_.data(),
                                   width_,
                                   chromaBlue_.data(),
                                   width_ / 2,
                                   chromaRed_.data(),
                                   width_ / 2,
                                   width_,
                                   height_,
                                   false};
            if (!convertToYuv(*picture, planes, changed)) {
                return false;
            }
            convertedStamp_ = picture->stamp();
        }

        x264_picture_t input;
        x264_picture_init(&input);
        input.img.i_csp = X264_CSP_I420;
        input.img.i_plane = 3;
        input.img.plane[0] = luma_.data();
        input.img.plane[1] = chromaBlue_.data();
        input.img.plane[2] = chromaRed_.data();
        input.img.i_stride[0] = width_;
        input.img.i_stride[1] = width_ / 2;
        input.img.i_stride[2] = width_ / 2;
        input.i_type = isKeyFrameDue ? X264_TYPE_IDR : X264_TYPE_AUTO;
        input.i_pts = nextPts(time);
        std::int64_t changedMacroblocks =
            static_cast<std::int64_t>((width_ + 15) / 16) * ((height_ + 15) / 16);
        if (!isKeyFrameDue && hasEncoded_) {
            input.prop.mb_info = constantMacroblocks(changed, changedMacroblocks);
            input.prop.mb_info_free = std::free;
        }
        const int quantizer = governor_.quantizer(changedMacroblocks, isKeyFrameDue);
        input.i_qpplus1 = quantizer + 1;
        x264_picture_t coded;
        x264_nal_t* units = nullptr;
        int count = 0;
        const int size = x264_encoder_encode(encoder_.get(), &units, &count, &input, &coded);
        if (size < 0) {
            convertedStamp_ = {};
            return false;
        }
        hasEncoded_ = true;
        inFlight_.push_back({input.i_pts, tag, changedMacroblocks, quantizer});
        if (size > 0) {
            deliver(units, count, size, coded);
        }
        return true;
    }

    void completeFrames(MediaTime) override {
        while (encoder_ && output_ && x264_encoder_delayed_frames(encoder_.get()) > 0) {
            x264_picture_t coded;
            x264_nal_t* units = nullptr;
            int count = 0;
            const int size = x264_encoder_encode(encoder_.get(), &units, &count, nullptr, &coded);
            if (size < 0) {
                break;
            }
            if (size > 0) {
                deliver(units, count, size, coded);
            }
        }
    }

    void invalidate() override {
        output_ = nullptr;
        encoder_.reset();
        inFlight_.clear();
    }

private:
    void open() {
        encoder_.reset();
        inFlight_.clear();
        lastPts_.reset();
        convertedStamp_ = {};
        framesSinceKeyFrame_ = 0;
        isKeyFrameOwed_ = false;
        hasEncoded_ = false;
        lastKeyFrame_.clear();
        encoder_ = openEncoder(width_, height_, properties_);
        governor_ = BitRateGovernor(properties_.averageBitRate, properties_.expectedFrameRate);
        std::optional<FormatDescription> sets =
            encoder_ ? parameterSetsOf(encoder_.get()) : std::nullopt;
        if (!sets) {
            encoder_.reset();
            return;
        }
        parameterSets_ = std::move(*sets);
        repeats_ = H264FrameRepeater();
        canRepeat_ =
            repeats_.reset(parameterSets_.parameterSets[0], parameterSets_.parameterSets[1]);
    }

    std::int64_t nextPts(MediaTime time) {
        const std::int64_t timescale = std::max<std::int32_t>(time.timescale, 1);
        const std::int64_t rate = std::max<std::int64_t>(properties_.expectedFrameRate, 1);
        std::int64_t pts = time.value * rate / timescale;
        if (lastPts_ && pts <= *lastPts_) {
            pts = *lastPts_ + 1;
        }
        lastPts_ = pts;
        return pts;
    }

    // One byte a macroblock, for x264 to free: constant where nothing of
    // the 16 × 16 block changed since the encoder's last picture.
    // Counts the others in changedMacroblocks.
    std::uint8_t* constantMacroblocks(const ChangedRegion& changed,
                                      std::int64_t& changedMacroblocks) const {
        const int columns = (width_ + 15) / 16;
        const int rows = (height_ + 15) / 16;
        auto* flags =
            static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(columns) * rows));
        if (flags == nullptr) {
            return nullptr;
        }
        std::fill(flags, flags + static_cast<std::ptrdiff_t>(columns) * rows,
                  static_cast<std::uint8_t>(X264_MBINFO_CONSTANT));
        for (const PixelRect& rect : changed.rects()) {
            const int right = std::min((rect.right() + 15) / 16, columns);
            const int bottom = std::min((rect.bottom() + 15) / 16, rows);
            for (int row = std::max(rect.y / 16, 0); row < bottom; ++row) {
                std::fill(
                    flags + static_cast<std::ptrdiff_t>(row) * columns + std::max(rect.x / 16, 0),
                    flags + static_cast<std::ptrdiff_t>(row) * columns + right, std::uint8_t{0});
            }
        }
        changedMacroblocks =
            std::count(flags, flags + static_cast<std::ptrdiff_t>(columns) * rows, std::uint8_t{0});
        return flags;
    }

    bool sendRepeat(SubmissionTag tag) {
        if (!canRepeat_) {
            return false;
        }
        unit_ = repeats_.repeat();
        if (unit_.empty()) {
            return false;
        }
        ++framesSinceKeyFrame_;
        governor_.repeated(unit_.size());
        output(tag, unit_, false);
        return true;
    }

    // A key frame asked for while the picture is still the one of the
    // encoder's last key frame (only repeats since): that key frame again,
    // which is what the encoder would make, for nothing. A new client on a
    // still screen, and the periodic key frames of one, cost no encoding.
    bool sendKeyFrameAgain(SubmissionTag tag) {
        if (lastKeyFrame_.empty() || isKeyFrameOwed_) {
            return false;
        }
        unit_ = lastKeyFrame_;
        if (canRepeat_ && !repeats_.adopt(unit_)) {
            return false;
        }
        framesSinceKeyFrame_ = 0;
        governor_.repeated(unit_.size());
        output(tag, unit_, true);
        return true;
    }

    void deliver(const x264_nal_t* units, int count, int size, const x264_picture_t& coded) {
        // The units of one picture lie one after the other in memory.
        unit_.assign(units[0].p_payload, units[0].p_payload + size);
        (void)count;
        if (canRepeat_) {
            // Renumbered after the repeats sent since the encoder's last
            // frame. One that cannot be read goes out as it is, perhaps
            // misnumbered: the next picture is a key frame, which the
            // decoder takes whatever came before.
            isKeyFrameOwed_ = !repeats_.adopt(unit_) || isKeyFrameOwed_;
        }
        const bool isKeyFrame = coded.b_keyframe != 0;
        isKeyFrameOwed_ = isKeyFrameOwed_ && !isKeyFrame;
        if (isKeyFrame) {
            lastKeyFrame_ = unit_;
        } else {
            lastKeyFrame_.clear();
        }
        framesSinceKeyFrame_ = isKeyFrame ? 0 : framesSinceKeyFrame_ + 1;
        // Frames the encoder dropped leave the queue unanswered: their
        // waiters run into their time-out.
        while (!inFlight_.empty() && inFlight_.front().pts < coded.i_pts) {
            inFlight_.pop_front();
        }
        SubmissionTag tag = 0;
        if (!inFlight_.empty() && inFlight_.front().pts == coded.i_pts) {
            const Submitted& submitted = inFlight_.front();
            tag = submitted.tag;
            governor_.coded(unit_.size(), submitted.changedMacroblocks, isKeyFrame,
                            submitted.quantizer);
            inFlight_.pop_front();
        }
        output(tag, unit_, isKeyFrame);
    }

    void output(SubmissionTag tag, std::span<const std::uint8_t> data, bool isKeyFrame) {
        static constexpr SampleAttachments kNotSync[1] = {{true}};
        CompressedSample sample;
        sample.dataBuffer = data;
        sample.framing = NalFraming::startCoded;
        sample.formatDescription = &parameterSets_;
        if (!isKeyFrame) {
            sample.attachments = std::span<const SampleAttachments>(kNotSync);
        }
        output_(tag, 0, &sample);
    }

    // The coded size (the picture's, made even).
    const int width_;
    const int height_;
    CompressionProperties properties_;
    CompressionOutputHandler output_;
    EncoderPtr encoder_;
    FormatDescription parameterSets_;
    // The encoder's input, kept from picture to picture: only what changed
    // is converted again.
    std::vector<std::uint8_t> luma_;
    std::vector<std::uint8_t> chromaBlue_;
    std::vector<std::uint8_t> chromaRed_;
    PictureStamp convertedStamp_;
    bool hasEncoded_ = false;
    // Each frame sent to the encoder and not yet out.
    struct Submitted {
        std::int64_t pts = 0;
        SubmissionTag tag = 0;
        std::int64_t changedMacroblocks = 0;
        int quantizer = 0;
    };
    std::deque<Submitted> inFlight_;
    BitRateGovernor governor_{1, 1};
    std::optional<std::int64_t> lastPts_;
    // Frames handed out since the last key frame, repeats included, so that
    // periodic key frames keep their rhythm on a still screen.
    std::int64_t framesSinceKeyFrame_ = 0;
    bool isKeyFrameOwed_ = false;
    bool canRepeat_ = false;
    H264FrameRepeater repeats_;
    std::vector<std::uint8_t> unit_;
    // The encoder's last output while it was a key frame.
    std::vector<std::uint8_t> lastKeyFrame_;
};

} // namespace

std::unique_ptr<CompressionSession>
makeX264CompressionSession(int width, int height, const CompressionProperties& properties,
                           CompressionOutputHandler output) {
    if (width < 2 || height < 2 || width % 2 != 0 || height % 2 != 0) {
        return nullptr;
    }
    auto session =
        std::make_unique<X264CompressionSession>(width, height, properties, std::move(output));
    if (!session->isReady()) {
        return nullptr;
    }
    return session;
}

} // namespace quorvi
