// The capture session against a scripted capture service: the size rule,
// when a stream restarts, how late starts and late samples are thrown away,
// and the texts that explain a missing picture.

#include "capture/ScreenCaptureSession.h"

#include "fakes/FakeDisplayServices.h"
#include "fakes/ScriptedCaptureService.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <tuple>

namespace quorvi {
namespace {

using namespace fakes;

using Script = ScriptedCaptureService::Script;
constexpr DisplayID kMain = 11;
constexpr DisplayID kSecond = 12;
const std::string kRunning = "Capture active, frame en attente";
const std::string kIdle = "Capture système en attente";

StreamEncodingSettings settings(std::int64_t fps, std::optional<std::int64_t> targetWidth = {},
                                std::int64_t maxWidth = 1920) {
    return {.maxWidth = maxWidth, .fps = fps, .targetWidth = targetWidth};
}

TEST(ScreenCaptureOutputSize, MaximumThenTargetWidthNeverAboveTheDisplayHeightRoundedThenEven) {
    // Display width and height, maximum and target width (0: none), size.
    using Case =
        std::tuple<std::size_t, std::size_t, std::int64_t, std::int64_t, CaptureOutputSize>;
    // 1080 / 1920 × 641 = 360.5 rounds up to 361, then both sides lose their
    // odd pixel, as 1179 × 736.875 and 844 × 474.75 do.
    const std::vector<Case> cases = {
        {2880, 1800, 1920, 0, {1920, 1200}},  {2880, 1800, 1920, 1179, {1178, 736}},
        {1470, 956, 1920, 4000, {1470, 956}}, {0, 0, 1920, 0, {2, 2}},
        {4000, 1, 1920, 0, {1920, 2}},        {1920, 1080, 1920, 641, {640, 360}},
        {1920, 1080, 1920, 844, {844, 474}},  {1179, 737, 1920, 0, {1178, 736}}};
    for (const auto& [wide, high, maxWidth, target, expected] : cases) {
        EXPECT_EQ(
            ScreenCaptureSession::outputSize(
                wide, high, settings(10, target ? std::optional(target) : std::nullopt, maxWidth)),
            expected)
            << wide << "x" << high << " " << target;
    }
}

template <typename Predicate> bool eventually(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + kCaptureWaitLimit;
    while (!predicate() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return predicate();
}

class ScreenCaptureSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        displays_->addDisplay(kMain, {0, 0, 1920, 1080});
        displays_->addDisplay(kSecond, {1920, 0, 1440, 900});
        service_->edit([](Script& s) { s.content = {{kMain, kSecond}, {}}; });
    }

    void hold(bool isHeld) {
        service_->edit([isHeld](Script& s) { s.holdStarts = isHeld; });
    }
    std::string subtitle() const { return session_->diagnosticSubtitle(true); }
    // A prepare() says at once that it starts: waits until the stream runs.
    void prepareRunning(DisplayID id, const StreamEncodingSettings& wanted) {
        session_->prepare(id, wanted);
        ASSERT_TRUE(eventually([&] { return subtitle() == kRunning; }));
    }
    // Prepares with the service's start held until the test lets it go.
    void prepareHeld(DisplayID id, const StreamEncodingSettings& wanted) {
        const std::size_t before = service_->starts().size();
        hold(true);
        session_->prepare(id, wanted);
        ASSERT_TRUE(service_->waitUntil([&](auto& c) { return c.starts > before; }));
    }
    std::shared_ptr<ScriptedCaptureStream> stream(std::size_t index) const {
        EXPECT_TRUE(eventually([&] {
            const auto starts = service_->starts();
            return index < starts.size() && starts[index].stream;
        }));
        return service_->starts().at(index).stream;
    }
    bool hasPicture() const { return session_->latestBuffer(kMain).has_value(); }

    std::shared_ptr<ScriptedCaptureService> service_ = std::make_shared<ScriptedCaptureService>();
    std::shared_ptr<FakeDisplayServices> displays_ = std::make_shared<FakeDisplayServices>();
    std::shared_ptr<ScreenCaptureSession> session_ =
        std::make_shared<ScreenCaptureSession>(service_, displays_);
};

TEST_F(ScreenCaptureSessionTest, EachChangeOfDisplaySizeOrRateStopsTheStreamAndStartsAnother) {
    service_->edit([](Script& s) {
        s.content = {{kSecond, kMain},
                     {{101, CaptureApplication{"quorvi-mac", true}},
                      {103, std::nullopt},
                      {104, CaptureApplication{"quorvi-mac", true}}}};
    });
    // Below 30 frames the queue is three deep; a rate of 0 or less asks for one a second.
    const std::vector<std::uint64_t> ours = {101, 104};
    const std::tuple<DisplayID, StreamEncodingSettings, CaptureStreamConfiguration> steps[] = {
        {kMain, settings(30, 1280), {kMain, ours, 1280, 720, {1, 30}, 2}},
        {kMain, settings(29, 1280), {kMain, ours, 1280, 720, {1, 29}}},
        {kMain, settings(0, 1280), {kMain, ours, 1280, 720, {1, 1}}},
        {kSecond, settings(-4), {kSecond, ours, 1440, 900, {1, 1}}},
        {kSecond, settings(-4, 1000), {kSecond, ours, 1000, 624, {1, 1}}}};
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const auto& [display, wanted, asked] = steps[i];
        prepareRunning(display, wanted);
        EXPECT_EQ(service_->starts().at(i).configuration, asked) << i;
        EXPECT_TRUE(i == 0 || stream(i - 1)->isStopped()) << i;
    }
    // The display itself changes size.
    displays_->removeDisplay(kSecond);
    displays_->addDisplay(kSecond, {1920, 0, 1280, 800});
    prepareRunning(kSecond, settings(-4));
    EXPECT_EQ(service_->starts().at(5).configuration.height, 800);
    EXPECT_FALSE(stream(5)->isStopped());
}

TEST_F(ScreenCaptureSessionTest, TheSameValuesChangeNothingWhileStartingOrRunning) {
    prepareHeld(kMain, settings(10));
    session_->prepare(kMain, settings(10));
    hold(false);
    ASSERT_TRUE(eventually([&] { return subtitle() == kRunning; }));
    stream(0)->deliverPicture();
    session_->prepare(kMain, settings(10));
    session_->prepare(kMain, settings(10, 1920)); // the same size
    // A restart would have dropped the picture and said that it starts.
    EXPECT_TRUE(hasPicture());
    EXPECT_EQ(subtitle(), kRunning);
    EXPECT_FALSE(stream(0)->isStopped());
    EXPECT_EQ(service_->starts().size(), 1u);
}

TEST_F(ScreenCaptureSessionTest, AStartFinishingAfterStopIsStoppedAndALateFailureShowsNothing) {
    for (const bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "failing start" : "start");
        prepareHeld(kMain, settings(fails ? 15 : 10));
        EXPECT_EQ(subtitle(), "ScreenCaptureKit démarre");
        session_->stop();
        service_->edit([fails](Script& s) {
            s.startError = fails ? std::optional<std::string>("refusé") : std::nullopt;
            s.holdStarts = false;
        });
        ASSERT_TRUE(
            service_->waitUntil([&](auto& c) { return c.finishedStarts == (fails ? 2u : 1u); }));
        EXPECT_EQ(subtitle(), kIdle);
    }
    EXPECT_TRUE(eventually([&] { return stream(0)->isStopped(); }));
    stream(0)->deliverPicture();
    EXPECT_FALSE(hasPicture());
}

TEST_F(ScreenCaptureSessionTest, AStopDuringTheContentQueryStartsNothing) {
    service_->edit([](Script& s) { s.holdQueries = true; });
    session_->prepare(kMain, settings(10));
    ASSERT_TRUE(service_->waitUntil([](auto& c) { return c.queries == 1; }));
    session_->stop();
    service_->edit([](Script& s) { s.holdQueries = false; });
    // A later start goes through, so the earlier one has had its chance.
    prepareRunning(kMain, settings(15));
    ASSERT_EQ(service_->starts().size(), 1u);
    EXPECT_EQ(service_->starts()[0].configuration.minimumFrameInterval, (MediaTime{1, 15}));
}

TEST_F(ScreenCaptureSessionTest, AnOlderStartFinishingAfterANewerPrepareIsStoppedAndTheNewerKept) {
    prepareHeld(kMain, settings(10, 1600));
    prepareHeld(kMain, settings(10, 1200));
    hold(false);
    EXPECT_TRUE(eventually([&] { return stream(0)->isStopped(); }));
    ASSERT_TRUE(eventually([&] { return subtitle() == kRunning; }));
    EXPECT_FALSE(stream(1)->isStopped());
    stream(0)->deliverPicture();
    EXPECT_FALSE(hasPicture());
    stream(1)->deliverPicture();
    EXPECT_EQ(session_->latestBuffer(kMain).value().width, 1200);
}

TEST_F(ScreenCaptureSessionTest, ASessionReleasedDuringOrAfterAStartStopsTheStream) {
    prepareHeld(kMain, settings(10));
    session_.reset();
    hold(false);
    EXPECT_TRUE(eventually([&] { return stream(0)->isStopped(); }));
    stream(0)->deliverPicture(); // its callbacks find nobody
    stream(0)->endWith("parti");
    session_ = std::make_shared<ScreenCaptureSession>(service_, displays_);
    prepareRunning(kMain, settings(10));
    session_.reset();
    EXPECT_TRUE(stream(1)->isStopped());
}

TEST_F(ScreenCaptureSessionTest, TheLatestSampleIsSharedReplacedAndReleasedAndAStopDropsIt) {
    prepareRunning(kMain, settings(10, 1280));
    auto picture = std::make_shared<const PixelBuffer>(1280, 720);
    stream(0)->deliver({nullptr, 1280, 720});
    EXPECT_FALSE(hasPicture()) << "a sample without picture";
    stream(0)->deliver({picture, 0, 0}); // the size filed is the picture's own
    const auto latest = session_->latestBuffer(kMain).value();
    EXPECT_EQ(std::tuple(latest.pixelBuffer, latest.width, latest.height),
              std::tuple(picture, 1280, 720));
    EXPECT_FALSE(session_->latestBuffer(kSecond));
    // The next one replaces it, and the session lets go of the first, which
    // goes back to the stream's pool once its other holders do.
    stream(0)->deliverPicture();
    EXPECT_NE(session_->latestBuffer(kMain)->pixelBuffer, picture);
    EXPECT_EQ(picture.use_count(), 2);
    session_->stop();
    EXPECT_TRUE(stream(0)->isStopped());
    EXPECT_FALSE(hasPicture());
    stream(0)->deliverPicture(); // already on its way when the stop was asked
    EXPECT_FALSE(hasPicture());
    EXPECT_EQ(subtitle(), kIdle);
}

TEST_F(ScreenCaptureSessionTest, SamplesAndEndsFromTheCaptureThreadWhileTheWorkQueueRestarts) {
    prepareRunning(kMain, settings(10));
    std::atomic<bool> isDone{false};
    // Plays the capture thread of the newest stream, and the platform
    // ending the one before it.
    std::thread capture([&] {
        while (!isDone.load()) {
            const auto starts = service_->starts();
            if (const auto& newest = starts.back().stream) {
                newest->deliverPicture();
            }
            if (starts.size() > 1 && starts[starts.size() - 2].stream) {
                starts[starts.size() - 2].stream->endWith("remplacé");
            }
        }
    });
    for (int i = 0; i < 20; ++i) {
        session_->prepare(kMain, settings(10, 1000 + i));
        (void)session_->latestBuffer(kMain);
        (void)subtitle();
    }
    session_->stop();
    isDone = true;
    capture.join();
    EXPECT_FALSE(hasPicture());
}

// Each way a start fails keeps its text through a prepare with the same
// values (a retry would say that it starts) and through a stop.
TEST_F(ScreenCaptureSessionTest, AFailedStartKeepsItsTextThroughUnchangedValuesAndAStop) {
    const std::pair<std::function<void(Script&)>, std::string> failures[] = {
        {[](Script& s) {
             s.content = {{kSecond}, {}};
         },
         "Display introuvable pour ScreenCaptureKit"},
        {[](Script& s) { s.queryError = "pas de serveur X"; },
         "ScreenCaptureKit: pas de serveur X"},
        {[](Script& s) { s.startError = "format refusé"; }, "ScreenCaptureKit: format refusé"},
    };
    std::int64_t fps = 10;
    for (const auto& [failure, text] : failures) {
        SCOPED_TRACE(text);
        service_->edit(failure);
        session_->prepare(kMain, settings(++fps));
        ASSERT_TRUE(eventually([&] { return subtitle() == text; }));
        session_->prepare(kMain, settings(fps));
        EXPECT_EQ(subtitle(), text);
        session_->stop();
        EXPECT_EQ(subtitle(), text);
        service_->edit([](Script& s) { s = {.content = {{kMain}, {}}}; });
    }
    prepareRunning(kMain, settings(10));
    EXPECT_EQ(service_->starts().size(), 2u);
}

TEST_F(ScreenCaptureSessionTest, AnEndedStreamKeepsItsLastPictureAndItsText) {
    prepareRunning(kMain, settings(10));
    stream(0)->deliverPicture();
    stream(0)->endWith("serveur X perdu");
    session_->prepare(kMain, settings(10));
    EXPECT_EQ(subtitle(), "Capture arrêtée: serveur X perdu");
    EXPECT_TRUE(hasPicture());
    // One that ends before its start returns is not adopted.
    session_->stop();
    service_->edit([](Script& s) { s.endAtStart = "écran retiré"; });
    session_->prepare(kMain, settings(10));
    ASSERT_TRUE(eventually([&] { return subtitle() == "Capture arrêtée: écran retiré"; }));
    EXPECT_TRUE(eventually([&] { return stream(1)->isStopped(); }));
    // The end of a replaced stream is not the current one's.
    service_->edit([](Script& s) { s.endAtStart.reset(); });
    prepareRunning(kSecond, settings(10));
    prepareRunning(kMain, settings(10));
    stream(2)->endWith("trop tard");
    EXPECT_EQ(subtitle(), kRunning);
}

} // namespace
} // namespace quorvi
