// The access-unit layout and the encoder made synchronous over a scripted
// compression session: which session, which frames are key frames, and
// output that arrives after the wait gave up.

#include "capture/VideoFrameEncoder.h"

#include "capture/AnnexB.h"
#include "capture/CompressionSession.h"
#include "fakes/FakeCompressionSession.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

namespace quorvi {
namespace {

using namespace std::chrono_literals;

using fakes::FakeCompressionSessionFactory;
using fakes::lengthPrefixed;
using Bytes = std::vector<std::uint8_t>;
using Submission = FakeCompressionSessionFactory::Submission;
using Attachments = std::optional<std::vector<SampleAttachments>>;

const Bytes kStart = {0, 0, 0, 1};
const Bytes k3Start = {0, 0, 1};
const Bytes kSps = {0x67, 0x42, 0xc0, 0x1f};
const Bytes kPps = {0x68, 0xce, 0x3c, 0x80};
const FormatDescription kH264Sets{{kSps, kPps}};
const Attachments kDelta = std::vector<SampleAttachments>{{true}};

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// What a session's sample borrows, owned.
struct Sample {
    Bytes data;
    Attachments attachments;
    std::optional<FormatDescription> sets = kH264Sets;
    NalFraming framing = NalFraming::lengthPrefixed;

    CompressedSample view() const {
        return {data, framing, sets ? &*sets : nullptr,
                attachments ? std::optional(std::span<const SampleAttachments>(*attachments))
                            : std::nullopt};
    }
};

TEST(AccessUnit, LayoutAndKeyFrameRule) {
    const Bytes slice = {0x65, 0xaa, 0xbb}, five = {0x41, 1, 2, 3, 4}, three = {0x41, 5, 6};
    const Bytes vps = {0x40, 0x01}, hevcSps = {0x42, 0x01}, hevcPps = {0x44, 0x01};
    const Bytes sliced = lengthPrefixed({slice});
    const Bytes key = concat({kStart, kSps, kStart, kPps, kStart, slice});
    const Bytes fiveThree = concat({kStart, five, kStart, three});
    const NalFraming startCoded = NalFraming::startCoded;
    using List = std::vector<SampleAttachments>;
    struct Case {
        const char* name;
        Sample sample;
        std::optional<Bytes> expected;
        bool key = true;
        VideoCodec codec = VideoCodec::h264;
    };
    const std::vector<Case> cases = {
        {"key: no attachments, two sets of three",
         Sample(sliced, {}, FormatDescription{{kSps, kPps, {0x99}}}), key},
        {"key: empty list", Sample(sliced, List{}), key},
        {"key: first entry sync", Sample(sliced, List{{false}, {true}}), key},
        {"an unreadable set", Sample(sliced, {}, FormatDescription{{{}, kPps}}),
         concat({kStart, kPps, kStart, slice})},
        {"delta: units only", Sample(lengthPrefixed({five, three}), kDelta), fiveThree, false},
        {"length beyond the end", Sample(concat({lengthPrefixed({five}), {0, 0, 0, 9, 1}}), kDelta),
         concat({kStart, five}), false},
        {"length 0 ends it", Sample(concat({{0, 0, 0, 0}, lengthPrefixed({five})}), kDelta),
         std::nullopt},
        // Encoders that write start codes, 3-byte ones between slices, and
        // their parameter sets in-band: the sets go out once.
        {"start-coded key",
         Sample(concat({kStart, kSps, k3Start, kPps, k3Start, slice}), {}, kH264Sets, startCoded),
         key},
        {"start-coded hevc key",
         Sample(concat({kStart, vps, kStart, hevcSps, k3Start, hevcPps, kStart, slice}), {},
                FormatDescription{{vps, hevcSps, hevcPps}}, startCoded),
         concat({kStart, vps, kStart, hevcSps, kStart, hevcPps, kStart, slice}), true,
         VideoCodec::hevc},
        {"in-band sets only",
         Sample(concat({kStart, kSps, kStart, kPps, k3Start, slice}), {}, {}, startCoded), key},
        {"leading bytes, empty units, trailing zeros",
         Sample(concat({{7, 7}, kStart, kStart, five, k3Start, three, {0, 0}}), kDelta, {},
                startCoded),
         fiveThree, false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const auto frame = makeAccessUnit(test.sample.view(), test.codec);
        ASSERT_EQ(frame.has_value(), test.expected.has_value());
        if (frame) {
            EXPECT_EQ(frame->data, *test.expected);
            EXPECT_EQ(frame->isKeyFrame, test.key);
            EXPECT_EQ(frame->codec, test.codec == VideoCodec::h264 ? "h264-annexb" : "hevc-annexb");
        }
    }
    // A sample without data, or whose data cannot be read, gives nothing.
    CompressedSample unreadable{std::nullopt, NalFraming::lengthPrefixed, &kH264Sets, std::nullopt};
    EXPECT_FALSE(makeAccessUnit(unreadable, VideoCodec::h264));
    unreadable.dataBuffer = std::span<const std::uint8_t>();
    EXPECT_FALSE(makeAccessUnit(unreadable, VideoCodec::h264));
}

// A key frame when asked for and on a session's first picture; one slice
// whose second byte is the submission's tag, so a test can tell frames apart.
void answer(const Submission& submission, const CompressionOutputHandler& output, int status = 0) {
    const bool key = submission.forceKeyFrame || submission.presentationTime.value == 0;
    const Sample sample(lengthPrefixed({{static_cast<std::uint8_t>(key ? 0x65 : 0x41),
                                         static_cast<std::uint8_t>(submission.tag)}}),
                        key ? std::nullopt : kDelta);
    const CompressedSample view = sample.view();
    output(submission.tag, status, &view);
}

std::shared_ptr<FakeCompressionSessionFactory> answeringFactory() {
    auto factory = std::make_shared<FakeCompressionSessionFactory>();
    factory->responder = [](auto& submission, auto& output) { answer(submission, output); };
    return factory;
}

std::optional<EncodedVideoFrame> encode(VideoFrameEncoder& encoder, std::int64_t fps = 30,
                                        std::int64_t width = 64, std::int64_t height = 32) {
    StreamEncodingSettings settings;
    settings.fps = fps;
    return encoder.encode({std::make_shared<const PixelBuffer>(width, height), width, height},
                          settings);
}

TEST(VideoFrameEncoderSession, HevcFirstThenH264OneSessionPerSizeKeptAcrossRates) {
    auto factory = answeringFactory();
    factory->failingCodecs = {VideoCodec::hevc, VideoCodec::h264};
    VideoFrameEncoder withoutFactory, encoder(factory);
    EXPECT_FALSE(encode(withoutFactory));
    EXPECT_FALSE(encode(encoder, 10)) << "no codec, no frame";
    factory->failingCodecs = {VideoCodec::hevc};
    EXPECT_FALSE(encoder.encode(CapturedVideoBuffer{}, {})) << "no picture";
    const auto first = encode(encoder, 10);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->codec, "h264-annexb");
    EXPECT_EQ(first->data, concat({kStart, kSps, kStart, kPps, kStart, {0x65, 1}}));
    // A session stays while the size does, its count and its properties
    // following the rate; a new size makes a new one, HEVC first.
    factory->failingCodecs.clear();
    EXPECT_EQ(encode(encoder, 30).value().codec, "h264-annexb");
    EXPECT_FALSE(encode(encoder, 0).value().isKeyFrame);
    const auto resized = encode(encoder, 10, 1179, 737);
    ASSERT_TRUE(resized);
    EXPECT_EQ(resized->codec, "hevc-annexb");
    EXPECT_TRUE(resized->isKeyFrame);
    const auto& submitted = factory->submissions;
    ASSERT_EQ(submitted.size(), 4u);
    EXPECT_EQ(submitted[0].properties, compressionProperties(VideoCodec::h264, 64, 32, 10));
    EXPECT_EQ(submitted[1].properties, compressionProperties(VideoCodec::h264, 64, 32, 30));
    EXPECT_EQ(submitted[1].presentationTime, (MediaTime{1, 30}));
    EXPECT_EQ(submitted[2].presentationTime, (MediaTime{2, 1})) << "rate 0: time scale 1";
    EXPECT_EQ(submitted[2].session, 0u);
    EXPECT_EQ(submitted[3].session, 1u);
    EXPECT_EQ((std::pair{submitted[3].width, submitted[3].height}), (std::pair{1179, 737}));
    EXPECT_EQ(submitted[3].presentationTime, (MediaTime{0, 10}));
    EXPECT_EQ(submitted[3].properties.profileLevel, ProfileLevel::hevcMainAutoLevel);
    EXPECT_EQ(factory->invalidations, std::vector<std::size_t>{0});
}

TEST(VideoFrameEncoderSession, TheWaitIsOneFrameAndTheBitRateTwoBitsAPixelWithinBounds) {
    EXPECT_EQ(encoderTimeout(0), 1000ms);
    EXPECT_EQ(encoderTimeout(15), 66ms);
    EXPECT_EQ(encoderTimeout(60), 33ms);
    EXPECT_EQ(averageBitRate(1920, 1200, 29), 8000000);
    EXPECT_EQ(averageBitRate(1920, 1200, 30), 14000000);
    EXPECT_EQ(averageBitRate(750, 600, 1), 900000);
    EXPECT_EQ(averageBitRate(751, 600, 1), 901200);
}

TEST(VideoFrameEncoderKeyFrames, RequestsAndGapsAreAnsweredByTheNextDeliveredKeyFrame) {
    enum Output { asked, delta, none, failed, dropped };
    // A session starts on a key frame; a new client asks for one, once; a
    // request the session ignores stays; a frame that gave nothing (no
    // output, an error status, status 0 without a sample: the client got a
    // JPEG) is followed by a key frame.
    // Asked for a key frame, the session's output, then the frame: 1 key, 0 delta, -1 none.
    const std::tuple<bool, Output, int> steps[] = {
        {false, asked, 1},   {false, asked, 0}, {true, asked, 1},     {false, asked, 0},
        {true, delta, 0},    {false, asked, 1}, {false, none, -1},    {false, asked, 1},
        {false, failed, -1}, {false, asked, 1}, {false, dropped, -1}, {false, asked, 1},
        {false, asked, 0}};
    auto factory = std::make_shared<FakeCompressionSessionFactory>();
    Output output = asked;
    factory->responder = [&output](Submission submission, const auto& handler) {
        submission.forceKeyFrame = submission.forceKeyFrame && output == asked;
        if (output == dropped) {
            handler(submission.tag, 0, nullptr);
        } else if (output != none) {
            answer(submission, handler, output == failed ? -12902 : 0);
        }
    };
    VideoFrameEncoder encoder(factory);
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        const auto [force, given, key] = steps[i];
        if (force) {
            encoder.forceKeyFrame();
        }
        output = given;
        const auto frame = encode(encoder);
        ASSERT_EQ(frame.has_value(), key >= 0);
        if (frame) {
            EXPECT_EQ(frame->isKeyFrame, key == 1);
            EXPECT_EQ(frame->data[4] == kSps[0], key == 1) << "sets before a key frame";
        }
    }
}

// The session's output may come after the wait gave up, from another thread.
TEST(VideoFrameEncoderLateOutput, AnEarlierPicturesOutputNeverBecomesALaterPicturesFrame) {
    for (const bool laterAnswers : {false, true}) {
        SCOPED_TRACE(laterAnswers);
        auto factory = std::make_shared<FakeCompressionSessionFactory>();
        std::vector<std::pair<Submission, CompressionOutputHandler>> first;
        const auto deliverFirst = [&] {
            std::thread([&] { answer(first[0].first, first[0].second); }).join();
        };
        factory->responder = [&](const Submission& submission, const auto& output) {
            if (submission.tag == 1) {
                first.emplace_back(submission, output);
                return;
            }
            deliverFirst(); // while this picture is awaited
            if (laterAnswers) {
                answer(submission, output);
            }
        };
        {
            VideoFrameEncoder encoder(factory);
            EXPECT_FALSE(encode(encoder));
            const auto second = encode(encoder);
            ASSERT_EQ(second.has_value(), laterAnswers);
            EXPECT_TRUE(!second || second->data.back() == 2) << "the second picture's own frame";
            deliverFirst(); // between two pictures
            EXPECT_EQ(encode(encoder).has_value(), laterAnswers);
        }
        deliverFirst(); // once the encoder is gone
        EXPECT_EQ(factory->invalidations, std::vector<std::size_t>{0});
    }
}

} // namespace
} // namespace quorvi
