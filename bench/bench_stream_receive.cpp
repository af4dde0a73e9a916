// The stream receiver on loopback.
//
// 1. Paced camera: frames whose packets are spread out in time, sent from a
//    socket of this benchmark: the delivery latency of a frame to a waiting
//    subscriber after its last packet was sent, and how often the worker
//    woke per packet.
//
// Every figure comes from this run; nothing is compared with stored numbers.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "gige/proto/gvcp.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream/stream_channel.hpp"
#include "gige/stream/stream_runner.hpp"
#include "gige/stream_setup.hpp"
#include "stream_bench_util.hpp"
#include "util/inet.hpp"

using namespace oculane;
using namespace oculane::bench;
using namespace std::chrono_literals;

namespace {

UniqueFd bound_socket(std::uint32_t ip, std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in sa = inet::to_sockaddr(ip, port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        std::perror("bind");
        std::exit(1);
    }
    return fd;
}

std::uint16_t port_of(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return inet::port_of(sa);
}

// GVSP datagrams of one image frame, built once; the block id is patched in.
struct FramePackets {
    std::vector<std::vector<std::uint8_t>> datagrams;

    FramePackets(std::uint32_t width, std::uint32_t height, std::uint32_t packet_size) {
        const std::size_t payload = std::size_t{width} * height;
        const std::size_t per = packet_size - gvsp::kPacketOverhead;
        const std::size_t n = (payload + per - 1) / per;
        std::vector<std::uint8_t> leader(gvsp::kLeaderImageSize);
        gvsp::encode_leader(leader, gvsp::payload_type::kImage,
                            gvsp::LeaderInfo{.payload_type = 1, .pixel_format = gvsp::pixel::kMono8,
                                             .width = width, .height = height});
        add(gvsp::PacketFormat::Leader, 0, leader);
        for (std::size_t i = 0; i < n; ++i) {
            std::vector<std::uint8_t> data(std::min(per, payload - i * per), static_cast<std::uint8_t>(i));
            add(gvsp::PacketFormat::Payload, static_cast<std::uint32_t>(i + 1), data);
        }
        std::vector<std::uint8_t> trailer(gvsp::kTrailerImageSize);
        gvsp::encode_trailer(trailer, gvsp::payload_type::kImage, height);
        add(gvsp::PacketFormat::Trailer, static_cast<std::uint32_t>(n + 1), trailer);
    }

    void add(gvsp::PacketFormat format, std::uint32_t id, const std::vector<std::uint8_t>& payload) {
        std::vector<std::uint8_t> d(gvsp::kHeaderSize + payload.size());
        gvsp::encode_header(d, gvsp::PacketHeader{.format = static_cast<std::uint8_t>(format), .packet_id = id});
        std::copy(payload.begin(), payload.end(), d.begin() + gvsp::kHeaderSize);
        datagrams.push_back(std::move(d));
    }

    void set_block(std::uint16_t block) {
        for (auto& d : datagrams) {
            d[2] = static_cast<std::uint8_t>(block >> 8);
            d[3] = static_cast<std::uint8_t>(block);
        }
    }
};

struct StreamUnderTest {
    std::unique_ptr<StreamChannel> channel;
    gige::Endpoint local;
};

StreamUnderTest start_worker(std::uint32_t camera_ip, std::uint32_t local_ip, std::uint64_t payload,
                             std::uint16_t packet_size) {
    UniqueFd socket = bound_socket(local_ip, 0);
    gige::set_receive_buffer(socket.get(), 0, payload);
    const gige::Endpoint local{local_ip, port_of(socket.get())};
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

void spin_until(BenchClock::time_point t) {
    while (BenchClock::now() < t) {
    }
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
    std::printf("%s\n", repr(st).c_str());
}

}  // namespace

int main() {
    paced_camera(20us, 150);
    paced_camera(5us, 150);
    return 0;
}
