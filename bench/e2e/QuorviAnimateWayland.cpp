// quorvi-animate-wayland: the screen content of the end-to-end benchmark on
// a Wayland compositor (wlroots: sway). A fullscreen xdg-shell window shows
// one of the scenes of Scenes.h, painted in software into shared-memory
// buffers. Each commit damages only what changed (the square of the region
// scene), so that the compositor's damage, which screen capture relies on,
// is as honest as an X server's. Single-threaded; runs until killed or until
// the compositor closes the window.
//
// Usage: quorvi-animate-wayland [--scene full|static|region] [--fps N]
//        (the compositor comes from $WAYLAND_DISPLAY)
#include "Scenes.h"
#include "xdg-shell-client-protocol.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

namespace {

using namespace quorvi::animate;

// A 5 × 9 bitmap of each character the page's text uses (a–z and '.'), one
// row a byte with the leftmost pixel in bit 4. Rows 0–6 stand above the
// baseline, rows 7–8 below it; each character advances 6 pixels, like X's
// default fixed font, so the page carries about as much fine detail as on X.
constexpr int kGlyphRows = 9;
constexpr int kGlyphAdvance = 6;
constexpr int kGlyphAscent = 7;
constexpr std::array<std::array<std::uint8_t, kGlyphRows>, 26> kLetters = {{
    {0, 0, 0x0E, 0x01, 0x0F, 0x11, 0x0F, 0, 0},          // a
    {0x10, 0x10, 0x1E, 0x11, 0x11, 0x11, 0x1E, 0, 0},    // b
    {0, 0, 0x0E, 0x10, 0x10, 0x11, 0x0E, 0, 0},          // c
    {0x01, 0x01, 0x0F, 0x11, 0x11, 0x11, 0x0F, 0, 0},    // d
    {0, 0, 0x0E, 0x11, 0x1F, 0x10, 0x0E, 0, 0},          // e
    {0x06, 0x09, 0x08, 0x1C, 0x08, 0x08, 0x08, 0, 0},    // f
    {0, 0, 0x0F, 0x11, 0x11, 0x11, 0x0F, 0x01, 0x0E},    // g
    {0x10, 0x10, 0x16, 0x19, 0x11, 0x11, 0x11, 0, 0},    // h
    {0x04, 0, 0x0C, 0x04, 0x04, 0x04, 0x0E, 0, 0},       // i
    {0x02, 0, 0x06, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}, // j
    {0x10, 0x10, 0x12, 0x14, 0x18, 0x14, 0x12, 0, 0},    // k
    {0x0C, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E, 0, 0},    // l
    {0, 0, 0x1A, 0x15, 0x15, 0x15, 0x15, 0, 0},          // m
    {0, 0, 0x16, 0x19, 0x11, 0x11, 0x11, 0, 0},          // n
    {0, 0, 0x0E, 0x11, 0x11, 0x11, 0x0E, 0, 0},          // o
    {0, 0, 0x1E, 0x11, 0x11, 0x11, 0x1E, 0x10, 0x10},    // p
    {0, 0, 0x0F, 0x11, 0x11, 0x11, 0x0F, 0x01, 0x01},    // q
    {0, 0, 0x16, 0x19, 0x10, 0x10, 0x10, 0, 0},          // r
    {0, 0, 0x0F, 0x10, 0x0E, 0x01, 0x1E, 0, 0},          // s
    {0x08, 0x08, 0x1C, 0x08, 0x08, 0x09, 0x06, 0, 0},    // t
    {0, 0, 0x11, 0x11, 0x11, 0x13, 0x0D, 0, 0},          // u
    {0, 0, 0x11, 0x11, 0x11, 0x0A, 0x04, 0, 0},          // v
    {0, 0, 0x11, 0x11, 0x15, 0x15, 0x0A, 0, 0},          // w
    {0, 0, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0, 0},          // x
    {0, 0, 0x11, 0x11, 0x11, 0x11, 0x0F, 0x01, 0x0E},    // y
    {0, 0, 0x1F, 0x02, 0x04, 0x08, 0x1F, 0, 0},          // z
}};
constexpr std::array<std::uint8_t, kGlyphRows> kPeriod = {0, 0, 0, 0, 0, 0x0C, 0x0C, 0, 0};

const std::array<std::uint8_t, kGlyphRows>* glyph(char c) {
    if (c >= 'a' && c <= 'z') {
        return &kLetters[static_cast<std::size_t>(c - 'a')];
    }
    return c == '.' ? &kPeriod : nullptr;
}

// XRGB8888 pixels in memory the compositor reads. On the animator's only
// thread, like everything in this program.
class PixelCanvas : public Canvas {
public:
    PixelCanvas(std::uint32_t* pixels, int width, int height)
        : Canvas(width, height), pixels_(pixels) {}

    void fill(std::uint32_t colour, int x, int y, int w, int h) override {
        const int left = std::max(x, 0);
        const int right = std::min(x + w, width());
        const int top = std::max(y, 0);
        const int bottom = std::min(y + h, height());
        for (int row = top; row < bottom; ++row) {
            std::uint32_t* line = pixels_ + static_cast<std::ptrdiff_t>(row) * width();
            std::fill(line + left, line + std::max(left, right), colour);
        }
    }

    void text(std::uint32_t colour, int x, int y, const std::string& line) override {
        for (const char c : line) {
            if (const auto* rows = glyph(c)) {
                for (int row = 0; row < kGlyphRows; ++row) {
                    for (int column = 0; column < 5; ++column) {
                        if (((*rows)[static_cast<std::size_t>(row)] >> (4 - column)) & 1) {
                            plot(colour, x + column, y - kGlyphAscent + row);
                        }
                    }
                }
            }
            x += kGlyphAdvance;
        }
    }

private:
    void plot(std::uint32_t colour, int x, int y) {
        if (x >= 0 && x < width() && y >= 0 && y < height()) {
            pixels_[static_cast<std::ptrdiff_t>(y) * width() + x] = colour;
        }
    }

    std::uint32_t* pixels_;
};

// Wayland objects die in the reverse order of the members holding them, the
// connection last.
template <typename T, auto destroy> struct Destroyer {
    void operator()(T* object) const { destroy(object); }
};
template <typename T, auto destroy> using Owned = std::unique_ptr<T, Destroyer<T, destroy>>;

struct Buffer {
    wl_buffer* buffer = nullptr;
    std::uint32_t* pixels = nullptr;
    // Held by the compositor from the commit that shows it until its release.
    bool busy = false;
    // The still page is in it: the region scene then repaints only its square.
    bool hasPage = false;
};

// Three buffers, so that painting never waits for the compositor to let go
// of the one on screen and of the one it may still be reading.
constexpr int kBufferCount = 3;

// The window, its buffers and the frame loop, on the only thread.
class Animator {
public:
    explicit Animator(const Options& options) : options_(options) {}

    ~Animator() { releaseBuffers(); }

    Animator(const Animator&) = delete;
    Animator& operator=(const Animator&) = delete;

    int run() {
        display_.reset(wl_display_connect(nullptr));
        if (display_ == nullptr) {
            return fail("cannot connect to the Wayland compositor ($WAYLAND_DISPLAY)");
        }
        registry_.reset(wl_display_get_registry(display_.get()));
        wl_registry_add_listener(registry_.get(), &kRegistryListener, this);
        if (wl_display_roundtrip(display_.get()) < 0) {
            return failConnection();
        }
        if (compositor_ == nullptr || shm_ == nullptr || wmBase_ == nullptr) {
            return fail("the compositor lacks wl_compositor 4, wl_shm or xdg_wm_base");
        }
        surface_.reset(wl_compositor_create_surface(compositor_.get()));
        xdgSurface_.reset(xdg_wm_base_get_xdg_surface(wmBase_.get(), surface_.get()));
        xdg_surface_add_listener(xdgSurface_.get(), &kXdgSurfaceListener, this);
        toplevel_.reset(xdg_surface_get_toplevel(xdgSurface_.get()));
        xdg_toplevel_add_listener(toplevel_.get(), &kToplevelListener, this);
        xdg_toplevel_set_app_id(toplevel_.get(), "quorvi-animate");
        xdg_toplevel_set_title(toplevel_.get(), "quorvi-animate");
        xdg_toplevel_set_fullscreen(toplevel_.get(), nullptr);
        // The first commit, without a buffer, asks for the first configure.
        wl_surface_commit(surface_.get());
        while (!configured_) {
            if (wl_display_dispatch(display_.get()) < 0) {
                return failConnection();
            }
        }
        return animate();
    }

private:
    int animate() {
        FramePacer pacer(options_.fps);
        for (long frame = 0; !closed_; ++frame) {
            if (sizeChanged_ && !allocateBuffers()) {
                return 1;
            }
            // The still page is painted once, and again only into new buffers.
            if (options_.scene != Scene::Static || fullDamage_) {
                paint(frame);
            }
            const auto deadline = options_.scene == Scene::Static
                                      ? std::chrono::steady_clock::time_point::max()
                                      : pacer.next();
            if (!dispatchUntil(deadline)) {
                return failConnection();
            }
        }
        return 0;
    }

    // Paints a free buffer and shows it; when the compositor holds them all
    // the frame is skipped, as a late frame would be.
    void paint(long frame) {
        const auto free = std::find_if(buffers_.begin(), buffers_.end(),
                                       [](const Buffer& buffer) { return !buffer.busy; });
        if (free == buffers_.end()) {
            return;
        }
        PixelCanvas canvas(free->pixels, width_, height_);
        if (options_.scene != Scene::Full && !free->hasPage) {
            paintPage(canvas);
            free->hasPage = true;
        }
        paintFrame(canvas, options_.scene, frame);
        Area damage = movingArea(options_.scene, width_, height_);
        if (fullDamage_ || options_.scene == Scene::Static) {
            damage = {0, 0, width_, height_};
            fullDamage_ = false;
        }
        wl_surface_attach(surface_.get(), free->buffer, 0, 0);
        wl_surface_damage_buffer(surface_.get(), damage.x, damage.y, damage.width, damage.height);
        wl_surface_commit(surface_.get());
        free->busy = true;
    }

    // Reads and handles the compositor's events until the deadline (pings
    // must be answered even while nothing is painted).
    bool dispatchUntil(std::chrono::steady_clock::time_point deadline) {
        const int fd = wl_display_get_fd(display_.get());
        for (;;) {
            while (wl_display_prepare_read(display_.get()) != 0) {
                if (wl_display_dispatch_pending(display_.get()) < 0) {
                    return false;
                }
            }
            if (wl_display_flush(display_.get()) < 0 && errno != EAGAIN) {
                wl_display_cancel_read(display_.get());
                return false;
            }
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline || closed_ || sizeChanged_) {
                wl_display_cancel_read(display_.get());
                return true;
            }
            pollfd descriptor{fd, POLLIN, 0};
            timespec timeout{};
            const timespec* timeoutPointer = nullptr;
            if (deadline != std::chrono::steady_clock::time_point::max()) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
                timeout.tv_sec = static_cast<time_t>(left / 1'000'000'000);
                timeout.tv_nsec = static_cast<long>(left % 1'000'000'000);
                timeoutPointer = &timeout;
            }
            const int ready = ppoll(&descriptor, 1, timeoutPointer, nullptr);
            if (ready > 0) {
                if (wl_display_read_events(display_.get()) < 0) {
                    return false;
                }
            } else {
                wl_display_cancel_read(display_.get());
                if (ready < 0 && errno != EINTR) {
                    return false;
                }
            }
            if (wl_display_dispatch_pending(display_.get()) < 0) {
                return false;
            }
        }
    }

    bool allocateBuffers() {
        releaseBuffers();
        sizeChanged_ = false;
        fullDamage_ = true;
        const std::size_t stride = static_cast<std::size_t>(width_) * 4;
        const std::size_t size = stride * static_cast<std::size_t>(height_);
        poolSize_ = size * kBufferCount;
        const int fd = memfd_create("quorvi-animate", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(poolSize_)) < 0) {
            std::perror("quorvi-animate-wayland: shared memory");
            if (fd >= 0) {
                close(fd);
            }
            return false;
        }
        void* memory = mmap(nullptr, poolSize_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory == MAP_FAILED) {
            std::perror("quorvi-animate-wayland: mmap");
            close(fd);
            return false;
        }
        pool_ = static_cast<std::uint8_t*>(memory);
        wl_shm_pool* pool =
            wl_shm_create_pool(shm_.get(), fd, static_cast<std::int32_t>(poolSize_));
        close(fd);
        for (int i = 0; i < kBufferCount; ++i) {
            Buffer& buffer = buffers_[static_cast<std::size_t>(i)];
            const auto offset = static_cast<std::int32_t>(size * static_cast<std::size_t>(i));
            buffer.buffer = wl_shm_pool_create_buffer(pool, offset, width_, height_,
                                                      static_cast<std::int32_t>(stride),
                                                      WL_SHM_FORMAT_XRGB8888);
            buffer.pixels = reinterpret_cast<std::uint32_t*>(pool_ + offset);
            buffer.busy = false;
            buffer.hasPage = false;
            wl_buffer_add_listener(buffer.buffer, &kBufferListener, &buffer);
        }
        wl_shm_pool_destroy(pool);
        return true;
    }

    void releaseBuffers() {
        for (Buffer& buffer : buffers_) {
            if (buffer.buffer != nullptr) {
                wl_buffer_destroy(buffer.buffer);
            }
            buffer = Buffer{};
        }
        if (pool_ != nullptr) {
            munmap(pool_, poolSize_);
            pool_ = nullptr;
        }
    }

    int fail(const char* reason) const {
        std::fprintf(stderr, "quorvi-animate-wayland: %s\n", reason);
        return 1;
    }

    int failConnection() const {
        const int error = wl_display_get_error(display_.get());
        std::fprintf(stderr, "quorvi-animate-wayland: the compositor connection failed: %s\n",
                     std::strerror(error));
        return 1;
    }

    static void onGlobal(void* data, wl_registry* registry, std::uint32_t name,
                         const char* interface, std::uint32_t version) {
        auto* self = static_cast<Animator*>(data);
        if (std::strcmp(interface, wl_compositor_interface.name) == 0 && version >= 4) {
            // Version 4 brings damage in buffer coordinates.
            self->compositor_.reset(static_cast<wl_compositor*>(
                wl_registry_bind(registry, name, &wl_compositor_interface, 4)));
        } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
            self->shm_.reset(
                static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1)));
        } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
            self->wmBase_.reset(static_cast<xdg_wm_base*>(
                wl_registry_bind(registry, name, &xdg_wm_base_interface, 1)));
            xdg_wm_base_add_listener(self->wmBase_.get(), &kWmBaseListener, self);
        } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->seat_) {
            self->seat_.reset(
                static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1)));
            wl_seat_add_listener(self->seat_.get(), &kSeatListener, self);
        }
    }

    // A seat may lose its pointer and get one again (a compositor without a
    // mouse, driven by a remote-desktop session).
    static void onSeatCapabilities(void* data, wl_seat* seat, std::uint32_t capabilities) {
        auto* self = static_cast<Animator*>(data);
        const bool hasPointer = (capabilities & WL_SEAT_CAPABILITY_POINTER) != 0;
        if (hasPointer && !self->pointer_) {
            self->pointer_.reset(wl_seat_get_pointer(seat));
            wl_pointer_add_listener(self->pointer_.get(), &kPointerListener, self);
        } else if (!hasPointer) {
            self->pointer_.reset();
        }
    }

    static void onSeatName(void*, wl_seat*, const char*) {}

    static void onPointerEnter(void* data, wl_pointer*, std::uint32_t, wl_surface*, wl_fixed_t x,
                               wl_fixed_t y) {
        onPointerMotion(data, nullptr, 0, x, y);
    }

    static void onPointerLeave(void*, wl_pointer*, std::uint32_t, wl_surface*) {}

    static void onPointerMotion(void* data, wl_pointer*, std::uint32_t, wl_fixed_t x,
                                wl_fixed_t y) {
        auto* self = static_cast<Animator*>(data);
        self->pointerX_ = wl_fixed_to_double(x);
        self->pointerY_ = wl_fixed_to_double(y);
    }

    static void onPointerButton(void* data, wl_pointer*, std::uint32_t, std::uint32_t,
                                std::uint32_t button, std::uint32_t state) {
        auto* self = static_cast<Animator*>(data);
        constexpr std::uint32_t kLeftButton = 0x110; // BTN_LEFT
        if (button == kLeftButton && state == WL_POINTER_BUTTON_STATE_PRESSED) {
            std::printf("press %g %g\n", self->pointerX_, self->pointerY_);
            std::fflush(stdout);
        }
    }

    static void onPointerAxis(void*, wl_pointer*, std::uint32_t, std::uint32_t, wl_fixed_t) {}

    static void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}

    static void onPing(void*, xdg_wm_base* wmBase, std::uint32_t serial) {
        xdg_wm_base_pong(wmBase, serial);
    }

    static void onSurfaceConfigure(void* data, xdg_surface* surface, std::uint32_t serial) {
        auto* self = static_cast<Animator*>(data);
        xdg_surface_ack_configure(surface, serial);
        // Sway sizes a fullscreen window only once it is mapped, and mapping
        // takes a buffer: until then a small placeholder picture stands in.
        const bool sized = self->pendingWidth_ > 0 && self->pendingHeight_ > 0;
        const int width = sized ? self->pendingWidth_ : (self->width_ > 0 ? self->width_ : 64);
        const int height = sized ? self->pendingHeight_ : (self->height_ > 0 ? self->height_ : 64);
        if (width != self->width_ || height != self->height_) {
            self->width_ = width;
            self->height_ = height;
            self->sizeChanged_ = true;
        }
        self->configured_ = true;
    }

    static void onToplevelConfigure(void* data, xdg_toplevel*, std::int32_t width,
                                    std::int32_t height, wl_array*) {
        auto* self = static_cast<Animator*>(data);
        self->pendingWidth_ = width;
        self->pendingHeight_ = height;
    }

    static void onToplevelClose(void* data, xdg_toplevel*) {
        static_cast<Animator*>(data)->closed_ = true;
    }

    static void onBufferRelease(void* data, wl_buffer*) {
        static_cast<Buffer*>(data)->busy = false;
    }

    static constexpr wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};
    static constexpr xdg_wm_base_listener kWmBaseListener = {onPing};
    static constexpr xdg_surface_listener kXdgSurfaceListener = {onSurfaceConfigure};
    static constexpr xdg_toplevel_listener kToplevelListener = {onToplevelConfigure,
                                                                onToplevelClose};
    static constexpr wl_buffer_listener kBufferListener = {onBufferRelease};
    static constexpr wl_seat_listener kSeatListener = {onSeatCapabilities, onSeatName};
    // Version 1 of the pointer: the later events are never sent.
    static constexpr wl_pointer_listener kPointerListener = {
        onPointerEnter, onPointerLeave, onPointerMotion, onPointerButton, onPointerAxis,
        nullptr,        nullptr,        nullptr,         nullptr};

    Options options_;
    Owned<wl_display, wl_display_disconnect> display_;
    Owned<wl_registry, wl_registry_destroy> registry_;
    Owned<wl_compositor, wl_compositor_destroy> compositor_;
    Owned<wl_shm, wl_shm_destroy> shm_;
    Owned<xdg_wm_base, xdg_wm_base_destroy> wmBase_;
    Owned<wl_surface, wl_surface_destroy> surface_;
    Owned<xdg_surface, xdg_surface_destroy> xdgSurface_;
    Owned<xdg_toplevel, xdg_toplevel_destroy> toplevel_;
    Owned<wl_seat, wl_seat_destroy> seat_;
    Owned<wl_pointer, wl_pointer_destroy> pointer_;
    double pointerX_ = 0;
    double pointerY_ = 0;
    std::array<Buffer, kBufferCount> buffers_{};
    std::uint8_t* pool_ = nullptr;
    std::size_t poolSize_ = 0;
    std::int32_t pendingWidth_ = 0;
    std::int32_t pendingHeight_ = 0;
    int width_ = 0;
    int height_ = 0;
    bool configured_ = false;
    bool sizeChanged_ = false;
    // The next commit replaces the whole picture (new buffers).
    bool fullDamage_ = true;
    bool closed_ = false;
};

} // namespace

int main(int argc, char** argv) {
    const auto options = parseOptions(argc, argv, "quorvi-animate-wayland");
    if (!options) {
        return 2;
    }
    Animator animator(*options);
    return animator.run();
}
