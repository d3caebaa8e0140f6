#include "platform/linux/gnome/PipeWireVideoStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <utility>

namespace quorvi::gnome {

namespace {

constexpr const char* kDaemonLost = "connexion au service PipeWire perdue";
constexpr const char* kNodeGone = "le flux d'écran de GNOME a été fermé";

// Mutter's first picture comes within half a second of the connection
// here; a stream that has none after the wait is connected again.
constexpr auto kFirstPictureWait = std::chrono::milliseconds(1500);
constexpr int kFirstPictureAttempts = 3;
constexpr const char* kNoFirstPicture = "GNOME n'envoie aucune image de l'écran";

// Far beyond any screen; a size outside it is a producer's mistake.
constexpr int kLargestSide = 16384;
// Mutter 43 sends at most a few rectangles; more are merged by the region.
constexpr std::size_t kDamageRegions = 16;

void initPipeWireOnce() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

// Both are B, G, R, then alpha or nothing in memory: the canvas' own layout.
// A fixed size pins the producer to it; otherwise it chooses.
const spa_pod* videoFormats(spa_pod_builder& builder, std::optional<PictureSize> fixedSize) {
    spa_pod_frame frame;
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
                        SPA_FORMAT_VIDEO_format,
                        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                                               SPA_VIDEO_FORMAT_BGRA),
                        0);
    if (fixedSize) {
        const spa_rectangle size{static_cast<std::uint32_t>(fixedSize->width),
                                 static_cast<std::uint32_t>(fixedSize->height)};
        spa_pod_builder_add(&builder, SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), 0);
    } else {
        const spa_rectangle preferred{1920, 1080};
        const spa_rectangle smallest{1, 1};
        const spa_rectangle largest{kLargestSide, kLargestSide};
        spa_pod_builder_add(&builder, SPA_FORMAT_VIDEO_size,
                            SPA_POD_CHOICE_RANGE_Rectangle(&preferred, &smallest, &largest), 0);
    }
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

bool isSane(PictureSize size) {
    return size.width > 0 && size.height > 0 && size.width <= kLargestSide &&
           size.height <= kLargestSide;
}

} // namespace

// The PipeWire callbacks, on the loop thread with the loop's lock held.
struct PipeWireVideoStream::Listener {
    explicit Listener(PipeWireVideoStream& owner) : owner(owner) {}

    PipeWireVideoStream& owner;
    spa_hook coreHook{};
    spa_hook streamHook{};

    static Listener& of(void* data) { return *static_cast<Listener*>(data); }

    static void coreError(void* data, std::uint32_t id, int, int result, const char* message) {
        if (id == PW_ID_CORE) {
            of(data).owner.onEnd(result == -EPIPE
                                     ? std::string(kDaemonLost)
                                     : std::string("erreur PipeWire: ") + (message ? message : ""));
        }
    }

    static void stateChanged(void* data, pw_stream_state, pw_stream_state state,
                             const char* error) {
        PipeWireVideoStream& owner = of(data).owner;
        switch (state) {
        case PW_STREAM_STATE_ERROR:
            owner.onEnd(std::string("flux PipeWire en erreur: ") + (error ? error : "inconnue"));
            break;
        case PW_STREAM_STATE_UNCONNECTED:
            owner.onEnd(kNodeGone);
            break;
        default:
            break;
        }
    }

    static void paramChanged(void* data, std::uint32_t id, const spa_pod* param) {
        if (id != SPA_PARAM_Format || param == nullptr) {
            return;
        }
        std::uint32_t mediaType = 0;
        std::uint32_t mediaSubtype = 0;
        spa_video_info_raw info{};
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
            mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
            spa_format_video_raw_parse(param, &info) < 0) {
            return;
        }
        Listener& self = of(data);
        self.owner.onFormat({static_cast<int>(info.size.width), static_cast<int>(info.size.height)},
                            info.format);

        // Shared memory only: the pictures are read by the CPU. The header
        // for its corrupted flag, the damage for what changed.
        std::uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
        const spa_pod* params[3];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
        params[1] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                                       SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
                                       SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kDamageRegions,
                                     sizeof(spa_meta_region),
                                     sizeof(spa_meta_region) * kDamageRegions)));
        pw_stream_update_params(self.owner.stream_, params, 3);
    }

    // Takes the newest buffer into the kept picture and gives every buffer
    // back at once. Skipped buffers still count for their damage.
    static void process(void* data) {
        PipeWireVideoStream& owner = of(data).owner;
        std::vector<PixelRect> damage;
        bool isDamageKnown = true;
        pw_buffer* newest = nullptr;
        while (pw_buffer* next = pw_stream_dequeue_buffer(owner.stream_)) {
            spa_buffer* buffer = next->buffer;
            const spa_data* plane = buffer->n_datas > 0 ? &buffer->datas[0] : nullptr;
            const auto* header = static_cast<const spa_meta_header*>(
                spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
            // Mutter sends empty buffers too, when only the pointer moved in
            // a stream that carries it apart.
            const bool isPicture =
                plane != nullptr && plane->data != nullptr && plane->chunk->size > 0 &&
                (plane->chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) == 0 &&
                (header == nullptr || (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) == 0);
            if (!isPicture) {
                pw_stream_queue_buffer(owner.stream_, next);
                continue;
            }
            const std::size_t before = damage.size();
            if (spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_VideoDamage)) {
                spa_meta_region* region = nullptr;
                spa_meta_for_each(region, meta) {
                    if (!spa_meta_region_is_valid(region)) {
                        break;
                    }
                    damage.push_back({region->region.position.x, region->region.position.y,
                                      static_cast<int>(region->region.size.width),
                                      static_cast<int>(region->region.size.height)});
                }
            }
            if (damage.size() == before) {
                isDamageKnown = false;
            }
            if (newest != nullptr) {
                pw_stream_queue_buffer(owner.stream_, newest);
            }
            newest = next;
        }
        if (newest == nullptr) {
            return;
        }
        const spa_data& plane = newest->buffer->datas[0];
        const std::size_t offset = plane.chunk->offset % std::max<std::uint32_t>(plane.maxsize, 1);
        owner.onPicture(static_cast<const std::uint8_t*>(plane.data) + offset,
                        static_cast<std::size_t>(plane.chunk->stride), plane.maxsize - offset,
                        isDamageKnown ? &damage : nullptr);
        pw_stream_queue_buffer(owner.stream_, newest);
    }

    static constexpr pw_core_events coreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = coreError;
        return events;
    }();

    static constexpr pw_stream_events streamEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = stateChanged;
        events.param_changed = paramChanged;
        events.process = process;
        return events;
    }();
};

std::shared_ptr<PipeWireVideoStream>
PipeWireVideoStream::connect(std::uint32_t node, std::optional<PictureSize> fixedSize,
                             std::string& error) {
    if (fixedSize && !isSane(*fixedSize)) {
        error = "taille d'écran virtuel invalide";
        return nullptr;
    }
    std::shared_ptr<PipeWireVideoStream> stream(new PipeWireVideoStream());
    if (!stream->start(node, fixedSize, error)) {
        return nullptr;
    }
    return stream;
}

bool PipeWireVideoStream::start(std::uint32_t node, std::optional<PictureSize> fixedSize,
                                std::string& error) {
    initPipeWireOnce();
    listener_ = std::make_unique<Listener>(*this);
    loop_ = pw_thread_loop_new("quorvi-screencast", nullptr);
    if (loop_ == nullptr) {
        error = "boucle PipeWire impossible à créer";
        return false;
    }
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (context_ == nullptr || pw_thread_loop_start(loop_) < 0) {
        error = "contexte PipeWire impossible à créer";
        return false;
    }
    pw_thread_loop_lock(loop_);
    core_ = pw_context_connect(context_, nullptr, 0);
    if (core_ == nullptr) {
        error = std::string("service PipeWire injoignable: ") + std::strerror(errno);
        pw_thread_loop_unlock(loop_);
        return false;
    }
    pw_core_add_listener(core_, &listener_->coreHook, &Listener::coreEvents, listener_.get());
    stream_ = pw_stream_new(core_, "quorvi-capture",
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                              "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (stream_ == nullptr) {
        error = std::string("flux PipeWire impossible à créer: ") + std::strerror(errno);
        pw_thread_loop_unlock(loop_);
        return false;
    }
    pw_stream_add_listener(stream_, &listener_->streamHook, &Listener::streamEvents,
                           listener_.get());
    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* formats = videoFormats(builder, fixedSize);
    // Never moved to another node when this one goes: its end is the news.
    const int result = pw_stream_connect(
        stream_, PW_DIRECTION_INPUT, node,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_DONT_RECONNECT),
        &formats, 1);
    pw_thread_loop_unlock(loop_);
    if (result < 0) {
        error = std::string("flux PipeWire impossible à connecter: ") + spa_strerror(result);
        return false;
    }
    return true;
}

PipeWireVideoStream::~PipeWireVideoStream() {
    disconnect();
}

void PipeWireVideoStream::disconnect() {
    if (loop_ == nullptr) {
        return;
    }
    pw_thread_loop_lock(loop_);
    if (stream_ != nullptr) {
        spa_hook_remove(&listener_->streamHook);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
    }
    if (core_ != nullptr) {
        spa_hook_remove(&listener_->coreHook);
        pw_core_disconnect(core_);
        core_ = nullptr;
    }
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    if (context_ != nullptr) {
        pw_context_destroy(context_);
        context_ = nullptr;
    }
    pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
}

bool PipeWireVideoStream::waitForPicture(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return hasPicture_ || endReason_.has_value(); });
    return hasPicture_;
}

std::shared_ptr<PipeWireVideoStream>
PipeWireVideoStream::connectWithPicture(std::uint32_t node, std::optional<PictureSize> fixedSize,
                                        std::string& error) {
    for (int attempt = 0; attempt < kFirstPictureAttempts; ++attempt) {
        auto stream = connect(node, fixedSize, error);
        if (stream == nullptr) {
            return nullptr;
        }
        if (stream->waitForPicture(kFirstPictureWait)) {
            return stream;
        }
        if (const auto ended = stream->endReason()) {
            error = *ended;
            return nullptr;
        }
    }
    error = kNoFirstPicture;
    return nullptr;
}

PictureSize PipeWireVideoStream::size() const {
    std::lock_guard guard(mutex_);
    return size_;
}

ChangedRegion PipeWireVideoStream::takeChanges() {
    std::lock_guard guard(mutex_);
    return std::exchange(changes_, {});
}

bool PipeWireVideoStream::copy(const ChangedRegion& region, std::uint8_t* canvas,
                               std::size_t canvasBytesPerRow, PictureSize canvasSize) const {
    std::lock_guard guard(mutex_);
    if (!hasPicture_ || canvasSize != size_) {
        return false;
    }
    const std::size_t stride = static_cast<std::size_t>(size_.width) * 4;
    for (const PixelRect& wanted : region.rects()) {
        const PixelRect rect = intersection(wanted, {0, 0, size_.width, size_.height});
        for (int y = rect.y; y < rect.bottom(); ++y) {
            std::memcpy(canvas + static_cast<std::size_t>(y) * canvasBytesPerRow +
                            static_cast<std::size_t>(rect.x) * 4,
                        picture_.data() + static_cast<std::size_t>(y) * stride +
                            static_cast<std::size_t>(rect.x) * 4,
                        static_cast<std::size_t>(rect.width) * 4);
        }
    }
    return true;
}

std::optional<std::string> PipeWireVideoStream::endReason() const {
    std::lock_guard guard(mutex_);
    return endReason_;
}

bool PipeWireVideoStream::requestSize(PictureSize size) {
    if (!isSane(size)) {
        return false;
    }
    pw_thread_loop_lock(loop_);
    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* formats = videoFormats(builder, size);
    const int result = stream_ == nullptr ? -EPIPE : pw_stream_update_params(stream_, &formats, 1);
    pw_thread_loop_unlock(loop_);
    return result >= 0;
}

void PipeWireVideoStream::onFormat(PictureSize size, std::uint32_t format) {
    std::lock_guard guard(mutex_);
    if (!isSane(size) || (format != SPA_VIDEO_FORMAT_BGRx && format != SPA_VIDEO_FORMAT_BGRA)) {
        endReason_ = "format vidéo de GNOME non pris en charge";
        changed_.notify_all();
        return;
    }
    negotiated_ = size;
}

void PipeWireVideoStream::onPicture(const std::uint8_t* pixels, std::size_t stride,
                                    std::size_t available, const std::vector<PixelRect>* damage) {
    std::lock_guard guard(mutex_);
    const PictureSize size = negotiated_;
    const std::size_t rowBytes = static_cast<std::size_t>(size.width) * 4;
    if (stride == 0) {
        stride = rowBytes;
    }
    if (!isSane(size) || stride < rowBytes ||
        available < stride * static_cast<std::size_t>(size.height - 1) + rowBytes) {
        return;
    }
    const auto row = [&](int y) { return pixels + static_cast<std::size_t>(y) * stride; };
    const auto keptRow = [&](int y) {
        return picture_.data() + static_cast<std::size_t>(y) * rowBytes;
    };
    if (!hasPicture_ || size != size_) {
        size_ = size;
        picture_.resize(rowBytes * static_cast<std::size_t>(size.height));
        for (int y = 0; y < size.height; ++y) {
            std::memcpy(keptRow(y), row(y), rowBytes);
        }
        changes_ = ChangedRegion::whole(size.width, size.height);
        hasPicture_ = true;
        changed_.notify_all();
        return;
    }
    if (damage != nullptr) {
        for (const PixelRect& wanted : *damage) {
            const PixelRect rect = intersection(wanted, {0, 0, size.width, size.height});
            for (int y = rect.y; y < rect.bottom(); ++y) {
                std::memcpy(keptRow(y) + static_cast<std::size_t>(rect.x) * 4,
                            row(y) + static_cast<std::size_t>(rect.x) * 4,
                            static_cast<std::size_t>(rect.width) * 4);
            }
            changes_.add(rect);
        }
        return;
    }
    // Rows that differ, taken whole and reported as bands of adjacent rows.
    int bandStart = -1;
    for (int y = 0; y <= size.height; ++y) {
        const bool differs = y < size.height && std::memcmp(keptRow(y), row(y), rowBytes) != 0;
        if (differs) {
            std::memcpy(keptRow(y), row(y), rowBytes);
            if (bandStart < 0) {
                bandStart = y;
            }
        } else if (bandStart >= 0) {
            changes_.add({0, bandStart, size.width, y - bandStart});
            bandStart = -1;
        }
    }
}

void PipeWireVideoStream::onEnd(std::string reason) {
    std::lock_guard guard(mutex_);
    if (!endReason_) {
        endReason_ = std::move(reason);
    }
    changed_.notify_all();
}

} // namespace quorvi::gnome
