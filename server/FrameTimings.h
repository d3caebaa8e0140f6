#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quorvi {

// The moments of one frame's send, on the steady clock.
struct FrameSendTimes {
    std::chrono::steady_clock::time_point tick;
    // When the picture was grabbed, if a captured buffer went into the frame.
    std::optional<std::chrono::steady_clock::time_point> captured;
    std::chrono::steady_clock::time_point lastByteSent;
};

// Per-frame latencies measured inside the server, for the end-to-end
// benchmark: from the send tick to the last byte sent, and from the grab of
// the buffer to the last byte sent. Keeps the most recent samples only, so
// memory stays bounded however long the stream runs.
//
// Thread: the server's work queue.
class FrameTimings {
public:
    explicit FrameTimings(std::size_t capacity = kDefaultCapacity);

    static constexpr std::size_t kDefaultCapacity = 7200;

    // One completed frame; captureToSent is absent when no captured buffer
    // went into it.
    void record(std::chrono::nanoseconds tickToSent,
                std::optional<std::chrono::nanoseconds> captureToSent);
    void record(const FrameSendTimes& times);

    std::size_t frames() const { return frames_; }
    // Milliseconds at percentile p (0 to 100, nearest rank), 0 without samples.
    double tickToSentMilliseconds(double p) const { return percentile(tickToSent_.values, p); }
    double captureToSentMilliseconds(double p) const {
        return percentile(captureToSent_.values, p);
    }

    // "tick_to_sent_ms p50=… p99=… capture_to_sent_ms p50=… p99=… frames=…"
    std::string summaryLine() const;
    // Replaces the file's content with the summary line; false on failure.
    bool writeSummaryLine(const std::string& path) const;

    // Nearest-rank percentile of samples in milliseconds, 0 when empty.
    static double percentile(std::vector<double> samples, double p);

private:
    // A ring of at most capacity samples, oldest overwritten first.
    struct Ring {
        std::vector<double> values;
        std::size_t next = 0;
    };
    void push(Ring& ring, double milliseconds);

    std::size_t capacity_;
    std::size_t frames_ = 0;
    Ring tickToSent_;
    Ring captureToSent_;
};

} // namespace quorvi
