#include "display/VirtualDisplayOwner.h"

#include <charconv>

namespace quorvi {

namespace {

// The unsigned number that ends text right before position end, and where
// it starts; nullopt when no digit stands there.
template <typename Number>
std::optional<std::pair<Number, std::size_t>> numberEndingAt(const std::string& text,
                                                             std::size_t end) {
    std::size_t start = end;
    while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') {
        --start;
    }
    Number value{};
    const auto [last, error] = std::from_chars(text.data() + start, text.data() + end, value);
    if (start == end || error != std::errc() || last != text.data() + end) {
        return std::nullopt;
    }
    return std::pair{value, start};
}

} // namespace

std::string ownerTag(const ProcessRun& owner) {
    return "-p" + std::to_string(owner.pid) + "-t" + std::to_string(owner.startTime);
}

std::optional<ProcessRun> ownerOfName(const std::string& name) {
    const auto startTime = numberEndingAt<std::uint64_t>(name, name.size());
    if (!startTime || startTime->second < 3 || name.compare(startTime->second - 2, 2, "-t") != 0) {
        return std::nullopt;
    }
    const auto pid = numberEndingAt<std::int64_t>(name, startTime->second - 2);
    if (!pid || pid->first <= 0 || pid->second < 2 || name.compare(pid->second - 2, 2, "-p") != 0) {
        return std::nullopt;
    }
    return ProcessRun{pid->first, startTime->first};
}

} // namespace quorvi
