#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "util/inet.hpp"

using namespace oculane;

TEST(Inet, SocketAddressIsInNetworkOrder) {
    const sockaddr_in sa = inet::to_sockaddr(0xC0A8010A, 3956);  // 192.168.1.10
    EXPECT_EQ(sa.sin_family, AF_INET);
    unsigned char ip[4], port[2];
    std::memcpy(ip, &sa.sin_addr.s_addr, 4);
    std::memcpy(port, &sa.sin_port, 2);
    EXPECT_EQ((std::vector<int>{ip[0], ip[1], ip[2], ip[3]}), (std::vector<int>{192, 168, 1, 10}));
    EXPECT_EQ((std::vector<int>{port[0], port[1]}), (std::vector<int>{0x0F, 0x74}));
    for (unsigned char z : sa.sin_zero) EXPECT_EQ(z, 0);
}

TEST(Inet, RoundTripsThroughTheSocketAddress) {
    const inet::Endpoint cases[] = {{0, 0}, {0x7F000001, 1}, {0xFFFFFFFF, 65535}, {0x0A010203, 3956}};
    for (const auto& c : cases) {
        const sockaddr_in sa = inet::to_sockaddr(c);
        EXPECT_EQ(inet::ip_of(sa), c.ip);
        EXPECT_EQ(inet::port_of(sa), c.port);
    }
}

TEST(Inet, Text) {
    const struct {
        std::uint32_t ip;
        std::uint16_t port;
        const char* ip_text;
        const char* endpoint_text;
    } cases[] = {
        {0x00000000, 0, "0.0.0.0", "0.0.0.0:0"},
        {0xC0A8010A, 3956, "192.168.1.10", "192.168.1.10:3956"},
        {0xFFFFFFFF, 65535, "255.255.255.255", "255.255.255.255:65535"},
        {0x7F000002, 40000, "127.0.0.2", "127.0.0.2:40000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(inet::format_ipv4(c.ip), c.ip_text);
        EXPECT_EQ(inet::format_endpoint(c.ip, c.port), c.endpoint_text);
    }
}
