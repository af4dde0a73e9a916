#include "sim/server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "thread_util/mutex.hpp"
#include "util/inet.hpp"

namespace oculane::sim {
namespace {

constexpr std::uint64_t kTokenWaker = 0;
constexpr std::uint64_t kTokenSocket = 1;
constexpr std::uint64_t kTokenBroadcast = 2;
// Datagrams taken from one socket per wake-up. The poller reports a socket
// with more waiting again at once, so a host that floods the camera cannot
// keep the worker from its stop flag or from acknowledges already due.
constexpr std::size_t kDrainBatch = 64;
// Commands are at most a few hundred bytes; a datagram longer than a slot is
// no command and is dropped unread.
constexpr std::size_t kBatchSlots = 8;
constexpr std::size_t kBatchSlotSize = 16384;
// Acknowledges held back by a delay fault. Beyond this the camera loses
// them, as a congested network would, instead of growing without bound.
constexpr std::size_t kScheduleLimit = 16384;

using inet::to_sockaddr;

std::expected<UniqueFd, std::string> bind_udp(std::uint32_t ip, std::uint16_t port, bool reuse) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return std::unexpected(fmt::format("socket: {}", std::strerror(errno)));
    if (reuse) {
        // The wildcard discovery socket shares the port with the device socket.
        const int one = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        ::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    }
    const auto sa = to_sockaddr(ip, port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        return std::unexpected(fmt::format("bind {}: {}", inet::format_endpoint(ip, port), std::strerror(errno)));
    return fd;
}

}  // namespace

Server::Server(std::shared_ptr<Device> device, ServerOptions options)
    : device_(std::move(device)), options_(options), batch_(kBatchSlots, kBatchSlotSize) {}

std::expected<std::unique_ptr<Server>, std::string> Server::start(std::shared_ptr<Device> device,
                                                                  ServerOptions options) {
    std::unique_ptr<Server> s(new Server(std::move(device), options));
    auto sock = bind_udp(options.ip, options.port, options.discovery);
    if (!sock) return std::unexpected(sock.error());
    s->sock_ = std::move(*sock);
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ::getsockname(s->sock_.get(), reinterpret_cast<sockaddr*>(&sa), &len);
    s->local_ = Endpoint{inet::ip_of(sa), inet::port_of(sa)};
    if (options.discovery) {
        auto b = bind_udp(INADDR_ANY, s->local_.port, true);
        if (!b) return std::unexpected(b.error());
        s->bsock_ = std::move(*b);
    }

    auto fail = [](const char* what, std::error_code ec) {
        return std::unexpected(fmt::format("{}: {}", what, ec.message()));
    };
    auto waker = Waker::create();
    if (!waker) return fail("eventfd", waker.error());
    auto poller = Poller::create();
    if (!poller) return fail("epoll", poller.error());
    if (auto r = poller->add_waker(*waker, kTokenWaker); !r) return fail("epoll", r.error());
    if (auto r = poller->add(s->sock_.get(), kTokenSocket); !r) return fail("epoll", r.error());
    if (s->bsock_)
        if (auto r = poller->add(s->bsock_.get(), kTokenBroadcast); !r) return fail("epoll", r.error());
    s->waker_ = *waker;
    s->poller_.emplace(std::move(*poller));
    auto sender = StreamSender::start(s->device_, s->local_.ip, options.gso, options.stream_port);
    if (!sender) return std::unexpected(sender.error());
    s->sender_ = std::move(*sender);
    s->thread_.set_waker(s->waker_);
    // Events raised on the stream side go out from this socket at once.
    s->device_->attach_event_waker(s->waker_);
    if (auto r = s->thread_.start("oculane-sim", [raw = s.get()](ThreadHandle self) { raw->run(self); }); !r)
        return fail("worker thread", r.error());
    return s;
}

Server::~Server() { stop(); }

void Server::stop() {
    thread_.stop_and_join();
    // The device may outlive this server; its waker (an fd) goes with the server.
    device_->attach_event_waker(nullptr);
    if (sender_) sender_->stop();
}

bool Server::running() const { return thread_.has_thread() && thread_.worker_running(); }

void Server::send(Outgoing datagram) {
    {
        MutexLock lock(queue_mu_);
        queued_.push_back(std::move(datagram));
    }
    if (waker_) (void)waker_->wake();
}

void Server::transmit(const Outgoing& o) {
    const auto sa = to_sockaddr(o.to);
    // A full socket buffer or an unreachable host loses the datagram, as the
    // network would; the host's retry logic is what is under test.
    [[maybe_unused]] auto n = ::sendto(sock_.get(), o.bytes.data(), o.bytes.size(), 0,
                                       reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
}

void Server::drain(int fd, bool via_broadcast) {
    for (std::size_t taken = 0; taken < kDrainBatch;) {
        // Fails only for an ICMP error reported on the socket (would-block
        // is an empty batch).
        const auto n = batch_.receive(fd);
        if (!n || *n == 0) return;
        for (std::size_t i = 0; i < *n; ++i) {
            if (batch_.truncated(i)) continue;
            handle(batch_.datagram(i), Endpoint{batch_.source_ip(i), batch_.source_port(i)}, via_broadcast);
        }
        taken += *n;
        if (*n < batch_.capacity()) return;  // the queue is empty
    }
}

void Server::handle(std::span<const std::uint8_t> datagram, Endpoint peer, bool via_broadcast) {
    const auto now = Clock::now();
    auto out = device_->on_datagram(datagram, peer, now, via_broadcast);
    for (auto& o : out) {
        if (o.delay.count() <= 0) {
            transmit(o);
        } else if (schedule_.size() < kScheduleLimit) {
            // Kept in due order; a datagram due at the same time as others
            // goes after them, as it was made after them.
            const auto due = now + o.delay;
            const auto at = std::upper_bound(schedule_.begin(), schedule_.end(), due,
                                             [](Clock::time_point t, const Scheduled& s) { return t < s.due; });
            schedule_.insert(at, Scheduled{due, std::move(o)});
        }
    }
}

void Server::run(const ThreadHandle& self) {
    while (!self.stop_requested()) {
        auto now = Clock::now();
        std::size_t sent = 0;
        while (sent < schedule_.size() && schedule_[sent].due <= now) transmit(schedule_[sent++].datagram);
        schedule_.erase(schedule_.begin(), schedule_.begin() + static_cast<std::ptrdiff_t>(sent));
        device_->tick(now);
        for (const auto& o : device_->take_events(now)) transmit(o);

        auto next = now + std::chrono::milliseconds(100);
        if (!schedule_.empty()) next = std::min(next, schedule_.front().due);
        if (auto d = device_->next_deadline()) next = std::min(next, *d);

        auto events = poller_->wait(std::max(next - now, Clock::duration::zero()));
        if (!events) {
            if (events.error() == std::errc::interrupted) continue;
            break;
        }
        for (const PollEvent& ev : *events) {
            if (ev.token == kTokenWaker) {
                std::vector<Outgoing> take;
                {
                    MutexLock lock(queue_mu_);
                    take.swap(queued_);
                }
                for (auto& o : take) transmit(o);
            } else if (ev.token == kTokenSocket) {
                drain(sock_.get(), false);
            } else if (ev.token == kTokenBroadcast) {
                drain(bsock_.get(), true);
            }
        }
    }
    self.set_worker_stopped();
}

}  // namespace oculane::sim
