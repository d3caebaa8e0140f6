#include "platform/linux/x11/X11WindowList.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <optional>
#include <unistd.h>

namespace quorvi {

namespace {

// A window manager keeps WM_STATE on the client's own window, at most a few
// frame levels under the top-level one.
constexpr int kMaxFrameDepth = 4;
// Far more clients than any desktop has; bounds one property read.
constexpr long kMaxListedWindows = 65536;

struct Atoms {
    Atom clientList = 0;
    Atom wmState = 0;
    Atom netWmState = 0;
    Atom hidden = 0;
    Atom pid = 0;
};

// Looked up without creating them: an atom nobody created cannot name a
// property that is set anywhere, and a probe should leave the server as it
// found it. Missing ones stay 0.
Atoms lookUpAtoms(Display* display) {
    char clientList[] = "_NET_CLIENT_LIST";
    char wmState[] = "WM_STATE";
    char netWmState[] = "_NET_WM_STATE";
    char hidden[] = "_NET_WM_STATE_HIDDEN";
    char pid[] = "_NET_WM_PID";
    char* names[] = {clientList, wmState, netWmState, hidden, pid};
    Atom found[5] = {};
    // Returns 0 when some are missing, but fills in the others.
    XInternAtoms(display, names, 5, True, found);
    return {found[0], found[1], found[2], found[3], found[4]};
}

// A property of 32-bit items (windows, atoms, cardinals) of the given type,
// or nothing when the window lacks it. Xlib hands 32-bit items over as
// longs.
std::optional<std::vector<unsigned long>> longsProperty(Display* display, Window window,
                                                        Atom property, Atom type) {
    if (property == 0) {
        return std::nullopt;
    }
    Atom actualType = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, window, property, 0, kMaxListedWindows, False,
                                          type, &actualType, &format, &count, &remaining, &data);
    std::optional<std::vector<unsigned long>> values;
    if (status == Success && actualType == type && format == 32) {
        const auto* items = reinterpret_cast<const unsigned long*>(data);
        values.emplace(items, items + count);
    }
    if (data != nullptr) {
        XFree(data);
    }
    return values;
}

bool hasProperty(Display* display, Window window, Atom property) {
    if (property == 0) {
        return false;
    }
    Atom actualType = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, window, property, 0, 0, False, AnyPropertyType,
                                          &actualType, &format, &count, &remaining, &data);
    if (data != nullptr) {
        XFree(data);
    }
    return status == Success && actualType != 0;
}

// Viewable means mapped with every ancestor mapped. An InputOnly window
// shows nothing, so it is never on screen in the sense of the probe.
bool isViewable(Display* display, Window window) {
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display, window, &attributes) != 0 &&
           attributes.map_state == IsViewable && attributes.c_class != InputOnly;
}

std::vector<Window> childrenOf(Display* display, Window window) {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    std::vector<Window> result;
    if (XQueryTree(display, window, &root, &parent, &children, &count) != 0 &&
        children != nullptr) {
        result.assign(children, children + count);
    }
    if (children != nullptr) {
        XFree(children);
    }
    return result;
}

// The client's own window under a top-level one: the first carrying
// WM_STATE, searched breadth first; the top-level window itself when none
// does (no window manager set one).
Window clientWindow(Display* display, Window topLevel, Atom wmState) {
    if (wmState == 0) {
        return topLevel;
    }
    std::vector<Window> level = {topLevel};
    for (int depth = 0; depth <= kMaxFrameDepth && !level.empty(); ++depth) {
        std::vector<Window> next;
        for (const Window window : level) {
            if (hasProperty(display, window, wmState)) {
                return window;
            }
            const std::vector<Window> children = childrenOf(display, window);
            next.insert(next.end(), children.begin(), children.end());
        }
        level.swap(next);
    }
    return topLevel;
}

// Length of the well-formed UTF-8 sequence starting at text[i], 0 if there
// is none (overlong forms, surrogates and values past U+10FFFF included).
std::size_t utf8SequenceLength(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char first = byte(i);
    if (first < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        low = first == 0xE0 ? 0xA0 : 0x80;
        high = first == 0xED ? 0x9F : 0xBF;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        low = first == 0xF0 ? 0x90 : 0x80;
        high = first == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    if (byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

// WM_CLASS is of type STRING, which X defines as ISO 8859-1, yet many
// programs put UTF-8 there. Text that is valid UTF-8 is taken as such;
// anything else is read as Latin-1. Either way the name comes out as UTF-8,
// which the summary, the journal and the diagnostics JSON require.
std::string utf8FromClassText(const std::string& text) {
    bool isUtf8 = true;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
            isUtf8 = false;
            break;
        }
        i += length;
    }
    if (isUtf8) {
        return text;
    }
    std::string converted;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            converted += c;
        } else {
            converted += static_cast<char>(0xC0 | (byte >> 6));
            converted += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return converted;
}

// An empty class names nothing the user could recognise: such a window
// counts as one without an application.
std::optional<std::string> applicationName(Display* display, Window window) {
    XClassHint hint{};
    if (XGetClassHint(display, window, &hint) == 0) {
        return std::nullopt;
    }
    std::optional<std::string> name;
    if (hint.res_class != nullptr && hint.res_class[0] != '\0') {
        name = utf8FromClassText(hint.res_class);
    }
    if (hint.res_name != nullptr) {
        XFree(hint.res_name);
    }
    if (hint.res_class != nullptr) {
        XFree(hint.res_class);
    }
    return name;
}

VisibleWindow describe(Display* display, Window window, const Atoms& atoms,
                       std::int64_t thisProcessID) {
    VisibleWindow described;
    described.windowID = window;
    described.applicationName = applicationName(display, window);
    if (const auto pids = longsProperty(display, window, atoms.pid, XA_CARDINAL);
        pids && !pids->empty()) {
        // A CARDINAL is 32 bits on the wire, whatever the width of long.
        described.ownerProcessID = static_cast<std::int64_t>(pids->front() & 0xFFFFFFFFul);
        described.isThisApplication = *described.ownerProcessID == thisProcessID;
    }
    return described;
}

bool isHidden(Display* display, Window window, const Atoms& atoms) {
    if (atoms.hidden == 0) {
        return false;
    }
    const auto states = longsProperty(display, window, atoms.netWmState, XA_ATOM);
    return states && std::find(states->begin(), states->end(), atoms.hidden) != states->end();
}

} // namespace

std::vector<VisibleWindow> readVisibleWindows(x11::XDisplay* display, std::int64_t thisProcessID) {
    const Atoms atoms = lookUpAtoms(display);
    const Window root = DefaultRootWindow(display);
    std::vector<VisibleWindow> windows;
    if (const auto clients = longsProperty(display, root, atoms.clientList, XA_WINDOW)) {
        for (const unsigned long client : *clients) {
            const auto window = static_cast<Window>(client);
            if (isViewable(display, window) && !isHidden(display, window, atoms)) {
                windows.push_back(describe(display, window, atoms, thisProcessID));
            }
        }
        return windows;
    }
    for (const Window topLevel : childrenOf(display, root)) {
        if (isViewable(display, topLevel)) {
            windows.push_back(describe(display, clientWindow(display, topLevel, atoms.wmState),
                                       atoms, thisProcessID));
        }
    }
    return windows;
}

X11WindowList::X11WindowList(std::string displayName) : displayName_(std::move(displayName)) {}

WindowListResult X11WindowList::onScreenWindows() {
    x11::Connection connection(displayName_);
    x11::XDisplay* display = connection.display();
    if (display == nullptr) {
        return {std::nullopt, x11::kServerUnreachable};
    }
    std::vector<VisibleWindow> windows = readVisibleWindows(display, getpid());
    // What the calls answered after the server went away says nothing.
    if (connection.dropIfLost()) {
        return {std::nullopt, x11::kServerLost};
    }
    return {std::move(windows), {}};
}

std::shared_ptr<WindowListSource> makeX11WindowList(std::string displayName) {
    return std::make_shared<X11WindowList>(std::move(displayName));
}

} // namespace quorvi
