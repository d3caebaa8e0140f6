#include "tools/FrameReader.h"

#include "protocol/Base64.h"
#include "protocol/JsonCodec.h"
#include "tools/AnnexB.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace quorvi::client {

namespace {

constexpr std::string_view kJpegMimeType = "image/jpeg";

// The sequence of a line that failed to decode as a frame, when it has one.
std::optional<std::int64_t> salvageSequence(std::string_view line) {
    const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
    if (object.is_object()) {
        const auto found = object.find("sequence");
        if (found != object.end() && found->is_number_integer()) {
            return found->get<std::int64_t>();
        }
    }
    return std::nullopt;
}

std::string number(double value) {
    char text[64];
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else {
        std::snprintf(text, sizeof text, "%g", value);
    }
    return text;
}

std::string sizeText(double width, double height) {
    return number(width) + "x" + number(height);
}

bool matchesFrameSize(int width, int height, const FrameReport& report) {
    return static_cast<double>(width) == report.width &&
           static_cast<double>(height) == report.height;
}

} // namespace

FrameReader::FrameReader() = default;
FrameReader::~FrameReader() = default;

FrameReport FrameReader::read(std::string_view line, double receivedAt) {
    FrameReport report;
    Decoded<ScreenFrameMessage> decoded = decodeScreenFrameMessage(line);
    if (!decoded.value) {
        report.sequence = salvageSequence(line);
        report.reason = "trame illisible: " + decoded.error;
        return report;
    }
    const ScreenFrameMessage& message = *decoded.value;
    report.sequence = message.sequence;
    report.width = message.width;
    report.height = message.height;
    report.subtitle = message.subtitle;
    report.latencyMs = (receivedAt - message.sentAt) * 1000.0;
    const auto fail = [&](std::string reason) {
        report.reason = std::move(reason);
        return report;
    };

    if (message.kind != "frame") {
        return fail("kind vaut \"" + message.kind + "\" au lieu de \"frame\"");
    }
    if (message.imageBase64 && message.videoBase64) {
        return fail("imageBase64 et videoBase64 présents ensemble");
    }
    if (message.imageMimeType && *message.imageMimeType != kJpegMimeType) {
        return fail("imageMimeType vaut \"" + *message.imageMimeType + "\" au lieu de \"" +
                    std::string(kJpegMimeType) + "\"");
    }

    if (message.videoBase64) {
        if (!message.videoCodec) {
            return fail("videoBase64 sans videoCodec");
        }
        const std::optional<VideoCodec> codec = videoCodecFromRawValue(*message.videoCodec);
        if (!codec) {
            return fail("videoCodec inconnu: \"" + *message.videoCodec + "\"");
        }
        report.payloadKind = *codec == VideoCodec::h264 ? "h264" : "hevc";
        if (!message.isKeyFrame) {
            return fail("videoBase64 sans isKeyFrame");
        }
        report.isKeyFrame = message.isKeyFrame;
        if (!message.imageMimeType) {
            return fail("trame vidéo sans imageMimeType \"image/jpeg\"");
        }
        const std::optional<std::vector<std::uint8_t>> bytes = decodeBase64(*message.videoBase64);
        if (!bytes) {
            return fail("videoBase64 n'est pas du Base64 valide");
        }
        report.payloadBytes = bytes->size();
        if (onAccessUnit) {
            onAccessUnit(*bytes);
        }
        readVideo(*bytes, *codec, report);
        return report;
    }
    if (message.videoCodec || message.isKeyFrame) {
        return fail("videoCodec ou isKeyFrame sans videoBase64");
    }
    if (message.imageBase64) {
        report.payloadKind = "jpeg";
        if (!message.imageMimeType) {
            return fail("imageBase64 sans imageMimeType");
        }
        const std::optional<std::vector<std::uint8_t>> bytes = decodeBase64(*message.imageBase64);
        if (!bytes) {
            return fail("imageBase64 n'est pas du Base64 valide");
        }
        report.payloadBytes = bytes->size();
        readJpeg(*bytes, report);
        return report;
    }
    report.isWellFormed = true;
    return report;
}

void FrameReader::readJpeg(std::span<const std::uint8_t> bytes, FrameReport& report) {
    std::string error;
    std::optional<RgbPicture> picture = jpegDecoder_.decode(bytes, error);
    if (!picture) {
        report.reason = error;
        return;
    }
    if (!matchesFrameSize(picture->width, picture->height, report)) {
        report.reason = "le JPEG mesure " + sizeText(picture->width, picture->height) +
                        ", la trame annonce " + sizeText(report.width, report.height);
        return;
    }
    lastJpeg_ = std::move(picture);
    isLastPictureVideo_ = false;
    report.isWellFormed = true;
}

void FrameReader::readVideo(std::span<const std::uint8_t> bytes, VideoCodec codec,
                            FrameReport& report) {
    const bool isKeyFrame = report.isKeyFrame.value_or(false);
    if (std::optional<std::string> breach = checkAccessUnit(bytes, codec, isKeyFrame)) {
        report.reason = *breach;
        return;
    }
    if (!videoDecoder_ || videoDecoder_->codec() != codec) {
        // A new stream (or the server switched codecs): its first picture
        // must be a key frame.
        videoDecoder_ = std::make_unique<VideoDecoder>(codec);
        isAwaitingKeyFrame_ = true;
    }
    if (isAwaitingKeyFrame_ && !isKeyFrame) {
        report.isAwaitingKeyFrame = true;
        report.isWellFormed = true;
        return;
    }
    const VideoDecoder::Result result = videoDecoder_->decode(bytes);
    if (!result.isDecoded) {
        report.reason = result.error;
        // Later units of this stream refer to what failed here: start again
        // at the next key frame rather than report each of them.
        videoDecoder_.reset();
        return;
    }
    isAwaitingKeyFrame_ = false;
    isLastPictureVideo_ = true;
    if (isKeyFrame && !result.isKeyFrame) {
        report.reason = "isKeyFrame vrai mais le décodeur n'y voit pas d'image clé";
        return;
    }
    if (!matchesFrameSize(result.width, result.height, report)) {
        report.reason = "l'image vidéo mesure " + sizeText(result.width, result.height) +
                        ", la trame annonce " + sizeText(report.width, report.height);
        return;
    }
    report.isWellFormed = true;
}

std::optional<RgbPicture> FrameReader::lastPicture() const {
    if (isLastPictureVideo_ && videoDecoder_) {
        return videoDecoder_->lastPicture();
    }
    return lastJpeg_;
}

std::string formatFrameLine(const FrameReport& report) {
    std::string text = "frame seq=" + (report.sequence ? std::to_string(*report.sequence) : "?") +
                       " payload=" + report.payloadKind +
                       " size=" + sizeText(report.width, report.height) +
                       " bytes=" + std::to_string(report.payloadBytes) +
                       " key=" + (report.isKeyFrame ? (*report.isKeyFrame ? "yes" : "no") : "-");
    char latency[64];
    std::snprintf(latency, sizeof latency, " latency_ms=%.1f", report.latencyMs);
    text += latency;
    if (report.payloadKind == "none") {
        text += " subtitle=\"" + report.subtitle + "\"";
    }
    if (report.isAwaitingKeyFrame) {
        text += " decoded=no (attente d'une image clé)";
    }
    return text;
}

std::string formatMalformedLine(const FrameReport& report) {
    return "trame malformée seq=" +
           (report.sequence ? std::to_string(*report.sequence) : std::string("?")) + ": " +
           report.reason;
}

} // namespace quorvi::client
