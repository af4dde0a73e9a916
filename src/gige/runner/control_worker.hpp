#pragma once
// The control worker: one thread per connection that alone owns the UDP
// control socket. It feeds the TransactionEngine with requests from its
// channel, datagrams from its socket and the monotonic clock, and answers
// callers through their response handles.

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "error/camera_error.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/runner/link_stats.hpp"
#include "gige/runner/transaction_engine.hpp"
#include "handle/response_handle.hpp"
#include "thread_util/thread_config.hpp"
#include "thread_util/thread_handle.hpp"
#include "util/channel.hpp"
#include "util/duration.hpp"

namespace oculane::gige {

namespace to_worker {
struct ReadRegister {
    std::uint32_t address = 0;
    ResponseHandle<std::uint32_t> reply;
};
struct ReadRegisters {
    std::vector<std::uint32_t> addresses;
    ResponseHandle<std::vector<std::uint32_t>> reply;
};
struct WriteRegisters {
    std::vector<gvcp::RegisterWrite> pairs;
    ResponseHandle<void> reply;
};
struct ReadMemory {
    std::uint32_t address = 0;
    std::uint32_t length = 0;
    ResponseHandle<std::vector<std::uint8_t>> reply;
};
struct WriteMemory {
    std::vector<std::uint8_t> data;
    std::uint32_t address = 0;
    ResponseHandle<void> reply;
};
struct Subscribe {
    Sender<GvcpEvent> events;
};
struct Shutdown {};
}  // namespace to_worker

using ToWorker = std::variant<to_worker::ReadRegister, to_worker::ReadRegisters, to_worker::WriteRegisters,
                              to_worker::ReadMemory, to_worker::WriteMemory, to_worker::Subscribe,
                              to_worker::Shutdown>;

// Answers a request that never reached a worker.
void fail_request(ToWorker& message, const CameraError& error);

struct WorkerConfig {
    Endpoint device;                 // IPv4, host order
    std::optional<Endpoint> local;   // none: any address, any port
    Duration ack_timeout = std::chrono::milliseconds(500);
    std::uint8_t retries = 4;
    std::uint32_t heartbeat_timeout_ms = 3000;
    ThreadConfig thread;
};

struct SpawnedWorker {
    ThreadHandle handle;  // owning
    Endpoint local;       // where the control socket was bound
};

// Binds the control socket, sets up the poller and starts "oculane-gvcp".
// Failures are WorkerStart with the system's text.
CameraResult<SpawnedWorker> spawn_control_worker(Receiver<ToWorker> requests,
                                                 std::shared_ptr<LinkStatsRecord> stats,
                                                 WorkerConfig config);

}  // namespace oculane::gige
