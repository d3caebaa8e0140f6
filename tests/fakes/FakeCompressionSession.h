#pragma once

#include "capture/CompressionSession.h"

#include <cstdint>
#include <functional>
#include <memory>
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
// submission and, once completeFrames asks for its time, answers it through
// the responder (none by default: the encoder then runs into its time-out).
// Thread: the encoder's caller, as the encoder runs its session there; the
// responder may hand the output to another thread.
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

    std::set<VideoCodec> failingCodecs;
    std::function<void(const Submission&, const CompressionOutputHandler&)> responder;
    std::vector<Submission> submissions;
    std::vector<std::size_t> invalidations;

    std::unique_ptr<CompressionSession> create(std::int32_t width, std::int32_t height,
                                               VideoCodec codec, const CompressionProperties& made,
                                               CompressionOutputHandler output) override {
        if (failingCodecs.count(codec) > 0) {
            return nullptr;
        }
        return std::make_unique<Session>(*this, Submission{sessions_++, width, height, made},
                                         std::move(output));
    }

private:
    class Session final : public CompressionSession {
    public:
        Session(FakeCompressionSessionFactory& factory, Submission made,
                CompressionOutputHandler output)
            : factory_(factory), made_(std::move(made)), output_(std::move(output)) {}

        void setProperties(const CompressionProperties& properties) override {
            made_.properties = properties;
        }
        void prepareToEncodeFrames() override {}
        bool encodeFrame(const std::shared_ptr<const PixelBuffer>&, MediaTime time,
                         SubmissionTag tag, bool forceKeyFrame) override {
            pending_ = made_;
            pending_->presentationTime = time;
            pending_->tag = tag;
            pending_->forceKeyFrame = forceKeyFrame;
            factory_.submissions.push_back(*pending_);
            return true;
        }
        void completeFrames(MediaTime upTo) override {
            const auto due = std::exchange(pending_, std::nullopt);
            if (factory_.responder && due && due->presentationTime == upTo) {
                factory_.responder(*due, output_);
            }
        }
        void invalidate() override { factory_.invalidations.push_back(made_.session); }

    private:
        FakeCompressionSessionFactory& factory_;
        Submission made_;
        CompressionOutputHandler output_;
        std::optional<Submission> pending_;
    };

    std::size_t sessions_ = 0;
};

} // namespace quorvi::fakes
