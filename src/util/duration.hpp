#pragma once
// Float seconds from Python to a duration, converted once at the boundary.

#include <chrono>
#include <cstdint>
#include <expected>
#include <string>

namespace oculane {

using Duration = std::chrono::nanoseconds;

// Fails with "cannot convert float seconds to Duration: value is negative" or
// "cannot convert float seconds to Duration: value is either too big or NaN".
// Negative zero is zero. The largest accepted value is 4e9 seconds (about
// 127 years), half of what a 64-bit nanosecond count holds, so a deadline of
// now + d never overflows the steady clock; larger values are "too big".
std::expected<Duration, std::string> duration_from_secs(double secs);

// Whole milliseconds of a duration, for log texts and register values.
inline long long to_millis(Duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// The time `count` more steps take when `parts` steps took `total`, at most
// `cap`: min(total / parts * count, cap), never overflowing however long
// `total` is (an interval measured from a clock's start spans the host's
// uptime, and a day of nanoseconds times a few thousand leaves 64 bits).
// Zero for no parts, no steps, or a total that is not positive.
Duration share_capped(Duration total, std::uint64_t parts, std::uint64_t count, Duration cap);

}  // namespace oculane
