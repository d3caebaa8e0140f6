#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quorvi {

// The client's bytes not yet consumed, cut into lines at each line feed.
// Bounded: a client that never sends a line feed cannot grow it past the
// limit. Nothing but the line feed is trimmed (a "\r" stays, JSON skips it).
//
// Thread: work queue (owned by the server).
class InputLineBuffer {
public:
    explicit InputLineBuffer(std::size_t limit) : limit_(limit) {}

    // False, and nothing appended, when held bytes plus data would exceed the
    // limit; exactly the limit is accepted.
    bool append(const std::uint8_t* data, std::size_t size);

    // Calls onLine for every complete non-empty line, in order, without its
    // line feed, then drops those bytes. The view is valid during the call.
    void consumeLines(const std::function<void(std::string_view)>& onLine);

    void clear();
    std::size_t size() const { return bytes_.size(); }
    std::size_t limit() const { return limit_; }

private:
    std::size_t limit_;
    std::string bytes_;
    // Where the search for the next line feed resumes: bytes before it were
    // already searched, so a long line costs one pass, not one per read.
    std::size_t searchedUpTo_ = 0;
};

} // namespace quorvi
