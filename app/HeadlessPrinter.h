#pragma once

#include "server/PublishedState.h"

#include <map>
#include <ostream>

namespace quorvi {

// Prints every change of a published text as "name: value", one per line,
// and each new journal line as "journal: …". This is what --headless shows
// and what scripts read.
//
// Thread: main.
class HeadlessPrinter {
public:
    HeadlessPrinter(PublishedState& state, std::ostream& out);

private:
    void print(PublishedProperty property);

    PublishedState& state_;
    std::ostream& out_;
    std::map<PublishedProperty, std::string> lastPrinted_;
};

} // namespace quorvi
