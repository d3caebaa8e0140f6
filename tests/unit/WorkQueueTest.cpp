#include "platform/WorkQueue.h"

#include "platform/RepeatingTimer.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using quorvi::RepeatingTimer;
using quorvi::WorkQueue;

TEST(WorkQueue, RunsTasksInOrderOnItsOwnThreadWhichItRecognises) {
    WorkQueue queue("brenholt.quorvi.mac.test");
    EXPECT_FALSE(queue.isCurrent());
    std::vector<int> order;
    std::thread::id queueThread;
    for (int i = 0; i < 100; ++i) {
        queue.post([&order, i] { order.push_back(i); });
    }
    bool wasCurrent = false;
    queue.runSync([&] {
        wasCurrent = queue.isCurrent();
        queueThread = std::this_thread::get_id();
    });
    EXPECT_TRUE(wasCurrent);
    EXPECT_NE(queueThread, std::this_thread::get_id());
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    }
}

TEST(WorkQueue, SynchronousRunFromTheQueueItselfDoesNotDeadlock) {
    WorkQueue queue("brenholt.quorvi.mac.test");
    bool innerRan = false;
    queue.runSync([&] { queue.runSync([&] { innerRan = true; }); });
    EXPECT_TRUE(innerRan);
}

TEST(WorkQueue, ShutdownFinishesQueuedWorkAndLaterRunsAreInline) {
    WorkQueue queue("brenholt.quorvi.mac.test");
    std::atomic<int> count = 0;
    for (int i = 0; i < 10; ++i) {
        queue.post([&count] { ++count; });
    }
    queue.shutdown();
    EXPECT_EQ(count.load(), 10);
    queue.runSync([&count] { ++count; });
    EXPECT_EQ(count.load(), 11);
}

TEST(RepeatingTimer, FirstTickIsImmediateAndCancelStopsEveryLaterTick) {
    WorkQueue queue("brenholt.quorvi.mac.test");
    std::unique_ptr<RepeatingTimer> timer;
    std::atomic<int> ticks = 0;
    std::promise<void> firstTick;
    queue.runSync([&] {
        timer = std::make_unique<RepeatingTimer>(queue, 1h, [&] {
            if (++ticks == 1) {
                firstTick.set_value();
            }
        });
        timer->start();
    });
    // A one-hour period: only the immediate first tick can have happened.
    ASSERT_EQ(firstTick.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(ticks.load(), 1);
    queue.runSync([&] { timer->cancel(); });
    EXPECT_TRUE(timer->isCancelled());
    queue.runSync([&] { timer.reset(); });
}

TEST(RepeatingTimer, AHandlerThatOverrunsCollapsesTheMissedTicksIntoOne) {
    WorkQueue queue("brenholt.quorvi.mac.test");
    std::unique_ptr<RepeatingTimer> timer;
    std::vector<std::chrono::steady_clock::time_point> tickTimes;
    std::promise<void> done;
    queue.runSync([&] {
        timer = std::make_unique<RepeatingTimer>(queue, 20ms, [&] {
            tickTimes.push_back(std::chrono::steady_clock::now());
            if (tickTimes.size() == 1) {
                // Three periods late: ticks 2, 3 and 4 are due at once.
                std::this_thread::sleep_for(65ms);
            }
            if (tickTimes.size() == 3) {
                timer->cancel();
                done.set_value();
            }
        });
        timer->start();
    });
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    queue.runSync([&] { timer.reset(); });
    ASSERT_EQ(tickTimes.size(), 3u);
    // One catch-up tick right after the overrun, then back on the grid
    // (80 ms after the start) rather than a burst of three.
    const auto catchUp = tickTimes[1] - tickTimes[0];
    const auto next = tickTimes[2] - tickTimes[0];
    EXPECT_GE(catchUp, 65ms);
    EXPECT_GE(next, 79ms);
}

TEST(RepeatingTimer, ATimerDestroyedByItsOwnHandlerStopsCleanly) {
    WorkQueue queue("brenholt.quorvi.mac.test");
    std::unique_ptr<RepeatingTimer> timer;
    std::promise<void> done;
    queue.runSync([&] {
        timer = std::make_unique<RepeatingTimer>(queue, 1ms, [&] {
            timer.reset(); // what startSendingFrames does when it re-arms
            done.set_value();
        });
        timer->start();
    });
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    queue.runSync([] {});
}
