#include "capture/ScreenCaptureSession.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <limits>
#include <system_error>
#include <thread>
#include <utility>

namespace quorvi {

namespace {

constexpr const char* kStartFailurePrefix = "ScreenCaptureKit: ";
constexpr const char* kStreamStoppedPrefix = "Capture arrêtée: ";
constexpr const char* kDisplayNotFound = "Display introuvable pour ScreenCaptureKit";
constexpr const char* kGrantToCheck = "Screen Recording à vérifier";
constexpr const char* kStarting = "ScreenCaptureKit démarre";
constexpr const char* kWaitingForFrame = "Capture active, frame en attente";
constexpr const char* kWaitingForCapture = "Capture système en attente";

std::int64_t atLeastTwo(std::size_t pixels) {
    constexpr auto kLargest = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
    return std::max<std::int64_t>(static_cast<std::int64_t>(std::min(pixels, kLargest)), 2);
}

} // namespace

ScreenCaptureSession::ScreenCaptureSession(std::shared_ptr<CaptureService> captureService,
                                           std::shared_ptr<DisplayServices> displayServices)
    : captureService_(std::move(captureService)), displayServices_(std::move(displayServices)) {}

// Whatever still runs is asked to stop; nothing waits, and the callbacks that
// arrive meanwhile find the session gone.
ScreenCaptureSession::~ScreenCaptureSession() {
    std::shared_ptr<CaptureStream> running;
    {
        std::lock_guard guard(stateLock);
        running = std::move(stream);
    }
    if (running) {
        running->stop({});
    }
}

CaptureOutputSize ScreenCaptureSession::outputSize(std::size_t pixelsWide, std::size_t pixelsHigh,
                                                   const StreamEncodingSettings& settings) {
    const std::int64_t displayWidth = atLeastTwo(pixelsWide);
    const std::int64_t displayHeight = atLeastTwo(pixelsHigh);
    std::int64_t width = std::min(settings.maxWidth, displayWidth);
    if (settings.targetWidth) {
        width = std::min(width, *settings.targetWidth);
    }
    const double height =
        std::round(static_cast<double>(displayHeight) / static_cast<double>(displayWidth) *
                   static_cast<double>(width));
    const auto even = [](std::int64_t side) { return std::max<std::int64_t>(side & ~1, 2); };
    return {even(width), even(static_cast<std::int64_t>(height))};
}

void ScreenCaptureSession::prepare(DisplayID displayID, const StreamEncodingSettings& settings) {
    const CaptureOutputSize size = outputSize(displayServices_->pixelsWide(displayID),
                                              displayServices_->pixelsHigh(displayID), settings);
    {
        std::lock_guard guard(stateLock);
        // The path of almost every tick: the running (or starting) stream fits.
        if (activeDisplayID == displayID && activeWidth == size.width &&
            activeHeight == size.height && activeFPS == settings.fps) {
            return;
        }
    }
    stop();
    StartRequest request{displayID, size, settings.fps, 0};
    {
        std::lock_guard guard(stateLock);
        request.generation = ++streamGeneration;
        activeDisplayID = displayID;
        activeWidth = size.width;
        activeHeight = size.height;
        activeFPS = settings.fps;
        lastErrorSummary.reset();
        isStarting = true;
    }
    {
        std::lock_guard guard(lock);
        acceptedGeneration = request.generation;
    }
    launchStart(request);
}

void ScreenCaptureSession::stop() {
    std::shared_ptr<CaptureStream> stopping;
    {
        std::lock_guard guard(stateLock);
        ++streamGeneration;
        isStarting = false;
        stopping = std::move(stream);
        activeDisplayID.reset();
        activeWidth.reset();
        activeHeight.reset();
        activeFPS.reset();
    }
    if (stopping) {
        // How the stop ends does not matter: nothing waits for it.
        stopping->stop({});
    }
    // Emptied outside the lock: releasing a picture gives its memory back to
    // the stream's pool, which takes a lock of its own.
    std::map<DisplayID, CapturedVideoBuffer> forgotten;
    {
        std::lock_guard guard(lock);
        forgotten.swap(latestBuffers);
        acceptedGeneration = 0;
    }
}

std::string ScreenCaptureSession::diagnosticSubtitle(bool screenRecordingGranted) const {
    std::lock_guard guard(stateLock);
    if (lastErrorSummary) {
        return *lastErrorSummary;
    }
    if (!screenRecordingGranted) {
        return kGrantToCheck;
    }
    if (isStarting) {
        return kStarting;
    }
    if (stream) {
        return kWaitingForFrame;
    }
    return kWaitingForCapture;
}

std::optional<CapturedVideoBuffer> ScreenCaptureSession::latestBuffer(DisplayID displayID) const {
    std::lock_guard guard(lock);
    const auto found = latestBuffers.find(displayID);
    if (found == latestBuffers.end()) {
        return std::nullopt;
    }
    return found->second;
}

bool ScreenCaptureSession::isCurrentLocked(std::int64_t generation, DisplayID displayID) const {
    return streamGeneration == generation && activeDisplayID == displayID;
}

// A thread per start: starts are rare (a change of display, size or rate),
// and each may block for long in the capture service. The thread holds the
// session only weakly, and strongly only while it updates the state.
void ScreenCaptureSession::launchStart(const StartRequest& request) {
    std::weak_ptr<ScreenCaptureSession> weakSelf = weak_from_this();
    try {
        std::thread([weakSelf, service = captureService_, request] {
            start(weakSelf, service, request);
        }).detach();
    } catch (const std::system_error& error) {
        failStart(request.generation, request.displayID,
                  kStartFailurePrefix + std::string(error.what()));
    }
}

void ScreenCaptureSession::start(const std::weak_ptr<ScreenCaptureSession>& weakSelf,
                                 const std::shared_ptr<CaptureService>& service,
                                 const StartRequest& request) {
    if (weakSelf.expired()) {
        return;
    }
    const ShareableContentResult content = service->shareableContent();
    if (!content.content) {
        if (const auto self = weakSelf.lock()) {
            self->failStart(request.generation, request.displayID,
                            kStartFailurePrefix + content.errorDescription);
        }
        return;
    }
    {
        const auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        std::lock_guard guard(self->stateLock);
        if (!self->isCurrentLocked(request.generation, request.displayID)) {
            return;
        }
        const std::vector<DisplayID>& displays = content.content->displayIDs;
        if (std::find(displays.begin(), displays.end(), request.displayID) == displays.end()) {
            self->lastErrorSummary = kDisplayNotFound;
            self->isStarting = false;
            return;
        }
    }

    const CaptureStartResult started =
        service->start(configuration(request, *content.content), output(weakSelf, request));
    if (!started.stream) {
        if (const auto self = weakSelf.lock()) {
            self->failStart(request.generation, request.displayID,
                            kStartFailurePrefix + started.errorDescription);
        }
        return;
    }

    bool isAdopted = false;
    if (const auto self = weakSelf.lock()) {
        std::lock_guard guard(self->stateLock);
        if (self->isCurrentLocked(request.generation, request.displayID)) {
            self->isStarting = false;
            // A stream that already reported its end keeps its error text
            // and is not adopted.
            if (self->endedGeneration != request.generation) {
                self->lastErrorSummary.reset();
                self->stream = started.stream;
                isAdopted = true;
            }
        }
    }
    if (isAdopted) {
        return;
    }
    // Too late: a newer prepare() or a stop() came meanwhile. This thread is
    // the only one that knows the stream, so it waits for it to end.
    auto stopped = std::make_shared<std::promise<void>>();
    std::future<void> hasStopped = stopped->get_future();
    started.stream->stop([stopped] { stopped->set_value(); });
    hasStopped.wait();
}

CaptureStreamConfiguration ScreenCaptureSession::configuration(const StartRequest& request,
                                                               const ShareableContent& content) {
    CaptureStreamConfiguration configuration;
    configuration.displayID = request.displayID;
    for (const ShareableWindow& window : content.windows) {
        if (window.owningApplication && window.owningApplication->isThisApplication) {
            configuration.excludedWindowIDs.push_back(window.windowID);
        }
    }
    configuration.width = request.size.width;
    configuration.height = request.size.height;
    const std::int64_t rate =
        std::clamp<std::int64_t>(request.fps, 1, std::numeric_limits<std::int32_t>::max());
    configuration.minimumFrameInterval = {1, static_cast<std::int32_t>(rate)};
    configuration.queueDepth = request.fps <= 29 ? 3 : 2;
    configuration.showsCursor = true;
    return configuration;
}

CaptureStreamOutput
ScreenCaptureSession::output(const std::weak_ptr<ScreenCaptureSession>& weakSelf,
                             const StartRequest& request) {
    CaptureStreamOutput output;
    output.didOutputSample = [weakSelf, generation = request.generation,
                              displayID = request.displayID](CapturedVideoBuffer buffer) {
        if (const auto self = weakSelf.lock()) {
            self->deliver(generation, displayID, std::move(buffer));
        }
    };
    output.didStopWithError = [weakSelf,
                               generation = request.generation](const std::string& description) {
        if (const auto self = weakSelf.lock()) {
            self->streamDidStop(generation, description);
        }
    };
    return output;
}

// The failure of a start that is no longer wanted is dropped: its text would
// describe a stream nobody asked for any more.
void ScreenCaptureSession::failStart(std::int64_t generation, DisplayID displayID,
                                     std::string text) {
    std::shared_ptr<CaptureStream> dropped;
    std::lock_guard guard(stateLock);
    if (!isCurrentLocked(generation, displayID)) {
        return;
    }
    lastErrorSummary = std::move(text);
    isStarting = false;
    dropped = std::move(stream);
}

void ScreenCaptureSession::deliver(std::int64_t generation, DisplayID displayID,
                                   CapturedVideoBuffer buffer) {
    if (!buffer.pixelBuffer) {
        return;
    }
    buffer.width = buffer.pixelBuffer->width();
    buffer.height = buffer.pixelBuffer->height();
    CapturedVideoBuffer replaced;
    {
        std::lock_guard guard(lock);
        if (generation == 0 || generation != acceptedGeneration) {
            return;
        }
        CapturedVideoBuffer& entry = latestBuffers[displayID];
        replaced = std::move(entry);
        entry = std::move(buffer);
    }
}

void ScreenCaptureSession::streamDidStop(std::int64_t generation, const std::string& description) {
    std::shared_ptr<CaptureStream> ended;
    {
        std::lock_guard guard(stateLock);
        if (generation != streamGeneration) {
            return;
        }
        lastErrorSummary = kStreamStoppedPrefix + description;
        isStarting = false;
        endedGeneration = generation;
        ended = std::move(stream);
    }
}

} // namespace quorvi
