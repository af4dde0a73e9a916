#include "sim/server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace oculane::sim {
namespace {

std::string ip_text(std::uint32_t ip) {
    return fmt::format("{}.{}.{}.{}", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF);
}

sockaddr_in to_sockaddr(Endpoint e) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(e.ip);
    sa.sin_port = htons(e.port);
    return sa;
}

std::expected<int, std::string> bind_udp(std::uint32_t ip, std::uint16_t port, bool reuse) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::unexpected(fmt::format("socket: {}", std::strerror(errno)));
    if (reuse) {
        // The wildcard discovery socket shares the port with the device socket.
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    }
    const auto sa = to_sockaddr(Endpoint{ip, port});
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        const int err = errno;
        ::close(fd);
        return std::unexpected(fmt::format("bind {}:{}: {}", ip_text(ip), port, std::strerror(err)));
    }
    return fd;
}

}  // namespace

Server::Server(std::shared_ptr<Device> device, ServerOptions options)
    : device_(std::move(device)), options_(options), buffer_(65536) {}

std::expected<std::unique_ptr<Server>, std::string> Server::start(std::shared_ptr<Device> device,
                                                                  ServerOptions options) {
    std::unique_ptr<Server> s(new Server(std::move(device), options));
    auto sock = bind_udp(options.ip, options.port, options.discovery);
    if (!sock) return std::unexpected(sock.error());
    s->sock_ = *sock;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ::getsockname(s->sock_, reinterpret_cast<sockaddr*>(&sa), &len);
    s->local_ = Endpoint{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
    if (options.discovery) {
        auto b = bind_udp(INADDR_ANY, s->local_.port, true);
        if (!b) return std::unexpected(b.error());  // ~Server closes sock_
        s->bsock_ = *b;
    }
    s->wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s->wake_fd_ < 0) return std::unexpected(fmt::format("eventfd: {}", std::strerror(errno)));
    s->thread_ = std::jthread([raw = s.get()](std::stop_token st) { raw->run(st); });
    return s;
}

Server::~Server() {
    stop();
    for (int fd : {sock_, bsock_, wake_fd_})
        if (fd >= 0) ::close(fd);
}

void Server::stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
        wake();
        thread_.join();
    }
}

bool Server::running() const { return thread_.joinable(); }

void Server::wake() {
    if (wake_fd_ < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_fd_, &one, sizeof one);
}

void Server::send(Outgoing datagram) {
    {
        std::lock_guard lock(queue_mu_);
        queued_.push_back(std::move(datagram));
    }
    wake();
}

void Server::transmit(const Outgoing& o) {
    const auto sa = to_sockaddr(o.to);
    // A full socket buffer or an unreachable host loses the datagram, as the
    // network would; the host's retry logic is what is under test.
    [[maybe_unused]] auto n = ::sendto(sock_, o.bytes.data(), o.bytes.size(), 0,
                                       reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
}

void Server::drain(int fd, bool via_broadcast) {
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const auto n = ::recvfrom(fd, buffer_.data(), buffer_.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // would block, or an ICMP error reported on the socket
        }
        const Endpoint peer{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
        const auto now = Clock::now();
        auto out = device_->on_datagram(std::span(buffer_.data(), static_cast<std::size_t>(n)), peer, now,
                                        via_broadcast);
        for (auto& o : out) {
            if (o.delay.count() <= 0) transmit(o);
            else schedule_.push_back(Scheduled{now + o.delay, std::move(o)});
        }
    }
}

void Server::run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        auto now = Clock::now();
        // Due datagrams go out in due order; equal times keep their order.
        std::stable_sort(schedule_.begin(), schedule_.end(),
                         [](const Scheduled& a, const Scheduled& b) { return a.due < b.due; });
        std::size_t sent = 0;
        while (sent < schedule_.size() && schedule_[sent].due <= now) transmit(schedule_[sent++].datagram);
        schedule_.erase(schedule_.begin(), schedule_.begin() + static_cast<std::ptrdiff_t>(sent));
        device_->tick(now);

        auto next = now + std::chrono::milliseconds(100);
        if (!schedule_.empty()) next = std::min(next, schedule_.front().due);
        if (auto d = device_->next_deadline()) next = std::min(next, *d);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();

        pollfd fds[3] = {{wake_fd_, POLLIN, 0}, {sock_, POLLIN, 0}, {bsock_, POLLIN, 0}};
        const int nfds = bsock_ >= 0 ? 3 : 2;
        const int rc = ::poll(fds, nfds, static_cast<int>(std::max<long long>(wait, 0)));
        if (rc < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] auto n = ::read(wake_fd_, &count, sizeof count);
            std::vector<Outgoing> take;
            {
                std::lock_guard lock(queue_mu_);
                take.swap(queued_);
            }
            for (auto& o : take) transmit(o);
        }
        if (fds[1].revents & (POLLIN | POLLERR)) drain(sock_, false);
        if (nfds == 3 && (fds[2].revents & (POLLIN | POLLERR))) drain(bsock_, true);
    }
}

}  // namespace oculane::sim
