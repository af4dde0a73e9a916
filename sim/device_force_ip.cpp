// FORCEIP: the device whose MAC the command names takes the static address,
// mask and gateway it carries. The server stays bound where it was started
// (a virtual camera cannot move its socket to an address the host may not
// have); the identity block, and so discovery, reports the new address.
#include "error/gvcp_status.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/proto/gvcp.hpp"
#include "sim/device.hpp"

namespace oculane::sim {

std::optional<Device::Answer> Device::handle_force_ip(std::span<const std::uint8_t> payload, CommandRecord& rec) {
    namespace bs = oculane::bootstrap;
    const auto request = gvcp::parse_force_ip(payload);
    // Without a whole block the MAC cannot be read, so no device can tell
    // whether the command is meant for it: every device stays silent.
    if (!request) {
        ++counters_.malformed;
        return std::nullopt;
    }
    const auto& m = request->mac;
    const std::uint32_t high = (std::uint32_t{m[0]} << 8) | m[1];
    const std::uint32_t low =
        (std::uint32_t{m[2]} << 24) | (std::uint32_t{m[3]} << 16) | (std::uint32_t{m[4]} << 8) | m[5];
    if (space_.get(bs::kMacHigh) != high || space_.get(bs::kMacLow) != low) return std::nullopt;
    space_.set(bs::kCurrentIp, request->ip);
    space_.set(bs::kCurrentSubnetMask, request->netmask);
    space_.set(bs::kCurrentGateway, request->gateway);
    rec.values = {request->ip, request->netmask, request->gateway};
    return Answer{GvcpStatus::kSuccess, gvcp::code(gvcp::Ack::ForceIp), {}};
}

}  // namespace oculane::sim
