#pragma once
// What the stream-side Python classes share: Frame objects, the stream
// settings every stream opened from Python uses, waiting on a subscription,
// and the drop-time wait for the camera-state lock.
//
// Frame reading never takes the camera-state lock; it only touches the
// subscription queue, which the stream worker fills concurrently. Waits
// release the interpreter lock and come back for it at least every 100 ms,
// so Python signal handlers (Ctrl-C) run while a consumer waits.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "genicam/data_model.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream/stream_channel.hpp"
#include "py/camera.hpp"
#include "py/int_arg.hpp"
#include "py/interpreter_lock.hpp"

namespace oculane::py {

// Python's Frame: a shared reference to one published frame. Holding it keeps
// the frame's pooled buffer out of the pool, also after the stream closed.
// `model` evaluates its chunk data (null: the description has no chunk port).
struct PyFrame {
    FramePtr frame;
    std::shared_ptr<DataModel> model;
};

// Python's FrameChannel: an extra subscription's receiving end.
struct PyFrameChannel {
    FrameChannel channel;
    std::shared_ptr<DataModel> model;
};

// The model that evaluates chunk and event data, copied from the camera's
// node map; call with the camera-state lock held. Null without a model or
// without chunk and event ports.
std::shared_ptr<DataModel> data_model_of(GenICamera& camera);

// A chunk or event feature's value as a Python bool, int, float or str.
nanobind::object data_value_to_python(const DataValue& v);
nanobind::dict data_values_to_python(const std::vector<std::pair<std::string, DataValue>>& values);

// The image part of a frame's data: in a chunk frame the first chunk (when
// the layout reads), else all of it.
std::span<const std::uint8_t> image_data(const Frame& frame);

// The keyword arguments shared by start_acquisition, snap and snapshot_session.
struct StreamArgs {
    std::uint16_t channel = 0;
    std::size_t n_buffers = stream_defaults::kBuffers;
    bool resend_reserve = false;  // n_buffers was left to the default: see StreamConfig
    std::optional<std::uint16_t> packet_size;
    std::optional<std::uint32_t> packet_delay;
    bool resend = true;
    std::size_t receive_buffer = 0;  // bytes; 0 sizes it automatically
    ReceivePath receive_path = ReceivePath::Auto;
};

// The keyword arguments as a stream-opening binding receives them; each
// range error names its argument.
StreamArgs stream_args(const IntArg<std::uint16_t>& channel, const std::optional<IntArg<std::size_t>>& n_buffers,
                       const std::optional<IntArg<std::uint16_t>>& packet_size,
                       const std::optional<IntArg<std::uint32_t>>& packet_delay, bool resend,
                       const std::optional<IntArg<std::size_t>>& receive_buffer,
                       const std::string& receive_path);

// "auto", "socket" or "ring"; ValueError naming them otherwise.
ReceivePath receive_path_arg(const std::string& value);
// "socket" or "ring", as a running stream reports it.
const char* receive_path_name(ReceivePath path);

// How start_acquisition takes n_buffers.
inline constexpr const char* kBuffersDoc =
    "`n_buffers` is the number of frame buffers; None (the default) gives 8 and,\n"
    "for frames that wait for a resend while newer ones arrive, as many more as\n"
    "41 ms of a 10 Gbit/s stream fill (1 to 64).\n";

// The docstring part every stream-opening method shares.
inline constexpr const char* kReceiveBufferDoc =
    "`receive_buffer` is the stream socket's receive buffer in bytes; None (or 0)\n"
    "sizes it for bursts of frames at line rate, within what the system grants\n"
    "(a warning names the sysctl to raise when it grants less). On the packet\n"
    "ring it sizes the ring instead (None: four frames, 8 to 64 MiB).\n"
    "`receive_path` is where the stream's packets are read from: \"socket\"\n"
    "(the UDP socket), \"ring\" (a packet-socket ring, which costs far less\n"
    "CPU per frame; needs CAP_NET_RAW, else CameraException) or \"auto\"\n"
    "(the default: the ring when the process may open one, else the socket).";

// The stream settings of every stream opened from Python: the arguments, the
// stream defaults for the rest (no destination override); the payload size is
// left for fill_payload_size.
StreamConfig stream_config(const StreamArgs& args);

// The frames the stream's own queue holds: the whole pool. Frames that
// waited behind one whose resend was pending close together, and each of
// them already has its buffer, so the queue has room for them all.
std::size_t queue_capacity(const StreamConfig& config);

// The next frame, waiting at most `timeout` seconds; nothing when the
// deadline passes or the subscription is disconnected and empty. Raises the
// exception of a Python signal handler that raised while it waited.
std::optional<FramePtr> wait_for_frame(FrameChannel& channel, double timeout);

// The next frame for iteration; raises StopIteration once the subscription is
// disconnected and empty, or a signal handler's exception.
FramePtr next_frame(FrameChannel& channel);

// The newest frame, letting go of every older queued one; waits at most
// `timeout` seconds when none is queued (as wait_for_frame).
std::optional<FramePtr> latest_frame(FrameChannel& channel, double timeout);

// For event-loop waits: a queued frame, None while the queue is empty, or
// False once it is disconnected and empty; raises the control-lost
// exception when the camera was lost. Never waits. `model` goes with the
// frame for its chunk data.
nanobind::object take_nowait(FrameChannel& channel, std::shared_ptr<DataModel> model);

// "oldest" or "newest" as the channel's overflow rule; ValueError otherwise.
Overflow keep_arg(const std::string& keep);

// The docstring part of every `keep` argument.
inline constexpr const char* kKeepDoc =
    "`keep` decides what a full queue lets go of: \"oldest\" (the default)\n"
    "refuses new frames until the consumer takes some; \"newest\" lets go of\n"
    "the oldest queued frame at once (its buffer goes back to the stream)\n"
    "so the queue always holds the most recent ones. Either way a frame the\n"
    "queue could not keep counts in `StreamStats.frames_dropped`.";

// What a snap's wait for its frame ended with: the frame, or nothing (the
// timeout passed or the stream ended), and the exception of a Python signal
// handler that raised meanwhile, to be raised once the snap has put the
// camera back as a timeout does.
struct SnapWait {
    std::optional<FramePtr> frame;
    std::optional<nanobind::python_error> interrupt;
};

// Waits for a snap's frame in slices of at most 100 ms with the interpreter
// lock released, running signal handlers in between. Call with the
// interpreter lock held and no other lock: a thread holding the camera-state
// lock must never take the interpreter lock.
SnapWait wait_for_snap(FrameChannel& channel, Duration timeout);

// The INFO lines of a stream's life, led by `what` ("acquisition started",
// "snapshot session closed"): what stream setup settled once it is open, and
// what came of it when it ends (call before the stream is closed). Nothing
// is formatted unless info is enabled.
void log_stream_opened(const char* what, const StreamChannel& stream, std::size_t n_buffers,
                       std::uint64_t payload_size = 0);
void log_stream_ended(const char* what, const StreamChannel& stream);

// What a drop path may spend on device traffic in all (AcquisitionStop,
// TLParamsLocked, the mode, the stream's port register) while the
// interpreter exits: a camera that no longer answers must not hold the
// program's end for the seconds of full retry cycles, and one that answers
// needs a few milliseconds. Drops at other times (garbage collection) give a
// slow camera its ordinary waits.
inline constexpr auto kExitTrafficBudget = std::chrono::milliseconds(300);

// No limit, or kExitTrafficBudget from now on while the interpreter exits.
gige::WaitLimit drop_traffic_limit();

// Locks the camera state for a drop path, waiting at most 200 ms: the drop
// may run during garbage collection while another thread holds the lock for
// a long camera operation. Call with the interpreter lock released. True
// with the lock taken; the caller lets go of it (MutexLock with AdoptLock).
bool lock_for_drop(CameraState& state) OCULANE_TRY_ACQUIRE(true, state.mutex);

// Adds the frame-reading members (wait_for, try_recv, recv_all, clear and
// iteration) to a class whose instances lead to a FrameChannel through
// `channel_of`. Only wait_for and iteration wait, with the interpreter lock
// released; the others take what is queued right now.
template <class T, class ChannelOf, class ModelOf, class TimeoutArg>
void def_frame_reading(nanobind::class_<T>& cls, ChannelOf channel_of, ModelOf model_of, TimeoutArg timeout_arg) {
    namespace nb = nanobind;
    cls.def(
        "wait_for",
        [channel_of, model_of](T& self, double timeout) -> std::optional<PyFrame> {
            auto frame = wait_for_frame(channel_of(self), timeout);
            if (!frame) return std::nullopt;
            return PyFrame{std::move(*frame), model_of(self)};
        },
        timeout_arg,
        "The next frame, waiting at most `timeout` seconds; None when none came\n"
        "in time, or when the stream has ended and nothing is queued. Ctrl-C\n"
        "ends the wait. Once the camera was lost (and the queued frames are\n"
        "read) it raises CameraException with `kind` \"ControlLost\".");
    cls.def(
        "try_recv",
        [channel_of, model_of](T& self) -> std::optional<PyFrame> {
            auto frame = channel_of(self).try_recv();
            if (!frame) return std::nullopt;
            return PyFrame{std::move(*frame), model_of(self)};
        },
        "The next queued frame, or None, without waiting.");
    cls.def(
        "recv_all",
        [channel_of, model_of](T& self) {
            std::vector<PyFrame> out;
            for (auto& frame : channel_of(self).recv_all()) out.push_back(PyFrame{std::move(frame), model_of(self)});
            return out;
        },
        "Every frame queued right now, oldest first, without waiting.");
    cls.def("clear", [channel_of](T& self) { channel_of(self).clear(); }, "Discard every frame queued right now.");
    cls.def(
        "latest",
        [channel_of, model_of](T& self, double timeout) -> std::optional<PyFrame> {
            auto frame = latest_frame(channel_of(self), timeout);
            if (!frame) return std::nullopt;
            return PyFrame{std::move(*frame), model_of(self)};
        },
        timeout_arg,
        "The newest frame available: every older queued frame is let go of\n"
        "(their buffers go back to the stream). When none is queued it waits at\n"
        "most `timeout` seconds, as `wait_for` does, and returns None when none\n"
        "came. With `keep=\"newest\"` this is the frame of a consumer that only\n"
        "wants the present, however long it paused.");
    cls.def("__iter__", [](T& self) -> T& { return self; }, nb::rv_policy::reference);
    cls.def("__next__",
            [channel_of, model_of](T& self) { return PyFrame{next_frame(channel_of(self)), model_of(self)}; });
    // asyncio: the coroutines live in oculane.aio, woken through the queue's
    // notification descriptor; these two are what they read.
    cls.def("_notify_fd", [channel_of](T& self) { return channel_of(self).notify_fd(); });
    cls.def("_take_nowait", [channel_of, model_of](T& self) { return take_nowait(channel_of(self), model_of(self)); });
    cls.def(
        "next_frame",
        [](nb::handle self, std::optional<double> timeout) {
            return nb::module_::import_("oculane.aio").attr("next_frame")(self, timeout);
        },
        nb::arg("timeout").none() = nb::none(), nb::sig("def next_frame(self, timeout: float | None = None) -> "
                                                        "collections.abc.Awaitable[Frame | None]"),
        "Awaitable: the next frame, or None when `timeout` seconds (None: no\n"
        "limit) passed first or the stream has ended and nothing is queued.\n"
        "Woken by the stream itself; cancelling the awaiting task ends the wait.\n"
        "Raises CameraException (`kind` \"ControlLost\") as `wait_for` does.");
    cls.def("__aiter__", [](T& self) -> T& { return self; }, nb::rv_policy::reference,
            "`async for frame in ...`: frames as they arrive, until the stream ends.");
    cls.def(
        "__anext__",
        [](nb::handle self) { return nb::module_::import_("oculane.aio").attr("anext_frame")(self); },
        nb::sig("def __anext__(self) -> collections.abc.Awaitable[Frame]"),
        "Awaitable: the next frame; StopAsyncIteration once the stream ended\n"
        "and nothing is queued.");
}

}  // namespace oculane::py
