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
        std::string name;
        std::string type;
        std::uint16_t port;
        bool isWithdrawn = false;
    };

    std::unique_ptr<ServiceAdvertiser>
    advertise(const std::string& name, const std::string& type, std::uint16_t port,
              ServiceAdvertiser::ProblemHandler onProblem) override;

    std::vector<Advertisement> advertisements() const;
    // Every live advertiser reports this reason, as on a daemon outage.
    void reportProblem(const std::string& reason);

private:
    class Advertiser;
    mutable std::mutex mutex_;
    std::vector<Advertisement> advertisements_;
    std::vector<ServiceAdvertiser::ProblemHandler> handlers_;
};

} // namespace quorvi::testing
