#pragma once

#include "platform/ServiceAdvertiser.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorvi::testing {

// Records what was advertised; can report a problem like a missing daemon.
// Thread: any.
class RecordingAdvertiserFactory final : public ServiceAdvertiserFactory {
public:
    struct Advertisement {
        std::string name, type;
        std::uint16_t port;
        ServiceAdvertiser::ProblemHandler onProblem; // null once withdrawn
    };

    std::unique_ptr<ServiceAdvertiser>
    advertise(const std::string& name, const std::string& type, std::uint16_t port,
              ServiceAdvertiser::ProblemHandler onProblem) override {
        std::lock_guard lock(mutex_);
        advertisements_.push_back({name, type, port, std::move(onProblem)});
        return std::make_unique<Advertiser>(*this, advertisements_.size() - 1);
    }
    std::vector<Advertisement> advertisements() const {
        std::lock_guard lock(mutex_);
        return advertisements_;
    }
    // Every live advertiser reports this reason, as on a daemon outage.
    void reportProblem(const std::string& reason) {
        for (const auto& advertisement : advertisements()) {
            if (advertisement.onProblem) {
                advertisement.onProblem(reason);
            }
        }
    }

private:
    struct Advertiser final : ServiceAdvertiser {
        Advertiser(RecordingAdvertiserFactory& factory, std::size_t index)
            : factory(factory), index(index) {}
        ~Advertiser() override { withdraw(); }
        void withdraw() override {
            std::lock_guard lock(factory.mutex_);
            factory.advertisements_[index].onProblem = nullptr;
        }
        RecordingAdvertiserFactory& factory;
        std::size_t index;
    };

    mutable std::mutex mutex_;
    std::vector<Advertisement> advertisements_;
};

} // namespace quorvi::testing
