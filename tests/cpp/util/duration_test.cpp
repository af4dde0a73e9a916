#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "util/duration.hpp"

using namespace oculane;

TEST(DurationFromSecs, ValidAndInvalidValues) {
    const std::string negative = "cannot convert float seconds to Duration: value is negative";
    const std::string too_big = "cannot convert float seconds to Duration: value is either too big or NaN";
    const struct {
        double secs;
        long long nanos;  // -1: expect the error text
        const std::string* error;
    } cases[] = {
        {0.0, 0, nullptr},
        {-0.0, 0, nullptr},
        {1.0, 1'000'000'000, nullptr},
        {0.0015, 1'500'000, nullptr},
        {-1.0, -1, &negative},
        {-1e-12, -1, &negative},
        {std::nan(""), -1, &too_big},
        {std::numeric_limits<double>::infinity(), -1, &too_big},
        {-std::numeric_limits<double>::infinity(), -1, &negative},
        {1e300, -1, &too_big},
    };
    for (const auto& c : cases) {
        auto d = duration_from_secs(c.secs);
        if (c.error) {
            ASSERT_FALSE(d.has_value()) << c.secs;
            EXPECT_EQ(d.error(), *c.error) << c.secs;
        } else {
            ASSERT_TRUE(d.has_value()) << c.secs;
            EXPECT_EQ(d->count(), c.nanos);
        }
    }
}

// The coalescing sleep's estimate: the arrival spacing times the packets
// still to come, capped. A total as long as a host's uptime must not overflow
// on the way to the cap.
TEST(ShareCapped, ScalesAndCapsWithoutOverflow) {
    using std::chrono::hours;
    using std::chrono::microseconds;
    const Duration cap = microseconds(100);
    const struct {
        Duration total;
        std::uint64_t parts, count;
        Duration want;
    } cases[] = {
        {microseconds(40), 4, 3, microseconds(30)},
        {microseconds(40), 4, 10, cap},
        {microseconds(40), 4, 0, Duration::zero()},
        {microseconds(40), 0, 3, Duration::zero()},
        {Duration(3), 4, 1000, Duration::zero()},  // under a nanosecond per step
        {Duration::zero(), 4, 3, Duration::zero()},
        {hours(24 * 40), 1, 3000, cap},             // 40 days of uptime, a large frame
        {hours(24 * 365 * 200), 7, ~0ull, cap},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(share_capped(c.total, c.parts, c.count, cap), c.want)
            << c.total.count() << " / " << c.parts << " * " << c.count;
    }
}
