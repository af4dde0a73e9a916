#pragma once
// The control link: the UDP control socket, the TransactionEngine and the
// bookkeeping of who waits for what, shared by the control worker thread and
// the callers (ControlPort copies).
//
// A caller that finds nothing in flight carries out its own transaction on
// its own thread: it sends the command and receives the acknowledge itself,
// so a register read costs one request/answer exchange and no thread hand-off.
// Everything else (heartbeats, requests that arrive while another is in
// flight, listening for events while someone subscribed) is the worker's,
// thread "oculane-gvcp". Exactly one party receives from the socket at a
// time: the "receiver" role below. While nobody subscribed to events and
// nothing is in flight nobody receives; a datagram that comes then (a late
// acknowledge, an event) is read by the next receiver, at the latest with
// the next heartbeat.
//
// Thread safety: every public member may be called from any thread. The
// engine, the waiting requests and the role sit behind one mutex, which is
// never held across a socket wait or a caller's wait.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "error/camera_error.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/runner/link_stats.hpp"
#include "gige/runner/transaction_engine.hpp"
#include "handle/response_handle.hpp"
#include "thread_util/mutex.hpp"
#include "thread_util/thread_config.hpp"
#include "thread_util/thread_handle.hpp"
#include "util/channel.hpp"
#include "util/duration.hpp"
#include "util/poller.hpp"
#include "util/udp_batch.hpp"
#include "util/unique_fd.hpp"

#include <netinet/in.h>
#include <sys/types.h>

namespace oculane::gige {

// How long one caller waits for one operation: an overall deadline and,
// optionally, a flag another thread sets to interrupt the wait (checked at
// least every 10 ms).
struct WaitLimit {
    Instant deadline = Instant::max();
    const std::atomic<bool>* interrupt = nullptr;

    static WaitLimit within(Duration d, const std::atomic<bool>* interrupt = nullptr);
    // The earlier of the two deadlines, the interrupt flag of either.
    WaitLimit narrowed(Duration d) const;
    bool interrupted() const { return interrupt && interrupt->load(std::memory_order_acquire); }
};

// The error an interrupted wait ends with.
CameraError interrupted_error();
bool is_interrupted_error(const CameraError& e);

struct WorkerConfig {
    Endpoint device;                 // IPv4, host order
    std::optional<Endpoint> local;   // none: any address, any port
    Duration ack_timeout = std::chrono::milliseconds(500);
    std::uint8_t retries = 4;
    std::uint32_t heartbeat_timeout_ms = 3000;
    ThreadConfig thread;
};

class ControlLink;

struct SpawnedWorker {
    ThreadHandle handle;                // owning
    std::shared_ptr<ControlLink> link;  // shared with the worker thread
    Endpoint local;                     // where the control socket was bound
};

// Binds the control socket and starts "oculane-gvcp". Failures are
// WorkerStart with the system's text.
CameraResult<SpawnedWorker> spawn_control_worker(std::shared_ptr<LinkStatsRecord> stats, WorkerConfig config);

class ControlLink final : private EngineIo {
public:
    using PendingReply = std::variant<ResponseHandle<std::uint32_t>, ResponseHandle<std::vector<std::uint32_t>>,
                                      ResponseHandle<void>, ResponseHandle<std::vector<std::uint8_t>>>;

    ControlLink(UniqueFd socket, std::shared_ptr<LinkStatsRecord> stats, const WorkerConfig& config);
    ~ControlLink() override;

    // Carries out `request` and waits for its end, at most until `limit`
    // (AckTimeout when the deadline passes, interrupted_error() when the flag
    // is set). On the calling thread when nothing else is in flight; else the
    // request waits its turn.
    CameraResult<Reply> transact(Request request, const WaitLimit& limit);
    // Queues `request`; its result goes to `reply`. Never waits.
    void submit(Request request, PendingReply reply);
    // False when the link has ended. `lost`, when given, counts the events
    // this subscriber lost to a full channel.
    bool subscribe(Sender<GvcpEvent> events, std::shared_ptr<std::atomic<std::uint64_t>> lost = nullptr);
    void set_concatenation(bool supported);
    // Asks the worker to end in order (fail what is outstanding, give
    // control back). False when it has ended already.
    bool request_shutdown();
    bool ended() const;
    const std::shared_ptr<LinkStatsRecord>& stats() const { return stats_; }

    // The worker thread's body; `poller` holds the waker (the socket is
    // added while the worker receives).
    void run_worker(ThreadHandle self, ThreadConfig thread, Poller poller);
    // Before the link is shared: the handle used to wake the worker.
    void set_worker(ThreadHandle worker) { worker_.emplace(std::move(worker)); }

private:
    enum class Role : std::uint8_t { None, Worker, Caller };
    struct LocalSlot {
        std::optional<CameraResult<Reply>> result;
    };
    using Waiter = std::variant<PendingReply, LocalSlot*>;

    // EngineIo, always called with mutex_ held: the engine calls them
    // through its interface, where the analysis does not follow.
    CameraResult<void> send_to_device(std::span<const std::uint8_t> bytes) override OCULANE_REQUIRES(mutex_);
    CameraResult<void> send_to(std::span<const std::uint8_t> bytes, Endpoint to) override OCULANE_REQUIRES(mutex_);
    void complete(RequestToken token, CameraResult<Reply> result) override OCULANE_REQUIRES(mutex_);
    void event(std::uint16_t command, std::span<const std::uint8_t> payload) override OCULANE_REQUIRES(mutex_);
    bool abandoned(RequestToken token) const override OCULANE_REQUIRES(mutex_);

    // Called with `lock` (on mutex_) held; transact_direct lets it go
    // before it returns. Both let the caller's lock go and take it again
    // (to receive, to wake the worker): the analysis cannot follow a lock
    // passed in by reference, so their bodies are outside it (callers are
    // checked) and this rule is kept by review.
    CameraResult<Reply> transact_direct(UniqueLock& lock, RequestToken token, LocalSlot& slot,
                                        const WaitLimit& limit) OCULANE_REQUIRES(mutex_)
        OCULANE_NO_THREAD_SAFETY_ANALYSIS;
    CameraResult<Reply> transact_queued(UniqueLock& lock, RequestToken token, LocalSlot& slot,
                                        const WaitLimit& limit) OCULANE_REQUIRES(mutex_)
        OCULANE_NO_THREAD_SAFETY_ANALYSIS;
    // After a tick or a submit by a caller: someone must receive while
    // anything is in flight. True when the worker must be woken.
    bool hand_over_if_busy() OCULANE_REQUIRES(mutex_);
    void settle(RequestToken token, LocalSlot& slot) OCULANE_REQUIRES(mutex_);
    std::vector<std::pair<RequestToken, Waiter>>::iterator find_waiting(RequestToken token)
        OCULANE_REQUIRES(mutex_);
    void wake_worker();
    // One datagram from the socket into buffer_ (the receiver role is
    // needed); its length, or -1 when none came. A caller waiting for its own
    // acknowledge blocks here for one datagram at a time; the worker, which
    // drains what the poller reported, receives in batches.
    ssize_t receive(int flags, Endpoint& source);
    void worker_loop(const ThreadHandle& self, Poller& poller);
    void worker_end(const ThreadHandle& self);

    UniqueFd socket_;
    std::shared_ptr<LinkStatsRecord> stats_;
    Endpoint device_;

    mutable Mutex mutex_;
    CondVar done_;  // a queued caller's request finished
    TransactionEngine engine_ OCULANE_GUARDED_BY(mutex_);
    // Few at a time (one per waiting caller): a vector that keeps its
    // capacity costs no allocation per request.
    std::vector<std::pair<RequestToken, Waiter>> waiting_ OCULANE_GUARDED_BY(mutex_);
    RequestToken last_token_ OCULANE_GUARDED_BY(mutex_) = 0;
    struct Subscriber {
        Sender<GvcpEvent> events;
        std::shared_ptr<std::atomic<std::uint64_t>> lost;  // may be null
    };
    std::vector<Subscriber> subscribers_ OCULANE_GUARDED_BY(mutex_);
    Role role_ OCULANE_GUARDED_BY(mutex_) = Role::None;
    bool shutdown_asked_ OCULANE_GUARDED_BY(mutex_) = false;
    std::size_t queued_waiters_ OCULANE_GUARDED_BY(mutex_) = 0;
    // Non-owning, for wakes; set before the link is shared, constant after.
    std::optional<ThreadHandle> worker_;
    // Only the party holding the receiver role touches them (the batch: only
    // the worker). A role handed between threads under mutex_ is beyond
    // the analysis: this rule is checked by review only.
    std::vector<std::uint8_t> buffer_;
    UdpBatch batch_;
};

}  // namespace oculane::gige
