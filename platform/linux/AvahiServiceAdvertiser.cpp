#include "platform/linux/AvahiServiceAdvertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <mutex>
#include <sys/time.h>
#include <thread>
#include <utility>

namespace quorvi {
namespace {

using namespace std::chrono_literals;

const std::string kDaemonUnreachable = "avahi-daemon injoignable";
const std::string kBusUnreachable = "avahi-daemon injoignable: pas de bus système D-Bus";

// A name that keeps colliding after this many alternatives is not going to
// find a free one; stop instead of spinning on the daemon.
constexpr int kMaxRenames = 100;

// The advertiser whose Avahi callback this thread is running, if any. The
// problem handler runs inside those callbacks, with the event loop's lock
// held, on the loop's own thread: from there the loop can be neither locked
// nor stopped (Avahi asserts on both), so withdraw() and destruction must
// know when they are called from inside.
thread_local const void* tlsCallbackOwner = nullptr;

class CallbackScope {
public:
    explicit CallbackScope(const void* owner) : previous_(tlsCallbackOwner) {
        tlsCallbackOwner = owner;
    }
    ~CallbackScope() { tlsCallbackOwner = previous_; }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

private:
    const void* previous_;
};

// Avahi's own messages are translated through gettext, so under a French
// locale avahi_strerror() can say "a échoué", which the window would take for
// a stopped server. The usual errors get our own words; the rest keep Avahi's
// text unless it carries that word.
std::string describe(int error) {
    switch (error) {
    case AVAHI_ERR_INVALID_SERVICE_NAME:
        return "nom de service invalide";
    case AVAHI_ERR_INVALID_SERVICE_TYPE:
        return "type de service invalide";
    case AVAHI_ERR_INVALID_HOST_NAME:
        return "nom d'hôte invalide";
    case AVAHI_ERR_INVALID_DOMAIN_NAME:
        return "domaine invalide";
    case AVAHI_ERR_INVALID_PORT:
        return "port invalide";
    case AVAHI_ERR_COLLISION:
        return "nom déjà utilisé";
    case AVAHI_ERR_ACCESS_DENIED:
    case AVAHI_ERR_NOT_PERMITTED:
        return "accès refusé";
    case AVAHI_ERR_TOO_MANY_CLIENTS:
    case AVAHI_ERR_TOO_MANY_OBJECTS:
    case AVAHI_ERR_TOO_MANY_ENTRIES:
        return "trop d'entrées dans avahi-daemon";
    case AVAHI_ERR_NO_MEMORY:
        return "mémoire insuffisante";
    case AVAHI_ERR_NO_NETWORK:
        return "aucun réseau utilisable";
    case AVAHI_ERR_TIMEOUT:
        return "délai dépassé";
    case AVAHI_ERR_VERSION_MISMATCH:
        return "version d'avahi-daemon incompatible";
    case AVAHI_ERR_NO_DAEMON:
    case AVAHI_ERR_DISCONNECTED:
        return kDaemonUnreachable;
    default:
        break;
    }
    std::string text = avahi_strerror(error);
    if (text.empty() || text.find("échou") != std::string::npos) {
        return "erreur Avahi " + std::to_string(-error);
    }
    return text;
}

bool isNameProblem(int error) {
    return error == AVAHI_ERR_INVALID_SERVICE_NAME || error == AVAHI_ERR_INVALID_SERVICE_TYPE ||
           error == AVAHI_ERR_INVALID_HOST_NAME || error == AVAHI_ERR_INVALID_DOMAIN_NAME ||
           error == AVAHI_ERR_COLLISION;
}

// Errors that only mean the daemon or the bus went away in the middle of a
// call: the client's own state report follows and says so once.
bool isConnectionLoss(int error) {
    return error == AVAHI_ERR_DISCONNECTED || error == AVAHI_ERR_NO_DAEMON ||
           error == AVAHI_ERR_DBUS_ERROR || error == AVAHI_ERR_BAD_STATE;
}

std::string refusal(int error) {
    return (isNameProblem(error) ? "nom refusé: " : "enregistrement refusé: ") + describe(error);
}

// Everything one advertisement needs, shared by the owner's thread and the
// Avahi event loop thread. Before the loop thread starts and after it has
// stopped, only the owner touches it; in between, every field below the
// constants is guarded by the loop's lock (held by Avahi around callbacks).
class AvahiAdvertisement {
public:
    AvahiAdvertisement(std::string name, std::string type, std::uint16_t port,
                       ServiceAdvertiser::ProblemHandler onProblem,
                       std::chrono::milliseconds busRetryDelay)
        : type_(std::move(type)), port_(port), onProblem_(std::move(onProblem)),
          busRetryDelay_(busRetryDelay), name_(std::move(name)) {}

    ~AvahiAdvertisement() { shutDown(); }
    AvahiAdvertisement(const AvahiAdvertisement&) = delete;
    AvahiAdvertisement& operator=(const AvahiAdvertisement&) = delete;

    // Starts the loop thread. The first connection is made on that thread,
    // so the caller (the work queue) never waits on D-Bus.
    void start() {
        poll_ = avahi_threaded_poll_new();
        if (!poll_) {
            report("enregistrement refusé: " + describe(AVAHI_ERR_NO_MEMORY));
            return;
        }
        scheduleConnect(0ms);
        if (avahi_threaded_poll_start(poll_) < 0) {
            report("enregistrement refusé: fil Avahi impossible à lancer");
            freeAll();
        }
    }

    bool isInsideCallback() const { return tlsCallbackOwner == this; }

    // From inside one of our callbacks: the loop's lock is already held and
    // the loop must keep running until the callback returns, so the service
    // is withdrawn now and the loop is left for shutDown() on another thread.
    void withdrawFromCallback() {
        if (isWithdrawn_) {
            return;
        }
        isWithdrawn_ = true;
        cancelConnect();
        if (group_) {
            avahi_entry_group_reset(group_);
        }
    }

    // Withdraws the service and frees everything. Not from inside one of our
    // callbacks (the loop cannot join itself).
    void shutDown() {
        if (!poll_) {
            return;
        }
        avahi_threaded_poll_lock(poll_);
        isWithdrawn_ = true;
        avahi_threaded_poll_unlock(poll_);
        avahi_threaded_poll_stop(poll_);
        // Freeing the client closes its bus connection before it frees the
        // entry group, so no call waits on a daemon that might be hung; the
        // daemon sees our bus name vanish and withdraws the service itself.
        freeAll();
    }

private:
    static void onClientState(AvahiClient* client, AvahiClientState state, void* userdata) {
        auto* self = static_cast<AvahiAdvertisement*>(userdata);
        CallbackScope scope(self);
        self->clientState(client, state);
    }

    static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
        auto* self = static_cast<AvahiAdvertisement*>(userdata);
        CallbackScope scope(self);
        self->groupState(group, state);
    }

    static void onConnectTime(AvahiTimeout* timeout, void* userdata) {
        auto* self = static_cast<AvahiAdvertisement*>(userdata);
        CallbackScope scope(self);
        avahi_threaded_poll_get(self->poll_)->timeout_update(timeout, nullptr);
        if (!self->isWithdrawn_) {
            self->connect();
        }
    }

    // On the loop thread. Replaces a client that failed (never freed inside
    // its own callback, where Avahi still uses it) with a new one.
    // AVAHI_CLIENT_NO_FAIL makes a missing daemon a waiting state rather than
    // an error, and the client registers by itself when the daemon appears.
    void connect() {
        if (client_) {
            avahi_client_free(client_);
            client_ = nullptr;
            group_ = nullptr; // freed with its client
        }
        int error = AVAHI_OK;
        AvahiClient* client = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                                               &onClientState, this, &error);
        if (!client) {
            // Even with NO_FAIL this fails when the system bus itself cannot
            // be reached; nothing will tell us when it comes back, so poll.
            client_ = nullptr;
            group_ = nullptr;
            report(isConnectionLoss(error) ? kBusUnreachable
                                           : kDaemonUnreachable + ": " + describe(error));
            scheduleConnect(busRetryDelay_);
            return;
        }
        client_ = client;
    }

    void clientState(AvahiClient* client, AvahiClientState state) {
        // Also called from inside avahi_client_new(), before it returns.
        client_ = client;
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            // The outage, if any, is over: the next one is reported again.
            failuresInARow_ = 0;
            lastReport_.clear();
            registerService();
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The daemon is (re)establishing its host name and has dropped
            // our records; they go back in when it is running again.
            if (group_) {
                avahi_entry_group_reset(group_);
            }
            break;
        case AVAHI_CLIENT_CONNECTING:
            report(kDaemonUnreachable);
            break;
        case AVAHI_CLIENT_FAILURE: {
            // The daemon or the bus went away; this client is finished.
            // Replace it at once the first time (it then waits for the
            // daemon, or reports a missing bus), later ones after a pause so
            // a persistent failure cannot spin.
            const int error = avahi_client_errno(client);
            group_ = nullptr; // freed with its client
            ++failuresInARow_;
            if (!isConnectionLoss(error)) {
                report(kDaemonUnreachable + ": " + describe(error));
            }
            scheduleConnect(failuresInARow_ == 1 ? 0ms : busRetryDelay_);
            break;
        }
        }
    }

    void groupState(AvahiEntryGroup* group, AvahiEntryGroupState state) {
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            renames_ = 0;
            lastReport_.clear();
            break;
        case AVAHI_ENTRY_GROUP_COLLISION:
            // Someone else on the network holds the name: take Avahi's
            // alternative and register again. This is not a problem to report.
            group_ = group;
            if (takeAlternativeName()) {
                registerService();
            }
            break;
        case AVAHI_ENTRY_GROUP_FAILURE: {
            const int error = avahi_client_errno(avahi_entry_group_get_client(group));
            if (!isConnectionLoss(error)) {
                report(refusal(error));
            }
            break;
        }
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
        }
    }

    void registerService() {
        if (isWithdrawn_ || !client_) {
            return;
        }
        if (group_) {
            avahi_entry_group_reset(group_);
        } else {
            group_ = avahi_entry_group_new(client_, &onGroupState, this);
            if (!group_) {
                reportRefusal(avahi_client_errno(client_));
                return;
            }
        }
        for (;;) {
            // Every interface and protocol the daemon serves, its default
            // domain and host, and no TXT record.
            const int result = avahi_entry_group_add_service_strlst(
                group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
                name_.c_str(), type_.c_str(), nullptr, nullptr, port_, nullptr);
            if (result == AVAHI_ERR_COLLISION) {
                // The name is already registered on this very daemon (another
                // advertiser, another program): same remedy as on the network.
                if (!takeAlternativeName()) {
                    return;
                }
                avahi_entry_group_reset(group_);
                continue;
            }
            if (result < 0) {
                reportRefusal(result);
                return;
            }
            break;
        }
        const int result = avahi_entry_group_commit(group_);
        if (result < 0) {
            reportRefusal(result);
        }
    }

    bool takeAlternativeName() {
        if (++renames_ > kMaxRenames) {
            report("nom refusé: " + describe(AVAHI_ERR_COLLISION));
            return false;
        }
        char* alternative = avahi_alternative_service_name(name_.c_str());
        if (!alternative) {
            report("nom refusé: " + describe(AVAHI_ERR_NO_MEMORY));
            return false;
        }
        name_ = alternative;
        avahi_free(alternative);
        return true;
    }

    void reportRefusal(int error) {
        if (!isConnectionLoss(error)) {
            report(refusal(error));
        }
    }

    void scheduleConnect(std::chrono::milliseconds delay) {
        const AvahiPoll* api = avahi_threaded_poll_get(poll_);
        struct timeval when {};
        avahi_elapse_time(&when, static_cast<unsigned>(delay.count()), 0);
        if (connectTimer_) {
            api->timeout_update(connectTimer_, &when);
        } else {
            connectTimer_ = api->timeout_new(api, &when, &onConnectTime, this);
        }
    }

    void cancelConnect() {
        if (connectTimer_) {
            avahi_threaded_poll_get(poll_)->timeout_update(connectTimer_, nullptr);
        }
    }

    // Once per outage: the same reason twice in a row is said once.
    void report(const std::string& reason) {
        if (isWithdrawn_ || reason == lastReport_) {
            return;
        }
        lastReport_ = reason;
        if (!onProblem_) {
            return;
        }
        // An exception must not unwind through Avahi's C frames.
        try {
            onProblem_(reason);
        } catch (...) {
        }
    }

    // With the loop thread stopped (or never started).
    void freeAll() {
        if (!poll_) {
            return;
        }
        if (connectTimer_) {
            avahi_threaded_poll_get(poll_)->timeout_free(connectTimer_);
            connectTimer_ = nullptr;
        }
        if (client_) {
            avahi_client_free(client_);
            client_ = nullptr;
            group_ = nullptr;
        }
        avahi_threaded_poll_free(poll_);
        poll_ = nullptr;
    }

    const std::string type_;
    const std::uint16_t port_;
    const ServiceAdvertiser::ProblemHandler onProblem_;
    const std::chrono::milliseconds busRetryDelay_;

    std::string name_;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
    AvahiTimeout* connectTimer_ = nullptr;
    bool isWithdrawn_ = false;
    int failuresInARow_ = 0;
    int renames_ = 0;
    std::string lastReport_;
};

class AvahiServiceAdvertiser final : public ServiceAdvertiser {
public:
    explicit AvahiServiceAdvertiser(std::unique_ptr<AvahiAdvertisement> advertisement)
        : advertisement_(std::move(advertisement)) {}

    ~AvahiServiceAdvertiser() override { finish(true); }

    void withdraw() override { finish(false); }

private:
    void finish(bool isDestroying) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!advertisement_) {
            return;
        }
        if (!advertisement_->isInsideCallback()) {
            advertisement_->shutDown();
            advertisement_.reset();
            return;
        }
        // Called by our own problem handler, on the loop thread.
        advertisement_->withdrawFromCallback();
        if (!isDestroying) {
            return; // the destructor, later and elsewhere, stops the loop
        }
        // Going away from inside the loop: another thread stops and frees
        // it once this callback has returned and released the loop's lock.
        // Released first: if no thread can be had, the advertisement must
        // not be destroyed here either, so it leaks, which beats a crash or a
        // hang.
        AvahiAdvertisement* advertisement = advertisement_.release();
        try {
            std::thread([advertisement] { delete advertisement; }).detach();
        } catch (...) {
        }
    }

    std::mutex mutex_;
    std::unique_ptr<AvahiAdvertisement> advertisement_;
};

} // namespace

AvahiServiceAdvertiserFactory::AvahiServiceAdvertiserFactory(
    std::chrono::milliseconds busRetryDelay)
    : busRetryDelay_(busRetryDelay) {}

std::unique_ptr<ServiceAdvertiser>
AvahiServiceAdvertiserFactory::advertise(const std::string& name, const std::string& type,
                                         std::uint16_t port,
                                         ServiceAdvertiser::ProblemHandler onProblem) {
    auto advertisement = std::make_unique<AvahiAdvertisement>(name, type, port,
                                                              std::move(onProblem), busRetryDelay_);
    advertisement->start();
    return std::make_unique<AvahiServiceAdvertiser>(std::move(advertisement));
}

} // namespace quorvi
