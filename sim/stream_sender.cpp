#include "sim/stream_sender.hpp"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

#include <fmt/format.h>

#include "util/inet.hpp"

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace oculane::sim {
namespace {

constexpr std::uint64_t kTokenWaker = 0;
// Messages per sendmmsg, datagrams per GSO message (the kernel's limit is
// 64), and the bytes one GSO message may carry (a UDP length field's worth).
constexpr std::size_t kMaxMessages = 64;
constexpr std::size_t kMaxSegments = 64;
constexpr std::size_t kMaxGsoBytes = 65000;
constexpr std::size_t kMaxIov = kMaxMessages * kMaxSegments * 2;
// A paced batch holds at most this much wire time.
constexpr auto kBatchTime = std::chrono::microseconds(100);
// Ethernet's share of each packet on the wire: preamble and start (8),
// header (14), frame check (4), inter-frame gap (12).
constexpr std::uint64_t kEthernetOverhead = 38;
constexpr auto kIdleWait = std::chrono::milliseconds(100);
constexpr auto kIdleRestart = std::chrono::milliseconds(10);

}  // namespace

struct StreamSender::Batch {
    std::array<mmsghdr, kMaxMessages> msgs{};
    std::array<std::size_t, kMaxMessages> datagrams{};  // per message
    std::array<std::size_t, kMaxMessages> bytes{};
    std::array<iovec, kMaxIov> iov{};
    std::array<std::array<char, CMSG_SPACE(sizeof(std::uint16_t))>, kMaxMessages> cmsg{};
};

StreamSender::StreamSender(std::shared_ptr<Device> device)
    : device_(std::move(device)), batch_(std::make_unique<Batch>()) {}

std::expected<std::unique_ptr<StreamSender>, std::string> StreamSender::start(std::shared_ptr<Device> device,
                                                                              std::uint32_t ip, bool gso,
                                                                              std::uint16_t port) {
    std::unique_ptr<StreamSender> s(new StreamSender(std::move(device)));
    s->sock_ = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s->sock_) return std::unexpected(fmt::format("stream socket: {}", std::strerror(errno)));
    const auto sa = inet::to_sockaddr(ip, port);
    if (::bind(s->sock_.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        return std::unexpected(
            fmt::format("bind stream socket {}: {}", inet::format_endpoint(ip, port), std::strerror(errno)));
    const int sndbuf = 4 << 20;
    ::setsockopt(s->sock_.get(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    // The kernel knows UDP GSO when it lets us read the option.
    int seg = 0;
    socklen_t seglen = sizeof seg;
    s->gso_ = gso && ::getsockopt(s->sock_.get(), SOL_UDP, UDP_SEGMENT, &seg, &seglen) == 0;
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ::getsockname(s->sock_.get(), reinterpret_cast<sockaddr*>(&local), &len);

    auto waker = Waker::create();
    if (!waker) return std::unexpected(fmt::format("eventfd: {}", waker.error().message()));
    auto poller = Poller::create();
    if (!poller) return std::unexpected(fmt::format("epoll: {}", poller.error().message()));
    if (auto r = poller->add_waker(*waker, kTokenWaker); !r)
        return std::unexpected(fmt::format("epoll: {}", r.error().message()));
    s->waker_ = *waker;
    s->poller_.emplace(std::move(*poller));
    s->thread_.set_waker(s->waker_);
    s->device_->attach_stream_sender(s->waker_, inet::port_of(local));
    if (auto r = s->thread_.start("oculane-gvsp-tx", [raw = s.get()](ThreadHandle self) { raw->run(self); }); !r) {
        s->device_->detach_stream_sender();
        return std::unexpected(fmt::format("stream sender thread: {}", r.error().message()));
    }
    return s;
}

StreamSender::~StreamSender() { stop(); }

void StreamSender::stop() {
    device_->detach_stream_sender();
    thread_.stop_and_join();
}

void StreamSender::run(const ThreadHandle& self) {
    // Pacing sleeps are tens of microseconds; the default 50 us timer slack
    // would stretch each of them.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    while (!self.stop_requested()) {
        const auto now = Clock::now();
        device_->take_stream_work(now, work_);
        for (const auto& job : work_.resends) send_resend(job, work_);
        for (std::size_t i = 0; i < work_.frames.size() && !self.stop_requested(); ++i) {
            const auto [begin, end] = work_.fault_ranges[i];
            send_frame(work_.frames[i], std::span(work_.faults).subspan(begin, end - begin), work_, self);
        }
        if (!work_.frames.empty() || !work_.resends.empty()) {
            device_->add_stream_counts(counts_);
            counts_ = {};
            continue;  // more may be due already
        }
        auto wait = kIdleWait;
        if (work_.next_due)
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(*work_.next_due - now));
        if (wait.count() <= 0) {
            // Less than a millisecond to go: the poller rounds up to whole
            // milliseconds, so sleep the rest precisely.
            if (work_.next_due) std::this_thread::sleep_until(*work_.next_due);
            continue;
        }
        auto events = poller_->wait(wait);
        if (!events && events.error() != std::errc::interrupted) break;
    }
    self.set_worker_stopped();
}

void StreamSender::send_frame(const FrameJob& f, std::span<const StreamFault> faults, const StreamWork& work,
                              const ThreadHandle& self) {
    const auto image = pattern_.frame(f.block_id, f.pixel_format, f.width, f.height);
    if (image.size() != f.image_size()) {
        // A format without a pattern (a register poked by hand): nothing to send.
        ++counts_.frames_refused;
        return;
    }
    const auto payload = frame_payload(f, image, scratch_);
    build_frame_packets(f, payload, faults, work.path_mtu, dice_, packets_, counts_);
    ++counts_.frames;
    transmit(f.to, work.link_rate, f.packet_delay, f.tick_frequency, &self);
}

void StreamSender::send_resend(const ResendJob& job, const StreamWork& work) {
    const FrameJob& f = job.frame;
    std::span<const std::uint8_t> payload;
    if (job.held) {
        const auto image = pattern_.frame(f.block_id, f.pixel_format, f.width, f.height);
        if (image.size() != f.image_size()) return;
        payload = frame_payload(f, image, scratch_);
    }
    build_resend_packets(job, payload, work.resend_faults, work.path_mtu, dice_, packets_, counts_);
    // Counted before the packets leave: whoever holds a resent packet must
    // find it in the camera's counters already.
    device_->add_stream_counts(counts_);
    counts_ = {};
    transmit(f.to, work.link_rate, f.packet_delay, f.tick_frequency, nullptr);
}

void StreamSender::transmit(Endpoint to, std::uint64_t link_rate, std::uint32_t packet_delay,
                            std::uint64_t tick_frequency, const ThreadHandle* self) {
    Batch& batch = *batch_;
    const auto dest = inet::to_sockaddr(to);
    const auto ps = packets_.packets();
    const std::chrono::nanoseconds delay_ns(
        tick_frequency ? static_cast<std::int64_t>(static_cast<long double>(packet_delay) * 1e9L / tick_frequency) : 0);
    const bool paced = link_rate != 0 || delay_ns.count() > 0;
    // A packet occupies the wire for its bytes at the link rate; the packet
    // delay is a gap the camera inserts after each packet on top of that.
    auto packet_time = [&](const PacketDesc& p) {
        std::chrono::nanoseconds t = delay_ns;
        if (link_rate)
            t += std::chrono::nanoseconds(static_cast<std::int64_t>(
                (p.size() + gvsp::kIpUdpOverhead + kEthernetOverhead) * 8 * 1'000'000'000ull / link_rate));
        return t;
    };

    std::size_t i = 0;
    while (i < ps.size()) {
        if (self && self->stop_requested()) return;
        // Gather messages: each a run of datagrams of one size (the last may
        // be shorter), sent as one GSO message when the kernel has GSO.
        std::size_t nmsg = 0, niov = 0;
        std::chrono::nanoseconds batch_time{0};
        while (i < ps.size() && nmsg < kMaxMessages && (!paced || batch_time < kBatchTime)) {
            const std::uint32_t seg = ps[i].size();
            std::size_t j = i, bytes = 0;
            const iovec* start = &batch.iov[niov];
            while (j < ps.size() && j - i < kMaxSegments && niov + 2 <= kMaxIov) {
                const std::uint32_t sz = ps[j].size();
                if (j > i && (!gso_ || sz > seg || bytes + sz > kMaxGsoBytes || ps[j - 1].size() < seg)) break;
                if (paced && batch_time >= kBatchTime && j > i) break;
                batch.iov[niov++] = iovec{const_cast<std::uint8_t*>(packets_.header(ps[j])), ps[j].header_size};
                if (ps[j].data_size)
                    batch.iov[niov++] = iovec{const_cast<std::uint8_t*>(ps[j].data), ps[j].data_size};
                bytes += sz;
                if (paced) batch_time += packet_time(ps[j]);
                ++j;
            }
            auto& m = batch.msgs[nmsg];
            m = mmsghdr{};
            m.msg_hdr.msg_name = const_cast<sockaddr_in*>(&dest);
            m.msg_hdr.msg_namelen = sizeof dest;
            m.msg_hdr.msg_iov = const_cast<iovec*>(start);
            m.msg_hdr.msg_iovlen = static_cast<std::size_t>(&batch.iov[niov] - start);
            if (j - i > 1) {
                m.msg_hdr.msg_control = batch.cmsg[nmsg].data();
                m.msg_hdr.msg_controllen = batch.cmsg[nmsg].size();
                cmsghdr* c = CMSG_FIRSTHDR(&m.msg_hdr);
                c->cmsg_level = SOL_UDP;
                c->cmsg_type = UDP_SEGMENT;
                c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
                const auto gso = static_cast<std::uint16_t>(seg);
                std::memcpy(CMSG_DATA(c), &gso, sizeof gso);
            }
            batch.datagrams[nmsg] = j - i;
            batch.bytes[nmsg] = bytes;
            ++nmsg;
            i = j;
        }

        if (paced) {
            const auto now = Clock::now();
            if (wire_free_ > now) std::this_thread::sleep_until(wire_free_);
            // A sleep that overran is made up by the next batches; only
            // after an idle spell does the wire start again from now.
            if (now - wire_free_ > kIdleRestart) wire_free_ = now;
            wire_free_ += batch_time;
        }

        std::size_t done = 0;
        while (done < nmsg) {
            const int r = ::sendmmsg(sock_.get(), &batch.msgs[done], static_cast<unsigned>(nmsg - done), 0);
            if (r > 0) {
                for (std::size_t m = done; m < done + static_cast<std::size_t>(r); ++m) {
                    counts_.packets += batch.datagrams[m];
                    counts_.bytes += batch.bytes[m];
                }
                done += static_cast<std::size_t>(r);
                continue;
            }
            if (errno == EINTR) continue;
            if (gso_ && batch.msgs[done].msg_hdr.msg_controllen != 0 &&
                (errno == EIO || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOPROTOOPT)) {
                // The kernel refuses segmentation after all: one datagram per
                // message from here on, starting again with this message.
                gso_ = false;
                std::size_t back = 0;
                for (std::size_t m = done; m < nmsg; ++m) back += batch.datagrams[m];
                i -= back;
                break;
            }
            // The datagrams of this message are lost, as on a congested link.
            counts_.send_errors += batch.datagrams[done];
            ++done;
        }
    }
}

}  // namespace oculane::sim
