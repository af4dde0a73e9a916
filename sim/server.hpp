#pragma once
// Puts a Device on UDP: one socket bound to (device IP, port) for everything,
// and, only when asked, a wildcard socket on the same port that answers
// discovery broadcasts (those never reach a socket bound to one address).
// Use the wildcard option only inside a network namespace of its own.
//
// One worker thread ("oculane-sim") owns the sockets. It waits on a Poller
// holding the sockets and a Waker, so stop() and send() end its wait at once;
// acknowledges that a fault delays wait in a schedule ordered by due time
// (bounded: beyond its limit they are lost, as on a congested network). The destructor stops and joins the thread and closes every descriptor.

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/device.hpp"
#include "sim/stream_sender.hpp"
#include "thread_util/mutex.hpp"
#include "thread_util/thread_handle.hpp"
#include "util/poller.hpp"
#include "util/udp_batch.hpp"
#include "util/unique_fd.hpp"

namespace oculane::sim {

struct ServerOptions {
    std::uint32_t ip = 0x7F000002;
    std::uint16_t port = 3956;
    bool discovery = false;  // also answer broadcasts (wildcard socket)
    // The stream sender sends one datagram per GVSP packet unless asked to
    // hand the kernel runs of them to segment (UDP GSO): loopback delivers
    // such runs unsplit to packet-capturing receivers, so only benchmarks,
    // whose receiver splits them, ask for it.
    bool gso = false;
    std::uint16_t stream_port = 0;  // source port of the stream; 0: one the kernel picks
};

class Server {
public:
    // Binds and starts the worker; an error text names what failed
    // ("bind 127.0.0.2:3956: Address already in use").
    static std::expected<std::unique_ptr<Server>, std::string> start(std::shared_ptr<Device> device,
                                                                     ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Stops and joins the worker; idempotent. Datagrams still scheduled are dropped.
    void stop();
    bool running() const;

    // Sends a datagram from the device's address (any thread).
    void send(Outgoing datagram);

    const std::shared_ptr<Device>& device() const { return device_; }
    Endpoint local() const { return local_; }

private:
    Server(std::shared_ptr<Device> device, ServerOptions options);
    void run(const ThreadHandle& self);
    void drain(int fd, bool via_broadcast);
    void handle(std::span<const std::uint8_t> datagram, Endpoint peer, bool via_broadcast);
    void transmit(const Outgoing& o);

    std::shared_ptr<Device> device_;
    ServerOptions options_;
    Endpoint local_;
    UniqueFd sock_;
    UniqueFd bsock_;  // wildcard discovery socket, when asked for
    std::shared_ptr<Waker> waker_;
    std::optional<Poller> poller_;  // used by the worker only once started

    Mutex queue_mu_;
    std::vector<Outgoing> queued_ OCULANE_GUARDED_BY(queue_mu_);  // handed over by send()
    // Worker only: datagrams waiting for their due time, in due order.
    struct Scheduled {
        Clock::time_point due;
        Outgoing datagram;
    };
    std::vector<Scheduled> schedule_;
    UdpBatch batch_;  // worker only
    std::unique_ptr<StreamSender> sender_;  // the GVSP side, a thread of its own

    ThreadHandle thread_ = ThreadHandle::create();
};

}  // namespace oculane::sim
