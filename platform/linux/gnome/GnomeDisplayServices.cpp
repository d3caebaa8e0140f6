#include "platform/linux/gnome/GnomeDisplayServices.h"

#include "platform/linux/gnome/GnomeBackend.h"

#include <cstdlib>
#include <functional>
#include <systemd/sd-bus.h>

namespace quorvi {

namespace {

constexpr const char* kDisplayConfigName = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";
// Change signals are read this often: fresh enough for several questions per
// frame without a look at the socket on each.
constexpr auto kProcessInterval = std::chrono::milliseconds(5);
constexpr auto kReconnectInterval = std::chrono::seconds(1);
// While Mutter does not answer, asking on every call would cost a round trip
// per question.
constexpr auto kRetryInterval = std::chrono::milliseconds(250);
constexpr auto kCallTimeout = std::chrono::seconds(2);

// Walks a dictionary of variants, handing each key to readValue, which reads
// or skips the variant after it. A negative sd-bus result on failure.
int readDictionary(sd_bus_message* message,
                   const std::function<int(const std::string& key)>& readValue) {
    int result = sd_bus_message_enter_container(message, 'a', "{sv}");
    if (result < 0) {
        return result;
    }
    while ((result = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        const char* key = nullptr;
        if ((result = sd_bus_message_read(message, "s", &key)) < 0 ||
            (result = readValue(key)) < 0 ||
            (result = sd_bus_message_exit_container(message)) < 0) {
            return result;
        }
    }
    return result < 0 ? result : sd_bus_message_exit_container(message);
}

// One monitor: ((ssss) a(siiddada{sv}) a{sv}), its modes after its identity.
std::optional<PhysicalMonitor> readMonitor(sd_bus_message* message) {
    const char* connector = nullptr;
    const char* vendor = nullptr;
    const char* product = nullptr;
    const char* serial = nullptr;
    if (sd_bus_message_read(message, "(ssss)", &connector, &vendor, &product, &serial) < 0 ||
        sd_bus_message_enter_container(message, 'a', "(siiddada{sv})") < 0) {
        return std::nullopt;
    }
    PhysicalMonitor monitor{{connector, vendor, product, serial}, std::nullopt};
    int result = 0;
    while ((result = sd_bus_message_enter_container(message, 'r', "siiddada{sv}")) > 0) {
        const char* id = nullptr;
        std::int32_t width = 0;
        std::int32_t height = 0;
        double refreshRate = 0;
        double preferredScale = 0;
        int isCurrent = 0;
        const auto readFlags = [&](const std::string& key) {
            return key == "is-current" ? sd_bus_message_read(message, "v", "b", &isCurrent)
                                       : sd_bus_message_skip(message, "v");
        };
        if (sd_bus_message_read(message, "siidd", &id, &width, &height, &refreshRate,
                                &preferredScale) < 0 ||
            sd_bus_message_skip(message, "ad") < 0 || readDictionary(message, readFlags) < 0 ||
            sd_bus_message_exit_container(message) < 0) {
            return std::nullopt;
        }
        if (isCurrent != 0) {
            monitor.currentMode = PhysicalMonitor::Mode{id, width, height};
        }
    }
    if (result < 0 || sd_bus_message_exit_container(message) < 0 ||
        sd_bus_message_skip(message, "a{sv}") < 0) {
        return std::nullopt;
    }
    return monitor;
}

// One logical monitor: (iiduba(ssss)a{sv}).
std::optional<LogicalMonitor> readLogicalMonitor(sd_bus_message* message) {
    LogicalMonitor logical;
    int isPrimary = 0;
    if (sd_bus_message_read(message, "iidub", &logical.x, &logical.y, &logical.scale,
                            &logical.transform, &isPrimary) < 0 ||
        sd_bus_message_enter_container(message, 'a', "(ssss)") < 0) {
        return std::nullopt;
    }
    logical.isPrimary = isPrimary != 0;
    const char* parts[4] = {};
    int result = 0;
    while ((result = sd_bus_message_read(message, "(ssss)", &parts[0], &parts[1], &parts[2],
                                         &parts[3])) > 0) {
        logical.connectors.emplace_back(parts[0]);
    }
    if (result < 0 || sd_bus_message_exit_container(message) < 0 ||
        sd_bus_message_skip(message, "a{sv}") < 0) {
        return std::nullopt;
    }
    return logical;
}

// The reply of GetCurrentState: (u a(monitor) a(logical monitor) a{sv}).
std::optional<MonitorConfiguration> readCurrentState(sd_bus_message* message) {
    MonitorConfiguration configuration;
    if (sd_bus_message_read(message, "u", &configuration.serial) < 0 ||
        sd_bus_message_enter_container(message, 'a', "((ssss)a(siiddada{sv})a{sv})") < 0) {
        return std::nullopt;
    }
    int result = 0;
    while ((result = sd_bus_message_enter_container(message, 'r', "(ssss)a(siiddada{sv})a{sv}")) >
           0) {
        auto monitor = readMonitor(message);
        if (!monitor || sd_bus_message_exit_container(message) < 0) {
            return std::nullopt;
        }
        configuration.monitors.push_back(std::move(*monitor));
    }
    if (result < 0 || sd_bus_message_exit_container(message) < 0 ||
        sd_bus_message_enter_container(message, 'a', "(iiduba(ssss)a{sv})") < 0) {
        return std::nullopt;
    }
    while ((result = sd_bus_message_enter_container(message, 'r', "iiduba(ssss)a{sv}")) > 0) {
        auto logical = readLogicalMonitor(message);
        if (!logical || sd_bus_message_exit_container(message) < 0) {
            return std::nullopt;
        }
        configuration.logicalMonitors.push_back(std::move(*logical));
    }
    std::uint32_t layoutMode = static_cast<std::uint32_t>(configuration.layoutMode);
    const auto readProperty = [&](const std::string& key) {
        return key == "layout-mode" ? sd_bus_message_read(message, "v", "u", &layoutMode)
                                    : sd_bus_message_skip(message, "v");
    };
    if (result < 0 || sd_bus_message_exit_container(message) < 0 ||
        readDictionary(message, readProperty) < 0) {
        return std::nullopt;
    }
    if (layoutMode == static_cast<std::uint32_t>(MonitorLayoutMode::logical)) {
        configuration.layoutMode = MonitorLayoutMode::logical;
    }
    return configuration;
}

} // namespace

GnomeDisplayServices::GnomeDisplayServices() = default;
GnomeDisplayServices::~GnomeDisplayServices() = default;

bool GnomeDisplayServices::connect(Clock::time_point now) {
    if (lastConnectAttempt_ && now - *lastConnectAttempt_ < kReconnectInterval) {
        return false;
    }
    lastConnectAttempt_ = now;
    std::string error;
    bus_ = dbus::Connection::openSessionBus(error);
    if (bus_ == nullptr) {
        return false;
    }
    // Subscribed before the first read, so that no change slips between.
    if (!bus_->subscribe(kDisplayConfigName, kDisplayConfigPath, kDisplayConfigName,
                         "MonitorsChanged", [this](sd_bus_message*) { isStale_ = true; })) {
        bus_.reset();
        return false;
    }
    isStale_ = true;
    lastFailedRead_.reset();
    lastProcess_ = now;
    return true;
}

void GnomeDisplayServices::disconnect() {
    bus_.reset();
    configuration_.reset();
    layout_ = {};
}

void GnomeDisplayServices::read(Clock::time_point now) {
    isStale_ = false;
    std::string error;
    dbus::Message reply = bus_->call(kDisplayConfigName, kDisplayConfigPath, kDisplayConfigName,
                                     "GetCurrentState", error, {}, kCallTimeout);
    auto configuration = reply ? readCurrentState(reply.get()) : std::nullopt;
    if (!configuration) {
        configuration_.reset();
        layout_ = {};
        lastFailedRead_ = now;
        if (!bus_->isOpen()) {
            disconnect();
        }
        return;
    }
    lastFailedRead_.reset();
    layout_ = monitorLayout(*configuration);
    configuration_ = std::move(configuration);
}

const MonitorLayout& GnomeDisplayServices::current(bool fresh) {
    const auto now = Clock::now();
    if (bus_ != nullptr && (fresh || now - lastProcess_ >= kProcessInterval)) {
        lastProcess_ = now;
        if (!bus_->process()) {
            disconnect();
        }
    }
    if (bus_ == nullptr && !connect(now)) {
        return layout_;
    }
    const bool mayRetry = !lastFailedRead_ || now - *lastFailedRead_ >= kRetryInterval;
    if (fresh || isStale_ || (!configuration_ && mayRetry)) {
        read(now);
    }
    return layout_;
}

GlobalDisplayLayout GnomeDisplayServices::layout() {
    std::lock_guard lock(mutex_);
    return current(false).global;
}

std::optional<LaidOutDisplay> GnomeDisplayServices::find(DisplayID id) {
    for (const LaidOutDisplay& display : layout().displays) {
        if (display.id == id) {
            return display;
        }
    }
    return std::nullopt;
}

DisplayID GnomeDisplayServices::mainDisplayID() {
    return layout().mainID;
}

DisplayRect GnomeDisplayServices::bounds(DisplayID id) {
    const auto display = find(id);
    return display ? display->rect : DisplayRect{};
}

std::size_t GnomeDisplayServices::pixelsWide(DisplayID id) {
    const auto display = find(id);
    return display ? display->pixelsWide : 0;
}

std::size_t GnomeDisplayServices::pixelsHigh(DisplayID id) {
    const auto display = find(id);
    return display ? display->pixelsHigh : 0;
}

std::vector<DisplayID> GnomeDisplayServices::onlineDisplayIDs() {
    std::vector<DisplayID> ids;
    for (const LaidOutDisplay& display : layout().displays) {
        ids.push_back(display.id);
    }
    return ids;
}

std::optional<DisplayPoint> GnomeDisplayServices::pointerLocation() {
    return std::nullopt;
}

std::optional<std::string> GnomeDisplayServices::connectorOf(DisplayID id) {
    std::lock_guard lock(mutex_);
    const MonitorLayout& layout = current(false);
    const auto found = layout.connectors.find(id);
    return found != layout.connectors.end() ? std::optional(found->second) : std::nullopt;
}

DisplayID GnomeDisplayServices::displayOnConnector(const std::string& connector) {
    std::lock_guard lock(mutex_);
    for (const auto& [id, shown] : current(true).connectors) {
        if (shown == connector) {
            return id;
        }
    }
    return 0;
}

MonitorConfiguration GnomeDisplayServices::configuration() {
    std::lock_guard lock(mutex_);
    current(true);
    return configuration_.value_or(MonitorConfiguration{});
}

std::uint32_t GnomeDisplayServices::serial() {
    std::lock_guard lock(mutex_);
    current(false);
    return configuration_ ? configuration_->serial : 0;
}

bool isGnomeDesktop() {
    const char* waylandDisplay = std::getenv("WAYLAND_DISPLAY");
    if (waylandDisplay == nullptr || *waylandDisplay == '\0') {
        return false;
    }
    std::string error;
    const auto bus = dbus::Connection::openSessionBus(error);
    return bus != nullptr && bus->hasOwner("org.gnome.Mutter.ScreenCast");
}

} // namespace quorvi
