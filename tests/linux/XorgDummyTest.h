#pragma once

// A test fixture with an Xorg dummy server of its own, fresh for each case,
// and one plain Xlib connection to it (the peer) for the test's own
// requests. Skipped where the server cannot start: it needs root.

#include "linux/TestDisplay.h"
#include "platform/DisplayServices.h"
#include "platform/linux/X11ErrorHandling.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace quorvi::testing {

class XorgDummyTest : public ::testing::Test {
protected:
    explicit XorgDummyTest(int displayNumber) : server_(displayNumber) {}

    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "Xorg with the dummy driver needs root: not run";
        }
        if (const std::string failure = server_.start(); !failure.empty()) {
            GTEST_SKIP() << "Xorg with the dummy driver did not start: " << failure;
        }
        x11::installErrorHandlers();
        peer_ = XOpenDisplay(server_.name().c_str());
        ASSERT_NE(peer_, nullptr);
    }

    void TearDown() override {
        closePeer();
        server_.stop();
    }

    // Before the server goes away on purpose: the peer would only see the
    // loss as an I/O error.
    void closePeer() {
        if (peer_ != nullptr) {
            XCloseDisplay(peer_);
            peer_ = nullptr;
        }
    }

    CommandResult onTestDisplay(const std::string& command) const { return server_.run(command); }

    // A monitor's display ID, which is its name atom.
    DisplayID monitorID(const char* monitorName) {
        return static_cast<DisplayID>(XInternAtom(peer_, monitorName, 0));
    }

    TestDisplay server_;
    Display* peer_ = nullptr;
};

} // namespace quorvi::testing
