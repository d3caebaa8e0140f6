#pragma once

#include "platform/DisplayLayout.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct wl_display;
struct wl_interface;
struct wl_output;
struct wl_registry;
struct zxdg_output_manager_v1;

namespace quorvi::wayland {

// One output as the compositor describes it. The layout values come from
// xdg-output (logical pixels); until the compositor has sent them the
// output is not complete and is left out of the layout.
struct Output {
    // The registry name of the output's global: it stays the same while the
    // output exists and is never reused for another one in this session.
    std::uint32_t registryName = 0;
    // The compositor's name of the output ("HEADLESS-1", "DP-2").
    std::string name;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t logicalWidth = 0;
    std::int32_t logicalHeight = 0;
    std::int32_t pixelsWide = 0;
    std::int32_t pixelsHigh = 0;
    bool isComplete = false;
};

// A global the compositor advertises.
struct Global {
    std::uint32_t registryName = 0;
    std::string interfaceName;
    std::uint32_t version = 0;
};

// A connection to the Wayland compositor of $WAYLAND_DISPLAY, with the
// globals it advertises and its outputs kept current as events arrive.
// Events are read only when the owner asks (dispatch, roundtrip), so the
// state changes only inside those calls. A compositor that goes away or
// sends a protocol error leaves the connection dead (isAlive() false)
// without ending the process; the owner opens a new one.
//
// Thread: one thread at a time; each adapter owns its own connection, so
// no Wayland object is ever shared between threads.
class Connection {
public:
    // The connection, or nullptr with the reason in French: no Wayland
    // session, or a compositor that does not answer within the timeout.
    static std::unique_ptr<Connection> open(std::string& whyNot);

    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    wl_display* display() const { return display_; }
    bool isAlive() const;

    bool hasGlobal(std::string_view interfaceName) const;
    // Binds the first global of that interface at the lower of its version
    // and maxVersion; nullptr when the compositor has none (or it is
    // older than minVersion). The caller owns the proxy.
    void* bind(const wl_interface& interface, std::uint32_t minVersion, std::uint32_t maxVersion);

    // The outputs in the order the compositor announced them.
    const std::vector<Output>& outputs() const { return outputs_; }
    // Complete outputs in the global display space (main at (0, 0)).
    GlobalDisplayLayout layout() const;
    // The output's proxy, for requests about it; nullptr when unknown.
    wl_output* outputProxy(std::uint32_t registryName) const;

    // Sends the queued requests, then handles whatever has already arrived,
    // without waiting. False once the connection is dead.
    bool dispatchPending();
    // Sends the queued requests and waits up to timeout for events, then
    // handles them. False once the connection is dead.
    bool dispatchFor(std::chrono::milliseconds timeout);
    // Sends the queued requests and waits until the compositor has handled
    // them and every event they caused has been handled here. False when
    // the connection died or the compositor did not answer in time (a hung
    // compositor must not hang us).
    bool roundtrip(std::chrono::milliseconds timeout = std::chrono::seconds(2));

private:
    struct OutputProxies;

    Connection() = default;
    void addGlobal(std::uint32_t name, const char* interface, std::uint32_t version);
    void removeGlobal(std::uint32_t name);
    void watchOutput(std::uint32_t registryName, std::uint32_t version);
    void describeOutputLayout(OutputProxies& proxies);
    Output* findOutput(std::uint32_t registryName);

    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    zxdg_output_manager_v1* xdgOutputManager_ = nullptr;
    std::vector<Global> globals_;
    bool hasUndescribedOutputs_ = false;
    std::vector<Output> outputs_;
    // Stable addresses: the listeners hold pointers to them.
    std::vector<std::unique_ptr<OutputProxies>> outputProxies_;

    friend struct Listeners;
};

} // namespace quorvi::wayland
