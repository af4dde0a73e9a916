#include "gige/discovery/discovery.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

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
#include "util/unique_fd.hpp"

namespace oculane::gige {

namespace {

using Clock = std::chrono::steady_clock;
using log::Level;

constexpr auto kReceiveSlice = std::chrono::milliseconds(20);
constexpr std::size_t kReceiveBufferSize = 65535;

struct Probe {
    UniqueFd socket;
    const NetworkAdapter* adapter;
};

// getifaddrs hands out generic addresses; only AF_INET ones reach here.
std::uint32_t ipv4_of(const sockaddr* sa) {
    sockaddr_in in{};
    std::memcpy(&in, sa, sizeof in);
    return inet::ip_of(in);
}

// A socket bound to the adapter's address with broadcast sending enabled and
// a receive timeout of one slice, or the errno of the step that failed.
std::expected<UniqueFd, int> open_probe_socket(const NetworkAdapter& adapter, std::uint16_t local_port) {
    UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s) return std::unexpected(errno);
    const int on = 1;
    if (::setsockopt(s.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return std::unexpected(errno);
    const sockaddr_in local = inet::to_sockaddr(adapter.ip, local_port);
    if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return std::unexpected(errno);
    timeval tv{};
    tv.tv_usec = std::chrono::duration_cast<std::chrono::microseconds>(kReceiveSlice).count();
    // A socket without the timeout would only block longer; not worth failing over.
    (void)::setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return s;
}

// Opens a socket per adapter and sends the probe to each destination; keeps
// the sockets from which at least one probe went out.
std::vector<Probe> send_probes(const std::vector<NetworkAdapter>& adapters, const DiscoveryConfig& config) {
    const auto probe = gvcp::encode_discovery();
    std::vector<Probe> kept;
    for (const auto& adapter : adapters) {
        auto sock = open_probe_socket(adapter, config.local_port);
        if (!sock) {
            OCULANE_LOG(Level::Warn, log::kDiscovery, "discovery: skipping {} ({}): {}", adapter.name,
                        format_ipv4(adapter.ip), os_error_text(sock.error()));
            continue;
        }
        bool sent = false;
        for (const auto& dest : probe_destinations(adapter, config.device_port, config.limited_broadcast)) {
            const sockaddr_in to = inet::to_sockaddr(dest);
            const ssize_t n = ::sendto(sock->get(), probe.data(), probe.size(), 0,
                                       reinterpret_cast<const sockaddr*>(&to), sizeof to);
            if (n < 0) {
                const int err = errno;
                OCULANE_LOG(Level::Trace, log::kDiscovery, "discovery: send to {} failed: {}",
                            dest.to_string(), os_error_text(err));
                continue;
            }
            sent = true;
        }
        if (sent) kept.push_back({std::move(*sock), &adapter});
    }
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

}  // namespace

std::string Ipv4Endpoint::to_string() const { return inet::format_endpoint(ip, port); }

std::vector<NetworkAdapter> adapters_from_interfaces(const std::vector<InterfaceAddress>& addrs) {
    std::vector<NetworkAdapter> out;
    for (const auto& a : addrs) {
        if (a.ip == 0 || (a.ip >> 24) == 127) continue;
        // glibc reports the interface's own address as its broadcast address
        // when none is configured (`ip addr add 10.1.2.3/16` without `brd`);
        // a probe sent there would only reach this host.
        const bool real_broadcast = a.broadcast && *a.broadcast != 0 && *a.broadcast != a.ip;
        out.push_back({a.name, a.ip, a.netmask, real_broadcast ? *a.broadcast : (a.ip | ~a.netmask)});
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

std::vector<Ipv4Endpoint> probe_destinations(const NetworkAdapter& adapter, std::uint16_t device_port,
                                             bool limited_broadcast) {
    std::vector<Ipv4Endpoint> out{{adapter.broadcast, device_port}};
    if (limited_broadcast && adapter.broadcast != kLimitedBroadcast)
        out.push_back({kLimitedBroadcast, device_port});
    return out;
}

CameraResult<std::vector<DiscoveredDevice>> discover(const DiscoveryConfig& config) {
    std::vector<NetworkAdapter> adapters;
    if (config.adapters) {
        adapters = *config.adapters;
    } else {
        auto addrs = host_interface_addresses();
        if (!addrs) return std::unexpected(std::move(addrs.error()));
        adapters = adapters_from_interfaces(*addrs);
    }

    // Probes hold pointers into `adapters`, which is not touched from here on.
    const std::vector<Probe> probes = send_probes(adapters, config);
    if (probes.empty())
        return std::unexpected(CameraError::io("no usable network adapter for discovery", EADDRNOTAVAIL));

    const auto deadline = deadline_after(config.timeout);
    auto buffer = std::make_unique<std::uint8_t[]>(kReceiveBufferSize);  // value-initialised: zeroed
    std::vector<DiscoveredDevice> found;
    // A set rather than a scan of `found`: a flood of answers with made-up
    // MACs must not turn the listening loop quadratic.
    std::unordered_set<std::uint64_t> seen;
    bool limit_logged = false;
    while (Clock::now() < deadline) {
        // The deadline is checked per round, so a run may overshoot by one
        // receive slice per socket.
        for (const auto& p : probes) {
            sockaddr_in from{};
            socklen_t from_len = sizeof from;
            const ssize_t n = ::recvfrom(p.socket.get(), buffer.get(), kReceiveBufferSize, 0,
                                         reinterpret_cast<sockaddr*>(&from), &from_len);
            if (n < 0) {
                const int err = errno;
                if (err != EAGAIN && err != EWOULDBLOCK && err != ETIMEDOUT)
                    OCULANE_LOG(Level::Trace, log::kDiscovery, "discovery: recv on {} failed: {}",
                                p.adapter->name, os_error_text(err));
                continue;
            }
            auto info = gvcp::parse_discovery_ack(std::span<const std::uint8_t>(buffer.get(), std::size_t(n)));
            if (!info || seen.contains(mac_key(info->mac))) continue;
            if (found.size() >= config.max_devices) {
                if (!limit_logged)
                    OCULANE_LOG(Level::Warn, log::kDiscovery,
                                "discovery: more than {} devices answered; the others are ignored",
                                config.max_devices);
                limit_logged = true;
                continue;
            }
            seen.insert(mac_key(info->mac));
            const Ipv4Endpoint source{inet::ip_of(from), inet::port_of(from)};
            found.push_back({std::move(*info), *p.adapter, source});
        }
    }

    OCULANE_LOG_FIELDS(Level::Debug, log::kDiscovery, "discovery finished",
                       {{"devices", std::to_string(found.size())}});
    return found;
}

}  // namespace oculane::gige
