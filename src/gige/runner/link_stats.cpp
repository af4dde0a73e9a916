#include "gige/runner/link_stats.hpp"
#include "thread_util/mutex.hpp"

#include <fmt/format.h>

namespace oculane::gige {

std::string LinkStats::to_string() const {
    return fmt::format(
        "LinkStats {{ commands: {}, acks: {}, retries: {}, timeouts: {}, naks: {}, "
        "pending_acks: {}, heartbeats: {}, events: {}, unsolicited: {} }}",
        commands, acks, retries, timeouts, naks, pending_acks, heartbeats, events, unsolicited);
}

void LinkStatsRecord::bump(LinkCounter counter) {
    MutexLock lock(mutex_);
    switch (counter) {
        case LinkCounter::Commands: ++stats_.commands; break;
        case LinkCounter::Acks: ++stats_.acks; break;
        case LinkCounter::Retries: ++stats_.retries; break;
        case LinkCounter::Timeouts: ++stats_.timeouts; break;
        case LinkCounter::Naks: ++stats_.naks; break;
        case LinkCounter::PendingAcks: ++stats_.pending_acks; break;
        case LinkCounter::Heartbeats: ++stats_.heartbeats; break;
        case LinkCounter::Events: ++stats_.events; break;
        case LinkCounter::Unsolicited: ++stats_.unsolicited; break;
    }
}

LinkStats LinkStatsRecord::snapshot() const {
    MutexLock lock(mutex_);
    return stats_;
}

}  // namespace oculane::gige
