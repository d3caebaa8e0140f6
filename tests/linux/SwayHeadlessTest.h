#pragma once

// The fixture of the wlroots suites: the suite's own headless sway, started
// afresh by the test environment script (as its throwaway user) for the
// suite's first case and shared by the rest; a case that changes it for
// good, or fails, leaves a new one to the next case. During a case the test
// process carries the compositor's environment, as any of its clients would.

#include "linux/TestCommands.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <list>
#include <set>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace quorvi::testing {

class SwayHeadlessTest : public ::testing::Test {
protected:
    explicit SwayHeadlessTest(int number) : number_(std::to_string(number)) {}

    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "sway as a throwaway user needs root: not run";
        }
        static std::set<std::string> startedNumbers;
        if (startedNumbers.insert(number_).second) {
            // Whatever a crashed run left running under this number goes.
            script("stop", number_);
            static std::list<StopAtExit> stoppers;
            stoppers.emplace_back(number_);
        }
        const CommandResult started = script("start", number_);
        if (started.status != 0) {
            GTEST_SKIP() << "sway headless did not start: " << started.output;
        }
        // One line of NAME=VALUE pairs.
        std::istringstream pairs(started.output);
        for (std::string pair; pairs >> pair;) {
            const auto equals = pair.find('=');
            ASSERT_NE(equals, std::string::npos) << started.output;
            names_.push_back(pair.substr(0, equals));
            setenv(names_.back().c_str(), pair.substr(equals + 1).c_str(), 1);
        }
    }

    void TearDown() override {
        for (const std::string& name : names_) {
            unsetenv(name.c_str());
        }
        if (isCompositorSpent_ || HasFailure()) {
            stopCompositor();
        }
    }

    void freshCompositorNext() { isCompositorSpent_ = true; }
    void stopCompositor() const { script("stop", number_); }

    // A peer command (swaymsg, grim, wev) run against the compositor.
    static CommandResult run(const std::string& command) {
        return runCommand("timeout 20 " + command);
    }

private:
    // The suite's compositor outlives its cases, not the test program.
    struct StopAtExit {
        explicit StopAtExit(std::string number) : number(std::move(number)) {}
        StopAtExit(const StopAtExit&) = delete;
        StopAtExit& operator=(const StopAtExit&) = delete;
        ~StopAtExit() { script("stop", number); }
        std::string number;
    };

    static CommandResult script(const std::string& action, const std::string& number) {
        return runCommand("timeout 60 " + repositoryPath("scripts/test-env/sway-headless") + " " +
                          action + " " + number);
    }

    std::string number_;
    std::vector<std::string> names_;
    bool isCompositorSpent_ = false;
};

} // namespace quorvi::testing
