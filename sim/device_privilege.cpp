// The control privilege: who holds it, heartbeat expiry, and what ends with it.

#include "sim/device.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "error/gvcp_status.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/proto/bytes.hpp"
#include "gige/proto/device_info.hpp"
#include "gige/proto/gvcp.hpp"
#include "sim/device_internal.hpp"
#include "sim/feature_registers.hpp"

namespace oculane::sim {

using namespace detail;
using gvcp::Ack;
using gvcp::Command;

// ---- privilege ----------------------------------------------------------------

bool Device::is_controller(Endpoint e) const { return controller_ && controller_->endpoint == e; }

bool Device::heartbeat_enforced() const {
    // A pretended foreign holder never lapses, and the host may switch the
    // heartbeat off (bit 0 of the GVCP configuration).
    return controller_ && !controller_->foreign && !(space_.get(reg::kGvcpConfiguration) & 0x1);
}

bool Device::exclusive_elsewhere(Endpoint e) const {
    return controller_ && !(controller_->endpoint == e) && (controller_->ccp & bs::kCcpExclusive);
}

void Device::expire(Clock::time_point now) {
    if (!heartbeat_enforced()) return;
    const auto timeout = std::chrono::milliseconds(space_.get(bs::kHeartbeatTimeout));
    if (now - last_heard_ > timeout) {
        end_control();
        ++counters_.control_expired;
    }
}

void Device::tick(Clock::time_point now) {
    MutexLock lock(mu_);
    last_now_ = now;
    expire(now);
}

std::optional<Clock::time_point> Device::next_deadline() const {
    MutexLock lock(mu_);
    std::optional<Clock::time_point> next = next_event_retry();
    if (!heartbeat_enforced()) return next;
    const auto expiry = last_heard_ + std::chrono::milliseconds(space_.get(bs::kHeartbeatTimeout)) +
                        std::chrono::milliseconds(1);
    return next ? std::min(*next, expiry) : expiry;
}

void Device::clear_control() {
    MutexLock lock(mu_);
    end_control();
}

void Device::set_foreign_controller(std::optional<Endpoint> holder) {
    MutexLock lock(mu_);
    if (holder) {
        if (controller_ && !controller_->foreign) end_control();  // the real holder is displaced
        controller_ = Controller{*holder, bs::kCcpControl, true};
    } else if (controller_ && controller_->foreign) {
        controller_.reset();
    }
}

void Device::end_control() {
    const bool real = controller_ && !controller_->foreign;
    controller_.reset();
    if (!real) return;
    // The channels the departed application opened point at it; a device
    // closes them with the privilege so that nothing keeps streaming or
    // sending events to a host that is gone, and the next controller starts clean.
    for (std::uint32_t ch = 0; ch < config_.stream_channels; ++ch) close_stream_channel(ch);
    space_.set(reg::kMessageChannelPort, 0);
    set_acquiring(false);
}

}  // namespace oculane::sim
