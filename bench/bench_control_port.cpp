// Control-port throughput against the virtual camera on loopback, beside a
// bare UDP request/response ping-pong between two sockets measured in the
// same run. Figures and ratios only; nothing is asserted.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "gige/gige_camera.hpp"
#include "gige/proto/bootstrap.hpp"
#include "sim/device.hpp"
#include "sim/server.hpp"

#include "bench_camera.hpp"
#include "util/inet.hpp"
#include "util/unique_fd.hpp"

using namespace oculane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kCameraIp = 0x7F630002;  // 127.99.0.2
constexpr std::uint32_t kPingIp = 0x7F630003;    // 127.99.0.3

// A blocking UDP socket whose receives give up after a second, so that a
// datagram lost on the way ends the run instead of hanging it.
UniqueFd udp_socket() {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const timeval limit{1, 0};
    if (fd) ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

// Seconds for `rounds` exchanges of a `request`-byte datagram answered by a
// `reply`-byte one, between a client socket and an echoing thread.
double ping_pong(int rounds, std::size_t request, std::size_t reply) {
    const UniqueFd server_fd = udp_socket(), client_fd = udp_socket();
    const int server = server_fd.get(), client = client_fd.get();
    sockaddr_in sa = inet::to_sockaddr(kPingIp, 0);
    ::bind(server, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(server, reinterpret_cast<sockaddr*>(&sa), &len);
    std::thread echo([&] {
        std::vector<std::uint8_t> in(2048), out(reply, 0xAB);
        for (int i = 0; i < rounds; ++i) {
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            if (::recvfrom(server, in.data(), in.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl) < 0) return;
            ::sendto(server, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
        }
    });
    std::vector<std::uint8_t> req(request, 0x42), in(2048);
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        ::sendto(client, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        if (::recv(client, in.data(), in.size(), 0) < 0) break;
    }
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    echo.join();
    return secs;
}

// Seconds for `rounds` READREG exchanges with the camera from a plain
// blocking socket: the camera's own cost without the control worker.
double raw_register_reads(int rounds) {
    const UniqueFd sock_fd = udp_socket();
    const int sock = sock_fd.get();
    sockaddr_in cam = inet::to_sockaddr(kCameraIp, 3956);
    std::vector<std::uint8_t> in(2048);
    const std::uint32_t regs[] = {bootstrap::kCcp};
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        const auto cmd = gvcp::encode_read_reg(regs, static_cast<std::uint16_t>(i % 0xFFFE + 1));
        ::sendto(sock, cmd.data(), cmd.size(), 0, reinterpret_cast<sockaddr*>(&cam), sizeof cam);
        if (::recv(sock, in.data(), in.size(), 0) < 0) break;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
    sim::DeviceConfig cfg;
    cfg.ip = kCameraIp;
    // A foreign description makes every address readable, so a 1 MiB region
    // exists to read.
    cfg.description = "<RegisterDescription/>";
    auto running = bench::start_camera(cfg);
    if (!running) return 1;
    gige::GigESettings settings;
    settings.device = gige::IpAddress::v4(kCameraIp);
    gige::GigECamera camera(settings);
    if (auto r = camera.connect(); !r) {
        std::fprintf(stderr, "connect: %s\n", r.error().to_string().c_str());
        return 1;
    }
    const auto& port = camera.connection()->port();

    constexpr int kReads = 2000;
    constexpr int kMiB = 1 << 20;
    constexpr int kChunks = kMiB / 512;
    // The machine may be shared: every figure is the best of several rounds,
    // with subject and baseline interleaved so both see the same conditions.
    constexpr int kRounds = 7;

    for (int i = 0; i < 200; ++i) (void)port.read_register(bootstrap::kCcp).wait_owned(port.wait());  // warm-up

    auto timed = [](auto&& body) {
        const auto start = Clock::now();
        body();
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    double ping_reg = 1e9, reg = 1e9, raw_reg = 1e9, ping_mem = 1e9, mem = 1e9;
    std::vector<std::uint8_t> buf(kMiB);
    bool ok = true;
    for (int round = 0; round < kRounds && ok; ++round) {
        ping_reg = std::min(ping_reg, ping_pong(kReads, 12, 12));
        reg = std::min(reg, timed([&] {
                           std::uint8_t word[4];
                           for (int i = 0; i < kReads && ok; ++i) ok = port.read(bootstrap::kCcp, word).has_value();
                       }));
        raw_reg = std::min(raw_reg, raw_register_reads(kReads));
        ping_mem = std::min(ping_mem, ping_pong(kChunks, 16, 12 + 512));
        mem = std::min(mem, timed([&] {
                           if (auto r = port.read(0x20000000, buf); !r) {
                               std::fprintf(stderr, "read: %s\n", r.error().to_string().c_str());
                               ok = false;
                           }
                       }));
    }
    if (!ok) return 1;
    camera.disconnect(std::chrono::milliseconds(500));

    std::printf("register read round trips: %.0f /s   (bare UDP ping-pong %.0f /s)   ratio %.2fx\n",
                kReads / reg, kReads / ping_reg, reg / ping_reg);
    std::printf("  of which the virtual camera alone (plain socket, no worker): %.0f /s   ratio %.2fx\n",
                kReads / raw_reg, raw_reg / ping_reg);
    std::printf("1 MiB memory read: %.1f ms, %.1f MiB/s   (2048 ping-pongs %.1f ms)   ratio %.2fx\n",
                1000 * mem, 1 / mem, 1000 * ping_mem, mem / ping_mem);
    return 0;
}
