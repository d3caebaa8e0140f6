#include "fakes/ScriptedCaptureService.h"

#include <utility>

namespace quorvi::fakes {

ScriptedCaptureStream::ScriptedCaptureStream(CaptureStreamConfiguration configuration,
                                             CaptureStreamOutput output)
    : configuration_(std::move(configuration)), output_(std::move(output)) {}

void ScriptedCaptureStream::stop(std::function<void()> completion) {
    {
        std::lock_guard guard(mutex_);
        ++stopCount_;
    }
    changed_.notify_all();
    if (completion) {
        completion();
    }
}

void ScriptedCaptureStream::deliver(CapturedVideoBuffer buffer) {
    output_.didOutputSample(std::move(buffer));
}

void ScriptedCaptureStream::deliverPicture() {
    auto picture = std::make_shared<const PixelBuffer>(configuration_.width, configuration_.height);
    deliver({picture, configuration_.width, configuration_.height});
}

void ScriptedCaptureStream::endWith(const std::string& description) {
    output_.didStopWithError(description);
}

int ScriptedCaptureStream::stopCount() const {
    std::lock_guard guard(mutex_);
    return stopCount_;
}

bool ScriptedCaptureStream::waitUntilStopped(std::chrono::milliseconds limit) const {
    std::unique_lock guard(mutex_);
    return changed_.wait_for(guard, limit, [this] { return stopCount_ > 0; });
}

void ScriptedCaptureService::setContent(ShareableContent content) {
    std::lock_guard guard(mutex_);
    content_ = std::move(content);
}

void ScriptedCaptureService::failContentQueries(std::optional<std::string> description) {
    std::lock_guard guard(mutex_);
    contentFailure_ = std::move(description);
}

void ScriptedCaptureService::failStarts(std::optional<std::string> description) {
    std::lock_guard guard(mutex_);
    startFailure_ = std::move(description);
}

void ScriptedCaptureService::endStreamsAtStart(std::optional<std::string> description) {
    std::lock_guard guard(mutex_);
    endAtStart_ = std::move(description);
}

void ScriptedCaptureService::holdContentQueries(bool isHeld) {
    {
        std::lock_guard guard(mutex_);
        isContentHeld_ = isHeld;
    }
    changed_.notify_all();
}

void ScriptedCaptureService::holdStarts(bool isHeld) {
    {
        std::lock_guard guard(mutex_);
        isStartHeld_ = isHeld;
    }
    changed_.notify_all();
}

ShareableContentResult ScriptedCaptureService::shareableContent() {
    std::unique_lock guard(mutex_);
    ++contentQueries_;
    changed_.notify_all();
    changed_.wait(guard, [this] { return !isContentHeld_; });
    if (contentFailure_) {
        return {std::nullopt, *contentFailure_};
    }
    return {content_, {}};
}

CaptureStartResult ScriptedCaptureService::start(const CaptureStreamConfiguration& configuration,
                                                 CaptureStreamOutput output) {
    std::unique_lock guard(mutex_);
    const std::size_t index = starts_.size();
    starts_.push_back({configuration, nullptr});
    changed_.notify_all();
    changed_.wait(guard, [this] { return !isStartHeld_; });
    CaptureStartResult result;
    std::shared_ptr<ScriptedCaptureStream> stream;
    if (startFailure_) {
        result.errorDescription = *startFailure_;
    } else {
        stream = std::make_shared<ScriptedCaptureStream>(configuration, std::move(output));
        starts_[index].stream = stream;
        result.stream = stream;
    }
    const std::optional<std::string> endAtStart = endAtStart_;
    guard.unlock();
    if (stream && endAtStart) {
        stream->endWith(*endAtStart);
    }
    guard.lock();
    ++finishedStarts_;
    changed_.notify_all();
    return result;
}

int ScriptedCaptureService::contentQueries() const {
    std::lock_guard guard(mutex_);
    return contentQueries_;
}

std::size_t ScriptedCaptureService::startCount() const {
    std::lock_guard guard(mutex_);
    return starts_.size();
}

CaptureStreamConfiguration ScriptedCaptureService::configuration(std::size_t index) const {
    std::lock_guard guard(mutex_);
    return index < starts_.size() ? starts_[index].configuration : CaptureStreamConfiguration{};
}

std::shared_ptr<ScriptedCaptureStream> ScriptedCaptureService::stream(std::size_t index) const {
    std::lock_guard guard(mutex_);
    return index < starts_.size() ? starts_[index].stream : nullptr;
}

std::size_t ScriptedCaptureService::finishedStarts() const {
    std::lock_guard guard(mutex_);
    return finishedStarts_;
}

bool ScriptedCaptureService::waitForContentQueries(int count,
                                                   std::chrono::milliseconds limit) const {
    std::unique_lock guard(mutex_);
    return changed_.wait_for(guard, limit, [&] { return contentQueries_ >= count; });
}

bool ScriptedCaptureService::waitForStarts(std::size_t count,
                                           std::chrono::milliseconds limit) const {
    std::unique_lock guard(mutex_);
    return changed_.wait_for(guard, limit, [&] { return starts_.size() >= count; });
}

bool ScriptedCaptureService::waitForFinishedStarts(std::size_t count,
                                                   std::chrono::milliseconds limit) const {
    std::unique_lock guard(mutex_);
    return changed_.wait_for(guard, limit, [&] { return finishedStarts_ >= count; });
}

} // namespace quorvi::fakes
