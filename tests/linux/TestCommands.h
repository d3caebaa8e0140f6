#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

namespace quorvi::testing {

struct CommandResult {
    int status = -1;
    std::string output;
};

inline CommandResult runCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    // fread, not fgets: some peers print binary data with NUL bytes in it.
    char buffer[4096];
    std::size_t read = 0;
    while ((read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.output.append(buffer, read);
    }
    result.status = pclose(pipe);
    return result;
}

inline std::string repositoryPath(const std::string& relative) {
    const std::filesystem::path source(__FILE__);
    return (source.parent_path().parent_path().parent_path() / relative).string();
}

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return predicate();
}

} // namespace quorvi::testing
