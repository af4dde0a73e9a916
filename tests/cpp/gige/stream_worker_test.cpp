// The stream worker thread and StreamChannel/FrameChannel, fed synthetic GVSP
// datagrams from a socket that plays the camera (bound to the camera's
// address and GVCP port, so resend requests land on it too). Each test uses
// its own 127.88.x.y addresses: ctest runs tests in parallel.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gige/proto/gvcp.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream/stream_channel.hpp"
#include "gige/stream/stream_runner.hpp"
#include "gige/stream/stream_stats.hpp"
#include "support/eventually.hpp"
#include "support/loopback_udp.hpp"
#include "thread_util/log_capture.hpp"
#include "util/inet.hpp"
#include "util/unique_fd.hpp"

namespace oculane {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kWidth = 64;
constexpr std::uint32_t kHeight = 16;
constexpr std::uint64_t kPayload = kWidth * kHeight;  // Mono8
constexpr std::uint16_t kPacketSize = 136;             // 100 data bytes per packet
constexpr std::uint32_t kDataPerPacket = kPacketSize - 36;
constexpr std::uint32_t kDataPackets = (kPayload + kDataPerPacket - 1) / kDataPerPacket;  // 11

std::uint8_t pattern(std::uint64_t block, std::size_t i) { return static_cast<std::uint8_t>(block * 7 + i * 3); }

UniqueFd bound(std::uint32_t ip, std::uint16_t port) {
    UniqueFd fd = testing::bound_udp(ip, port);
    if (!fd) ADD_FAILURE() << "bind";
    return fd;
}

using testing::eventually;

// One stream worker with a fake camera in front of it.
struct Rig {
    explicit Rig(std::uint8_t host, StreamConfig cfg = {}, bool resend = false) : config(std::move(cfg)) {
        camera_ip = 0x7F580000u | (std::uint32_t{host} << 8) | 2;  // 127.88.host.2
        const std::uint32_t local_ip = camera_ip - 1;
        camera = bound(camera_ip, gvcp::kPort);
        UniqueFd stream = bound(local_ip, 0);
        stream_fd = stream.get();
        local = gige::Endpoint{local_ip, testing::local_port(stream.get())};
        config.payload_size = config.payload_size.value_or(kPayload);
        auto stats = std::make_shared<StreamStatsRecord>();
        auto [control, control_rx] = unbounded<ToStreamWorker>();
        StreamWorkerParams params;
        params.camera = gige::Endpoint{camera_ip, gvcp::kPort};
        params.local = local;
        params.payload_size = *config.payload_size;
        params.packet_size = kPacketSize;
        params.resend_enabled = resend;
        auto handle = spawn_stream_worker(std::move(stream), params, config, std::move(control_rx), stats);
        if (!handle) {
            ADD_FAILURE() << handle.error().to_string();
            return;
        }
        worker = handle->share();
        channel = std::make_unique<StreamChannel>(local, config.channel, kPacketSize, std::move(control), stats,
                                                  std::move(*handle), [this](Instant) { ++camera_closes; });
    }

    void send(const Bytes& datagram) const {
        const sockaddr_in to = inet::to_sockaddr(local);
        ::sendto(camera.get(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

    // Equal-sized datagrams (the last may be shorter) as one segmented send,
    // the way a fast sender batches them.
    void send_run(const std::vector<Bytes>& datagrams) const {
        Bytes run;
        for (const auto& d : datagrams) run.insert(run.end(), d.begin(), d.end());
        testing::send_segmented(camera.get(), inet::to_sockaddr(local), run,
                                static_cast<std::uint16_t>(datagrams.front().size()));
    }

    static Bytes packet(std::uint64_t block, gvsp::PacketFormat format, std::uint32_t id,
                        std::span<const std::uint8_t> payload) {
        Bytes out(gvsp::kHeaderSize + payload.size());
        gvsp::encode_header(out, gvsp::PacketHeader{.block_id = block, .format = static_cast<std::uint8_t>(format),
                                                     .packet_id = id});
        std::copy(payload.begin(), payload.end(), out.begin() + gvsp::kHeaderSize);
        return out;
    }

    void send_leader(std::uint64_t block) const {
        Bytes leader(gvsp::kLeaderImageSize);
        gvsp::encode_leader(leader, gvsp::payload_type::kImage,
                            gvsp::LeaderInfo{.payload_type = 1, .timestamp = block * 1000,
                                             .pixel_format = gvsp::pixel::kMono8, .width = kWidth, .height = kHeight});
        send(packet(block, gvsp::PacketFormat::Leader, 0, leader));
    }
    void send_data(std::uint64_t block, std::uint32_t id) const {
        Bytes data;
        for (std::size_t i = (id - 1) * kDataPerPacket; i < std::min<std::size_t>(id * kDataPerPacket, kPayload); ++i)
            data.push_back(pattern(block, i));
        send(packet(block, gvsp::PacketFormat::Payload, id, data));
    }
    void send_trailer(std::uint64_t block) const {
        Bytes trailer(gvsp::kTrailerImageSize);
        gvsp::encode_trailer(trailer, gvsp::payload_type::kImage, kHeight);
        send(packet(block, gvsp::PacketFormat::Trailer, kDataPackets + 1, trailer));
    }
    // Leader, data packets except those in `skip`, trailer.
    void send_frame(std::uint64_t block, const std::set<std::uint32_t>& skip = {}) const {
        send_leader(block);
        for (std::uint32_t id = 1; id <= kDataPackets; ++id)
            if (!skip.contains(id)) send_data(block, id);
        send_trailer(block);
    }

    StreamStats stats() const { return channel->stats(); }

    StreamConfig config;
    std::uint32_t camera_ip = 0;
    UniqueFd camera;
    int stream_fd = -1;
    gige::Endpoint local;
    ThreadHandle worker = ThreadHandle::create();
    std::atomic<int> camera_closes{0};
    std::unique_ptr<StreamChannel> channel;
};

void expect_pixels(const Frame& f, std::uint64_t block) {
    ASSERT_EQ(f.data().size(), kPayload);
    for (std::size_t i = 0; i < kPayload; ++i)
        if (f.data()[i] != pattern(block, i)) {
            ADD_FAILURE() << "frame " << block << " byte " << i;
            return;
        }
}

TEST(StreamWorker, EverySubscriberGetsEveryFrameAndAFullQueueOnlyDropsForItself) {
    Rig rig(1);
    FrameChannel reader = rig.channel->subscribe(8);
    FrameChannel idle = rig.channel->subscribe(1);  // never read
    FrameChannel released = rig.channel->subscribe(8);
    for (std::uint64_t block = 1; block <= 3; ++block) rig.send_frame(block);
    for (std::uint64_t block = 1; block <= 3; ++block) {
        auto f = reader.recv_timeout(5s);
        ASSERT_TRUE(f) << "frame " << block;
        EXPECT_EQ((*f)->frame_id(), block);
        EXPECT_EQ((*f)->status(), FrameStatus::Complete);
        EXPECT_EQ((*f)->width(), kWidth);
        expect_pixels(**f, block);
    }
    // Releasing one subscriber leaves the others as they were.
    released = FrameChannel();
    rig.send_frame(4);
    ASSERT_EQ(reader.recv_timeout(5s).value()->frame_id(), 4u);
    rig.channel->close();

    const auto kept = idle.recv_all();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0]->frame_id(), 1u);
    EXPECT_TRUE(idle.is_disconnected());
    const StreamStats s = rig.stats();
    EXPECT_EQ(s.completed_frames, 4u);
    EXPECT_EQ(s.frames_dropped, 3u) << "frames 2 to 4 for the idle subscriber only";
    EXPECT_EQ(s.packets, 4u * (kDataPackets + 2));
}

TEST(StreamWorker, CoalescedRunsAreSplitIntoTheirPackets) {
    Rig rig(12);
    FrameChannel sub = rig.channel->subscribe(4);
    rig.send_leader(4);
    std::vector<Bytes> data;
    for (std::uint32_t id = 1; id <= kDataPackets; ++id) {
        Bytes d;
        for (std::size_t i = (id - 1) * kDataPerPacket; i < std::min<std::size_t>(id * kDataPerPacket, kPayload); ++i)
            d.push_back(pattern(4, i));
        data.push_back(Rig::packet(4, gvsp::PacketFormat::Payload, id, d));
    }
    rig.send_run(data);  // ten full packets and a short last one
    rig.send_trailer(4);
    auto f = sub.recv_timeout(5s);
    ASSERT_TRUE(f);
    EXPECT_EQ((*f)->status(), FrameStatus::Complete);
    expect_pixels(**f, 4);
    rig.channel->close();
    EXPECT_EQ(rig.stats().packets, kDataPackets + 2);
}

TEST(StreamWorker, DatagramsLongerThanThePacketSizeOnlyMoveCounters) {
    Rig rig(11);
    FrameChannel sub = rig.channel->subscribe(4);
    rig.send_leader(3);
    // A payload packet far beyond the negotiated size, in the middle of a frame.
    rig.send(Rig::packet(3, gvsp::PacketFormat::Payload, 1, Bytes(4000, 0xEE)));
    for (std::uint32_t id = 1; id <= kDataPackets; ++id) rig.send_data(3, id);
    rig.send_trailer(3);
    auto f = sub.recv_timeout(5s);
    ASSERT_TRUE(f);
    EXPECT_EQ((*f)->status(), FrameStatus::Complete);
    expect_pixels(**f, 3);
    rig.channel->close();
    const StreamStats s = rig.stats();
    EXPECT_EQ(s.packets, kDataPackets + 3);
    EXPECT_EQ(s.ignored_packets, 1u);
    EXPECT_EQ(s.duplicated_packets, 0u);
}

TEST(StreamWorker, SubscribingAfterTheStopGivesAnEmptyDisconnectedQueue) {
    Rig rig(2);
    rig.channel->close();
    EXPECT_EQ(rig.camera_closes.load(), 1);
    FrameChannel late = rig.channel->subscribe(4);
    EXPECT_TRUE(late.recv_all().empty());
    EXPECT_TRUE(late.is_disconnected());
    auto r = late.recv_until(std::nullopt);  // must not block
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), RecvError::Disconnected);
    rig.channel->close();  // idempotent: the camera is not told twice
    EXPECT_EQ(rig.camera_closes.load(), 1);
}

TEST(StreamWorker, ClosingMidFrameAbortsTheFramesInFlightForEverySubscriber) {
    // With resend on, an unfinished older block stays in flight beside a newer one.
    StreamConfig cfg;
    cfg.frame_timeout = 60s;
    Rig rig(3, cfg, /*resend=*/true);
    std::array<FrameChannel, 2> subs{rig.channel->subscribe(4), rig.channel->subscribe(4)};
    rig.send_leader(5);
    rig.send_data(5, 1);
    rig.send_leader(6);
    ASSERT_TRUE(eventually([&] { return rig.stats().packets == 3; }));
    rig.channel->close();
    for (auto& sub : subs) {
        const auto frames = sub.recv_all();
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[0]->frame_id(), 5u);
        EXPECT_EQ(frames[1]->frame_id(), 6u);
        for (const auto& f : frames) EXPECT_EQ(f->status(), FrameStatus::Aborted);
        EXPECT_TRUE(sub.is_disconnected());
    }
    EXPECT_EQ(rig.stats().aborted_frames, 2u);
}

TEST(StreamWorker, ACameraThatStopsMidFrameYieldsATimeoutFrame) {
    StreamConfig cfg;
    cfg.frame_timeout = 30ms;
    Rig rig(4, cfg);
    FrameChannel sub = rig.channel->subscribe(4);
    rig.send_leader(9);
    rig.send_data(9, 1);
    auto f = sub.recv_timeout(5s);
    ASSERT_TRUE(f);
    EXPECT_EQ((*f)->status(), FrameStatus::Timeout);
    EXPECT_EQ((*f)->frame_id(), 9u);
    EXPECT_EQ((*f)->received_size(), kDataPerPacket);
    const StreamStats s = rig.stats();
    EXPECT_EQ(s.timed_out_frames, 1u);
    EXPECT_EQ(s.failed_frames, 1u);
}

TEST(StreamWorker, PoolExhaustionCountsUnderrunsAndFramesOutliveTheStream) {
    StreamConfig cfg;
    cfg.n_buffers = 2;
    Rig rig(5, cfg);
    FrameChannel sub = rig.channel->subscribe(8);
    // The subscriber holds both buffers, so blocks 3 and 4 find none.
    for (std::uint64_t block = 1; block <= 4; ++block) rig.send_frame(block);
    std::vector<FramePtr> held;
    for (int i = 0; i < 2; ++i) held.push_back(sub.recv_timeout(5s).value());
    ASSERT_TRUE(eventually([&] { return rig.stats().packets == 4u * (kDataPackets + 2); }));
    EXPECT_EQ(rig.stats().underruns, 2u);
    // Letting one go makes room for the next block.
    held.erase(held.begin());
    rig.send_frame(5);
    auto fifth = sub.recv_timeout(5s);
    ASSERT_TRUE(fifth);
    EXPECT_EQ((*fifth)->frame_id(), 5u);
    rig.channel->close();
    rig.channel.reset();
    // Frames keep their bytes after the stream and its pool are gone.
    expect_pixels(*held[0], 2);
    expect_pixels(**fifth, 5);
}

TEST(StreamWorker, ResendRequestsNameTheStreamChannel) {
    StreamConfig cfg;
    cfg.channel = 3;
    cfg.resend_delay = 0ms;
    Rig rig(6, cfg, /*resend=*/true);
    FrameChannel sub = rig.channel->subscribe(4);
    rig.send_frame(7, {4});
    // The worker asks the camera's control port for packet 4 of block 7.
    std::array<std::uint8_t, 64> request{};
    timeval tv{5, 0};
    ::setsockopt(rig.camera.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const ssize_t n = ::recv(rig.camera.get(), request.data(), request.size(), 0);
    ASSERT_EQ(n, static_cast<ssize_t>(gvcp::kPacketResendSize));
    std::array<std::uint8_t, gvcp::kPacketResendSize> expected{};
    gvcp::encode_packet_resend(expected, 3, 7, 4, 4, false, 0);
    // The request id (bytes 6-7) is the worker's own; the rest must match.
    request[6] = request[7] = 0;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), request.begin()));
    rig.send_data(7, 4);
    auto f = sub.recv_timeout(5s);
    ASSERT_TRUE(f);
    EXPECT_EQ((*f)->status(), FrameStatus::Complete);
    expect_pixels(**f, 7);
    EXPECT_EQ(rig.stats().resent_packets, 1u);
    EXPECT_GE(rig.stats().resend_requests, 1u);
}

TEST(StreamWorker, CloseTellsTheCameraEvenWhenTheWorkerAlreadyStopped) {
    Rig rig(7);
    FrameChannel sub = rig.channel->subscribe(2);
    rig.worker.request_stop();
    ASSERT_TRUE(rig.worker.wait_stopped(5s));
    EXPECT_FALSE(rig.channel->worker_running());
    EXPECT_TRUE(sub.recv_until(std::nullopt).error() == RecvError::Disconnected);
    rig.channel.reset();  // the destructor closes
    EXPECT_EQ(rig.camera_closes.load(), 1);
}

TEST(StreamWorker, KernelDropsAreCountedBesideTheStreamCounters) {
    Rig rig(8);
    // Stall the worker's socket: a tiny buffer and a burst larger than it.
    const int tiny = 1;
    ::setsockopt(rig.stream_fd, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    const Bytes junk = Rig::packet(1, gvsp::PacketFormat::Payload, 1, Bytes(1200, 0xAB));
    constexpr int kBurst = 2000;
    for (int i = 0; i < kBurst; ++i) rig.send(junk);
    // Every datagram is either counted by the worker or by the kernel; the
    // kernel's count rides on the next datagram it queues.
    ASSERT_TRUE(eventually([&] {
        rig.send(Rig::packet(2, gvsp::PacketFormat::Payload, 1, Bytes(8, 0)));
        const StreamStats s = rig.stats();
        return s.kernel_drops > 0 && s.packets + s.kernel_drops >= kBurst;
    }));
    rig.channel->close();
    const StreamStats s = rig.stats();
    EXPECT_GT(s.kernel_drops, 0u);
}

TEST(StreamWorker, ASilentStreamAfterAcquisitionStartWarnsOnce) {
    test::LogCapture logs(log::Level::Warn);
    StreamConfig talking_cfg;
    talking_cfg.channel = 2;
    Rig talking(9, talking_cfg);
    StreamConfig silent_cfg;
    silent_cfg.channel = 1;
    Rig silent(10, silent_cfg);
    talking.channel->acquisition_started();
    silent.channel->acquisition_started();
    talking.send_leader(1);
    auto warned_for = [&](const char* channel) {
        int n = 0;
        for (const auto& l : logs.lines())
            if (l.message.find("no stream packet arrived") != std::string::npos &&
                l.message.find(channel) != std::string::npos)
                ++n;
        return n;
    };
    ASSERT_TRUE(eventually([&] { return warned_for("channel 1 ") == 1; }));
    silent.channel->acquisition_started();  // already warned: once per stream
    silent.channel->close();
    talking.channel->close();
    EXPECT_EQ(warned_for("channel 1 "), 1);
    EXPECT_EQ(warned_for("channel 2 "), 0);
}

}  // namespace
}  // namespace oculane
