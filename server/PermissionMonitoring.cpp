// The two grants, the local addresses and the capture visibility probe, kept
// up to date for the window.
#include "capture/CaptureVisibilityStatus.h"
#include "platform/MainQueue.h"
#include "platform/QueueCheck.h"
#include "platform/RepeatingTimer.h"
#include "platform/WorkQueue.h"
#include "server/QuorviServer.h"
#include "system/LocalAddresses.h"
#include "system/PermissionStatus.h"

#include <thread>

namespace quorvi {

std::vector<std::string> QuorviServer::readLocalAddresses() {
    return platform_.localAddresses ? platform_.localAddresses() : ipv4Addresses();
}

std::string QuorviServer::readPermissionSummary() {
    if (!platform_.privacyGrants) {
        return PermissionStatus{}.summary();
    }
    return PermissionStatus::current(*platform_.privacyGrants).summary();
}

void QuorviServer::startPermissionMonitoring() {
    // The timer lives on the work queue; start() runs on the main thread.
    std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
    queue_->post([weakSelf] {
        auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        if (self->permissionRefreshTimer_) {
            self->permissionRefreshTimer_->cancel();
        }
        self->permissionRefreshTimer_ =
            std::make_unique<RepeatingTimer>(*self->queue_, std::chrono::seconds(2), [weakSelf] {
                if (auto server = weakSelf.lock()) {
                    server->refreshPermissionSummaryOnly();
                }
            });
        self->permissionRefreshTimer_->start();
    });
}

void QuorviServer::refreshPermissionSummaryOnly() {
    QUORVI_ASSERT_ON(*queue_);
    platform_.mainQueue->post(
        [state = published_, summary = readPermissionSummary(), addresses = readLocalAddresses()] {
            state->setPermissionSummary(summary);
            state->setLocalAddresses(addresses);
        });
}

void QuorviServer::refreshPermissions() {
    std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
    platform_.mainQueue->post([weakSelf] {
        auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        self->published_->setPermissionSummary(self->readPermissionSummary());
        self->published_->setLocalAddresses(self->readLocalAddresses());
        auto grants = self->platform_.privacyGrants;
        auto windows = self->platform_.windowList;
        if (!grants || !windows) {
            return;
        }
        // The probe asks the X server for every window: off the main thread
        // and off the work queue. It never holds the server, so that the
        // last reference cannot end up on this thread; the result goes to
        // the main thread, which does.
        std::thread([weakSelf, grants, windows, mainQueue = self->platform_.mainQueue] {
            const auto status = CaptureVisibilityStatus::current(*grants, *windows);
            if (weakSelf.expired()) {
                return; // nobody left to tell, and maybe no main loop either
            }
            mainQueue->post([weakSelf, status] {
                auto self = weakSelf.lock();
                if (!self) {
                    return;
                }
                self->published_->setCaptureVisibilitySummary(status.summary);
                self->published_->addJournalLine(status.journalLine());
                self->queue_->post([weakSelf, summary = status.summary] {
                    if (auto self = weakSelf.lock()) {
                        self->captureVisibilitySummaryCopy_ = summary;
                    }
                });
            });
        }).detach();
    });
}

} // namespace quorvi
