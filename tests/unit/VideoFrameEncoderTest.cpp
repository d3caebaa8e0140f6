#include "capture/VideoFrameEncoder.h"

#include "capture/AnnexB.h"
#include "capture/CompressionSession.h"
#include "fakes/FakeCompressionSession.h"

#include <condition_variable>
#include <cstdint>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quorvi {
namespace {

using fakes::FakeCompressionSessionFactory;
using fakes::lengthPrefixed;
using fakes::ScriptedSample;
using Bytes = std::vector<std::uint8_t>;

const Bytes kSps = {0x67, 0x42, 0xc0, 0x1f};
const Bytes kPps = {0x68, 0xce, 0x3c, 0x80};
const Bytes kVps = {0x40, 0x01, 0x0c};
const Bytes kHevcSps = {0x42, 0x01, 0x01};
const Bytes kHevcPps = {0x44, 0x01, 0xc1};

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const Bytes kStart = {0, 0, 0, 1};

CapturedVideoBuffer picture(std::int64_t width, std::int64_t height) {
    return CapturedVideoBuffer{std::make_shared<const PixelBuffer>(width, height), width, height};
}

StreamEncodingSettings atFps(std::int64_t fps) {
    StreamEncodingSettings settings;
    settings.fps = fps;
    return settings;
}

FormatDescription h264Description() {
    return FormatDescription{{kSps, kPps}};
}

// A session that answers every picture at once, inside completeFrames, with
// the sample the script builds for it.
std::shared_ptr<FakeCompressionSessionFactory> answeringFactory(
    std::function<ScriptedSample(const FakeCompressionSessionFactory::Submission&)> script) {
    auto factory = std::make_shared<FakeCompressionSessionFactory>();
    factory->setResponder([script](const FakeCompressionSessionFactory::Submission& submission,
                                   const CompressionOutputHandler& output) {
        const ScriptedSample sample = script(submission);
        const CompressedSample view = sample.view();
        output(submission.tag, 0, &view);
    });
    return factory;
}

// Key frames when asked for and on a session's first picture; one slice
// whose second byte is the submission's tag, so a test can tell frames apart.
ScriptedSample taggedSample(const FakeCompressionSessionFactory::Submission& submission) {
    const bool key = submission.forceKeyFrame || submission.presentationTime.value == 0;
    ScriptedSample sample;
    sample.data = lengthPrefixed({{static_cast<std::uint8_t>(key ? 0x65 : 0x41),
                                   static_cast<std::uint8_t>(submission.tag)}});
    sample.formatDescription = h264Description();
    sample.attachments = std::vector<SampleAttachments>{{!key}};
    return sample;
}

std::optional<EncodedVideoFrame> encodeOne(const ScriptedSample& sample,
                                           VideoCodec codec = VideoCodec::h264) {
    auto factory = answeringFactory([sample](const auto&) { return sample; });
    if (codec == VideoCodec::h264) {
        factory->setCreationFails(VideoCodec::hevc, true);
    }
    VideoFrameEncoder encoder(factory);
    return encoder.encode(picture(64, 32), atFps(30));
}

// ---- the Annex-B conversion ------------------------------------------------

struct ConversionCase {
    const char* name;
    Bytes input;
    Bytes expected;
};

TEST(VideoFrameEncoderAnnexB, LengthPrefixedUnitsBecomeStartCoded) {
    const Bytes five = {0x41, 1, 2, 3, 4};
    const Bytes three = {0x41, 5, 6};
    const std::vector<ConversionCase> cases = {
        {"two units of 5 and 3 bytes", lengthPrefixed({five, three}),
         concat({kStart, five, kStart, three})},
        {"second length beyond the end", concat({lengthPrefixed({five}), {0, 0, 0, 9, 0x41, 1}}),
         concat({kStart, five})},
        {"first length 0", concat({{0, 0, 0, 0}, lengthPrefixed({five})}), {}},
        {"3 trailing bytes", concat({lengthPrefixed({five, three}), {0, 0, 1}}),
         concat({kStart, five, kStart, three})},
        {"length 0 after a unit", concat({lengthPrefixed({five}), {0, 0, 0, 0}, three}),
         concat({kStart, five})},
        {"empty", {}, {}},
    };
    for (const ConversionCase& test : cases) {
        Bytes out;
        appendAnnexBFromLengthPrefixed(test.input, out);
        EXPECT_EQ(out, test.expected) << test.name;
    }
    // The first case keeps its 16 bytes: each length becomes a start code.
    EXPECT_EQ(lengthPrefixed({five, three}).size(), 16u);
}

TEST(VideoFrameEncoderAnnexB, StartCodedStreamsLeaveWithFourByteStartCodes) {
    const Bytes slice1 = {0x41, 9, 8};
    const Bytes slice2 = {0x01, 7};
    const std::vector<ConversionCase> cases = {
        {"3-byte start codes", concat({{0, 0, 1}, slice1, {0, 0, 1}, slice2}),
         concat({kStart, slice1, kStart, slice2})},
        {"mixed", concat({kStart, slice1, {0, 0, 1}, slice2}),
         concat({kStart, slice1, kStart, slice2})},
        {"bytes before the first start code", concat({{7, 7}, kStart, slice1}),
         concat({kStart, slice1})},
        {"trailing zero bytes", concat({kStart, slice1, {0, 0}}), concat({kStart, slice1})},
        {"empty units", concat({kStart, kStart, slice1}), concat({kStart, slice1})},
        {"no start code", {1, 2, 3}, {}},
    };
    for (const ConversionCase& test : cases) {
        Bytes out;
        appendAnnexBFromStartCoded(test.input, VideoCodec::h264, false, out);
        EXPECT_EQ(out, test.expected) << test.name;
    }
}

TEST(VideoFrameEncoderAnnexB, SplitsAndClassifiesUnits) {
    const Bytes stream = concat({kStart, kVps, kStart, kHevcSps, {0, 0, 1}, kHevcPps});
    const auto units = splitAnnexB(stream);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(nalUnitType(units[0], VideoCodec::hevc), 32);
    EXPECT_EQ(nalUnitType(units[1], VideoCodec::hevc), 33);
    EXPECT_EQ(nalUnitType(units[2], VideoCodec::hevc), 34);
    EXPECT_EQ(nalUnitType(kSps, VideoCodec::h264), 7);
    EXPECT_EQ(nalUnitType(kPps, VideoCodec::h264), 8);
    EXPECT_TRUE(isParameterSetType(7, VideoCodec::h264));
    EXPECT_FALSE(isParameterSetType(5, VideoCodec::h264));
    EXPECT_TRUE(isParameterSetType(32, VideoCodec::hevc));
    EXPECT_FALSE(isParameterSetType(19, VideoCodec::hevc));
}

// ---- samples through the encoder ---------------------------------------------

TEST(VideoFrameEncoderOutput, KeyFramesCarryTheCodecsParameterSets) {
    const Bytes slice = {0x65, 0xaa, 0xbb};
    ScriptedSample h264;
    h264.data = lengthPrefixed({slice});
    h264.formatDescription = FormatDescription{{kSps, kPps, {0x99}}};
    h264.attachments = std::vector<SampleAttachments>{{false}};
    auto frame = encodeOne(h264, VideoCodec::h264);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->codec, "h264-annexb");
    EXPECT_TRUE(frame->isKeyFrame);
    // Two sets, whatever else the description holds.
    EXPECT_EQ(frame->data, concat({kStart, kSps, kStart, kPps, kStart, slice}));

    ScriptedSample hevc = h264;
    hevc.formatDescription = FormatDescription{{kVps, kHevcSps, kHevcPps}};
    frame = encodeOne(hevc, VideoCodec::hevc);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->codec, "hevc-annexb");
    EXPECT_EQ(frame->data,
              concat({kStart, kVps, kStart, kHevcSps, kStart, kHevcPps, kStart, slice}));
}

TEST(VideoFrameEncoderOutput, TheKeyFrameRule) {
    const Bytes slice = {0x41, 0x11};
    struct Case {
        const char* name;
        std::optional<std::vector<SampleAttachments>> attachments;
        bool key;
    };
    const std::vector<Case> cases = {
        {"no attachments", std::nullopt, true},
        {"an empty list", std::vector<SampleAttachments>{}, true},
        {"first entry without notSync", std::vector<SampleAttachments>{{false}, {true}}, true},
        {"first entry with notSync", std::vector<SampleAttachments>{{true}}, false},
    };
    for (const Case& test : cases) {
        ScriptedSample sample;
        sample.data = lengthPrefixed({slice});
        sample.formatDescription = h264Description();
        sample.attachments = test.attachments;
        const auto frame = encodeOne(sample);
        ASSERT_TRUE(frame) << test.name;
        EXPECT_EQ(frame->isKeyFrame, test.key) << test.name;
        const Bytes expected = test.key ? concat({kStart, kSps, kStart, kPps, kStart, slice})
                                        : concat({kStart, slice});
        EXPECT_EQ(frame->data, expected) << test.name;
    }
}

TEST(VideoFrameEncoderOutput, FirstLengthZero) {
    ScriptedSample sample;
    sample.data = concat({{0, 0, 0, 0}, lengthPrefixed({{0x65, 1}})});
    sample.formatDescription = h264Description();

    sample.attachments = std::vector<SampleAttachments>{{true}};
    EXPECT_FALSE(encodeOne(sample)) << "a non-key frame with nothing in it";

    sample.attachments = std::nullopt;
    const auto key = encodeOne(sample);
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->isKeyFrame);
    EXPECT_EQ(key->data, concat({kStart, kSps, kStart, kPps}));
}

TEST(VideoFrameEncoderOutput, UnreadableParameterSetsAreSkipped) {
    ScriptedSample sample;
    sample.data = lengthPrefixed({{0x65, 1}});
    sample.formatDescription = FormatDescription{{{}, kPps}};
    auto frame = encodeOne(sample);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->data, concat({kStart, kPps, kStart, {0x65, 1}}));

    sample.formatDescription.reset();
    frame = encodeOne(sample);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->data, concat({kStart, {0x65, 1}}));
}

TEST(VideoFrameEncoderOutput, SamplesWithoutUsableDataGiveNothing) {
    ScriptedSample noBuffer;
    noBuffer.hasDataBuffer = false;
    noBuffer.formatDescription = h264Description();
    EXPECT_FALSE(encodeOne(noBuffer));

    // Even with parameter sets gathered, unreadable data stores nothing.
    ScriptedSample unreadable;
    unreadable.data = lengthPrefixed({{0x65, 1}});
    unreadable.readable = false;
    unreadable.formatDescription = h264Description();
    EXPECT_FALSE(encodeOne(unreadable));
}

TEST(VideoFrameEncoderOutput, StartCodedSamplesKeepTheLayout) {
    // An encoder that also writes its parameter sets in-band, and 3-byte
    // start codes between slices.
    const Bytes slice1 = {0x65, 0x88, 0x01};
    const Bytes slice2 = {0x65, 0x00, 0x02};
    ScriptedSample sample;
    sample.framing = NalFraming::startCoded;
    sample.data = concat({kStart, kSps, kStart, kPps, kStart, slice1, {0, 0, 1}, slice2});
    sample.formatDescription = h264Description();
    auto frame = encodeOne(sample);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->data, concat({kStart, kSps, kStart, kPps, kStart, slice1, kStart, slice2}));

    // Without a description the in-band sets are all there is: they stay.
    sample.formatDescription.reset();
    frame = encodeOne(sample);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->data, concat({kStart, kSps, kStart, kPps, kStart, slice1, kStart, slice2}));
}

TEST(VideoFrameEncoderOutput, ErrorsAndDroppedFramesGiveNothing) {
    for (int status : {0, -12902}) {
        auto factory = std::make_shared<FakeCompressionSessionFactory>();
        factory->setResponder([status](const auto& submission, const auto& output) {
            // Status 0 without a sample is a dropped frame.
            ScriptedSample sample = taggedSample(submission);
            const CompressedSample view = sample.view();
            output(submission.tag, status, status == 0 ? nullptr : &view);
        });
        VideoFrameEncoder encoder(factory);
        EXPECT_FALSE(encoder.encode(picture(64, 32), atFps(30))) << status;
    }
}

// ---- sessions ------------------------------------------------------------------

TEST(VideoFrameEncoderSession, HevcIsTriedFirstAndH264WhenItCannotBeMade) {
    auto factory = answeringFactory(taggedSample);
    factory->setCreationFails(VideoCodec::hevc, true);
    VideoFrameEncoder encoder(factory);

    const auto first = encoder.encode(picture(1280, 800), atFps(10));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->codec, "h264-annexb");
    EXPECT_TRUE(first->isKeyFrame);
    EXPECT_EQ(first->data, concat({kStart, kSps, kStart, kPps, kStart, {0x65, 1}}));
    const auto second = encoder.encode(picture(1280, 800), atFps(10));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->codec, "h264-annexb");
    EXPECT_FALSE(second->isKeyFrame);

    const auto creations = factory->creations();
    ASSERT_EQ(creations.size(), 2u);
    EXPECT_EQ(creations[0].codec, VideoCodec::hevc);
    EXPECT_FALSE(creations[0].succeeded);
    EXPECT_EQ(creations[1].codec, VideoCodec::h264);
    EXPECT_TRUE(creations[1].succeeded);
    EXPECT_EQ(creations[1].properties.profileLevel, ProfileLevel::h264BaselineAutoLevel);
}

TEST(VideoFrameEncoderSession, NoCodecMeansNoFrameAndTheNextFrameTriesAgain) {
    auto factory = answeringFactory(taggedSample);
    factory->setCreationFails(VideoCodec::hevc, true);
    factory->setCreationFails(VideoCodec::h264, true);
    VideoFrameEncoder encoder(factory);
    EXPECT_FALSE(encoder.encode(picture(640, 400), atFps(10)));
    EXPECT_FALSE(encoder.encode(picture(640, 400), atFps(10)));
    ASSERT_EQ(factory->creations().size(), 4u);
    EXPECT_EQ(factory->creations()[2].codec, VideoCodec::hevc);

    factory->setCreationFails(VideoCodec::hevc, false);
    const auto frame = encoder.encode(picture(640, 400), atFps(10));
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->codec, "hevc-annexb");
}

TEST(VideoFrameEncoderSession, ASizeChangeRecreatesTheSessionHevcFirst) {
    auto factory = answeringFactory(taggedSample);
    VideoFrameEncoder encoder(factory);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(encoder.encode(picture(1280, 800), atFps(10)));
    }
    const auto frame = encoder.encode(picture(1179, 737), atFps(10));
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->isKeyFrame);
    EXPECT_EQ(frame->codec, "hevc-annexb");

    const auto creations = factory->creations();
    ASSERT_EQ(creations.size(), 2u);
    EXPECT_EQ(creations[0].width, 1280);
    EXPECT_EQ(creations[0].height, 800);
    EXPECT_EQ(creations[1].codec, VideoCodec::hevc);
    EXPECT_EQ(creations[1].width, 1179);
    EXPECT_EQ(creations[1].height, 737);
    EXPECT_EQ(factory->invalidations(), std::vector<std::size_t>{0});
    EXPECT_EQ(factory->prepareCalls(), 2);

    const auto submissions = factory->submissions();
    ASSERT_EQ(submissions.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(submissions[i].presentationTime, (MediaTime{i, 10}));
        EXPECT_EQ(submissions[i].session, 0u);
    }
    EXPECT_EQ(submissions[3].presentationTime, (MediaTime{0, 10})) << "the index restarts";
    EXPECT_EQ(submissions[3].session, 1u);
    EXPECT_EQ(submissions[3].pictureWidth, 1179);
}

TEST(VideoFrameEncoderSession, AFrameRateChangeKeepsTheSessionAndItsCount) {
    auto factory = answeringFactory(taggedSample);
    VideoFrameEncoder encoder(factory);
    ASSERT_TRUE(encoder.encode(picture(640, 400), atFps(10)));
    ASSERT_TRUE(encoder.encode(picture(640, 400), atFps(10)));
    ASSERT_TRUE(encoder.encode(picture(640, 400), atFps(30)));
    EXPECT_EQ(factory->creations().size(), 1u);
    const auto submissions = factory->submissions();
    ASSERT_EQ(submissions.size(), 3u);
    EXPECT_EQ(submissions[2].presentationTime, (MediaTime{2, 30}));
    EXPECT_EQ(factory->completions().back(), (MediaTime{2, 30}));
    const auto applied = factory->appliedProperties();
    ASSERT_EQ(applied.size(), 3u) << "the properties are applied on every frame";
    EXPECT_EQ(applied[0].expectedFrameRate, 10);
    EXPECT_EQ(applied[2].expectedFrameRate, 30);
    EXPECT_EQ(applied[2].maxKeyFrameInterval, 60);
    EXPECT_EQ(applied[2].averageBitRate, 14000000);
}

TEST(VideoFrameEncoderSession, FpsZero) {
    auto factory = answeringFactory(taggedSample);
    VideoFrameEncoder encoder(factory);
    ASSERT_TRUE(encoder.encode(picture(4096, 2400), atFps(0)));
    ASSERT_TRUE(encoder.encode(picture(4096, 2400), atFps(0)));

    const auto submissions = factory->submissions();
    ASSERT_EQ(submissions.size(), 2u);
    EXPECT_EQ(submissions[1].presentationTime, (MediaTime{1, 1})) << "time scale 1";
    const CompressionProperties properties = factory->appliedProperties().back();
    EXPECT_EQ(properties.expectedFrameRate, 1);
    EXPECT_EQ(properties.maxKeyFrameInterval, 0);
    EXPECT_EQ(properties.averageBitRate, 8000000) << "the cap below 30 fps";
    EXPECT_EQ(encoderTimeout(0), std::chrono::milliseconds(1000));
    EXPECT_EQ(encoderTimeScale(0), 1);
}

TEST(VideoFrameEncoderSession, ThePropertyTable) {
    const CompressionProperties hevc = compressionProperties(VideoCodec::hevc, 1920, 1200, 30);
    EXPECT_TRUE(hevc.realTime);
    EXPECT_FALSE(hevc.allowFrameReordering);
    EXPECT_EQ(hevc.profileLevel, ProfileLevel::hevcMainAutoLevel);
    EXPECT_EQ(hevc.expectedFrameRate, 30);
    EXPECT_EQ(hevc.maxKeyFrameInterval, 60);
    EXPECT_EQ(hevc.averageBitRate, 14000000);
    EXPECT_TRUE(hevc.prioritizeEncodingSpeedOverQuality);

    const CompressionProperties h264 = compressionProperties(VideoCodec::h264, 1280, 800, 5);
    EXPECT_EQ(h264.profileLevel, ProfileLevel::h264BaselineAutoLevel);
    EXPECT_EQ(h264.expectedFrameRate, 5);
    EXPECT_EQ(h264.maxKeyFrameInterval, 10);
    EXPECT_EQ(h264.averageBitRate, 8000000);
}

TEST(VideoFrameEncoderSession, TheTimeOutTable) {
    const std::vector<std::pair<std::int64_t, int>> table = {
        {0, 1000}, {1, 1000}, {5, 200}, {10, 100}, {15, 66},
        {24, 41},  {30, 33},  {31, 33}, {60, 33},  {-3, 1000},
    };
    for (const auto& [fps, milliseconds] : table) {
        EXPECT_EQ(encoderTimeout(fps), std::chrono::milliseconds(milliseconds)) << fps;
    }
}

TEST(VideoFrameEncoderSession, TheBitRateRule) {
    struct Case {
        std::int64_t width, height, fps, rate;
    };
    const std::vector<Case> cases = {
        {1920, 1200, 30, 14000000},
        {1280, 800, 5, 8000000},
        {640, 400, 1, 900000},
        {640, 360, 2, 921600},
        {640, 400, 2, 1024000},
        {640, 400, 0, 900000},
        {1920, 1200, 29, 8000000},
        {4096, 2400, 60, 14000000},
        // The floor holds up to a pixel rate of 450000, the doubling above.
        {750, 600, 1, 900000},
        {751, 600, 1, 901200},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(averageBitRate(test.width, test.height, test.fps), test.rate)
            << test.width << "x" << test.height << "@" << test.fps;
    }
}

TEST(VideoFrameEncoderSession, SubmissionFailureGivesNothing) {
    auto factory = answeringFactory(taggedSample);
    factory->setSubmissionFails(true);
    VideoFrameEncoder encoder(factory);
    EXPECT_FALSE(encoder.encode(picture(64, 32), atFps(30)));
    EXPECT_TRUE(factory->completions().empty());
    factory->setSubmissionFails(false);
    EXPECT_TRUE(encoder.encode(picture(64, 32), atFps(30)));
}

TEST(VideoFrameEncoderSession, WithoutAFactoryEveryFrameFallsBack) {
    VideoFrameEncoder encoder;
    EXPECT_FALSE(encoder.encode(picture(64, 32), atFps(30)));
    EXPECT_FALSE(encoder.encode(CapturedVideoBuffer{}, atFps(30)));
}

// ---- key frames on request -------------------------------------------------------

TEST(VideoFrameEncoderKeyFrames, ForceKeyFrameMakesTheNextFrameAKeyFrame) {
    auto factory = answeringFactory(taggedSample);
    VideoFrameEncoder encoder(factory);
    ASSERT_TRUE(encoder.encode(picture(64, 32), atFps(30))->isKeyFrame);
    ASSERT_FALSE(encoder.encode(picture(64, 32), atFps(30))->isKeyFrame);

    encoder.forceKeyFrame();
    const auto forced = encoder.encode(picture(64, 32), atFps(30));
    ASSERT_TRUE(forced);
    EXPECT_TRUE(forced->isKeyFrame);
    EXPECT_EQ(forced->data, concat({kStart, kSps, kStart, kPps, kStart, {0x65, 3}}));
    EXPECT_FALSE(encoder.encode(picture(64, 32), atFps(30))->isKeyFrame) << "asked once";

    const auto submissions = factory->submissions();
    ASSERT_EQ(submissions.size(), 4u);
    EXPECT_FALSE(submissions[1].forceKeyFrame);
    EXPECT_TRUE(submissions[2].forceKeyFrame);
    EXPECT_FALSE(submissions[3].forceKeyFrame);
}

TEST(VideoFrameEncoderKeyFrames, TheRequestHoldsUntilAKeyFrameIsDelivered) {
    auto factory = std::make_shared<FakeCompressionSessionFactory>();
    bool answer = true;
    factory->setResponder([&answer](const auto& submission, const auto& output) {
        if (answer) {
            const ScriptedSample sample = taggedSample(submission);
            const CompressedSample view = sample.view();
            output(submission.tag, 0, &view);
        }
    });
    VideoFrameEncoder encoder(factory);
    ASSERT_TRUE(encoder.encode(picture(64, 32), atFps(30)));
    encoder.forceKeyFrame();
    answer = false;
    EXPECT_FALSE(encoder.encode(picture(64, 32), atFps(30)));
    answer = true;
    const auto frame = encoder.encode(picture(64, 32), atFps(30));
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->isKeyFrame);
    const auto submissions = factory->submissions();
    EXPECT_TRUE(submissions[1].forceKeyFrame);
    EXPECT_TRUE(submissions[2].forceKeyFrame);
}

TEST(VideoFrameEncoderKeyFrames, AFrameWhoseOutputNeverCameIsFollowedByAKeyFrame) {
    // The client got a JPEG for that frame, so a P-frame after it would
    // refer to a picture the client's decoder never saw.
    auto factory = std::make_shared<FakeCompressionSessionFactory>();
    factory->setResponder([](const auto& submission, const auto& output) {
        if (submission.tag == 2) {
            return;
        }
        const ScriptedSample sample = taggedSample(submission);
        const CompressedSample view = sample.view();
        output(submission.tag, 0, &view);
    });
    VideoFrameEncoder encoder(factory);
    ASSERT_TRUE(encoder.encode(picture(64, 32), atFps(30)));
    ASSERT_FALSE(encoder.encode(picture(64, 32), atFps(30)));
    const auto third = encoder.encode(picture(64, 32), atFps(30));
    ASSERT_TRUE(third);
    EXPECT_TRUE(third->isKeyFrame);
    EXPECT_FALSE(encoder.encode(picture(64, 32), atFps(30))->isKeyFrame);
}

// ---- output that comes late -------------------------------------------------------

// A one-shot flag threads can wait for.
class Flag {
public:
    void raise() {
        std::lock_guard lock(mutex_);
        raised_ = true;
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return raised_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool raised_ = false;
};

TEST(VideoFrameEncoderLateOutput, OutputAfterTheTimeOutNeverBecomesTheNextFramesFrame) {
    for (const bool secondAnswers : {false, true}) {
        auto factory = std::make_shared<FakeCompressionSessionFactory>();
        Flag secondSubmitted;
        Flag lateDelivered;
        std::thread late;
        factory->setResponder([&](const FakeCompressionSessionFactory::Submission& submission,
                                  const CompressionOutputHandler& output) {
            if (submission.tag == 1) {
                // The first picture's output arrives on another thread, only
                // while the second picture is being waited for.
                late = std::thread([&secondSubmitted, &lateDelivered, submission, output] {
                    secondSubmitted.wait();
                    const ScriptedSample sample = taggedSample(submission);
                    const CompressedSample view = sample.view();
                    output(submission.tag, 0, &view);
                    lateDelivered.raise();
                });
                return;
            }
            secondSubmitted.raise();
            lateDelivered.wait();
            if (secondAnswers) {
                const ScriptedSample sample = taggedSample(submission);
                const CompressedSample view = sample.view();
                output(submission.tag, 0, &view);
            }
        });

        VideoFrameEncoder encoder(factory);
        EXPECT_FALSE(encoder.encode(picture(64, 32), atFps(30)));
        const auto second = encoder.encode(picture(64, 32), atFps(30));
        late.join();
        if (secondAnswers) {
            ASSERT_TRUE(second);
            EXPECT_EQ(second->data.back(), 2) << "the second picture's own frame";
        } else {
            EXPECT_FALSE(second) << "the first picture's frame is not the second's";
        }
    }
}

TEST(VideoFrameEncoderLateOutput, OutputBetweenTwoEncodeCallsLandsNowhere) {
    auto factory = std::make_shared<FakeCompressionSessionFactory>();
    FakeCompressionSessionFactory::Submission first;
    CompressionOutputHandler firstOutput;
    factory->setResponder([&](const FakeCompressionSessionFactory::Submission& submission,
                              const CompressionOutputHandler& output) {
        if (submission.tag == 1) {
            first = submission;
            firstOutput = output;
        }
    });
    VideoFrameEncoder encoder(factory);
    EXPECT_FALSE(encoder.encode(picture(64, 32), atFps(30)));

    std::thread late([&] {
        const ScriptedSample sample = taggedSample(first);
        const CompressedSample view = sample.view();
        firstOutput(first.tag, 0, &view);
    });
    late.join();
    EXPECT_FALSE(encoder.encode(picture(64, 32), atFps(30)));
}

TEST(VideoFrameEncoderLateOutput, OutputAfterTheEncoderIsGoneIsHarmless) {
    auto factory = std::make_shared<FakeCompressionSessionFactory>();
    FakeCompressionSessionFactory::Submission first;
    CompressionOutputHandler firstOutput;
    factory->setResponder([&](const auto& submission, const auto& output) {
        first = submission;
        firstOutput = output;
    });
    {
        VideoFrameEncoder encoder(factory);
        EXPECT_FALSE(encoder.encode(picture(64, 32), atFps(30)));
    }
    const ScriptedSample sample = taggedSample(first);
    const CompressedSample view = sample.view();
    firstOutput(first.tag, 0, &view);
    EXPECT_EQ(factory->invalidations(), std::vector<std::size_t>{0});
}

} // namespace
} // namespace quorvi
