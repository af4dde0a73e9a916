// The virtual camera's GVSP sender against a bare sender/sink pair measured in
// the same run, on loopback: packets per second, sender CPU time per packet,
// and loss at a recvmmsg sink, for 1500- and 9000-byte packets. The bare
// sender is the least any sender does: sendmmsg of UDP GSO messages built
// once, no headers stamped, no pacing. The virtual camera streams Mono8
// frames back to back (AcquisitionFrameRateEnable off, no link-rate limit),
// one datagram per packet by default and with UDP GSO when asked.
//
// Targets: the camera at 10 GigE line rate, at least 800,000 packets/s of
// 1,500 bytes and 140,000 of 9,000 bytes, with no loss, on at most one core.

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "gige/proto/bootstrap.hpp"
#include "gige/proto/gvcp.hpp"
#include "sim/device.hpp"
#include "sim/feature_registers.hpp"
#include "sim/stream_sender.hpp"
#include "util/inet.hpp"
#include "util/unique_fd.hpp"

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

using namespace oculane;
using namespace std::chrono_literals;
using BenchClock = std::chrono::steady_clock;

namespace {

constexpr auto kRun = 1s;
constexpr std::uint32_t kSinkIp = 0x7F000001;
constexpr std::uint32_t kCameraIp = 0x7F00F0F2;  // 127.0.240.242, clear of the tests' addresses

struct Result {
    double packets_per_second = 0;
    double cpu_ns_per_packet = 0;
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    double wire_bits_per_second = 0;
};

// A recvmmsg sink on 127.0.0.1 counting datagrams until told to stop and
// drained.
class Sink {
public:
    Sink() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        const int size = 64 << 20;
        if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        const auto sa = inet::to_sockaddr(kSinkIp, 0);
        ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        timeval tv{0, 100'000};
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in local{};
        socklen_t len = sizeof local;
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&local), &len);
        port_ = inet::port_of(local);
        thread_ = std::thread([this] { run(); });
    }
    ~Sink() {
        stop_ = true;
        thread_.join();
    }
    std::uint16_t port() const { return port_; }
    std::uint64_t received() const { return received_.load(); }
    // Waits until nothing has arrived for 200 ms.
    void settle() {
        std::uint64_t last = ~0ull;
        while (received_.load() != last) {
            last = received_.load();
            std::this_thread::sleep_for(200ms);
        }
    }

private:
    void run() {
        constexpr int kBatch = 64;
        std::vector<std::uint8_t> buf(kBatch * 9216);
        mmsghdr msgs[kBatch]{};
        iovec iov[kBatch];
        for (int i = 0; i < kBatch; ++i) {
            iov[i] = iovec{buf.data() + i * 9216, 9216};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        while (!stop_) {
            const int n = ::recvmmsg(fd_.get(), msgs, kBatch, MSG_WAITFORONE, nullptr);
            if (n > 0) received_ += static_cast<std::uint64_t>(n);
        }
    }
    UniqueFd fd_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> received_{0};
    std::thread thread_;
};

double thread_cpu_seconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// CPU seconds of this process's thread named `name`, from /proc.
double named_thread_cpu_seconds(const std::string& name) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string n;
        std::getline(comm, n);
        if (n != name) continue;
        std::ifstream stat(task.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
        std::size_t pos = text.rfind(')');
        std::vector<std::string> fields;
        std::string f;
        for (std::size_t i = pos + 2; i <= text.size(); ++i) {
            if (i == text.size() || text[i] == ' ') {
                fields.push_back(f);
                f.clear();
            } else {
                f += text[i];
            }
        }
        const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
        return (std::stod(fields.at(11)) + std::stod(fields.at(12))) / ticks;
    }
    return 0;
}

Result bare(std::uint32_t packet_size) {
    Sink sink;
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int sndbuf = 4 << 20;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    const std::uint32_t seg = packet_size - 28;
    int probe = 0;
    socklen_t plen = sizeof probe;
    const bool gso = ::getsockopt(fd.get(), SOL_UDP, UDP_SEGMENT, &probe, &plen) == 0;
    const std::size_t per_msg = gso ? std::min<std::size_t>(64, 65000 / seg) : 1;
    constexpr std::size_t kMsgs = 16;
    std::vector<std::uint8_t> data(per_msg * seg, 0x5A);
    const auto dest = inet::to_sockaddr(kSinkIp, sink.port());
    mmsghdr msgs[kMsgs]{};
    iovec iov[kMsgs];
    alignas(cmsghdr) char ctl[kMsgs][CMSG_SPACE(sizeof(std::uint16_t))]{};
    for (std::size_t i = 0; i < kMsgs; ++i) {
        iov[i] = iovec{data.data(), data.size()};
        auto& h = msgs[i].msg_hdr;
        h.msg_name = const_cast<sockaddr_in*>(&dest);
        h.msg_namelen = sizeof dest;
        h.msg_iov = &iov[i];
        h.msg_iovlen = 1;
        if (per_msg > 1) {
            h.msg_control = ctl[i];
            h.msg_controllen = sizeof ctl[i];
            cmsghdr* c = CMSG_FIRSTHDR(&h);
            c->cmsg_level = SOL_UDP;
            c->cmsg_type = UDP_SEGMENT;
            c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
            const auto g = static_cast<std::uint16_t>(seg);
            std::memcpy(CMSG_DATA(c), &g, sizeof g);
        }
    }
    Result r;
    double cpu = 0;
    std::thread sender([&] {
        const double c0 = thread_cpu_seconds();
        const auto end = BenchClock::now() + kRun;
        while (BenchClock::now() < end) {
            const int n = ::sendmmsg(fd.get(), msgs, kMsgs, 0);
            if (n > 0) r.sent += static_cast<std::uint64_t>(n) * per_msg;
        }
        cpu = thread_cpu_seconds() - c0;
    });
    const auto t0 = BenchClock::now();
    sender.join();
    const double secs = std::chrono::duration<double>(BenchClock::now() - t0).count();
    sink.settle();
    r.received = sink.received();
    r.packets_per_second = r.sent / secs;
    r.cpu_ns_per_packet = cpu * 1e9 / std::max<std::uint64_t>(r.sent, 1);
    return r;
}

void write_reg(sim::Device& d, std::uint32_t address, std::uint32_t value) {
    static std::uint16_t id = 1;
    const gvcp::RegisterWrite w{address, value};
    (void)d.on_datagram(gvcp::encode_write_reg(std::span(&w, 1), id++), sim::Endpoint{kSinkIp, 40000},
                        sim::Clock::now());
}

Result camera(std::uint32_t packet_size, std::uint64_t link_rate = 0, bool gso = false) {
    Sink sink;
    sim::DeviceConfig cfg;
    cfg.ip = kCameraIp;
    cfg.width = 1280;
    cfg.height = 960;
    cfg.link_rate = link_rate;
    auto device = std::make_shared<sim::Device>(cfg);
    auto sender = sim::StreamSender::start(device, kCameraIp, gso);
    Result r;
    if (!sender) {
        std::fprintf(stderr, "stream sender: %s\n", sender.error().c_str());
        return r;
    }
    write_reg(*device, bootstrap::kCcp, bootstrap::kCcpControl);
    write_reg(*device, sim::reg::kGvcpConfiguration, sim::reg::kGvcpConfigHeartbeatDisable);
    write_reg(*device, bootstrap::stream_channel_destination(0), kSinkIp);
    write_reg(*device, bootstrap::stream_channel_port(0), sink.port());
    write_reg(*device, bootstrap::stream_channel_packet_size(0), packet_size);
    write_reg(*device, sim::reg::kAcquisitionFrameRateEnable, 0);
    const double c0 = named_thread_cpu_seconds("oculane-gvsp-tx");
    const auto t0 = BenchClock::now();
    write_reg(*device, sim::reg::kAcquisitionStart, 1);
    std::this_thread::sleep_for(kRun);
    write_reg(*device, sim::reg::kAcquisitionStop, 1);
    // The frame in flight finishes; its packets count with the time they took.
    const auto before = device->stream_counters().frames;
    while (device->stream_counters().frames == before && BenchClock::now() - t0 < kRun + 1s)
        std::this_thread::sleep_for(1ms);
    const double secs = std::chrono::duration<double>(BenchClock::now() - t0).count();
    const double cpu = named_thread_cpu_seconds("oculane-gvsp-tx") - c0;
    sink.settle();
    r.sent = device->stream_counters().packets;
    r.wire_bits_per_second = (device->stream_counters().bytes + r.sent * (28 + 38)) * 8 / secs;
    r.received = sink.received();
    r.packets_per_second = r.sent / secs;
    r.cpu_ns_per_packet = cpu * 1e9 / std::max<std::uint64_t>(r.sent, 1);
    (*sender)->stop();
    return r;
}

void report(const char* what, std::uint32_t size, const Result& r, const Result* base) {
    std::printf("%-16s %5u B  %10.0f packets/s  %7.0f ns CPU/packet  loss %llu of %llu", what, size,
                r.packets_per_second, r.cpu_ns_per_packet,
                static_cast<unsigned long long>(r.sent > r.received ? r.sent - r.received : 0),
                static_cast<unsigned long long>(r.sent));
    if (base && base->packets_per_second > 0)
        std::printf("   %.2fx bare packets/s, %.2fx bare CPU/packet", r.packets_per_second / base->packets_per_second,
                    r.cpu_ns_per_packet / std::max(base->cpu_ns_per_packet, 1e-9));
    std::printf("\n");
}

}  // namespace

int main() {
    for (std::uint32_t size : {1500u, 9000u}) {
        const Result b = bare(size);
        report("bare sender", size, b, nullptr);
        // The default sender puts one datagram per packet on the wire; GSO
        // is the option benchmarks of the receiver use.
        report("virtual camera", size, camera(size), &b);
        report("  with GSO", size, camera(size, 0, true), &b);
    }
    // Pacing: a camera playing a 1 GigE link should fill it and no more.
    const Result g = camera(1500, 1'000'000'000);
    std::printf("virtual camera    1500 B  at 1 GbE: %.3f Gb/s on the simulated wire (%.2fx the link rate)\n",
                g.wire_bits_per_second / 1e9, g.wire_bits_per_second / 1e9);
    return 0;
}
