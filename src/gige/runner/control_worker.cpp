#include "gige/runner/control_worker.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <fmt/format.h>

#include "thread_util/mutex.hpp"
#include "util/inet.hpp"
#include "util/log.hpp"
#include "util/os_error.hpp"
#include "util/overload.hpp"

namespace oculane::gige {

namespace {

constexpr std::uint64_t kSocketToken = 0;
constexpr std::uint64_t kWakerToken = 1;
// How long anyone waits on the socket or for a queued request at one time:
// deadlines, interrupts and callers that gave up are noticed within it.
constexpr auto kSlice = std::chrono::milliseconds(10);
constexpr std::size_t kMaxDatagram = 65535;
// The worker's receive batch. GVCP messages are at most 576 bytes on the wire;
// a longer datagram cannot be an acknowledge and is dropped unread.
constexpr std::size_t kBatchSlots = 16;
constexpr std::size_t kBatchSlotSize = 2048;
constexpr std::size_t kMaxDatagramsPerWake = 64;

using inet::to_sockaddr;

std::string endpoint_text(Endpoint ep) { return inet::format_endpoint(ep.ip, ep.port); }

}  // namespace

WaitLimit WaitLimit::within(Duration d, const std::atomic<bool>* interrupt) {
    const Instant now = Clock::now();
    WaitLimit limit;
    limit.interrupt = interrupt;
    limit.deadline = d >= Instant::max() - now ? Instant::max() : now + std::chrono::ceil<Clock::duration>(d);
    return limit;
}

WaitLimit WaitLimit::narrowed(Duration d) const {
    WaitLimit own = within(d, interrupt);
    own.deadline = std::min(own.deadline, deadline);
    return own;
}

CameraError interrupted_error() { return CameraError::io("interrupted", EINTR); }

bool is_interrupted_error(const CameraError& e) {
    const auto* io = e.get_if<camera_error::Io>();
    return io && io->os_error == EINTR;
}

ControlLink::ControlLink(UniqueFd socket, std::shared_ptr<LinkStatsRecord> stats, const WorkerConfig& config)
    : socket_(std::move(socket)),
      stats_(std::move(stats)),
      device_(config.device),
      engine_(EngineConfig{config.device.ip, config.ack_timeout, config.retries, config.heartbeat_timeout_ms},
              *stats_, *this, Clock::now()),
      buffer_(kMaxDatagram),
      batch_(kBatchSlots, kBatchSlotSize) {
    waiting_.reserve(16);
}

ControlLink::~ControlLink() = default;

// ---- EngineIo (mutex_ held) ----

CameraResult<void> ControlLink::send_to_device(std::span<const std::uint8_t> bytes) {
    return send_to(bytes, device_);
}

CameraResult<void> ControlLink::send_to(std::span<const std::uint8_t> bytes, Endpoint to) {
    const sockaddr_in addr = to_sockaddr(to);
    for (;;) {
        const ssize_t n = ::sendto(socket_.get(), bytes.data(), bytes.size(), MSG_DONTWAIT,
                                   reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        if (n >= 0) return {};
        if (errno == EINTR) continue;
        return std::unexpected(CameraError::io_errno(errno));
    }
}

void ControlLink::complete(RequestToken token, CameraResult<Reply> result) {
    auto it = find_waiting(token);
    if (it == waiting_.end()) return;
    Waiter waiter = std::move(it->second);
    waiting_.erase(it);
    if (LocalSlot** local = std::get_if<LocalSlot*>(&waiter)) {
        (*local)->result.emplace(std::move(result));
        if (queued_waiters_ > 0) done_.notify_all();
        return;
    }
    std::visit(
        [&](auto& handle) {
            if (!result) {
                handle.fail(std::move(result.error()));
                return;
            }
            using H = std::decay_t<decltype(handle)>;
            if constexpr (std::is_same_v<H, ResponseHandle<void>>) {
                handle.fulfill({});
            } else if constexpr (std::is_same_v<H, ResponseHandle<std::uint32_t>>) {
                handle.fulfill(std::get<std::uint32_t>(*result));
            } else if constexpr (std::is_same_v<H, ResponseHandle<std::vector<std::uint32_t>>>) {
                handle.fulfill(std::get<std::vector<std::uint32_t>>(std::move(*result)));
            } else {
                handle.fulfill(std::get<std::vector<std::uint8_t>>(std::move(*result)));
            }
        },
        std::get<PendingReply>(waiter));
}

bool ControlLink::abandoned(RequestToken token) const {
    const auto it = std::find_if(waiting_.begin(), waiting_.end(), [&](const auto& w) { return w.first == token; });
    if (it == waiting_.end()) return true;
    // A caller waiting in transact() gives up by itself, through abandon().
    if (std::holds_alternative<LocalSlot*>(it->second)) return false;
    // Our copy is the only one left once the caller stopped waiting.
    return std::visit([](const auto& handle) { return handle.holders() <= 1; },
                      std::get<PendingReply>(it->second));
}

void ControlLink::event(std::uint16_t command, std::span<const std::uint8_t> payload) {
    if (subscribers_.empty()) return;
    const GvcpEvent parsed = GvcpEvent::parse(command, payload);
    for (auto it = subscribers_.begin(); it != subscribers_.end();) {
        auto sent = it->events.try_send(parsed);
        if (!sent && sent.error().reason == SendError::Disconnected) {
            it = subscribers_.erase(it);
            continue;
        }
        if (!sent) {
            if (it->lost) it->lost->fetch_add(1, std::memory_order_relaxed);
            OCULANE_LOG(log::Level::Trace, log::kRunner, "event channel full, event dropped");
        }
        ++it;
    }
}

std::vector<std::pair<RequestToken, ControlLink::Waiter>>::iterator ControlLink::find_waiting(RequestToken token) {
    return std::find_if(waiting_.begin(), waiting_.end(), [&](const auto& w) { return w.first == token; });
}

// ---- callers ----

CameraResult<Reply> ControlLink::transact(Request request, const WaitLimit& limit) {
    LocalSlot slot;
    UniqueLock lock(mutex_);
    if (engine_.shut_down()) return std::unexpected(engine_.end_error());
    const RequestToken token = ++last_token_;
    // Nothing in flight and nobody listening: this thread can be the one
    // that receives, so the exchange needs no other thread at all.
    const bool direct = role_ == Role::None && engine_.idle() && subscribers_.empty();
    waiting_.emplace_back(token, &slot);
    engine_.submit(token, std::move(request));
    if (slot.result) return std::move(*slot.result);  // needed no traffic
    return direct ? transact_direct(lock, token, slot, limit) : transact_queued(lock, token, slot, limit);
}

CameraResult<Reply> ControlLink::transact_direct(UniqueLock& lock, RequestToken token,
                                                 LocalSlot& slot, const WaitLimit& limit) {
    role_ = Role::Caller;
    Instant now = Clock::now();
    engine_.tick(now);
    while (!slot.result) {
        if (limit.interrupted()) {
            engine_.abandon(token, interrupted_error());
            break;
        }
        if (now >= limit.deadline) {
            engine_.abandon(token, CameraError::ack_timeout());
            break;
        }
        lock.unlock();
        // Blocks at most one slice (the socket's receive timeout).
        Endpoint source;
        const ssize_t n = receive(0, source);
        lock.lock();
        now = Clock::now();
        if (n >= 0)
            engine_.on_datagram(std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(n)), source,
                                now);
        // Deadlines and retries, and whatever queued up behind us goes out
        // (a heartbeat that falls due with nothing else to do is the
        // worker's own business).
        if (!slot.result || !engine_.idle()) engine_.tick(now);
        // The worker ends the link at once; our request goes with it.
        if (engine_.control_lost() && !slot.result) engine_.abandon(token, CameraError::control_lost());
    }
    settle(token, slot);
    const bool wake = hand_over_if_busy();
    CameraResult<Reply> result = std::move(*slot.result);
    lock.unlock();
    if (wake) wake_worker();
    return result;
}

CameraResult<Reply> ControlLink::transact_queued(UniqueLock& lock, RequestToken token,
                                                 LocalSlot& slot, const WaitLimit& limit) {
    // Sent at once when nothing is in flight; otherwise whoever receives
    // sends it when its turn comes.
    engine_.tick(Clock::now());
    if (role_ == Role::None) {
        role_ = Role::Worker;
        lock.unlock();
        wake_worker();
        lock.lock();
    }
    ++queued_waiters_;
    while (!slot.result) {
        if (limit.interrupted()) {
            engine_.abandon(token, interrupted_error());
            continue;
        }
        const Instant now = Clock::now();
        if (now >= limit.deadline) {
            engine_.abandon(token, CameraError::ack_timeout());
            continue;
        }
        done_.wait_until(lock, std::min(limit.deadline, now + kSlice));
    }
    --queued_waiters_;
    settle(token, slot);
    return std::move(*slot.result);
}

void ControlLink::settle(RequestToken token, LocalSlot& slot) {
    // The slot lives on the caller's stack: nothing may point at it after
    // the caller returns, whatever the engine did with the token.
    if (auto it = find_waiting(token); it != waiting_.end()) waiting_.erase(it);
    if (!slot.result) slot.result.emplace(std::unexpected(CameraError::ack_timeout()));
}

bool ControlLink::hand_over_if_busy() {
    if (role_ != Role::Caller) return false;
    if (engine_.idle() && subscribers_.empty() && !engine_.control_lost()) {
        role_ = Role::None;
        return false;
    }
    // A heartbeat or another caller's request is in flight now, or control
    // was lost: the worker takes over.
    role_ = Role::Worker;
    return true;
}

void ControlLink::wake_worker() {
    if (worker_) worker_->wake();
}

void ControlLink::submit(Request request, PendingReply reply) {
    bool wake = false;
    {
        MutexLock lock(mutex_);
        if (engine_.shut_down()) {
            CameraError ended = engine_.end_error();
            std::visit([&](auto& handle) { handle.fail(ended); }, reply);
            return;
        }
        const RequestToken token = ++last_token_;
        waiting_.emplace_back(token, std::move(reply));
        engine_.submit(token, std::move(request));
        engine_.tick(Clock::now());
        if (role_ == Role::None && !engine_.idle()) {
            role_ = Role::Worker;
            wake = true;
        }
    }
    if (wake) wake_worker();
}

bool ControlLink::subscribe(Sender<GvcpEvent> events, std::shared_ptr<std::atomic<std::uint64_t>> lost) {
    {
        MutexLock lock(mutex_);
        if (engine_.shut_down()) return false;
        subscribers_.push_back(Subscriber{std::move(events), std::move(lost)});
        // Someone must listen for events from now on; only the worker can.
        if (role_ != Role::None) return true;
        role_ = Role::Worker;
    }
    wake_worker();
    return true;
}

void ControlLink::set_concatenation(bool supported) {
    MutexLock lock(mutex_);
    engine_.set_concatenation(supported);
}

bool ControlLink::request_shutdown() {
    {
        MutexLock lock(mutex_);
        if (engine_.shut_down()) return false;
        shutdown_asked_ = true;
    }
    wake_worker();
    return true;
}

bool ControlLink::ended() const {
    MutexLock lock(mutex_);
    return engine_.shut_down();
}

ssize_t ControlLink::receive(int flags, Endpoint& source) {
    for (;;) {
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        const ssize_t n = ::recvfrom(socket_.get(), buffer_.data(), buffer_.size(), flags,
                                     reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                OCULANE_LOG(log::Level::Warn, log::kRunner, "gvcp recv error: {}", os_error_text(errno));
            return -1;
        }
        if (from.sin_family != AF_INET) continue;
        source = Endpoint{inet::ip_of(from), inet::port_of(from)};
        return n;
    }
}

// ---- the worker ----

void ControlLink::run_worker(ThreadHandle self, ThreadConfig thread, Poller poller) {
    thread.apply_logged();
    worker_loop(self, poller);
    worker_end(self);
}

void ControlLink::worker_loop(const ThreadHandle& self, Poller& poller) {
    // The socket is in the poll set only while the worker receives: while
    // it sits there, every datagram also goes through the poller's wake-up
    // path, a cost a caller receiving its own acknowledge should not pay.
    bool watching = false;
    for (;;) {
        UniqueLock lock(mutex_);
        if (self.stop_requested() || shutdown_asked_ || engine_.control_lost()) return;
        engine_.tick(Clock::now());
        if (engine_.control_lost()) return;
        const bool busy = !engine_.idle() || !subscribers_.empty();
        if (role_ == Role::None && busy) role_ = Role::Worker;
        if (role_ == Role::Worker && !busy) role_ = Role::None;
        const bool listening = role_ == Role::Worker;
        // While a caller receives, the worker only keeps the heartbeat; it
        // never touches the socket then.
        const Instant due = listening ? engine_.next_deadline() : engine_.next_heartbeat();
        lock.unlock();

        if (listening != watching) {
            auto changed = listening ? poller.add(socket_.get(), kSocketToken) : poller.remove(socket_.get());
            if (!changed) {
                OCULANE_LOG(log::Level::Error, log::kRunner, "gvcp worker poll error: {}", changed.error().message());
                return;
            }
            watching = listening;
        }
        const auto until_due = std::clamp<Clock::duration>(due - Clock::now(), Clock::duration::zero(),
                                                           listening ? Clock::duration(kSlice) : std::chrono::seconds(1));
        auto ready = poller.wait(until_due);
        if (!ready) {
            if (ready.error() == std::errc::interrupted) continue;
            OCULANE_LOG(log::Level::Error, log::kRunner, "gvcp worker poll error: {}", ready.error().message());
            return;
        }
        if (!listening) continue;
        const bool readable = std::any_of(ready->begin(), ready->end(),
                                          [](const PollEvent& ev) { return ev.token == kSocketToken; });
        if (!readable) continue;
        // A bounded batch per wake: a peer sending as fast as we read must
        // not keep the loop from deadlines and the stop flag. The receives
        // never block, so the lock is held across the batch.
        MutexLock relock(mutex_);
        for (std::size_t taken = 0; taken < kMaxDatagramsPerWake && !engine_.control_lost();) {
            const auto n = batch_.receive(socket_.get());
            if (!n) {
                OCULANE_LOG(log::Level::Warn, log::kRunner, "gvcp recv error: {}", n.error().message());
                break;
            }
            const Instant now = Clock::now();
            for (std::size_t i = 0; i < *n && !engine_.control_lost(); ++i) {
                if (batch_.truncated(i)) continue;
                engine_.on_datagram(batch_.datagram(i), Endpoint{batch_.source_ip(i), batch_.source_port(i)}, now);
            }
            taken += *n;
            if (*n < batch_.capacity()) break;  // the queue is empty
        }
    }
}

void ControlLink::worker_end(const ThreadHandle& self) {
    {
        MutexLock lock(mutex_);
        // Fails everything the engine holds with ControlLost or NotConnected
        // and marks the end before the worker is seen to stop, so a later
        // caller always learns why.
        engine_.shutdown();
        subscribers_.clear();
        const CameraError error = engine_.end_error();
        for (auto& [token, waiter] : waiting_) {
            std::visit(Overload{
                           [&](LocalSlot* slot) { slot->result.emplace(std::unexpected(error)); },
                           [&](PendingReply& reply) {
                               std::visit([&](auto& handle) { handle.fail(error); }, reply);
                           },
                       },
                       waiter);
        }
        waiting_.clear();
        done_.notify_all();
    }
    self.set_worker_stopped();
}

CameraResult<SpawnedWorker> spawn_control_worker(std::shared_ptr<LinkStatsRecord> stats, WorkerConfig config) {
    // Blocking, with a receive timeout of one slice: a caller that receives
    // its own acknowledge waits in recvfrom itself; the worker reads with
    // MSG_DONTWAIT after the poller reported data.
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket) return std::unexpected(CameraError::worker_start(os_error_text(errno)));
    const timeval slice{0, static_cast<suseconds_t>(std::chrono::microseconds(kSlice).count())};
    if (::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice) != 0)
        return std::unexpected(CameraError::worker_start(os_error_text(errno)));
    const Endpoint local_request = config.local.value_or(Endpoint{0, 0});
    const sockaddr_in bind_to = to_sockaddr(local_request);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&bind_to), sizeof bind_to) != 0)
        return std::unexpected(CameraError::worker_start(
            fmt::format("bind control socket {}: {}", endpoint_text(local_request), os_error_text(errno))));
    sockaddr_in bound{};
    socklen_t bound_len = sizeof bound;
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&bound), &bound_len) != 0)
        return std::unexpected(CameraError::worker_start(os_error_text(errno)));
    const Endpoint local{inet::ip_of(bound), inet::port_of(bound)};

    // The socket joins the poll set only while the worker receives.
    auto poller = Poller::create();
    if (!poller) return std::unexpected(CameraError::worker_start(poller.error().message()));
    auto waker = Waker::create();
    if (!waker) return std::unexpected(CameraError::worker_start(waker.error().message()));
    if (auto added = poller->add_waker(*waker, kWakerToken); !added)
        return std::unexpected(CameraError::worker_start(added.error().message()));

    auto link = std::make_shared<ControlLink>(std::move(socket), std::move(stats), config);
    ThreadHandle handle = ThreadHandle::create();
    handle.set_waker(std::move(*waker));
    link->set_worker(handle.share());
    auto started = handle.start(std::string(kControlThreadName),
                                [link, thread = config.thread, poller = std::move(*poller)](ThreadHandle self) mutable {
                                    link->run_worker(std::move(self), thread, std::move(poller));
                                });
    if (!started) return std::unexpected(CameraError::worker_start(started.error().message()));
    return SpawnedWorker{std::move(handle), std::move(link), local};
}

}  // namespace oculane::gige
