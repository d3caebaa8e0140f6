#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorvi {

// One run of a process: its id and its start time (clock ticks since the
// machine booted). An id alone is reused by later processes; the pair names
// one run for as long as the machine runs.
struct ProcessRun {
    std::int64_t pid = 0;
    std::uint64_t startTime = 0;

    bool operator==(const ProcessRun&) const = default;
};

// What a virtual display's name carries of the run that made it, so that a
// later start can tell the leftovers of runs that are gone from the displays
// of another live instance: "-p" + pid + "-t" + start time at the end.
//
// Thread: any (pure).
std::string ownerTag(const ProcessRun& owner);
// The run a tagged name belongs to; nullopt for a name without a tag (made
// by a build that did not tag its names).
std::optional<ProcessRun> ownerOfName(const std::string& name);

} // namespace quorvi
