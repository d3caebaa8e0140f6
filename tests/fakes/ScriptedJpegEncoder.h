#pragma once

#include "capture/JpegEncoder.h"

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace quorvi::fakes {

// A JPEG encoder that answers scripted bytes (a few fixed ones by default,
// or none) and records which picture and quality it was given. onEncode runs
// inside encode, before it answers.
//
// Thread: any (a mutex guards the script and the record).
class ScriptedJpegEncoder final : public JpegEncoder {
public:
    struct Call {
        const PixelBuffer* picture = nullptr;
        int quality = -1;
    };

    void setResult(std::optional<std::vector<std::uint8_t>> result) {
        std::lock_guard lock(mutex_);
        result_ = std::move(result);
    }

    void setOnEncode(std::function<void()> action) {
        std::lock_guard lock(mutex_);
        onEncode_ = std::move(action);
    }

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

    std::optional<std::vector<std::uint8_t>> encode(const PixelBuffer& picture,
                                                    int quality) override {
        std::function<void()> action;
        std::optional<std::vector<std::uint8_t>> result;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back({&picture, quality});
            action = onEncode_;
            result = result_;
        }
        if (action) {
            action();
        }
        return result;
    }

private:
    mutable std::mutex mutex_;
    // The start and end markers of a JPEG file, enough to tell it apart.
    std::optional<std::vector<std::uint8_t>> result_ =
        std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0xFF, 0xD9};
    std::function<void()> onEncode_;
    std::vector<Call> calls_;
};

} // namespace quorvi::fakes
