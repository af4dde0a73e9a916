#include "gige/runner/control_worker.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <unordered_map>

#include <fmt/format.h>

#include "util/inet.hpp"
#include "util/log.hpp"
#include "util/os_error.hpp"
#include "util/overload.hpp"
#include "util/poller.hpp"
#include "util/unique_fd.hpp"

namespace oculane::gige {

namespace {

constexpr std::uint64_t kSocketToken = 0;
constexpr std::uint64_t kWakerToken = 1;
constexpr auto kPollTimeout = std::chrono::milliseconds(10);
constexpr std::size_t kMaxDatagram = 65535;
constexpr std::size_t kMaxDatagramsPerWake = 64;

using inet::to_sockaddr;

std::string endpoint_text(Endpoint ep) { return inet::format_endpoint(ep.ip, ep.port); }

using PendingReply = std::variant<ResponseHandle<std::uint32_t>, ResponseHandle<std::vector<std::uint32_t>>,
                                  ResponseHandle<void>, ResponseHandle<std::vector<std::uint8_t>>>;

// Everything the worker thread owns; lives on that thread only.
class Runner final : public EngineIo {
public:
    Runner(UniqueFd socket, Poller poller, Receiver<ToWorker> requests,
           std::shared_ptr<LinkStatsRecord> stats, WorkerConfig config, ThreadHandle self)
        : socket_(std::move(socket)),
          poller_(std::move(poller)),
          requests_(std::move(requests)),
          stats_(std::move(stats)),
          config_(config),
          self_(std::move(self)),
          device_(to_sockaddr(config.device)),
          engine_(EngineConfig{config.device.ip, config.ack_timeout, config.retries,
                               config.heartbeat_timeout_ms},
                  *stats_, *this, Clock::now()),
          buffer_(kMaxDatagram) {}

    void run() {
        config_.thread.apply_logged();
        loop();
        shutdown();
    }

    CameraResult<void> send_to_device(std::span<const std::uint8_t> bytes) override {
        return send(bytes, device_);
    }
    CameraResult<void> send_to(std::span<const std::uint8_t> bytes, Endpoint to) override {
        return send(bytes, to_sockaddr(to));
    }

    void complete(RequestToken token, CameraResult<Reply> result) override {
        auto it = pending_.find(token);
        if (it == pending_.end()) return;
        PendingReply reply = std::move(it->second);
        pending_.erase(it);
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
            reply);
    }

    bool abandoned(RequestToken token) const override {
        const auto it = pending_.find(token);
        if (it == pending_.end()) return true;
        // Our copy is the only one left once the caller stopped waiting.
        return std::visit([](const auto& handle) { return handle.holders() <= 1; }, it->second);
    }

    void event(std::uint16_t command, std::span<const std::uint8_t> payload) override {
        if (subscribers_.empty()) return;
        const GvcpEvent parsed = GvcpEvent::parse(command, payload);
        for (auto it = subscribers_.begin(); it != subscribers_.end();) {
            auto sent = it->try_send(parsed);
            if (!sent && sent.error().reason == SendError::Disconnected) {
                it = subscribers_.erase(it);
                continue;
            }
            if (!sent) OCULANE_LOG(log::Level::Trace, log::kRunner, "event channel full, event dropped");
            ++it;
        }
    }

private:
    CameraResult<void> send(std::span<const std::uint8_t> bytes, const sockaddr_in& to) {
        for (;;) {
            const ssize_t n = ::sendto(socket_.get(), bytes.data(), bytes.size(), 0,
                                       reinterpret_cast<const sockaddr*>(&to), sizeof to);
            if (n >= 0) return {};
            if (errno == EINTR) continue;
            return std::unexpected(CameraError::io_errno(errno));
        }
    }

    void loop() {
        for (;;) {
            if (self_.stop_requested() || engine_.control_lost()) return;
            // The slice bound keeps callers that gave up noticed soon; within
            // it, the wait ends exactly when the engine next has work to do.
            const auto until_due = engine_.next_deadline() - Clock::now();
            auto ready = poller_.wait(std::clamp<Clock::duration>(until_due, Clock::duration::zero(),
                                                                  kPollTimeout));
            if (!ready) {
                if (ready.error() == std::errc::interrupted) continue;
                OCULANE_LOG(log::Level::Error, log::kRunner, "gvcp worker poll error: {}",
                            ready.error().message());
                return;
            }
            for (const PollEvent& ev : *ready)
                if (ev.token == kSocketToken) drain_socket();
            if (engine_.control_lost()) return;
            if (!take_requests()) return;
            engine_.tick(Clock::now());
        }
    }

    void drain_socket() {
        // A bounded batch per wake: a peer sending as fast as we read must not
        // keep the loop from requests, deadlines and the stop flag. The socket
        // is level-triggered, so what is left is reported by the next wait.
        for (std::size_t i = 0; i < kMaxDatagramsPerWake; ++i) {
            sockaddr_in from{};
            socklen_t from_len = sizeof from;
            const ssize_t n = ::recvfrom(socket_.get(), buffer_.data(), buffer_.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &from_len);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    OCULANE_LOG(log::Level::Warn, log::kRunner, "gvcp recv error: {}", os_error_text(errno));
                return;
            }
            if (from.sin_family != AF_INET) continue;
            const Endpoint source{inet::ip_of(from), inet::port_of(from)};
            engine_.on_datagram(std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(n)),
                                source, Clock::now());
        }
    }

    // False when a shutdown message was taken.
    bool take_requests() {
        for (;;) {
            auto message = requests_.try_recv();
            if (!message) return true;
            bool keep_going = true;
            std::visit(Overload{
                           [&](to_worker::ReadRegister& r) {
                               queue(r.reply, request::ReadRegister{r.address});
                           },
                           [&](to_worker::ReadRegisters& r) {
                               queue(r.reply, request::ReadRegisters{std::move(r.addresses)});
                           },
                           [&](to_worker::WriteRegisters& r) {
                               queue(r.reply, request::WriteRegisters{std::move(r.pairs)});
                           },
                           [&](to_worker::ReadMemory& r) {
                               queue(r.reply, request::ReadMemory{r.address, r.length});
                           },
                           [&](to_worker::WriteMemory& r) {
                               queue(r.reply, request::WriteMemory{r.address, std::move(r.data)});
                           },
                           [&](to_worker::Subscribe& s) { subscribers_.push_back(std::move(s.events)); },
                           [&](to_worker::Shutdown&) { keep_going = false; },
                       },
                       *message);
            if (!keep_going) return false;
        }
    }

    template <class Handle>
    void queue(const Handle& reply, Request request) {
        const RequestToken token = ++last_token_;
        pending_.emplace(token, reply);
        engine_.submit(token, std::move(request));
    }

    void shutdown() {
        engine_.shutdown();
        const CameraError error =
            engine_.control_lost() ? CameraError::control_lost() : CameraError::not_connected();
        subscribers_.clear();
        self_.set_worker_stopped();
        // Requests that raced the stop: their senders saw the worker running.
        while (auto message = requests_.try_recv()) fail_request(*message, error);
        // The engine answered every token it knew; nothing may be left waiting.
        for (auto& [token, reply] : pending_)
            std::visit([&](auto& handle) { handle.fail(error); }, reply);
        pending_.clear();
    }

    UniqueFd socket_;
    Poller poller_;
    Receiver<ToWorker> requests_;
    std::shared_ptr<LinkStatsRecord> stats_;
    WorkerConfig config_;
    ThreadHandle self_;
    sockaddr_in device_;
    TransactionEngine engine_;
    std::vector<std::uint8_t> buffer_;
    std::unordered_map<RequestToken, PendingReply> pending_;
    RequestToken last_token_ = 0;
    std::vector<Sender<GvcpEvent>> subscribers_;
};

}  // namespace

void fail_request(ToWorker& message, const CameraError& error) {
    std::visit(Overload{
                   [&](to_worker::Subscribe&) {},
                   [&](to_worker::Shutdown&) {},
                   [&](auto& request) { request.reply.fail(error); },
               },
               message);
}

CameraResult<SpawnedWorker> spawn_control_worker(Receiver<ToWorker> requests,
                                                 std::shared_ptr<LinkStatsRecord> stats,
                                                 WorkerConfig config) {
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket) return std::unexpected(CameraError::worker_start(os_error_text(errno)));
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

    auto poller = Poller::create();
    if (!poller) return std::unexpected(CameraError::worker_start(poller.error().message()));
    if (auto added = poller->add(socket.get(), kSocketToken); !added)
        return std::unexpected(CameraError::worker_start(added.error().message()));
    auto waker = Waker::create();
    if (!waker) return std::unexpected(CameraError::worker_start(waker.error().message()));
    if (auto added = poller->add_waker(*waker, kWakerToken); !added)
        return std::unexpected(CameraError::worker_start(added.error().message()));

    ThreadHandle handle = ThreadHandle::create();
    handle.set_waker(std::move(*waker));
    auto started = handle.start(
        std::string(kControlThreadName),
        [socket = std::move(socket), poller = std::move(*poller), requests = std::move(requests),
         stats = std::move(stats), config](ThreadHandle self) mutable {
            Runner runner(std::move(socket), std::move(poller), std::move(requests), std::move(stats),
                          config, std::move(self));
            runner.run();
        });
    if (!started) return std::unexpected(CameraError::worker_start(started.error().message()));
    return SpawnedWorker{std::move(handle), local};
}

}  // namespace oculane::gige
