#pragma once
// A warning that may repeat, let through at most once per interval. The
// occurrences held back in between are counted, so that the next warning
// that gets through can say how many there were. The caller gives the time,
// so tests drive it with synthetic instants. Not thread-safe: one owner, or
// a lock around it.

#include <chrono>
#include <cstdint>
#include <optional>

namespace oculane {

class RateLimit {
public:
    using Clock = std::chrono::steady_clock;

    explicit RateLimit(Clock::duration interval) : interval_(interval) {}

    // One more occurrence at `now`. When it may be reported, returns how many
    // were held back since the last one let through (0 for none); nothing
    // when it is to be held back itself.
    std::optional<std::uint64_t> admit(Clock::time_point now) {
        if (let_through_ && now - last_ < interval_) {
            ++held_back_;
            return std::nullopt;
        }
        let_through_ = true;
        last_ = now;
        const std::uint64_t held = held_back_;
        held_back_ = 0;
        return held;
    }

    // Whether an occurrence at `now` would be let through.
    bool due(Clock::time_point now) const { return !let_through_ || now - last_ >= interval_; }

private:
    Clock::duration interval_;
    bool let_through_ = false;
    Clock::time_point last_{};
    std::uint64_t held_back_ = 0;
};

}  // namespace oculane
