#pragma once

#include "display/VirtualDisplayOwner.h"

namespace quorvi {

// This process's run, read once from /proc.
//
// Thread: any.
ProcessRun currentProcessRun();

// The run of the process with that id; nullopt when none can be read.
//
// Thread: any.
std::optional<ProcessRun> runOfProcess(std::int64_t pid);

// Whether that run still goes on: a process with its id runs and started at
// its time. A process that cannot be read (gone, or /proc hides it) counts
// as gone only when its id is free: an unreadable live one is left alone.
//
// Thread: any.
bool isRunning(const ProcessRun& run);

} // namespace quorvi
