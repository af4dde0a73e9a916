#include "gige/stream/stream_runner.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "gige/proto/gvsp.hpp"
#include "gige/stream/frame_assembler.hpp"
#include "gige/stream/stream_health.hpp"
#include "util/duration.hpp"
#include "util/inet.hpp"
#include "util/log.hpp"
#include "util/os_error.hpp"
#include "util/overload.hpp"
#include "util/packet_ring.hpp"
#include "util/poller.hpp"
#include "util/udp_batch.hpp"

namespace oculane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kSocketToken = 0;
constexpr std::uint64_t kWakerToken = 1;
constexpr auto kIdlePoll = std::chrono::milliseconds(100);
constexpr auto kSilenceLimit = std::chrono::seconds(1);
// Datagrams per recvmmsg call, and calls per wake-up: a sender faster than
// we read must not keep the loop from the stop flag, the control channel and
// the timeouts. What is left is reported by the next (level-triggered) wait.
// With receive coalescing a datagram may hold dozens of packets.
constexpr std::size_t kBatch = 64;
constexpr std::size_t kCoalescedBatch = 32;
constexpr std::size_t kBatchesPerWake = 16;
constexpr std::size_t kCoalescedSlot = 65536;
// Wake-up coalescing. A camera that paces its packets would otherwise wake
// the worker for every one of them. After a wake that found only a few
// datagrams while a frame is under way, the worker sleeps up to this long
// before it waits again, so the next wake finds a batch. The sleep ends one
// packet interval before the frame's trailer is due (estimated from the last
// packet id and the arrival rate), so a frame's delivery is not held back by
// it; a misestimate delays a frame by at most the window. Bursts that fill
// batches never sleep.
constexpr auto kCoalesceWindow = std::chrono::microseconds(100);
constexpr auto kShortestSleep = std::chrono::microseconds(10);
constexpr std::size_t kCoalesceBelow = 32;  // packets per wake
// Nor after a wake that found this many bytes: large packets at a high rate
// come a dozen to a wake, and a sleep then costs more (a timer armed and
// fired, another switch) than the wake-ups it saves.
constexpr std::size_t kCoalesceBelowBytes = 64 * 1024;
// The thread's timer slack bounds how late the coalescing sleep may end.
constexpr unsigned long kTimerSlackNs = 10'000;

// The longest datagram a stream of this packet size takes (with room to
// spare). Without receive coalescing it is also the batch slot size: a batch
// of 64 then spans a few hundred kilobytes instead of 4 MiB, which the cache
// and the TLB notice on every packet. Longer datagrams are not given to the
// assembler (see deliver).
std::size_t longest_datagram(std::uint16_t packet_size) {
    return (std::max<std::size_t>(packet_size, 1024) + 63) / 64 * 64;
}

std::uint64_t wall_clock_ns() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
    return ns > 0 ? static_cast<std::uint64_t>(ns) : 0;
}

class Runner final : public AssemblerSink {
public:
    Runner(UniqueFd socket, Poller poller, FrameAssembler assembler, Receiver<ToStreamWorker> control,
           std::shared_ptr<StreamStatsRecord> shared, const StreamWorkerParams& params, const StreamConfig& config,
           ThreadHandle self, bool coalescing, PacketRing ring)
        : socket_(std::move(socket)),
          ring_(std::move(ring)),
          poller_(std::move(poller)),
          assembler_(std::move(assembler)),
          control_(std::move(control)),
          shared_(std::move(shared)),
          params_(params),
          thread_config_(config.thread),
          channel_(config.channel),
          resend_interval_(config.resend_interval),
          camera_(inet::to_sockaddr(params.camera)),
          self_(std::move(self)),
          longest_(longest_datagram(params.packet_size)),
          // On the ring path the socket is never read: one slot is plenty.
          batch_(ring_.is_open() ? 1 : coalescing ? kCoalescedBatch : kBatch,
                 ring_.is_open() ? 64 : coalescing ? kCoalescedSlot : longest_),
          health_(config.channel, Clock::now()) {
        subscribers_.reserve(4);
    }

    void run() {
        thread_config_.apply_logged();
        (void)::prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
        loop();
        shutdown();
    }

    // ---- AssemblerSink ----------------------------------------------------
    void send_resend(std::span<const std::uint8_t> command) override {
        for (;;) {
            const ssize_t n = ::sendto(socket_.get(), command.data(), command.size(), 0,
                                       reinterpret_cast<const sockaddr*>(&camera_), sizeof camera_);
            if (n >= 0 || errno != EINTR) {
                if (n < 0)
                    OCULANE_LOG(log::Level::Trace, log::kStreamRunner, "resend request send failed: {}",
                                os_error_text(errno));
                return;
            }
        }
    }

    void frame_closed(FramePtr frame) override {
        // A subscriber added meanwhile must see this frame.
        drain_control();
        StreamStats& stats = assembler_.stats();
        health_.frame_closed(frame->status());
        publish();
        bool dropped = false;
        for (auto it = subscribers_.begin(); it != subscribers_.end();) {
            auto sent = it->try_send(frame);
            if (!sent && sent.error().reason == SendError::Disconnected) {
                it = subscribers_.erase(it);
                continue;
            }
            if (!sent) {
                ++stats.frames_dropped;
                dropped = true;
            }
            ++it;
        }
        if (dropped) publish();
    }

private:
    void loop() {
        while (!self_.stop_requested()) {
            if (coalesce_ > Duration::zero()) {
                const timespec pause{0, static_cast<long>(coalesce_.count())};
                coalesce_ = Duration::zero();
                ::clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
            }
            auto ready = poller_.wait(poll_timeout(Clock::now()));
            if (!ready) {
                if (ready.error() == std::errc::interrupted) continue;
                OCULANE_LOG(log::Level::Error, log::kStreamRunner, "gvsp worker poll error: {}",
                            ready.error().message());
                return;
            }
            drain_control();
            if (stop_message_) return;
            if (control_lost()) return;
            for (const PollEvent& ev : *ready)
                if (ev.token == kSocketToken) {
                    if (ring_.is_open()) drain_ring();
                    else drain_socket();
                }
            const Instant now = Clock::now();
            assembler_.on_tick(now, *this);
            watch_for_silence(now);
            health_.tick(now, assembler_.stats(), pool_use());
            publish();
        }
    }

    // Without control the camera has stopped (or will stop) streaming to us,
    // and nobody can restart it on this connection: the stream ends, so that
    // every wait on it ends too, with the reason recorded for the consumers.
    bool control_lost() {
        if (!params_.control_lost || !params_.control_lost->load(std::memory_order_acquire)) return false;
        if (params_.end) params_.end->control_lost.store(true, std::memory_order_release);
        OCULANE_LOG(log::Level::Warn, log::kStreamRunner,
                    "stream channel {} ends: control of the camera was lost", channel_);
        return true;
    }

    Duration poll_timeout(Instant now) const {
        Duration timeout = assembler_.has_frames_in_flight() ? resend_interval_ : Duration(kIdlePoll);
        // A resend request is sent when its packet falls due, not at the
        // next periodic check.
        if (const auto deadline = assembler_.next_deadline())
            timeout = std::min<Duration>(timeout, std::max(Duration::zero(), *deadline - now));
        if (silence_armed_) timeout = std::min<Duration>(timeout, std::max(Duration::zero(), silence_deadline_ - now));
        return timeout;
    }

    void drain_socket() {
        std::size_t taken = 0;
        std::size_t taken_bytes = 0;
        Instant now{};
        std::span<const std::uint8_t> last;
        for (std::size_t round = 0; round < kBatchesPerWake; ++round) {
            auto n = batch_.receive(socket_.get());
            if (!n) {
                OCULANE_LOG(log::Level::Warn, log::kStreamRunner, "gvsp recv error: {}",
                            os_error_text(n.error().value()));
                return;
            }
            assembler_.stats().kernel_drops += batch_.take_new_drops();
            if (*n == 0) break;
            // One clock reading per batch: its datagrams were all queued by
            // the time the call returned.
            now = Clock::now();
            const std::uint64_t wall = wall_clock_ns();
            for (std::size_t i = 0; i < *n; ++i) {
                const auto bytes = batch_.datagram(i);
                taken_bytes += bytes.size();
                const std::uint32_t source = batch_.source_ip(i);
                const std::uint16_t port = batch_.source_port(i);
                const std::size_t segment = batch_.segment_size(i);
                if (batch_.truncated(i)) [[unlikely]] {
                    note_oversized(source, bytes.size());
                    ++taken;
                    continue;
                }
                if (segment == 0 || segment >= bytes.size()) {
                    deliver(bytes, source, port, now, wall);
                    last = bytes;
                    ++taken;
                    continue;
                }
                // A coalesced run: the camera's datagrams end to end.
                for (std::size_t at = 0; at < bytes.size(); at += segment) {
                    last = bytes.subspan(at, std::min(segment, bytes.size() - at));
                    deliver(last, source, port, now, wall);
                    ++taken;
                }
            }
            if (*n < batch_.capacity()) break;  // the queue is empty
        }
        if (taken == 0) return;
        coalesce_ = Duration::zero();
        if (taken < kCoalesceBelow && taken_bytes < kCoalesceBelowBytes && assembler_.has_frames_in_flight())
            coalesce_ = coalescing_sleep(last, taken, now - last_drain_);
        last_drain_ = now;
    }

    // The ring's packets, block by block. A packet the UDP socket would not
    // have delivered (bad checksum, inconsistent lengths) is not delivered
    // either; one cut short counts as an oversized datagram does. Wake-ups
    // come per block already, so there is no coalescing sleep.
    void drain_ring() {
        const Instant now = Clock::now();
        const std::size_t n = ring_.drain([&](const RingPacket& p) {
            const CapturedUdp udp = parse_captured_udp(p.capture, p.wire_length, p.udp_checksum_trusted);
            if (udp.verdict == CaptureVerdict::Ok) [[likely]] {
                for_each_segment(udp.payload, p.segment_size, [&](std::span<const std::uint8_t> datagram) {
                    deliver(datagram, udp.source_ip, udp.source_port, now, p.wall_ns);
                });
            } else if (udp.verdict == CaptureVerdict::Truncated) {
                note_oversized(udp.source_ip, udp.payload_length);
            } else {
                ++ring_rejected_;
                OCULANE_LOG(log::Level::Trace, log::kStreamRunner, "captured packet rejected ({})",
                            static_cast<int>(udp.verdict));
            }
        });
        if (n != 0) assembler_.stats().kernel_drops += ring_.take_drops();
    }

    void deliver(std::span<const std::uint8_t> datagram, std::uint32_t source, std::uint16_t port, Instant now,
                 std::uint64_t wall) {
        if (datagram.size() > longest_) [[unlikely]] {
            note_oversized(source, datagram.size());
            return;
        }
        assembler_.on_datagram(datagram, source, port, now, wall, *this);
    }

    // A datagram longer than the packet size this stream negotiated cannot be
    // a packet of it (and would overwrite its neighbours' bytes); from the
    // camera it counts as received and ignored.
    void note_oversized(std::uint32_t source, std::size_t length) {
        if (source != params_.camera.ip) return;
        StreamStats& stats = assembler_.stats();
        ++stats.packets;
        stats.bytes += length;
        ++stats.ignored_packets;
        OCULANE_LOG(log::Level::Trace, log::kStreamRunner, "datagram longer than the packet size {} ignored",
                    params_.packet_size);
    }

    // How long to let packets gather before the next wait (see kCoalesceWindow).
    Duration coalescing_sleep(std::span<const std::uint8_t> last, std::size_t taken, Duration since_last_drain) const {
        const auto packet = gvsp::parse_packet(last);
        if (!packet || (packet->kind != gvsp::PacketKind::Payload && packet->kind != gvsp::PacketKind::Leader))
            return Duration::zero();  // a trailer or something odd: stay alert
        const std::uint64_t per_packet = gvsp::bytes_per_packet(params_.packet_size, packet->extended);
        if (per_packet == 0) return Duration::zero();
        const std::uint64_t data_packets = (params_.payload_size + per_packet - 1) / per_packet;
        // Packets still to come, the trailer included.
        if (packet->packet_id > data_packets) return Duration::zero();
        const std::uint64_t remaining = data_packets + 1 - packet->packet_id;
        // The first drain of a stream measures from the clock's start, so
        // the time since the last drain may be the host's uptime.
        const Duration sleep = share_capped(since_last_drain, taken, remaining - 1, kCoalesceWindow);
        return sleep < kShortestSleep ? Duration::zero() : sleep;
    }

    void drain_control() {
        for (;;) {
            auto message = control_.try_recv();
            if (!message) return;
            std::visit(Overload{
                           [&](to_stream_worker::Subscribe& s) { subscribers_.push_back(std::move(s.frames)); },
                           [&](to_stream_worker::AcquisitionStarted&) { arm_silence_watch(); },
                           [&](to_stream_worker::Stop&) { stop_message_ = true; },
                       },
                       *message);
        }
    }

    // A started camera whose packets never arrive is the commonest set-up
    // fault (the stream goes to another address, or a firewall or route
    // swallows it); say so once instead of leaving the user with timeouts.
    void arm_silence_watch() {
        if (silence_warned_) return;
        silence_armed_ = true;
        silence_deadline_ = Clock::now() + kSilenceLimit;
        packets_at_arm_ = assembler_.stats().packets;
    }

    void watch_for_silence(Instant now) {
        if (!silence_armed_) return;
        if (assembler_.stats().packets != packets_at_arm_) {
            silence_armed_ = false;
            return;
        }
        if (now < silence_deadline_) return;
        silence_armed_ = false;
        silence_warned_ = true;
        OCULANE_LOG(log::Level::Warn, log::kStreamRunner,
                    "no stream packet arrived within 1 s after AcquisitionStart on channel {} (listening on {}); "
                    "a wrong stream destination, a firewall or routing are the usual causes",
                    channel_, inet::format_endpoint(params_.local.ip, params_.local.port));
    }

    PoolUse pool_use() const {
        const FramePool& pool = assembler_.pool();
        const std::size_t out = pool.n_buffers() - std::min(pool.n_buffers(), pool.available());
        return PoolUse{pool.n_buffers(), out - std::min(out, assembler_.frames_in_flight())};
    }

    void publish() { shared_->publish(assembler_.stats(), pool_use()); }

    void shutdown() {
        assembler_.abort_all(*this);
        health_.flush(Clock::now(), assembler_.stats(), pool_use());
        publish();
        // Queues report disconnection once their last frames are read.
        subscribers_.clear();
        if (ring_.is_open()) {
            assembler_.stats().kernel_drops += ring_.take_drops();
            publish();
            OCULANE_LOG(log::Level::Debug, log::kStreamRunner,
                        "packet ring on {} closed; {} captured packets failed their checks", ring_.interface_name(),
                        ring_rejected_);
        }
        OCULANE_LOG(log::Level::Debug, log::kStreamRunner, "gvsp worker shutting down");
        self_.set_worker_stopped();
        socket_.reset();
        ring_ = PacketRing();
    }

    UniqueFd socket_;
    PacketRing ring_;  // when open, the datagrams' source; the socket then only sends
    std::uint64_t ring_rejected_ = 0;
    Poller poller_;
    FrameAssembler assembler_;
    Receiver<ToStreamWorker> control_;
    std::shared_ptr<StreamStatsRecord> shared_;
    StreamWorkerParams params_;
    ThreadConfig thread_config_;
    std::uint16_t channel_;
    Duration resend_interval_;
    sockaddr_in camera_;
    ThreadHandle self_;
    std::size_t longest_;
    UdpBatch batch_;
    std::vector<Sender<FramePtr>> subscribers_;
    bool stop_message_ = false;
    Duration coalesce_{};  // sleep before the next wait
    Instant last_drain_{};
    bool silence_armed_ = false;
    bool silence_warned_ = false;
    Instant silence_deadline_{};
    std::uint64_t packets_at_arm_ = 0;
    StreamHealth health_;  // warnings about failed frames, kernel drops, starvation
};

// The fastest link a stream's pool is sized for, in bytes a second.
constexpr double kReserveLineRate = 1.25e9;  // 10 Gbit/s
constexpr std::size_t kMaxReserve = 64;

CameraError start_error(std::string_view what, const std::error_code& e) {
    return CameraError::io(fmt::format("stream worker start-up: {}: {}", what, e.message()), e.value());
}

}  // namespace

std::size_t stream_pool_size(const StreamConfig& config, std::uint64_t payload_size) {
    if (!config.resend_reserve || payload_size == 0) return config.n_buffers;
    const Duration held = std::max(config.resend_delay, Duration::zero()) +
                          2 * std::max(config.resend_interval, Duration::zero());
    const double bytes = kReserveLineRate * std::chrono::duration<double>(held).count();
    const double frames = std::ceil(bytes / static_cast<double>(payload_size));
    const std::size_t reserve = frames >= kMaxReserve ? kMaxReserve : std::max<std::size_t>(1, static_cast<std::size_t>(frames));
    return config.n_buffers + reserve;
}

CameraResult<ThreadHandle> spawn_stream_worker(UniqueFd socket, const StreamWorkerParams& params,
                                               const StreamConfig& config, Receiver<ToStreamWorker> control,
                                               std::shared_ptr<StreamStatsRecord> stats, PacketRing ring) {
    const bool on_ring = ring.is_open();
    const int flags = ::fcntl(socket.get(), F_GETFL);
    if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return std::unexpected(start_error("non-blocking socket", std::error_code(errno, std::generic_category())));
    // Without the counter the stream still works; kernel_drops stays 0.
    if (auto counted = on_ring ? std::expected<void, std::error_code>{} : enable_drop_counter(socket.get()); !counted)
        OCULANE_LOG(log::Level::Debug, log::kStreamRunner, "kernel drop counter unavailable: {}",
                    counted.error().message());
    // Runs of packets then arrive with one receive; without it, one each.
    const bool coalescing = !on_ring && enable_coalescing(socket.get()).has_value();

    auto poller = Poller::create();
    if (!poller) return std::unexpected(start_error("poller", poller.error()));
    if (auto added = poller->add(on_ring ? ring.fd() : socket.get(), kSocketToken); !added)
        return std::unexpected(start_error("poller registration", added.error()));
    OCULANE_LOG(log::Level::Debug, log::kStreamRunner, "stream {} {} registered for readability as token {}",
                on_ring ? "packet ring for" : "socket", inet::format_endpoint(params.local.ip, params.local.port),
                kSocketToken);
    auto waker = Waker::create();
    if (!waker) return std::unexpected(start_error("waker", waker.error()));
    if (auto added = poller->add_waker(*waker, kWakerToken); !added)
        return std::unexpected(start_error("waker registration", added.error()));

    AssemblerConfig ac;
    ac.payload_size = *config.payload_size;
    ac.packet_size = params.packet_size;
    ac.tick_frequency = params.tick_frequency;
    ac.resend_enabled = params.resend_enabled;
    ac.channel = config.channel;
    ac.camera_ip = params.camera.ip;
    ac.resend_delay = config.resend_delay;
    ac.resend_interval = config.resend_interval;
    ac.frame_timeout = config.frame_timeout;
    ac.resend_ratio = config.resend_ratio;
    ac.n_buffers = stream_pool_size(config, ac.payload_size);
    auto assembler = FrameAssembler::create(ac);
    if (!assembler) return std::unexpected(std::move(assembler.error()));

    ThreadHandle handle = ThreadHandle::create();
    handle.set_waker(std::move(*waker));
    auto started = handle.start(
        stream_thread_name(config.channel),
        [socket = std::move(socket), poller = std::move(*poller), assembler = std::move(*assembler),
         control = std::move(control), stats = std::move(stats), params, config,
         coalescing, ring = std::move(ring)](ThreadHandle self) mutable {
            Runner runner(std::move(socket), std::move(poller), std::move(assembler), std::move(control),
                          std::move(stats), params, config, std::move(self), coalescing, std::move(ring));
            runner.run();
        });
    if (!started) return std::unexpected(start_error("thread", started.error()));
    return handle;
}

}  // namespace oculane
