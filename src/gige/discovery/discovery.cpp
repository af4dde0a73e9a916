#include "gige/discovery/discovery.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <expected>
#include <memory>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>

#include "util/inet.hpp"
#include "util/log.hpp"
#include "util/os_error.hpp"
#include "util/poller.hpp"
#include "util/udp_batch.hpp"
#include "util/unique_fd.hpp"

namespace oculane::gige {

namespace {

using Clock = std::chrono::steady_clock;
using log::Level;

// Slots for the largest datagram: an answer padded to any length is still
// read from its start. Few of them: a discovery gets a handful of answers.
constexpr std::size_t kBatchSlots = 4;
constexpr std::size_t kBatchSlotSize = 65536;
// Datagrams read from one socket per wake-up, so a flooding peer on one
// adapter cannot keep the loop from the deadline or from the other sockets.
constexpr std::size_t kDrainBatch = 64;
// Request id of FORCEIP; answers to it are told apart by the ack code anyway.
constexpr std::uint16_t kForceIpRequestId = 0xFFFF;

struct Probe {
    UniqueFd socket;
    NetworkAdapter adapter;
};

// getifaddrs hands out generic addresses; only AF_INET ones reach here.
std::uint32_t ipv4_of(const sockaddr* sa) {
    sockaddr_in in{};
    std::memcpy(&in, sa, sizeof in);
    return inet::ip_of(in);
}

NetworkAdapter to_adapter(const InterfaceAddress& a) {
    // glibc reports the interface's own address as its broadcast address
    // when none is configured (`ip addr add 10.1.2.3/16` without `brd`);
    // a probe sent there would only reach this host.
    const bool real_broadcast = a.broadcast && *a.broadcast != 0 && *a.broadcast != a.ip;
    return {a.name, a.ip, a.netmask, real_broadcast ? *a.broadcast : (a.ip | ~a.netmask)};
}

bool names(const std::string& wanted, const std::string& name, std::uint32_t ip) {
    return wanted == name || wanted == format_ipv4(ip);
}

// A non-blocking socket bound to (ip, port), allowed to broadcast when asked,
// or the errno of the step that failed.
std::expected<UniqueFd, int> open_probe_socket(std::uint32_t ip, std::uint16_t local_port, bool broadcast) {
    UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s) return std::unexpected(errno);
    const int on = 1;
    if (broadcast && ::setsockopt(s.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        return std::unexpected(errno);
    const sockaddr_in local = inet::to_sockaddr(ip, local_port);
    if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return std::unexpected(errno);
    return s;
}

// Opens a socket per adapter (or one unbound-address socket for a plain
// unicast) and sends the datagram to each destination; keeps the sockets
// from which at least one datagram went out.
CameraResult<std::vector<Probe>> send_probes(const DiscoveryConfig& config,
                                             std::span<const std::uint8_t> datagram) {
    std::vector<NetworkAdapter> adapters;
    if (config.unicast && !config.interface && !config.adapters) {
        adapters.push_back({});  // 0.0.0.0: the routing table picks the way out
    } else {
        auto selected = select_adapters(config, nullptr);
        if (!selected) return std::unexpected(std::move(selected.error()));
        adapters = std::move(*selected);
    }
    std::vector<Probe> kept;
    for (auto& adapter : adapters) {
        auto sock = open_probe_socket(adapter.ip, config.local_port, !config.unicast);
        if (!sock) {
            OCULANE_LOG(Level::Warn, log::kDiscovery, "discovery: skipping {} ({}): {}", adapter.name,
                        format_ipv4(adapter.ip), os_error_text(sock.error()));
            continue;
        }
        const auto destinations =
            config.unicast ? std::vector<Endpoint>{{*config.unicast, config.device_port}}
                           : probe_destinations(adapter, config.device_port, config.limited_broadcast);
        bool sent = false;
        for (const auto& dest : destinations) {
            const sockaddr_in to = inet::to_sockaddr(dest);
            const ssize_t n = ::sendto(sock->get(), datagram.data(), datagram.size(), 0,
                                       reinterpret_cast<const sockaddr*>(&to), sizeof to);
            if (n < 0) {
                const int err = errno;
                OCULANE_LOG(Level::Trace, log::kDiscovery, "discovery: send to {} failed: {}",
                            dest.to_string(), os_error_text(err));
                continue;
            }
            sent = true;
        }
        if (sent) kept.push_back({std::move(*sock), std::move(adapter)});
    }
    if (kept.empty())
        return std::unexpected(CameraError::io("no usable network adapter for discovery", EADDRNOTAVAIL));
    return kept;
}

// Clock::now() + timeout, saturating instead of overflowing.
Clock::time_point deadline_after(Duration timeout) {
    const auto now = Clock::now();
    const auto room = Clock::time_point::max() - now;
    if (timeout >= room) return Clock::time_point::max();
    return now + std::chrono::duration_cast<Clock::duration>(timeout);
}

std::uint64_t mac_key(const std::array<std::uint8_t, 6>& mac) {
    std::uint64_t k = 0;
    for (auto b : mac) k = (k << 8) | b;
    return k;
}

// Hands every datagram that arrives on any probe socket before the deadline
// to `on_datagram(bytes, probe, source)`, which returns true to end early.
// The wait is one epoll over all sockets, so the call ends at the deadline
// (give or take the millisecond the poller rounds up to), not one receive
// slice per adapter later.
template <class OnDatagram>
CameraResult<void> listen(const std::vector<Probe>& probes, Clock::time_point deadline, OnDatagram&& on_datagram) {
    auto poller = Poller::create();
    if (!poller) return std::unexpected(CameraError::io_errno(poller.error().value()));
    for (std::size_t i = 0; i < probes.size(); ++i)
        if (auto r = poller->add(probes[i].socket.get(), i); !r)
            return std::unexpected(CameraError::io_errno(r.error().value()));
    UdpBatch batch(kBatchSlots, kBatchSlotSize);
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline) return {};
        auto ready = poller->wait(deadline - now);
        if (!ready) {
            if (ready.error() == std::errc::interrupted) continue;
            return std::unexpected(CameraError::io_errno(ready.error().value()));
        }
        for (const PollEvent& ev : *ready) {
            const Probe& p = probes[ev.token];
            for (std::size_t taken = 0; taken < kDrainBatch;) {
                const auto n = batch.receive(p.socket.get());
                if (!n) {
                    // A pending ICMP error is reported once and cleared; the
                    // socket goes on receiving.
                    OCULANE_LOG(Level::Trace, log::kDiscovery, "discovery: recv on {} failed: {}", p.adapter.name,
                                n.error().message());
                    break;
                }
                for (std::size_t i = 0; i < *n; ++i) {
                    if (on_datagram(batch.datagram(i), p, Endpoint{batch.source_ip(i), batch.source_port(i)}))
                        return {};
                }
                taken += *n;
                if (*n < batch.capacity()) break;  // the queue is empty
            }
        }
    }
}

}  // namespace


std::vector<NetworkAdapter> adapters_from_interfaces(const std::vector<InterfaceAddress>& addrs) {
    std::vector<NetworkAdapter> out;
    for (const auto& a : addrs) {
        if (a.ip == 0 || (a.ip >> 24) == 127) continue;
        out.push_back(to_adapter(a));
    }
    return out;
}

CameraResult<std::vector<InterfaceAddress>> host_interface_addresses() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::unexpected(CameraError::io_errno(errno));
    std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> guard(list, &::freeifaddrs);
    std::vector<InterfaceAddress> out;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        InterfaceAddress a;
        a.name = i->ifa_name ? i->ifa_name : "";
        a.ip = ipv4_of(i->ifa_addr);
        if (i->ifa_netmask) a.netmask = ipv4_of(i->ifa_netmask);
        // The same field holds the peer address of point-to-point links; it is a
        // broadcast address only when the interface says it has one.
        if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr && i->ifa_broadaddr->sa_family == AF_INET)
            a.broadcast = ipv4_of(i->ifa_broadaddr);
        out.push_back(std::move(a));
    }
    return out;
}

std::vector<Endpoint> probe_destinations(const NetworkAdapter& adapter, std::uint16_t device_port,
                                             bool limited_broadcast) {
    std::vector<Endpoint> out{{adapter.broadcast, device_port}};
    if (limited_broadcast && adapter.broadcast != kLimitedBroadcast)
        out.push_back({kLimitedBroadcast, device_port});
    return out;
}

CameraResult<std::vector<NetworkAdapter>> select_adapters(const DiscoveryConfig& config,
                                                          const std::vector<InterfaceAddress>* host) {
    std::vector<NetworkAdapter> out;
    if (config.adapters) {
        for (const auto& a : *config.adapters)
            if (!config.interface || names(*config.interface, a.name, a.ip)) out.push_back(a);
    } else {
        std::vector<InterfaceAddress> enumerated;
        if (!host) {
            auto addrs = host_interface_addresses();
            if (!addrs) return std::unexpected(std::move(addrs.error()));
            enumerated = std::move(*addrs);
            host = &enumerated;
        }
        if (!config.interface) return adapters_from_interfaces(*host);
        for (const auto& a : *host)
            if (a.ip != 0 && names(*config.interface, a.name, a.ip)) out.push_back(to_adapter(a));
    }
    if (config.interface && out.empty())
        return std::unexpected(
            CameraError::io(fmt::format("no IPv4 address on interface '{}'", *config.interface), ENODEV));
    return out;
}

CameraResult<std::vector<DiscoveredDevice>> discover(const DiscoveryConfig& config) {
    const auto probe = gvcp::encode_discovery();
    auto probes = send_probes(config, probe);
    if (!probes) return std::unexpected(std::move(probes.error()));

    std::vector<DiscoveredDevice> found;
    // A set rather than a scan of `found`: a flood of answers with made-up
    // MACs must not turn the listening loop quadratic.
    std::unordered_set<std::uint64_t> seen;
    bool limit_logged = false;
    auto listened = listen(*probes, deadline_after(config.timeout),
                           [&](std::span<const std::uint8_t> datagram, const Probe& p, Endpoint source) {
                               auto info = gvcp::parse_discovery_ack(datagram);
                               if (!info || seen.contains(mac_key(info->mac))) return false;
                               if (found.size() >= config.max_devices) {
                                   if (!limit_logged)
                                       OCULANE_LOG(Level::Warn, log::kDiscovery,
                                                   "discovery: more than {} devices answered; the others "
                                                   "are ignored",
                                                   config.max_devices);
                                   limit_logged = true;
                                   return false;
                               }
                               seen.insert(mac_key(info->mac));
                               found.push_back({std::move(*info), p.adapter, source});
                               return false;
                           });
    if (!listened) return std::unexpected(std::move(listened.error()));

    OCULANE_LOG_FIELDS(Level::Debug, log::kDiscovery, "discovery finished",
                       {{"devices", std::to_string(found.size())}});
    return found;
}

CameraResult<void> force_ip(const ForceIpConfig& config) {
    const auto command = gvcp::encode_force_ip(config.request, kForceIpRequestId);
    auto probes = send_probes(config.route, command);
    if (!probes) return std::unexpected(std::move(probes.error()));

    std::optional<std::uint16_t> status;
    auto listened = listen(*probes, deadline_after(config.route.timeout),
                           [&](std::span<const std::uint8_t> datagram, const Probe&, Endpoint) {
                               auto ack = gvcp::parse_ack(datagram);
                               if (!ack || ack->header.ack != gvcp::code(gvcp::Ack::ForceIp) ||
                                   ack->header.ack_id != kForceIpRequestId)
                                   return false;
                               status = ack->header.status;
                               return true;
                           });
    if (!listened) return std::unexpected(std::move(listened.error()));
    if (!status) return std::unexpected(CameraError::ack_timeout());
    if (gvcp::is_error_status(*status))
        return std::unexpected(CameraError::device_status(gvcp::code(gvcp::Command::ForceIp), *status));
    OCULANE_LOG(Level::Debug, log::kDiscovery, "force ip: {} took {}", format_mac(config.request.mac),
                format_ipv4(config.request.ip));
    return {};
}

CameraResult<std::vector<ActionAcknowledge>> action_command(const ActionCommandConfig& config) {
    // Acknowledges are told apart from stray datagrams by their request id,
    // which differs from call to call (and is never 0).
    static std::atomic<std::uint16_t> next_id{0};
    std::uint16_t request_id = 0;
    while (request_id == 0) request_id = ++next_id;
    const auto command = gvcp::encode_action(config.action, request_id, config.ack_required);
    DiscoveryConfig route = config.route;
    route.limited_broadcast = false;
    auto probes = send_probes(route, command);
    if (!probes) return std::unexpected(std::move(probes.error()));

    std::vector<ActionAcknowledge> acks;
    if (!config.ack_required) return acks;
    std::unordered_set<std::uint64_t> seen;  // one answer per device address and port
    auto listened = listen(*probes, deadline_after(route.timeout),
                           [&](std::span<const std::uint8_t> datagram, const Probe&, Endpoint source) {
                               auto ack = gvcp::parse_ack(datagram);
                               if (!ack || ack->header.ack != gvcp::code(gvcp::Ack::Action) ||
                                   ack->header.ack_id != request_id)
                                   return false;
                               const std::uint64_t key = (std::uint64_t{source.ip} << 16) | source.port;
                               if (acks.size() >= route.max_devices || !seen.insert(key).second) return false;
                               acks.push_back({source, ack->header.status});
                               return route.unicast.has_value();
                           });
    if (!listened) return std::unexpected(std::move(listened.error()));
    OCULANE_LOG_FIELDS(Level::Debug, log::kDiscovery, "action command sent",
                       {{"acknowledges", std::to_string(acks.size())}});
    return acks;
}

}  // namespace oculane::gige
