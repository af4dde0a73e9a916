// Events the device raises itself: acquisition start and end, frame start
// and exposure end when their notification is on, and the test event; each
// repeated until acknowledged, as the message channel's timeout and retry
// count say.
#include <algorithm>

#include "gige/proto/gvcp.hpp"
#include "sim/device.hpp"
#include "sim/feature_registers.hpp"

namespace oculane::sim {

namespace {

// Unacknowledged events kept for retries; beyond this the oldest is given up,
// so a host that never answers cannot make the device hold more and more.
constexpr std::size_t kMaxPendingEvents = 256;

}  // namespace

void Device::raise_event(EventKind kind, std::span<const std::uint8_t> data, std::uint16_t channel,
                         std::uint16_t block_id, Clock::time_point now) {
    const auto k = static_cast<std::uint32_t>(kind);
    if (kind != EventKind::Test && !(space_.get(reg::kEventNotification + 4 * k) & 1)) return;
    const auto target = event_target();
    if (!target) return;
    const std::uint16_t id =
        kind == EventKind::Test ? reg::kTestEventId : static_cast<std::uint16_t>(reg::kEventIdBase + k);
    const auto command = gvcp::code(data.empty() ? gvcp::Command::Event : gvcp::Command::EventData);
    const std::uint16_t request_id = next_request_id();
    Outgoing out{*target, gvcp::encode_event(command, request_id, true, id, channel, block_id,
                                             timestamp_ticks_unlocked(now), data)};
    ++counters_.events;
    if (const std::uint32_t retries = space_.get(reg::kMessageChannelRetries); retries > 0) {
        if (pending_events_.size() == kMaxPendingEvents) pending_events_.pop_front();
        const auto timeout = std::chrono::milliseconds(std::max<std::uint32_t>(space_.get(reg::kMessageChannelTimeout), 1));
        pending_events_.push_back(PendingEvent{request_id, out, retries, now + timeout});
    }
    if (in_datagram_) {
        side_effects_.push_back(std::move(out));
    } else {
        event_outbox_.push_back(std::move(out));
        if (event_waker_) (void)event_waker_->wake();
    }
}

void Device::event_acknowledged(std::uint16_t ack_id) {
    std::erase_if(pending_events_, [&](const PendingEvent& e) { return e.request_id == ack_id; });
}

std::optional<Clock::time_point> Device::next_event_retry() const {
    std::optional<Clock::time_point> next;
    for (const auto& e : pending_events_)
        if (!next || e.due < *next) next = e.due;
    return next;
}

std::vector<Outgoing> Device::take_events(Clock::time_point now) {
    MutexLock lock(mu_);
    std::vector<Outgoing> out;
    out.swap(event_outbox_);
    if (powered_off_) {
        out.clear();
        pending_events_.clear();
        return out;
    }
    const auto timeout = std::chrono::milliseconds(std::max<std::uint32_t>(space_.get(reg::kMessageChannelTimeout), 1));
    for (auto& e : pending_events_) {
        if (e.due > now) continue;
        out.push_back(e.out);
        ++counters_.event_retries;
        --e.retries_left;
        e.due = now + timeout;
    }
    std::erase_if(pending_events_, [](const PendingEvent& e) { return e.retries_left == 0; });
    return out;
}

void Device::attach_event_waker(std::shared_ptr<Waker> waker) {
    MutexLock lock(mu_);
    event_waker_ = std::move(waker);
}

}  // namespace oculane::sim
