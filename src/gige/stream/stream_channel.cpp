#include "gige/stream/stream_channel.hpp"

#include "gige/stream/frame.hpp"
#include "gige/stream/stream_runner.hpp"
#include "gige/stream/stream_stats.hpp"
#include "thread_util/mutex.hpp"

namespace oculane {

// ---- FrameChannel ------------------------------------------------------------

std::optional<FramePtr> FrameChannel::try_recv() {
    auto frame = frames_.try_recv();
    if (!frame) return std::nullopt;
    return std::move(*frame);
}

std::optional<FramePtr> FrameChannel::try_recv_newest() {
    auto newest = try_recv();
    if (!newest) return newest;
    // One at a time, so each older frame is let go of outside the queue's lock.
    while (auto next = try_recv()) newest = std::move(next);
    return newest;
}

std::expected<FramePtr, RecvError> FrameChannel::recv_until(std::optional<Clock::time_point> deadline) {
    if (!deadline) return frames_.recv();
    return frames_.recv_deadline(*deadline);
}

std::expected<FramePtr, RecvError> FrameChannel::recv_timeout(Duration timeout) {
    return frames_.recv_timeout(timeout);
}

std::vector<FramePtr> FrameChannel::recv_all() { return frames_.try_recv_all(); }

void FrameChannel::clear() {
    // Dropping them here returns their buffers unless someone else holds them.
    (void)frames_.try_recv_all();
}

// ---- StreamChannel -----------------------------------------------------------

StreamChannel::StreamChannel(gige::Endpoint local, std::uint16_t channel, std::uint16_t packet_size,
                             Sender<ToStreamWorker> control, std::shared_ptr<StreamStatsRecord> stats,
                             ThreadHandle worker, CameraCloser close_on_camera, std::shared_ptr<StreamEnd> end)
    : local_(local),
      channel_(channel),
      packet_size_(packet_size),
      control_(std::move(control)),
      stats_(std::move(stats)),
      end_(end ? std::move(end) : std::make_shared<StreamEnd>()),
      worker_(std::move(worker)),
      close_on_camera_(std::move(close_on_camera)) {}

StreamChannel::~StreamChannel() { close(); }

FrameChannel StreamChannel::subscribe(std::size_t capacity, Overflow overflow) {
    auto [sender, receiver] = bounded<FramePtr>(capacity == 0 ? 1 : capacity, overflow);
    // A worker that is gone never takes the message; the sender then dies
    // with it here (or with the worker's queue), and the receiver reports
    // disconnection once read.
    if (control_.send(to_stream_worker::Subscribe{std::move(sender)})) worker_.wake();
    return FrameChannel(std::move(receiver), end_);
}

void StreamChannel::acquisition_started() {
    if (control_.send(to_stream_worker::AcquisitionStarted{})) worker_.wake();
}

StreamStats StreamChannel::stats() const { return stats_->snapshot(); }

PoolUse StreamChannel::pool_use() const { return stats_->pool_use(); }

bool StreamChannel::is_closed() const {
    MutexLock lock(close_mutex_);
    return closed_;
}

void StreamChannel::close(Instant deadline) {
    MutexLock lock(close_mutex_);
    if (closed_) return;
    closed_ = true;
    // The camera first, so it stops sending before the socket goes; its
    // answer does not matter, the worker stops either way.
    if (close_on_camera_) {
        close_on_camera_(deadline);
        close_on_camera_ = nullptr;
    }
    if (control_.send(to_stream_worker::Stop{})) worker_.wake();
    // The worker's end of the control channel goes with the thread, so later
    // subscriptions are refused at once.
    worker_.stop_and_join();
}

}  // namespace oculane
