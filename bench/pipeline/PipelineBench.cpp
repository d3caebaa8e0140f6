#include "capture/JpegEncoder.h"
#include "capture/VideoFrameEncoder.h"
#include "platform/linux/LibavCompressionSession.h"
#include "platform/linux/PixelConversion.h"
#include "platform/linux/TurboJpegEncoder.h"
#include "protocol/Base64.h"
#include "protocol/JsonCodec.h"
#include "protocol/Messages.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// quorvi-bench pipeline: the per-frame work of the server on a changing
// 1920 × 1200 screen, stage by stage, as the send tick does it: the grabbed
// picture scaled into a pool buffer (scaleBgra, the whole picture), that buffer encoded
// (libx264 through the video encoder, or the JPEG fallback), and the frame
// message built (Base64 + JSON + line feed). Frames are paced at the
// preset's rate, as the send timer paces them, so the encoder's threads
// idle between frames as they do in the server.
//
// Per stage: wall-clock p50 and p99 in milliseconds, and CPU milliseconds
// per frame counted over every thread of the process (the encoder's own
// threads included), from CLOCK_PROCESS_CPUTIME_ID around the stage.

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1200;

struct Options {
    int frames = 300;
    int fps = 30;
    int width = 1920;
    bool paced = true;
    std::string encoders = "all";
};

double processCpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

class Stage {
public:
    explicit Stage(std::string name) : name_(std::move(name)) {}

    template <typename Work> auto measure(Work work) {
        const auto wallStart = Clock::now();
        const double cpuStart = processCpuMilliseconds();
        auto result = work();
        cpuTotal_ += processCpuMilliseconds() - cpuStart;
        wall_.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - wallStart).count());
        return result;
    }

    void add(double wall, double cpu) {
        wall_.push_back(wall);
        cpuTotal_ += cpu;
    }

    const std::string& name() const { return name_; }
    const std::vector<double>& wall() const { return wall_; }
    double cpuTotal() const { return cpuTotal_; }

    // Nearest rank.
    double percentile(double p) const {
        if (wall_.empty()) {
            return 0;
        }
        std::vector<double> sorted = wall_;
        std::sort(sorted.begin(), sorted.end());
        const auto rank =
            static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
        return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
    }

    double cpuPerFrame() const {
        return wall_.empty() ? 0 : cpuTotal_ / static_cast<double>(wall_.size());
    }

private:
    std::string name_;
    std::vector<double> wall_;
    double cpuTotal_ = 0;
};

// The grabbed screen: gradients under an 8 × 8 checkerboard (BGRX, the
// fourth byte left as X leaves it), with a 480 × 300 window of busy
// content that moves a few pixels each frame. Only the rectangles the
// window leaves and enters are redrawn, so making the next picture costs
// little next to the stages measured.
class ChangingScreen {
public:
    ChangingScreen() : pixels_(static_cast<std::size_t>(kScreenWidth) * kScreenHeight * 4) {
        for (int y = 0; y < kScreenHeight; ++y) {
            paintBackground(0, kScreenWidth, y);
        }
        paintWindow();
    }

    const std::uint8_t* data() const { return pixels_.data(); }
    std::size_t bytesPerRow() const { return static_cast<std::size_t>(kScreenWidth) * 4; }

    void advance() {
        for (int y = windowTop_; y < windowTop_ + kWindowHeight; ++y) {
            paintBackground(windowLeft_, windowLeft_ + kWindowWidth, y);
        }
        ++frame_;
        windowLeft_ = (frame_ * 6) % (kScreenWidth - kWindowWidth);
        windowTop_ = (frame_ * 4) % (kScreenHeight - kWindowHeight);
        paintWindow();
    }

private:
    static constexpr int kWindowWidth = 480;
    static constexpr int kWindowHeight = 300;

    std::uint8_t* pixel(int x, int y) {
        return pixels_.data() + (static_cast<std::size_t>(y) * kScreenWidth + x) * 4;
    }

    void paintBackground(int from, int to, int y) {
        for (int x = from; x < to; ++x) {
            std::uint8_t* p = pixel(x, y);
            const bool isDark = ((x / 8) + (y / 8)) % 2 == 0;
            p[0] = static_cast<std::uint8_t>(x * 255 / kScreenWidth);
            p[1] = static_cast<std::uint8_t>(y * 255 / kScreenHeight);
            p[2] = isDark ? 40 : 220;
            p[3] = 0;
        }
    }

    void paintWindow() {
        for (int y = windowTop_; y < windowTop_ + kWindowHeight; ++y) {
            for (int x = windowLeft_; x < windowLeft_ + kWindowWidth; ++x) {
                std::uint8_t* p = pixel(x, y);
                p[0] = 240;
                p[1] = static_cast<std::uint8_t>(((x + frame_) ^ y) & 0xff);
                p[2] = static_cast<std::uint8_t>((x * 3 + y) & 0xff);
                p[3] = 0;
            }
        }
    }

    std::vector<std::uint8_t> pixels_;
    int frame_ = 0;
    int windowLeft_ = 0;
    int windowTop_ = 0;
};

quorvi::ScreenFrameMessage typicalMessage(int width, int height) {
    quorvi::ScreenFrameMessage message;
    message.sentAt = 1700000000.123456;
    message.width = width;
    message.height = height;
    message.title = "Écran principal";
    message.subtitle = "Miroir de l'écran principal";
    message.imageMimeType = "image/jpeg";
    message.cursor = quorvi::CursorPoint{812.5, 433, false, "arrow"};
    return message;
}

bool runPipeline(const Options& options, const std::string& encoderName) {
    const int width = options.width;
    const int height = std::max(2, static_cast<int>(std::lround(static_cast<double>(kScreenHeight) *
                                                                width / kScreenWidth)));
    const bool isVideo = encoderName == "libx264";

    const auto pool = quorvi::PixelBufferPool::make(width, height, 3);
    std::shared_ptr<quorvi::VideoEncoder> video;
    std::shared_ptr<quorvi::JpegEncoder> jpeg;
    if (isVideo) {
        video =
            std::make_shared<quorvi::VideoFrameEncoder>(quorvi::makeLibavCompressionSessionFactory(
                quorvi::LibavEncoderChoice{{}, {"libx264"}}));
    } else {
        jpeg = quorvi::makeTurboJpegEncoder();
    }
    quorvi::StreamEncodingSettings settings;
    settings.fps = options.fps;
    settings.jpegQuality = 0.84;

    ChangingScreen screen;
    quorvi::ScreenFrameMessage message = typicalMessage(width, height);
    std::string payload;
    std::string sendBuffer;
    Stage scale("scale");
    Stage encode("encode");
    Stage build("message");
    Stage total("total");
    std::size_t payloadBytes = 0;
    int keyFrames = 0;
    int failures = 0;

    const auto interval = std::chrono::nanoseconds(1000000000LL / std::max(options.fps, 1));
    const auto start = Clock::now();
    for (int i = 0; i < options.frames; ++i) {
        if (options.paced) {
            std::this_thread::sleep_until(start + i * interval);
        }
        screen.advance();
        const auto frameStart = Clock::now();
        const double frameCpuStart = processCpuMilliseconds();

        std::shared_ptr<const quorvi::PixelBuffer> picture = scale.measure([&] {
            std::unique_ptr<quorvi::PixelBuffer> buffer = pool->take();
            if (!buffer ||
                !quorvi::scaleBgra(screen.data(), screen.bytesPerRow(), kScreenWidth, kScreenHeight,
                                   *buffer, quorvi::ChangedRegion::whole(width, height))) {
                return std::shared_ptr<const quorvi::PixelBuffer>();
            }
            return pool->share(std::move(buffer));
        });
        if (!picture) {
            ++failures;
            continue;
        }

        std::optional<std::vector<std::uint8_t>> bytes;
        bool isKeyFrame = false;
        encode.measure([&] {
            if (video) {
                auto frame =
                    video->encode(quorvi::CapturedVideoBuffer{picture, width, height}, settings);
                if (frame) {
                    isKeyFrame = frame->isKeyFrame;
                    bytes = std::move(frame->data);
                }
            } else {
                bytes = jpeg->encode(*picture, quorvi::jpegQualityPercent(settings.jpegQuality));
            }
            return 0;
        });
        if (!bytes) {
            ++failures;
            continue;
        }
        payloadBytes += bytes->size();
        keyFrames += isKeyFrame ? 1 : 0;

        const bool built = build.measure([&] {
            payload.clear();
            quorvi::appendBase64(payload, *bytes);
            message.sequence = i + 1;
            if (video) {
                message.videoBase64 = std::move(payload);
                message.videoCodec = "h264-annexb";
                message.isKeyFrame = isKeyFrame;
            } else {
                message.imageBase64 = std::move(payload);
            }
            sendBuffer.clear();
            const bool ok = !quorvi::appendScreenFrameMessage(sendBuffer, message).has_value();
            sendBuffer.push_back('\n');
            // Keep the Base64 storage for the next frame.
            payload = std::move(video ? *message.videoBase64 : *message.imageBase64);
            return ok;
        });
        if (!built) {
            ++failures;
        }
        total.add(std::chrono::duration<double, std::milli>(Clock::now() - frameStart).count(),
                  processCpuMilliseconds() - frameCpuStart);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    std::printf("\n%s: %d frames of %dx%d from a %dx%d screen, %s at %d fps\n", encoderName.c_str(),
                options.frames, width, height, kScreenWidth, kScreenHeight,
                options.paced ? "paced" : "unpaced", options.fps);
    std::printf("  %-8s %8s %8s %14s\n", "stage", "p50 ms", "p99 ms", "CPU ms/frame");
    for (const Stage* stage : {&scale, &encode, &build, &total}) {
        std::printf("  %-8s %8.2f %8.2f %14.2f\n", stage->name().c_str(), stage->percentile(0.5),
                    stage->percentile(0.99), stage->cpuPerFrame());
    }
    const std::size_t delivered = total.wall().size();
    std::printf("  %zu frames delivered (%.1f per second), %d failed, %d key frames, "
                "%.0f bytes per frame\n",
                delivered, static_cast<double>(delivered) / elapsed, failures, keyFrames,
                delivered ? static_cast<double>(payloadBytes) / static_cast<double>(delivered)
                          : 0.0);
    return failures == 0;
}

int usage() {
    std::fprintf(stderr, "usage: quorvi-bench pipeline [--frames N] [--fps F] [--width W] "
                         "[--encoder libx264|jpeg|all] [--unpaced]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string_view(argv[1]) != "pipeline") {
        return usage();
    }
    Options options;
    for (int i = 2; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) {
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        if (argument == "--unpaced") {
            options.paced = false;
        } else if (argument == "--frames" || argument == "--fps" || argument == "--width" ||
                   argument == "--encoder") {
            const std::optional<std::string> text = value();
            if (!text) {
                return usage();
            }
            if (argument == "--encoder") {
                options.encoders = *text;
                continue;
            }
            const int number = std::atoi(text->c_str());
            if (number <= 0) {
                return usage();
            }
            (argument == "--frames" ? options.frames
             : argument == "--fps"  ? options.fps
                                    : options.width) = number;
        } else {
            return usage();
        }
    }
    if (options.encoders != "all" && options.encoders != "libx264" && options.encoders != "jpeg") {
        return usage();
    }
    bool ok = true;
    if (options.encoders != "jpeg") {
        ok = runPipeline(options, "libx264") && ok;
    }
    if (options.encoders != "libx264") {
        ok = runPipeline(options, "jpeg") && ok;
    }
    return ok ? 0 : 1;
}
