#pragma once

#include "capture/PictureChanges.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;

namespace quorvi::gnome {

struct PictureSize {
    int width = 0;
    int height = 0;

    bool operator==(const PictureSize&) const = default;
};

// The pictures of one PipeWire video node that Mutter produces (a monitor or
// a virtual monitor of a screen-cast session), kept as one copy of the
// latest complete picture, 32-bit pixels, blue first in memory.
//
// Every buffer Mutter hands over is taken into that copy at once and given
// back, so Mutter never waits on a reader: a stream nobody reads keeps
// flowing, which a virtual monitor needs to stay alive. What changed comes
// from the damage Mutter attaches to a buffer when it does (Mutter 43 does
// not); otherwise the new rows are compared with the kept ones, so a still
// screen reports nothing and a small change reports the full-width band of
// rows it spans.
//
// Readers take turns (one at a time, several over the stream's life): each
// asks what changed since the previous take, then copies those parts into a
// canvas of its own.
//
// Thread: its own PipeWire loop thread delivers the pictures; the reader
// calls come from any thread and are serialized by the stream's mutex.
class PipeWireVideoStream {
public:
    // Connects to node with a connection of its own to the PipeWire daemon
    // of PIPEWIRE_RUNTIME_DIR (else XDG_RUNTIME_DIR). With fixedSize, only
    // pictures of that size are accepted: that is how the consumer of a
    // virtual monitor gives it its size. nullptr with the reason in French.
    static std::shared_ptr<PipeWireVideoStream>
    connect(std::uint32_t node, std::optional<PictureSize> fixedSize, std::string& error);

    // The same, connected again while no first picture comes: Mutter
    // records one when the stream starts, and that one now and then comes
    // before our buffers do, after which a still screen sends none. A new
    // connection to a virtual monitor's node makes a new monitor.
    static std::shared_ptr<PipeWireVideoStream>
    connectWithPicture(std::uint32_t node, std::optional<PictureSize> fixedSize,
                       std::string& error);

    ~PipeWireVideoStream();
    PipeWireVideoStream(const PipeWireVideoStream&) = delete;
    PipeWireVideoStream& operator=(const PipeWireVideoStream&) = delete;

    // Waits until the stream holds a picture or ended; whether it holds one.
    bool waitForPicture(std::chrono::milliseconds timeout);

    // The size of the latest picture; zero before the first.
    PictureSize size() const;
    // What changed since the previous take (anyone's), in the latest
    // picture's coordinates; all of it after a change of size.
    ChangedRegion takeChanges();
    // Copies region of the latest picture into a canvas of the same size;
    // false, copying nothing, when the picture has another size by now.
    bool copy(const ChangedRegion& region, std::uint8_t* canvas, std::size_t canvasBytesPerRow,
              PictureSize canvasSize) const;
    // Why the stream ended (the node went away, PipeWire or Mutter closed
    // it), in French; nullopt while it runs.
    std::optional<std::string> endReason() const;

    // Asks for pictures of another size (a virtual monitor's new size); the
    // latest picture keeps the old one until the first new picture comes.
    bool requestSize(PictureSize size);

private:
    struct Listener;

    PipeWireVideoStream() = default;
    bool start(std::uint32_t node, std::optional<PictureSize> fixedSize, std::string& error);
    void disconnect();

    // Called on the loop thread.
    void onFormat(PictureSize size, std::uint32_t format);
    void onPicture(const std::uint8_t* pixels, std::size_t stride, std::size_t available,
                   const std::vector<PixelRect>* damage);
    void onEnd(std::string reason);

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    std::unique_ptr<Listener> listener_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    // The negotiated size, and the one the kept picture has.
    PictureSize negotiated_;
    PictureSize size_;
    std::vector<std::uint8_t> picture_;
    ChangedRegion changes_;
    bool hasPicture_ = false;
    std::optional<std::string> endReason_;
};

} // namespace quorvi::gnome
