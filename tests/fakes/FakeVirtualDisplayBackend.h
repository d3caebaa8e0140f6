#pragma once

#include "display/VirtualDisplayBackend.h"
#include "fakes/FakeDisplayServices.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorvi::fakes {

// A virtual display backend over FakeDisplayServices: a display it makes
// joins that layout (when the test lets it come online) and leaves it when
// it is removed. Records what it was asked; the test scripts the outcome,
// the identifiers and whether displays come online.
//
// Thread: any (a mutex guards the records; the layout has its own).
class FakeVirtualDisplayBackend final : public VirtualDisplayBackend {
public:
    struct Creation {
        VirtualDisplayDescriptor descriptor;
        VirtualDisplaySettings settings;
        DisplayID id = 0;
    };

    struct Move {
        DisplayID id = 0;
        std::int32_t x = 0;
        std::int32_t y = 0;
        bool operator==(const Move&) const = default;
    };

    explicit FakeVirtualDisplayBackend(std::shared_ptr<FakeDisplayServices> displays)
        : state_(std::make_shared<State>()) {
        state_->displays = std::move(displays);
    }

    // ---- scripting ----

    // The next creations fail this way.
    void failWith(VirtualDisplayCreation::Failure failure, std::string reason) {
        std::lock_guard lock(state_->mutex);
        state_->failure = failure;
        state_->reason = std::move(reason);
    }

    // The identifier the next display gets; later ones count up from it.
    void setNextID(DisplayID id) {
        std::lock_guard lock(state_->mutex);
        state_->nextID = id;
    }

    // Whether new displays appear among the online displays.
    void setComesOnline(bool comesOnline) {
        std::lock_guard lock(state_->mutex);
        state_->comesOnline = comesOnline;
    }

    // Called, without the backend's lock, each time a display was made.
    void onCreated(std::function<void(DisplayID)> hook) {
        std::lock_guard lock(state_->mutex);
        state_->onCreated = std::move(hook);
    }

    // ---- records ----

    std::vector<Creation> creations() const {
        std::lock_guard lock(state_->mutex);
        return state_->creations;
    }

    std::vector<Move> moves() const {
        std::lock_guard lock(state_->mutex);
        return state_->moves;
    }

    std::vector<DisplayID> removed() const {
        std::lock_guard lock(state_->mutex);
        return state_->removed;
    }

    // Displays made and not removed yet.
    int liveCount() const {
        std::lock_guard lock(state_->mutex);
        return static_cast<int>(state_->creations.size() - state_->removed.size());
    }

    VirtualDisplayCreation create(const VirtualDisplayDescriptor& descriptor,
                                  const VirtualDisplaySettings& settings) override {
        VirtualDisplayCreation creation;
        std::function<void(DisplayID)> hook;
        DisplayID id = 0;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->failure != VirtualDisplayCreation::Failure::none) {
                creation.failure = state_->failure;
                creation.reason = state_->reason;
                return creation;
            }
            id = state_->nextID;
            if (state_->nextID != 0) {
                ++state_->nextID;
            }
            state_->creations.push_back({descriptor, settings, id});
            const VirtualDisplayMode mode =
                settings.modes.empty() ? VirtualDisplayMode{} : settings.modes.front();
            const double scale = settings.isHiDPI ? 2 : 1;
            const DisplayRect bounds{0, 0, static_cast<double>(mode.width) * scale,
                                     static_cast<double>(mode.height) * scale};
            creation.display =
                std::make_unique<Display>(state_, id, bounds, state_->comesOnline && id != 0);
            hook = state_->onCreated;
        }
        if (hook) {
            hook(id);
        }
        return creation;
    }

private:
    struct State {
        mutable std::mutex mutex;
        std::shared_ptr<FakeDisplayServices> displays;
        VirtualDisplayCreation::Failure failure = VirtualDisplayCreation::Failure::none;
        std::string reason;
        DisplayID nextID = 100;
        bool comesOnline = true;
        std::function<void(DisplayID)> onCreated;
        std::vector<Creation> creations;
        std::vector<Move> moves;
        std::vector<DisplayID> removed;
    };

    class Display final : public VirtualDisplay {
    public:
        Display(std::shared_ptr<State> state, DisplayID id, DisplayRect bounds, bool isOnline)
            : state_(std::move(state)), id_(id), bounds_(bounds), isOnline_(isOnline) {
            if (isOnline_) {
                state_->displays->addDisplay(id_, bounds_);
            }
        }

        ~Display() override {
            if (isOnline_) {
                state_->displays->removeDisplay(id_);
            }
            std::lock_guard lock(state_->mutex);
            state_->removed.push_back(id_);
        }

        DisplayID displayID() override { return id_; }

        void moveTo(std::int32_t x, std::int32_t y) override {
            {
                std::lock_guard lock(state_->mutex);
                state_->moves.push_back({id_, x, y});
            }
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
// time asked and then calls the test's hook, if any. Counts the sleeps.
//
// Thread: any.
class ManualWaitClock final : public WaitClock {
public:
    double now() override {
        std::lock_guard lock(mutex_);
        return static_cast<double>(nowMilliseconds_) / 1000.0;
    }

    void sleepFor(std::chrono::milliseconds duration) override {
        std::function<void(int)> hook;
        int count = 0;
        {
            std::lock_guard lock(mutex_);
            nowMilliseconds_ += duration.count();
            count = ++sleeps_;
            sleptFor_.push_back(duration);
            hook = onSleep_;
        }
        if (hook) {
            hook(count);
        }
    }

    // Called after each sleep with the number of sleeps so far.
    void onSleep(std::function<void(int)> hook) {
        std::lock_guard lock(mutex_);
        onSleep_ = std::move(hook);
    }

    int sleeps() const {
        std::lock_guard lock(mutex_);
        return sleeps_;
    }

    std::vector<std::chrono::milliseconds> sleptFor() const {
        std::lock_guard lock(mutex_);
        return sleptFor_;
    }

private:
    mutable std::mutex mutex_;
    // Whole milliseconds, so that sixty sleeps of 50 ms make exactly three
    // seconds.
    std::int64_t nowMilliseconds_ = 1'000'000;
    int sleeps_ = 0;
    std::vector<std::chrono::milliseconds> sleptFor_;
    std::function<void(int)> onSleep_;
};

} // namespace quorvi::fakes
