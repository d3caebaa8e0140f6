#include "platform/linux/gnome/GnomeVirtualDisplayBackend.h"

#include "platform/MonitorConfiguration.h"
#include "platform/linux/gnome/DBusConnection.h"
#include "platform/linux/gnome/GnomeDisplayServices.h"
#include "platform/linux/gnome/MutterSession.h"
#include "platform/linux/gnome/PipeWireVideoStream.h"
#include "platform/linux/gnome/VirtualMonitorStreams.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <systemd/sd-bus.h>
#include <thread>

namespace quorvi {

namespace {

// Mutter makes the monitor once our stream agreed on its size, and lists it
// in its display configuration a moment later.
constexpr auto kMonitorTimeout = std::chrono::seconds(3);
constexpr auto kMonitorPollInterval = std::chrono::milliseconds(20);
// ApplyMonitorsConfig's method: for this session only, never written to the
// user's monitors.xml.
constexpr std::uint32_t kTemporaryConfiguration = 1;
constexpr double kHiDPIScale = 2;

std::set<std::string> connectorsOf(const MonitorConfiguration& configuration) {
    std::set<std::string> connectors;
    for (const PhysicalMonitor& monitor : configuration.monitors) {
        connectors.insert(monitor.identity.connector);
    }
    return connectors;
}

// Sends Mutter its current configuration with the logical monitor showing
// connector changed by change; false with Mutter's reason.
template <typename Change>
bool reconfigure(dbus::Connection& bus, const MonitorConfiguration& configuration,
                 const std::string& connector, Change change, std::string& error) {
    std::vector<LogicalMonitor> logicalMonitors = configuration.logicalMonitors;
    bool isFound = false;
    for (LogicalMonitor& logical : logicalMonitors) {
        if (std::find(logical.connectors.begin(), logical.connectors.end(), connector) !=
            logical.connectors.end()) {
            change(logical);
            isFound = true;
        }
    }
    if (!isFound) {
        error = "écran virtuel absent de la configuration";
        return false;
    }
    const auto modeOf = [&](const std::string& name) -> std::string {
        for (const PhysicalMonitor& monitor : configuration.monitors) {
            if (monitor.identity.connector == name && monitor.currentMode) {
                return monitor.currentMode->id;
            }
        }
        return "";
    };
    const auto arguments = [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "uu", configuration.serial, kTemporaryConfiguration);
        r = r < 0 ? r : sd_bus_message_open_container(m, 'a', "(iiduba(ssa{sv}))");
        for (const LogicalMonitor& logical : logicalMonitors) {
            r = r < 0 ? r : sd_bus_message_open_container(m, 'r', "iiduba(ssa{sv})");
            r = r < 0 ? r
                      : sd_bus_message_append(m, "iidub", logical.x, logical.y, logical.scale,
                                              logical.transform, logical.isPrimary ? 1 : 0);
            r = r < 0 ? r : sd_bus_message_open_container(m, 'a', "(ssa{sv})");
            for (const std::string& name : logical.connectors) {
                const std::string mode = modeOf(name);
                r = r < 0 ? r
                          : sd_bus_message_append(m, "(ssa{sv})", name.c_str(), mode.c_str(), 0);
            }
            r = r < 0 ? r : sd_bus_message_close_container(m);
            r = r < 0 ? r : sd_bus_message_close_container(m);
        }
        r = r < 0 ? r : sd_bus_message_close_container(m);
        return r < 0 ? r : sd_bus_message_append(m, "a{sv}", 0);
    };
    return static_cast<bool>(
        bus.call("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                 "org.gnome.Mutter.DisplayConfig", "ApplyMonitorsConfig", error, arguments));
}

// One virtual monitor: the session that records it, the stream that keeps
// it alive, and its place in the registry the capture reads.
//
// Thread: any, one caller at a time (the controller's lock).
class GnomeVirtualDisplay final : public VirtualDisplay {
public:
    GnomeVirtualDisplay(std::shared_ptr<GnomeDisplayServices> displays,
                        std::shared_ptr<gnome::VirtualMonitorStreams> registry,
                        std::unique_ptr<gnome::MutterSession> session,
                        std::shared_ptr<gnome::PipeWireVideoStream> stream,
                        std::unique_ptr<dbus::Connection> bus, std::string connector, DisplayID id)
        : displays_(std::move(displays)), registry_(std::move(registry)),
          session_(std::move(session)), stream_(std::move(stream)), bus_(std::move(bus)),
          connector_(std::move(connector)), id_(id) {
        registry_->add(id_, stream_);
    }

    ~GnomeVirtualDisplay() override {
        // The capture stops finding the stream first; ending the session
        // then removes the monitor.
        registry_->remove(id_);
        stream_.reset();
        session_.reset();
    }

    DisplayID displayID() override { return id_; }

    void moveTo(std::int32_t x, std::int32_t y) override {
        const GlobalDisplayLayout layout = displays_->layout();
        const auto layoutX = static_cast<std::int32_t>(x + layout.origin.x);
        const auto layoutY = static_cast<std::int32_t>(y + layout.origin.y);
        std::string error;
        reconfigure(
            *bus_, displays_->configuration(), connector_,
            [&](LogicalMonitor& logical) {
                logical.x = layoutX;
                logical.y = layoutY;
            },
            error);
    }

private:
    std::shared_ptr<GnomeDisplayServices> displays_;
    std::shared_ptr<gnome::VirtualMonitorStreams> registry_;
    std::unique_ptr<gnome::MutterSession> session_;
    std::shared_ptr<gnome::PipeWireVideoStream> stream_;
    std::unique_ptr<dbus::Connection> bus_;
    std::string connector_;
    DisplayID id_;
};

} // namespace

GnomeVirtualDisplayBackend::GnomeVirtualDisplayBackend(
    std::shared_ptr<GnomeDisplayServices> displays,
    std::shared_ptr<gnome::VirtualMonitorStreams> streams)
    : displays_(std::move(displays)), streams_(std::move(streams)) {}

VirtualDisplayCreation
GnomeVirtualDisplayBackend::create(const VirtualDisplayDescriptor& descriptor,
                                   const VirtualDisplaySettings& settings) {
    using Failure = VirtualDisplayCreation::Failure;
    std::lock_guard lock(mutex_);
    const auto size = virtualDisplayPixelSize(descriptor, settings);
    if (!size || size->wide <= 0 || size->high <= 0 || size->wide > 16384 || size->high > 16384) {
        return VirtualDisplayCreation::failed(Failure::creationFailed, "taille invalide");
    }
    std::string error;
    auto bus = dbus::Connection::openSessionBus(error);
    if (bus == nullptr || !bus->hasOwner("org.gnome.Mutter.RemoteDesktop")) {
        return VirtualDisplayCreation::failed(Failure::unavailable,
                                              "service de bureau à distance de GNOME injoignable");
    }
    const std::set<std::string> before = connectorsOf(displays_->configuration());

    auto session = gnome::MutterSession::create(gnome::MutterSession::Kind::screenCast, error);
    if (session == nullptr) {
        return VirtualDisplayCreation::failed(Failure::unavailable, error);
    }
    const auto streamIndex = session->recordVirtual(error);
    if (!streamIndex || !session->start(error)) {
        return VirtualDisplayCreation::failed(Failure::creationFailed,
                                              "écran virtuel refusé par GNOME (" + error + ")");
    }
    const gnome::PictureSize pictureSize{static_cast<int>(size->wide),
                                         static_cast<int>(size->high)};
    auto stream = gnome::PipeWireVideoStream::connectWithPicture(
        *session->stream(*streamIndex).pipeWireNode, pictureSize, error);
    if (stream == nullptr) {
        return VirtualDisplayCreation::failed(Failure::creationFailed, error);
    }

    // Ours is the monitor that was not there before.
    std::string connector;
    const auto deadline = std::chrono::steady_clock::now() + kMonitorTimeout;
    while (connector.empty() && std::chrono::steady_clock::now() < deadline) {
        for (const std::string& name : connectorsOf(displays_->configuration())) {
            if (before.count(name) == 0) {
                connector = name;
            }
        }
        if (connector.empty()) {
            std::this_thread::sleep_for(kMonitorPollInterval);
        }
    }
    if (connector.empty()) {
        const auto ended = stream->endReason();
        return VirtualDisplayCreation::failed(Failure::creationFailed,
                                              "l'écran virtuel n'est pas apparu" +
                                                  (ended ? " (" + *ended + ")" : std::string()));
    }
    // Two pixels per point, as on every desktop. Mutter may refuse the scale
    // for a monitor too small for it; the display then keeps scale 1.
    if (settings.isHiDPI) {
        reconfigure(
            *bus, displays_->configuration(), connector,
            [](LogicalMonitor& logical) { logical.scale = kHiDPIScale; }, error);
    }
    const DisplayID id = displays_->displayOnConnector(connector);
    if (id == 0) {
        return VirtualDisplayCreation::failed(Failure::creationFailed,
                                              "écran virtuel sans identifiant");
    }
    VirtualDisplayCreation creation;
    creation.display = std::make_unique<GnomeVirtualDisplay>(
        displays_, streams_, std::move(session), std::move(stream), std::move(bus), connector, id);
    return creation;
}

} // namespace quorvi
