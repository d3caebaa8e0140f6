#include "platform/linux/gnome/GnomeCaptureService.h"

#include "platform/linux/CaptureStreamLoop.h"
#include "platform/linux/gnome/GnomeDisplayServices.h"
#include "platform/linux/gnome/MutterSession.h"
#include "platform/linux/gnome/PipeWireVideoStream.h"
#include "platform/linux/gnome/VirtualMonitorStreams.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

namespace quorvi {

namespace {

constexpr const char* kSessionClosed = "session de capture fermée par GNOME";
constexpr const char* kNoFirstPicture = "GNOME n'envoie aucune image de l'écran";
constexpr const char* kNoDisplays = "GNOME n'annonce aucun écran (Mutter injoignable)";

// Mutter records a monitor as soon as the stream is linked; a loaded
// compositor may take a moment.
constexpr auto kFirstPictureTimeout = std::chrono::seconds(5);

// One stream's copy of its display, taken from the PipeWire stream that
// keeps the latest picture. Nothing is grabbed from Mutter here: a grab
// copies what changed from that picture into the canvas.
//
// Thread: opened on the thread that starts the stream, then used by the
// capture thread alone (the session and the stream reader included).
class GnomeScreenGrabber final : public OwnCanvasScreenGrabber {
public:
    GnomeScreenGrabber(DisplayID id, std::shared_ptr<GnomeDisplayServices> displays,
                       std::shared_ptr<gnome::PipeWireVideoStream> virtualStream)
        : id_(id), displays_(std::move(displays)), stream_(std::move(virtualStream)) {}

    bool open(std::string& error) override {
        if (stream_ == nullptr && !recordMonitor(error)) {
            return false;
        }
        if (!stream_->waitForPicture(kFirstPictureTimeout)) {
            error = stream_->endReason().value_or(kNoFirstPicture);
            return false;
        }
        resizeCanvas();
        return true;
    }

    ScreenNews news(std::optional<std::string>& endReason) override {
        ScreenNews news;
        if (std::optional<std::string> ended = stream_->endReason()) {
            endReason = whyEnded(std::move(*ended));
            return news;
        }
        if (session_ != nullptr && !session_->isAlive()) {
            endReason = whyEnded(kSessionClosed);
            return news;
        }
        news.isNewCanvas = resizeCanvas();
        news.damage = stream_->takeChanges();
        if (isCanvasBlank_) {
            news.damage = ChangedRegion::whole(canvasWidth_, canvasHeight_);
        }
        news.damage.clip(canvasWidth_, canvasHeight_);
        return news;
    }

    bool grab(const ChangedRegion& region, std::optional<std::string>&) override {
        // A picture of another size came in between: the next tick starts
        // over with it.
        if (!stream_->copy(region, canvas_.data(), canvasBytesPerRow(),
                           {canvasWidth_, canvasHeight_})) {
            return false;
        }
        isCanvasBlank_ = false;
        return true;
    }

private:
    bool recordMonitor(std::string& error) {
        const std::optional<std::string> connector = displays_->connectorOf(id_);
        if (!connector) {
            error = kCaptureDisplayNotFound;
            return false;
        }
        session_ = gnome::MutterSession::create(gnome::MutterSession::Kind::screenCast, error);
        if (session_ == nullptr) {
            return false;
        }
        const std::optional<std::size_t> index = session_->recordMonitor(*connector, error);
        if (!index || !session_->start(error)) {
            return false;
        }
        const std::optional<std::uint32_t> node = session_->stream(*index).pipeWireNode;
        if (!node) {
            error = kNoFirstPicture;
            return false;
        }
        stream_ = gnome::PipeWireVideoStream::connectWithPicture(*node, std::nullopt, error);
        return stream_ != nullptr;
    }

    // Mutter closes the streams of a monitor that goes away: say so when the
    // other displays are still there, else the stream's own reason.
    std::string whyEnded(std::string reason) const {
        const std::vector<DisplayID> online = displays_->onlineDisplayIDs();
        if (!online.empty() && std::find(online.begin(), online.end(), id_) == online.end()) {
            return kCaptureDisplayGone;
        }
        return reason;
    }

    // The canvas takes the size of the latest picture; true when it changed.
    bool resizeCanvas() {
        const gnome::PictureSize size = stream_->size();
        return setCanvasSize(size.width, size.height);
    }

    const DisplayID id_;
    const std::shared_ptr<GnomeDisplayServices> displays_;
    // Before the stream, so that the stream is unlinked before the session
    // ends (a session of our own only: a virtual monitor's is not ours).
    std::unique_ptr<gnome::MutterSession> session_;
    std::shared_ptr<gnome::PipeWireVideoStream> stream_;
};

// Thread: any; the streams run on the runner's threads.
class GnomeCaptureService final : public CaptureService {
public:
    GnomeCaptureService(std::shared_ptr<GnomeDisplayServices> displays,
                        std::shared_ptr<gnome::VirtualMonitorStreams> virtuals)
        : displays_(std::move(displays)), virtuals_(std::move(virtuals)) {}

    ShareableContentResult shareableContent() override {
        ShareableContent content;
        content.displayIDs = displays_->onlineDisplayIDs();
        if (content.displayIDs.empty()) {
            return {std::nullopt, kNoDisplays};
        }
        return {std::move(content), {}};
    }

    CaptureStartResult start(const CaptureStreamConfiguration& configuration,
                             CaptureStreamOutput output) override {
        std::shared_ptr<gnome::PipeWireVideoStream> virtualStream =
            virtuals_ ? virtuals_->find(configuration.displayID) : nullptr;
        return runner_.start(configuration,
                             std::make_unique<GnomeScreenGrabber>(
                                 configuration.displayID, displays_, std::move(virtualStream)),
                             std::move(output));
    }

private:
    const std::shared_ptr<GnomeDisplayServices> displays_;
    const std::shared_ptr<gnome::VirtualMonitorStreams> virtuals_;
    // Last, so that the streams stop before anything else goes.
    CaptureStreamRunner runner_;
};

} // namespace

std::shared_ptr<CaptureService>
makeGnomeCaptureService(std::shared_ptr<GnomeDisplayServices> displays,
                        std::shared_ptr<gnome::VirtualMonitorStreams> virtuals) {
    return std::make_shared<GnomeCaptureService>(std::move(displays), std::move(virtuals));
}

} // namespace quorvi
