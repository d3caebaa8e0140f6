#pragma once

#include "capture/CompressionSession.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace quorvi::fakes {

// Length-prefixed units, each after its 4-byte big-endian length.
inline std::vector<std::uint8_t>
lengthPrefixed(const std::vector<std::vector<std::uint8_t>>& units) {
    std::vector<std::uint8_t> bytes;
    for (const auto& unit : units) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<std::uint8_t>(unit.size() >> shift));
        }
        bytes.insert(bytes.end(), unit.begin(), unit.end());
    }
    return bytes;
}

// A compression session factory, outliving its sessions, that records every
// submission and answers it, once its frames are completed, through a
// scripted responder (none by default: the encoder then runs into its
// time-out). Thread: any; the responder runs on the thread that calls
// completeFrames, without the lock, and may hand the output to another.
class FakeCompressionSessionFactory final : public CompressionSessionFactory {
public:
    struct Submission {
        // The session (numbered from 0 as they are made), its size and the
        // properties last set on it.
        std::size_t session = 0;
        std::int32_t width = 0;
        std::int32_t height = 0;
        CompressionProperties properties;
        MediaTime presentationTime;
        SubmissionTag tag = 0;
        bool forceKeyFrame = false;
    };
    using Responder = std::function<void(const Submission&, const CompressionOutputHandler&)>;

    void setCreationFails(VideoCodec codec, bool fails) {
        std::lock_guard lock(mutex_);
        fails ? (void)failingCodecs_.insert(codec) : (void)failingCodecs_.erase(codec);
    }
    void setResponder(Responder responder) {
        std::lock_guard lock(mutex_);
        responder_ = std::move(responder);
    }
    std::vector<Submission> submissions() const {
        std::lock_guard lock(mutex_);
        return submissions_;
    }
    std::vector<std::size_t> invalidations() const {
        std::lock_guard lock(mutex_);
        return invalidations_;
    }

    std::unique_ptr<CompressionSession> create(std::int32_t width, std::int32_t height,
                                               VideoCodec codec, const CompressionProperties& made,
                                               CompressionOutputHandler output) override {
        std::lock_guard lock(mutex_);
        if (failingCodecs_.count(codec) > 0) {
            return nullptr;
        }
        return std::make_unique<Session>(
            *this, Submission{sessions_++, width, height, made, {}, 0, false}, std::move(output));
    }

private:
    class Session final : public CompressionSession {
    public:
        Session(FakeCompressionSessionFactory& factory, Submission made,
                CompressionOutputHandler output)
            : factory_(factory), made_(std::move(made)), output_(std::move(output)) {}

        void setProperties(const CompressionProperties& properties) override {
            std::lock_guard lock(factory_.mutex_);
            made_.properties = properties;
        }
        void prepareToEncodeFrames() override {}
        bool encodeFrame(const std::shared_ptr<const PixelBuffer>&, MediaTime time,
                         SubmissionTag tag, bool forceKeyFrame) override {
            std::lock_guard lock(factory_.mutex_);
            pending_ = made_;
            pending_->presentationTime = time;
            pending_->tag = tag;
            pending_->forceKeyFrame = forceKeyFrame;
            factory_.submissions_.push_back(*pending_);
            return true;
        }
        // Answers the pending submission when asked for its time.
        void completeFrames(MediaTime upTo) override {
            std::unique_lock lock(factory_.mutex_);
            const Responder responder = factory_.responder_;
            const auto due = std::exchange(pending_, std::nullopt);
            lock.unlock();
            if (responder && due && due->presentationTime == upTo) {
                responder(*due, output_);
            }
        }
        void invalidate() override {
            std::lock_guard lock(factory_.mutex_);
            factory_.invalidations_.push_back(made_.session);
        }

    private:
        FakeCompressionSessionFactory& factory_;
        Submission made_;
        CompressionOutputHandler output_;
        std::optional<Submission> pending_;
    };

    mutable std::mutex mutex_;
    std::set<VideoCodec> failingCodecs_;
    Responder responder_;
    std::size_t sessions_ = 0;
    std::vector<Submission> submissions_;
    std::vector<std::size_t> invalidations_;
};

} // namespace quorvi::fakes
