#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvi::client {

// Counts and samples of one run, and the summary line printed at the end.
//
// Thread: one at a time.
class StreamSummary {
public:
    // A frame line arrived at receivedAt (seconds since 1970, the same clock
    // as the server's sentAt on this machine).
    void addFrame(double receivedAt);
    // The frame was well-formed: its payload size (none: a frame without
    // picture) and receive time − sentAt.
    void addWellFormed(std::optional<std::size_t> payloadBytes, double latencySeconds);
    void addMalformed() { ++malformed_; }

    std::int64_t frames() const { return frames_; }
    std::int64_t malformed() const { return malformed_; }

    // Frames per second between the first and the last frame received.
    double framesPerSecond() const;
    // Nearest-rank percentile of the latencies, in milliseconds.
    std::optional<double> latencyPercentileMs(double percentile) const;

    // "summary frames=… malformed=… seconds=… fps=… bytes_min=… bytes_avg=…
    // bytes_max=… latency_p50_ms=… latency_p95_ms=…"; "-" where there is no
    // sample.
    std::string line() const;

private:
    std::int64_t frames_ = 0;
    std::int64_t malformed_ = 0;
    std::optional<double> firstAt_;
    double lastAt_ = 0;
    std::vector<std::size_t> payloadSizes_;
    std::vector<double> latencies_;
};

} // namespace quorvi::client
