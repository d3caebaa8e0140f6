#include "server/PublishedState.h"

namespace quorvi {

void PublishedState::addJournalLine(std::string line) {
    announce(PublishedProperty::logs, true);
    insertNewestFirst(logs_, line, kJournalLimit);
    announce(PublishedProperty::logs, false);
    for (const auto& observer : observers_) {
        if (observer.journalLineAdded) {
            observer.journalLineAdded(line);
        }
    }
}

void PublishedState::addReceivedInput(InputEventMessage message) {
    announce(PublishedProperty::receivedInputs, true);
    insertNewestFirst(receivedInputs_, std::move(message), kRecentInputLimit);
    announce(PublishedProperty::receivedInputs, false);
}

void PublishedState::boundJournal() {
    if (logs_.size() > kJournalLimit) {
        announce(PublishedProperty::logs, true);
        logs_.resize(kJournalLimit);
        announce(PublishedProperty::logs, false);
    }
}

void PublishedState::announce(PublishedProperty property, bool isBefore) {
    for (const auto& observer : observers_) {
        const auto& callback = isBefore ? observer.willChange : observer.didChange;
        if (callback) {
            callback(property);
        }
    }
}

} // namespace quorvi
