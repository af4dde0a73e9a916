#pragma once
// The caller side of an open stream: StreamConfig (what to open), FrameChannel
// (one subscriber's queue of finished frames) and StreamChannel (the owning
// handle of the stream worker and of the channel on the camera).
//
// Thread safety: every member of FrameChannel and StreamChannel may be called
// from any thread. Nothing here takes the camera-state lock; a StreamChannel
// talks to its worker only through its control channel, its waker and the
// shared counters.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "gige/ip_address.hpp"
#include "gige/runner/transaction_engine.hpp"
#include "gige/stream/stream_defaults.hpp"
#include "thread_util/mutex.hpp"
#include "thread_util/thread_config.hpp"
#include "thread_util/thread_handle.hpp"
#include "util/channel.hpp"
#include "util/duration.hpp"

namespace oculane {

class Frame;
using Instant = std::chrono::steady_clock::time_point;
// Shared and immutable once published; the pooled buffer goes home with the
// last reference, from any thread.
using FramePtr = std::shared_ptr<const Frame>;
struct StreamStats;
class StreamStatsRecord;

// Where a stream's frame buffers are, as the worker last published it.
struct PoolUse {
    std::size_t buffers = 0;  // n_buffers
    // In frames already handed out and not yet released: queued for a
    // subscriber or kept by the application. When these are all the
    // buffers, new frames are lost as underruns.
    std::size_t held = 0;
};

// Where the stream socket binds when the caller chooses it. Port 0 lets the
// system pick one.
struct StreamDestination {
    gige::IpAddress ip;
    std::uint16_t port = 0;
};

// Where the stream worker takes the camera's datagrams from: the UDP socket,
// or a packet-socket ring (needs CAP_NET_RAW; far fewer wake-ups and system
// calls per frame). Auto takes the ring when the process may open one for
// the stream's interface and packet size, else the socket.
enum class ReceivePath : std::uint8_t { Auto, Socket, Ring };

struct StreamConfig {
    // Bytes per frame, normally filled from the PayloadSize feature; absent
    // or 0 refuses to open.
    std::optional<std::uint64_t> payload_size;
    ThreadConfig thread;                         // of the stream worker
    std::optional<std::uint32_t> packet_delay;   // written only when given
    Duration resend_delay = stream_defaults::kResendDelay;
    Duration resend_interval = stream_defaults::kResendInterval;
    Duration frame_timeout = stream_defaults::kFrameTimeout;
    // None: the local address that routes to the camera, any port.
    std::optional<StreamDestination> destination;
    std::size_t n_buffers = stream_defaults::kBuffers;
    // Frames close in block order, so a frame waiting for a resend keeps the
    // frames completed behind it, each in its buffer. With this set the pool
    // has buffers beyond n_buffers for them, enough for the resend timing at
    // the 10 GigE line rate (see stream_pool_size); without it, n_buffers.
    bool resend_reserve = false;
    double resend_ratio = stream_defaults::kResendRatio;
    std::size_t receive_buffer = 0;              // bytes; 0 sizes it from the payload
    std::optional<std::uint16_t> packet_size;    // none: found by the fire test
    std::uint16_t channel = 0;
    bool resend = true;
    ReceivePath receive_path = ReceivePath::Auto;
};

// What a StreamChannel tells its worker.
namespace to_stream_worker {
struct Subscribe {
    Sender<FramePtr> frames;
};
// The camera was just told to start: a stream that then stays silent for a
// second gets one warning.
struct AcquisitionStarted {};
struct Stop {};
}  // namespace to_stream_worker
using ToStreamWorker =
    std::variant<to_stream_worker::Subscribe, to_stream_worker::AcquisitionStarted, to_stream_worker::Stop>;

// Why a stream's worker ended, shared by the worker and every queue of the
// stream: set before the worker lets go of the queues, so that a consumer who
// finds its queue disconnected can tell a lost camera from a normal stop.
struct StreamEnd {
    std::atomic<bool> control_lost{false};
};

// The consumer end of one subscriber queue. Copies share the queue (each
// frame goes to one of them). A default-constructed channel is disconnected.
class FrameChannel {
public:
    using Clock = std::chrono::steady_clock;

    FrameChannel() = default;
    explicit FrameChannel(Receiver<FramePtr> frames, std::shared_ptr<const StreamEnd> end = nullptr)
        : frames_(std::move(frames)), end_(std::move(end)) {}

    // Never waits; nothing when the queue is empty (or disconnected).
    std::optional<FramePtr> try_recv();
    // Never waits: the newest queued frame, letting go of every older one
    // (their buffers go home at once); nothing when the queue is empty.
    std::optional<FramePtr> try_recv_newest();
    // Waits until a frame arrives, the deadline passes (RecvError::Timeout) or
    // the queue is empty with the worker gone (RecvError::Disconnected). No
    // deadline waits without limit. Frames still queued after the worker
    // stopped are returned before disconnection is reported.
    std::expected<FramePtr, RecvError> recv_until(std::optional<Clock::time_point> deadline);
    // recv_until(now + timeout); a timeout too large for the clock waits
    // without limit.
    std::expected<FramePtr, RecvError> recv_timeout(Duration timeout);
    // Every frame queued now, oldest first, possibly none; never waits.
    std::vector<FramePtr> recv_all();
    // Drops every frame queued now; never waits.
    void clear();
    // The worker let go of this queue and nothing is left in it.
    bool is_disconnected() const { return frames_.senders_gone() && frames_.empty(); }
    // The stream ended because control of the camera was lost: a wait that
    // finds the queue disconnected reports that rather than a normal end.
    bool control_lost() const { return end_ && end_->control_lost.load(std::memory_order_acquire); }
    std::size_t size() const { return frames_.size(); }
    // Readable whenever a frame was queued or the worker let go of the
    // queue since it was last read (an eventfd owned by the queue; -1 when
    // the system refuses one). For event loops.
    int notify_fd() { return frames_.notify_fd(); }

private:
    Receiver<FramePtr> frames_;
    std::shared_ptr<const StreamEnd> end_;
};

// The owning handle of one open stream. Releasing it (or close()) writes 0 to
// the channel's port register on the camera (acknowledged or not), sends the
// stop message, wakes and joins the worker. Frames already handed out stay
// valid; queues report disconnection once drained.
class StreamChannel {
public:
    // Writes 0 to the channel's port register and waits for the answer, at
    // most its transaction wait and never past `deadline`; the outcome is
    // ignored. Given by stream setup, which owns the control port.
    using CameraCloser = std::move_only_function<void(Instant deadline)>;

    // For stream setup: the running worker and everything close needs.
    // `end` is the record the worker fills when it ends (shared with every
    // subscription); none gives the channel one of its own.
    StreamChannel(gige::Endpoint local, std::uint16_t channel, std::uint16_t packet_size,
                  Sender<ToStreamWorker> control, std::shared_ptr<StreamStatsRecord> stats, ThreadHandle worker,
                  CameraCloser close_on_camera, std::shared_ptr<StreamEnd> end = nullptr);
    ~StreamChannel();
    StreamChannel(const StreamChannel&) = delete;
    StreamChannel& operator=(const StreamChannel&) = delete;

    // A new queue of `capacity` frames that receives every frame closed after
    // the worker picks it up (at once: the worker is woken). Capacity 0 is
    // taken as 1. After the stream stopped the queue is empty and
    // disconnected. Overflow::DropOldest keeps the newest frames: a full
    // queue lets go of its oldest one (counted in frames_dropped).
    FrameChannel subscribe(std::size_t capacity, Overflow overflow = Overflow::Refuse);

    // Call right after the camera was told to start acquiring. If no
    // datagram then arrives within a second, the worker logs one warning
    // (at most once per stream) naming the usual causes.
    void acquisition_started();

    // The socket's receive buffer in bytes, as stream setup asked for it and
    // as the kernel granted it; set once by stream setup, for logs.
    struct ReceiveBufferSize {
        std::size_t asked = 0;
        std::size_t granted = 0;
    };
    void set_receive_buffer_size(ReceiveBufferSize size) { receive_buffer_ = size; }
    ReceiveBufferSize receive_buffer_size() const { return receive_buffer_; }

    // The path the worker receives on (Socket or Ring, never Auto) and, on
    // the ring, its size in bytes; set once by stream setup.
    void set_receive_path(ReceivePath path, std::size_t ring_bytes) {
        receive_path_ = path;
        ring_bytes_ = ring_bytes;
    }
    ReceivePath receive_path() const { return receive_path_; }
    std::size_t ring_bytes() const { return ring_bytes_; }

    // A copy of the counters, taken under their lock.
    StreamStats stats() const;
    PoolUse pool_use() const;
    gige::Endpoint local_address() const { return local_; }
    std::uint16_t packet_size() const { return packet_size_; }
    std::uint16_t channel() const { return channel_; }
    bool worker_running() const { return worker_.worker_running(); }
    bool is_closed() const;
    // The worker ended because control of the camera was lost.
    bool control_lost() const { return end_->control_lost.load(std::memory_order_acquire); }

    // Idempotent; never fails. Concurrent callers return once the first one
    // finished closing. The camera is told no later than `deadline` (a
    // cleanup path that must not wait for a camera that may be gone).
    void close(Instant deadline = Instant::max());

private:
    const gige::Endpoint local_;
    const std::uint16_t channel_;
    const std::uint16_t packet_size_;
    mutable Mutex close_mutex_;
    Sender<ToStreamWorker> control_;        // sending locks the channel itself
    std::shared_ptr<StreamStatsRecord> stats_;
    std::shared_ptr<StreamEnd> end_;        // filled by the worker
    ThreadHandle worker_;                   // owning; joined by close()
    CameraCloser close_on_camera_ OCULANE_GUARDED_BY(close_mutex_);
    bool closed_ OCULANE_GUARDED_BY(close_mutex_) = false;
    ReceiveBufferSize receive_buffer_;      // constant once handed out
    ReceivePath receive_path_ = ReceivePath::Socket;  // likewise
    std::size_t ring_bytes_ = 0;
};

}  // namespace oculane
