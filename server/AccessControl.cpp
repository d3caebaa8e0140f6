// Who may connect: the allowed networks, the approval of new devices and the
// user's answers, applied to each newcomer before it may replace anyone.
#include "platform/MainQueue.h"
#include "platform/QueueCheck.h"
#include "platform/RepeatingTimer.h"
#include "platform/UserDefaults.h"
#include "platform/WorkQueue.h"
#include "server/QuorviServer.h"

namespace quorvi {
namespace {

// How often a pending device's deadline is compared with the server clock.
constexpr std::chrono::milliseconds kPendingCheckPeriod{250};

} // namespace

void QuorviServer::loadAccessSettings() {
    // Construction, main thread, work queue unused yet: set directly.
    auto* defaults = platform_.userDefaults.get();
    std::string networks = options_.allowedNetworks.value_or("");
    bool isApprovalRequired = options_.approveNewDevices.value_or(false);
    std::string trusted;
    if (defaults != nullptr) {
        if (!options_.allowedNetworks) {
            networks = defaults->string(kAllowedNetworksKey).value_or("");
        }
        if (!options_.approveNewDevices) {
            isApprovalRequired = defaults->boolean(kApproveNewDevicesKey).value_or(false);
        }
        trusted = defaults->string(kTrustedAddressesKey).value_or("");
    }
    allowedNetworks_ = AllowedNetworks::parse(networks);
    deviceApproval_.setRequired(isApprovalRequired);
    deviceApproval_.setTrusted(parseTrustedAddresses(trusted));
    published_->setAllowedNetworks(networks);
    published_->setApproveNewDevices(isApprovalRequired);
    published_->setTrustedAddresses(deviceApproval_.trusted());
}

void QuorviServer::accept(std::shared_ptr<Connection> newConnection) {
    QUORVI_ASSERT_ON(*queue_);
    const std::string address = canonicalAddress(newConnection->peerAddress());
    if (!allowedNetworks_.allows(address)) {
        refuse(newConnection, address, "hors des réseaux autorisés");
        return;
    }
    switch (deviceApproval_.arrive(address, platform_.clock->now())) {
    case DeviceApproval::Verdict::admit:
        admit(std::move(newConnection), address);
        break;
    case DeviceApproval::Verdict::refuse:
        refuse(newConnection, address, "refusé il y a moins de 30 s");
        break;
    case DeviceApproval::Verdict::hold:
        hold(std::move(newConnection), address);
        break;
    }
}

void QuorviServer::refuse(const std::shared_ptr<Connection>& refused, const std::string& address,
                          const std::string& reason) {
    QUORVI_ASSERT_ON(*queue_);
    // Never started: closed before a byte is read or written.
    refused->cancel();
    const std::string line =
        "Connexion refusée: " + (address.empty() ? std::string("adresse inconnue") : address) +
        " (" + reason + ")";
    const double now = platform_.clock->now();
    if (line == lastRefusalLine_ && now - lastRefusalAt_ < DeviceApproval::kRefusalMemory) {
        return;
    }
    lastRefusalLine_ = line;
    lastRefusalAt_ = now;
    publishJournalLine(line);
}

void QuorviServer::hold(std::shared_ptr<Connection> pending, const std::string& address) {
    QUORVI_ASSERT_ON(*queue_);
    if (pendingConnection_) {
        // One question at a time: the newer device is the one the user is
        // most likely holding.
        pendingConnection_->cancel();
    }
    pendingConnection_ = std::move(pending);
    publishJournalLine("Appareil en attente d'autorisation: " + address);
    platform_.mainQueue->post([state = published_, address] { state->setPendingDevice(address); });
    if (!pendingTimer_) {
        std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
        pendingTimer_ = std::make_unique<RepeatingTimer>(*queue_, kPendingCheckPeriod, [weakSelf] {
            if (auto self = weakSelf.lock()) {
                self->checkPendingTimeout();
            }
        });
        pendingTimer_->start();
    }
}

void QuorviServer::checkPendingTimeout() {
    QUORVI_ASSERT_ON(*queue_);
    if (auto address = deviceApproval_.expire(platform_.clock->now())) {
        resolvePending(std::move(address), false, "pas de réponse en 30 s");
    }
}

void QuorviServer::resolvePending(std::optional<std::string> address, bool isAllowed,
                                  const std::string& reason) {
    QUORVI_ASSERT_ON(*queue_);
    if (!address || !pendingConnection_) {
        return;
    }
    auto connection = std::exchange(pendingConnection_, nullptr);
    // Its own tick may be what runs here, which the timer allows.
    pendingTimer_.reset();
    platform_.mainQueue->post([state = published_] { state->setPendingDevice(""); });
    if (isAllowed) {
        publishJournalLine("Appareil autorisé: " + *address);
        admit(std::move(connection), *address);
    } else {
        refuse(connection, *address, reason);
    }
}

void QuorviServer::allowPendingDevice() {
    queue_->post([weakSelf = weak_from_this()] {
        if (auto self = weakSelf.lock()) {
            self->resolvePending(self->deviceApproval_.allowOnce(), true, {});
        }
    });
}

void QuorviServer::alwaysAllowPendingDevice() {
    queue_->post([weakSelf = weak_from_this()] {
        auto self = weakSelf.lock();
        if (!self || !self->pendingConnection_) {
            return;
        }
        auto address = self->deviceApproval_.allowAlways();
        self->storeTrustedAddresses();
        self->resolvePending(std::move(address), true, {});
    });
}

void QuorviServer::denyPendingDevice() {
    queue_->post([weakSelf = weak_from_this()] {
        if (auto self = weakSelf.lock()) {
            self->resolvePending(self->deviceApproval_.deny(self->platform_.clock->now()), false,
                                 "refusé par l'utilisateur");
        }
    });
}

void QuorviServer::disconnectClient() {
    queue_->post([weakSelf = weak_from_this()] {
        auto self = weakSelf.lock();
        if (self && self->connection_ && !self->hasConnectionEnded_) {
            self->publishJournalLine("Client déconnecté par l'utilisateur");
            // Reported back as cancelled: the session ends as when the
            // client leaves, and the listener goes on.
            self->connection_->cancel();
        }
    });
}

void QuorviServer::forgetTrustedAddress(std::string address) {
    queue_->post([weakSelf = weak_from_this(), address = std::move(address)] {
        auto self = weakSelf.lock();
        if (self && self->deviceApproval_.forget(address)) {
            self->storeTrustedAddresses();
        }
    });
}

void QuorviServer::setAllowedNetworks(std::string networks) {
    queue_->post([weakSelf = weak_from_this(), networks = std::move(networks)] {
        auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        if (self->platform_.userDefaults) {
            self->platform_.userDefaults->setString(kAllowedNetworksKey, networks);
        }
        self->applyAllowedNetworks(networks);
    });
}

void QuorviServer::applyAllowedNetworks(const std::string& setting) {
    QUORVI_ASSERT_ON(*queue_);
    allowedNetworks_ = AllowedNetworks::parse(setting);
    if (const auto& problem = allowedNetworks_.problem()) {
        publishJournalLine(*problem);
    }
    platform_.mainQueue->post(
        [state = published_, setting] { state->setAllowedNetworks(setting); });
}

void QuorviServer::setApproveNewDevices(bool isRequired) {
    queue_->post([weakSelf = weak_from_this(), isRequired] {
        auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        if (self->platform_.userDefaults) {
            self->platform_.userDefaults->setBoolean(kApproveNewDevicesKey, isRequired);
        }
        self->deviceApproval_.setRequired(isRequired);
        self->platform_.mainQueue->post(
            [state = self->published_, isRequired] { state->setApproveNewDevices(isRequired); });
    });
}

void QuorviServer::storeTrustedAddresses() {
    QUORVI_ASSERT_ON(*queue_);
    const auto& trusted = deviceApproval_.trusted();
    if (platform_.userDefaults) {
        platform_.userDefaults->setString(kTrustedAddressesKey, formatTrustedAddresses(trusted));
    }
    platform_.mainQueue->post(
        [state = published_, trusted] { state->setTrustedAddresses(trusted); });
}

} // namespace quorvi
