#include "platform/linux/CaptureStreamLoop.h"

#include "platform/SendTickPhase.h"
#include "platform/linux/PixelConversion.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <system_error>
#include <utility>

namespace quorvi {

namespace {

constexpr const char* kBadSize = "taille de sortie invalide";

// Far beyond any screen; keeps the pool's allocations sane whatever is asked.
constexpr std::int64_t kLargestSide = 16384;
constexpr int kLargestQueueDepth = 8;
// A period this short would only spin.
constexpr std::chrono::nanoseconds kShortestInterval = std::chrono::milliseconds(1);

// Turns what the grabber keeps (the canvas) into the stream's pictures.
// Only what changed is grabbed again, and only the matching part of the
// buffer being filled is scaled again; a tick where nothing changed grabs
// nothing and delivers the last picture again.
//
// Thread: the stream's capture thread.
class PictureMaker {
public:
    PictureMaker(const CaptureStreamConfiguration& configuration,
                 std::unique_ptr<ScreenGrabber> grabber)
        : grabber_(std::move(grabber)),
          pool_(PixelBufferPool::make(configuration.width, configuration.height,
                                      std::clamp(configuration.queueDepth, 1, kLargestQueueDepth))),
          tracker_(grabber_->canvasWidth(), grabber_->canvasHeight(),
                   static_cast<int>(configuration.width), static_cast<int>(configuration.height)) {}

    // The picture of this tick (the last one again when nothing changed), or
    // null when this tick has none to give (a failed grab, every buffer
    // still in use). Sets endReason when the stream cannot go on, and
    // capturedAt to the moment the screen was known to look like it.
    std::shared_ptr<const PixelBuffer> capture(std::optional<std::string>& endReason,
                                               std::chrono::steady_clock::time_point& capturedAt) {
        ScreenNews news = grabber_->news(endReason);
        if (endReason) {
            return nullptr;
        }
        if (news.isNewCanvas) {
            tracker_.resize(grabber_->canvasWidth(), grabber_->canvasHeight());
        }
        // A grab that failed last tick is owed still: its damage was taken.
        news.damage.add(unfinishedGrab_);
        unfinishedGrab_ = {};
        const ChangedRegion grab = tracker_.toGrab(news.damage, news.pointer);
        if (grab.isEmpty()) {
            capturedAt = std::chrono::steady_clock::now();
            if (lastShared_ && lastShared_->stamp() == tracker_.history().latest()) {
                return lastShared_;
            }
            // The last change never reached a buffer (none was free).
            return fillBuffer();
        }
        const bool isGrabbed = grabber_->grab(grab, endReason);
        capturedAt = std::chrono::steady_clock::now();
        if (!isGrabbed) {
            unfinishedGrab_ = grab;
            return nullptr;
        }
        tracker_.grabbed(grab, news.pointer);
        return fillBuffer();
    }

private:
    // Fills a free buffer from the canvas, redoing only what changed since
    // that buffer was last filled.
    std::shared_ptr<const PixelBuffer> fillBuffer() {
        std::unique_ptr<PixelBuffer> buffer = pool_->take();
        if (!buffer) {
            return nullptr;
        }
        if (!scaleBgra(grabber_->canvas(), grabber_->canvasBytesPerRow(), grabber_->canvasWidth(),
                       grabber_->canvasHeight(), *buffer,
                       tracker_.history().changedSince(buffer->stamp()))) {
            pool_->putBack(std::move(buffer));
            return nullptr;
        }
        buffer->setHistory(tracker_.history());
        lastShared_ = pool_->share(std::move(buffer));
        return lastShared_;
    }

    std::unique_ptr<ScreenGrabber> grabber_;
    std::shared_ptr<PixelBufferPool> pool_;
    ScreenChangeTracker tracker_;
    ChangedRegion unfinishedGrab_;
    std::shared_ptr<const PixelBuffer> lastShared_;
};

std::chrono::nanoseconds frameInterval(const MediaTime& interval) {
    const std::int64_t timescale = std::max<std::int32_t>(interval.timescale, 1);
    const std::int64_t value = std::clamp<std::int64_t>(interval.value, 1, 3600);
    return std::max(std::chrono::nanoseconds(value * 1'000'000'000 / timescale), kShortestInterval);
}

} // namespace

struct CaptureStreamRunner::StreamState {
    std::mutex mutex;
    std::condition_variable wake;
    bool isStopRequested = false;
    bool isFinished = false;
    std::vector<std::function<void()>> completions;
};

namespace {

using StreamState = CaptureStreamRunner::StreamState;

// The capture thread: grab, deliver, then sleep until the next deadline.
// Deadlines are absolute (start + n intervals); a grab that overruns skips
// the ticks it missed instead of bunching up pictures to catch up.
void runCapture(const std::shared_ptr<StreamState>& state, std::unique_ptr<PictureMaker> maker,
                std::chrono::nanoseconds interval, const CaptureStreamOutput& output) {
    auto deadline = std::chrono::steady_clock::now();
    std::chrono::nanoseconds slowestGrab{0};
    std::optional<std::string> endReason;
    for (;;) {
        {
            std::lock_guard guard(state->mutex);
            if (state->isStopRequested) {
                break;
            }
        }
        const auto grabStarted = std::chrono::steady_clock::now();
        std::chrono::steady_clock::time_point capturedAt{};
        std::shared_ptr<const PixelBuffer> picture = maker->capture(endReason, capturedAt);
        if (endReason) {
            break;
        }
        if (picture) {
            const std::int64_t width = picture->width();
            const std::int64_t height = picture->height();
            output.didOutputSample({std::move(picture), width, height, capturedAt});
        }
        deadline += interval;
        const auto now = std::chrono::steady_clock::now();
        if (deadline < now) {
            deadline += ((now - deadline) / interval + 1) * interval;
        }
        // When the send loop ticks at this rate, grab just before its next
        // tick (by what the last grab took, plus a margin), so the frame it
        // sends is fresh rather than up to one interval old.
        // A still screen makes ticks that take next to nothing: the lead
        // follows the slowest recent grab, decaying slowly, so that the
        // first change after a quiet spell is still ready in time.
        slowestGrab = std::max<std::chrono::nanoseconds>(now - grabStarted, slowestGrab * 15 / 16);
        const auto lead = std::clamp<std::chrono::nanoseconds>(
            slowestGrab + std::chrono::milliseconds(3), std::chrono::milliseconds(2), interval / 2);
        if (auto tick = SendTickPhase::nextTickAfter(now + lead, interval)) {
            deadline = *tick - lead;
        }
        std::unique_lock guard(state->mutex);
        if (state->wake.wait_until(guard, deadline, [&] { return state->isStopRequested; })) {
            break;
        }
    }
    // The desktop's connection closes before anyone hears that the stream
    // ended.
    maker.reset();
    bool isStopRequested = false;
    {
        std::lock_guard guard(state->mutex);
        isStopRequested = state->isStopRequested;
    }
    if (endReason && !isStopRequested && output.didStopWithError) {
        output.didStopWithError(*endReason);
    }
    std::vector<std::function<void()>> completions;
    {
        std::lock_guard guard(state->mutex);
        state->isFinished = true;
        completions.swap(state->completions);
    }
    for (const auto& completion : completions) {
        completion();
    }
}

void requestStop(StreamState& state, std::function<void()> completion) {
    bool isFinished = false;
    {
        std::lock_guard guard(state.mutex);
        state.isStopRequested = true;
        isFinished = state.isFinished;
        if (!isFinished && completion) {
            state.completions.push_back(std::move(completion));
        }
    }
    state.wake.notify_all();
    if (isFinished && completion) {
        completion();
    }
}

// The handle the session holds. Letting go of it stops the stream too.
//
// Thread: any.
class RunningCaptureStream final : public CaptureStream {
public:
    explicit RunningCaptureStream(std::shared_ptr<StreamState> state) : state_(std::move(state)) {}
    ~RunningCaptureStream() override { requestStop(*state_, {}); }

    void stop(std::function<void()> completion) override {
        requestStop(*state_, std::move(completion));
    }

private:
    std::shared_ptr<StreamState> state_;
};

} // namespace

CaptureStreamRunner::~CaptureStreamRunner() {
    std::vector<Running> running;
    {
        std::lock_guard guard(mutex_);
        running.swap(running_);
    }
    for (Running& stream : running) {
        requestStop(*stream.state, {});
    }
    for (Running& stream : running) {
        // The last reference can go on a capture thread (a session
        // released from a callback): that thread finishes by itself.
        if (stream.thread.get_id() == std::this_thread::get_id()) {
            stream.thread.detach();
        } else {
            stream.thread.join();
        }
    }
}

CaptureStartResult CaptureStreamRunner::start(const CaptureStreamConfiguration& configuration,
                                              std::unique_ptr<ScreenGrabber> grabber,
                                              CaptureStreamOutput output) {
    const std::int64_t width = configuration.width;
    const std::int64_t height = configuration.height;
    if (width < 1 || height < 1 || width > kLargestSide || height > kLargestSide) {
        return {nullptr, kBadSize};
    }
    std::string error;
    if (!grabber->open(error)) {
        return {nullptr, error};
    }
    auto maker = std::make_unique<PictureMaker>(configuration, std::move(grabber));
    auto state = std::make_shared<StreamState>();
    std::thread thread;
    try {
        thread = std::thread([state, maker = std::move(maker),
                              interval = frameInterval(configuration.minimumFrameInterval),
                              output = std::move(output)]() mutable {
            runCapture(state, std::move(maker), interval, output);
        });
    } catch (const std::system_error& failure) {
        return {nullptr, failure.what()};
    }
    std::vector<Running> finished;
    {
        std::lock_guard guard(mutex_);
        // Threads of streams that ended are joined here, so they do not
        // pile up over a long session.
        auto isFinished = [](const Running& stream) {
            std::lock_guard stateGuard(stream.state->mutex);
            return stream.state->isFinished;
        };
        for (auto it = running_.begin(); it != running_.end();) {
            if (isFinished(*it)) {
                finished.push_back(std::move(*it));
                it = running_.erase(it);
            } else {
                ++it;
            }
        }
        running_.push_back({state, std::move(thread)});
    }
    for (Running& stream : finished) {
        stream.thread.join();
    }
    return {std::make_shared<RunningCaptureStream>(state), {}};
}

} // namespace quorvi
