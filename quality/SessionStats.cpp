#include "quality/SessionStats.h"

namespace quorvi {
namespace {

void trimFront(std::vector<std::int64_t>& samples) {
    if (samples.size() > SessionStats::kSampleLimit) {
        const auto excess =
            static_cast<std::ptrdiff_t>(samples.size() - SessionStats::kSampleLimit);
        samples.erase(samples.begin(), samples.begin() + excess);
    }
}

} // namespace

void SessionStats::keepBounded() {
    trimFront(latencySamples);
    trimFront(displayedFPSSamples);
}

} // namespace quorvi
