#include "util/poller.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace oculane {

namespace {

std::error_code last_error() { return {errno, std::generic_category()}; }

std::uint32_t epoll_mask(Interest interest) {
    switch (interest) {
        case Interest::Readable: return EPOLLIN;
        case Interest::Writable: return EPOLLOUT;
        case Interest::ReadWrite: return EPOLLIN | EPOLLOUT;
    }
    return EPOLLIN;
}

int timeout_ms(std::optional<std::chrono::nanoseconds> timeout) {
    if (!timeout) return -1;
    if (*timeout <= std::chrono::nanoseconds::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*timeout).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

std::expected<std::shared_ptr<Waker>, std::error_code> Waker::create() {
    UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd) return std::unexpected(last_error());
    return std::shared_ptr<Waker>(new Waker(std::move(fd)));
}

std::expected<void, std::error_code> Waker::wake() const noexcept {
    const std::uint64_t one = 1;
    // errno is restored: this may run inside a signal handler.
    const int saved_errno = errno;
    int err = 0;
    for (;;) {
        if (::write(fd_.get(), &one, sizeof one) == static_cast<ssize_t>(sizeof one)) break;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) err = errno;
        break;
    }
    errno = saved_errno;
    if (err != 0) return std::unexpected(std::error_code(err, std::generic_category()));
    return {};
}

void Waker::drain() const noexcept {
    std::uint64_t count;
    // Non-blocking: one read resets the counter, or fails with EAGAIN when
    // nothing was pending.
    while (::read(fd_.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
}

std::expected<Poller, std::error_code> Poller::create() {
    UniqueFd epfd(::epoll_create1(EPOLL_CLOEXEC));
    if (!epfd) return std::unexpected(last_error());
    return Poller(std::move(epfd));
}

std::expected<void, std::error_code> Poller::add(int fd, std::uint64_t token, Interest interest) {
    epoll_event ev{};
    ev.events = epoll_mask(interest);
    ev.data.u64 = token;
    if (::epoll_ctl(epfd_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) return std::unexpected(last_error());
    return {};
}

std::expected<void, std::error_code> Poller::remove(int fd) {
    if (::epoll_ctl(epfd_.get(), EPOLL_CTL_DEL, fd, nullptr) != 0) return std::unexpected(last_error());
    std::erase_if(wakers_, [fd](const WakerEntry& w) { return w.waker->fd() == fd; });
    return {};
}

std::expected<void, std::error_code> Poller::add_waker(std::shared_ptr<Waker> waker, std::uint64_t token) {
    if (!waker) return std::unexpected(std::make_error_code(std::errc::invalid_argument));
    if (auto r = add(waker->fd(), token, Interest::Readable); !r) return r;
    wakers_.push_back({std::move(waker), token});
    return {};
}

std::expected<std::span<const PollEvent>, std::error_code> Poller::wait(
    std::optional<std::chrono::nanoseconds> timeout) {
    epoll_event raw[kMaxEvents];
    const int n = ::epoll_wait(epfd_.get(), raw, static_cast<int>(kMaxEvents), timeout_ms(timeout));
    if (n < 0) return std::unexpected(last_error());
    for (int i = 0; i < n; ++i) {
        const std::uint32_t e = raw[i].events;
        events_[i] = PollEvent{
            .token = raw[i].data.u64,
            .readable = (e & EPOLLIN) != 0,
            .writable = (e & EPOLLOUT) != 0,
            .error = (e & EPOLLERR) != 0,
            .hangup = (e & EPOLLHUP) != 0,
        };
        // Level-triggered: an undrained eventfd would end every later wait at once.
        for (const auto& w : wakers_) {
            if (w.token == events_[i].token) w.waker->drain();
        }
    }
    return std::span<const PollEvent>(events_, static_cast<std::size_t>(n));
}

}  // namespace oculane
