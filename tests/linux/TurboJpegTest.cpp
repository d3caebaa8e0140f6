// The JPEG fallback through TurboJPEG, decoded back with TurboJPEG; and the
// X11 answers to the two privacy grants, against a real Xorg on the dummy
// driver that the tests start, kill and restart.

#include "linux/TestDisplay.h"
#include "platform/linux/TurboJpegEncoder.h"
#include "platform/linux/X11PrivacyGrants.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <turbojpeg.h>
#include <unistd.h>
#include <vector>

namespace quorvi {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

// ---- JPEG -------------------------------------------------------------------

struct Rgb {
    int r = 0;
    int g = 0;
    int b = 0;
};

// Four flat quadrants: red, green / blue, white. Rows are padded beyond the
// picture, and the padding and alpha bytes are filled with noise that must
// not show.
std::shared_ptr<PixelBuffer> quadrants(int width, int height, std::size_t padding = 40) {
    const std::size_t stride = static_cast<std::size_t>(width) * 4 + padding;
    auto bytes = std::make_unique<std::uint8_t[]>(stride * static_cast<std::size_t>(height));
    for (std::size_t i = 0; i < stride * static_cast<std::size_t>(height); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    const Rgb colours[4] = {{230, 20, 20}, {20, 210, 30}, {25, 30, 220}, {250, 250, 250}};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb& colour = colours[(y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0)];
            std::uint8_t* pixel = bytes.get() + static_cast<std::size_t>(y) * stride +
                                  static_cast<std::size_t>(x) * 4;
            pixel[0] = static_cast<std::uint8_t>(colour.b);
            pixel[1] = static_cast<std::uint8_t>(colour.g);
            pixel[2] = static_cast<std::uint8_t>(colour.r);
        }
    }
    return std::make_shared<PixelBuffer>(width, height, stride, std::move(bytes));
}

struct DecodedJpeg {
    int width = 0;
    int height = 0;
    int subsampling = -1;
    std::vector<std::uint8_t> rgb;

    Rgb at(int x, int y) const {
        const std::size_t offset = (static_cast<std::size_t>(y) * width + x) * 3;
        return {rgb[offset], rgb[offset + 1], rgb[offset + 2]};
    }
};

std::optional<DecodedJpeg> decode(const std::vector<std::uint8_t>& jpeg) {
    tjhandle handle = tjInitDecompress();
    DecodedJpeg out;
    int colourspace = 0;
    bool isOk = tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &out.width, &out.height,
                                    &out.subsampling, &colourspace) == 0;
    if (isOk) {
        out.rgb.resize(static_cast<std::size_t>(out.width) * out.height * 3);
        isOk = tjDecompress2(handle, jpeg.data(), jpeg.size(), out.rgb.data(), out.width, 0,
                             out.height, TJPF_RGB, 0) == 0;
    }
    tjDestroy(handle);
    return isOk ? std::optional(out) : std::nullopt;
}

void expectNear(const Rgb& seen, const Rgb& wanted, int tolerance, const char* where) {
    EXPECT_NEAR(seen.r, wanted.r, tolerance) << where;
    EXPECT_NEAR(seen.g, wanted.g, tolerance) << where;
    EXPECT_NEAR(seen.b, wanted.b, tolerance) << where;
}

TEST(TurboJpegEncoder, EncodesTheBgraPictureAtItsSizeIn420) {
    TurboJpegEncoder encoder;
    const auto picture = quadrants(96, 64);

    const std::optional<std::vector<std::uint8_t>> jpeg = encoder.encode(*picture, 78);

    ASSERT_TRUE(jpeg);
    ASSERT_GE(jpeg->size(), 4u);
    EXPECT_EQ((*jpeg)[0], 0xFF);
    EXPECT_EQ((*jpeg)[1], 0xD8);
    EXPECT_EQ((*jpeg)[jpeg->size() - 2], 0xFF);
    EXPECT_EQ((*jpeg)[jpeg->size() - 1], 0xD9);
    const std::optional<DecodedJpeg> decoded = decode(*jpeg);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 96);
    EXPECT_EQ(decoded->height, 64);
    EXPECT_EQ(decoded->subsampling, TJSAMP_420);
    // Quadrant centres, away from the edges where 4:2:0 blurs colour.
    expectNear(decoded->at(24, 16), {230, 20, 20}, 12, "red, top left");
    expectNear(decoded->at(72, 16), {20, 210, 30}, 12, "green, top right");
    expectNear(decoded->at(24, 48), {25, 30, 220}, 12, "blue, bottom left");
    expectNear(decoded->at(72, 48), {250, 250, 250}, 12, "white, bottom right");
}

TEST(TurboJpegEncoder, TightlyPackedRowsWorkToo) {
    TurboJpegEncoder encoder;
    const auto picture = quadrants(64, 64, 0);
    const std::optional<std::vector<std::uint8_t>> jpeg = encoder.encode(*picture, 90);
    ASSERT_TRUE(jpeg);
    const std::optional<DecodedJpeg> decoded = decode(*jpeg);
    ASSERT_TRUE(decoded);
    expectNear(decoded->at(48, 48), {250, 250, 250}, 10, "white, bottom right");
}

TEST(TurboJpegEncoder, HigherQualityMeansMoreBytes) {
    TurboJpegEncoder encoder;
    // Noise compresses badly, so the quality shows in the size.
    auto picture = std::make_shared<PixelBuffer>(128, 128);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < 128u * 128u * 4u; ++i) {
        state = state * 1103515245u + 12345u;
        picture->mutableData()[i] = static_cast<std::uint8_t>(state >> 16);
    }
    const auto low = encoder.encode(*picture, 20);
    const auto high = encoder.encode(*picture, 95);
    const auto lowest = encoder.encode(*picture, 0);
    ASSERT_TRUE(low && high && lowest);
    EXPECT_LT(low->size(), high->size());
    EXPECT_LE(lowest->size(), low->size());
}

TEST(TurboJpegEncoder, OneEncoderServesPicturesOfChangingSizes) {
    TurboJpegEncoder encoder;
    for (const auto& [width, height] :
         std::vector<std::pair<int, int>>{{32, 32}, {640, 400}, {17, 9}, {1280, 800}, {2, 2}}) {
        const auto jpeg = encoder.encode(*quadrants(width, height), 70);
        ASSERT_TRUE(jpeg) << width << "x" << height;
        const auto decoded = decode(*jpeg);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->width, width);
        EXPECT_EQ(decoded->height, height);
    }
}

TEST(TurboJpegEncoder, SeveralThreadsMayEncodeAtOnce) {
    const auto encoder = makeTurboJpegEncoder();
    const auto picture = quadrants(320, 200);
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                const auto jpeg = encoder->encode(*picture, 60 + i);
                if (jpeg && decode(*jpeg)) {
                    ++good;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(good.load(), 80);
}

TEST(TurboJpegEncoder, PicturesItCannotEncodeGiveNone) {
    TurboJpegEncoder encoder;
    EXPECT_EQ(encoder.encode(PixelBuffer(0, 10), 80), std::nullopt);
    EXPECT_EQ(encoder.encode(PixelBuffer(10, 0), 80), std::nullopt);
    // Rows shorter than four bytes per pixel.
    EXPECT_EQ(encoder.encode(PixelBuffer(10, 10, 20, std::make_unique<std::uint8_t[]>(200)), 80),
              std::nullopt);
    EXPECT_EQ(encoder.encode(PixelBuffer(10, 10, 40, nullptr), 80), std::nullopt);
    EXPECT_EQ(encoder.encode(PixelBuffer(70000, 1), 80), std::nullopt);
    // And it still works afterwards.
    EXPECT_TRUE(encoder.encode(*quadrants(16, 16), 80));
}

// ---- X11 privacy grants -------------------------------------------------------

// Our own display number, apart from the other X tests'.
constexpr int kDisplayNumber = 76;
const std::string kDisplayName = ":" + std::to_string(kDisplayNumber);

// A display number nothing serves: no socket, no lock.
std::string absentDisplay() {
    for (int number = 191; number < 250; ++number) {
        const std::string n = std::to_string(number);
        if (!std::filesystem::exists("/tmp/.X11-unix/X" + n) &&
            !std::filesystem::exists("/tmp/.X" + n + "-lock")) {
            return ":" + n;
        }
    }
    return ":249";
}

// Sets an environment variable for one scope.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(X11PrivacyGrants, BothAreRefusedWithoutAnXServer) {
    const ScopedEnvironment display("DISPLAY", absentDisplay());
    X11PrivacyGrants grants;
    EXPECT_FALSE(grants.isScreenRecordingGranted());
    EXPECT_FALSE(grants.isAccessibilityGranted());
    X11PrivacyGrants named(absentDisplay());
    EXPECT_FALSE(named.isScreenRecordingGranted());
    EXPECT_FALSE(named.isAccessibilityGranted());
}

class X11PrivacyGrantsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "Xorg with the dummy driver needs root: not run";
        }
        if (const std::string failure = server_.start(); !failure.empty()) {
            GTEST_SKIP() << "Xorg with the dummy driver did not start: " << failure;
        }
    }

    void TearDown() override { server_.stop(); }

    testing::TestDisplay server_{kDisplayNumber};
};

TEST_F(X11PrivacyGrantsTest, BothAreGrantedOnAPlainXorg) {
    X11PrivacyGrants grants(kDisplayName);
    EXPECT_TRUE(grants.isScreenRecordingGranted());
    EXPECT_TRUE(grants.isAccessibilityGranted());
}

TEST_F(X11PrivacyGrantsTest, TheDisplayVariableIsUsedWhenNoNameIsGiven) {
    const ScopedEnvironment display("DISPLAY", kDisplayName);
    const std::shared_ptr<PrivacyGrants> grants = makeX11PrivacyGrants();
    EXPECT_TRUE(grants->isScreenRecordingGranted());
    EXPECT_TRUE(grants->isAccessibilityGranted());
}

TEST_F(X11PrivacyGrantsTest, AskingEveryFrameIsCheap) {
    X11PrivacyGrants grants(kDisplayName);
    ASSERT_TRUE(grants.isScreenRecordingGranted());
    const auto start = std::chrono::steady_clock::now();
    int granted = 0;
    for (int i = 0; i < 10000; ++i) {
        granted += grants.isScreenRecordingGranted() ? 1 : 0;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(granted, 10000);
    // Answered from the cache: at most a few round trips in the loop.
    EXPECT_LT(elapsed, 2s);
}

TEST_F(X11PrivacyGrantsTest, AKilledServerTurnsBothToNoAndARestartBringsThemBack) {
    X11PrivacyGrants grants(kDisplayName);
    ASSERT_TRUE(grants.isScreenRecordingGranted());
    ASSERT_TRUE(grants.isAccessibilityGranted());

    ASSERT_TRUE(server_.killOutright());
    EXPECT_TRUE(eventually(
        [&] { return !grants.isScreenRecordingGranted() && !grants.isAccessibilityGranted(); },
        2500ms));
    // Still here, and asking on keeps answering no.
    for (int i = 0; i < 20; ++i) {
        EXPECT_FALSE(grants.isScreenRecordingGranted());
        std::this_thread::sleep_for(30ms);
    }

    const std::string restartFailure = server_.start();
    ASSERT_EQ(restartFailure, "");
    EXPECT_TRUE(eventually(
        [&] { return grants.isScreenRecordingGranted() && grants.isAccessibilityGranted(); }, 3s));
}

TEST_F(X11PrivacyGrantsTest, SeveralThreadsMayAskAtOnce) {
    X11PrivacyGrants grants(kDisplayName);
    std::atomic<int> granted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                if (grants.isScreenRecordingGranted() && grants.isAccessibilityGranted()) {
                    ++granted;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(granted.load(), 800);
}

} // namespace
} // namespace quorvi
