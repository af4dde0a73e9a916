// Action commands: one ACTION_CMD broadcast on the host's networks (or one
// interface), or sent to one address, and the acknowledges that came back.
// Exposed privately and wrapped as oculane.action_command, which turns the
// tuples into records.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "gige/discovery/discovery.hpp"
#include "gige/ip_address.hpp"
#include "py/bindings.hpp"
#include "py/camera.hpp"
#include "py/errors.hpp"
#include "py/int_arg.hpp"
#include "py/interpreter_lock.hpp"
#include "util/duration.hpp"
#include "util/inet.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace oculane::py {

namespace {

using AckTuple = std::tuple<std::string, std::uint16_t, std::uint16_t>;

std::vector<AckTuple> action_command(IntArg<std::uint32_t> device_key, IntArg<std::uint32_t> group_key,
                                     IntArg<std::uint32_t> group_mask,
                                     std::optional<IntArg<std::uint64_t>> scheduled_time,
                                     const std::optional<std::string>& interface,
                                     const std::optional<std::string>& address, double ack_timeout) {
    // Everything is checked before anything goes on the wire.
    gige::ActionCommandConfig config;
    config.action.device_key = device_key.get("device_key");
    config.action.group_key = group_key.get("group_key");
    config.action.group_mask = group_mask.get("group_mask");
    if (scheduled_time) config.action.scheduled_time = scheduled_time->get("scheduled_time");
    config.route.timeout = seconds_arg(ack_timeout);
    config.ack_required = config.route.timeout > Duration::zero();
    if (interface) {
        if (interface->empty()) raise_value_error("interface must not be empty");
        config.route.interface = *interface;
    }
    if (address) {
        auto ip = gige::IpAddress::parse(*address);
        if (!ip || !ip->is_v4()) raise_value_error(invalid_ip_message(*address));
        config.route.unicast = ip->v4_value();
    }
    CameraResult<std::vector<gige::ActionAcknowledge>> result = [&] {
        ReleasedInterpreter released;
        return gige::action_command(config);
    }();
    auto acks = unwrap(std::move(result));
    std::vector<AckTuple> out;
    out.reserve(acks.size());
    for (const auto& a : acks) out.emplace_back(inet::format_ipv4(a.source.ip), a.source.port, a.status);
    return out;
}

}  // namespace

void bind_action(nb::module_& m) {
    m.def("_action_command", &action_command, "device_key"_a, "group_key"_a, "group_mask"_a, nb::kw_only(),
          "scheduled_time"_a = nb::none(), "interface"_a = nb::none(), "address"_a = nb::none(),
          "ack_timeout"_a = 0.2);
}

}  // namespace oculane::py
