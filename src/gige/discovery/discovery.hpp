#pragma once
// Finding devices: one GVCP discovery probe per local IPv4 address, sent to the
// subnet broadcast (and the limited broadcast), or to one unicast address, then
// the acknowledges collected until a deadline. Also FORCEIP, which goes out the
// same way and waits for its one acknowledge.
//
// Runs entirely on the calling thread and keeps no state between calls; every
// socket it opens is closed before it returns. The sockets are non-blocking and
// waited on together through one Poller, so a call ends at its deadline however
// many adapters it uses. Safe to call from several threads at once (each call
// binds its own sockets).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error/camera_error.hpp"
#include "gige/proto/device_info.hpp"
#include "gige/proto/gvcp.hpp"
#include "util/duration.hpp"
#include "util/inet.hpp"

namespace oculane::gige {

inline constexpr std::uint32_t kLimitedBroadcast = 0xFFFFFFFF;

using Endpoint = inet::Endpoint;

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
    // Present: only the adapters whose interface name or dotted address is this
    // text. Loopback addresses count here, since they were asked for by name.
    std::optional<std::string> interface;
    // Present: the probe goes to this address alone instead of any broadcast.
    // Without `interface` it leaves from one socket bound to any address.
    std::optional<std::uint32_t> unicast;
    // Devices kept at most; answers from further devices are dropped (with one
    // WARN), so a flood of made-up MACs cannot grow the result without bound.
    std::size_t max_devices = 4096;
};

struct DiscoveredDevice {
    DeviceInfo info;
    NetworkAdapter adapter;  // the one the answer arrived on
    Endpoint source;
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
std::vector<Endpoint> probe_destinations(const NetworkAdapter& adapter, std::uint16_t device_port,
                                             bool limited_broadcast);

// Keeps the adapters (from `adapters`, or the host's addresses when absent)
// named by `interface` or the usual filter when it is absent; an interface
// with no IPv4 address is an error naming it.
CameraResult<std::vector<NetworkAdapter>> select_adapters(const DiscoveryConfig& config,
                                                          const std::vector<InterfaceAddress>* host);

// The whole operation. Fails when enumeration fails, a named interface has no
// IPv4 address, or no adapter could send a probe ("no usable network adapter
// for discovery"); devices appear once each, by MAC, in the order of their
// first accepted answer.
CameraResult<std::vector<DiscoveredDevice>> discover(const DiscoveryConfig& config);

struct ForceIpConfig {
    gvcp::ForceIp request;
    // How the command goes out, as for discovery (adapters, interface,
    // unicast, ports, limited broadcast); its timeout bounds the wait for the
    // acknowledge.
    DiscoveryConfig route;
};

// Sends FORCEIP and waits for the matching acknowledge: AckTimeout when none
// comes in time, DeviceStatus when the device refuses.
CameraResult<void> force_ip(const ForceIpConfig& config);

struct ActionCommandConfig {
    gvcp::ActionCommand action;
    // How the command goes out, as for discovery, except that it never also
    // goes to the limited broadcast (a device reached both ways would act
    // twice); its timeout is how long acknowledges are collected.
    DiscoveryConfig route;
    bool ack_required = true;
};

struct ActionAcknowledge {
    Endpoint source;
    std::uint16_t status = 0;
};

// Sends one ACTION_CMD and collects the acknowledges of the devices that act
// on it until the timeout (a unicast command: until its one acknowledge).
// Without ack_required nothing is waited for and the result is empty.
// Devices not addressed by the keys stay silent, so an empty result is no
// error.
CameraResult<std::vector<ActionAcknowledge>> action_command(const ActionCommandConfig& config);

}  // namespace oculane::gige
