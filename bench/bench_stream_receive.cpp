// The stream receiver on loopback.
//
// 1. Paced camera: frames whose packets are spread out in time, sent from a
//    socket of this benchmark: the delivery latency of a frame to a waiting
//    subscriber after its last packet was sent, and how often the worker
//    woke per packet.
//
// 2. The virtual camera's sender against the stream worker and against a bare
//    receiver (recvmmsg into one batch, nothing else; same socket set-up,
//    same sender): CPU per packet at a common paced rate, and the highest
//    packet rate each takes without a kernel drop, at 1,500 and 9,000 bytes.
//    Both sides: a socket bound on loopback with the receive buffer the
//    stream sizes for the payload, the kernel drop counter and UDP receive
//    coalescing on, readiness from the same poller, recvmmsg batches of 32
//    slots of 64 KiB; CPU is the receiving thread's own CPU time over the
//    run, divided by the packets it counted. The worker then splits each
//    coalesced datagram, runs the frame assembler on every packet, copies the
//    payload into a pooled frame buffer and hands finished frames to a
//    subscriber; the bare receiver only counts. Two more sinks on the same
//    sender put that in proportion: the bare one that also copies each
//    packet's payload into one frame-sized buffer (the floor for any
//    receiver that fills frames; it reuses one buffer where the worker
//    alternates between pooled ones while a frame is being read), and the
//    classic one without receive coalescing (one datagram per slot).
//    All of it twice: with a sender that hands runs of packets to UDP GSO
//    (loopback then delivers them coalesced, up to 64 KiB a receive) and
//    with one that sends one datagram per packet, as cameras do.
// 3. 10 GigE line rate for 10 s: frames lost, if any.
// 4. 1% random packet loss with resend on: complete frames, and the
//    receiver's resend counters against the camera's count of resent packets.
//
// Every figure comes from this run; nothing is compared with stored numbers.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
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
#include "stream_bench_util.hpp"
#include "support/loopback_udp.hpp"
#include "sim/feature_registers.hpp"
#include "util/inet.hpp"

using namespace oculane;
using namespace oculane::bench;
using namespace std::chrono_literals;

namespace {

UniqueFd bound_socket(std::uint32_t ip, std::uint16_t port) {
    UniqueFd fd = testing::bound_udp(ip, port);
    if (!fd) {
        std::perror("bind");
        std::exit(1);
    }
    return fd;
}

struct StreamUnderTest {
    std::unique_ptr<StreamChannel> channel;
    gige::Endpoint local;
};

StreamUnderTest start_worker(std::uint32_t camera_ip, std::uint32_t local_ip, std::uint64_t payload,
                             std::uint16_t packet_size) {
    UniqueFd socket = bound_socket(local_ip, 0);
    gige::set_receive_buffer(socket.get(), 0, payload);
    const gige::Endpoint local{local_ip, testing::local_port(socket.get())};
    StreamConfig config;
    config.payload_size = payload;
    config.n_buffers = 8;
    auto stats = std::make_shared<StreamStatsRecord>();
    auto [control, control_rx] = unbounded<ToStreamWorker>();
    StreamWorkerParams params{.camera = {camera_ip, gvcp::kPort}, .local = local, .payload_size = payload,
                              .packet_size = packet_size, .resend_enabled = false};
    auto handle = spawn_stream_worker(std::move(socket), params, config, std::move(control_rx), stats);
    if (!handle) {
        std::fprintf(stderr, "stream worker: %s\n", handle.error().to_string().c_str());
        std::exit(1);
    }
    return {std::make_unique<StreamChannel>(local, 0, packet_size, std::move(control), stats, std::move(*handle),
                                            nullptr),
            local};
}

// A camera that spreads each frame's packets `spacing` apart.
void paced_camera(std::chrono::microseconds spacing, int frames) {
    constexpr std::uint32_t kCamera = 0x7F5A0002;  // 127.90.0.2
    constexpr std::uint32_t kHost = 0x7F5A0001;
    constexpr std::uint32_t kWidth = 640, kHeight = 120;
    FramePackets frame(kWidth, kHeight, 1500);
    UniqueFd camera = bound_socket(kCamera, gvcp::kPort);
    StreamUnderTest s = start_worker(kCamera, kHost, std::uint64_t{kWidth} * kHeight, 1500);
    FrameChannel sub = s.channel->subscribe(4);
    std::this_thread::sleep_for(20ms);  // the worker names its thread once it runs
    const auto tid = thread_id("oculane-gvsp0");
    const sockaddr_in to = inet::to_sockaddr(s.local);

    std::vector<double> latency_us;
    std::atomic<std::int64_t> last_sent_ns{0};
    std::thread consumer([&] {
        for (int i = 0; i < frames; ++i) {
            auto f = sub.recv_timeout(2s);
            if (!f) break;
            const auto now = BenchClock::now().time_since_epoch().count();
            latency_us.push_back(static_cast<double>(now - last_sent_ns.load()) / 1000.0);
        }
    });
    const double cpu0 = tid ? thread_cpu_ns(*tid) : 0;
    const std::uint64_t wake0 = tid ? thread_wakeups(*tid) : 0;
    std::uint64_t packets = 0;
    auto next = BenchClock::now();
    for (int i = 0; i < frames; ++i) {
        frame.set_block(static_cast<std::uint16_t>(i % 65535 + 1));
        for (std::size_t p = 0; p < frame.datagrams.size(); ++p) {
            spin_until(next);
            const auto& d = frame.datagrams[p];
            // The datagram is in the receiver's queue when sendto returns.
            if (p + 1 == frame.datagrams.size()) last_sent_ns.store(BenchClock::now().time_since_epoch().count());
            ::sendto(camera.get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            ++packets;
            next += spacing;
        }
        // A pause between frames, so each delivery is waited for on its own.
        next += 2ms;
        spin_until(next);
    }
    consumer.join();
    const double cpu = tid ? thread_cpu_ns(*tid) - cpu0 : 0;
    const std::uint64_t wakes = tid ? thread_wakeups(*tid) - wake0 : 0;
    const StreamStats st = s.channel->stats();
    std::printf("paced camera, %3lld us/packet, %zu packets/frame: delivery after last packet median %6.1f us, "
                "p99 %6.1f us; worker wake-ups per packet %.3f; CPU %.2f us/packet; %llu/%d frames complete\n",
                static_cast<long long>(spacing.count()), frame.datagrams.size(), median(latency_us),
                percentile(latency_us, 0.99), static_cast<double>(wakes) / static_cast<double>(packets),
                cpu / 1000.0 / static_cast<double>(packets), static_cast<unsigned long long>(st.completed_frames),
                frames);
}

// ---- against the virtual camera ---------------------------------------------

namespace reg = sim::reg;

struct Run {
    double seconds = 0;
    std::uint64_t packets = 0;
    std::uint64_t kernel_drops = 0;
    double cpu_ns = 0;
    std::uint64_t wakeups = 0;  // voluntary context switches of the receiving thread
    std::uint64_t complete = 0, failed = 0;
    StreamStats stats;

    double pps() const { return static_cast<double>(packets) / seconds; }
    double cpu_per_packet_us() const { return packets ? cpu_ns / static_cast<double>(packets) / 1000.0 : 0; }
    double wakeups_per_packet() const {
        return packets ? static_cast<double>(wakeups) / static_cast<double>(packets) : 0;
    }
};

// Link rate in bits per second for `pps` packets of `packet_size` bytes a second.
std::uint64_t link_rate_for(double pps, std::uint32_t packet_size) {
    return static_cast<std::uint64_t>(pps * (packet_size + 38) * 8);  // Ethernet framing as the sender counts it
}

Run run_worker(Sim& sim, std::uint16_t packet_size, std::uint64_t link_rate, std::chrono::milliseconds length,
               bool resend = false, std::int32_t priority = 0, std::size_t n_buffers = 8) {
    sim.cam.device->set_link_rate(link_rate);
    StreamConfig cfg;
    cfg.payload_size = sim.payload();
    cfg.packet_size = packet_size;
    cfg.resend = resend;
    cfg.thread.priority = priority;
    cfg.n_buffers = n_buffers;
    auto opened = sim.transport->open_stream(cfg);
    if (!opened) {
        std::fprintf(stderr, "open_stream: %s\n", opened.error().to_string().c_str());
        std::exit(1);
    }
    StreamChannel& stream = **opened;
    FrameChannel frames = stream.subscribe(64);
    Run r;
    std::thread consumer([&] {
        while (auto f = frames.recv_timeout(5s)) ((*f)->is_complete() ? r.complete : r.failed)++;
    });
    std::this_thread::sleep_for(20ms);
    const auto tid = thread_id(stream_thread_name(0));
    const double cpu0 = tid ? thread_cpu_ns(*tid) : 0;
    const std::uint64_t wake0 = tid ? thread_wakeups(*tid) : 0;
    const auto t0 = BenchClock::now();
    sim.start();
    std::this_thread::sleep_for(length);
    sim.stop();
    r.seconds = std::chrono::duration<double>(BenchClock::now() - t0).count();
    std::this_thread::sleep_for(100ms);  // the last frame and any resends
    r.cpu_ns = tid ? thread_cpu_ns(*tid) - cpu0 : 0;
    r.wakeups = tid ? thread_wakeups(*tid) - wake0 : 0;
    stream.close();
    consumer.join();
    r.stats = stream.stats();
    r.packets = r.stats.packets;
    r.kernel_drops = r.stats.kernel_drops;
    return r;
}

Run run_bare(Sim& sim, std::uint16_t packet_size, std::uint64_t link_rate, std::chrono::milliseconds length,
             bool coalescing = true, bool copying = false) {
    sim.cam.device->set_link_rate(link_rate);
    const std::uint32_t host = sim.ip - 1;
    UniqueFd socket = bound_socket(host, 0);
    gige::set_receive_buffer(socket.get(), 0, sim.payload());
    const std::uint16_t port = testing::local_port(socket.get());
    sim.write(bootstrap::stream_channel_destination(0), host);
    sim.write(bootstrap::stream_channel_port(0), port);
    sim.write(bootstrap::stream_channel_packet_size(0), packet_size);
    BareReceiver bare(std::move(socket), (std::max<std::size_t>(packet_size, 1024) + 63) / 64 * 64, coalescing,
                      copying ? sim.payload() : 0);
    Run r;
    const double cpu0 = thread_cpu_ns(bare.tid());
    const std::uint64_t wake0 = thread_wakeups(bare.tid());
    const auto t0 = BenchClock::now();
    sim.start();
    std::this_thread::sleep_for(length);
    sim.stop();
    r.seconds = std::chrono::duration<double>(BenchClock::now() - t0).count();
    std::this_thread::sleep_for(100ms);
    r.cpu_ns = thread_cpu_ns(bare.tid()) - cpu0;
    r.wakeups = thread_wakeups(bare.tid()) - wake0;
    bare.stop();
    sim.write(bootstrap::stream_channel_port(0), 0);
    r.packets = bare.packets();
    r.kernel_drops = bare.kernel_drops();
    return r;
}

template <class F>
double lossless_rate(F run, double top_pps, std::uint32_t packet_size, bool* sender_bound) {
    // The unpaced run first: without drops, the sender is the limit.
    Run fast = run(0, 600ms);
    *sender_bound = fast.kernel_drops == 0;
    if (*sender_bound) return fast.pps();
    double lo = 0, hi = std::min(top_pps, fast.pps() * 1.2);
    for (int step = 0; step < 4; ++step) {
        const double mid = (lo + hi) / 2;
        Run r = run(link_rate_for(mid, packet_size), 500ms);
        if (r.kernel_drops == 0) lo = r.pps();
        else hi = mid;
    }
    return lo;
}

// `sender` names how the camera sends ("GSO sender": runs of packets
// segmented by the kernel and coalesced again on receive; "one-datagram
// sender": one datagram per packet, as cameras send).
void receiver_vs_bare_cpu(Sim& sim, std::uint16_t packet_size, double paced_pps, const char* sender) {
    const std::uint64_t rate = link_rate_for(paced_pps, packet_size);
    // Alternating rounds, medians: other load on the machine comes and goes.
    std::vector<double> worker_cpu, bare_cpu, classic_cpu, copying_cpu, worker_wakes, bare_wakes;
    std::uint64_t worker_drops = 0, bare_drops = 0;
    for (int round = 0; round < 3; ++round) {
        const Run bare = run_bare(sim, packet_size, rate, 600ms);
        const Run classic = run_bare(sim, packet_size, rate, 600ms, /*coalescing=*/false);
        const Run copying = run_bare(sim, packet_size, rate, 600ms, /*coalescing=*/true, /*copying=*/true);
        const Run worker = run_worker(sim, packet_size, rate, 600ms);
        copying_cpu.push_back(copying.cpu_per_packet_us());
        bare_cpu.push_back(bare.cpu_per_packet_us());
        classic_cpu.push_back(classic.cpu_per_packet_us());
        worker_cpu.push_back(worker.cpu_per_packet_us());
        bare_wakes.push_back(bare.wakeups_per_packet());
        worker_wakes.push_back(worker.wakeups_per_packet());
        bare_drops += bare.kernel_drops;
        worker_drops += worker.kernel_drops;
    }
    const double w = median(worker_cpu), b = median(bare_cpu), c = median(classic_cpu);
    std::printf("%s, %5u-byte packets at %.0f packets/s: CPU per packet %.3f us receiver, %.3f us bare on the "
                "same socket set-up (receive coalescing on), ratio %.2fx (goal <= 1.1x); per-round ratios",
                sender, packet_size, paced_pps, w, b, w / b);
    for (std::size_t i = 0; i < worker_cpu.size(); ++i) std::printf(" %.2f", worker_cpu[i] / bare_cpu[i]);
    std::printf("; kernel drops %llu / %llu\n", static_cast<unsigned long long>(worker_drops),
                static_cast<unsigned long long>(bare_drops));
    std::printf("%s, %5u-byte packets: wake-ups per packet %.4f receiver, %.4f bare\n", sender, packet_size,
                median(worker_wakes), median(bare_wakes));
    std::printf("%s, %5u-byte packets: the bare sink that also copies each packet into a frame-sized buffer costs "
                "%.3f us per packet: receiver/that %.2fx, that/bare %.2fx\n",
                sender, packet_size, median(copying_cpu), w / median(copying_cpu), median(copying_cpu) / b);
    std::printf("%s, %5u-byte packets: a bare sink without receive coalescing (one datagram per slot) costs %.3f us "
                "per packet: receiver/that %.2fx\n",
                sender, packet_size, c, w / c);
}

void receiver_lossless_rates(Sim& sim, std::uint16_t packet_size, double paced_pps) {
    bool worker_sender_bound = false, bare_sender_bound = false;
    const double top = paced_pps * 4;
    const double wr = lossless_rate([&](std::uint64_t lr, std::chrono::milliseconds ms) {
        return run_worker(sim, packet_size, lr, ms); }, top, packet_size, &worker_sender_bound);
    const double br = lossless_rate([&](std::uint64_t lr, std::chrono::milliseconds ms) {
        return run_bare(sim, packet_size, lr, ms); }, top, packet_size, &bare_sender_bound);
    std::printf("%5u-byte packets: lossless rate %.0f packets/s receiver%s, %.0f bare%s, ratio %.2f\n", packet_size,
                wr, worker_sender_bound ? " (sender-bound)" : "", br, bare_sender_bound ? " (sender-bound)" : "",
                wr / br);
}

void line_rate(Sim& sim, std::chrono::seconds length, std::int32_t priority) {
    constexpr std::uint64_t kTenGigE = 10'000'000'000ull;
    const auto before = sim.cam.device->stream_counters();
    const Run r = run_worker(sim, 1500, kTenGigE, length, false, priority);
    auto sent = sim.cam.device->stream_counters();
    sent.frames -= before.frames;
    std::printf("10 GigE line rate, 1500-byte packets, %llds, worker priority %d: %.0f packets/s received (%.2f Gb/s), frames %llu "
                "complete, %llu incomplete, %llu missing, %llu underruns, %llu kernel drops; camera sent %llu frames\n",
                static_cast<long long>(length.count()), priority, r.pps(), r.pps() * 1538 * 8 / 1e9,
                static_cast<unsigned long long>(r.stats.completed_frames),
                static_cast<unsigned long long>(r.stats.failed_frames + r.stats.aborted_frames),
                static_cast<unsigned long long>(r.stats.missing_frames),
                static_cast<unsigned long long>(r.stats.underruns),
                static_cast<unsigned long long>(r.kernel_drops), static_cast<unsigned long long>(sent.frames));
}

void loss_with_resend(Sim& sim, std::size_t n_buffers) {
    sim.cam.device->add_stream_fault(sim::StreamFault{.kind = sim::StreamFaultKind::Loss, .ratio = 0.01});
    const auto before = sim.cam.device->stream_counters();
    const Run r = run_worker(sim, 1500, 1'000'000'000ull, 2000ms, /*resend=*/true, 0, n_buffers);
    const auto after = sim.cam.device->stream_counters();
    sim.cam.device->clear_stream_faults();
    // Against what the camera sent: a block refused for want of a buffer is
    // a lost frame too.
    const auto frames = after.frames - before.frames;
    std::printf("1%% random loss, resend on, %zu buffers: %.2f%% of %llu frames sent arrived complete (target >= "
                "99.9%%); packets lost by the "
                "camera %llu; receiver asked for %llu, got %llu resent; camera resent %llu\n",
                n_buffers,
                frames ? 100.0 * static_cast<double>(r.stats.completed_frames) / static_cast<double>(frames) : 0.0,
                static_cast<unsigned long long>(frames), static_cast<unsigned long long>(after.lost - before.lost),
                static_cast<unsigned long long>(r.stats.resend_requests),
                static_cast<unsigned long long>(r.stats.resent_packets),
                static_cast<unsigned long long>(after.resent - before.resent));
    std::printf("  (kernel drops %llu, timed out %llu, resend budget spent %llu, underruns %llu)\n",
                static_cast<unsigned long long>(r.stats.kernel_drops),
                static_cast<unsigned long long>(r.stats.timed_out_frames),
                static_cast<unsigned long long>(r.stats.resend_ratio_reached),
                static_cast<unsigned long long>(r.stats.underruns));
}

}  // namespace

// Optional argument: run one part only ("paced", "cpu", "cpu1500",
// "cpu9000", "rates", "line", "loss"); all parts without one.
int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    const auto want = [&](const char* part) { return only.empty() || only == part; };
    if (want("paced")) {
        paced_camera(20us, 150);
        paced_camera(5us, 150);
    }
    if (want("cpu") || want("rates") || want("line") || only == "cpu1500" || only == "cpu9000") {
        if (auto sim = start_sim(0x7F5C0002, 1920, 1080)) {  // 127.92.0.2
            if (want("cpu") || only == "cpu1500") receiver_vs_bare_cpu(*sim, 1500, 400'000, "GSO sender");
            if (want("cpu") || only == "cpu9000") receiver_vs_bare_cpu(*sim, 9000, 70'000, "GSO sender");
            if (want("rates")) {
                receiver_lossless_rates(*sim, 1500, 400'000);
                receiver_lossless_rates(*sim, 9000, 70'000);
            }
            if (want("line")) {
                line_rate(*sim, 10s, 0);
                // The same with the worker at real-time priority: what the
                // receiver does when other processes on this machine cannot
                // take its core.
                line_rate(*sim, 3s, 10);
            }
        }
    }
    if (want("cpu") || only == "cpu1500" || only == "cpu9000") {
        // The same comparison with a camera that sends one datagram per
        // packet: every packet is then a datagram of its own on the receive
        // side too, coalescing or not. Such a sender is slower, hence the
        // lower rate at 1,500 bytes.
        if (auto sim = start_sim(0x7F5C0202, 1920, 1080, /*gso=*/false)) {  // 127.92.2.2
            if (want("cpu") || only == "cpu1500") receiver_vs_bare_cpu(*sim, 1500, 200'000, "one-datagram sender");
            if (want("cpu") || only == "cpu9000") receiver_vs_bare_cpu(*sim, 9000, 70'000, "one-datagram sender");
        }
    }
    if (want("loss")) {
        if (auto sim = start_sim(0x7F5C0102, 640, 480)) {  // 127.92.1.2
            // The default pool, then one deep enough to hold the frames that
            // arrive while a frame whose last packets were lost waits for them.
            loss_with_resend(*sim, 8);
            loss_with_resend(*sim, 32);
        }
    }
    return 0;
}
