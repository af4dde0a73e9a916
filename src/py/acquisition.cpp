// Python Acquisition and FrameChannel, and Camera.start_acquisition.
//
// Lock order: camera-state lock, then the acquisition's state lock, then its
// busy-holder lock, then the busy-slot lock (inside the token release). The
// acquisition's own locks are only ever held for a few instructions (taking
// the running state out, copying counters), never across device traffic, so
// the quick queries may wait for them with the interpreter lock held.
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include <fmt/format.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "gige/stream/stream_stats.hpp"
#include "py/bindings.hpp"
#include "py/errors.hpp"
#include "py/stream.hpp"
#include "util/log.hpp"

namespace nb = nanobind;

namespace oculane::py {

namespace {

using log::Level;

const std::string kSubscribeDoc = std::string(
                                      "An additional subscription with its own buffer; unlike the built-in\n"
                                      "one it only sees frames completed after this call.\n") +
                                  kKeepDoc +
                                  "\nKeep `capacity` below the acquisition's `n_buffers`: queued frames hold\n"
                                  "their buffers.";

// The running state: the open stream. Stopping consumes it.
struct AcqState {
    std::unique_ptr<StreamChannel> stream;
};

struct AcquisitionCore {
    AcquisitionCore(std::shared_ptr<CameraState> cam, FrameChannel subscription, AcqState acq, BusyToken token,
                    std::shared_ptr<DataModel> data_model)
        : camera(std::move(cam)),
          frames(std::move(subscription)),
          model(std::move(data_model)),
          state(std::move(acq)),
          busy(std::move(token)) {}

    std::shared_ptr<CameraState> camera;
    FrameChannel frames;  // the built-in subscription; thread-safe itself
    const std::shared_ptr<DataModel> model;  // for the frames' chunk data; thread-safe itself

    Mutex state_mutex;
    std::optional<AcqState> state OCULANE_GUARDED_BY(state_mutex);

    BusyHolder busy;

    // oculane._callbacks.Dispatcher once a callback was registered; touched
    // only with the interpreter lock held.
    nb::object callbacks;

    // Takes the running state out, leaving the acquisition stopped.
    std::optional<AcqState> take_state() {
        std::optional<AcqState> out;
        MutexLock lock(state_mutex);
        out.swap(state);
        return out;
    }
};

// AcquisitionStop, TLParamsLocked back to 0, then the stream closed: always
// all three, in this order, none of their device accesses past `limit`.
// Returns the AcquisitionStop result. The camera-state lock is held by the
// caller.
GenicamResult<void> finish(GenICamera& camera, StreamChannel& stream, const gige::WaitLimit& limit = {}) {
    auto bounded = camera.limit_traffic(limit);
    auto stopped = camera.execute("AcquisitionStop");
    log_stream_ended("acquisition stopped", stream);
    if (auto r = camera.set_integer("TLParamsLocked", 0); !r)
        OCULANE_LOG(Level::Debug, log::kPy, "TLParamsLocked not cleared: {}", r.error().to_string());
    stream.close(limit.deadline);
    return stopped;
}

// The drop path: runs when Python releases an acquisition that was not
// stopped. The interpreter lock is not held.
void drop(AcquisitionCore& a) {
    auto state = a.take_state();
    if (!state) return;
    if (!lock_for_drop(*a.camera)) {
        OCULANE_LOG(Level::Warn, log::kPy, "acquisition dropped while camera busy; AcquisitionStop not sent");
        state->stream->close(drop_traffic_limit().deadline);
        return;
    }
    MutexLock lock(a.camera->mutex, AdoptLock{});
    if (auto r = finish(a.camera->camera, *state->stream, drop_traffic_limit()); !r)
        OCULANE_LOG(Level::Warn, log::kPy, "AcquisitionStop on drop failed: {}", r.error().to_string());
}

}  // namespace

// Python's Acquisition. Movable only so that it can be handed to Python.
class PyAcquisition {
public:
    explicit PyAcquisition(std::unique_ptr<AcquisitionCore> core) : core_(std::move(core)) {}
    PyAcquisition(PyAcquisition&&) noexcept = default;
    PyAcquisition& operator=(PyAcquisition&&) = delete;
    ~PyAcquisition() {
        if (!core_) return;
        close_callbacks();
        // Everything here may block (device traffic, joining the stream
        // worker, and, for the last reference to the camera state, ending the
        // connection), so none of it runs with the interpreter lock held.
        without_interpreter_lock([&] {
            drop(*core_);
            core_.reset();
        });
    }

    AcquisitionCore& core() { return *core_; }

    // Ends callback delivery: a callback running on the dispatcher thread
    // finishes, no other starts, and the thread is joined (unless this is
    // that thread: a callback that stops its own acquisition). Interpreter
    // lock held.
    void close_callbacks() {
        nb::object dispatcher = std::move(core_->callbacks);
        if (!dispatcher.is_valid()) return;
        try {
            dispatcher.attr("close")();
        } catch (nb::python_error& e) {
            e.discard_as_unraisable("closing the frame callbacks of an acquisition");
        }
    }

private:
    std::unique_ptr<AcquisitionCore> core_;
};

namespace {

void stop(PyAcquisition& self) {
    auto& a = self.core();
    std::optional<GenicamError> failure;
    {
        ReleasedInterpreter released;
        MutexLock camera_lock(a.camera->mutex);
        if (auto state = a.take_state()) {
            if (auto r = finish(a.camera->camera, *state->stream); !r) failure = std::move(r.error());
        }
        a.busy.release();
    }
    // After the camera lock is free: a callback may be waiting for it.
    self.close_callbacks();
    if (failure) raise(*failure);
}

bool is_stopped(PyAcquisition& self) {
    MutexLock lock(self.core().state_mutex);
    return !self.core().state.has_value();
}

// Runs `query` on the open stream, or raises "acquisition is stopped".
template <class F>
auto with_stream(PyAcquisition& self, F&& query) {
    std::optional<decltype(query(std::declval<StreamChannel&>()))> result;
    {
        MutexLock lock(self.core().state_mutex);
        if (self.core().state) result.emplace(query(*self.core().state->stream));
    }
    if (!result) raise_value_error("acquisition is stopped");
    return std::move(*result);
}

// Keeping the newest frames, the built-in queue holds half the buffers (at
// least one): a queue as deep as the pool would hold every buffer while the
// consumer pauses, and the stream would lose new frames as underruns.
std::size_t builtin_capacity(std::size_t n_buffers, Overflow keep) {
    if (keep == Overflow::Refuse) return n_buffers;
    return std::max<std::size_t>(1, n_buffers / 2);
}

PyAcquisition start_acquisition(Camera& self, StreamArgs args, Overflow keep) {
    BusyToken token = BusyToken::claim(self.busy, kBusyAcquisition);
    StreamConfig config = stream_config(args);
    Failure failure;
    std::optional<FrameChannel> frames;
    std::optional<AcqState> state;
    std::shared_ptr<DataModel> model;
    {
        ReleasedInterpreter released;
        MutexLock lock(self.state->mutex);
        GenICamera& camera = self.state->camera;
        model = data_model_of(camera);
        if (auto filled = camera.fill_payload_size(config.payload_size); !filled) {
            failure = std::move(filled.error());
        } else if (auto opened = camera.transport().open_stream(config); !opened) {
            failure = std::move(opened.error());
        } else {
            std::unique_ptr<StreamChannel> stream = std::move(*opened);
            // Subscribed before the camera starts, so even the first frame is delivered.
            frames.emplace(stream->subscribe(builtin_capacity(queue_capacity(config), keep), keep));
            if (auto r = camera.set_integer("TLParamsLocked", 1); !r)
                OCULANE_LOG(Level::Debug, log::kPy, "TLParamsLocked not set: {}", r.error().to_string());
            if (auto started = camera.execute("AcquisitionStart"); !started) {
                if (auto r = camera.set_integer("TLParamsLocked", 0); !r)
                    OCULANE_LOG(Level::Debug, log::kPy, "TLParamsLocked not cleared: {}", r.error().to_string());
                frames.reset();
                stream->close();
                failure = std::move(started.error());
            } else {
                stream->acquisition_started();
                log_stream_opened("acquisition started", *stream, queue_capacity(config),
                                  config.payload_size.value_or(0));
                state.emplace(AcqState{std::move(stream)});
            }
        }
    }
    if (!std::holds_alternative<std::monostate>(failure)) {
        token.release();
        raise_if_failed(failure);
    }
    return PyAcquisition(std::make_unique<AcquisitionCore>(self.state, std::move(*frames), std::move(*state),
                                                           std::move(token), std::move(model)));
}

FrameChannel& built_in(PyAcquisition& self) { return self.core().frames; }
FrameChannel& channel_of(PyFrameChannel& self) { return self.channel; }
std::shared_ptr<DataModel> model_of_acquisition(PyAcquisition& self) { return self.core().model; }
std::shared_ptr<DataModel> model_of_channel(PyFrameChannel& self) { return self.model; }

}  // namespace

void bind_acquisition(nb::module_& m) {
    nb::class_<PyAcquisition> cls(m, "Acquisition",
                                  "A running continuous acquisition. The built-in subscription is created\n"
                                  "before the camera starts, so even the first frame is delivered. Use as a\n"
                                  "context manager or call `stop()`; buffered frames stay readable after.");
    cls.def("stop", &stop,
            "Stop the camera, unlock transport parameters, and close the stream\n"
            "channel. Idempotent; frames already buffered stay readable.");
    cls.def("__enter__", [](PyAcquisition& self) -> PyAcquisition& { return self; }, nb::rv_policy::reference,
            "Return the acquisition itself.");
    cls.def(
        "__exit__",
        [](PyAcquisition& self, nb::args) {
            stop(self);
            return false;
        },
        "`stop()`; an exception of the `with` body is never suppressed.");
    cls.def("is_stopped", &is_stopped,
            "True once stopped (by `stop()`, the end of its `with` block, or its\n"
            "release).");
    cls.def(
        "stats", [](PyAcquisition& self) { return with_stream(self, [](StreamChannel& s) { return s.stats(); }); },
        "A copy of the stream's counters now (`StreamStats`). ValueError once\n"
        "stopped.");
    cls.def(
        "packet_size",
        [](PyAcquisition& self) { return with_stream(self, [](StreamChannel& s) { return s.packet_size(); }); },
        "The GVSP packet size in force on the stream, in bytes (negotiated\n"
        "with the camera unless `packet_size` was given). ValueError once\n"
        "stopped.");
    cls.def(
        "local_addr",
        [](PyAcquisition& self) {
            return with_stream(self, [](StreamChannel& s) {
                const auto local = s.local_address();
                return inet::format_endpoint(local.ip, local.port);
            });
        },
        "The stream socket's local address, \"ip:port\". ValueError once stopped.");
    cls.def(
        "receive_path",
        [](PyAcquisition& self) {
            return std::string(
                with_stream(self, [](StreamChannel& s) { return receive_path_name(s.receive_path()); }));
        },
        "Where the stream's packets are read from: \"ring\" (a packet-socket\n"
        "ring) or \"socket\" (the UDP socket), as `receive_path` settled it at\n"
        "the start. ValueError once stopped.");
    cls.def(
        "subscribe",
        [](PyAcquisition& self, IntArg<std::size_t> capacity, const std::string& keep) {
            const std::size_t n = capacity.get("capacity");
            const Overflow overflow = keep_arg(keep);
            return PyFrameChannel{with_stream(self, [&](StreamChannel& s) { return s.subscribe(n, overflow); }),
                                  self.core().model};
        },
        nb::arg("capacity") = 16, nb::arg("keep") = "oldest",
        kSubscribeDoc.c_str());
    cls.def(
        "on_frame",
        [](PyAcquisition& self, nb::callable callback, IntArg<std::size_t> capacity, const std::string& keep) {
            const std::size_t n = capacity.get("capacity");
            const Overflow overflow = keep_arg(keep);
            nb::object channel =
                nb::cast(PyFrameChannel{with_stream(self, [&](StreamChannel& s) { return s.subscribe(n, overflow); }),
                                        self.core().model});
            AcquisitionCore& core = self.core();
            if (!core.callbacks.is_valid()) core.callbacks = nb::module_::import_("oculane._callbacks").attr("Dispatcher")();
            return core.callbacks.attr("add")(callback, channel);
        },
        nb::arg("callback"), nb::arg("capacity") = 16, nb::arg("keep") = "oldest",
        nb::sig("def on_frame(self, callback: collections.abc.Callable[[Frame], object], capacity: int = 16, "
                "keep: str = 'oldest') -> oculane.FrameCallback"),
        "Call `callback(frame)` for every frame of a subscription of its own\n"
        "(`capacity` and `keep` as for `subscribe`), and return its\n"
        "`FrameCallback` handle (`remove()` ends it; `calls` and `errors` count).\n"
        "Every callback of the acquisition runs on one Python thread the\n"
        "acquisition owns, in registration order for each frame, never on the\n"
        "stream's worker. An exception is logged with its traceback (logger\n"
        "\"oculane\") and counted; the stream goes on. `stop()` ends delivery and\n"
        "joins the thread; a callback may call `stop()` itself. Frames the\n"
        "built-in queue does not take still fill it: with callbacks only, start\n"
        "the acquisition with `keep=\"newest\"` so it never holds every buffer.");
    cls.def(
        "__aenter__", [](nb::handle self) { return nb::module_::import_("oculane.aio").attr("enter")(self); },
        nb::sig("def __aenter__(self) -> collections.abc.Awaitable[Acquisition]"),
        "`async with camera.start_acquisition() as acq:` gives the acquisition.");
    cls.def(
        "__aexit__",
        [](nb::handle self, nb::args) {
            return nb::module_::import_("oculane.aio").attr("exit_acquisition")(self);
        },
        nb::sig("def __aexit__(self, *args) -> collections.abc.Awaitable[bool]"),
        "Awaitable `stop()` (run in the loop's executor, so the loop goes on\n"
        "meanwhile); an exception of the `async with` body is never suppressed.");
    def_frame_reading(cls, &built_in, &model_of_acquisition, nb::arg("timeout") = 1.0);
    // A starved pool shows: new frames are lost while the buffers are held.
    cls.def("__repr__", [](PyAcquisition& self) {
        std::string out = std::string("Acquisition(stopped=") + (is_stopped(self) ? "True" : "False");
        MutexLock lock(self.core().state_mutex);
        if (self.core().state) {
            const StreamChannel& stream = *self.core().state->stream;
            const std::uint64_t underruns = stream.stats().underruns;
            const PoolUse use = stream.pool_use();
            if (underruns > 0)
                out += fmt::format(", underruns={}, buffers held={} of {}", underruns, use.held, use.buffers);
        }
        return out + ")";
    });
}

void bind_frame_channel(nb::module_& m) {
    nb::class_<PyFrameChannel> cls(m, "FrameChannel",
                                   "A clone-able receiver for completed frames. Each subscription has its own\n"
                                   "bounded buffer; when it is full new frames are dropped for that\n"
                                   "subscriber and counted in [`StreamStats::frames_dropped`].");
    def_frame_reading(cls, &channel_of, &model_of_channel, nb::arg("timeout"));
}

const std::string kStartAcquisitionDoc =
    std::string("Start continuous acquisition and return the running `Acquisition`.\n") + kBuffersDoc +
    kReceiveBufferDoc +
    "\n`keep` is the built-in queue's rule (see `Acquisition.subscribe`); with\n"
    "\"newest\" it holds the newest half of the `n_buffers` (at least one), so\n"
    "the stream keeps buffers to fill while the consumer pauses."
    "\n\n"
    "A camera in FrameStart trigger mode sends one frame per trigger. With\n"
    "TriggerSource Software, trigger it yourself once the acquisition runs\n"
    "(its subscription exists before the camera starts, so no frame is lost)::\n"
    "\n"
    "    cam.set_enum(\"TriggerSelector\", \"FrameStart\")\n"
    "    cam.set_enum(\"TriggerMode\", \"On\")\n"
    "    cam.set_enum(\"TriggerSource\", \"Software\")\n"
    "    with cam.start_acquisition() as acq:\n"
    "        for _ in range(10):\n"
    "            cam.execute(\"TriggerSoftware\")\n"
    "            frame = acq.wait_for(1.0)  # this trigger's frame, or None";

void bind_camera_acquisition(nb::class_<Camera>& cls) {
    cls.def(
        "start_acquisition",
        [](Camera& self, IntArg<std::uint16_t> channel, std::optional<IntArg<std::size_t>> n_buffers,
           std::optional<IntArg<std::uint16_t>> packet_size, std::optional<IntArg<std::uint32_t>> packet_delay,
           bool resend, std::optional<IntArg<std::size_t>> receive_buffer, const std::string& keep,
           const std::string& receive_path) {
            const Overflow overflow = keep_arg(keep);
            return start_acquisition(
                self, stream_args(channel, n_buffers, packet_size, packet_delay, resend, receive_buffer, receive_path),
                overflow);
        },
        nb::kw_only(), nb::arg("channel") = 0, nb::arg("n_buffers").none() = nb::none(),
        nb::arg("packet_size").none() = nb::none(), nb::arg("packet_delay").none() = nb::none(),
        nb::arg("resend") = true, nb::arg("receive_buffer").none() = nb::none(), nb::arg("keep") = "oldest",
        nb::arg("receive_path") = "auto", kStartAcquisitionDoc.c_str());
    cls.def_prop_ro(
        "aio", [](nb::handle self) { return nb::module_::import_("oculane.aio").attr("AsyncCamera")(self); },
        nb::sig("def aio(self) -> oculane.aio.AsyncCamera"),
        "The camera's awaitable forms (`oculane.aio.AsyncCamera`): `await\n"
        "cam.aio.connect()`, `await cam.aio.snap()`, `await cam.aio.get(name)`\n"
        "and the like run the blocking call in the event loop's executor.");
}

}  // namespace oculane::py
