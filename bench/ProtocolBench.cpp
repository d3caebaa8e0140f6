#include "protocol/Base64.h"
#include "protocol/JsonCodec.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

// About what one 1920 × 1200 video access unit or JPEG weighs at the 30-fps
// preset: 300 KB of compressed bytes, 400 KB once in Base64.
std::vector<std::uint8_t> randomPicture() {
    std::mt19937 random(1);
    std::vector<std::uint8_t> bytes(300 * 1000);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

quorvi::ScreenFrameMessage typicalFrame(std::string payload) {
    quorvi::ScreenFrameMessage frame;
    frame.sequence = 1234;
    frame.sentAt = 1700000000.123456;
    frame.width = 1920;
    frame.height = 1200;
    frame.title = "Écran principal";
    frame.subtitle = "Affichage 1920 × 1200 — vidéo HEVC";
    frame.imageMimeType = "image/jpeg";
    frame.videoBase64 = std::move(payload);
    frame.videoCodec = "hevc-annexb";
    frame.isKeyFrame = false;
    frame.cursor = quorvi::CursorPoint{812.5, 433, true, "arrow"};
    return frame;
}

} // namespace

// What the frame loop does per frame once the payload is in Base64: the whole
// message and its line feed, ready for one send.
static void BM_EncodeFrameMessage400KB(benchmark::State& state) {
    const auto frame = typicalFrame(quorvi::encodeBase64(randomPicture()));
    for (auto _ : state) {
        auto encoded = quorvi::encodeScreenFrameMessage(frame);
        encoded.value->push_back('\n');
        benchmark::DoNotOptimize(encoded.value->data());
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<std::int64_t>(frame.videoBase64->size()));
}
BENCHMARK(BM_EncodeFrameMessage400KB)->Unit(benchmark::kMicrosecond);

// The same into a send buffer reused from frame to frame (no allocation).
static void BM_AppendFrameMessage400KBReusedBuffer(benchmark::State& state) {
    const auto frame = typicalFrame(quorvi::encodeBase64(randomPicture()));
    std::string buffer;
    for (auto _ : state) {
        buffer.clear();
        if (quorvi::appendScreenFrameMessage(buffer, frame)) {
            state.SkipWithError("encoding failed");
            break;
        }
        buffer.push_back('\n');
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<std::int64_t>(frame.videoBase64->size()));
}
BENCHMARK(BM_AppendFrameMessage400KBReusedBuffer)->Unit(benchmark::kMicrosecond);

static void BM_Base64Encode300KB(benchmark::State& state) {
    const auto picture = randomPicture();
    for (auto _ : state) {
        auto text = quorvi::encodeBase64(picture);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(picture.size()));
}
BENCHMARK(BM_Base64Encode300KB)->Unit(benchmark::kMicrosecond);

// Base64 then the message, as one frame costs end to end, with fresh strings
// each time. glibc hands the two 400 KB blocks back to the kernel between
// frames (they end up at the top of the heap, past the trim threshold), so
// every frame pays about a hundred page faults on top of the copying.
static void BM_Base64AndFrameMessageFreshBuffers(benchmark::State& state) {
    const auto picture = randomPicture();
    auto frame = typicalFrame({});
    for (auto _ : state) {
        frame.videoBase64 = quorvi::encodeBase64(picture);
        auto encoded = quorvi::encodeScreenFrameMessage(frame);
        encoded.value->push_back('\n');
        benchmark::DoNotOptimize(encoded.value->data());
    }
}
BENCHMARK(BM_Base64AndFrameMessageFreshBuffers)->Unit(benchmark::kMicrosecond);

// The same with the payload string and the send buffer kept from frame to
// frame: the way to stay far inside the per-frame budget.
static void BM_Base64AndFrameMessageReusedBuffers(benchmark::State& state) {
    const auto picture = randomPicture();
    auto frame = typicalFrame(std::string());
    std::string buffer;
    for (auto _ : state) {
        frame.videoBase64->clear();
        quorvi::appendBase64(*frame.videoBase64, picture);
        buffer.clear();
        if (quorvi::appendScreenFrameMessage(buffer, frame)) {
            state.SkipWithError("encoding failed");
            break;
        }
        buffer.push_back('\n');
        benchmark::DoNotOptimize(buffer.data());
    }
}
BENCHMARK(BM_Base64AndFrameMessageReusedBuffers)->Unit(benchmark::kMicrosecond);

static void BM_DecodeInputLine(benchmark::State& state) {
    const std::string line = R"({"kind":"input","sentAt":1700000000.123456,"phase":"drag",)"
                             R"("x":0.4821,"y":0.7315,"dx":0,"dy":0})";
    for (auto _ : state) {
        auto decoded = quorvi::decodeInputEventMessage(line);
        benchmark::DoNotOptimize(decoded.value);
    }
}
BENCHMARK(BM_DecodeInputLine);
