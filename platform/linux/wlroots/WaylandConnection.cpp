#include "platform/linux/wlroots/WaylandConnection.h"

#include "xdg-output-unstable-v1-client-protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <wayland-client.h>

namespace quorvi::wayland {

namespace {

constexpr std::uint32_t kOutputVersion = 4;
constexpr std::uint32_t kXdgOutputManagerVersion = 3;

bool hasWaylandSession() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* socket = std::getenv("WAYLAND_SOCKET");
    return (display != nullptr && *display != '\0') || (socket != nullptr && *socket != '\0');
}

} // namespace

// The proxies that describe one output, and the listeners' way back to it.
struct Connection::OutputProxies {
    Connection* owner = nullptr;
    std::uint32_t registryName = 0;
    wl_output* output = nullptr;
    zxdg_output_v1* xdgOutput = nullptr;
    bool hasMode = false;
    bool hasLogicalSize = false;
};

// The C callbacks of libwayland, turned into calls on the connection.
struct Listeners {
    static void global(void* data, wl_registry*, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
        static_cast<Connection*>(data)->addGlobal(name, interface, version);
    }
    static void globalRemove(void* data, wl_registry*, std::uint32_t name) {
        static_cast<Connection*>(data)->removeGlobal(name);
    }
    static constexpr wl_registry_listener registry{global, globalRemove};

    static Output* outputOf(void* data) {
        auto* proxies = static_cast<Connection::OutputProxies*>(data);
        return proxies->owner->findOutput(proxies->registryName);
    }
    static void markCompleteIfKnown(void* data) {
        auto* proxies = static_cast<Connection::OutputProxies*>(data);
        if (Output* output = outputOf(data)) {
            output->isComplete = proxies->hasMode && proxies->hasLogicalSize;
        }
    }

    static void geometry(void*, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                         std::int32_t, const char*, const char*, std::int32_t) {}
    static void mode(void* data, wl_output*, std::uint32_t flags, std::int32_t width,
                     std::int32_t height, std::int32_t) {
        if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) {
            return;
        }
        if (Output* output = outputOf(data)) {
            output->pixelsWide = width;
            output->pixelsHigh = height;
            static_cast<Connection::OutputProxies*>(data)->hasMode = true;
        }
    }
    static void outputDone(void* data, wl_output*) { markCompleteIfKnown(data); }
    static void scale(void*, wl_output*, std::int32_t) {}
    static void outputName(void* data, wl_output*, const char* name) {
        if (Output* output = outputOf(data)) {
            output->name = name;
        }
    }
    static void description(void*, wl_output*, const char*) {}
    static constexpr wl_output_listener output{geometry, mode,       outputDone,
                                               scale,    outputName, description};

    static void logicalPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
        if (Output* output = outputOf(data)) {
            output->x = x;
            output->y = y;
        }
    }
    static void logicalSize(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
        if (Output* output = outputOf(data)) {
            output->logicalWidth = width;
            output->logicalHeight = height;
            static_cast<Connection::OutputProxies*>(data)->hasLogicalSize = true;
        }
    }
    // From version 3 on the compositor ends a change with wl_output.done
    // instead; both are taken as the end of a description.
    static void xdgDone(void* data, zxdg_output_v1*) { markCompleteIfKnown(data); }
    static void xdgName(void* data, zxdg_output_v1*, const char* name) {
        if (Output* output = outputOf(data)) {
            output->name = name;
        }
    }
    static void xdgDescription(void*, zxdg_output_v1*, const char*) {}
    static constexpr zxdg_output_v1_listener xdgOutput{logicalPosition, logicalSize, xdgDone,
                                                       xdgName, xdgDescription};

    static void syncDone(void* data, wl_callback*, std::uint32_t) {
        *static_cast<bool*>(data) = true;
    }
    static constexpr wl_callback_listener sync{syncDone};
};

std::unique_ptr<Connection> Connection::open(std::string& whyNot) {
    if (!hasWaylandSession()) {
        whyNot = "pas de session Wayland (WAYLAND_DISPLAY vide)";
        return nullptr;
    }
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) {
        whyNot = std::string("compositeur Wayland injoignable: ") + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<Connection> connection(new Connection);
    connection->display_ = display;
    connection->registry_ = wl_display_get_registry(display);
    wl_registry_add_listener(connection->registry_, &Listeners::registry, connection.get());
    // The first round trip brings the globals, the second the outputs'
    // descriptions their binding asked for.
    if (!connection->roundtrip() || !connection->roundtrip()) {
        whyNot = "le compositeur Wayland ne répond pas";
        return nullptr;
    }
    return connection;
}

Connection::~Connection() {
    for (const auto& proxies : outputProxies_) {
        if (proxies->xdgOutput != nullptr) {
            zxdg_output_v1_destroy(proxies->xdgOutput);
        }
        wl_output_destroy(proxies->output);
    }
    if (xdgOutputManager_ != nullptr) {
        zxdg_output_manager_v1_destroy(xdgOutputManager_);
    }
    if (registry_ != nullptr) {
        wl_registry_destroy(registry_);
    }
    if (display_ != nullptr) {
        wl_display_disconnect(display_);
    }
}

bool Connection::isAlive() const {
    return wl_display_get_error(display_) == 0;
}

bool Connection::hasGlobal(std::string_view interfaceName) const {
    return std::any_of(globals_.begin(), globals_.end(),
                       [&](const Global& g) { return g.interfaceName == interfaceName; });
}

void* Connection::bind(const wl_interface& interface, std::uint32_t minVersion,
                       std::uint32_t maxVersion) {
    for (const Global& global : globals_) {
        if (global.interfaceName == interface.name && global.version >= minVersion) {
            return wl_registry_bind(registry_, global.registryName, &interface,
                                    std::min(global.version, maxVersion));
        }
    }
    return nullptr;
}

GlobalDisplayLayout Connection::layout() const {
    std::vector<LaidOutDisplay> displays;
    for (const Output& output : outputs_) {
        if (!output.isComplete) {
            continue;
        }
        displays.push_back(
            {output.registryName,
             {static_cast<double>(output.x), static_cast<double>(output.y),
              static_cast<double>(output.logicalWidth), static_cast<double>(output.logicalHeight)},
             static_cast<std::size_t>(std::max(output.pixelsWide, 0)),
             static_cast<std::size_t>(std::max(output.pixelsHigh, 0))});
    }
    return globalDisplayLayout(displays);
}

wl_output* Connection::outputProxy(std::uint32_t registryName) const {
    for (const auto& proxies : outputProxies_) {
        if (proxies->registryName == registryName) {
            return proxies->output;
        }
    }
    return nullptr;
}

bool Connection::dispatchPending() {
    return dispatchFor(std::chrono::milliseconds(0));
}

bool Connection::dispatchFor(std::chrono::milliseconds timeout) {
    if (!isAlive()) {
        return false;
    }
    while (wl_display_prepare_read(display_) != 0) {
        if (wl_display_dispatch_pending(display_) < 0) {
            return false;
        }
    }
    // A full socket (EAGAIN) only delays our requests; the next call sends
    // them.
    if (wl_display_flush(display_) < 0 && errno != EAGAIN) {
        wl_display_cancel_read(display_);
        return false;
    }
    pollfd descriptor{wl_display_get_fd(display_), POLLIN, 0};
    const int ready = ::poll(&descriptor, 1, static_cast<int>(timeout.count()));
    if (ready > 0) {
        if (wl_display_read_events(display_) < 0) {
            return false;
        }
    } else {
        wl_display_cancel_read(display_);
    }
    if (wl_display_dispatch_pending(display_) < 0 || !isAlive()) {
        return false;
    }
    // An output announced just now is described only in answer to our
    // binding it; until then the layout would be missing it.
    if (hasUndescribedOutputs_) {
        hasUndescribedOutputs_ = false;
        return roundtrip();
    }
    return true;
}

bool Connection::roundtrip(std::chrono::milliseconds timeout) {
    bool done = false;
    wl_callback* callback = wl_display_sync(display_);
    wl_callback_add_listener(callback, &Listeners::sync, &done);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !dispatchFor(left)) {
            break;
        }
    }
    wl_callback_destroy(callback);
    return done;
}

void Connection::addGlobal(std::uint32_t name, const char* interface, std::uint32_t version) {
    globals_.push_back({name, interface, version});
    const std::string_view kind(interface);
    if (kind == wl_output_interface.name) {
        watchOutput(name, version);
    } else if (kind == zxdg_output_manager_v1_interface.name && xdgOutputManager_ == nullptr) {
        xdgOutputManager_ = static_cast<zxdg_output_manager_v1*>(
            wl_registry_bind(registry_, name, &zxdg_output_manager_v1_interface,
                             std::min(version, kXdgOutputManagerVersion)));
        // Outputs announced before the manager get their layout now.
        for (const auto& proxies : outputProxies_) {
            describeOutputLayout(*proxies);
        }
    }
}

void Connection::removeGlobal(std::uint32_t name) {
    std::erase_if(globals_, [&](const Global& g) { return g.registryName == name; });
    std::erase_if(outputs_, [&](const Output& o) { return o.registryName == name; });
    std::erase_if(outputProxies_, [&](const std::unique_ptr<OutputProxies>& proxies) {
        if (proxies->registryName != name) {
            return false;
        }
        if (proxies->xdgOutput != nullptr) {
            zxdg_output_v1_destroy(proxies->xdgOutput);
        }
        wl_output_destroy(proxies->output);
        return true;
    });
}

void Connection::watchOutput(std::uint32_t registryName, std::uint32_t version) {
    outputs_.push_back({.registryName = registryName});
    hasUndescribedOutputs_ = true;
    auto proxies = std::make_unique<OutputProxies>();
    proxies->owner = this;
    proxies->registryName = registryName;
    proxies->output = static_cast<wl_output*>(wl_registry_bind(
        registry_, registryName, &wl_output_interface, std::min(version, kOutputVersion)));
    wl_output_add_listener(proxies->output, &Listeners::output, proxies.get());
    describeOutputLayout(*proxies);
    outputProxies_.push_back(std::move(proxies));
}

void Connection::describeOutputLayout(OutputProxies& proxies) {
    if (xdgOutputManager_ == nullptr || proxies.xdgOutput != nullptr) {
        return;
    }
    proxies.xdgOutput = zxdg_output_manager_v1_get_xdg_output(xdgOutputManager_, proxies.output);
    zxdg_output_v1_add_listener(proxies.xdgOutput, &Listeners::xdgOutput, &proxies);
}

Output* Connection::findOutput(std::uint32_t registryName) {
    for (Output& output : outputs_) {
        if (output.registryName == registryName) {
            return &output;
        }
    }
    return nullptr;
}

} // namespace quorvi::wayland
