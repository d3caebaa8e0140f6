#include "capture/VideoFrameEncoder.h"
#include "linux/TestCommands.h"
#include "platform/linux/LibavCompressionSession.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

// The libavcodec sessions against the real tools: what the server sends,
// written back to back, must be a stream ffmpeg decodes without a word,
// with the pictures that went in.

namespace quorvi {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Colour {
    std::uint8_t blue, green, red;
};

// Four flat quadrants (red, green, blue, white) and a grey square that
// moves along the horizontal middle line, so that consecutive frames differ
// while the quadrants' centres stay put.
std::shared_ptr<const PixelBuffer> quadrantPicture(int width, int height, int frame) {
    auto picture = std::make_shared<PixelBuffer>(width, height);
    const Colour colours[4] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}};
    const int square = std::max(8, height / 12);
    const int squareLeft = (frame * 7) % std::max(1, width - square);
    const int squareTop = height / 2 - square / 2;
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row =
            picture->mutableData() + static_cast<std::size_t>(y) * picture->bytesPerRow();
        for (int x = 0; x < width; ++x) {
            Colour colour = colours[(y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0)];
            if (x >= squareLeft && x < squareLeft + square && y >= squareTop &&
                y < squareTop + square) {
                colour = {128, 128, 128};
            }
            row[4 * x] = colour.blue;
            row[4 * x + 1] = colour.green;
            row[4 * x + 2] = colour.red;
            row[4 * x + 3] = 255;
        }
    }
    return picture;
}

StreamEncodingSettings atFps(std::int64_t fps) {
    StreamEncodingSettings settings;
    settings.fps = fps;
    return settings;
}

using testing::CommandResult;
constexpr auto run = testing::runCommand;

// A temporary file removed at the end of the test.
class TempFile {
public:
    explicit TempFile(const std::string& extension)
        : path_(std::filesystem::temp_directory_path() /
                ("quorvi-video-" + std::to_string(getpid()) + "-" + std::to_string(counter_++) +
                 extension)) {}
    ~TempFile() {
        std::error_code error;
        std::filesystem::remove(path_, error);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    static inline int counter_ = 0;
    std::filesystem::path path_;
};

// nal_unit_type of every unit, found independently of the code under test:
// the access unit must be a run of [00 00 00 01, unit] and nothing else.
std::vector<int> unitTypes(const Bytes& data, VideoCodec codec, std::string& fault) {
    std::vector<int> types;
    if (data.size() < 5 || data[0] != 0 || data[1] != 0 || data[2] != 0 || data[3] != 1) {
        fault = "does not begin with 00 00 00 01";
        return types;
    }
    for (std::size_t i = 0; i + 2 < data.size(); ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (i == 0 || data[i - 1] != 0 || (i >= 2 && data[i - 2] == 0)) {
                fault = "a start code that is not 00 00 00 01 at " + std::to_string(i);
                return types;
            }
            if (i + 3 >= data.size()) {
                fault = "an empty unit at the end";
                return types;
            }
            const std::uint8_t header = data[i + 3];
            types.push_back(codec == VideoCodec::hevc ? (header >> 1) & 0x3f : header & 0x1f);
        }
    }
    return types;
}

void expectLayout(const EncodedVideoFrame& frame, VideoCodec codec, int index) {
    std::string fault;
    const std::vector<int> types = unitTypes(frame.data, codec, fault);
    ASSERT_TRUE(fault.empty()) << "frame " << index << ": " << fault;
    const std::vector<int> sets =
        codec == VideoCodec::hevc ? std::vector<int>{32, 33, 34} : std::vector<int>{7, 8};
    const auto isSet = [&](int type) {
        return std::find(sets.begin(), sets.end(), type) != sets.end();
    };
    std::size_t firstOther = 0;
    if (frame.isKeyFrame) {
        ASSERT_GT(types.size(), sets.size()) << "frame " << index;
        EXPECT_EQ(std::vector<int>(types.begin(), types.begin() + sets.size()), sets)
            << "frame " << index << ": parameter sets first";
        firstOther = sets.size();
    }
    bool hasSlice = false;
    for (std::size_t i = firstOther; i < types.size(); ++i) {
        EXPECT_FALSE(isSet(types[i])) << "frame " << index << ": a parameter set among the slices";
        const bool slice =
            codec == VideoCodec::hevc ? types[i] < 32 : types[i] == 1 || types[i] == 5;
        hasSlice = hasSlice || slice;
        if (slice && frame.isKeyFrame) {
            const bool idr =
                codec == VideoCodec::hevc ? types[i] == 19 || types[i] == 20 : types[i] == 5;
            EXPECT_TRUE(idr) << "frame " << index << ": a key frame of IDR slices";
        }
    }
    EXPECT_TRUE(hasSlice) << "frame " << index;
}

struct Stream {
    std::vector<EncodedVideoFrame> frames;
    std::vector<int> keyFrames;
};

// Encodes `count` quadrant pictures; forcing a key frame at forceAt.
Stream encodeStream(VideoFrameEncoder& encoder, int width, int height, std::int64_t fps, int count,
                    int forceAt = -1) {
    Stream stream;
    for (int i = 0; i < count; ++i) {
        if (i == forceAt) {
            encoder.forceKeyFrame();
        }
        const auto picture = quadrantPicture(width, height, i);
        auto frame = encoder.encode(CapturedVideoBuffer{picture, width, height}, atFps(fps));
        if (!frame) {
            ADD_FAILURE() << "no frame for picture " << i;
            return stream;
        }
        if (frame->isKeyFrame) {
            stream.keyFrames.push_back(i);
        }
        stream.frames.push_back(std::move(*frame));
    }
    return stream;
}

void writeStream(const Stream& stream, const std::filesystem::path& path) {
    std::ofstream file(path, std::ios::binary);
    for (const auto& frame : stream.frames) {
        file.write(reinterpret_cast<const char*>(frame.data.data()),
                   static_cast<std::streamsize>(frame.data.size()));
    }
}

void expectKeyFramesAtMost(const Stream& stream, int interval, int count) {
    ASSERT_FALSE(stream.keyFrames.empty());
    EXPECT_EQ(stream.keyFrames.front(), 0);
    int previous = 0;
    for (int key : stream.keyFrames) {
        EXPECT_LE(key - previous, interval);
        previous = key;
    }
    EXPECT_LT(count - previous, interval + 1) << "a key frame within the last interval";
}

// ffmpeg decodes it without a word, ffprobe counts every frame.
void expectToolsAgree(const std::filesystem::path& file, int frames) {
    const CommandResult decode = run("ffmpeg -nostdin -v error -i " + file.string() + " -f null -");
    EXPECT_EQ(decode.status, 0);
    EXPECT_EQ(decode.output, "");
    const CommandResult count =
        run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
            "stream=nb_read_frames -of csv=p=0 " +
            file.string());
    EXPECT_EQ(count.status, 0);
    EXPECT_EQ(count.output, std::to_string(frames) + "\n");
}

std::string probeSize(const std::filesystem::path& file) {
    return run("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of "
               "csv=p=0:s=x " +
               file.string())
        .output;
}

// The last picture as libavcodec decodes it (through ffmpeg), in BGRA.
Bytes decodeLast(const std::filesystem::path& file, int index, int width, int height) {
    TempFile raw(".bgra");
    const CommandResult decode =
        run("ffmpeg -nostdin -v error -i " + file.string() + " -vf 'select=eq(n\\," +
            std::to_string(index) + ")' -vsync 0 -frames:v 1 -f rawvideo -pix_fmt bgra -y " +
            raw.path().string());
    EXPECT_EQ(decode.status, 0) << decode.output;
    std::ifstream in(raw.path(), std::ios::binary);
    Bytes pixels((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(pixels.size(), static_cast<std::size_t>(width) * height * 4);
    return pixels;
}

void expectQuadrants(const Bytes& pixels, int width, int height) {
    if (pixels.size() != static_cast<std::size_t>(width) * height * 4) {
        return;
    }
    const Colour expected[4] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}};
    const int points[4][2] = {{width / 4, height / 4},
                              {3 * width / 4, height / 4},
                              {width / 4, 3 * height / 4},
                              {3 * width / 4, 3 * height / 4}};
    for (int q = 0; q < 4; ++q) {
        const std::uint8_t* pixel =
            pixels.data() + (static_cast<std::size_t>(points[q][1]) * width + points[q][0]) * 4;
        EXPECT_NEAR(pixel[0], expected[q].blue, 16) << "quadrant " << q;
        EXPECT_NEAR(pixel[1], expected[q].green, 16) << "quadrant " << q;
        EXPECT_NEAR(pixel[2], expected[q].red, 16) << "quadrant " << q;
    }
}

std::shared_ptr<CompressionSessionFactory> only(std::vector<std::string> hevc,
                                                std::vector<std::string> h264) {
    return makeLibavCompressionSessionFactory(LibavEncoderChoice{std::move(hevc), std::move(h264)});
}

TEST(LibavEncoder, ProbesWhatThisMachineHas) {
    const std::vector<std::string> all = {"hevc_vaapi",     "hevc_nvenc", "h264_vaapi",
                                          "h264_nvenc",     "libx264",    "libx265",
                                          "no_such_encoder"};
    const std::vector<std::string> usable = usableLibavEncoders(all);
    std::string list;
    for (const auto& name : usable) {
        list += name + " ";
    }
    std::printf("usable encoders: %s\n", list.c_str());
    EXPECT_NE(std::find(usable.begin(), usable.end(), "libx264"), usable.end());
    EXPECT_EQ(std::find(usable.begin(), usable.end(), "no_such_encoder"), usable.end());
    // Asked again, the answer is the remembered one.
    EXPECT_EQ(usableLibavEncoders(all), usable);
}

TEST(LibavEncoder, Libx264StreamDecodesWithTheRealTools) {
    VideoFrameEncoder encoder(only({}, {"libx264"}));
    const int width = 1280;
    const int height = 800;
    const std::int64_t fps = 10;
    const Stream stream = encodeStream(encoder, width, height, fps, 60, 35);
    ASSERT_EQ(stream.frames.size(), 60u);
    for (std::size_t i = 0; i < stream.frames.size(); ++i) {
        EXPECT_EQ(stream.frames[i].codec, "h264-annexb");
        expectLayout(stream.frames[i], VideoCodec::h264, static_cast<int>(i));
    }
    expectKeyFramesAtMost(stream, 2 * fps, 60);
    EXPECT_NE(std::find(stream.keyFrames.begin(), stream.keyFrames.end(), 35),
              stream.keyFrames.end())
        << "the forced key frame";
    EXPECT_LE(stream.keyFrames.size(), 5u) << "key frames only when due or asked for";

    TempFile file(".h264");
    writeStream(stream, file.path());
    expectToolsAgree(file.path(), 60);
    EXPECT_EQ(probeSize(file.path()), "1280x800\n");
    expectQuadrants(decodeLast(file.path(), 59, width, height), width, height);
}

TEST(LibavEncoder, Libx265StreamHasTheHevcLayout) {
    VideoFrameEncoder encoder(only({"libx265"}, {}));
    const int width = 320;
    const int height = 192;
    const std::int64_t fps = 10;
    const Stream stream = encodeStream(encoder, width, height, fps, 60);
    ASSERT_EQ(stream.frames.size(), 60u);
    for (std::size_t i = 0; i < stream.frames.size(); ++i) {
        EXPECT_EQ(stream.frames[i].codec, "hevc-annexb");
        expectLayout(stream.frames[i], VideoCodec::hevc, static_cast<int>(i));
    }
    expectKeyFramesAtMost(stream, 2 * fps, 60);

    TempFile file(".hevc");
    writeStream(stream, file.path());
    expectToolsAgree(file.path(), 60);
    expectQuadrants(decodeLast(file.path(), 59, width, height), width, height);
}

TEST(LibavEncoder, OddSizesLoseTheirLastColumnAndRow) {
    VideoFrameEncoder encoder(only({}, {"libx264"}));
    const Stream stream = encodeStream(encoder, 1179, 737, 15, 10);
    ASSERT_EQ(stream.frames.size(), 10u);
    TempFile file(".h264");
    writeStream(stream, file.path());
    expectToolsAgree(file.path(), 10);
    EXPECT_EQ(probeSize(file.path()), "1178x736\n");
    expectQuadrants(decodeLast(file.path(), 9, 1178, 736), 1178, 736);
}

TEST(LibavEncoder, AFrameRateChangeReopensWithAKeyFrame) {
    VideoFrameEncoder encoder(only({}, {"libx264"}));
    Stream stream;
    for (int i = 0; i < 12; ++i) {
        const std::int64_t fps = i < 6 ? 10 : 30;
        const auto picture = quadrantPicture(640, 400, i);
        auto frame = encoder.encode(CapturedVideoBuffer{picture, 640, 400}, atFps(fps));
        ASSERT_TRUE(frame) << i;
        expectLayout(*frame, VideoCodec::h264, i);
        if (frame->isKeyFrame) {
            stream.keyFrames.push_back(i);
        }
        stream.frames.push_back(std::move(*frame));
    }
    EXPECT_EQ(stream.keyFrames, (std::vector<int>{0, 6}));
    TempFile file(".h264");
    writeStream(stream, file.path());
    expectToolsAgree(file.path(), 12);
}

TEST(LibavEncoder, TheBundlesEncoderDeliversVideo) {
    const auto encoder = makeLibavVideoEncoder();
    const auto picture = quadrantPicture(640, 400, 0);
    const auto frame = encoder->encode(CapturedVideoBuffer{picture, 640, 400}, atFps(30));
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->isKeyFrame);
    std::printf("codec chosen: %s\n", frame->codec.c_str());
}

} // namespace
} // namespace quorvi
