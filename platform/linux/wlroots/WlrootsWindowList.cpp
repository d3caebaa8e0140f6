#include "platform/linux/wlroots/WlrootsWindowList.h"

#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <algorithm>
#include <cstring>
#include <wayland-client.h>

namespace quorvi {

namespace {
constexpr std::uint32_t kManagerVersion = 3;
}

// The C callbacks of libwayland, turned into changes of the list.
struct ToplevelListeners {
    using Toplevel = WlrootsWindowList::Toplevel;

    static void title(void*, zwlr_foreign_toplevel_handle_v1*, const char*) {}
    static void appID(void* data, zwlr_foreign_toplevel_handle_v1*, const char* appID) {
        static_cast<Toplevel*>(data)->pendingAppID = appID;
    }
    static void outputEnter(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
    static void outputLeave(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
    static void state(void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
        const auto* begin = static_cast<const std::uint32_t*>(states->data);
        const auto* end = begin + states->size / sizeof(std::uint32_t);
        static_cast<Toplevel*>(data)->isPendingMinimized =
            std::find(begin, end, ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_MINIMIZED) != end;
    }
    static void done(void* data, zwlr_foreign_toplevel_handle_v1*) {
        auto* toplevel = static_cast<Toplevel*>(data);
        toplevel->appID = toplevel->pendingAppID;
        toplevel->isMinimized = toplevel->isPendingMinimized;
        toplevel->isDescribed = true;
    }
    static void closed(void* data, zwlr_foreign_toplevel_handle_v1*) {
        auto* toplevel = static_cast<Toplevel*>(data);
        toplevel->owner->removeToplevel(toplevel);
    }
    static void parent(void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {}
    static constexpr zwlr_foreign_toplevel_handle_v1_listener handle{
        title, appID, outputEnter, outputLeave, state, done, closed, parent};

    static void toplevel(void* data, zwlr_foreign_toplevel_manager_v1*,
                         zwlr_foreign_toplevel_handle_v1* handle) {
        static_cast<WlrootsWindowList*>(data)->addToplevel(handle);
    }
    // The compositor destroys the manager after this; the windows it named
    // are gone with it, so the next call starts over on a new connection.
    static void finished(void* data, zwlr_foreign_toplevel_manager_v1* manager) {
        auto* list = static_cast<WlrootsWindowList*>(data);
        zwlr_foreign_toplevel_manager_v1_destroy(manager);
        list->manager_ = nullptr;
    }
    static constexpr zwlr_foreign_toplevel_manager_v1_listener manager{toplevel, finished};
};

WlrootsWindowList::WlrootsWindowList(std::string ourAppID) : ourAppID_(std::move(ourAppID)) {}

WlrootsWindowList::~WlrootsWindowList() {
    disconnect();
}

WindowListResult WlrootsWindowList::onScreenWindows() {
    std::lock_guard lock(mutex_);
    if (std::string whyNot = connect(); !whyNot.empty()) {
        return {std::nullopt, whyNot};
    }
    if (!connection_->roundtrip()) {
        disconnect();
        return {std::nullopt, "le compositeur Wayland ne répond plus"};
    }
    std::vector<VisibleWindow> windows;
    for (const auto& toplevel : toplevels_) {
        if (!toplevel->isDescribed || toplevel->isMinimized) {
            continue;
        }
        VisibleWindow& window = windows.emplace_back();
        window.windowID = toplevel->windowID;
        if (!toplevel->appID.empty()) {
            window.applicationName = toplevel->appID;
        }
        window.isThisApplication = toplevel->appID == ourAppID_;
    }
    return {std::move(windows), {}};
}

std::string WlrootsWindowList::connect() {
    if (connection_ != nullptr && manager_ == nullptr) {
        disconnect();
    }
    if (connection_ != nullptr) {
        return {};
    }
    std::string whyNot;
    connection_ = wayland::Connection::open(whyNot);
    if (connection_ == nullptr) {
        return whyNot;
    }
    manager_ = static_cast<zwlr_foreign_toplevel_manager_v1*>(
        connection_->bind(zwlr_foreign_toplevel_manager_v1_interface, 1, kManagerVersion));
    if (manager_ == nullptr) {
        connection_.reset();
        return "le compositeur ne publie pas la liste de ses fenêtres";
    }
    zwlr_foreign_toplevel_manager_v1_add_listener(manager_, &ToplevelListeners::manager, this);
    return {};
}

// The proxies go before the connection they belong to. The list keeps its
// own connection rather than a wayland::Session because it starts over in
// more cases: when the compositor finished the list, and at every call
// while none answers (a probe asks seldom).
void WlrootsWindowList::disconnect() {
    for (const auto& toplevel : toplevels_) {
        zwlr_foreign_toplevel_handle_v1_destroy(toplevel->handle);
    }
    toplevels_.clear();
    if (manager_ != nullptr) {
        zwlr_foreign_toplevel_manager_v1_destroy(manager_);
        manager_ = nullptr;
    }
    connection_.reset();
}

void WlrootsWindowList::addToplevel(zwlr_foreign_toplevel_handle_v1* handle) {
    auto toplevel = std::make_unique<Toplevel>();
    toplevel->owner = this;
    toplevel->handle = handle;
    toplevel->windowID = ++lastWindowID_;
    zwlr_foreign_toplevel_handle_v1_add_listener(handle, &ToplevelListeners::handle,
                                                 toplevel.get());
    toplevels_.push_back(std::move(toplevel));
}

void WlrootsWindowList::removeToplevel(Toplevel* toplevel) {
    zwlr_foreign_toplevel_handle_v1_destroy(toplevel->handle);
    std::erase_if(toplevels_,
                  [&](const std::unique_ptr<Toplevel>& kept) { return kept.get() == toplevel; });
}

} // namespace quorvi
