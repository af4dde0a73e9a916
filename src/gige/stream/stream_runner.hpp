#pragma once
// The stream worker: one thread per open stream channel ("oculane-gvsp<N>")
// that alone owns the stream socket. It receives datagrams in batches, feeds
// them to the FrameAssembler with the time they arrived, ticks it when the
// poll times out, hands closed frames to every subscriber and publishes the
// counters. Every stream decision lives in the assembler; this file only
// owns the socket, the poller, the clocks and the subscribers.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "error/camera_error.hpp"
#include "gige/runner/transaction_engine.hpp"
#include "gige/stream/stream_channel.hpp"
#include "gige/stream/stream_stats.hpp"
#include "thread_util/mutex.hpp"
#include "thread_util/thread_handle.hpp"
#include "util/channel.hpp"
#include "util/packet_ring.hpp"
#include "util/unique_fd.hpp"

namespace oculane {

// The counters readers copy. The worker publishes its private copy after
// every loop iteration and every closed frame; the lock is held only for
// the copy.
class StreamStatsRecord {
public:
    void publish(const StreamStats& stats, const PoolUse& pool = {}) {
        MutexLock lock(m_);
        stats_ = stats;
        pool_ = pool;
    }
    StreamStats snapshot() const {
        MutexLock lock(m_);
        return stats_;
    }
    PoolUse pool_use() const {
        MutexLock lock(m_);
        return pool_;
    }

private:
    mutable Mutex m_;
    StreamStats stats_ OCULANE_GUARDED_BY(m_);
    PoolUse pool_ OCULANE_GUARDED_BY(m_);
};

// What stream setup learned, passed to the worker.
struct StreamWorkerParams {
    gige::Endpoint camera;        // control address: source filter (IP only) and resend destination
    gige::Endpoint local;         // the stream socket's address, for log lines
    std::uint64_t payload_size = 0;
    std::uint64_t tick_frequency = 0;
    std::uint16_t packet_size = 0;
    bool resend_enabled = false;
    // Set by the camera's control worker when control is lost; the worker
    // then ends (within one poll), recording why in `end`. Either may be
    // absent (tests).
    std::shared_ptr<const std::atomic<bool>> control_lost;
    std::shared_ptr<StreamEnd> end;
};

// The stream's pool: n_buffers, plus, with resend_reserve, the frames a
// 10 GigE link delivers while a frame waits for its first resend request
// and one more (resend_delay + 2 x resend_interval), from 1 to 64 buffers.
std::size_t stream_pool_size(const StreamConfig& config, std::uint64_t payload_size);

// Prepares the worker (non-blocking socket, drop counter, poller with the
// socket as token 0 and a waker as token 1, the frame pool) and starts
// "oculane-gvsp<channel>". The returned handle owns the thread and carries
// the waker. Failures are I/O errors; the socket is closed with them. With
// an open `ring` the datagrams come from it instead (polled as token 0) and
// the socket only sends resend requests.
CameraResult<ThreadHandle> spawn_stream_worker(UniqueFd socket, const StreamWorkerParams& params,
                                               const StreamConfig& config, Receiver<ToStreamWorker> control,
                                               std::shared_ptr<StreamStatsRecord> stats, PacketRing ring = {});

}  // namespace oculane
