#pragma once

#include "platform/ServiceAdvertiser.h"

#include <chrono>
#include <memory>
#include <string>

namespace quorvi {

// DNS-SD through the Avahi daemon, reached over the system D-Bus.
//
// Each advertiser runs its own Avahi event loop thread and registers one
// service (the given name, type and port, the default domain, no TXT record).
// It never gives up: when the daemon or the bus goes away it waits for them
// and registers again by itself, and a name already taken on the network is
// replaced by Avahi's alternative ("Name #2", ...) without a report.
//
// Problems reach the handler on the advertiser's thread, once per outage, as
// one of these French reasons (none says "échoué", which the window reads as
// a stopped server):
//   "avahi-daemon injoignable"                           no daemon on the bus
//   "avahi-daemon injoignable: pas de bus système D-Bus"  no system bus at all
//   "avahi-daemon injoignable: <raison>"                  the bus refused us
//   "nom refusé: <raison>"                                the daemon rejected
//                                                         the name or type
//   "enregistrement refusé: <raison>"                     any other refusal
// The handler must return quickly and must not destroy its advertiser
// synchronously (posting to a queue, as the listener does, is the intent);
// destroying it there anyway is survived, at the cost of a helper thread.
//
// Thread: any. advertise(), withdraw() and destruction may be called from any
// thread; withdraw() and destruction wait for the event loop thread to end.
class AvahiServiceAdvertiserFactory final : public ServiceAdvertiserFactory {
public:
    // How long to wait between attempts to reach a system bus that is not
    // there. The daemon's return is noticed at once (D-Bus tells us).
    explicit AvahiServiceAdvertiserFactory(
        std::chrono::milliseconds busRetryDelay = std::chrono::seconds(2));

    std::unique_ptr<ServiceAdvertiser>
    advertise(const std::string& name, const std::string& type, std::uint16_t port,
              ServiceAdvertiser::ProblemHandler onProblem) override;

private:
    std::chrono::milliseconds busRetryDelay_;
};

} // namespace quorvi
