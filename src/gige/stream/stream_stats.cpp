#include "gige/stream/stream_stats.hpp"

#include <fmt/format.h>

namespace oculane {

std::string repr(const StreamStats& stats) {
    std::string out = "StreamStats { ";
    bool first = true;
    for (const auto& f : kStreamStatsFields) {
        if (!first) out += ", ";
        first = false;
        fmt::format_to(std::back_inserter(out), "{}: {}", f.name, stats.*f.member);
    }
    out += " }";
    return out;
}

}  // namespace oculane
