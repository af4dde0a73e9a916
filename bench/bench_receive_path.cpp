// The packet ring against the UDP socket as the stream worker's receive path,
// on loopback, every figure from this run:
//
// 1. CPU per frame from the virtual camera (in this process), 1,500- and
//    9,000-byte packets, a sender with one send per datagram and one that
//    segments runs (GSO), at a common paced rate both paths take without
//    drops: the worker thread's CPU, the process's CPU (getrusage) minus
//    the camera's sender thread (on loopback the kernel's delivery work runs
//    on the sender's thread, so this is the receiving side: worker, frame
//    consumer, control), and the whole machine's busy time (/proc/stat).
//    Medians over alternating rounds, printed with the ratio ring/socket.
// 2. Delivery latency of a frame to a waiting subscriber after its last
//    packet, from a paced sender of this benchmark, ring and socket.
// 3. What opening and closing a ring costs.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_camera.hpp"
#include "gige/gige_camera.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream/stream_channel.hpp"
#include "gige/stream/stream_runner.hpp"
#include "gige/stream_setup.hpp"
#include "sim/feature_registers.hpp"
#include "stream_bench_util.hpp"
#include "support/loopback_udp.hpp"
#include "util/inet.hpp"
#include "util/packet_ring.hpp"

using namespace oculane;
using namespace oculane::bench;
using namespace std::chrono_literals;

namespace {

namespace reg = sim::reg;

std::string fmt_range(double lo, double hi) {
    char text[64];
    std::snprintf(text, sizeof text, "[%.1f-%.1f]", lo, hi);
    return text;
}

const char* name_of(ReceivePath p) { return p == ReceivePath::Ring ? "ring" : "socket"; }

double process_cpu_ns() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    const auto ns = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e9 + t.tv_usec * 1e3; };
    return ns(u.ru_utime) + ns(u.ru_stime);
}

// Busy time of the whole machine so far, in ns (every CPU's non-idle time).
double machine_busy_ns() {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    const double tick_ns = 1e9 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    return static_cast<double>(user + nice + system + irq + softirq + steal) * tick_ns;
}

struct Cost {
    double worker_ns = 0, process_ns = 0, machine_ns = 0;
    std::uint64_t frames = 0, drops = 0, failed = 0;
};

Cost run(Sim& sim, ReceivePath path, std::uint16_t packet_size, std::uint64_t link_rate,
         std::chrono::milliseconds length) {
    sim.cam.device->set_link_rate(link_rate);
    StreamConfig cfg;
    cfg.payload_size = sim.cam.device->payload_size();
    cfg.packet_size = packet_size;
    cfg.resend = false;
    cfg.receive_path = path;
    auto opened = sim.transport->open_stream(cfg);
    if (!opened || (*opened)->receive_path() != path) {
        std::fprintf(stderr, "open_stream on the %s: %s\n", name_of(path),
                     opened ? "another path was taken" : opened.error().to_string().c_str());
        std::exit(1);
    }
    StreamChannel& stream = **opened;
    FrameChannel frames = stream.subscribe(64);
    Cost c;
    std::thread consumer([&] {
        while (auto f = frames.recv_timeout(2s))
            if (!(*f)->is_complete()) ++c.failed;
    });
    std::this_thread::sleep_for(20ms);
    const auto worker = thread_id(stream_thread_name(0));
    const auto sender = thread_id("oculane-gvsp-tx");
    if (!worker || !sender) {
        std::fprintf(stderr, "worker or sender thread not found\n");
        std::exit(1);
    }
    const double w0 = thread_cpu_ns(*worker), s0 = thread_cpu_ns(*sender), p0 = process_cpu_ns();
    const double m0 = machine_busy_ns();
    const std::uint64_t f0 = stream.stats().completed_frames;
    sim.write(reg::kAcquisitionStart, 1);
    std::this_thread::sleep_for(length);
    sim.write(reg::kAcquisitionStop, 1);
    std::this_thread::sleep_for(60ms);  // the last frame's blocks
    c.worker_ns = thread_cpu_ns(*worker) - w0;
    const double sender_ns = thread_cpu_ns(*sender) - s0;
    c.process_ns = process_cpu_ns() - p0 - sender_ns;
    c.machine_ns = machine_busy_ns() - m0;
    const StreamStats st = stream.stats();
    c.frames = st.completed_frames - f0;
    c.drops = st.kernel_drops;
    stream.close();
    consumer.join();
    return c;
}

void cpu_per_frame(Sim& sim, const char* sender, std::uint16_t packet_size, double pps, int rounds) {
    const std::uint64_t rate = static_cast<std::uint64_t>(pps * (packet_size + 38) * 8);
    std::vector<double> w[2], p[2], m[2], fps[2];
    std::uint64_t drops[2] = {0, 0}, failed[2] = {0, 0};
    for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < 2; ++k) {
            // Alternate which path goes first: other load comes and goes.
            const int which = (round % 2 == 0) ? k : 1 - k;
            const ReceivePath path = which == 0 ? ReceivePath::Socket : ReceivePath::Ring;
            const Cost c = run(sim, path, packet_size, rate, 800ms);
            const double n = static_cast<double>(std::max<std::uint64_t>(c.frames, 1));
            w[which].push_back(c.worker_ns / n / 1000.0);
            p[which].push_back(c.process_ns / n / 1000.0);
            m[which].push_back(c.machine_ns / n / 1000.0);
            fps[which].push_back(static_cast<double>(c.frames) / 0.8);
            drops[which] += c.drops;
            failed[which] += c.failed;
        }
    }
    const auto spread = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return fmt_range(v.front(), v.back());
    };
    std::printf("%5u B, %s sender, %.0f packets/s (%.0f frames/s socket, %.0f ring), us per frame, median [min-max] "
                "of %d rounds:\n",
                packet_size, sender, pps, median(fps[0]), median(fps[1]), rounds);
    const char* names[] = {"worker thread", "process - sender", "whole machine"};
    std::vector<double>* sets[] = {w, p, m};
    for (int i = 0; i < 3; ++i)
        std::printf("    %-17s socket %8.1f %-17s ring %8.1f %-17s ring/socket %.2f\n", names[i], median(sets[i][0]),
                    spread(sets[i][0]).c_str(), median(sets[i][1]), spread(sets[i][1]).c_str(),
                    median(sets[i][1]) / median(sets[i][0]));
    std::printf("    kernel drops socket %llu ring %llu; incomplete frames socket %llu ring %llu\n",
                static_cast<unsigned long long>(drops[0]), static_cast<unsigned long long>(drops[1]),
                static_cast<unsigned long long>(failed[0]), static_cast<unsigned long long>(failed[1]));
}

// ---- delivery latency from a paced sender -------------------------------------

std::vector<double> paced_latency_us(ReceivePath path, std::chrono::microseconds spacing, int frames) {
    constexpr std::uint32_t kCamera = 0x7F5D0002;  // 127.93.0.2
    constexpr std::uint32_t kHost = 0x7F5D0001;
    constexpr std::uint32_t kWidth = 640, kHeight = 120;
    constexpr std::uint64_t kPayload = std::uint64_t{kWidth} * kHeight;
    FramePackets frame(kWidth, kHeight, 1500);
    UniqueFd camera = testing::bound_udp(kCamera, gvcp::kPort);
    UniqueFd socket = testing::bound_udp(kHost, 0);
    if (!camera || !socket) {
        std::perror("bind");
        std::exit(1);
    }
    gige::set_receive_buffer(socket.get(), 0, kPayload);
    const gige::Endpoint local{kHost, testing::local_port(socket.get())};
    PacketRing ring;
    if (path == ReceivePath::Ring) {
        auto opened = PacketRing::open(PacketRingConfig{
            .local_ip = kHost, .local_port = local.port, .bytes = 8 << 20, .block_bytes = kPayload, .largest_packet = 1500});
        if (!opened) {
            std::fprintf(stderr, "ring: %s\n", opened.error().message.c_str());
            std::exit(1);
        }
        ring = std::move(*opened);
        (void)reject_all_datagrams(socket.get());
    }
    StreamConfig config;
    config.payload_size = kPayload;
    config.n_buffers = 8;
    auto stats = std::make_shared<StreamStatsRecord>();
    auto [control, control_rx] = unbounded<ToStreamWorker>();
    StreamWorkerParams params{.camera = {kCamera, gvcp::kPort}, .local = local, .payload_size = kPayload,
                              .packet_size = 1500, .resend_enabled = false};
    auto handle = spawn_stream_worker(std::move(socket), params, config, std::move(control_rx), stats, std::move(ring));
    if (!handle) {
        std::fprintf(stderr, "stream worker: %s\n", handle.error().to_string().c_str());
        std::exit(1);
    }
    StreamChannel channel(local, 0, 1500, std::move(control), stats, std::move(*handle), nullptr);
    FrameChannel sub = channel.subscribe(4);
    const sockaddr_in to = inet::to_sockaddr(local);
    std::vector<double> latency;
    std::atomic<std::int64_t> last_sent_ns{0};
    std::thread consumer([&] {
        for (int i = 0; i < frames; ++i) {
            auto f = sub.recv_timeout(2s);
            if (!f) break;
            latency.push_back(static_cast<double>(BenchClock::now().time_since_epoch().count() - last_sent_ns.load()) /
                              1000.0);
        }
    });
    std::this_thread::sleep_for(20ms);
    auto next = BenchClock::now();
    for (int i = 0; i < frames; ++i) {
        frame.set_block(static_cast<std::uint16_t>(i % 65535 + 1));
        for (std::size_t p = 0; p < frame.datagrams.size(); ++p) {
            spin_until(next);
            const auto& d = frame.datagrams[p];
            if (p + 1 == frame.datagrams.size()) last_sent_ns.store(BenchClock::now().time_since_epoch().count());
            ::sendto(camera.get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            next += spacing;
        }
        next += 10ms;  // each delivery waited for on its own, block timeouts included
        spin_until(next);
    }
    consumer.join();
    return latency;
}

void delivery_latency(std::chrono::microseconds spacing, int frames) {
    for (const ReceivePath path : {ReceivePath::Socket, ReceivePath::Ring}) {
        const std::vector<double> l = paced_latency_us(path, spacing, frames);
        std::printf("paced sender, %lld us/packet, 640x120 frames: delivery after the last packet on the %-6s median "
                    "%7.1f us, p90 %7.1f us, p99 %7.1f us, max %7.1f us (%zu frames)\n",
                    static_cast<long long>(spacing.count()), name_of(path), median(l), percentile(l, 0.9),
                    percentile(l, 0.99), l.empty() ? 0.0 : *std::max_element(l.begin(), l.end()), l.size());
    }
}

void ring_open_close(std::size_t bytes, std::size_t block, int times) {
    std::vector<double> open_ms, close_ms;
    UniqueFd socket = testing::bound_udp(0x7F000001, 0);
    const std::uint16_t port = testing::local_port(socket.get());
    for (int i = 0; i < times; ++i) {
        const auto t0 = BenchClock::now();
        auto ring = PacketRing::open(
            PacketRingConfig{.local_ip = 0x7F000001, .local_port = port, .bytes = bytes, .block_bytes = block, .largest_packet = 1500});
        const auto t1 = BenchClock::now();
        if (!ring) {
            std::fprintf(stderr, "ring: %s\n", ring.error().message.c_str());
            return;
        }
        *ring = PacketRing();
        const auto t2 = BenchClock::now();
        open_ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        close_ms.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    }
    std::printf("ring of %zu MiB in %zu KiB blocks: open median %.1f ms (p90 %.1f), close median %.1f ms (p90 %.1f), "
                "%d times\n",
                bytes >> 20, block >> 10, median(open_ms), percentile(open_ms, 0.9), median(close_ms),
                percentile(close_ms, 0.9), times);
}

}  // namespace

// Optional argument: one part only ("cpu", "latency", "open"); all without.
int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    const auto want = [&](const char* part) { return only.empty() || only == part; };
    if (auto probe = PacketRing::open(PacketRingConfig{.local_ip = 0x7F000001, .local_port = 9, .bytes = 1});
        !probe) {
        std::printf("packet ring unavailable (%s): nothing to compare\n", probe.error().message.c_str());
        return 0;
    }
    if (want("open")) {
        ring_open_close(8 << 20, 128 << 10, 20);
        ring_open_close(8 << 20, 1 << 20, 20);
        ring_open_close(64 << 20, 1 << 20, 10);
    }
    if (want("latency")) {
        delivery_latency(20us, 100);
        delivery_latency(5us, 100);
    }
    if (want("cpu")) {
        for (const bool gso : {false, true}) {
            // A camera of its own per sender kind (127.94.0.2 / .1.2).
            auto sim = start_sim(gso ? 0x7F5E0102 : 0x7F5E0002, 1920, 1080, gso);
            if (!sim) continue;
            const char* sender = gso ? "GSO" : "one-datagram";
            cpu_per_frame(*sim, sender, 1500, 150'000, 3);
            cpu_per_frame(*sim, sender, 9000, 40'000, 3);
        }
    }
    return 0;
}
