// The capture session against a scripted capture service: the size rule,
// when a stream is restarted, how late starts and late samples are thrown
// away, and the texts that explain a missing picture.

#include "capture/ScreenCaptureSession.h"

#include "fakes/FakeDisplayServices.h"
#include "fakes/ScriptedCaptureService.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace quorvi {

// Reads what only tests look at.
struct ScreenCaptureSessionInspector {
    static std::int64_t generation(const ScreenCaptureSession& session) {
        std::lock_guard guard(session.stateLock);
        return session.streamGeneration;
    }
};

namespace {

using namespace std::chrono_literals;
using fakes::FakeDisplayServices;
using fakes::ScriptedCaptureService;

constexpr DisplayID kMain = 11;
constexpr DisplayID kSecond = 12;
constexpr auto kLimit = 5s;

StreamEncodingSettings settings(std::int64_t maxWidth, std::int64_t fps,
                                std::optional<std::int64_t> targetWidth = std::nullopt) {
    StreamEncodingSettings result;
    result.maxWidth = maxWidth;
    result.fps = fps;
    result.targetWidth = targetWidth;
    return result;
}

template <typename Predicate> bool eventually(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) {
            return true;
        }
        std::this_thread::sleep_for(2ms);
    }
    return predicate();
}

class ScreenCaptureSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        displays_->addDisplay(kMain, {0, 0, 1920, 1080});
        displays_->addDisplay(kSecond, {1920, 0, 1440, 900});
        service_->setContent({{kMain, kSecond}, {}});
    }

    std::string subtitle(bool granted = true) const {
        return session_->diagnosticSubtitle(granted);
    }

    bool eventuallySubtitle(const std::string& text) const {
        return eventually([&] { return subtitle() == text; });
    }

    // Prepares and waits until the stream of that start runs.
    void prepareRunning(DisplayID id, const StreamEncodingSettings& wanted) {
        const std::size_t before = service_->startCount();
        session_->prepare(id, wanted);
        ASSERT_TRUE(service_->waitForFinishedStarts(before + 1, kLimit));
        ASSERT_TRUE(eventuallySubtitle("Capture active, frame en attente"));
    }

    std::int64_t generation() const { return ScreenCaptureSessionInspector::generation(*session_); }

    std::shared_ptr<ScriptedCaptureService> service_ = std::make_shared<ScriptedCaptureService>();
    std::shared_ptr<FakeDisplayServices> displays_ = std::make_shared<FakeDisplayServices>();
    std::shared_ptr<ScreenCaptureSession> session_ =
        std::make_shared<ScreenCaptureSession>(service_, displays_);
};

// ---- the size rule -----------------------------------------------------------

TEST(ScreenCaptureOutputSize, ALargeDisplayIsBroughtDownToTheMaximumWidth) {
    EXPECT_EQ(ScreenCaptureSession::outputSize(2880, 1800, settings(1920, 10)),
              (CaptureOutputSize{1920, 1200}));
}

TEST(ScreenCaptureOutputSize, TheTargetWidthLowersItFurtherAndTheHeightRoundsToNearest) {
    // 1800 / 2880 x 1179 = 736.875
    EXPECT_EQ(ScreenCaptureSession::outputSize(2880, 1800, settings(1920, 10, 1179)),
              (CaptureOutputSize{1179, 737}));
}

TEST(ScreenCaptureOutputSize, AFullHDDisplayAtTheEconomyWidth) {
    EXPECT_EQ(ScreenCaptureSession::outputSize(1920, 1080, settings(1280, 5)),
              (CaptureOutputSize{1280, 720}));
}

TEST(ScreenCaptureOutputSize, ASmallerDisplayIsNeverScaledUp) {
    EXPECT_EQ(ScreenCaptureSession::outputSize(1470, 956, settings(1920, 10)),
              (CaptureOutputSize{1470, 956}));
    EXPECT_EQ(ScreenCaptureSession::outputSize(1470, 956, settings(1920, 10, 4000)),
              (CaptureOutputSize{1470, 956}));
}

TEST(ScreenCaptureOutputSize, ATinyOrUnknownDisplayGivesAtLeastTwoByTwo) {
    EXPECT_EQ(ScreenCaptureSession::outputSize(0, 0, settings(1920, 10)),
              (CaptureOutputSize{2, 2}));
    EXPECT_EQ(ScreenCaptureSession::outputSize(1, 1, settings(1920, 10)),
              (CaptureOutputSize{2, 2}));
    // A very wide strip: the height would round to 0 or 1.
    EXPECT_EQ(ScreenCaptureSession::outputSize(4000, 1, settings(1920, 10)),
              (CaptureOutputSize{1920, 2}));
}

TEST(ScreenCaptureOutputSize, HalvesRoundAwayFromZeroAndOddWidthsStay) {
    // 3 / 2 x 1 = 1.5 rounds to 2; 5 / 2 x 1 = 2.5 rounds to 3.
    EXPECT_EQ(ScreenCaptureSession::outputSize(2, 3, settings(1, 10)), (CaptureOutputSize{1, 2}));
    EXPECT_EQ(ScreenCaptureSession::outputSize(2, 5, settings(1, 10)), (CaptureOutputSize{1, 3}));
    EXPECT_EQ(ScreenCaptureSession::outputSize(1920, 1080, settings(1920, 10, 641)),
              (CaptureOutputSize{641, 361}));
}

// ---- starting ----------------------------------------------------------------

TEST_F(ScreenCaptureSessionTest, AStartAsksForTheDisplayAtTheOutputSizeWithThePointer) {
    ShareableContent content;
    content.displayIDs = {kSecond, kMain};
    content.windows = {{101, CaptureApplication{"quorvi-mac", true}},
                       {102, CaptureApplication{"Firefox", false}},
                       {103, std::nullopt},
                       {104, CaptureApplication{"quorvi-mac", true}}};
    service_->setContent(content);
    prepareRunning(kMain, settings(1280, 30));

    ASSERT_EQ(service_->startCount(), 1u);
    EXPECT_EQ(service_->contentQueries(), 1);
    const CaptureStreamConfiguration asked = service_->configuration(0);
    EXPECT_EQ(asked.displayID, kMain);
    EXPECT_EQ(asked.excludedWindowIDs, (std::vector<std::uint64_t>{101, 104}));
    EXPECT_EQ(asked.width, 1280);
    EXPECT_EQ(asked.height, 720);
    EXPECT_EQ(asked.minimumFrameInterval, (MediaTime{1, 30}));
    EXPECT_EQ(asked.queueDepth, 2);
    EXPECT_TRUE(asked.showsCursor);
}

TEST_F(ScreenCaptureSessionTest, BelowThirtyFramesTheQueueIsThreeDeep) {
    prepareRunning(kMain, settings(1920, 29));
    EXPECT_EQ(service_->configuration(0).minimumFrameInterval, (MediaTime{1, 29}));
    EXPECT_EQ(service_->configuration(0).queueDepth, 3);
}

TEST_F(ScreenCaptureSessionTest, ARateOfZeroOrLessAsksForOneFrameASecond) {
    prepareRunning(kMain, settings(1920, 0));
    EXPECT_EQ(service_->configuration(0).minimumFrameInterval, (MediaTime{1, 1}));
    EXPECT_EQ(service_->configuration(0).queueDepth, 3);
    prepareRunning(kMain, settings(1920, -4));
    EXPECT_EQ(service_->configuration(1).minimumFrameInterval, (MediaTime{1, 1}));
    EXPECT_EQ(service_->configuration(1).queueDepth, 3);
}

TEST_F(ScreenCaptureSessionTest, NothingIsExcludedWhenNoWindowIsOurs) {
    service_->setContent({{kMain}, {{7, CaptureApplication{"xterm", false}}, {8, std::nullopt}}});
    prepareRunning(kMain, settings(1920, 10));
    EXPECT_TRUE(service_->configuration(0).excludedWindowIDs.empty());
}

TEST_F(ScreenCaptureSessionTest, TheSameValuesTwiceStartOnce) {
    service_->holdStarts(true);
    session_->prepare(kMain, settings(1920, 10));
    ASSERT_TRUE(service_->waitForStarts(1, kLimit));
    // While starting and once running, the same values change nothing.
    session_->prepare(kMain, settings(1920, 10));
    service_->holdStarts(false);
    ASSERT_TRUE(eventuallySubtitle("Capture active, frame en attente"));
    const std::int64_t running = generation();
    session_->prepare(kMain, settings(1920, 10));
    // A target width at or above the display's width gives the same size.
    session_->prepare(kMain, settings(1920, 10, 1920));
    EXPECT_EQ(service_->startCount(), 1u);
    EXPECT_EQ(service_->contentQueries(), 1);
    EXPECT_EQ(generation(), running);
    EXPECT_EQ(service_->stream(0)->stopCount(), 0);
}

TEST_F(ScreenCaptureSessionTest, AChangeOfDisplaySizeOrRateRestartsAndAdvancesTheGenerationByTwo) {
    EXPECT_EQ(generation(), 0);
    prepareRunning(kMain, settings(1920, 10));
    EXPECT_EQ(generation(), 2);

    prepareRunning(kSecond, settings(1920, 10));
    EXPECT_EQ(generation(), 4);
    EXPECT_EQ(service_->stream(0)->stopCount(), 1);
    EXPECT_EQ(service_->configuration(1).displayID, kSecond);
    EXPECT_EQ(service_->configuration(1).width, 1440);

    prepareRunning(kSecond, settings(1920, 10, 1000));
    EXPECT_EQ(generation(), 6);
    EXPECT_EQ(service_->stream(1)->stopCount(), 1);
    EXPECT_EQ(service_->configuration(2).width, 1000);
    EXPECT_EQ(service_->configuration(2).height, 625);

    prepareRunning(kSecond, settings(1920, 30, 1000));
    EXPECT_EQ(generation(), 8);
    EXPECT_EQ(service_->stream(2)->stopCount(), 1);
    EXPECT_EQ(service_->configuration(3).minimumFrameInterval, (MediaTime{1, 30}));
    EXPECT_EQ(service_->stream(3)->stopCount(), 0);
    EXPECT_EQ(service_->startCount(), 4u);
}

TEST_F(ScreenCaptureSessionTest, ADisplayThatChangesSizeIsRestartedAtItsNewSize) {
    prepareRunning(kSecond, settings(1920, 10));
    displays_->removeDisplay(kSecond);
    displays_->addDisplay(kSecond, {1920, 0, 1280, 800});
    prepareRunning(kSecond, settings(1920, 10));
    EXPECT_EQ(service_->configuration(1).width, 1280);
    EXPECT_EQ(service_->configuration(1).height, 800);
}

// ---- late starts -------------------------------------------------------------

TEST_F(ScreenCaptureSessionTest, AStartThatFinishesAfterStopIsDiscardedAndItsStreamStopped) {
    service_->holdStarts(true);
    session_->prepare(kMain, settings(1920, 10));
    ASSERT_TRUE(service_->waitForStarts(1, kLimit));
    EXPECT_EQ(subtitle(), "ScreenCaptureKit démarre");
    session_->stop();
    service_->holdStarts(false);

    ASSERT_TRUE(eventually([&] { return service_->stream(0) != nullptr; }));
    EXPECT_TRUE(service_->stream(0)->waitUntilStopped(kLimit));
    EXPECT_EQ(subtitle(), "Capture système en attente");
    // Its pictures are not taken either.
    service_->stream(0)->deliverPicture();
    EXPECT_EQ(session_->latestBuffer(kMain), std::nullopt);
}

TEST_F(ScreenCaptureSessionTest, AStopDuringTheContentQueryStartsNothing) {
    service_->holdContentQueries(true);
    session_->prepare(kMain, settings(1920, 10));
    ASSERT_TRUE(service_->waitForContentQueries(1, kLimit));
    session_->stop();
    service_->holdContentQueries(false);
    // A later start goes through, so the earlier one has had its chance.
    prepareRunning(kMain, settings(1920, 15));
    EXPECT_EQ(service_->startCount(), 1u);
    EXPECT_EQ(service_->configuration(0).minimumFrameInterval, (MediaTime{1, 15}));
}

TEST_F(ScreenCaptureSessionTest, AnOlderStartFinishingAfterANewerPrepareIsStoppedAndTheNewerKept) {
    service_->holdStarts(true);
    session_->prepare(kMain, settings(1920, 10, 1600));
    ASSERT_TRUE(service_->waitForStarts(1, kLimit));
    session_->prepare(kMain, settings(1920, 10, 1200));
    ASSERT_TRUE(service_->waitForStarts(2, kLimit));
    service_->holdStarts(false);

    ASSERT_TRUE(service_->waitForFinishedStarts(2, kLimit));
    ASSERT_TRUE(eventually([&] { return service_->stream(0) != nullptr; }));
    EXPECT_TRUE(service_->stream(0)->waitUntilStopped(kLimit));
    ASSERT_TRUE(eventuallySubtitle("Capture active, frame en attente"));
    EXPECT_EQ(service_->stream(1)->stopCount(), 0);
    EXPECT_EQ(service_->configuration(1).width, 1200);

    // Only the newer stream's pictures are taken.
    service_->stream(0)->deliverPicture();
    EXPECT_EQ(session_->latestBuffer(kMain), std::nullopt);
    service_->stream(1)->deliverPicture();
    ASSERT_TRUE(session_->latestBuffer(kMain).has_value());
    EXPECT_EQ(session_->latestBuffer(kMain)->width, 1200);
}

TEST_F(ScreenCaptureSessionTest, AnOlderStartFailingLateLeavesTheNewerAlone) {
    service_->holdStarts(true);
    session_->prepare(kMain, settings(1920, 10, 1600));
    ASSERT_TRUE(service_->waitForStarts(1, kLimit));
    session_->stop();
    service_->failStarts("refusé");
    service_->holdStarts(false);
    ASSERT_TRUE(service_->waitForFinishedStarts(1, kLimit));
    EXPECT_EQ(subtitle(), "Capture système en attente");
}

TEST_F(ScreenCaptureSessionTest, ASessionReleasedDuringAStartStopsTheStreamItWouldHaveHad) {
    service_->holdStarts(true);
    session_->prepare(kMain, settings(1920, 10));
    ASSERT_TRUE(service_->waitForStarts(1, kLimit));
    session_.reset();
    service_->holdStarts(false);
    ASSERT_TRUE(eventually([&] { return service_->stream(0) != nullptr; }));
    EXPECT_TRUE(service_->stream(0)->waitUntilStopped(kLimit));
    // Its callbacks find nobody and do nothing.
    service_->stream(0)->deliverPicture();
    service_->stream(0)->endWith("parti");
}

TEST_F(ScreenCaptureSessionTest, ReleasingASessionStopsItsStream) {
    prepareRunning(kMain, settings(1920, 10));
    session_.reset();
    EXPECT_EQ(service_->stream(0)->stopCount(), 1);
}

// ---- samples -----------------------------------------------------------------

TEST_F(ScreenCaptureSessionTest, ASampleBecomesTheDisplaysLatestBufferWithoutACopy) {
    prepareRunning(kMain, settings(1280, 10));
    auto picture = std::make_shared<const PixelBuffer>(1280, 720);
    // The size filed is the picture's own.
    service_->stream(0)->deliver({picture, 0, 0});
    {
        const std::optional<CapturedVideoBuffer> latest = session_->latestBuffer(kMain);
        ASSERT_TRUE(latest.has_value());
        EXPECT_EQ(latest->pixelBuffer.get(), picture.get());
        EXPECT_EQ(latest->width, 1280);
        EXPECT_EQ(latest->height, 720);
    }
    EXPECT_EQ(session_->latestBuffer(kSecond), std::nullopt);

    // The next one replaces it, and only the session's reference is left of
    // the first once the caller lets go.
    auto next = std::make_shared<const PixelBuffer>(1280, 720);
    service_->stream(0)->deliver({next, 1280, 720});
    EXPECT_EQ(session_->latestBuffer(kMain)->pixelBuffer.get(), next.get());
    EXPECT_EQ(picture.use_count(), 1);
}

TEST_F(ScreenCaptureSessionTest, ASampleWithoutAPictureIsIgnored) {
    prepareRunning(kMain, settings(1920, 10));
    service_->stream(0)->deliver({nullptr, 1920, 1080});
    EXPECT_EQ(session_->latestBuffer(kMain), std::nullopt);
}

TEST_F(ScreenCaptureSessionTest, StopForgetsEveryBufferAndASampleAfterStopIsDropped) {
    prepareRunning(kMain, settings(1920, 10));
    service_->stream(0)->deliverPicture();
    ASSERT_TRUE(session_->latestBuffer(kMain).has_value());
    session_->stop();
    EXPECT_EQ(service_->stream(0)->stopCount(), 1);
    EXPECT_EQ(session_->latestBuffer(kMain), std::nullopt);
    // Already on its way when the stop was asked.
    service_->stream(0)->deliverPicture();
    EXPECT_EQ(session_->latestBuffer(kMain), std::nullopt);
    EXPECT_EQ(subtitle(), "Capture système en attente");
}

TEST_F(ScreenCaptureSessionTest, SamplesFromAnotherThreadWhileTheWorkQueueRestarts) {
    prepareRunning(kMain, settings(1920, 10));
    std::atomic<bool> isDone{false};
    // Plays the capture thread of whichever stream is the newest.
    std::thread capture([&] {
        while (!isDone.load()) {
            const std::size_t count = service_->startCount();
            if (const auto stream = service_->stream(count - 1)) {
                stream->deliverPicture();
            }
        }
    });
    for (int i = 0; i < 20; ++i) {
        session_->prepare(kMain, settings(1920, 10, 1000 + i));
        (void)session_->latestBuffer(kMain);
        (void)subtitle();
    }
    session_->stop();
    isDone = true;
    capture.join();
    EXPECT_EQ(session_->latestBuffer(kMain), std::nullopt);
}

// ---- the texts ---------------------------------------------------------------

TEST_F(ScreenCaptureSessionTest, AnIdleSessionWaitsForTheSystemCapture) {
    EXPECT_EQ(subtitle(), "Capture système en attente");
    EXPECT_EQ(subtitle(false), "Screen Recording à vérifier");
}

TEST_F(ScreenCaptureSessionTest, AStartingSessionSaysSo) {
    service_->holdStarts(true);
    session_->prepare(kMain, settings(1920, 10));
    EXPECT_EQ(subtitle(), "ScreenCaptureKit démarre");
    EXPECT_EQ(subtitle(false), "Screen Recording à vérifier");
    service_->holdStarts(false);
    ASSERT_TRUE(eventuallySubtitle("Capture active, frame en attente"));
    EXPECT_EQ(subtitle(false), "Screen Recording à vérifier");
}

TEST_F(ScreenCaptureSessionTest, AFailedContentQueryIsReportedWithItsPrefix) {
    service_->failContentQueries("pas de serveur X");
    session_->prepare(kMain, settings(1920, 10));
    ASSERT_TRUE(eventuallySubtitle("ScreenCaptureKit: pas de serveur X"));
    // The error comes before the grant.
    EXPECT_EQ(subtitle(false), "ScreenCaptureKit: pas de serveur X");
    EXPECT_EQ(service_->startCount(), 0u);
}

TEST_F(ScreenCaptureSessionTest, ADisplayMissingFromTheContentIsNotFound) {
    service_->setContent({{kSecond}, {}});
    session_->prepare(kMain, settings(1920, 10));
    ASSERT_TRUE(eventuallySubtitle("Display introuvable pour ScreenCaptureKit"));
    EXPECT_EQ(service_->startCount(), 0u);
}

TEST_F(ScreenCaptureSessionTest, AFailedStartIsReportedAndTheSameValuesDoNotRetry) {
    service_->failStarts("format refusé");
    session_->prepare(kMain, settings(1920, 10));
    ASSERT_TRUE(service_->waitForFinishedStarts(1, kLimit));
    ASSERT_TRUE(eventuallySubtitle("ScreenCaptureKit: format refusé"));
    session_->prepare(kMain, settings(1920, 10));
    session_->prepare(kMain, settings(1920, 10));
    EXPECT_EQ(service_->startCount(), 1u);

    // A stop keeps the text; the next restart clears it.
    session_->stop();
    EXPECT_EQ(subtitle(), "ScreenCaptureKit: format refusé");
    service_->failStarts(std::nullopt);
    service_->holdStarts(true);
    session_->prepare(kMain, settings(1920, 10));
    EXPECT_EQ(subtitle(), "ScreenCaptureKit démarre");
    service_->holdStarts(false);
    ASSERT_TRUE(eventuallySubtitle("Capture active, frame en attente"));
}

TEST_F(ScreenCaptureSessionTest, AStreamThatStopsWithAnErrorKeepsItsLastPictureAndItsText) {
    prepareRunning(kMain, settings(1920, 10));
    service_->stream(0)->deliverPicture();
    service_->stream(0)->endWith("serveur X perdu");
    EXPECT_EQ(subtitle(), "Capture arrêtée: serveur X perdu");
    EXPECT_TRUE(session_->latestBuffer(kMain).has_value());
    // Unchanged values do not restart it.
    session_->prepare(kMain, settings(1920, 10));
    EXPECT_EQ(service_->startCount(), 1u);
    EXPECT_EQ(subtitle(), "Capture arrêtée: serveur X perdu");

    session_->stop();
    service_->holdStarts(true);
    session_->prepare(kMain, settings(1920, 10));
    EXPECT_EQ(subtitle(), "ScreenCaptureKit démarre");
    service_->holdStarts(false);
    ASSERT_TRUE(eventuallySubtitle("Capture active, frame en attente"));
}

TEST_F(ScreenCaptureSessionTest, AStreamThatEndsBeforeItsStartReturnsIsNotAdopted) {
    service_->endStreamsAtStart("écran retiré");
    session_->prepare(kMain, settings(1920, 10));
    ASSERT_TRUE(service_->waitForFinishedStarts(1, kLimit));
    ASSERT_TRUE(eventuallySubtitle("Capture arrêtée: écran retiré"));
    ASSERT_TRUE(eventually([&] { return service_->stream(0)->stopCount() == 1; }));
    EXPECT_EQ(subtitle(), "Capture arrêtée: écran retiré");
}

TEST_F(ScreenCaptureSessionTest, AnEndReportedByAReplacedStreamIsIgnored) {
    prepareRunning(kMain, settings(1920, 10));
    prepareRunning(kSecond, settings(1920, 10));
    service_->stream(0)->endWith("trop tard");
    EXPECT_EQ(subtitle(), "Capture active, frame en attente");
}

TEST_F(ScreenCaptureSessionTest, StopWithoutAStreamIsHarmless) {
    session_->stop();
    session_->stop();
    EXPECT_EQ(subtitle(), "Capture système en attente");
    EXPECT_EQ(session_->latestBuffer(kMain), std::nullopt);
    EXPECT_EQ(generation(), 2);
    EXPECT_EQ(service_->startCount(), 0u);
}

} // namespace
} // namespace quorvi
