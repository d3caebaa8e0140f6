#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace quorvi {

// Ends a scroll once it pauses. A phone never says when its finger lifts: a
// scroll message comes about every 16 ms while the finger moves, so a gap
// several times as long means it has lifted (or is holding still, which a
// touchpad also ends a scroll with). Ending the scroll is what starts an
// application's kinetic scrolling.
//
// Thread: arm(), disarm() and isArmed() are called with the owner's mutex
// held; a thread of its own runs onPause with that mutex held. Destroy it
// before anything onPause touches (declare it last in its owner).
class ScrollPauseWatch {
public:
    static constexpr auto kPause = std::chrono::milliseconds(100);

    ScrollPauseWatch(std::mutex& ownerMutex, std::function<void()> onPause);
    ~ScrollPauseWatch();
    ScrollPauseWatch(const ScrollPauseWatch&) = delete;
    ScrollPauseWatch& operator=(const ScrollPauseWatch&) = delete;

    // A scroll step was sent: the pause starts again from now.
    void arm();
    // The scroll ended or can no longer be ended.
    void disarm();
    bool isArmed() const { return due_.has_value(); }

private:
    void watch();

    std::mutex& ownerMutex_;
    std::function<void()> onPause_;
    std::optional<std::chrono::steady_clock::time_point> due_;
    bool isClosing_ = false;
    std::condition_variable changed_;
    std::thread thread_;
};

} // namespace quorvi
