#include "capture/AnnexB.h"
#include "capture/VideoFrameEncoder.h"
#include "platform/linux/LibavCompressionSession.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

// The video encoder's own work per frame: the conversion of a session's
// output into the access unit the client gets, and a whole libx264 frame
// (BGRA → YUV, coding, conversion) of a changing 1920 × 1200 screen.

namespace {

using Bytes = std::vector<std::uint8_t>;

// Coded bytes look random, except that a coded unit never holds 00 00 00,
// 00 00 01 or 00 00 02: the codec inserts 03 after two zeros there.
Bytes codedUnit(std::size_t size, std::uint8_t header, std::mt19937& random) {
    Bytes unit{header};
    int zeros = 0;
    while (unit.size() < size) {
        auto byte = static_cast<std::uint8_t>(random());
        if (zeros >= 2 && byte <= 3) {
            unit.push_back(3);
            zeros = 0;
        }
        unit.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    if (unit.back() == 0) {
        unit.back() = 0x80;
    }
    return unit;
}

// About what one 1920 × 1200 access unit weighs at the 30-fps preset: four
// slices of 100 KB.
std::vector<Bytes> slices() {
    std::mt19937 random(7);
    std::vector<Bytes> units;
    for (int i = 0; i < 4; ++i) {
        units.push_back(codedUnit(100 * 1000, 0x41, random));
    }
    return units;
}

Bytes lengthPrefixedSample() {
    Bytes sample;
    for (const Bytes& unit : slices()) {
        const auto size = static_cast<std::uint32_t>(unit.size());
        for (int shift : {24, 16, 8, 0}) {
            sample.push_back(static_cast<std::uint8_t>(size >> shift));
        }
        sample.insert(sample.end(), unit.begin(), unit.end());
    }
    return sample;
}

// As x264 writes it with sliced threads: a 4-byte start code first, 3-byte
// ones between slices.
Bytes startCodedSample() {
    Bytes sample;
    bool first = true;
    for (const Bytes& unit : slices()) {
        if (first) {
            sample.push_back(0);
        }
        first = false;
        sample.insert(sample.end(), {0, 0, 1});
        sample.insert(sample.end(), unit.begin(), unit.end());
    }
    return sample;
}

void BM_AnnexBFromLengthPrefixed400KB(benchmark::State& state) {
    const Bytes sample = lengthPrefixedSample();
    for (auto _ : state) {
        Bytes out;
        out.reserve(sample.size() + 64);
        quorvi::appendAnnexBFromLengthPrefixed(sample, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sample.size()));
}
BENCHMARK(BM_AnnexBFromLengthPrefixed400KB)->Unit(benchmark::kMicrosecond);

void BM_AnnexBFromStartCoded400KB(benchmark::State& state) {
    const Bytes sample = startCodedSample();
    for (auto _ : state) {
        Bytes out;
        out.reserve(sample.size() + 64);
        quorvi::appendAnnexBFromStartCoded(sample, quorvi::VideoCodec::h264, true, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sample.size()));
}
BENCHMARK(BM_AnnexBFromStartCoded400KB)->Unit(benchmark::kMicrosecond);

// The whole output handling of a key frame as the libavcodec session hands
// it over: parameter sets, start codes, the frame record.
void BM_AccessUnitOfKeyFrame400KB(benchmark::State& state) {
    const Bytes sample = startCodedSample();
    const quorvi::FormatDescription sets{
        {{0x67, 0x42, 0xc0, 0x28, 0x8c, 0x8d, 0x40}, {0x68, 0xce, 0x3c, 0x80}}};
    quorvi::CompressedSample compressed;
    compressed.dataBuffer = std::span<const std::uint8_t>(sample);
    compressed.framing = quorvi::NalFraming::startCoded;
    compressed.formatDescription = &sets;
    for (auto _ : state) {
        auto frame = quorvi::makeAccessUnit(compressed, quorvi::VideoCodec::h264);
        benchmark::DoNotOptimize(frame->data.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sample.size()));
}
BENCHMARK(BM_AccessUnitOfKeyFrame400KB)->Unit(benchmark::kMicrosecond);

// A screen-like picture (gradients under an 8 × 8 checkerboard) in which a
// 480 × 300 window moves by a few pixels each frame.
class ChangingScreen {
public:
    ChangingScreen(int width, int height) : width_(width), height_(height) {}

    std::shared_ptr<const quorvi::PixelBuffer> next() {
        auto picture = std::make_shared<quorvi::PixelBuffer>(width_, height_);
        const int windowLeft = (frame_ * 6) % (width_ - 480);
        const int windowTop = (frame_ * 4) % (height_ - 300);
        for (int y = 0; y < height_; ++y) {
            std::uint8_t* row =
                picture->mutableData() + static_cast<std::size_t>(y) * picture->bytesPerRow();
            for (int x = 0; x < width_; ++x) {
                const bool inWindow = x >= windowLeft && x < windowLeft + 480 && y >= windowTop &&
                                      y < windowTop + 300;
                const bool isDark = ((x / 8) + (y / 8)) % 2 == 0;
                row[4 * x] = inWindow ? 240 : static_cast<std::uint8_t>(x * 255 / width_);
                row[4 * x + 1] = inWindow ? static_cast<std::uint8_t>((x ^ y) & 0xff)
                                          : static_cast<std::uint8_t>(y * 255 / height_);
                row[4 * x + 2] = isDark ? 40 : 220;
                row[4 * x + 3] = 255;
            }
        }
        ++frame_;
        return picture;
    }

private:
    int width_;
    int height_;
    int frame_ = 0;
};

// Wall time per frame, and (the CPU column) the CPU time of every thread,
// x264's included.
void BM_Libx264EncodeChanging1920x1200(benchmark::State& state) {
    constexpr int width = 1920;
    constexpr int height = 1200;
    quorvi::VideoFrameEncoder encoder(
        quorvi::makeLibavCompressionSessionFactory(quorvi::LibavEncoderChoice{{}, {"libx264"}}));
    quorvi::StreamEncodingSettings settings;
    settings.fps = 30;
    // Pictures made beforehand: the loop measures the encoder only.
    ChangingScreen screen(width, height);
    std::vector<std::shared_ptr<const quorvi::PixelBuffer>> pictures;
    for (int i = 0; i < 8; ++i) {
        pictures.push_back(screen.next());
    }
    std::size_t index = 0;
    std::int64_t bytes = 0;
    for (auto _ : state) {
        const auto& picture = pictures[index++ % pictures.size()];
        auto frame = encoder.encode(quorvi::CapturedVideoBuffer{picture, width, height}, settings);
        if (!frame) {
            state.SkipWithError("no frame");
            break;
        }
        bytes += static_cast<std::int64_t>(frame->data.size());
    }
    state.counters["bytes/frame"] =
        benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Libx264EncodeChanging1920x1200)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

} // namespace
