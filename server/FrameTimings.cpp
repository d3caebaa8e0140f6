#include "server/FrameTimings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace quorvi {

namespace {

double toMilliseconds(std::chrono::nanoseconds duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

} // namespace

FrameTimings::FrameTimings(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {
    tickToSent_.values.reserve(capacity_);
    captureToSent_.values.reserve(capacity_);
}

void FrameTimings::record(std::chrono::nanoseconds tickToSent,
                          std::optional<std::chrono::nanoseconds> captureToSent) {
    frames_ += 1;
    push(tickToSent_, toMilliseconds(tickToSent));
    if (captureToSent) {
        push(captureToSent_, toMilliseconds(*captureToSent));
    }
}

void FrameTimings::record(const FrameSendTimes& times) {
    std::optional<std::chrono::nanoseconds> captureToSent;
    if (times.captured) {
        captureToSent = times.lastByteSent - *times.captured;
    }
    record(times.lastByteSent - times.tick, captureToSent);
}

void FrameTimings::push(Ring& ring, double milliseconds) {
    if (ring.values.size() < capacity_) {
        ring.values.push_back(milliseconds);
    } else {
        ring.values[ring.next] = milliseconds;
    }
    ring.next = (ring.next + 1) % capacity_;
}

double FrameTimings::percentile(std::vector<double> samples, double p) {
    if (samples.empty()) {
        return 0;
    }
    const double clamped = std::clamp(p, 0.0, 100.0);
    // Nearest rank: the smallest sample with at least p % of them at or below it.
    const auto rank =
        static_cast<std::size_t>(std::ceil(clamped / 100.0 * static_cast<double>(samples.size())));
    const std::size_t index = rank == 0 ? 0 : rank - 1;
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index),
                     samples.end());
    return samples[index];
}

std::string FrameTimings::summaryLine() const {
    char line[200];
    std::snprintf(line, sizeof line,
                  "tick_to_sent_ms p50=%.2f p99=%.2f capture_to_sent_ms p50=%.2f p99=%.2f "
                  "frames=%zu",
                  tickToSentMilliseconds(50), tickToSentMilliseconds(99),
                  captureToSentMilliseconds(50), captureToSentMilliseconds(99), frames_);
    return line;
}

bool FrameTimings::writeSummaryLine(const std::string& path) const {
    std::ofstream file(path, std::ios::trunc);
    file << summaryLine() << '\n';
    file.flush();
    return static_cast<bool>(file);
}

} // namespace quorvi
