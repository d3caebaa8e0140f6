#include "server/InputLineBuffer.h"

namespace quorvi {

bool InputLineBuffer::append(const std::uint8_t* data, std::size_t size) {
    if (size > limit_ || bytes_.size() > limit_ - size) {
        return false;
    }
    bytes_.append(reinterpret_cast<const char*>(data), size);
    return true;
}

void InputLineBuffer::consumeLines(const std::function<void(std::string_view)>& onLine) {
    std::size_t lineStart = 0;
    std::size_t searchFrom = searchedUpTo_;
    while (true) {
        const auto lineFeed = bytes_.find('\n', searchFrom);
        if (lineFeed == std::string::npos) {
            break;
        }
        const std::string_view line(bytes_.data() + lineStart, lineFeed - lineStart);
        lineStart = lineFeed + 1;
        searchFrom = lineStart;
        if (!line.empty()) {
            onLine(line);
        }
    }
    // One erase for all the lines of this read.
    bytes_.erase(0, lineStart);
    searchedUpTo_ = bytes_.size();
}

void InputLineBuffer::clear() {
    bytes_.clear();
    // A previous client's 8 MiB line should not stay allocated.
    if (bytes_.capacity() > 1 << 20) {
        bytes_.shrink_to_fit();
    }
    searchedUpTo_ = 0;
}

} // namespace quorvi
