#pragma once

#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "server/PublishedState.h"

#include <map>
#include <memory>
#include <optional>
#include <ostream>

namespace quorvi {

// Prints every change of a published text as "name: value", one per line,
// and each new journal line as "journal: …". This is what --headless shows
// and what scripts read; run as a user service it goes to the journal.
// The session's diagnostics change with every frame, so their line is
// printed at most once a second: a change inside the second waits for its
// end, and the latest value then takes the place of the ones in between.
//
// Thread: main (the published state's notifications and the queue's tasks).
class HeadlessPrinter {
public:
    // On the application's own event loop and the system clock.
    HeadlessPrinter(PublishedState& state, std::ostream& out);
    HeadlessPrinter(PublishedState& state, std::ostream& out, std::shared_ptr<MainQueue> queue,
                    std::shared_ptr<const Clock> clock);

    static constexpr double kDiagnosticsInterval = 1.0;

private:
    void print(PublishedProperty property);
    void printDiagnostics(const std::string& value);
    void flushDiagnostics();

    PublishedState& state_;
    std::ostream& out_;
    std::shared_ptr<MainQueue> queue_;
    std::shared_ptr<const Clock> clock_;
    std::map<PublishedProperty, std::string> lastPrinted_;
    std::optional<double> lastDiagnosticsTime_;
    std::optional<std::string> pendingDiagnostics_;
    bool isFlushScheduled_ = false;
    // Queued flushes hold it weakly: one that runs after the printer is gone
    // does nothing.
    std::shared_ptr<HeadlessPrinter*> self_ = std::make_shared<HeadlessPrinter*>(this);
};

} // namespace quorvi
