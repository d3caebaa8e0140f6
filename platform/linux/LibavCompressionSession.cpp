#include "platform/linux/LibavCompressionSession.h"

#include "capture/AnnexB.h"
#include "platform/linux/PixelConversion.h"
#include "platform/linux/X264CompressionSession.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <deque>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

namespace quorvi {

namespace {

// A key-frame interval libavcodec encoders read as "never forced": x264
// treats anything from 2^30 on as infinite.
constexpr int kNoKeyFrameLimit = 1 << 30;

enum class Family { x264, x265, nvenc, vaapi, other };

Family familyOf(std::string_view name) {
    if (name == "libx264") {
        return Family::x264;
    }
    if (name == "libx265") {
        return Family::x265;
    }
    if (name.ends_with("_nvenc")) {
        return Family::nvenc;
    }
    if (name.ends_with("_vaapi")) {
        return Family::vaapi;
    }
    return Family::other;
}

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

struct BufferDeleter {
    void operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
};
using BufferPtr = std::unique_ptr<AVBufferRef, BufferDeleter>;

struct DictionaryGuard {
    AVDictionary* dictionary = nullptr;
    ~DictionaryGuard() { av_dict_free(&dictionary); }
    void set(const char* key, const char* value) { av_dict_set(&dictionary, key, value, 0); }
};

std::optional<VideoCodec> codecOf(const AVCodec* encoder) {
    switch (encoder->id) {
    case AV_CODEC_ID_HEVC:
        return VideoCodec::hevc;
    case AV_CODEC_ID_H264:
        return VideoCodec::h264;
    default:
        return std::nullopt;
    }
}

// The encoders' options of what was probed, and the VAAPI device, for the
// whole process.
class EncoderRegistry {
public:
    static EncoderRegistry& shared() {
        static EncoderRegistry registry;
        return registry;
    }

    bool isUsable(const std::string& name);

    // A new reference to the VAAPI render device, or null without one.
    BufferPtr vaapiDevice() {
        std::lock_guard lock(mutex_);
        return vaapiDeviceLocked();
    }

private:
    EncoderRegistry() {
        // The journal is the server's only log: the libraries' own lines
        // (a missing CUDA, x264's banner at every open) would only clutter
        // the terminal the server was started from.
        av_log_set_level(AV_LOG_QUIET);
    }

    BufferPtr vaapiDeviceLocked();

    std::mutex mutex_;
    std::map<std::string, bool> usable_;
    bool vaapiTried_ = false;
    BufferPtr vaapiDevice_;
};

// Opens one encoder for coded pictures of width × height with the
// properties; null when it does not open. VAAPI encoders need the device.
CodecContextPtr openEncoder(const std::string& name, int width, int height, VideoCodec codec,
                            const CompressionProperties& properties, AVBufferRef* vaapiDevice) {
    const AVCodec* encoder = avcodec_find_encoder_by_name(name.c_str());
    if (encoder == nullptr || codecOf(encoder) != codec) {
        return nullptr;
    }
    CodecContextPtr context(avcodec_alloc_context3(encoder));
    if (!context) {
        return nullptr;
    }
    const Family family = familyOf(name);
    const bool hevc = codec == VideoCodec::hevc;
    const int rate = static_cast<int>(
        std::clamp<std::int64_t>(properties.expectedFrameRate, 1, std::numeric_limits<int>::max()));

    context->width = width;
    context->height = height;
    context->time_base = AVRational{1, rate};
    context->framerate = AVRational{rate, 1};
    context->gop_size = properties.maxKeyFrameInterval > 0
                            ? static_cast<int>(std::min<std::int64_t>(
                                  properties.maxKeyFrameInterval, kNoKeyFrameLimit))
                            : kNoKeyFrameLimit;
    if (!properties.allowFrameReordering) {
        context->max_b_frames = 0;
    }
    context->bit_rate = properties.averageBitRate;
    // Parameter sets once, in extradata, rather than in-band.
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // What the conversion produces (BT.601, limited range), said in the
    // stream so that every decoder shows the same colours.
    context->color_range = AVCOL_RANGE_MPEG;
    context->colorspace = AVCOL_SPC_SMPTE170M;
    context->pix_fmt = family == Family::vaapi ? AV_PIX_FMT_VAAPI : AV_PIX_FMT_YUV420P;
    // One thread per core (libavcodec's default is one thread in all).
    context->thread_count = 0;

    DictionaryGuard options;
    const bool fast = properties.prioritizeEncodingSpeedOverQuality;
    switch (family) {
    case Family::x264:
        options.set("preset", fast ? "ultrafast" : "veryfast");
        if (properties.realTime) {
            options.set("tune", "zerolatency");
        }
        options.set("profile", "baseline");
        options.set("forced-idr", "1");
        break;
    case Family::x265:
        options.set("preset", fast ? "ultrafast" : "veryfast");
        if (properties.realTime) {
            options.set("tune", "zerolatency");
        }
        options.set("profile", "main");
        options.set("forced-idr", "1");
        // IDR rather than CRA key frames, so that every key frame starts a
        // stream afresh, as H.264's do.
        options.set("x265-params", "log-level=none:open-gop=0");
        break;
    case Family::nvenc:
        options.set("preset", fast ? "p1" : "p4");
        if (properties.realTime) {
            options.set("tune", "ull");
            options.set("delay", "0");
            options.set("zerolatency", "1");
        }
        options.set("profile", hevc ? "main" : "baseline");
        options.set("forced-idr", "1");
        break;
    case Family::vaapi: {
        if (properties.realTime) {
            options.set("async_depth", "1");
        }
        context->profile = hevc ? FF_PROFILE_HEVC_MAIN : FF_PROFILE_H264_CONSTRAINED_BASELINE;
        if (vaapiDevice == nullptr) {
            return nullptr;
        }
        BufferPtr frames(av_hwframe_ctx_alloc(vaapiDevice));
        if (!frames) {
            return nullptr;
        }
        auto* framesContext = reinterpret_cast<AVHWFramesContext*>(frames->data);
        framesContext->format = AV_PIX_FMT_VAAPI;
        framesContext->sw_format = AV_PIX_FMT_NV12;
        framesContext->width = width;
        framesContext->height = height;
        // References, the picture being coded and one being uploaded.
        framesContext->initial_pool_size = 8;
        if (av_hwframe_ctx_init(frames.get()) < 0) {
            return nullptr;
        }
        context->hw_frames_ctx = av_buffer_ref(frames.get());
        break;
    }
    case Family::other:
        break;
    }

    if (avcodec_open2(context.get(), encoder, &options.dictionary) < 0) {
        return nullptr;
    }
    return context;
}

// The codec's parameter sets from the encoder's global header, by index;
// none unless every one of them is there.
std::optional<FormatDescription> parameterSetsOf(const AVCodecContext& context, VideoCodec codec) {
    if (context.extradata == nullptr || context.extradata_size <= 0) {
        return std::nullopt;
    }
    const std::vector<int> types =
        codec == VideoCodec::hevc ? std::vector<int>{32, 33, 34} : std::vector<int>{7, 8};
    FormatDescription description;
    description.parameterSets.resize(types.size());
    const std::span<const std::uint8_t> header(context.extradata,
                                               static_cast<std::size_t>(context.extradata_size));
    for (std::span<const std::uint8_t> unit : splitAnnexB(header)) {
        const int type = nalUnitType(unit, codec);
        for (std::size_t index = 0; index < types.size(); ++index) {
            if (type == types[index] && description.parameterSets[index].empty()) {
                description.parameterSets[index].assign(unit.begin(), unit.end());
            }
        }
    }
    for (const auto& set : description.parameterSets) {
        if (set.empty()) {
            return std::nullopt;
        }
    }
    return description;
}

bool EncoderRegistry::isUsable(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (auto known = usable_.find(name); known != usable_.end()) {
        return known->second;
    }
    bool usable = false;
    const AVCodec* encoder = avcodec_find_encoder_by_name(name.c_str());
    std::optional<VideoCodec> codec = encoder ? codecOf(encoder) : std::nullopt;
    BufferPtr device = familyOf(name) == Family::vaapi ? vaapiDeviceLocked() : nullptr;
    if (codec && (familyOf(name) != Family::vaapi || device)) {
        // A small picture: whether the encoder, its library and its device
        // are there, not whether it takes every size.
        const CompressionProperties properties = compressionProperties(*codec, 640, 360, 30);
        CodecContextPtr context = openEncoder(name, 640, 360, *codec, properties, device.get());
        usable = context && parameterSetsOf(*context, *codec).has_value();
    }
    usable_[name] = usable;
    return usable;
}

BufferPtr EncoderRegistry::vaapiDeviceLocked() {
    if (!vaapiTried_) {
        vaapiTried_ = true;
        // Only a DRM render node: without one there is no VAAPI encoder, and
        // libva would otherwise go looking through the X display.
        for (int node = 128; node < 136; ++node) {
            const std::string path = "/dev/dri/renderD" + std::to_string(node);
            std::error_code error;
            if (!std::filesystem::exists(path, error)) {
                continue;
            }
            AVBufferRef* device = nullptr;
            if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, path.c_str(), nullptr, 0) ==
                0) {
                vaapiDevice_.reset(device);
                break;
            }
        }
    }
    if (!vaapiDevice_) {
        return nullptr;
    }
    return BufferPtr(av_buffer_ref(vaapiDevice_.get()));
}

class LibavCompressionSession final : public CompressionSession {
public:
    LibavCompressionSession(std::string encoderName, VideoCodec codec, int width, int height,
                            CodecContextPtr context, FormatDescription parameterSets,
                            const CompressionProperties& properties,
                            CompressionOutputHandler output)
        : encoderName_(std::move(encoderName)), family_(familyOf(encoderName_)), codec_(codec),
          width_(width), height_(height), context_(std::move(context)),
          parameterSets_(std::move(parameterSets)), properties_(properties),
          output_(std::move(output)), frame_(av_frame_alloc()), packet_(av_packet_alloc()) {
        const AVPixelFormat format =
            family_ == Family::vaapi ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
        if (family_ == Family::vaapi) {
            hardwareFrame_.reset(av_frame_alloc());
        }
        if (frame_) {
            frame_->format = format;
            frame_->width = width_;
            frame_->height = height_;
            if (av_frame_get_buffer(frame_.get(), 0) < 0) {
                frame_.reset();
            }
        }
        convertedStamp_ = {};
    }

    ~LibavCompressionSession() override { invalidate(); }

    bool isReady() const {
        return context_ && frame_ && packet_ && (family_ != Family::vaapi || hardwareFrame_);
    }

    void setProperties(const CompressionProperties& properties) override {
        if (properties == properties_) {
            return;
        }
        properties_ = properties;
        if (!output_) {
            return;
        }
        // Rate, key-frame interval and bit rate are read when the encoder
        // opens: hand out what the old one holds, then open anew. A failed
        // reopen leaves the session without an encoder (every submission
        // fails, the frames go out as JPEG) until the properties change again.
        if (context_) {
            drain();
        }
        context_.reset();
        inFlight_.clear();
        lastPts_.reset();
        BufferPtr device =
            family_ == Family::vaapi ? EncoderRegistry::shared().vaapiDevice() : nullptr;
        context_ = openEncoder(encoderName_, width_, height_, codec_, properties_, device.get());
        if (context_) {
            if (auto sets = parameterSetsOf(*context_, codec_)) {
                parameterSets_ = std::move(*sets);
            } else {
                context_.reset();
            }
        }
        convertedStamp_ = {};
    }

    void prepareToEncodeFrames() override {}

    bool encodeFrame(const std::shared_ptr<const PixelBuffer>& picture, MediaTime time,
                     SubmissionTag tag, bool forceKeyFrame) override {
        if (!context_ || !output_ || !picture || picture->width() < width_ ||
            picture->height() < height_) {
            return false;
        }
        // A picture the frame already holds is sent as it is.
        const bool isUnchanged =
            picture->stamp().number != 0 && picture->stamp() == convertedStamp_;
        AVFrame* input = isUnchanged ? unchangedFrame() : convert(*picture);
        if (input == nullptr) {
            return false;
        }
        const int timescale = std::max<std::int32_t>(time.timescale, 1);
        std::int64_t pts = av_rescale_q(time.value, AVRational{1, timescale}, context_->time_base);
        if (lastPts_ && pts <= *lastPts_) {
            pts = *lastPts_ + 1;
        }
        lastPts_ = pts;
        input->pts = pts;
        input->pict_type = forceKeyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;

        int status = avcodec_send_frame(context_.get(), input);
        if (status == AVERROR(EAGAIN)) {
            // The encoder wants its finished packets taken first.
            drain();
            status = avcodec_send_frame(context_.get(), input);
        }
        if (hardwareFrame_) {
            av_frame_unref(hardwareFrame_.get());
        }
        if (status < 0) {
            return false;
        }
        inFlight_.emplace_back(pts, tag);
        return true;
    }

    void completeFrames(MediaTime) override {
        if (context_ && output_) {
            drain();
        }
    }

    void invalidate() override {
        output_ = nullptr;
        context_.reset();
        inFlight_.clear();
    }

private:
    // The frame that already holds the picture, made writable again (with
    // its pixels) if the encoder still holds a reference to it, and up to
    // the GPU for VAAPI.
    AVFrame* unchangedFrame() {
        if (av_frame_make_writable(frame_.get()) < 0) {
            convertedStamp_ = {};
            return nullptr;
        }
        return upload();
    }

    // BGRA into the encoder's frame where the picture changed since the
    // frame's last conversion, and up to the GPU for VAAPI. Returns the
    // frame to send, or null.
    AVFrame* convert(const PixelBuffer& picture) {
        AVFrame* frame = frame_.get();
        // The encoder may still hold the frame (most copy it at once): the
        // unchanged part of the frame is kept, so a copy is made rather
        // than fresh storage.
        if (av_frame_make_writable(frame) < 0) {
            convertedStamp_ = {};
            return nullptr;
        }
        const bool isPlanar = frame->format == AV_PIX_FMT_YUV420P;
        const YuvPlanes planes{frame->data[0],
                               frame->linesize[0],
                               frame->data[1],
                               frame->linesize[1],
                               isPlanar ? frame->data[2] : nullptr,
                               isPlanar ? frame->linesize[2] : 0,
                               width_,
                               height_,
                               !isPlanar};
        const ChangedRegion changed = picture.history().changedSince(convertedStamp_);
        convertedStamp_ = {};
        if (!convertToYuv(picture, planes,
                          picture.stamp().number == 0 ? ChangedRegion::whole(width_, height_)
                                                      : changed)) {
            return nullptr;
        }
        convertedStamp_ = picture.stamp();
        return upload();
    }

    AVFrame* upload() {
        if (family_ != Family::vaapi) {
            return frame_.get();
        }
        AVFrame* hardware = hardwareFrame_.get();
        if (av_hwframe_get_buffer(context_->hw_frames_ctx, hardware, 0) < 0 ||
            av_hwframe_transfer_data(hardware, frame_.get(), 0) < 0) {
            av_frame_unref(hardware);
            return nullptr;
        }
        return hardware;
    }

    void drain() {
        while (avcodec_receive_packet(context_.get(), packet_.get()) == 0) {
            deliver(*packet_);
            av_packet_unref(packet_.get());
        }
    }

    void deliver(const AVPacket& packet) {
        // Frames the encoder skipped leave the queue unanswered: their
        // waiters run into their time-out.
        while (!inFlight_.empty() && inFlight_.front().first < packet.pts) {
            inFlight_.pop_front();
        }
        SubmissionTag tag = 0;
        if (!inFlight_.empty() && inFlight_.front().first == packet.pts) {
            tag = inFlight_.front().second;
            inFlight_.pop_front();
        }
        const bool isKeyFrame = (packet.flags & AV_PKT_FLAG_KEY) != 0;
        const std::span<const std::uint8_t> data(packet.data,
                                                 static_cast<std::size_t>(packet.size));
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

    const std::string encoderName_;
    const Family family_;
    const VideoCodec codec_;
    // The coded size (the picture's, made even).
    const int width_;
    const int height_;
    CodecContextPtr context_;
    FormatDescription parameterSets_;
    CompressionProperties properties_;
    CompressionOutputHandler output_;
    FramePtr frame_;
    FramePtr hardwareFrame_;
    PacketPtr packet_;
    // Presentation time and tag of each frame sent and not yet out.
    std::deque<std::pair<std::int64_t, SubmissionTag>> inFlight_;
    std::optional<std::int64_t> lastPts_;
    // The picture frame_ holds, converted.
    PictureStamp convertedStamp_;
};

class LibavCompressionSessionFactory final : public CompressionSessionFactory {
public:
    explicit LibavCompressionSessionFactory(LibavEncoderChoice choice)
        : choice_(std::move(choice)) {}

    std::unique_ptr<CompressionSession> create(std::int32_t width, std::int32_t height,
                                               VideoCodec codec,
                                               const CompressionProperties& properties,
                                               CompressionOutputHandler output) override {
        // 4:2:0 pictures have even sizes: an odd last column or row is left
        // out.
        const int codedWidth = width & ~1;
        const int codedHeight = height & ~1;
        if (codedWidth < 2 || codedHeight < 2) {
            return nullptr;
        }
        const auto& names = codec == VideoCodec::hevc ? choice_.hevcEncoders : choice_.h264Encoders;
        for (const std::string& name : names) {
            if (!EncoderRegistry::shared().isUsable(name)) {
                continue;
            }
            if (familyOf(name) == Family::x264) {
                if (auto session =
                        makeX264CompressionSession(codedWidth, codedHeight, properties, output)) {
                    return session;
                }
                continue;
            }
            BufferPtr device =
                familyOf(name) == Family::vaapi ? EncoderRegistry::shared().vaapiDevice() : nullptr;
            CodecContextPtr context =
                openEncoder(name, codedWidth, codedHeight, codec, properties, device.get());
            if (!context) {
                continue;
            }
            std::optional<FormatDescription> sets = parameterSetsOf(*context, codec);
            if (!sets) {
                continue;
            }
            auto session = std::make_unique<LibavCompressionSession>(
                name, codec, codedWidth, codedHeight, std::move(context), std::move(*sets),
                properties, output);
            if (session->isReady()) {
                return session;
            }
        }
        return nullptr;
    }

private:
    const LibavEncoderChoice choice_;
};

} // namespace

std::shared_ptr<CompressionSessionFactory>
makeLibavCompressionSessionFactory(LibavEncoderChoice choice) {
    return std::make_shared<LibavCompressionSessionFactory>(std::move(choice));
}

std::shared_ptr<VideoEncoder> makeLibavVideoEncoder() {
    return std::make_shared<VideoFrameEncoder>(makeLibavCompressionSessionFactory());
}

} // namespace quorvi
