// Module-level discovery: probes every local IPv4 network (or one interface,
// or one address) and returns the identity records of the devices that
// answer; and FORCEIP, exposed privately and wrapped as oculane.force_ip.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "gige/discovery/discovery.hpp"
#include "gige/ip_address.hpp"
#include "py/bindings.hpp"
#include "py/camera.hpp"
#include "py/errors.hpp"
#include "util/duration.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace oculane::py {

namespace {

std::uint32_t parse_ipv4(const std::string& text) {
    auto ip = gige::IpAddress::parse(text);
    if (!ip || !ip->is_v4()) raise_value_error(invalid_ip_message(text));
    return ip->v4_value();
}

// "00:0c:df:04:a1:7e" or with '-' between the bytes.
std::array<std::uint8_t, 6> parse_mac(const std::string& text) {
    std::array<std::uint8_t, 6> mac{};
    const bool shaped = text.size() == 17;
    for (std::size_t i = 0; shaped && i < 6; ++i) {
        const char* p = text.data() + 3 * i;
        if (i < 5 && p[2] != ':' && p[2] != '-') break;
        const auto [end, ec] = std::from_chars(p, p + 2, mac[i], 16);
        if (ec != std::errc() || end != p + 2) break;
        if (i == 5) return mac;
    }
    raise_value_error(fmt::format("invalid MAC address '{}'", text));
}

// Everything is checked before the interpreter lock is released, so a bad
// argument never puts anything on the wire.
gige::DiscoveryConfig route(double timeout, const std::optional<std::string>& interface,
                            const std::optional<std::string>& address) {
    gige::DiscoveryConfig config;
    config.timeout = seconds_arg(timeout);
    if (interface) {
        if (interface->empty()) raise_value_error("interface must not be empty");
        config.interface = *interface;
    }
    if (address) config.unicast = parse_ipv4(*address);
    return config;
}

std::vector<DeviceInfo> discover(double timeout, const std::optional<std::string>& interface,
                                 const std::optional<std::string>& address) {
    const gige::DiscoveryConfig config = route(timeout, interface, address);
    CameraResult<std::vector<gige::DiscoveredDevice>> result = [&] {
        ReleasedInterpreter released;
        return gige::discover(config);
    }();
    auto found = unwrap(std::move(result));

    std::vector<DeviceInfo> out;
    out.reserve(found.size());
    for (auto& d : found) out.push_back(std::move(d.info));
    return out;
}

void force_ip(const std::string& mac, const std::string& ip, const std::string& mask, const std::string& gateway,
              const std::optional<std::string>& interface, const std::optional<std::string>& address,
              double timeout) {
    gige::ForceIpConfig config;
    config.request = {parse_mac(mac), parse_ipv4(ip), parse_ipv4(mask), parse_ipv4(gateway)};
    config.route = route(timeout, interface, address);
    CameraResult<void> result = [&] {
        ReleasedInterpreter released;
        return gige::force_ip(config);
    }();
    unwrap(std::move(result));
}

}  // namespace

void bind_discover(nb::module_& m) {
    m.def("discover", &discover, "timeout"_a = 1.0, nb::kw_only(), "interface"_a = nb::none(),
          "address"_a = nb::none(),
          "Broadcast a GigE Vision discovery beacon on every Up IPv4 adapter and\n"
          "return the devices that answer within `timeout` seconds.");
    // Private: the package exports it as oculane.force_ip, so the core module
    // keeps its documented public contents.
    m.def("_force_ip", &force_ip, "mac"_a, "ip"_a, "mask"_a, "gateway"_a, nb::kw_only(),
          "interface"_a = nb::none(), "address"_a = nb::none(), "timeout"_a = 1.0);
}

}  // namespace oculane::py
