// The libavcodec sessions against the real tools: what the server sends is a
// stream ffmpeg decodes without a word, with the pictures that went in.

#include "capture/AnnexB.h"
#include "capture/H264FrameRepeater.h"
#include "capture/ScreenCaptureSession.h"
#include "capture/VideoFrameEncoder.h"
#include "linux/TestCommands.h"
#include "platform/linux/LibavCompressionSession.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
}

namespace quorvi {
namespace {

// Blue, green, red, white quadrants (BGRA), and a grey square that moves.
constexpr std::uint8_t kQuadrants[4][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}};

CapturedVideoBuffer quadrantPicture(int width, int height, int frame) {
    auto picture = std::make_shared<PixelBuffer>(width, height);
    for (int i = 0; i < width * height * 4; ++i) {
        const int x = i / 4 % width;
        const int y = i / 4 / width;
        const bool isSquare = std::abs(y - height / 2) < 8 && x / 16 == frame % (width / 16);
        const int q = (y >= height / 2 ? 2 : 0) + (x >= width / 2);
        picture->mutableData()[i] = i % 4 == 3 ? 255 : isSquare ? 128 : kQuadrants[q][i % 4];
    }
    return {picture, width, height};
}

// [00 00 00 01, unit]..., read independently of the code under test: a key
// frame is its parameter sets in order then IDR slices, others only slices.
void expectLayout(const EncodedVideoFrame& frame, int index) {
    SCOPED_TRACE(::testing::Message() << "frame " << index);
    const bool isHevc = frame.codec == "hevc-annexb";
    EXPECT_TRUE(isHevc || frame.codec == "h264-annexb") << frame.codec;
    const std::vector<std::uint8_t>& data = frame.data;
    ASSERT_TRUE(data.size() > 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1);
    const std::vector<int> sets = isHevc ? std::vector<int>{32, 33, 34} : std::vector<int>{7, 8};
    std::vector<int> types;
    bool hasSlice = false;
    for (std::size_t i = 1; i + 3 < data.size(); ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            ASSERT_TRUE(data[i - 1] == 0 && (i == 1 || data[i - 2] != 0)) << "start code at " << i;
            const int type = isHevc ? (data[i + 3] >> 1) & 0x3f : data[i + 3] & 0x1f;
            const bool isSet = std::count(sets.begin(), sets.end(), type) > 0;
            const bool isSlice = isHevc ? type < 32 : type == 1 || type == 5;
            const bool isIdr = isHevc ? type == 19 || type == 20 : type == 5;
            EXPECT_EQ(isSet, frame.isKeyFrame && types.size() < sets.size()) << "unit " << type;
            EXPECT_TRUE(!isSlice || !frame.isKeyFrame || isIdr) << "a key frame of IDR slices";
            types.push_back(type);
            hasSlice = hasSlice || isSlice;
        }
    }
    if (frame.isKeyFrame) {
        ASSERT_GT(types.size(), sets.size());
        EXPECT_EQ(std::vector<int>(types.begin(), types.begin() + sets.size()), sets);
    }
    EXPECT_TRUE(hasSlice);
}

// ffprobe counts every frame, the last one has the size and the colours.
void expectToolsAgree(const std::vector<EncodedVideoFrame>& frames, int width, int height) {
    const std::string file = "/tmp/quorvi-video-" + std::to_string(getpid()) +
                             (frames[0].codec == "hevc-annexb" ? ".hevc" : ".h264");
    std::ofstream out(file, std::ios::binary);
    for (const auto& frame : frames) {
        out.write(reinterpret_cast<const char*>(frame.data.data()),
                  static_cast<std::streamsize>(frame.data.size()));
    }
    out.close();
    const std::string input = " -v error -i " + file;
    EXPECT_EQ(testing::runCommand("ffmpeg -nostdin" + input + " -f null -").output, "");
    EXPECT_EQ(testing::runCommand("ffprobe -count_frames -show_entries "
                                  "stream=width,height,nb_read_frames -of csv=p=0" +
                                  input)
                  .output,
              std::to_string(width) + "," + std::to_string(height) + "," +
                  std::to_string(frames.size()) + "\n");
    const std::string pixels =
        testing::runCommand("ffmpeg -nostdin" + input + " -vf 'select=eq(n\\," +
                            std::to_string(frames.size() - 1) +
                            ")' -vsync 0 -f rawvideo -pix_fmt bgra -")
            .output;
    std::remove(file.c_str());
    ASSERT_EQ(pixels.size(), static_cast<std::size_t>(width) * height * 4);
    for (int q = 0; q < 4; ++q) {
        const int at = ((height / 4 + q / 2 * height / 2) * width + width / 4 + q % 2 * width / 2);
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(static_cast<std::uint8_t>(pixels[at * 4 + c]), kQuadrants[q][c], 16) << q;
        }
    }
}

// Key frames come first, then at most 2 s apart, and besides only when asked
// for or when a frame rate change (10 to 30 fps) reopens the session. The
// last row is the bundle's own choice (hardware where there is one).
TEST(LibavEncoder, EachStreamDecodesWithTheRealToolsAndKeyFramesComeWhenDue) {
    const auto only = [](std::vector<std::string> hevc, std::vector<std::string> h264) {
        return std::make_shared<VideoFrameEncoder>(
            makeLibavCompressionSessionFactory({std::move(hevc), std::move(h264)}));
    };
    // What the capture makes of a display with odd sides, and of an odd
    // height from the client's width: the size the frame message states,
    // which the decoded picture must have too.
    const auto captured = [](std::size_t wide, std::size_t high, std::int64_t target) {
        const auto size =
            ScreenCaptureSession::outputSize(wide, high, {.maxWidth = 1920, .targetWidth = target});
        return std::pair{static_cast<int>(size.width), static_cast<int>(size.height)};
    };
    const auto [oddWidth, oddHeight] = captured(1179, 737, 1920);
    const auto [narrowWidth, narrowHeight] = captured(1920, 1080, 844);
    const struct {
        std::shared_ptr<VideoEncoder> encoder;
        std::string codec; // empty: either
        int width, height, count, forceAt, switchAt;
    } cases[] = {
        {only({}, {"libx264"}), "h264-annexb", 1280, 800, 60, 35, -1},
        {only({"libx265"}, {}), "hevc-annexb", 320, 192, 60, -1, -1},
        {only({}, {"libx264"}), "h264-annexb", oddWidth, oddHeight, 10, -1, -1},
        {only({"libx265"}, {}), "hevc-annexb", narrowWidth, narrowHeight, 10, -1, -1},
        {makeLibavVideoEncoder(), "", 640, 400, 12, -1, 6},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(::testing::Message() << row.width << "x" << row.height);
        std::vector<EncodedVideoFrame> frames;
        std::vector<int> keyFrames;
        for (int i = 0; i < row.count; ++i) {
            if (i == row.forceAt) {
                row.encoder->forceKeyFrame();
            }
            const std::int64_t fps = row.switchAt >= 0 && i >= row.switchAt ? 30 : 10;
            auto frame =
                row.encoder->encode(quadrantPicture(row.width, row.height, i), {.fps = fps});
            ASSERT_TRUE(frame) << "no frame for picture " << i;
            expectLayout(*frame, i);
            if (frame->isKeyFrame) {
                keyFrames.push_back(i);
            }
            frames.push_back(std::move(*frame));
        }
        EXPECT_TRUE(row.codec.empty() || frames[0].codec == row.codec) << frames[0].codec;
        ASSERT_EQ(keyFrames[0], 0);
        keyFrames.push_back(row.count);
        for (std::size_t k = 1; k < keyFrames.size(); ++k) {
            EXPECT_LE(keyFrames[k] - keyFrames[k - 1], 20) << "key frame " << k;
        }
        EXPECT_LE(keyFrames.size(), row.count / 20u + 3) << "key frames only when due or asked";
        for (const int asked : {row.forceAt, row.switchAt}) {
            EXPECT_TRUE(asked < 0 || std::count(keyFrames.begin(), keyFrames.end(), asked));
        }
        expectToolsAgree(frames, row.width, row.height);
    }
}

// The client's decoder, strict about errors: every picture's planes in order.
std::string decodeStrictly(const std::vector<std::vector<std::uint8_t>>& units) {
    AVCodecContext* decoder = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
    decoder->err_recognition = AV_EF_CAREFUL | AV_EF_COMPLIANT | AV_EF_EXPLODE;
    EXPECT_EQ(avcodec_open2(decoder, nullptr, nullptr), 0);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::string pictures;
    for (std::size_t i = 0; i <= units.size(); ++i) {
        if (i < units.size() && av_new_packet(packet, static_cast<int>(units[i].size())) == 0) {
            std::copy(units[i].begin(), units[i].end(), packet->data);
        }
        EXPECT_EQ(avcodec_send_packet(decoder, i < units.size() ? packet : nullptr), 0) << i;
        av_packet_unref(packet);
        while (avcodec_receive_frame(decoder, frame) == 0) {
            EXPECT_EQ(frame->decode_error_flags, 0) << "concealed in " << i;
            const int size =
                av_image_get_buffer_size(AV_PIX_FMT_YUV420P, frame->width, frame->height, 1);
            pictures.resize(pictures.size() + static_cast<std::size_t>(size));
            av_image_copy_to_buffer(
                reinterpret_cast<std::uint8_t*>(pictures.data() + pictures.size() - size), size,
                frame->data, frame->linesize, AV_PIX_FMT_YUV420P, frame->width, frame->height, 1);
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    return pictures;
}

// An unchanged picture goes out as the repeater's skipped picture instead of
// the encoder's. libx264 as the server opens it cuts each picture into one
// slice per thread. Pictures A to E, K a forced IDR, R a repeat.
TEST(LibavEncoder, RepeatsShowTheLastPictureAndLeaveTheEncodersPicturesExact) {
    const std::string script = "AB" + std::string(20, 'R') + "CDKRRE";
    VideoFrameEncoder encoder(makeLibavCompressionSessionFactory({{}, {"libx264"}}));
    H264FrameRepeater repeater;
    std::vector<std::vector<std::uint8_t>> sent, encoded;
    for (std::size_t i = 0; i < script.size(); ++i) {
        if (script[i] == 'R') {
            sent.push_back(repeater.repeat());
            continue;
        }
        if (script[i] == 'K') {
            encoder.forceKeyFrame();
        }
        auto frame = encoder.encode(quadrantPicture(320, 192, static_cast<int>(i)), {.fps = 30});
        ASSERT_TRUE(frame && frame->isKeyFrame == (i == 0 || script[i] == 'K')) << i;
        const auto sets = splitAnnexB(frame->data);
        ASSERT_TRUE(i > 0 || repeater.reset(sets[0], sets[1]));
        encoded.push_back(frame->data);
        sent.push_back(frame->data);
        EXPECT_TRUE(repeater.adopt(sent.back())) << i;
    }
    const std::size_t size = 320 * 192 * 3 / 2;
    const std::string shown = decodeStrictly(sent);
    const std::string alone = decodeStrictly(encoded);
    ASSERT_EQ(shown.size(), script.size() * size);
    for (std::size_t i = 0, j = 0; i < script.size(); ++i) {
        const auto& [source, at] =
            script[i] == 'R' ? std::pair{&shown, i - 1} : std::pair{&alone, j++};
        EXPECT_EQ(shown.compare(i * size, size, *source, at * size, size), 0) << i;
    }
}

} // namespace
} // namespace quorvi
