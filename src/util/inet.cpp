#include "util/inet.hpp"

#include <arpa/inet.h>

#include <fmt/format.h>

namespace oculane::inet {

sockaddr_in to_sockaddr(std::uint32_t ip, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(ip);
    sa.sin_port = htons(port);
    return sa;
}

std::uint32_t ip_of(const sockaddr_in& sa) { return ntohl(sa.sin_addr.s_addr); }
std::uint16_t port_of(const sockaddr_in& sa) { return ntohs(sa.sin_port); }

std::string format_ipv4(std::uint32_t ip) {
    return fmt::format("{}.{}.{}.{}", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF);
}

std::string format_endpoint(std::uint32_t ip, std::uint16_t port) {
    return fmt::format("{}:{}", format_ipv4(ip), port);
}

std::string Endpoint::to_string() const { return format_endpoint(ip, port); }

}  // namespace oculane::inet
