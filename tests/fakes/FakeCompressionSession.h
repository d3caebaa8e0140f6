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

// A compressed sample that owns its bytes, for scripting a session's output.
struct ScriptedSample {
    std::vector<std::uint8_t> data;
    // The sample has no data buffer at all / its bytes cannot be read.
    bool hasDataBuffer = true;
    bool readable = true;
    NalFraming framing = NalFraming::lengthPrefixed;
    std::optional<FormatDescription> formatDescription;
    std::optional<std::vector<SampleAttachments>> attachments;

    // The borrowed view a real session hands over; valid while this lives.
    CompressedSample view() const {
        CompressedSample sample;
        if (hasDataBuffer) {
            sample.dataBuffer =
                readable ? std::span<const std::uint8_t>(data) : std::span<const std::uint8_t>();
        }
        sample.framing = framing;
        sample.formatDescription = formatDescription ? &*formatDescription : nullptr;
        if (attachments) {
            sample.attachments = std::span<const SampleAttachments>(*attachments);
        }
        return sample;
    }
};

// Length-prefixed units, each after its 4-byte big-endian length.
inline std::vector<std::uint8_t>
lengthPrefixed(const std::vector<std::vector<std::uint8_t>>& units) {
    std::vector<std::uint8_t> bytes;
    for (const auto& unit : units) {
        const auto size = static_cast<std::uint32_t>(unit.size());
        bytes.push_back(static_cast<std::uint8_t>(size >> 24));
        bytes.push_back(static_cast<std::uint8_t>(size >> 16));
        bytes.push_back(static_cast<std::uint8_t>(size >> 8));
        bytes.push_back(static_cast<std::uint8_t>(size));
        bytes.insert(bytes.end(), unit.begin(), unit.end());
    }
    return bytes;
}

// A compression session factory whose sessions record what they are asked
// and answer each completed picture through a scripted responder. By
// default every codec can be created and the responder answers nothing (the
// encoder then runs into its time-out).
//
// Thread: any; a mutex guards the script and the record. The responder runs
// on the thread that calls completeFrames, without the mutex held; it may
// call the output handler there or hand it to a thread of its own.
class FakeCompressionSessionFactory final : public CompressionSessionFactory {
public:
    struct Creation {
        std::int32_t width = 0;
        std::int32_t height = 0;
        VideoCodec codec = VideoCodec::h264;
        CompressionProperties properties;
        bool succeeded = false;
    };

    struct Submission {
        // Which creation (index into creations()) made the session.
        std::size_t session = 0;
        std::int64_t pictureWidth = 0;
        std::int64_t pictureHeight = 0;
        MediaTime presentationTime;
        SubmissionTag tag = 0;
        bool forceKeyFrame = false;
    };

    using Responder =
        std::function<void(const Submission& submission, const CompressionOutputHandler& output)>;

    void setCreationFails(VideoCodec codec, bool fails) {
        std::lock_guard lock(state_->mutex);
        if (fails) {
            state_->failingCodecs.insert(codec);
        } else {
            state_->failingCodecs.erase(codec);
        }
    }
    void setSubmissionFails(bool fails) {
        std::lock_guard lock(state_->mutex);
        state_->submissionFails = fails;
    }
    void setResponder(Responder responder) {
        std::lock_guard lock(state_->mutex);
        state_->responder = std::move(responder);
    }

    std::vector<Creation> creations() const {
        std::lock_guard lock(state_->mutex);
        return state_->creations;
    }
    std::vector<CompressionProperties> appliedProperties() const {
        std::lock_guard lock(state_->mutex);
        return state_->applied;
    }
    std::vector<Submission> submissions() const {
        std::lock_guard lock(state_->mutex);
        return state_->submissions;
    }
    std::vector<MediaTime> completions() const {
        std::lock_guard lock(state_->mutex);
        return state_->completions;
    }
    int prepareCalls() const {
        std::lock_guard lock(state_->mutex);
        return state_->prepareCalls;
    }
    // Sessions invalidated, by creation index.
    std::vector<std::size_t> invalidations() const {
        std::lock_guard lock(state_->mutex);
        return state_->invalidations;
    }

    std::unique_ptr<CompressionSession> create(std::int32_t width, std::int32_t height,
                                               VideoCodec codec,
                                               const CompressionProperties& properties,
                                               CompressionOutputHandler output) override {
        std::lock_guard lock(state_->mutex);
        const bool fails = state_->failingCodecs.count(codec) > 0;
        state_->creations.push_back({width, height, codec, properties, !fails});
        if (fails) {
            return nullptr;
        }
        return std::make_unique<Session>(state_, state_->creations.size() - 1, std::move(output));
    }

private:
    struct State {
        std::mutex mutex;
        std::set<VideoCodec> failingCodecs;
        bool submissionFails = false;
        Responder responder;
        std::vector<Creation> creations;
        std::vector<CompressionProperties> applied;
        std::vector<Submission> submissions;
        std::vector<MediaTime> completions;
        std::vector<std::size_t> invalidations;
        int prepareCalls = 0;
    };

    class Session final : public CompressionSession {
    public:
        Session(std::shared_ptr<State> state, std::size_t index, CompressionOutputHandler output)
            : state_(std::move(state)), index_(index), output_(std::move(output)) {}

        void setProperties(const CompressionProperties& properties) override {
            std::lock_guard lock(state_->mutex);
            state_->applied.push_back(properties);
        }
        void prepareToEncodeFrames() override {
            std::lock_guard lock(state_->mutex);
            ++state_->prepareCalls;
        }
        bool encodeFrame(const std::shared_ptr<const PixelBuffer>& picture, MediaTime time,
                         SubmissionTag tag, bool forceKeyFrame) override {
            std::lock_guard lock(state_->mutex);
            if (state_->submissionFails) {
                return false;
            }
            Submission submission{index_, picture->width(), picture->height(), time,
                                  tag,    forceKeyFrame};
            state_->submissions.push_back(submission);
            waiting_.push_back(submission);
            return true;
        }
        void completeFrames(MediaTime upTo) override {
            Responder responder;
            std::vector<Submission> due;
            {
                std::lock_guard lock(state_->mutex);
                state_->completions.push_back(upTo);
                responder = state_->responder;
                std::vector<Submission> later;
                for (const Submission& submission : waiting_) {
                    // a/b <= c/d with positive time scales.
                    const bool isDue = submission.presentationTime.value * upTo.timescale <=
                                       upTo.value * submission.presentationTime.timescale;
                    (isDue ? due : later).push_back(submission);
                }
                waiting_ = std::move(later);
            }
            if (responder) {
                for (const Submission& submission : due) {
                    responder(submission, output_);
                }
            }
        }
        void invalidate() override {
            std::lock_guard lock(state_->mutex);
            state_->invalidations.push_back(index_);
        }

    private:
        std::shared_ptr<State> state_;
        std::size_t index_;
        CompressionOutputHandler output_;
        std::vector<Submission> waiting_;
    };

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

} // namespace quorvi::fakes
