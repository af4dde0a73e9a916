// Fault switches of the control side.

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

// ---- faults -------------------------------------------------------------------

void Device::add_ack_fault(AckFault kind, std::int64_t count, std::vector<std::uint16_t> commands) {
    MutexLock lock(mu_);
    if (count == 0) return;
    faults_.ack_rules.push_back(AckFaultRule{kind, count, std::move(commands)});
}

void Device::set_pending_ack(std::uint32_t pending_ms, std::uint32_t answer_after_ms, std::int64_t count,
                             std::vector<std::uint16_t> commands) {
    MutexLock lock(mu_);
    if (count == 0) {
        faults_.pending.reset();
        return;
    }
    faults_.pending = PendingRule{pending_ms, answer_after_ms, count, std::move(commands)};
}

void Device::set_address_status(std::uint32_t address, std::uint16_t status) {
    MutexLock lock(mu_);
    std::erase_if(faults_.address_status, [&](const auto& e) { return e.first == address; });
    faults_.address_status.emplace_back(address, status);
}

void Device::clear_address_status() {
    MutexLock lock(mu_);
    faults_.address_status.clear();
}

void Device::set_ack_delay(std::chrono::milliseconds delay) {
    MutexLock lock(mu_);
    faults_.delay = delay;
}

void Device::set_muted(bool muted) {
    MutexLock lock(mu_);
    faults_.muted = muted;
}

void Device::clear_faults() {
    MutexLock lock(mu_);
    faults_ = Faults{};
}

}  // namespace oculane::sim
