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
