#pragma once

// The fixture of the Wayland suites: the suite's own headless compositor
// (sway, or Mutter with its session bus and PipeWire), started afresh by its
// test environment script (as a throwaway user) for the suite's first case
// and shared by the rest; a case that changes it for good, or fails, leaves
// a new one to the next case. During a case the test process carries the
// compositor's environment, as any of its clients would.

#include "linux/TestCommands.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <list>
#include <set>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace quorvi::testing {

class HeadlessCompositorTest : public ::testing::Test {
protected:
    // script: the environment script under scripts/test-env/.
    HeadlessCompositorTest(std::string script, int number)
        : script_(std::move(script)), number_(std::to_string(number)) {}

    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << script_ << " as a throwaway user needs root: not run";
        }
        static std::set<std::string> startedNumbers;
        if (startedNumbers.insert(number_).second) {
            // Whatever a crashed run left running under this number goes.
            script(script_, "stop", number_);
            static std::list<StopAtExit> stoppers;
            stoppers.emplace_back(script_, number_);
        }
        const CommandResult started = script(script_, "start", number_);
        if (started.status != 0) {
            GTEST_SKIP() << script_ << " did not start: " << started.output;
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
    void stopCompositor() const { script(script_, "stop", number_); }

    // A peer command (swaymsg, grim, wev, dbus-send) run against the compositor.
    static CommandResult run(const std::string& command) {
        return runCommand("timeout 20 " + command);
    }

private:
    // The suite's compositor outlives its cases, not the test program.
    struct StopAtExit {
        StopAtExit(std::string script, std::string number)
            : script(std::move(script)), number(std::move(number)) {}
        StopAtExit(const StopAtExit&) = delete;
        StopAtExit& operator=(const StopAtExit&) = delete;
        ~StopAtExit() { HeadlessCompositorTest::script(script, "stop", number); }
        std::string script;
        std::string number;
    };

    static CommandResult script(const std::string& name, const std::string& action,
                                const std::string& number) {
        return runCommand("timeout 60 " + repositoryPath("scripts/test-env/" + name) + " " +
                          action + " " + number);
    }

    std::string script_;
    std::string number_;
    std::vector<std::string> names_;
    bool isCompositorSpent_ = false;
};

class SwayHeadlessTest : public HeadlessCompositorTest {
protected:
    explicit SwayHeadlessTest(int number) : HeadlessCompositorTest("sway-headless", number) {}
};

class MutterHeadlessTest : public HeadlessCompositorTest {
protected:
    explicit MutterHeadlessTest(int number) : HeadlessCompositorTest("mutter-headless", number) {}
};

} // namespace quorvi::testing
