#include "tools/StreamSummary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace quorvi::client {

namespace {

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

} // namespace

void StreamSummary::addFrame(double receivedAt) {
    ++frames_;
    if (!firstAt_) {
        firstAt_ = receivedAt;
    }
    lastAt_ = receivedAt;
}

void StreamSummary::addWellFormed(std::optional<std::size_t> payloadBytes, double latencySeconds) {
    if (payloadBytes) {
        payloadSizes_.push_back(*payloadBytes);
    }
    latencies_.push_back(latencySeconds);
}

double StreamSummary::framesPerSecond() const {
    if (frames_ < 2 || !firstAt_ || !(lastAt_ > *firstAt_)) {
        return 0;
    }
    return static_cast<double>(frames_ - 1) / (lastAt_ - *firstAt_);
}

std::optional<double> StreamSummary::latencyPercentileMs(double percentile) const {
    if (latencies_.empty()) {
        return std::nullopt;
    }
    std::vector<double> sorted = latencies_;
    std::sort(sorted.begin(), sorted.end());
    const auto rank = static_cast<std::size_t>(
        std::ceil(percentile / 100.0 * static_cast<double>(sorted.size())));
    const std::size_t index = std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1);
    return sorted[index] * 1000.0;
}

std::string StreamSummary::line() const {
    std::string text =
        "summary frames=" + std::to_string(frames_) + " malformed=" + std::to_string(malformed_);
    const double span = firstAt_ ? lastAt_ - *firstAt_ : 0;
    text += " seconds=" + fixed(span, 2) + " fps=" + fixed(framesPerSecond(), 2);
    if (payloadSizes_.empty()) {
        text += " bytes_min=- bytes_avg=- bytes_max=-";
    } else {
        const auto [smallest, largest] =
            std::minmax_element(payloadSizes_.begin(), payloadSizes_.end());
        const double total =
            std::accumulate(payloadSizes_.begin(), payloadSizes_.end(), 0.0,
                            [](double sum, std::size_t size) { return sum + double(size); });
        text += " bytes_min=" + std::to_string(*smallest) +
                " bytes_avg=" + fixed(total / double(payloadSizes_.size()), 0) +
                " bytes_max=" + std::to_string(*largest);
    }
    const std::optional<double> p50 = latencyPercentileMs(50);
    const std::optional<double> p95 = latencyPercentileMs(95);
    text += " latency_p50_ms=" + (p50 ? fixed(*p50, 1) : std::string("-"));
    text += " latency_p95_ms=" + (p95 ? fixed(*p95, 1) : std::string("-"));
    return text;
}

} // namespace quorvi::client
