#include "tools/PictureDecoders.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <turbojpeg.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace quorvi::client {

namespace {

std::string avErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

bool isKey(const AVFrame* frame) {
#ifdef AV_FRAME_FLAG_KEY
    return (frame->flags & AV_FRAME_FLAG_KEY) != 0;
#else
    return frame->key_frame != 0;
#endif
}

} // namespace

// ---- JPEG -------------------------------------------------------------------

JpegDecoder::JpegDecoder() : decompressor_(tjInitDecompress()) {}

JpegDecoder::~JpegDecoder() {
    if (decompressor_ != nullptr) {
        tjDestroy(decompressor_);
    }
}

// A decompressor that failed half-way through a file is left mid-state and
// refuses the next, good file ("Invalid argument"): start from a fresh one.
void JpegDecoder::reset() {
    if (decompressor_ != nullptr) {
        tjDestroy(decompressor_);
    }
    decompressor_ = tjInitDecompress();
}

std::optional<RgbPicture> JpegDecoder::decode(std::span<const std::uint8_t> jpeg,
                                              std::string& error) {
    if (decompressor_ == nullptr) {
        error = "TurboJPEG indisponible";
        return std::nullopt;
    }
    if (jpeg.empty() || jpeg.size() > static_cast<std::size_t>(0x7FFFFFFF)) {
        error = "JPEG vide";
        return std::nullopt;
    }
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    if (tjDecompressHeader3(decompressor_, jpeg.data(), static_cast<unsigned long>(jpeg.size()),
                            &width, &height, &subsampling, &colorspace) != 0) {
        error = std::string("en-tête JPEG illisible: ") + tjGetErrorStr2(decompressor_);
        reset();
        return std::nullopt;
    }
    RgbPicture picture;
    picture.width = width;
    picture.height = height;
    picture.rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    if (tjDecompress2(decompressor_, jpeg.data(), static_cast<unsigned long>(jpeg.size()),
                      picture.rgb.data(), width, 0, height, TJPF_RGB, 0) != 0) {
        error = std::string("JPEG non décodable: ") + tjGetErrorStr2(decompressor_);
        reset();
        return std::nullopt;
    }
    return picture;
}

// ---- video ------------------------------------------------------------------

struct VideoDecoder::State {
    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    AVFrame* last = nullptr;
    bool hasLast = false;

    ~State() {
        av_frame_free(&last);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&context);
    }
};

VideoDecoder::VideoDecoder(VideoCodec codec) : codec_(codec), state_(std::make_unique<State>()) {
    const AVCodec* decoder =
        avcodec_find_decoder(codec == VideoCodec::h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
    if (decoder == nullptr) {
        return;
    }
    state_->context = avcodec_alloc_context3(decoder);
    state_->packet = av_packet_alloc();
    state_->frame = av_frame_alloc();
    state_->last = av_frame_alloc();
    if (state_->context == nullptr || state_->packet == nullptr || state_->frame == nullptr ||
        state_->last == nullptr) {
        avcodec_free_context(&state_->context);
        return;
    }
    // Frame threads would hold pictures back by one frame per thread; low
    // delay gives each picture out as soon as its access unit is in.
    state_->context->thread_count = 1;
    state_->context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    // A damaged unit is an error rather than a concealed picture.
    state_->context->err_recognition |= AV_EF_EXPLODE;
    if (avcodec_open2(state_->context, decoder, nullptr) < 0) {
        avcodec_free_context(&state_->context);
    }
}

VideoDecoder::~VideoDecoder() = default;

bool VideoDecoder::isOpen() const {
    return state_->context != nullptr;
}

VideoDecoder::Result VideoDecoder::decode(std::span<const std::uint8_t> accessUnit) {
    Result result;
    if (!isOpen()) {
        result.error = "décodeur vidéo indisponible";
        return result;
    }
    if (accessUnit.empty() || accessUnit.size() > static_cast<std::size_t>(0x7FFFFFFF) - 64) {
        result.error = "unité d'accès vide";
        return result;
    }
    // The decoder reads a little past the end: av_new_packet zero-pads.
    av_packet_unref(state_->packet);
    if (av_new_packet(state_->packet, static_cast<int>(accessUnit.size())) < 0) {
        result.error = "mémoire insuffisante";
        return result;
    }
    std::memcpy(state_->packet->data, accessUnit.data(), accessUnit.size());
    int status = avcodec_send_packet(state_->context, state_->packet);
    if (status < 0) {
        result.error = "unité d'accès refusée par le décodeur: " + avErrorText(status);
        return result;
    }
    bool hasPicture = false;
    while (true) {
        status = avcodec_receive_frame(state_->context, state_->frame);
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) {
            break;
        }
        if (status < 0) {
            result.error = "décodage échoué: " + avErrorText(status);
            return result;
        }
        if (state_->frame->decode_error_flags != 0 ||
            (state_->frame->flags & AV_FRAME_FLAG_CORRUPT) != 0) {
            av_frame_unref(state_->frame);
            result.error = "image décodée corrompue";
            return result;
        }
        result.width = state_->frame->width;
        result.height = state_->frame->height;
        result.isKeyFrame = isKey(state_->frame);
        av_frame_unref(state_->last);
        av_frame_move_ref(state_->last, state_->frame);
        state_->hasLast = true;
        hasPicture = true;
    }
    if (!hasPicture) {
        result.error = "l'unité d'accès n'a donné aucune image";
        return result;
    }
    result.isDecoded = true;
    return result;
}

std::optional<RgbPicture> VideoDecoder::lastPicture() const {
    if (!state_->hasLast) {
        return std::nullopt;
    }
    const AVFrame* frame = state_->last;
    const int width = frame->width;
    const int height = frame->height;
    SwsContext* scaler = sws_getContext(
        width, height, static_cast<AVPixelFormat>(frame->format), width, height, AV_PIX_FMT_RGB24,
        SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
    if (scaler == nullptr) {
        return std::nullopt;
    }
    // The stream says which matrix and range it was made with; the default
    // (BT.601, limited range) would shift colours of a BT.709 stream.
    const int sourceRange = frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
    const int* sourceMatrix =
        sws_getCoefficients(frame->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_DEFAULT);
    sws_setColorspaceDetails(scaler, sourceMatrix, sourceRange, sws_getCoefficients(SWS_CS_DEFAULT),
                             1, 0, 1 << 16, 1 << 16);
    RgbPicture picture;
    picture.width = width;
    picture.height = height;
    picture.rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    std::uint8_t* destination[1] = {picture.rgb.data()};
    const int destinationStride[1] = {width * 3};
    const int rows =
        sws_scale(scaler, frame->data, frame->linesize, 0, height, destination, destinationStride);
    sws_freeContext(scaler);
    if (rows != height) {
        return std::nullopt;
    }
    return picture;
}

// ---- PNG --------------------------------------------------------------------

std::optional<std::string> writePng(const RgbPicture& picture, const std::string& path) {
    if (picture.width <= 0 || picture.height <= 0 ||
        picture.rgb.size() < static_cast<std::size_t>(picture.width) *
                                 static_cast<std::size_t>(picture.height) * 3) {
        return "image vide";
    }
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (encoder == nullptr) {
        return "encodeur PNG absent de libavcodec";
    }
    AVCodecContext* context = avcodec_alloc_context3(encoder);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    std::optional<std::string> failure;
    const auto cleanUp = [&] {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
    };
    if (context == nullptr || frame == nullptr || packet == nullptr) {
        cleanUp();
        return "mémoire insuffisante";
    }
    context->width = picture.width;
    context->height = picture.height;
    context->pix_fmt = AV_PIX_FMT_RGB24;
    context->time_base = AVRational{1, 1};
    int status = avcodec_open2(context, encoder, nullptr);
    if (status >= 0) {
        frame->format = AV_PIX_FMT_RGB24;
        frame->width = picture.width;
        frame->height = picture.height;
        status = av_frame_get_buffer(frame, 0);
    }
    if (status >= 0) {
        for (int row = 0; row < picture.height; ++row) {
            std::memcpy(frame->data[0] + static_cast<std::ptrdiff_t>(row) * frame->linesize[0],
                        picture.rgb.data() + static_cast<std::size_t>(row) * picture.width * 3,
                        static_cast<std::size_t>(picture.width) * 3);
        }
        status = avcodec_send_frame(context, frame);
    }
    if (status >= 0) {
        status = avcodec_receive_packet(context, packet);
    }
    if (status < 0) {
        failure = "encodage PNG échoué: " + avErrorText(status);
    } else {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(packet->data), packet->size);
        file.close();
        if (!file) {
            failure = "écriture impossible: " + path;
        }
    }
    cleanUp();
    return failure;
}

} // namespace quorvi::client
