// quorvi-client as a black box, against a loopback server played by the
// test: JPEG frames from our TurboJPEG encoder, H.264 and HEVC access units
// made here with libx264 and libx265 through libavcodec, and lines broken in
// every way the client must notice. Checks what it prints, what it sends,
// the PNG and the Annex-B dump it writes, and its exit codes.

#include "capture/VideoFrameEncoder.h"
#include "platform/linux/TurboJpegEncoder.h"
#include "protocol/Base64.h"
#include "protocol/JsonCodec.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace quorvi {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

double now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::filesystem::path clientPath() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "quorvi-client";
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (line.rfind(prefix, 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

// ---- the pictures -----------------------------------------------------------

constexpr int kWidth = 64;
constexpr int kHeight = 48;

struct Rgb {
    int r = 0;
    int g = 0;
    int b = 0;
};

// Quadrants red, green / blue, white, as BT.601 limited-range YUV.
constexpr Rgb kQuadrantRgb[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
constexpr int kQuadrantYuv[4][3] = {{81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {235, 128, 128}};

int quadrant(int x, int y) {
    return (y >= kHeight / 2 ? 2 : 0) + (x >= kWidth / 2 ? 1 : 0);
}

std::shared_ptr<PixelBuffer> bgraQuadrants() {
    auto picture = std::make_shared<PixelBuffer>(kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const Rgb& colour = kQuadrantRgb[quadrant(x, y)];
            std::uint8_t* pixel = picture->mutableData() +
                                  static_cast<std::size_t>(y) * picture->bytesPerRow() +
                                  static_cast<std::size_t>(x) * 4;
            pixel[0] = static_cast<std::uint8_t>(colour.b);
            pixel[1] = static_cast<std::uint8_t>(colour.g);
            pixel[2] = static_cast<std::uint8_t>(colour.r);
            pixel[3] = 255;
        }
    }
    return picture;
}

Bytes jpegQuadrants(int quality = 90) {
    TurboJpegEncoder encoder;
    return encoder.encode(*bgraQuadrants(), quality).value_or(Bytes{});
}

struct AccessUnit {
    Bytes data;
    bool isKeyFrame = false;
};

// Every NAL unit again, each after 00 00 00 01, as the server sends them
// (x264 writes 3-byte start codes before some units).
Bytes withLongStartCodes(const Bytes& stream) {
    std::vector<std::pair<std::size_t, std::size_t>> units; // [begin, end)
    std::size_t i = 0;
    std::optional<std::size_t> begin;
    while (i + 3 <= stream.size()) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            if (begin) {
                std::size_t end = i;
                while (end > *begin && stream[end - 1] == 0) {
                    --end;
                }
                units.emplace_back(*begin, end);
            }
            begin = i + 3;
            i += 3;
        } else {
            ++i;
        }
    }
    if (begin) {
        units.emplace_back(*begin, stream.size());
    }
    Bytes out;
    for (const auto& [from, to] : units) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(from),
                   stream.begin() + static_cast<std::ptrdiff_t>(to));
    }
    return out;
}

// A short stream of the quadrants with a small grey square moving along the
// top edge, one access unit per picture, a key frame every gop pictures.
std::optional<std::vector<AccessUnit>> encodeStream(const char* encoderName, int count, int gop) {
    // The encoders' statistics would bury the test output.
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name(encoderName);
    if (codec == nullptr) {
        return std::nullopt;
    }
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->width = kWidth;
    context->height = kHeight;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = AVRational{1, 30};
    context->framerate = AVRational{30, 1};
    context->gop_size = gop;
    context->max_b_frames = 0;
    av_opt_set(context->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context->priv_data, "tune", "zerolatency", 0);
    av_opt_set(context->priv_data, "crf", "12", 0);
    if (std::string(encoderName) == "libx265") {
        av_opt_set(context->priv_data, "x265-params",
                   ("log-level=error:keyint=" + std::to_string(gop) +
                    ":min-keyint=" + std::to_string(gop) + ":scenecut=0")
                       .c_str(),
                   0);
    } else {
        av_opt_set(context->priv_data, "x264-params", "scenecut=0", 0);
    }
    if (avcodec_open2(context, codec, nullptr) < 0) {
        avcodec_free_context(&context);
        return std::nullopt;
    }
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = kWidth;
    frame->height = kHeight;
    av_frame_get_buffer(frame, 0);
    AVPacket* packet = av_packet_alloc();
    std::vector<AccessUnit> units;
    const auto drain = [&] {
        while (avcodec_receive_packet(context, packet) == 0) {
            units.push_back({withLongStartCodes(Bytes(packet->data, packet->data + packet->size)),
                             (packet->flags & AV_PKT_FLAG_KEY) != 0});
            av_packet_unref(packet);
        }
    };
    for (int index = 0; index < count; ++index) {
        av_frame_make_writable(frame);
        for (int plane = 0; plane < 3; ++plane) {
            const int shift = plane == 0 ? 0 : 1;
            for (int y = 0; y < (kHeight >> shift); ++y) {
                for (int x = 0; x < (kWidth >> shift); ++x) {
                    int value = kQuadrantYuv[quadrant(x << shift, y << shift)][plane];
                    const int squareX = (index * 6) % (kWidth - 8);
                    if ((y << shift) < 8 && (x << shift) >= squareX && (x << shift) < squareX + 8) {
                        value = plane == 0 ? 128 : 128;
                    }
                    frame->data[plane][y * frame->linesize[plane] + x] =
                        static_cast<std::uint8_t>(value);
                }
            }
        }
        frame->pts = index;
        frame->pict_type = AV_PICTURE_TYPE_NONE;
        avcodec_send_frame(context, frame);
        drain();
    }
    avcodec_send_frame(context, nullptr);
    drain();
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return units;
}

// The picture of a PNG file, as RGB24.
struct DecodedPng {
    int width = 0;
    int height = 0;
    Bytes rgb;

    Rgb at(int x, int y) const {
        const std::size_t offset = (static_cast<std::size_t>(y) * width + x) * 3;
        return {rgb[offset], rgb[offset + 1], rgb[offset + 2]};
    }
};

std::optional<DecodedPng> decodePng(const std::string& bytes) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    std::optional<DecodedPng> result;
    if (avcodec_open2(context, codec, nullptr) == 0) {
        AVPacket* packet = av_packet_alloc();
        av_new_packet(packet, static_cast<int>(bytes.size()));
        std::memcpy(packet->data, bytes.data(), bytes.size());
        AVFrame* frame = av_frame_alloc();
        if (avcodec_send_packet(context, packet) == 0 &&
            avcodec_receive_frame(context, frame) == 0 && frame->format == AV_PIX_FMT_RGB24) {
            DecodedPng png;
            png.width = frame->width;
            png.height = frame->height;
            for (int y = 0; y < frame->height; ++y) {
                const std::uint8_t* row = frame->data[0] + y * frame->linesize[0];
                png.rgb.insert(png.rgb.end(), row, row + frame->width * 3);
            }
            result = png;
        }
        av_frame_free(&frame);
        av_packet_free(&packet);
    }
    avcodec_free_context(&context);
    return result;
}

void expectQuadrants(const DecodedPng& png, int tolerance) {
    ASSERT_EQ(png.width, kWidth);
    ASSERT_EQ(png.height, kHeight);
    const int xs[2] = {kWidth / 4, kWidth * 3 / 4};
    const int ys[2] = {kHeight / 4 + 4, kHeight * 3 / 4};
    for (int q = 0; q < 4; ++q) {
        const Rgb seen = png.at(xs[q % 2], ys[q / 2]);
        EXPECT_NEAR(seen.r, kQuadrantRgb[q].r, tolerance) << "quadrant " << q;
        EXPECT_NEAR(seen.g, kQuadrantRgb[q].g, tolerance) << "quadrant " << q;
        EXPECT_NEAR(seen.b, kQuadrantRgb[q].b, tolerance) << "quadrant " << q;
    }
}

// ---- the frames -------------------------------------------------------------

ScreenFrameMessage baseFrame(std::int64_t sequence) {
    ScreenFrameMessage message;
    message.sequence = sequence;
    message.sentAt = now();
    message.width = kWidth;
    message.height = kHeight;
    message.title = "Écran principal";
    message.subtitle = "Miroir";
    message.cursor = CursorPoint{10, 20, false, std::string("arrow")};
    return message;
}

ScreenFrameMessage jpegFrame(std::int64_t sequence, const Bytes& jpeg) {
    ScreenFrameMessage message = baseFrame(sequence);
    message.imageBase64 = encodeBase64(jpeg);
    message.imageMimeType = "image/jpeg";
    return message;
}

ScreenFrameMessage videoFrame(std::int64_t sequence, const AccessUnit& unit, VideoCodec codec) {
    ScreenFrameMessage message = baseFrame(sequence);
    message.videoBase64 = encodeBase64(unit.data);
    message.videoCodec = std::string(rawValue(codec));
    message.isKeyFrame = unit.isKeyFrame;
    message.imageMimeType = "image/jpeg";
    return message;
}

ScreenFrameMessage emptyFrame(std::int64_t sequence, const std::string& subtitle) {
    ScreenFrameMessage message = baseFrame(sequence);
    message.width = 2880;
    message.height = 1800;
    message.subtitle = subtitle;
    message.cursor = CursorPoint{};
    return message;
}

std::string line(const ScreenFrameMessage& message) {
    return encodeScreenFrameMessage(message).value.value() + "\n";
}

// ---- the loopback server and the client process -----------------------------

class LoopbackServer {
public:
    LoopbackServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        socklen_t size = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackServer() {
        closeClient();
        ::close(listener_);
    }

    std::uint16_t port() const { return port_; }

    bool accept(std::chrono::milliseconds timeout = 10s) {
        pollfd waiting{listener_, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(timeout.count())) <= 0) {
            return false;
        }
        client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return client_ >= 0;
    }

    bool send(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const auto count =
                ::send(client_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (count <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(count);
        }
        return true;
    }

    std::optional<std::string> readLine(std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            const auto feed = pending_.find('\n');
            if (feed != std::string::npos) {
                std::string result = pending_.substr(0, feed);
                pending_.erase(0, feed + 1);
                return result;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd waiting{client_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            char buffer[4096];
            const auto count = ::recv(client_, buffer, sizeof buffer, 0);
            if (count <= 0) {
                return std::nullopt;
            }
            pending_.append(buffer, static_cast<std::size_t>(count));
        }
    }

    // An orderly end of stream, after every byte sent.
    void finishSending() { ::shutdown(client_, SHUT_WR); }

    void closeClient() {
        if (client_ >= 0) {
            ::close(client_);
            client_ = -1;
        }
    }

private:
    int listener_ = -1;
    int client_ = -1;
    std::uint16_t port_ = 0;
    std::string pending_;
};

struct ClientRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class QuorviClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(clientPath())) {
            GTEST_SKIP() << "quorvi-client is not built next to the tests";
        }
        folder_ = std::filesystem::temp_directory_path() /
                  ("quorvi-client-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override {
        if (!folder_.empty()) {
            std::filesystem::remove_all(folder_);
        }
    }

    // Starts the client in the background; the result comes when it exits.
    std::future<ClientRun> start(const std::string& arguments) {
        const std::string outPath = (folder_ / "out.txt").string();
        const std::string errPath = (folder_ / "err.txt").string();
        const std::string command = clientPath().string() + " " + arguments + " >" + outPath +
                                    " 2>" + errPath + " </dev/null";
        return std::async(std::launch::async, [=] {
            ClientRun result;
            const int status = std::system(command.c_str());
            result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            result.out = readFile(outPath);
            result.err = readFile(errPath);
            return result;
        });
    }

    ClientRun finish(std::future<ClientRun>& running) {
        if (running.wait_for(30s) != std::future_status::ready) {
            ADD_FAILURE() << "quorvi-client did not end";
            return {};
        }
        return running.get();
    }

    std::string address() const { return "127.0.0.1:" + std::to_string(server_.port()); }
    std::string file(const std::string& name) const { return (folder_ / name).string(); }

    LoopbackServer server_;
    std::filesystem::path folder_;
};

TEST_F(QuorviClientTest, ReadsJpegFramesSendsItsMessagesInOrderAndSavesThePicture) {
    auto running = start(address() + " --frames 3 --save " + file("last.png") +
                         " --tap 0.25,0.75 --viewport 390x844 --stats 40,30"
                         " --send '{\"kind\":\"custom\",\"note\":\"à la main\"}'");
    ASSERT_TRUE(server_.accept());

    // What it sends comes first, once, in the order given.
    const std::optional<std::string> tapLine = server_.readLine();
    ASSERT_TRUE(tapLine);
    const Decoded<InputEventMessage> tap = decodeInputEventMessage(*tapLine);
    ASSERT_TRUE(tap.value) << *tapLine;
    EXPECT_EQ(tap.value->kind, "input");
    EXPECT_EQ(tap.value->phase, "tap");
    EXPECT_EQ(tap.value->x, 0.25);
    EXPECT_EQ(tap.value->y, 0.75);
    EXPECT_EQ(tap.value->dx, 0);
    EXPECT_EQ(tap.value->dy, 0);
    EXPECT_NEAR(tap.value->sentAt, now(), 10);
    const Decoded<InputEventMessage> viewport =
        decodeInputEventMessage(server_.readLine().value_or(""));
    ASSERT_TRUE(viewport.value);
    EXPECT_EQ(viewport.value->kind, "viewport");
    EXPECT_EQ(viewport.value->viewportWidth, 390);
    EXPECT_EQ(viewport.value->viewportHeight, 844);
    const Decoded<InputEventMessage> stats =
        decodeInputEventMessage(server_.readLine().value_or(""));
    ASSERT_TRUE(stats.value);
    EXPECT_EQ(stats.value->kind, "stats");
    EXPECT_EQ(stats.value->latencyMs, 40);
    EXPECT_EQ(stats.value->displayedFPS, 30);
    EXPECT_EQ(server_.readLine(), "{\"kind\":\"custom\",\"note\":\"à la main\"}");

    const Bytes jpeg = jpegQuadrants();
    ASSERT_FALSE(jpeg.empty());
    for (int sequence = 1; sequence <= 3; ++sequence) {
        ASSERT_TRUE(server_.send(line(jpegFrame(sequence, jpeg))));
    }
    const ClientRun run = finish(running);

    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    const auto frames = linesStartingWith(run.out, "frame ");
    ASSERT_EQ(frames.size(), 3u) << run.out;
    EXPECT_EQ(frames[0].rfind("frame seq=1 payload=jpeg size=64x48 bytes=" +
                                  std::to_string(jpeg.size()) + " key=- latency_ms=",
                              0),
              0u)
        << frames[0];
    EXPECT_EQ(frames[2].rfind("frame seq=3 payload=jpeg", 0), 0u);
    EXPECT_EQ(linesStartingWith(run.out, "sent ").size(), 4u);
    const auto summary = linesStartingWith(run.out, "summary ");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_NE(summary[0].find("frames=3 malformed=0"), std::string::npos) << summary[0];
    const std::string size = std::to_string(jpeg.size());
    EXPECT_NE(summary[0].find("bytes_min=" + size + " bytes_avg=" + size + " bytes_max=" + size),
              std::string::npos)
        << summary[0];
    EXPECT_EQ(summary[0].find("latency_p50_ms=-"), std::string::npos);
    const std::optional<DecodedPng> png = decodePng(readFile(file("last.png")));
    ASSERT_TRUE(png);
    expectQuadrants(*png, 12);
}

TEST_F(QuorviClientTest, DecodesAnH264StreamDumpsItAndSavesTheLastPicture) {
    const auto units = encodeStream("libx264", 8, 4);
    if (!units) {
        GTEST_SKIP() << "libx264 is not available through libavcodec";
    }
    ASSERT_EQ(units->size(), 8u);
    ASSERT_TRUE((*units)[0].isKeyFrame);
    ASSERT_FALSE((*units)[1].isKeyFrame);
    auto running = start(address() + " --frames 8 --dump " + file("stream.h264") + " --save " +
                         file("last.png"));
    ASSERT_TRUE(server_.accept());
    Bytes everything;
    for (std::size_t i = 0; i < units->size(); ++i) {
        ASSERT_TRUE(server_.send(
            line(videoFrame(static_cast<std::int64_t>(i + 1), (*units)[i], VideoCodec::h264))));
        everything.insert(everything.end(), (*units)[i].data.begin(), (*units)[i].data.end());
    }
    const ClientRun run = finish(running);

    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    const auto frames = linesStartingWith(run.out, "frame ");
    ASSERT_EQ(frames.size(), 8u) << run.out;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::string expected =
            "frame seq=" + std::to_string(i + 1) +
            " payload=h264 size=64x48 bytes=" + std::to_string((*units)[i].data.size()) +
            " key=" + ((*units)[i].isKeyFrame ? "yes" : "no");
        EXPECT_EQ(frames[i].rfind(expected, 0), 0u) << frames[i] << " / " << expected;
        EXPECT_EQ(frames[i].find("decoded=no"), std::string::npos);
    }
    EXPECT_EQ(readFile(file("stream.h264")), std::string(everything.begin(), everything.end()));
    const std::optional<DecodedPng> png = decodePng(readFile(file("last.png")));
    ASSERT_TRUE(png);
    expectQuadrants(*png, 24);
}

TEST_F(QuorviClientTest, DecodesAnHevcStream) {
    const auto units = encodeStream("libx265", 4, 2);
    if (!units) {
        GTEST_SKIP() << "libx265 is not available through libavcodec";
    }
    ASSERT_EQ(units->size(), 4u);
    auto running = start(address() + " --frames 4 --save " + file("last.png"));
    ASSERT_TRUE(server_.accept());
    for (std::size_t i = 0; i < units->size(); ++i) {
        ASSERT_TRUE(server_.send(
            line(videoFrame(static_cast<std::int64_t>(i + 1), (*units)[i], VideoCodec::hevc))));
    }
    const ClientRun run = finish(running);

    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    const auto frames = linesStartingWith(run.out, "frame ");
    ASSERT_EQ(frames.size(), 4u) << run.out;
    EXPECT_EQ(frames[0].rfind("frame seq=1 payload=hevc size=64x48", 0), 0u) << frames[0];
    EXPECT_NE(frames[0].find("key=yes"), std::string::npos);
    const std::optional<DecodedPng> png = decodePng(readFile(file("last.png")));
    ASSERT_TRUE(png);
    expectQuadrants(*png, 24);
}

TEST_F(QuorviClientTest, JoiningMidStreamWaitsForTheNextKeyFrame) {
    const auto units = encodeStream("libx264", 8, 4);
    if (!units) {
        GTEST_SKIP() << "libx264 is not available through libavcodec";
    }
    auto running = start(address() + " --frames 6");
    ASSERT_TRUE(server_.accept());
    for (std::size_t i = 2; i < units->size(); ++i) {
        ASSERT_TRUE(server_.send(
            line(videoFrame(static_cast<std::int64_t>(i + 1), (*units)[i], VideoCodec::h264))));
    }
    const ClientRun run = finish(running);

    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    const auto frames = linesStartingWith(run.out, "frame ");
    ASSERT_EQ(frames.size(), 6u) << run.out;
    EXPECT_NE(frames[0].find("decoded=no"), std::string::npos) << frames[0];
    EXPECT_NE(frames[1].find("decoded=no"), std::string::npos) << frames[1];
    EXPECT_NE(frames[2].find("key=yes"), std::string::npos) << frames[2];
    EXPECT_EQ(frames[2].find("decoded=no"), std::string::npos) << frames[2];
    EXPECT_EQ(frames[5].find("decoded=no"), std::string::npos) << frames[5];
}

TEST_F(QuorviClientTest, EveryBrokenFrameIsReportedWithItsSequenceAndTheExitCodeIsOne) {
    const auto units = encodeStream("libx264", 2, 2);
    if (!units) {
        GTEST_SKIP() << "libx264 is not available through libavcodec";
    }
    const Bytes jpeg = jpegQuadrants();
    std::vector<std::string> lines;
    lines.push_back(line(jpegFrame(1, jpeg))); // good
    {
        ScreenFrameMessage message = jpegFrame(2, jpeg);
        message.imageBase64->back() = '*';
        lines.push_back(line(message));
    }
    lines.push_back("{\"kind\":\"frame\",\"sequence\":3,\"sentAt\":1}\n"); // keys missing
    lines.push_back("pas du JSON\n");
    {
        ScreenFrameMessage message = videoFrame(5, (*units)[0], VideoCodec::h264);
        message.imageBase64 = encodeBase64(jpeg); // both payloads
        lines.push_back(line(message));
    }
    {
        AccessUnit shortCodes = (*units)[0];
        shortCodes.data.erase(shortCodes.data.begin()); // 00 00 01 in front
        lines.push_back(line(videoFrame(6, shortCodes, VideoCodec::h264)));
    }
    {
        ScreenFrameMessage message = jpegFrame(7, jpeg);
        message.width = 128; // not the JPEG's size
        lines.push_back(line(message));
    }
    {
        ScreenFrameMessage message = videoFrame(8, (*units)[0], VideoCodec::h264);
        message.videoCodec = "vp9";
        lines.push_back(line(message));
    }
    {
        ScreenFrameMessage message = videoFrame(9, (*units)[0], VideoCodec::h264);
        message.isKeyFrame.reset();
        lines.push_back(line(message));
    }
    {
        ScreenFrameMessage message = jpegFrame(10, Bytes(jpeg.begin(), jpeg.begin() + 200));
        lines.push_back(line(message)); // truncated JPEG
    }
    {
        ScreenFrameMessage message = jpegFrame(11, jpeg);
        message.kind = "trame";
        lines.push_back(line(message));
    }
    lines.push_back(line(jpegFrame(12, jpeg))); // good again
    {
        // A 3-byte start code inside the unit.
        AccessUnit shortInside = (*units)[0];
        const Bytes longCode = {0, 0, 0, 1};
        const auto second = std::search(shortInside.data.begin() + 4, shortInside.data.end(),
                                        longCode.begin(), longCode.end());
        ASSERT_NE(second, shortInside.data.end());
        shortInside.data.erase(second);
        lines.push_back(line(videoFrame(13, shortInside, VideoCodec::h264)));
    }

    auto running = start(address() + " --frames " + std::to_string(lines.size()));
    ASSERT_TRUE(server_.accept());
    for (const std::string& text : lines) {
        ASSERT_TRUE(server_.send(text));
    }
    const ClientRun run = finish(running);

    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    const auto reports = linesStartingWith(run.err, "quorvi-client: trame malformée");
    ASSERT_EQ(reports.size(), 11u) << run.err;
    const std::vector<std::string> sequences = {
        "seq=2:", "seq=3:", "seq=?:",  "seq=5:",  "seq=6:", "seq=7:",
        "seq=8:", "seq=9:", "seq=10:", "seq=11:", "seq=13:"};
    for (std::size_t i = 0; i < sequences.size(); ++i) {
        EXPECT_NE(reports[i].find(sequences[i]), std::string::npos) << reports[i];
    }
    EXPECT_NE(reports[1].find("width"), std::string::npos) << reports[1];
    EXPECT_NE(reports[4].find("00 00 00 01"), std::string::npos) << reports[4];
    EXPECT_NE(reports[5].find("64x48"), std::string::npos) << reports[5];
    EXPECT_NE(reports[10].find("3 octets"), std::string::npos) << reports[10];
    EXPECT_EQ(linesStartingWith(run.out, "frame ").size(), 2u) << run.out;
    const auto summary = linesStartingWith(run.out, "summary ");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_NE(summary[0].find("frames=13 malformed=11"), std::string::npos) << summary[0];
}

TEST_F(QuorviClientTest, FramesWithoutPictureShowTheirSubtitleAndLeaveNothingToSave) {
    auto running = start(address() + " --frames 2 --save " + file("none.png"));
    ASSERT_TRUE(server_.accept());
    ASSERT_TRUE(server_.send(line(emptyFrame(1, "ScreenCaptureKit démarre"))));
    ScreenFrameMessage captured = emptyFrame(2, "Miroir");
    captured.imageMimeType = "image/jpeg"; // captured, but no payload could be made
    ASSERT_TRUE(server_.send(line(captured)));
    const ClientRun run = finish(running);

    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    const auto frames = linesStartingWith(run.out, "frame ");
    ASSERT_EQ(frames.size(), 2u) << run.out;
    EXPECT_EQ(frames[0].rfind("frame seq=1 payload=none size=2880x1800 bytes=0 key=-", 0), 0u)
        << frames[0];
    EXPECT_NE(frames[0].find("subtitle=\"ScreenCaptureKit démarre\""), std::string::npos);
    EXPECT_NE(run.err.find("aucune image décodée"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(file("none.png")));
    const auto summary = linesStartingWith(run.out, "summary ");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_NE(summary[0].find("frames=2 malformed=0"), std::string::npos) << summary[0];
    EXPECT_NE(summary[0].find("bytes_min=-"), std::string::npos) << summary[0];
}

TEST_F(QuorviClientTest, AServerThatLeavesEarlyFailsTheRun) {
    auto running = start(address() + " --frames 5");
    ASSERT_TRUE(server_.accept());
    ASSERT_TRUE(server_.send(line(jpegFrame(1, jpegQuadrants()))));
    server_.finishSending();
    const ClientRun run = finish(running);

    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.err.find("connexion fermée par le serveur"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("seulement 1 trame(s) reçue(s) sur 5"), std::string::npos) << run.err;
    EXPECT_EQ(linesStartingWith(run.out, "frame ").size(), 1u);
}

TEST_F(QuorviClientTest, AHalfLineAtTheEndIsMalformed) {
    auto running = start(address());
    ASSERT_TRUE(server_.accept());
    ASSERT_TRUE(server_.send(line(jpegFrame(1, jpegQuadrants()))));
    ASSERT_TRUE(server_.send("{\"kind\":\"frame\",\"seq"));
    server_.finishSending();
    const ClientRun run = finish(running);

    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.err.find("ligne incomplète"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("summary frames=2 malformed=1"), std::string::npos) << run.out;
}

TEST_F(QuorviClientTest, SecondsBoundTheRun) {
    const auto started = std::chrono::steady_clock::now();
    auto running = start(address() + " --seconds 0.7");
    ASSERT_TRUE(server_.accept());
    ASSERT_TRUE(server_.send(line(jpegFrame(1, jpegQuadrants()))));
    const ClientRun run = finish(running);

    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_GE(std::chrono::steady_clock::now() - started, 600ms);
    EXPECT_NE(run.out.find("summary frames=1 malformed=0"), std::string::npos) << run.out;
}

TEST_F(QuorviClientTest, ARefusedConnectionIsSaidInFrenchWithExitCodeOne) {
    // A port that was just free: bound, then closed without listening.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(probe);

    auto running = start("127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
    const ClientRun run = finish(running);

    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("Connexion refusée par 127.0.0.1:"), std::string::npos) << run.err;
}

TEST_F(QuorviClientTest, BadArgumentsExitWithTwoAndAFrenchReason) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "adresse du serveur manquante"},
        {"127.0.0.1:0", "adresse invalide"},
        {"127.0.0.1:70000", "adresse invalide"},
        {"127.0.0.1 --frames 0", "--frames attend un entier positif"},
        {"127.0.0.1 --frames", "valeur manquante après --frames"},
        {"127.0.0.1 --seconds -1", "--seconds attend une durée positive"},
        {"127.0.0.1 --tap 0.5", "--tap attend X,Y"},
        {"127.0.0.1 --viewport 390", "--viewport attend LxH"},
        {"127.0.0.1 --stats 1.5,30", "--stats attend L,D"},
        {"127.0.0.1 --volume 3", "option inconnue: --volume"},
        {"127.0.0.1 127.0.0.2", "une seule adresse attendue"},
    };
    for (const auto& [arguments, reason] : cases) {
        auto running = start(arguments);
        const ClientRun run = finish(running);
        EXPECT_EQ(run.exitCode, 2) << arguments;
        EXPECT_NE(run.err.find(reason), std::string::npos) << arguments << ": " << run.err;
    }
    auto help = start("--help");
    const ClientRun run = finish(help);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("usage: quorvi-client HOTE[:PORT]"), std::string::npos);
}

} // namespace
} // namespace quorvi
