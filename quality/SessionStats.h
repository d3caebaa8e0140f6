#pragma once

#include <cstdint>
#include <vector>

namespace quorvi {

// Per-session counters and the client's samples, oldest first.
// Thread: work queue (held by the server).
struct SessionStats {
    static constexpr std::size_t kSampleLimit = 7200;

    std::int64_t sentFrames = 0;
    std::int64_t inputEvents = 0;
    std::vector<std::int64_t> latencySamples;
    std::vector<std::int64_t> displayedFPSSamples;

    // Drops the oldest samples beyond the limit, in one erase per list.
    void keepBounded();

    bool operator==(const SessionStats&) const = default;
};

} // namespace quorvi
