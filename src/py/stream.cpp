// Stream settings, float-second arguments and subscription waits shared by
// Acquisition, FrameChannel and the snap paths.
#include "py/stream.hpp"

#include <algorithm>
#include <chrono>

#include "gige/stream/stream_runner.hpp"
#include "gige/stream/stream_stats.hpp"
#include "py/errors.hpp"
#include "util/inet.hpp"
#include "util/log.hpp"

#include <fmt/format.h>

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

StreamArgs stream_args(const IntArg<std::uint16_t>& channel, const std::optional<IntArg<std::size_t>>& n_buffers,
                       const std::optional<IntArg<std::uint16_t>>& packet_size,
                       const std::optional<IntArg<std::uint32_t>>& packet_delay, bool resend,
                       const std::optional<IntArg<std::size_t>>& receive_buffer,
                       const std::string& receive_path) {
    StreamArgs args;
    args.receive_path = receive_path_arg(receive_path);
    args.channel = channel.get("channel");
    if (n_buffers) args.n_buffers = n_buffers->get("n_buffers");
    else args.resend_reserve = true;
    if (packet_size) args.packet_size = packet_size->get("packet_size");
    if (packet_delay) args.packet_delay = packet_delay->get("packet_delay");
    args.resend = resend;
    if (receive_buffer) args.receive_buffer = receive_buffer->get("receive_buffer");
    return args;
}

StreamConfig stream_config(const StreamArgs& args) {
    StreamConfig c;
    c.packet_delay = args.packet_delay;
    c.n_buffers = args.n_buffers;
    c.resend_reserve = args.resend_reserve;
    c.receive_buffer = args.receive_buffer;
    c.packet_size = args.packet_size;
    c.channel = args.channel;
    c.resend = args.resend;
    c.receive_path = args.receive_path;
    return c;
}

ReceivePath receive_path_arg(const std::string& value) {
    if (value == "auto") return ReceivePath::Auto;
    if (value == "socket") return ReceivePath::Socket;
    if (value == "ring") return ReceivePath::Ring;
    raise_value_error(fmt::format("receive_path must be \"auto\", \"socket\" or \"ring\", not \"{}\"", value));
}

const char* receive_path_name(ReceivePath path) { return path == ReceivePath::Ring ? "ring" : "socket"; }

std::size_t queue_capacity(const StreamConfig& config) {
    return stream_pool_size(config, config.payload_size.value_or(0));
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

std::optional<FramePtr> latest_frame(FrameChannel& channel, double timeout) {
    (void)seconds_arg(timeout);  // a bad timeout is refused also when a frame is queued
    if (auto frame = channel.try_recv_newest()) return frame;
    auto frame = wait_for_frame(channel, timeout);
    if (!frame) return frame;
    // Newer ones may have come while this thread took the interpreter back.
    if (auto newer = channel.try_recv_newest()) frame = std::move(newer);
    return frame;
}

nb::object take_nowait(FrameChannel& channel, std::shared_ptr<DataModel> model) {
    if (auto frame = channel.try_recv()) return nb::cast(PyFrame{std::move(*frame), std::move(model)});
    if (!channel.is_disconnected()) return nb::none();
    if (channel.control_lost()) raise(CameraError::control_lost());
    return nb::bool_(false);
}

Overflow keep_arg(const std::string& keep) {
    if (keep == "oldest") return Overflow::Refuse;
    if (keep == "newest") return Overflow::DropOldest;
    raise_value_error("keep must be \"oldest\" or \"newest\"");
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

namespace {
std::string frames(std::uint64_t n) { return fmt::format("{} frame{}", n, n == 1 ? "" : "s"); }
std::string packets(std::uint64_t n) { return fmt::format("{} packet{}", n, n == 1 ? "" : "s"); }
}  // namespace

void log_stream_opened(const char* what, const StreamChannel& stream, std::size_t n_buffers,
                       std::uint64_t payload_size) {
    if (!log::enabled(log::Level::Info)) return;
    const auto local = stream.local_address();
    const auto buffer = stream.receive_buffer_size();
    const bool on_ring = stream.receive_path() == ReceivePath::Ring;
    log::emit(log::kPy, log::Level::Info,
              fmt::format("{} on stream channel {} ({}): packet size {} bytes, {} buffers{}, {}", what,
                          stream.channel(), inet::format_endpoint(local.ip, local.port), stream.packet_size(),
                          n_buffers, payload_size ? fmt::format(" of {} bytes", payload_size) : "",
                          on_ring ? fmt::format("receiving on a packet ring of {} bytes", stream.ring_bytes())
                                  : fmt::format("receiving on the socket, receive buffer {} bytes{}", buffer.granted,
                                                buffer.granted < buffer.asked
                                                    ? fmt::format(" ({} asked for)", buffer.asked)
                                                    : "")),
              {{"channel", std::to_string(stream.channel())},
               {"packet_size", std::to_string(stream.packet_size())},
               {"buffers", std::to_string(n_buffers)},
               {"payload_size", std::to_string(payload_size)},
               {"receive_path", receive_path_name(stream.receive_path())},
               {"receive_buffer", std::to_string(on_ring ? stream.ring_bytes() : buffer.granted)}});
}

void log_stream_ended(const char* what, const StreamChannel& stream) {
    if (!log::enabled(log::Level::Info)) return;
    const StreamStats s = stream.stats();
    log::emit(log::kPy, log::Level::Info,
              fmt::format("{} on stream channel {}: {} complete, {} failed, {} lost to a starved pool "
                          "(underruns), {} not taken by a full queue, {} resent, {} kernel drops",
                          what, stream.channel(), frames(s.completed_frames), s.failed_frames, s.underruns,
                          s.frames_dropped, packets(s.resent_packets), s.kernel_drops),
              {{"channel", std::to_string(stream.channel())},
               {"completed_frames", std::to_string(s.completed_frames)},
               {"failed_frames", std::to_string(s.failed_frames)}});
}

gige::WaitLimit drop_traffic_limit() {
    return interpreter_finalizing() ? gige::WaitLimit::within(kExitTrafficBudget) : gige::WaitLimit{};
}

bool lock_for_drop(CameraState& state) { return state.mutex.try_lock_for(std::chrono::milliseconds(200)); }

}  // namespace oculane::py
