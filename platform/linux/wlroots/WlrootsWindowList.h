#pragma once

#include "capture/WindowListSource.h"
#include "platform/linux/wlroots/WaylandConnection.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct zwlr_foreign_toplevel_handle_v1;
struct zwlr_foreign_toplevel_manager_v1;

namespace quorvi {

// The app id our own windows carry on Wayland: the application sets it as
// its desktop file name, which Qt's Wayland platform passes on.
inline constexpr const char* kQuorviAppID = "brenholt.quorvi.mac";

// The windows of a wlroots compositor, for the capture visibility probe:
// its list of toplevels (wlr-foreign-toplevel), without the minimized ones.
// A window's application is its app id; it belongs to this application when
// that app id is ours. The protocol names no process, so none is given.
//
// The compositor announces each toplevel once and then only its changes, so
// the list is kept between calls on a connection of its own, and each call
// brings it up to date with a bounded round trip. A compositor that went
// away (or never answered) is met anew by the next call; meanwhile the call
// returns a French error text.
//
// Thread: any; the call blocks on the compositor, and a mutex serializes
// calls.
class WlrootsWindowList final : public WindowListSource {
public:
    explicit WlrootsWindowList(std::string ourAppID = kQuorviAppID);
    ~WlrootsWindowList() override;
    WlrootsWindowList(const WlrootsWindowList&) = delete;
    WlrootsWindowList& operator=(const WlrootsWindowList&) = delete;

    WindowListResult onScreenWindows() override;

private:
    // One toplevel as last described; a description becomes current with
    // the compositor's done event, so the pending values wait for it.
    struct Toplevel {
        WlrootsWindowList* owner = nullptr;
        zwlr_foreign_toplevel_handle_v1* handle = nullptr;
        std::uint64_t windowID = 0;
        std::string appID;
        std::string pendingAppID;
        bool isMinimized = false;
        bool isPendingMinimized = false;
        bool isDescribed = false;
    };

    // With the mutex held: listens to the toplevels on a live connection,
    // opening one when needed; the reason in French when it cannot, else
    // empty.
    std::string connect();
    void disconnect();
    void addToplevel(zwlr_foreign_toplevel_handle_v1* handle);
    void removeToplevel(Toplevel* toplevel);

    const std::string ourAppID_;
    std::mutex mutex_;
    std::unique_ptr<wayland::Connection> connection_;
    zwlr_foreign_toplevel_manager_v1* manager_ = nullptr;
    // Stable addresses: the handles' listeners hold pointers to them.
    std::vector<std::unique_ptr<Toplevel>> toplevels_;
    std::uint64_t lastWindowID_ = 0;

    friend struct ToplevelListeners;
};

} // namespace quorvi
