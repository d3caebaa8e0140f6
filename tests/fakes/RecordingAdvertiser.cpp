#include "fakes/RecordingAdvertiser.h"

namespace quorvi::testing {

class RecordingAdvertiserFactory::Advertiser final : public ServiceAdvertiser {
public:
    Advertiser(RecordingAdvertiserFactory& factory, std::size_t index)
        : factory_(factory), index_(index) {}
    ~Advertiser() override { withdraw(); }
    void withdraw() override {
        std::lock_guard lock(factory_.mutex_);
        factory_.advertisements_[index_].isWithdrawn = true;
        factory_.handlers_[index_] = nullptr;
    }

private:
    RecordingAdvertiserFactory& factory_;
    std::size_t index_;
};

std::unique_ptr<ServiceAdvertiser>
RecordingAdvertiserFactory::advertise(const std::string& name, const std::string& type,
                                      std::uint16_t port,
                                      ServiceAdvertiser::ProblemHandler onProblem) {
    std::lock_guard lock(mutex_);
    advertisements_.push_back({name, type, port, false});
    handlers_.push_back(std::move(onProblem));
    return std::make_unique<Advertiser>(*this, advertisements_.size() - 1);
}

std::vector<RecordingAdvertiserFactory::Advertisement>
RecordingAdvertiserFactory::advertisements() const {
    std::lock_guard lock(mutex_);
    return advertisements_;
}

void RecordingAdvertiserFactory::reportProblem(const std::string& reason) {
    std::vector<ServiceAdvertiser::ProblemHandler> handlers;
    {
        std::lock_guard lock(mutex_);
        handlers = handlers_;
    }
    for (auto& handler : handlers) {
        if (handler) {
            handler(reason);
        }
    }
}

} // namespace quorvi::testing
