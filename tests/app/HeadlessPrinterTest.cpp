#include "app/HeadlessPrinter.h"

#include "fakes/ManualClock.h"

#include <gtest/gtest.h>
#include <sstream>

using namespace quorvi;

namespace {

// Delayed tasks wait for the test to run them, whatever the real time.
struct HeldQueue final : MainQueue {
    void post(std::function<void()> task) override { tasks.push_back(std::move(task)); }
    void postAfter(std::chrono::milliseconds, std::function<void()> task) override { post(task); }
    bool isCurrent() const override { return true; }
    std::vector<std::function<void()>> tasks;
};

std::vector<std::string> lines(const std::ostringstream& out, const std::string& prefix) {
    std::vector<std::string> found;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(prefix)) {
            found.push_back(line);
        }
    }
    return found;
}

} // namespace

TEST(HeadlessPrinter, DiagnosticsAtMostOnceASecondAndTheLatestIsNeverLost) {
    PublishedState state;
    std::ostringstream out;
    auto queue = std::make_shared<HeldQueue>();
    auto clock = std::make_shared<quorvi::testing::ManualClock>();
    HeadlessPrinter printer(state, out, queue, clock);
    const auto runHeld = [&] {
        for (auto& task : std::exchange(queue->tasks, {})) {
            task();
        }
    };
    // One second of a 30-frame stream: every frame changes the summary.
    for (int frame = 1; frame <= 30; ++frame, clock->advance(0.03)) {
        state.setDiagnosticsSummary(std::to_string(frame) + " frames");
        state.setStatus("Prêt " + std::to_string(frame));
    }
    runHeld();
    EXPECT_EQ(lines(out, "diagnosticsSummary:").size(), 1u);
    EXPECT_EQ(lines(out, "status:").size(), 30u);
    // The stream stops; when the second is up, the last value comes out.
    clock->advance(0.2);
    runHeld();
    EXPECT_EQ(lines(out, "diagnosticsSummary:"),
              (std::vector<std::string>{"diagnosticsSummary: 1 frames",
                                        "diagnosticsSummary: 30 frames"}));
}
