// Discovery against a scripted responder on loopback. No broadcast leaves the
// process: adapters are injected with loopback addresses as their "broadcast"
// address and the limited broadcast is switched off.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <fmt/ranges.h>

#include "gige/discovery/discovery.hpp"
#include "util/log.hpp"

using namespace oculane;
using namespace oculane::gige;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;   // 127.0.0.1
constexpr std::uint32_t kLoopback2 = 0x7F000002;  // 127.0.0.2, also local on Linux

DeviceInfo device(std::uint8_t mac_tail, std::string model) {
    DeviceInfo d;
    d.spec_major = 2;
    d.mac = {0x00, 0x0C, 0xDF, 0x00, 0x00, mac_tail};
    d.ip = 0xC0A8010A;
    d.manufacturer = "Acme";
    d.model = std::move(model);
    d.serial = fmt::format("S{}", mac_tail);
    return d;
}

// A UDP device stand-in on 127.0.0.1: every probe it receives is answered
// with the datagrams the script returns for it (the argument counts probes
// from 0).
class Responder {
public:
    using Script = std::function<std::vector<Bytes>(int probe_index)>;

    explicit Responder(Script script) : script_(std::move(script)) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(fd_, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(kLoopback);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        timeval tv{0, 20'000};  // lets the loop notice `stop_`
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        thread_ = std::thread([this] { run(); });
    }
    ~Responder() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }

    std::uint16_t port() const { return port_; }

    // Waits until `n` probes have arrived, or gives up after a generous bound.
    bool wait_for_probes(int n) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, 10s, [&] { return static_cast<int>(probes_.size()) >= n; });
    }
    std::vector<std::pair<Bytes, Endpoint>> probes() {
        std::lock_guard lock(mutex_);
        return probes_;
    }

private:
    void run() {
        std::uint8_t buf[1500];
        while (!stop_) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) continue;
            int index;
            {
                std::lock_guard lock(mutex_);
                index = static_cast<int>(probes_.size());
                probes_.push_back({Bytes(buf, buf + n), {ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)}});
            }
            for (const auto& d : script_(index))
                ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
            cv_.notify_all();
        }
    }

    Script script_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::pair<Bytes, Endpoint>> probes_;
    std::thread thread_;
};

DiscoveryConfig loopback_config(std::uint16_t device_port, std::vector<NetworkAdapter> adapters,
                                Duration timeout = 400ms) {
    DiscoveryConfig c;
    c.adapters = std::move(adapters);
    c.timeout = timeout;
    c.device_port = device_port;
    c.limited_broadcast = false;
    return c;
}

NetworkAdapter lo(std::string name = "lo", std::uint32_t ip = kLoopback) {
    return {std::move(name), ip, 0xFF000000, kLoopback};
}

std::size_t open_fds() {
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

struct CapturedLog {
    CapturedLog() {
        log::set_sink([this](const log::Event& e) {
            std::lock_guard lock(mutex);
            events.push_back({std::string(e.target), e.level, e.message, e.fields});
        });
    }
    ~CapturedLog() { log::clear_sink(); }
    struct Line {
        std::string target;
        log::Level level;
        std::string message;
        std::vector<log::Field> fields;
    };
    std::mutex mutex;
    std::vector<Line> events;
};

}  // namespace

TEST(DiscoveryAdapters, FilteringAndComputedBroadcast) {
    const std::vector<InterfaceAddress> addrs = {
        {"lo", 0x7F000001, 0xFF000000, std::nullopt},
        {"eth0", 0x0A010203, 0xFFFF0000, std::nullopt},             // 10.1.2.3/16, no broadcast reported
        {"eth0", 0xC0A8010A, 0xFFFFFF00, 0xC0A801FF},               // second address on the same interface
        {"dummy", 0x00000000, 0x00000000, std::nullopt},
        {"lo2", 0x7F0000FE, 0xFF000000, std::nullopt},
        {"wg0", 0xC6120001, 0xFFFFFFFF, std::nullopt},              // /32: computed broadcast is itself
        {"all", 0xC6120101, 0x00000000, 0xFFFFFFFF},
        {"veth0", 0xC6120001, 0xFFFFFF00, 0xC6120001},              // "broadcast" = own address: none configured
        {"veth1", 0xC6120101, 0xFFFFFF00, 0x00000000},
    };
    const std::vector<NetworkAdapter> want = {
        {"eth0", 0x0A010203, 0xFFFF0000, 0x0A01FFFF},
        {"eth0", 0xC0A8010A, 0xFFFFFF00, 0xC0A801FF},
        {"wg0", 0xC6120001, 0xFFFFFFFF, 0xC6120001},
        {"all", 0xC6120101, 0x00000000, 0xFFFFFFFF},
        {"veth0", 0xC6120001, 0xFFFFFF00, 0xC61200FF},
        {"veth1", 0xC6120101, 0xFFFFFF00, 0xC61201FF},
    };
    EXPECT_EQ(adapters_from_interfaces(addrs), want);
}

TEST(DiscoveryAdapters, ProbeDestinations) {
    const NetworkAdapter ten{"eth0", 0x0A010203, 0xFFFF0000, 0x0A01FFFF};
    const NetworkAdapter all{"x", 0x0A010203, 0, 0xFFFFFFFF};
    auto texts = [](const std::vector<Endpoint>& v) {
        std::vector<std::string> out;
        for (const auto& e : v) out.push_back(e.to_string());
        return out;
    };
    EXPECT_EQ(texts(probe_destinations(ten, 3956, true)),
              (std::vector<std::string>{"10.1.255.255:3956", "255.255.255.255:3956"}));
    EXPECT_EQ(texts(probe_destinations(ten, 3956, false)), (std::vector<std::string>{"10.1.255.255:3956"}));
    EXPECT_EQ(texts(probe_destinations(all, 3956, true)), (std::vector<std::string>{"255.255.255.255:3956"}));
}


TEST(Discovery, IgnoresBadAnswersAndKeepsTheGoodOne) {
    const DeviceInfo good = device(1, "good");
    Responder responder([&](int) {
        auto ack = [](std::uint8_t tail) { return gvcp::encode_discovery_ack(device(tail, "bad"), 0xFFFF); };
        Bytes error_status = ack(2);
        error_status[0] = 0x80, error_status[1] = 0x06;
        Bytes wrong_command = ack(3);
        wrong_command[3] = 0x81;
        Bytes overrun = ack(4);
        overrun[5] = 0xF9;  // claims 249 payload bytes, carries 248
        Bytes short_payload = ack(5);
        short_payload.resize(8 + 247);
        short_payload[5] = 0xF7;
        const Bytes tiny = {0x00, 0x00, 0x00};
        return std::vector<Bytes>{tiny, error_status, wrong_command, overrun, short_payload, Bytes{},
                                  gvcp::encode_discovery_ack(good, 0x1234)};
    });
    const auto r = discover(loopback_config(responder.port(), {lo()}));
    ASSERT_TRUE(r) << r.error().to_string();
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].info, good);
    EXPECT_EQ((*r)[0].adapter, lo());
    EXPECT_EQ((*r)[0].source, (Endpoint{kLoopback, responder.port()}));

    // The probe on the wire is the fixed discovery command.
    ASSERT_EQ(responder.probes().size(), 1u);
    EXPECT_EQ(responder.probes()[0].first, (Bytes{0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF}));
}

TEST(Discovery, DeviceAnsweringTwiceIsListedOnceWithItsFirstAnswer) {
    Responder responder([&](int) {
        return std::vector<Bytes>{gvcp::encode_discovery_ack(device(7, "first"), 0xFFFF),
                                  gvcp::encode_discovery_ack(device(8, "other"), 0xFFFF),
                                  gvcp::encode_discovery_ack(device(7, "second"), 0xFFFF)};
    });
    const auto r = discover(loopback_config(responder.port(), {lo()}));
    ASSERT_TRUE(r) << r.error().to_string();
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[0].info.model, "first");
    EXPECT_EQ((*r)[1].info.model, "other");
}

TEST(Discovery, DeviceAnsweringOnTwoAdaptersIsListedOnce) {
    Responder responder([&](int index) {
        return std::vector<Bytes>{gvcp::encode_discovery_ack(device(9, index == 0 ? "a" : "b"), 0xFFFF)};
    });
    const auto r = discover(loopback_config(responder.port(), {lo("lo"), lo("lo:2", kLoopback2)}));
    ASSERT_TRUE(r) << r.error().to_string();
    ASSERT_TRUE(responder.wait_for_probes(2));
    // Both probes went out, from each adapter's own address.
    const auto probes = responder.probes();
    EXPECT_EQ(probes[0].second.ip, kLoopback);
    EXPECT_EQ(probes[1].second.ip, kLoopback2);
    ASSERT_EQ(r->size(), 1u);
    // Whichever answer was read first is the one kept, with its own adapter.
    const auto& d = (*r)[0];
    EXPECT_EQ(d.adapter.name, d.info.model == "a" ? "lo" : "lo:2");
}

TEST(Discovery, ZeroTimeoutSendsProbesAndReturnsNothing) {
    Responder responder([](int) { return std::vector<Bytes>{gvcp::encode_discovery_ack(device(1, "x"), 1)}; });
    const auto r = discover(loopback_config(responder.port(), {lo()}, Duration::zero()));
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_TRUE(r->empty());
    EXPECT_TRUE(responder.wait_for_probes(1));
}

TEST(Discovery, NoUsableAdapter) {
    CapturedLog captured;
    // 192.0.2.1 is not an address of this host, so binding to it fails.
    const NetworkAdapter foreign{"eth9", 0xC0000201, 0xFFFFFF00, 0xC00002FF};
    const std::size_t fds_before = open_fds();
    for (const auto& adapters : {std::vector<NetworkAdapter>{}, std::vector<NetworkAdapter>{foreign}}) {
        const auto r = discover(loopback_config(9, adapters));
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().to_string(), "io error: no usable network adapter for discovery");
        const auto* io = r.error().get_if<camera_error::Io>();
        ASSERT_TRUE(io);
        EXPECT_EQ(io->os_error, EADDRNOTAVAIL);
    }
    EXPECT_EQ(open_fds(), fds_before);
    std::lock_guard lock(captured.mutex);
    ASSERT_EQ(captured.events.size(), 1u);
    const auto& line = captured.events[0];
    EXPECT_EQ(line.target, "oculane::gige::discovery");
    EXPECT_EQ(line.level, log::Level::Warn);
    EXPECT_EQ(line.message.rfind("discovery: skipping eth9 (192.0.2.1): ", 0), 0u) << line.message;
}

TEST(Discovery, SkipsUnusableAdaptersLogsAndClosesEverySocket) {
    CapturedLog captured;
    Responder responder([](int) { return std::vector<Bytes>{gvcp::encode_discovery_ack(device(3, "x"), 1)}; });
    const NetworkAdapter foreign{"eth9", 0xC0000201, 0xFFFFFF00, 0xC00002FF};
    const std::size_t fds_before = open_fds();
    const auto r = discover(loopback_config(responder.port(), {foreign, lo()}, 100ms));
    EXPECT_EQ(open_fds(), fds_before);
    ASSERT_TRUE(r) << r.error().to_string();
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].adapter.name, "lo");

    std::lock_guard lock(captured.mutex);
    std::vector<std::string> messages;
    for (const auto& e : captured.events) {
        EXPECT_EQ(e.target, "oculane::gige::discovery");
        messages.push_back(e.message);
    }
    ASSERT_EQ(captured.events.size(), 2u) << fmt::format("{}", fmt::join(messages, " | "));
    EXPECT_EQ(captured.events[0].level, log::Level::Warn);
    EXPECT_EQ(captured.events[1].level, log::Level::Debug);
    EXPECT_EQ(captured.events[1].message, "discovery finished");
    ASSERT_EQ(captured.events[1].fields.size(), 1u);
    EXPECT_EQ(captured.events[1].fields[0].name, "devices");
    EXPECT_EQ(captured.events[1].fields[0].value, "1");
}

TEST(Discovery, AdapterWhoseEverySendFailsIsNotUsable) {
    CapturedLog captured;
    // UDP refuses destination port 0, so the one probe cannot be sent.
    const auto r = discover(loopback_config(0, {lo()}));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "io error: no usable network adapter for discovery");
    std::lock_guard lock(captured.mutex);
    ASSERT_EQ(captured.events.size(), 1u);
    EXPECT_EQ(captured.events[0].level, log::Level::Trace);
    EXPECT_EQ(captured.events[0].message, "discovery: send to 127.0.0.1:0 failed: Invalid argument (os error 22)");
}

TEST(Discovery, RandomAnswersNeverCrashOrCountAndTheLargestDatagramIsRead) {
    // The largest UDP payload, carrying a valid answer and padding: the
    // identity block is read from its start and the excess ignored.
    Bytes largest = gvcp::encode_discovery_ack(device(0x42, "largest"), 1);
    largest.resize(65507, 0xEE);
    largest[4] = static_cast<std::uint8_t>((65507 - 8) >> 8);
    largest[5] = static_cast<std::uint8_t>((65507 - 8) & 0xFF);

    std::vector<Bytes> answers{largest};
    std::uint32_t state = 0x2545F491;  // fixed seed: the same datagrams every run
    auto next = [&] {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        return state;
    };
    for (int i = 0; i < 80; ++i) {
        Bytes d(next() % 400);
        for (auto& b : d) b = static_cast<std::uint8_t>(next());
        if (d.size() >= 8 && i % 2 == 0) {
            // Passes the header checks but cannot hold an identity block:
            // either the length overruns the data or the payload is short.
            d[0] &= 0x7F, d[2] = 0x00, d[3] = 0x03;
            const std::size_t payload = d.size() - 8;
            const std::size_t claim = (i % 4 == 0) ? payload + 1 + next() % 100 : std::min<std::size_t>(payload, 247);
            d[4] = static_cast<std::uint8_t>(claim >> 8), d[5] = static_cast<std::uint8_t>(claim);
        }
        answers.push_back(std::move(d));
    }
    Responder responder([&](int) { return answers; });
    const auto r = discover(loopback_config(responder.port(), {lo()}, 300ms));
    ASSERT_TRUE(r) << r.error().to_string();
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].info, device(0x42, "largest"));
}

TEST(Discovery, DeviceLimitKeepsTheFirstDevicesAndWarnsOnce) {
    CapturedLog captured;
    Responder responder([](int) {
        std::vector<Bytes> answers;
        for (std::uint8_t tail = 1; tail <= 5; ++tail)
            answers.push_back(gvcp::encode_discovery_ack(device(tail, fmt::format("d{}", tail)), 1));
        answers.push_back(gvcp::encode_discovery_ack(device(1, "again"), 1));
        return answers;
    });
    auto config = loopback_config(responder.port(), {lo()}, 300ms);
    config.max_devices = 2;
    const auto r = discover(config);
    ASSERT_TRUE(r) << r.error().to_string();
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[0].info.model, "d1");
    EXPECT_EQ((*r)[1].info.model, "d2");
    std::lock_guard lock(captured.mutex);
    std::vector<std::string> warnings;
    for (const auto& e : captured.events)
        if (e.level == log::Level::Warn) warnings.push_back(e.message);
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            "discovery: more than 2 devices answered; the others are ignored"}));
}

TEST(DiscoveryAdapters, InterfaceSelectsByNameOrAddress) {
    const std::vector<InterfaceAddress> host = {
        {"lo", 0x7F000001, 0xFF000000, std::nullopt},
        {"eth0", 0x0A010203, 0xFFFF0000, std::nullopt},
        {"eth0", 0xC0A8010A, 0xFFFFFF00, 0xC0A801FF},
        {"eth1", 0xC0A8020A, 0xFFFFFF00, 0xC0A802FF},
    };
    const struct {
        std::optional<std::string> interface;
        std::vector<std::string> want;  // adapter addresses, or the error text
    } cases[] = {
        {std::nullopt, {"10.1.2.3", "192.168.1.10", "192.168.2.10"}},
        {"eth0", {"10.1.2.3", "192.168.1.10"}},
        {"192.168.2.10", {"192.168.2.10"}},
        {"lo", {"127.0.0.1"}},  // asked for by name, so loopback is not filtered out
        {"eth7", {"io error: no IPv4 address on interface 'eth7'"}},
        {"192.168.2.1", {"io error: no IPv4 address on interface '192.168.2.1'"}},
    };
    for (const auto& c : cases) {
        DiscoveryConfig config;
        config.interface = c.interface;
        const auto r = select_adapters(config, &host);
        std::vector<std::string> got;
        if (!r) got.push_back(r.error().to_string());
        else
            for (const auto& a : *r) got.push_back(format_ipv4(a.ip));
        EXPECT_EQ(got, c.want) << c.interface.value_or("(all)");
    }
    // Injected adapters are filtered the same way.
    DiscoveryConfig injected;
    injected.adapters = {lo("lo"), lo("lo:2", kLoopback2)};
    injected.interface = "127.0.0.2";
    const auto r = select_adapters(injected, nullptr);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, (std::vector<NetworkAdapter>{lo("lo:2", kLoopback2)}));
}

TEST(Discovery, UnicastProbeGoesToTheOneAddress) {
    Responder responder([](int) { return std::vector<Bytes>{gvcp::encode_discovery_ack(device(4, "uni"), 1)}; });
    DiscoveryConfig config;
    config.unicast = kLoopback;
    config.device_port = responder.port();
    config.timeout = 300ms;
    const auto r = discover(config);
    ASSERT_TRUE(r) << r.error().to_string();
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].info.model, "uni");
    EXPECT_EQ((*r)[0].source, (Endpoint{kLoopback, responder.port()}));
    // Exactly one probe, although two would go out per adapter when broadcasting.
    EXPECT_EQ(responder.probes().size(), 1u);
}

TEST(ForceIp, AcknowledgeOutcomes) {
    const gvcp::ForceIp request{{0x00, 0x0C, 0xDF, 0x00, 0x00, 0x01}, 0x0A000002, 0xFF000000, 0x0A000001};
    const struct {
        const char* name;
        std::vector<Bytes> answers;
        std::string want;  // "" for success, else the error text
    } cases[] = {
        {"accepted", {gvcp::encode_ack(0, 0x0005, 0xFFFF)}, ""},
        {"refused", {gvcp::encode_ack(0x8006, 0x0005, 0xFFFF)},
         "device answered command 0x0004 with access denied (0x8006)"},
        // Another command's ack, or an ack for another request, is not the answer.
        {"unrelated acks only", {gvcp::encode_ack(0, 0x0003, 0xFFFF), gvcp::encode_ack(0, 0x0005, 7)},
         "timed out waiting for acknowledge"},
        {"silent", {}, "timed out waiting for acknowledge"},
    };
    for (const auto& c : cases) {
        Responder responder([&](int) { return c.answers; });
        ForceIpConfig config{request, loopback_config(responder.port(), {lo()}, 200ms)};
        const auto r = force_ip(config);
        EXPECT_EQ(r ? std::string() : r.error().to_string(), c.want) << c.name;
        ASSERT_TRUE(responder.wait_for_probes(1)) << c.name;
        const Bytes sent = responder.probes()[0].first;
        const auto parsed = gvcp::parse_command(sent);
        ASSERT_TRUE(parsed) << c.name;
        EXPECT_EQ(gvcp::parse_force_ip(parsed->payload), request) << c.name;
    }
}
