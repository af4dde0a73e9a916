#pragma once
// Finding devices: one GVCP discovery probe per local IPv4 address, sent to the
// subnet broadcast (and the limited broadcast), then the acknowledges collected
// until a deadline.
//
// Runs entirely on the calling thread and keeps no state between calls; every
// socket it opens is closed before it returns. Safe to call from several
// threads at once (each call binds its own sockets).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error/camera_error.hpp"
#include "gige/proto/device_info.hpp"
#include "gige/proto/gvcp.hpp"
#include "util/duration.hpp"

namespace oculane::gige {

inline constexpr std::uint32_t kLimitedBroadcast = 0xFFFFFFFF;

// An IPv4 socket address; the address as a number (127.0.0.1 is 0x7F000001).
struct Ipv4Endpoint {
    std::uint32_t ip = 0;
    std::uint16_t port = 0;

    std::string to_string() const;  // "192.168.1.10:3956"
    bool operator==(const Ipv4Endpoint&) const = default;
};

struct NetworkAdapter {
    std::string name;
    std::uint32_t ip = 0;
    std::uint32_t netmask = 0;
    std::uint32_t broadcast = 0;

    bool operator==(const NetworkAdapter&) const = default;
};

struct DiscoveryConfig {
    // Absent: enumerate the host's interfaces. Present: exactly these, unfiltered.
    std::optional<std::vector<NetworkAdapter>> adapters;
    Duration timeout = std::chrono::seconds(1);
    std::uint16_t local_port = 0;  // 0: any
    std::uint16_t device_port = gvcp::kPort;
    bool limited_broadcast = true;  // also probe 255.255.255.255
    // Devices kept at most; answers from further devices are dropped (with one
    // WARN), so a flood of made-up MACs cannot grow the result without bound.
    std::size_t max_devices = 4096;
};

struct DiscoveredDevice {
    DeviceInfo info;
    NetworkAdapter adapter;  // the one the answer arrived on
    Ipv4Endpoint source;
};

// One IPv4 address of a host interface, as the system reports it.
struct InterfaceAddress {
    std::string name;
    std::uint32_t ip = 0;
    std::uint32_t netmask = 0;
    std::optional<std::uint32_t> broadcast;
};

// Keeps addresses that are neither 0.0.0.0 nor in 127/8, in order, and fills
// in a missing broadcast address as the address with every host bit set. A
// reported broadcast of 0.0.0.0 or of the address itself counts as missing.
std::vector<NetworkAdapter> adapters_from_interfaces(const std::vector<InterfaceAddress>& addrs);

// Every IPv4 address of every host interface (getifaddrs), unfiltered.
CameraResult<std::vector<InterfaceAddress>> host_interface_addresses();

// Where a probe on this adapter goes: its broadcast address and, when asked
// and different, the limited broadcast.
std::vector<Ipv4Endpoint> probe_destinations(const NetworkAdapter& adapter, std::uint16_t device_port,
                                             bool limited_broadcast);

// The whole operation. Fails only when enumeration fails or no adapter could
// send a probe ("no usable network adapter for discovery"); devices appear once
// each, by MAC, in the order of their first accepted answer.
CameraResult<std::vector<DiscoveredDevice>> discover(const DiscoveryConfig& config);

}  // namespace oculane::gige
