#include "gige/ip_address.hpp"

#include <arpa/inet.h>

#include <cstring>

namespace oculane::gige {

std::optional<IpAddress> IpAddress::parse(std::string_view text) {
    // inet_pton needs a terminated string; an embedded zero byte must not cut
    // the text short and make garbage look valid.
    if (text.size() >= INET6_ADDRSTRLEN || text.find('\0') != std::string_view::npos) return std::nullopt;
    const std::string z(text);
    in_addr v4{};
    if (::inet_pton(AF_INET, z.c_str(), &v4) == 1) return IpAddress(ntohl(v4.s_addr));
    in6_addr v6{};
    if (::inet_pton(AF_INET6, z.c_str(), &v6) == 1) {
        std::array<std::uint8_t, 16> bytes{};
        std::memcpy(bytes.data(), &v6, 16);
        return IpAddress(bytes);
    }
    return std::nullopt;
}

std::string IpAddress::to_string() const {
    char buf[INET6_ADDRSTRLEN] = {};
    if (is_v4()) {
        const in_addr a{htonl(std::get<std::uint32_t>(addr_))};
        ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    } else {
        in6_addr a{};
        std::memcpy(&a, std::get<1>(addr_).data(), 16);
        ::inet_ntop(AF_INET6, &a, buf, sizeof buf);
    }
    return buf;
}

}  // namespace oculane::gige
