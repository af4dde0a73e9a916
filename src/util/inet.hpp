#pragma once
// IPv4 socket addresses and their text. Addresses are held as host-order
// numbers everywhere above the socket calls (127.0.0.1 is 0x7F000001); these
// helpers are the one place that converts to and from the wire order.

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace oculane::inet {

// An IPv4 socket address, host order: the one endpoint type of the control
// engine, discovery, the stream path and the virtual camera.
struct Endpoint {
    std::uint32_t ip = 0;
    std::uint16_t port = 0;

    std::string to_string() const;  // "192.168.1.10:3956"
    friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

sockaddr_in to_sockaddr(std::uint32_t ip, std::uint16_t port);
inline sockaddr_in to_sockaddr(const Endpoint& endpoint) { return to_sockaddr(endpoint.ip, endpoint.port); }

std::uint32_t ip_of(const sockaddr_in& sa);
std::uint16_t port_of(const sockaddr_in& sa);

// "192.168.1.10"
std::string format_ipv4(std::uint32_t ip);
// "192.168.1.10:3956"
std::string format_endpoint(std::uint32_t ip, std::uint16_t port);

}  // namespace oculane::inet
