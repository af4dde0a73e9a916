// Stream setup pieces that need no camera: buffer sizing and the fire-test
// search order over a simulated path.
#include <sys/socket.h>
#include <sys/syscall.h>
#include <linux/capability.h>
#include <unistd.h>

#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gige/stream_setup.hpp"
#include "thread_util/log_capture.hpp"
#include "util/unique_fd.hpp"

namespace oculane::gige {
namespace {

TEST(ReceiveBuffer, SizeFollowsThePayloadWithinBounds) {
    struct Case {
        std::size_t requested;
        std::uint64_t payload;
        std::size_t expected;
    };
    const Case cases[] = {
        {0, 307'200, 31'250'000},       // 640x480 frames: 25 ms of a 10 Gbit/s link
        {0, 20'000'000, 67'108'864},    // large ones the ceiling
        {0, 10'000'000, 40'000'000},    // in between: four frames
        {0, 0, 31'250'000},
        {0, UINT64_MAX, 67'108'864},    // no overflow on absurd payloads
        {5'000, 20'000'000, 5'000},     // an explicit size is taken as is
    };
    for (const auto& c : cases)
        EXPECT_EQ(receive_buffer_size(c.requested, c.payload), c.expected) << c.requested << " " << c.payload;
}

// GVSP header bytes: standard (8 bytes) or extended (20 bytes), then zeros.
std::vector<std::uint8_t> gvsp_packet(std::size_t length, std::uint8_t format, std::uint16_t block, bool extended) {
    std::vector<std::uint8_t> d(length, 0);
    d[2] = static_cast<std::uint8_t>(block >> 8);
    d[3] = static_cast<std::uint8_t>(block);
    d[4] = static_cast<std::uint8_t>(format | (extended ? 0x80 : 0));
    if (extended && length >= 20) d[15] = static_cast<std::uint8_t>(block);  // 64-bit block id, low byte
    return d;
}

TEST(FireTest, OnlyTestPacketsCount) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> datagram;
        std::uint32_t probe;
        bool counts;
    };
    const Case cases[] = {
        {"test packet of the probe size", std::vector<std::uint8_t>(9152 - 28, 0), 9152, true},
        {"smaller test packet", std::vector<std::uint8_t>(1000, 0), 9152, true},
        {"larger than the probe", std::vector<std::uint8_t>(1500, 0), 1488, false},
        {"stream payload packet", gvsp_packet(1500 - 28, 3, 7, false), 9152, false},
        {"stream leader", gvsp_packet(44, 1, 7, false), 1488, false},
        {"stream trailer", gvsp_packet(16, 2, 7, false), 560, false},
        {"extended-id payload packet", gvsp_packet(1500 - 28, 3, 7, true), 9152, false},
        // Of the probe size it shows that the size passes, whatever it holds.
        {"stream packet of exactly the probe size", gvsp_packet(1488 - 28, 3, 7, false), 1488, true},
        {"too short for a GVSP header", std::vector<std::uint8_t>(4, 0xFF), 1488, true},
        {"unknown packet format", gvsp_packet(1000, 0x55, 7, false), 9152, true},
    };
    for (const auto& c : cases) EXPECT_EQ(counts_as_test_packet(c.datagram, c.probe), c.counts) << c.name;
}

// What a camera behind a path that loses every packet above `mtu` answers:
// a test packet of the probe size (or of its one fixed size), nothing for
// probes above what the device itself accepts.
struct Path {
    std::uint32_t mtu;
    std::uint32_t device_max = 65535;
    std::optional<std::uint32_t> fixed_answer;
    std::vector<std::uint32_t> probes;

    ProbeResult operator()(std::uint32_t size) {
        probes.push_back(size);
        const std::uint32_t answer = fixed_answer.value_or(size);
        if (size > device_max || answer > size || answer > mtu) return std::optional<std::uint32_t>();
        return std::optional<std::uint32_t>(answer);
    }
};

TEST(PacketSizeSearch, ProbesInTheDocumentedOrderAndSettles) {
    struct Case {
        const char* name;
        Path path;
        std::vector<std::uint32_t> probes;
        std::uint32_t result;
    };
    const Case cases[] = {
        {"4000-byte path", {4000}, {9152, 1488, 5312, 3392, 4352, 3872, 4112, 3984, 4048, 4016, 4000}, 4000},
        {"jumbo path", {9200}, {9152}, 9152},
        // Any counted answer to the jumbo probe selects it.
        {"jumbo answered small", {9200, 65535, 600}, {9152}, 9152},
        {"nothing answers", {0}, {9152, 1488, 1008, 560}, 1500},
        // 1488 fails, 1008 succeeds; the search then runs up from 1008.
        {"1200-byte path", {1200}, {9152, 1488, 1008, 5072, 3040, 2016, 1504, 1248, 1120, 1184, 1216, 1200}, 1200},
        // A device that refuses probes above 1500 and always sends 300-byte
        // test packets: the best answer is 300, raised to the 560 floor.
        {"small fixed test packet", {9000, 1500, 300},
         {9152, 1488, 5312, 3392, 2432, 1952, 1712, 1600, 1536, 1504}, 560},
    };
    for (const auto& c : cases) {
        Path path = c.path;
        auto size = search_packet_size(std::ref(path));
        ASSERT_TRUE(size) << c.name;
        EXPECT_EQ(*size, c.result) << c.name;
        EXPECT_EQ(path.probes, c.probes) << c.name;
    }
}

TEST(PacketSizeSearch, FallbackWarnsAndAProbeErrorEndsTheSearch) {
    {
        test::LogCapture logs;
        Path silent{0};
        ASSERT_EQ(search_packet_size(std::ref(silent)).value_or(0), 1500u);
        const auto lines = logs.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, log::Level::Warn);
        EXPECT_EQ(lines[0].message, "packet size fire-test unsupported, falling back to 1500");
    }
    int calls = 0;
    auto failing = [&](std::uint32_t size) -> ProbeResult {
        ++calls;
        if (size == 1488) return std::unexpected(CameraError::ack_timeout());
        return std::optional<std::uint32_t>();
    };
    auto size = search_packet_size(failing);
    ASSERT_FALSE(size);
    EXPECT_TRUE(size.error().is<camera_error::AckTimeout>());
    EXPECT_EQ(calls, 2);
}

// Drops CAP_NET_ADMIN from the calling thread only (capabilities are per
// thread on Linux), so SO_RCVBUFFORCE is refused as for an ordinary user.
bool drop_net_admin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    data[CAP_NET_ADMIN / 32].effective &= ~(1u << (CAP_NET_ADMIN % 32));
    return ::syscall(SYS_capset, &header, data) == 0;
}

std::size_t rmem_max() {
    std::ifstream in("/proc/sys/net/core/rmem_max");
    std::size_t v = 0;
    in >> v;
    return v;
}

TEST(ReceiveBuffer, ShortGrantWarnsOnceNamingTheSysctl) {
    const std::size_t cap = rmem_max();
    if (cap == 0 || cap > (1u << 28)) GTEST_SKIP() << "net.core.rmem_max unreadable or too large to exceed";
    // A separate thread, so the test's own thread keeps its capabilities.
    std::thread([cap] {
        if (!drop_net_admin()) {
            ADD_FAILURE() << "cannot drop CAP_NET_ADMIN";
            return;
        }
        test::LogCapture logs(log::Level::Warn);
        RateLimit warned(std::chrono::minutes(1));
        for (int i = 0; i < 2; ++i) {
            UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            const ReceiveBuffer got = detail::set_receive_buffer(s.get(), cap * 2, 0, warned);
            EXPECT_FALSE(got.forced);
            EXPECT_EQ(got.asked, cap * 2);
            EXPECT_LT(got.granted, got.asked);
        }
        const auto lines = logs.lines();
        ASSERT_EQ(lines.size(), 1u) << "warned once for two short grants";
        EXPECT_NE(lines[0].message.find("net.core.rmem_max"), std::string::npos) << lines[0].message;
    }).join();
}

}  // namespace
}  // namespace oculane::gige
