#include "platform/linux/ProcessRuns.h"

#include <cerrno>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace quorvi {

namespace {

// The 22nd field of /proc/PID/stat; the second, the command name in
// parentheses, may hold spaces and parentheses itself, so the fields are
// counted from the last ')'.
std::optional<std::uint64_t> startTimeOf(std::int64_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return std::nullopt;
    }
    const auto close = line.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    // Fields 3 to 21, then the start time.
    for (int i = 3; i <= 21 && fields >> field; ++i) {
    }
    std::uint64_t startTime = 0;
    if (!(fields >> startTime)) {
        return std::nullopt;
    }
    return startTime;
}

} // namespace

ProcessRun currentProcessRun() {
    static const ProcessRun run = runOfProcess(getpid()).value_or(ProcessRun{getpid(), 0});
    return run;
}

std::optional<ProcessRun> runOfProcess(std::int64_t pid) {
    const auto startTime = startTimeOf(pid);
    if (!startTime) {
        return std::nullopt;
    }
    return ProcessRun{pid, *startTime};
}

bool isRunning(const ProcessRun& run) {
    if (const auto startTime = startTimeOf(run.pid)) {
        return *startTime == run.startTime;
    }
    return ::kill(static_cast<pid_t>(run.pid), 0) == 0 || errno == EPERM;
}

} // namespace quorvi
