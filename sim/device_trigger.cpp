// The device's triggers and action commands: the trigger registers per
// selector (FrameStart, AcquisitionStart), the software trigger, input line
// pulses, the action signals with their keys and masks, and scheduled
// actions that wait for their device time. A trigger that a selector takes
// becomes a pending trigger due at its instant plus the selector's delay; the
// stream side serves those when they are due (take_stream_work), so a frame
// is timestamped with the instant it was triggered whatever the thread
// latency, as a camera's exposure starts on the trigger itself.

#include "sim/device.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "error/gvcp_status.hpp"
#include "gige/proto/gvcp.hpp"
#include "sim/device_internal.hpp"
#include "sim/feature_registers.hpp"

namespace oculane::sim {

using namespace detail;
using gvcp::Ack;

namespace {

// Triggers waiting for their due time (delays, scheduled actions); beyond
// this a trigger is missed, as one arriving while the camera is busy.
constexpr std::size_t kPendingTriggerLimit = 64;
constexpr double kMaxTriggerDelayUs = 10'000'000.0;

}  // namespace

bool Device::is_trigger_register(std::uint32_t address) const {
    return own_description_ && address >= reg::kTriggerSelector && address < reg::kTriggerRegistersEnd;
}

std::uint32_t Device::trigger_reg(std::uint32_t selector, std::uint32_t offset) const {
    return space_.get(reg::kTriggerBlock + selector * reg::kTriggerStride + offset);
}

bool Device::trigger_on(std::uint32_t selector) const {
    return own_description_ && (trigger_reg(selector, reg::kTriggerModeOffset) & 1) != 0;
}

std::uint16_t Device::write_trigger_register(std::uint32_t address, std::uint32_t value, Clock::time_point now) {
    if (address == reg::kTriggerSelector || address == reg::kActionSelector) {
        const std::uint32_t count = address == reg::kTriggerSelector ? reg::kTriggerSelectors : reg::kActionSignals;
        if (value >= count) return GvcpStatus::kInvalidParameter;
        space_.set(address, value);
        return kOk;
    }
    if (address >= reg::kTriggerSoftware && address < reg::kTriggerSoftware + 4 * reg::kTriggerSelectors) {
        const std::uint32_t selector = (address - reg::kTriggerSoftware) / 4;
        // Only a selector whose source is Software takes it; the command
        // register reads back 0.
        if (value != 0 && trigger_on(selector) &&
            trigger_reg(selector, reg::kTriggerSourceOffset) == reg::kSourceSoftware)
            queue_trigger(selector, now);
        return kOk;
    }
    if (address == reg::kPtpEnable || address == reg::kPtpStatus) return GvcpStatus::kWriteProtect;
    if (address < reg::kTriggerBlock || address >= reg::kTriggerBlock + reg::kTriggerStride * reg::kTriggerSelectors)
        return GvcpStatus::kInvalidAddress;
    switch ((address - reg::kTriggerBlock) % reg::kTriggerStride) {
        case reg::kTriggerModeOffset: value &= 1; break;
        case reg::kTriggerSourceOffset:
            if (value > reg::kSourceAction0 + reg::kActionSignals - 1) return GvcpStatus::kInvalidParameter;
            break;
        case reg::kTriggerActivationOffset:
            if (value > reg::kAnyEdge) return GvcpStatus::kInvalidParameter;
            break;
        case reg::kTriggerDelayOffset:
        case reg::kTriggerDelayOffset + 4: {
            // The float64 is checked once both halves are in.
            const bool high = (address - reg::kTriggerBlock) % reg::kTriggerStride == reg::kTriggerDelayOffset;
            const std::uint32_t other = space_.get(high ? address + 4 : address - 4);
            const std::uint64_t bits = high ? (std::uint64_t{value} << 32) | other : (std::uint64_t{other} << 32) | value;
            const double us = std::bit_cast<double>(bits);
            if (!high && !(us >= 0 && us <= kMaxTriggerDelayUs)) return GvcpStatus::kInvalidParameter;
            break;
        }
        default: return GvcpStatus::kInvalidAddress;
    }
    space_.set(address, value);
    return kOk;
}

void Device::signal_trigger(std::uint32_t source, std::optional<std::uint32_t> edge, Clock::time_point at) {
    for (std::uint32_t sel = 0; sel < reg::kTriggerSelectors; ++sel) {
        if (!trigger_on(sel) || trigger_reg(sel, reg::kTriggerSourceOffset) != source) continue;
        if (edge) {
            const std::uint32_t wanted = trigger_reg(sel, reg::kTriggerActivationOffset);
            if (wanted != reg::kAnyEdge && wanted != *edge) continue;
        }
        queue_trigger(sel, at);
    }
}

void Device::queue_trigger(std::uint32_t selector, Clock::time_point at) {
    // A frame trigger while not acquiring, or a start trigger while not
    // waiting for one, is lost as on a real camera.
    const bool ready = selector == reg::kFrameStart ? acquiring_ || armed_ : armed_;
    if (!ready || triggers_.size() >= kPendingTriggerLimit) {
        ++counters_.triggers_missed;
        return;
    }
    const std::uint32_t base = reg::kTriggerBlock + selector * reg::kTriggerStride + reg::kTriggerDelayOffset;
    const double us = std::bit_cast<double>((std::uint64_t{space_.get(base)} << 32) | space_.get(base + 4));
    const auto delay = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::micro>(std::isfinite(us) && us > 0 ? us : 0.0));
    const PendingTrigger t{at + delay, selector};
    const auto pos = std::upper_bound(triggers_.begin(), triggers_.end(), t.due,
                                      [](Clock::time_point d, const PendingTrigger& p) { return d < p.due; });
    triggers_.insert(pos, t);
    wake_sender();
}

void Device::arm_or_start_acquisition(Clock::time_point now) {
    if (trigger_on(reg::kAcquisitionStartTrigger)) {
        armed_ = true;
        return;
    }
    start_acquisition(now);
}

void Device::clear_triggers() {
    triggers_.clear();
    armed_ = false;
}

std::optional<Clock::time_point> Device::serve_triggers(Clock::time_point now) {
    while (!triggers_.empty() && triggers_.front().due <= now) {
        const PendingTrigger t = triggers_.front();
        if (t.selector == reg::kAcquisitionStartTrigger) {
            triggers_.pop_front();
            if (!armed_) {
                ++counters_.triggers_missed;
                continue;
            }
            armed_ = false;
            ++counters_.triggers;
            start_acquisition(t.due);
            continue;
        }
        // A frame trigger: one frame per call, the rest on the next.
        if (!acquiring_ || !trigger_on(reg::kFrameStart)) {
            triggers_.pop_front();
            ++counters_.triggers_missed;
            continue;
        }
        triggers_.pop_front();
        ++counters_.triggers;
        return t.due;
    }
    return std::nullopt;
}

bool Device::pulse_line(std::uint32_t line, Clock::time_point now) {
    if (line >= reg::kLines) return false;
    MutexLock lock(mu_);
    if (powered_off_) return true;
    signal_trigger(reg::kSourceLine0 + line, reg::kRisingEdge, now);
    signal_trigger(reg::kSourceLine0 + line, reg::kFallingEdge, now);
    return true;
}

Clock::time_point Device::time_of_ticks(std::uint64_t ticks) const {
    const long double ns = static_cast<long double>(ticks) * 1e9L / static_cast<long double>(config_.tick_frequency);
    return timestamp_origin_ + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::nanoseconds(static_cast<std::int64_t>(std::min(ns, 9e18L))));
}

// ACTION_CMD. A command not meant for this device (another device key, no
// matching signal) is dropped without an answer, as is any action while no
// application holds the control privilege: the standard leaves unconditional
// action mode optional and this camera does not offer it.
std::optional<Device::Answer> Device::handle_action(const gvcp::CommandHeader& h, std::span<const std::uint8_t> payload,
                                                    Clock::time_point now, CommandRecord& rec) {
    ++counters_.actions;
    const auto a = gvcp::parse_action(h.flags, payload);
    if (!a) return Answer{GvcpStatus::kInvalidHeader, gvcp::code(Ack::Action), {}};
    rec.values = {a->device_key, a->group_key, a->group_mask};
    if (!controller_ || a->device_key != action_device_key_) return std::nullopt;
    std::vector<std::uint32_t> signals;
    for (std::uint32_t i = 0; i < reg::kActionSignals; ++i)
        if (space_.get(reg::kActionGroupKey + i * reg::kActionGroupStride) == a->group_key &&
            (space_.get(reg::kActionGroupMask + i * reg::kActionGroupStride) & a->group_mask) != 0)
            signals.push_back(i);
    if (signals.empty()) return std::nullopt;
    ++counters_.actions_matched;

    Answer answer{kOk, gvcp::code(Ack::Action), {}};
    Clock::time_point at = now;
    if (a->scheduled_time) {
        at = time_of_ticks(*a->scheduled_time);
        if (at < now) {
            // Too late to act at its time: acted on at once, and said so.
            answer.status = GvcpStatus::kActionLate;
            at = now;
        } else if (std::count_if(triggers_.begin(), triggers_.end(),
                                 [&](const PendingTrigger& t) { return t.due > now; }) >= reg::kActionQueueSize) {
            return Answer{GvcpStatus::kOverflow, gvcp::code(Ack::Action), {}};
        }
    }
    for (std::uint32_t i : signals) signal_trigger(reg::kSourceAction0 + i, std::nullopt, at);
    return answer;
}

}  // namespace oculane::sim
