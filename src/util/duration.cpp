#include "util/duration.hpp"

#include <algorithm>
#include <cmath>

namespace oculane {

std::expected<Duration, std::string> duration_from_secs(double secs) {
    if (std::isnan(secs))
        return std::unexpected("cannot convert float seconds to Duration: value is either too big or NaN");
    if (secs < 0.0)
        return std::unexpected("cannot convert float seconds to Duration: value is negative");
    // Half the nanosecond range leaves room for now() + d on the steady clock.
    constexpr double kMaxSecs = 4.0e9;
    if (!(secs <= kMaxSecs))
        return std::unexpected("cannot convert float seconds to Duration: value is either too big or NaN");
    return Duration(static_cast<Duration::rep>(std::llround(secs * 1e9)));
}

Duration share_capped(Duration total, std::uint64_t parts, std::uint64_t count, Duration cap) {
    if (parts == 0 || count == 0 || total <= Duration::zero() || cap <= Duration::zero()) return Duration::zero();
    const auto step = static_cast<std::uint64_t>(total.count()) / parts;
    const auto limit = static_cast<std::uint64_t>(cap.count());
    // Past limit / step steps the product is over the cap: decided before
    // multiplying.
    if (step == 0) return Duration::zero();
    if (count > limit / step) return cap;
    return std::min(Duration(static_cast<Duration::rep>(step * count)), cap);
}

}  // namespace oculane
