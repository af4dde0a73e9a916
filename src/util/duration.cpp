#include "util/duration.hpp"

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

}  // namespace oculane
