// The capture parser against hand-made IPv4/UDP packets with one fault each,
// random and mutated captures, and a ring on loopback (skipped without
// CAP_NET_RAW) fed by sockets of the test's own.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fuzz.hpp"
#include "support/loopback_udp.hpp"
#include "util/inet.hpp"
#include "util/packet_ring.hpp"

namespace oculane {
namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint32_t kSource = 0x7F000102;

void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}
void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    put16(b, at, v >> 16);
    put16(b, at + 2, v & 0xFFFF);
}

std::uint16_t checksum(const std::vector<std::uint8_t>& b, std::size_t from, std::size_t to, std::uint32_t sum = 0) {
    for (std::size_t i = from; i < to; i += 2) sum += (b[i] << 8) | (i + 1 < to ? b[i + 1] : 0);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

void seal_ip(std::vector<std::uint8_t>& b) {
    const std::size_t ihl = (b[0] & 0x0F) * 4u;
    put16(b, 10, 0);
    put16(b, 10, checksum(b, 0, ihl));
}

void seal_udp(std::vector<std::uint8_t>& b) {
    const std::size_t ihl = (b[0] & 0x0F) * 4u;
    const std::size_t udp_length = (b[ihl + 4] << 8) | b[ihl + 5];
    put16(b, ihl + 6, 0);
    std::uint32_t pseudo = 0;
    for (std::size_t i = 12; i < 20; i += 2) pseudo += (b[i] << 8) | b[i + 1];
    pseudo += IPPROTO_UDP + static_cast<std::uint32_t>(udp_length);
    put16(b, ihl + 6, checksum(b, ihl, ihl + udp_length, pseudo));
}

// An IPv4/UDP packet from kSource:5000 to kLoopback:6000 with `payload`
// bytes 0, 1, 2, ... and both checksums right; `options` bytes of IP options.
std::vector<std::uint8_t> packet(std::size_t payload, std::size_t options = 0) {
    const std::size_t ihl = 20 + options;
    std::vector<std::uint8_t> b(ihl + 8 + payload, 0);
    b[0] = static_cast<std::uint8_t>(0x40 | (ihl / 4));
    put16(b, 2, static_cast<std::uint32_t>(b.size()));
    b[8] = 64;
    b[9] = IPPROTO_UDP;
    put32(b, 12, kSource);
    put32(b, 16, kLoopback);
    put16(b, ihl, 5000);
    put16(b, ihl + 2, 6000);
    put16(b, ihl + 4, static_cast<std::uint32_t>(8 + payload));
    for (std::size_t i = 0; i < payload; ++i) b[ihl + 8 + i] = static_cast<std::uint8_t>(i);
    seal_ip(b);
    seal_udp(b);
    return b;
}

struct ParseCase {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> spoil;  // on a packet of 100 payload bytes
    std::size_t captured = 0;  // bytes captured of the packet; 0: all of it
    bool trusted = false;
    CaptureVerdict verdict;
    std::size_t payload = 0;  // payload bytes (Ok) or payload_length (Truncated)
};

TEST(ParseCapturedUdp, JudgesEachFieldAsTheHostsUdpLayerWould) {
    const std::vector<ParseCase> cases = {
        {"good", [](auto&) {}, 0, false, CaptureVerdict::Ok, 100},
        {"good with IP options", [](auto& b) { b = packet(100, 8); }, 0, false, CaptureVerdict::Ok, 100},
        {"no UDP checksum", [](auto& b) { put16(b, 26, 0); }, 0, false, CaptureVerdict::Ok, 100},
        {"Ethernet padding after the packet", [](auto& b) { b.resize(b.size() + 6, 0); }, 0, false,
         CaptureVerdict::Ok, 100},
        {"UDP shorter than its IP packet", [](auto& b) { put16(b, 24, 8 + 60); seal_udp(b); }, 0, false,
         CaptureVerdict::Ok, 60},
        {"version 6", [](auto& b) { b[0] = 0x65; seal_ip(b); }, 0, false, CaptureVerdict::Malformed},
        {"header length 4 words", [](auto& b) { b[0] = 0x44; }, 0, false, CaptureVerdict::Malformed},
        {"header length past the capture", [](auto& b) { b.resize(30); b[0] = 0x4F; }, 0, false,
         CaptureVerdict::Malformed},
        {"bad IP checksum", [](auto& b) { b[8] ^= 1; }, 0, false, CaptureVerdict::BadIpChecksum},
        {"IP total longer than the packet", [](auto& b) { put16(b, 2, 200); seal_ip(b); }, 0, false,
         CaptureVerdict::Malformed},
        {"IP total shorter than its header", [](auto& b) { put16(b, 2, 12); seal_ip(b); }, 0, false,
         CaptureVerdict::Malformed},
        {"TCP", [](auto& b) { b[9] = IPPROTO_TCP; seal_ip(b); }, 0, false, CaptureVerdict::NotUdp},
        {"first fragment", [](auto& b) { put16(b, 6, 0x2000); seal_ip(b); }, 0, false, CaptureVerdict::Fragment},
        {"later fragment", [](auto& b) { put16(b, 6, 0x0010); seal_ip(b); }, 0, false, CaptureVerdict::Fragment},
        {"don't-fragment is fine", [](auto& b) { put16(b, 6, 0x4000); seal_ip(b); }, 0, false, CaptureVerdict::Ok,
         100},
        {"UDP length below its header", [](auto& b) { put16(b, 24, 7); }, 0, false, CaptureVerdict::Malformed},
        {"UDP longer than its IP packet", [](auto& b) { put16(b, 24, 8 + 101); }, 0, false,
         CaptureVerdict::Malformed},
        {"bad UDP checksum", [](auto& b) { b.back() ^= 0x40; }, 0, false, CaptureVerdict::BadUdpChecksum},
        {"bad UDP checksum, kernel says valid", [](auto& b) { b.back() ^= 0x40; }, 0, true, CaptureVerdict::Ok, 100},
        {"capture cut in the payload", [](auto&) {}, 60, false, CaptureVerdict::Truncated, 100},
        {"capture cut in the UDP header", [](auto&) {}, 24, false, CaptureVerdict::Truncated, 0},
        {"capture cut in the IP header", [](auto&) {}, 12, false, CaptureVerdict::Truncated, 0},
        {"packet shorter than an IP header", [](auto& b) { b.resize(12); }, 0, false, CaptureVerdict::Malformed},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> b = packet(100);
        c.spoil(b);
        const std::size_t wire = b.size();
        const std::size_t captured = c.captured != 0 ? c.captured : wire;
        const CapturedUdp got = parse_captured_udp(std::span(b).first(captured), wire, c.trusted);
        EXPECT_EQ(got.verdict, c.verdict);
        if (c.verdict == CaptureVerdict::Ok) {
            EXPECT_EQ(got.source_ip, kSource);
            EXPECT_EQ(got.destination_ip, kLoopback);
            EXPECT_EQ(got.source_port, 5000);
            EXPECT_EQ(got.destination_port, 6000);
            ASSERT_EQ(got.payload.size(), c.payload);
            EXPECT_EQ(got.payload.data(), b.data() + (b[0] & 0x0F) * 4 + 8);
        }
        if (c.verdict == CaptureVerdict::Truncated) {
            EXPECT_EQ(got.payload_length, c.payload);
            if (c.captured >= 20) {
                EXPECT_EQ(got.source_ip, kSource);
            }
        }
    }
}

TEST(ForEachSegment, SplitsASuperPacketAtItsSegmentSize) {
    const std::vector<std::uint8_t> bytes(100, 7);
    const struct {
        std::size_t segment;
        std::vector<std::size_t> sizes;
    } cases[] = {{0, {100}}, {100, {100}}, {150, {100}}, {40, {40, 40, 20}}, {25, {25, 25, 25, 25}}, {1, {}}};
    for (const auto& c : cases) {
        std::vector<std::size_t> sizes;
        for_each_segment(std::span(bytes), c.segment, [&](std::span<const std::uint8_t> s) { sizes.push_back(s.size()); });
        if (c.segment == 1) EXPECT_EQ(sizes, std::vector<std::size_t>(100, 1));
        else EXPECT_EQ(sizes, c.sizes) << c.segment;
    }
}

using testing::fuzz_iterations;

// What any verdict promises: the payload lies inside the capture, and an Ok
// payload is exactly what its UDP length says.
TEST(ParseCapturedUdp, RandomAndMutatedCapturesNeverLeadOutsideTheCapture) {
    std::mt19937 rng(20261209);
    const std::vector<std::uint8_t> good = packet(300);
    std::size_t ok = 0;
    for (std::size_t n = fuzz_iterations(), i = 0; i < n; ++i) {
        std::vector<std::uint8_t> b;
        if (i % 4 == 0) {
            b.resize(rng() % 80);
            for (auto& x : b) x = static_cast<std::uint8_t>(rng());
        } else {
            b = good;
            for (unsigned k = 0, flips = 1 + rng() % 4; k < flips; ++k)
                b[rng() % (i % 2 ? 28 : b.size())] = static_cast<std::uint8_t>(rng());
            if (i % 3 == 0) seal_ip(b);  // reach the checks past the IP checksum
            if (rng() % 8 == 0) b.resize(rng() % b.size());
        }
        const std::size_t wire = b.size() + (rng() % 8 == 0 ? rng() % 64 : 0);
        const CapturedUdp got = parse_captured_udp(b, wire, rng() % 2 == 0);
        if (!got.payload.empty()) {
            ASSERT_GE(got.payload.data(), b.data());
            ASSERT_LE(got.payload.data() + got.payload.size(), b.data() + b.size());
        }
        if (got.verdict == CaptureVerdict::Ok) {
            ++ok;
            const std::size_t ihl = (b[0] & 0x0F) * 4u;
            ASSERT_EQ(got.payload.size() + 8, static_cast<std::size_t>((b[ihl + 4] << 8) | b[ihl + 5]));
            ASSERT_EQ(got.payload.data(), b.data() + ihl + 8);
        } else {
            ASSERT_TRUE(got.payload.empty());
        }
    }
    EXPECT_GT(ok, 0u);  // the mutations left some packets whole
}

// ---- a ring on loopback ----------------------------------------------------------

struct Received {
    std::vector<std::size_t> sizes;
    std::vector<std::uint16_t> segments;
    std::vector<std::uint16_t> sources;
};

Received drain_all(PacketRing& ring, std::size_t want) {
    Received r;
    for (int tries = 0; tries < 200 && r.sizes.size() < want; ++tries) {
        ring.drain([&](const RingPacket& p) {
            const CapturedUdp u = parse_captured_udp(p.capture, p.wire_length, p.udp_checksum_trusted);
            ASSERT_EQ(u.verdict, CaptureVerdict::Ok);
            for_each_segment(u.payload, p.segment_size, [&](std::span<const std::uint8_t> d) {
                r.sizes.push_back(d.size());
                r.sources.push_back(u.source_port);
            });
            r.segments.push_back(p.segment_size);
        });
        if (r.sizes.size() < want) ::usleep(5000);  // the block's timeout hands it over
    }
    return r;
}

TEST(PacketRing, TakesOnlyItsDestinationAndSplitsSegmentedSends) {
    UniqueFd rx = testing::bound_udp(kLoopback, 0);
    UniqueFd other = testing::bound_udp(kLoopback, 0);
    UniqueFd tx = testing::bound_udp(kLoopback, 0);
    ASSERT_TRUE(rx && other && tx);
    const std::uint16_t port = testing::local_port(rx.get());
    PacketRingConfig config{.local_ip = kLoopback, .local_port = port, .bytes = 1 << 20, .largest_packet = 1500};
    auto ring = PacketRing::open(config);
    if (!ring && ring.error().permission) GTEST_SKIP() << ring.error().message;
    ASSERT_TRUE(ring) << ring.error().message;
    EXPECT_EQ(ring->interface_name(), "lo");

    const std::vector<std::uint8_t> bytes(3000, 0x5A);
    const sockaddr_in to = inet::to_sockaddr(kLoopback, port);
    const sockaddr_in elsewhere = inet::to_sockaddr(kLoopback, testing::local_port(other.get()));
    auto send = [&](const sockaddr_in& dest, std::size_t n) {
        ASSERT_EQ(::sendto(tx.get(), bytes.data(), n, 0, reinterpret_cast<const sockaddr*>(&dest), sizeof dest),
                  static_cast<ssize_t>(n));
    };
    send(to, 100);
    send(elsewhere, 200);  // another port: the filter keeps it out
    send(to, 0);
    ASSERT_EQ(testing::send_segmented(tx.get(), to, std::span(bytes).first(2500), 1000), 2500);
    const Received got = drain_all(*ring, 5);
    EXPECT_EQ(got.sizes, (std::vector<std::size_t>{100, 0, 1000, 1000, 500}));
    EXPECT_EQ(got.segments, (std::vector<std::uint16_t>{0, 0, 1000}));
    EXPECT_EQ(got.sources, std::vector<std::uint16_t>(5, testing::local_port(tx.get())));
    EXPECT_EQ(ring->take_drops(), 0u);
}

TEST(PacketRing, RefusesPacketsLargerThanTheMtu) {
    // Loopback's MTU is 65536 unless someone changed it.
    PacketRingConfig config{.local_ip = kLoopback, .local_port = 9, .bytes = 1 << 20, .largest_packet = 70000};
    auto ring = PacketRing::open(config);
    if (!ring && ring.error().permission) GTEST_SKIP() << ring.error().message;
    ASSERT_FALSE(ring);
    EXPECT_NE(ring.error().message.find("MTU of lo"), std::string::npos) << ring.error().message;
}

}  // namespace
}  // namespace oculane
