#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quorvi {

// Registers one DNS-SD service while a listener is ready. Problems (no
// daemon, a refused name) are reported as a French reason and never stop the
// listener; the advertiser keeps trying on its own when the daemon returns.
//
// Thread: any; the problem handler may be called on an advertiser thread.
class ServiceAdvertiser {
public:
    using ProblemHandler = std::function<void(const std::string& reason)>;
    virtual ~ServiceAdvertiser() = default;
    // Withdraws the service (destruction does too).
    virtual void withdraw() = 0;
};

class ServiceAdvertiserFactory {
public:
    virtual ~ServiceAdvertiserFactory() = default;
    virtual std::unique_ptr<ServiceAdvertiser>
    advertise(const std::string& name, const std::string& type, std::uint16_t port,
              ServiceAdvertiser::ProblemHandler onProblem) = 0;
};

} // namespace quorvi
