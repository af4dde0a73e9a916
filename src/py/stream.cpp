// Stream settings, float-second arguments and subscription waits shared by
// Acquisition, FrameChannel and the snap paths.
#include "py/stream.hpp"

#include <algorithm>
#include <chrono>

#include "py/errors.hpp"

namespace nb = nanobind;

namespace oculane::py {

namespace {

using Clock = std::chrono::steady_clock;

// How long a wait runs without the interpreter lock before it comes back to
// let Python signal handlers run.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(100);

// Runs pending Python signal handlers; an exception one of them raised (such
// as KeyboardInterrupt) propagates from here.
void check_signals() {
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
}

enum class Waited { Frame, Nothing, Disconnected };

// One wait of at most the signal-check interval, interpreter lock released.
Waited wait_slice(FrameChannel& channel, Clock::time_point until, std::optional<FramePtr>& out) {
    ReleasedInterpreter released;
    auto r = channel.recv_until(until);
    if (r) {
        out = std::move(*r);
        return Waited::Frame;
    }
    return r.error() == RecvError::Disconnected ? Waited::Disconnected : Waited::Nothing;
}

}  // namespace

StreamArgs stream_args(const IntArg<std::uint16_t>& channel, const IntArg<std::size_t>& n_buffers,
                       const std::optional<IntArg<std::uint16_t>>& packet_size,
                       const std::optional<IntArg<std::uint32_t>>& packet_delay, bool resend,
                       const std::optional<IntArg<std::size_t>>& receive_buffer) {
    StreamArgs args;
    args.channel = channel.get("channel");
    args.n_buffers = n_buffers.get("n_buffers");
    if (packet_size) args.packet_size = packet_size->get("packet_size");
    if (packet_delay) args.packet_delay = packet_delay->get("packet_delay");
    args.resend = resend;
    if (receive_buffer) args.receive_buffer = receive_buffer->get("receive_buffer");
    return args;
}

StreamConfig stream_config(const StreamArgs& args) {
    StreamConfig c;
    c.packet_delay = args.packet_delay;
    c.resend_delay = std::chrono::milliseconds(1);
    c.resend_interval = std::chrono::milliseconds(20);
    c.frame_timeout = std::chrono::milliseconds(100);
    c.n_buffers = args.n_buffers;
    c.resend_ratio = 0.25;
    c.receive_buffer = args.receive_buffer;
    c.packet_size = args.packet_size;
    c.channel = args.channel;
    c.resend = args.resend;
    return c;
}

std::optional<FramePtr> wait_for_frame(FrameChannel& channel, double timeout) {
    const Duration limit = seconds_arg(timeout);
    // A queued frame is taken without giving up the interpreter lock.
    if (auto frame = channel.try_recv()) return frame;
    const auto deadline = Clock::now() + limit;
    for (;;) {
        std::optional<FramePtr> frame;
        const auto outcome = wait_slice(channel, std::min(deadline, Clock::now() + kSignalCheckInterval), frame);
        if (outcome == Waited::Frame) return frame;
        if (outcome == Waited::Disconnected) {
            if (channel.control_lost()) raise(CameraError::control_lost());
            return std::nullopt;
        }
        if (Clock::now() >= deadline) return std::nullopt;
        check_signals();
    }
}

FramePtr next_frame(FrameChannel& channel) {
    if (auto frame = channel.try_recv()) return std::move(*frame);
    for (;;) {
        std::optional<FramePtr> frame;
        const auto outcome = wait_slice(channel, Clock::now() + kSignalCheckInterval, frame);
        if (outcome == Waited::Frame) return std::move(*frame);
        check_signals();
        // A disconnected queue yields what it still holds first, so nothing
        // is left behind when the iteration ends here.
        if (outcome == Waited::Disconnected) {
            if (channel.control_lost()) raise(CameraError::control_lost());
            throw nb::stop_iteration();
        }
    }
}

SnapWait wait_for_snap(FrameChannel& channel, Duration timeout) {
    SnapWait out;
    const auto now = Clock::now();
    // A timeout too long for the clock waits without limit.
    const auto deadline = timeout >= Clock::time_point::max() - now
                              ? Clock::time_point::max()
                              : now + std::chrono::ceil<Clock::duration>(timeout);
    for (;;) {
        const auto outcome = wait_slice(channel, std::min(deadline, Clock::now() + kSignalCheckInterval), out.frame);
        if (outcome != Waited::Nothing || Clock::now() >= deadline) return out;
        if (PyErr_CheckSignals() != 0) {
            out.interrupt.emplace();  // takes the pending exception
            return out;
        }
    }
}

gige::WaitLimit drop_traffic_limit() {
    return interpreter_finalizing() ? gige::WaitLimit::within(kExitTrafficBudget) : gige::WaitLimit{};
}

std::unique_lock<std::timed_mutex> lock_for_drop(CameraState& state) {
    return std::unique_lock<std::timed_mutex>(state.mutex, std::chrono::milliseconds(200));
}

}  // namespace oculane::py
