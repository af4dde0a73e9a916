#pragma once
// Readiness waiting for worker threads: an epoll set holding the worker's
// sockets plus a Waker, so that a new request or a stop request ends the wait
// at once instead of at the next timeout.
//
// Thread safety: a Poller belongs to one thread (its worker). A Waker may be
// woken from any thread, and from a signal handler.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <system_error>
#include <vector>

#include "util/unique_fd.hpp"

namespace oculane {

// An eventfd used as a level-triggered "something to do" flag.
class Waker {
public:
    static std::expected<std::shared_ptr<Waker>, std::error_code> create();

    // One write(2) and nothing else, so it is async-signal-safe and never
    // blocks. A saturated counter means a wake is already pending, which is
    // all a wake is meant to achieve, so that counts as success.
    std::expected<void, std::error_code> wake() const noexcept;

    // Clears pending wakes. A Poller does this itself for its registered
    // wakers; call it only when waiting on the descriptor by other means.
    void drain() const noexcept;

    int fd() const { return fd_.get(); }

private:
    explicit Waker(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

enum class Interest : std::uint8_t { Readable, Writable, ReadWrite };

struct PollEvent {
    std::uint64_t token = 0;
    bool readable = false;
    bool writable = false;
    bool error = false;   // EPOLLERR: a pending socket error (read it with recv)
    bool hangup = false;  // EPOLLHUP
};

class Poller {
public:
    // The most events one wait reports; more ready descriptors are reported by
    // the next wait (level-triggered, so nothing is lost).
    static constexpr std::size_t kMaxEvents = 16;

    static std::expected<Poller, std::error_code> create();

    Poller(Poller&&) noexcept = default;
    Poller& operator=(Poller&&) noexcept = default;

    // The descriptor stays owned by the caller and must be removed (or simply
    // closed) before it is reused; closing it removes it from the set.
    std::expected<void, std::error_code> add(int fd, std::uint64_t token, Interest interest = Interest::Readable);
    std::expected<void, std::error_code> remove(int fd);

    // The poller keeps the waker alive and drains it whenever it reports its
    // token, so one wake ends exactly one wait and a drained waker never makes
    // the next wait return early.
    std::expected<void, std::error_code> add_waker(std::shared_ptr<Waker> waker, std::uint64_t token);

    // Waits until at least one registered descriptor is ready or the timeout
    // passes (an empty span). nullopt waits without limit. Timeouts are rounded
    // up to whole milliseconds so a short positive timeout never busy-loops. An
    // interrupted wait fails with std::errc::interrupted; callers retry. The
    // span stays valid until the next wait.
    std::expected<std::span<const PollEvent>, std::error_code> wait(
        std::optional<std::chrono::nanoseconds> timeout);

    int fd() const { return epfd_.get(); }

private:
    explicit Poller(UniqueFd epfd) : epfd_(std::move(epfd)) {}

    struct WakerEntry {
        std::shared_ptr<Waker> waker;
        std::uint64_t token;
    };

    UniqueFd epfd_;
    std::vector<WakerEntry> wakers_;
    PollEvent events_[kMaxEvents];
};

}  // namespace oculane
