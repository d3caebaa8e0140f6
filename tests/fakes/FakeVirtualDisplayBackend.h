#pragma once

#include "display/VirtualDisplayBackend.h"
#include "fakes/FakeDisplayServices.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorvi::fakes {

// A virtual display backend over FakeDisplayServices: a display it makes
// joins that layout (when the script lets it come online), moves in it and
// leaves it when it is removed.
// Thread: any (a mutex guards the script and the records).
class FakeVirtualDisplayBackend final : public VirtualDisplayBackend {
public:
    // How the next creations go; later identifiers count up from nextID.
    struct Script {
        VirtualDisplayCreation::Failure failure = VirtualDisplayCreation::Failure::none;
        std::string reason;
        DisplayID nextID = 100;
        bool comesOnline = true; // among the online displays
    };
    struct Creation {
        VirtualDisplayDescriptor descriptor;
        VirtualDisplaySettings settings;
        int liveBefore = 0; // displays that still existed when this one was made
    };

    explicit FakeVirtualDisplayBackend(std::shared_ptr<FakeDisplayServices> displays)
        : state_(std::make_shared<State>()) {
        state_->displays = std::move(displays);
    }

    void setScript(Script script) {
        std::lock_guard lock(state_->mutex);
        state_->script = std::move(script);
    }
    std::vector<Creation> creations() const {
        std::lock_guard lock(state_->mutex);
        return state_->creations;
    }
    // Called, without the lock, each time a display is removed.
    void setOnRemoval(std::function<void()> onRemoval) {
        std::lock_guard lock(state_->mutex);
        state_->onRemoval = std::move(onRemoval);
    }
    // Displays made and not removed yet.
    int liveCount() const {
        std::lock_guard lock(state_->mutex);
        return state_->live;
    }

    VirtualDisplayCreation create(const VirtualDisplayDescriptor& descriptor,
                                  const VirtualDisplaySettings& settings) override {
        std::lock_guard lock(state_->mutex);
        Script& script = state_->script;
        VirtualDisplayCreation creation{nullptr, script.failure, script.reason};
        if (creation.failure == VirtualDisplayCreation::Failure::none) {
            const DisplayID id = script.nextID;
            script.nextID += id != 0 ? 1 : 0;
            state_->creations.push_back({descriptor, settings, state_->live++});
            const double scale = settings.isHiDPI ? 2 : 1;
            const DisplayRect bounds{0, 0, static_cast<double>(settings.modes.at(0).width) * scale,
                                     static_cast<double>(settings.modes.at(0).height) * scale};
            creation.display =
                std::make_unique<Display>(state_, id, bounds, script.comesOnline && id != 0);
        }
        return creation;
    }

private:
    struct State {
        std::mutex mutex;
        std::shared_ptr<FakeDisplayServices> displays;
        Script script;
        std::vector<Creation> creations;
        int live = 0;
        std::function<void()> onRemoval;
    };

    class Display final : public VirtualDisplay {
    public:
        Display(std::shared_ptr<State> state, DisplayID id, DisplayRect bounds, bool isOnline)
            : state_(std::move(state)), id_(id), bounds_(bounds), isOnline_(isOnline) {
            moveTo(0, 0);
        }
        ~Display() override {
            state_->displays->removeDisplay(id_);
            std::unique_lock lock(state_->mutex);
            --state_->live;
            const auto onRemoval = state_->onRemoval;
            lock.unlock();
            if (onRemoval) {
                onRemoval();
            }
        }
        DisplayID displayID() override { return id_; }
        void moveTo(std::int32_t x, std::int32_t y) override {
            bounds_.minX = x;
            bounds_.minY = y;
            if (isOnline_) {
                state_->displays->removeDisplay(id_);
                state_->displays->addDisplay(id_, bounds_);
            }
        }

    private:
        std::shared_ptr<State> state_;
        DisplayID id_;
        DisplayRect bounds_;
        bool isOnline_;
    };

    std::shared_ptr<State> state_;
};

// A wait clock that moves only when slept on: each sleep advances it by the
// time asked, then calls the test's hook with the number of sleeps so far.
// Whole milliseconds, so that sixty sleeps of 50 ms make exactly three
// seconds. Thread: the one that sleeps (the hook is set before).
class ManualWaitClock final : public WaitClock {
public:
    double now() override { return static_cast<double>(milliseconds_) / 1000.0; }
    void sleepFor(std::chrono::milliseconds duration) override {
        milliseconds_ += duration.count();
        if (++sleeps; onSleep) {
            onSleep(sleeps);
        }
    }

    std::function<void(int)> onSleep;
    int sleeps = 0;

private:
    std::int64_t milliseconds_ = 0;
};

} // namespace quorvi::fakes
