// Camera.snap, Camera.snapshot_session and Python's SnapshotSession.
//
// Lock order: a session's snap lock, then the camera-state lock, then the
// session's state lock, then its busy-holder lock, then the busy slot. A snap
// (of a session, or Camera.snap) holds the camera-state lock only to start
// and to finish: while it waits for its frame it holds neither that lock nor
// the session's state lock, so that it can take the interpreter lock to run
// signal handlers (Ctrl-C) every 100 ms; a thread holding the camera-state
// lock never takes the interpreter lock. What keeps other long operations out
// meanwhile is the busy slot (Camera.snap's token, or the session's), and the
// session's snap lock keeps its snaps one at a time. A session closed by
// another thread during the wait ends the wait (its subscription
// disconnects); the snap then still stops the camera it started. The state
// lock is held only for a few steps at a time, but the quick queries still
// give up the interpreter lock before they take it, and is_closed() reads a
// flag kept outside it.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "genicam/snapshot.hpp"
#include "gige/stream/stream_stats.hpp"
#include "py/bindings.hpp"
#include "py/errors.hpp"
#include "py/stream.hpp"
#include "util/log.hpp"

namespace nb = nanobind;

namespace oculane::py {

namespace {

using log::Level;

constexpr const char* kClosedMessage = "snapshot session is closed";

struct SessionCore {
    SessionCore(std::shared_ptr<CameraState> cam, SnapshotSession session, BusyToken token)
        : camera(std::move(cam)), state(std::move(session)), busy(std::move(token)) {}

    std::shared_ptr<CameraState> camera;

    // One snap at a time; taken before the camera-state lock, waited for with
    // the interpreter lock released (a snap holds it while it waits).
    TimedMutex snap_mutex;

    // The feature-level session: saved mode, stream, subscription (capacity
    // 4) and the single-frame flag.
    Mutex state_mutex;
    std::optional<SnapshotSession> state OCULANE_GUARDED_BY(state_mutex);
    // A snap started the camera and has not finished: a close meanwhile
    // leaves the busy token to that snap, so that no other operation can
    // start before the snap has stopped the camera.
    bool snapping OCULANE_GUARDED_BY(state_mutex) = false;
    std::atomic<bool> closed{false};       // set when `state` is taken out
    // For the chunk data of its frames: copied at the first snap.
    std::shared_ptr<DataModel> model OCULANE_GUARDED_BY(state_mutex);
    bool model_made OCULANE_GUARDED_BY(state_mutex) = false;

    BusyHolder busy;

    std::optional<SnapshotSession> take_state_locked() OCULANE_REQUIRES(state_mutex) {
        std::optional<SnapshotSession> out(std::move(state));
        state.reset();
        closed.store(true, std::memory_order_release);
        return out;
    }
};

}  // namespace

// Python's SnapshotSession. Movable only so that it can be handed to Python.
class PySnapshotSession {
public:
    explicit PySnapshotSession(std::unique_ptr<SessionCore> core) : core_(std::move(core)) {}
    PySnapshotSession(PySnapshotSession&&) noexcept = default;
    PySnapshotSession& operator=(PySnapshotSession&&) = delete;
    ~PySnapshotSession() {
        if (!core_) return;
        without_interpreter_lock([&] {
            drop();
            core_.reset();
        });
    }

    SessionCore& core() { return *core_; }

private:
    // Releasing a session that is still open: restore the camera when its
    // lock can be had within 200 ms, else only close the stream.
    void drop() {
        std::optional<SnapshotSession> state = [&] {
            MutexLock lock(core_->state_mutex);
            return core_->take_state_locked();
        }();
        if (!state) return;
        log_stream_ended("snapshot session closed", *state->stream());
        if (!lock_for_drop(*core_->camera)) {
            // Released unclosed, the session closes its stream and
            // subscription without touching any feature.
            OCULANE_LOG(Level::Warn, log::kPy, "snapshot session dropped while camera busy; mode not restored");
            state->abandon(drop_traffic_limit().deadline);
            return;
        }
        MutexLock lock(core_->camera->mutex, AdoptLock{});
        state->close(core_->camera->camera, drop_traffic_limit());
    }

    std::unique_ptr<SessionCore> core_;
};

namespace {

PySnapshotSession open_session(Camera& self, const StreamArgs& args) {
    BusyToken token = BusyToken::claim(self.busy, kBusySnapshotSession);
    auto opened = with_camera(
        self, [&](GenICamera& camera) { return SnapshotSession::open(camera, stream_config(args), log::kPy); });
    if (!opened) {
        token.release();
        raise(opened.error());
    }
    log_stream_opened("snapshot session opened", *opened->stream(), args.n_buffers);
    return PySnapshotSession(std::make_unique<SessionCore>(self.state, std::move(*opened), std::move(token)));
}

// Takes a session's snap lock, waiting in slices with the interpreter lock
// released and running signal handlers in between (the holder may wait
// seconds for its frame).
// The caller lets go of it (MutexLock with AdoptLock).
void lock_snaps(SessionCore& s) OCULANE_ACQUIRE(s.snap_mutex) {
    for (;;) {
        {
            ReleasedInterpreter released;
            if (s.snap_mutex.try_lock_for(std::chrono::milliseconds(100))) return;
        }
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }
}

PyFrame session_snap(PySnapshotSession& self, double timeout) {
    SessionCore& s = self.core();
    std::variant<std::monostate, std::string, GenicamError> failure;  // ValueError text, or a camera error
    lock_snaps(s);
    MutexLock snaps(s.snap_mutex, AdoptLock{});
    std::optional<PendingSnap> pending;
    std::shared_ptr<DataModel> model;
    Duration limit{};
    {
        ReleasedInterpreter released;
        MutexLock camera_lock(s.camera->mutex);
        MutexLock state_lock(s.state_mutex);
        auto converted = duration_from_secs(timeout);
        if (!s.state) failure = std::string(kClosedMessage);
        else if (!converted) failure = std::move(converted.error());
        else if (auto r = s.state->start_snap(s.camera->camera); !r) failure = std::move(r.error());
        else {
            limit = *converted;
            pending.emplace(std::move(*r));
            s.snapping = true;
            if (!std::exchange(s.model_made, true)) s.model = data_model_of(s.camera->camera);
            model = s.model;
        }
    }
    std::optional<FramePtr> frame;
    std::optional<SnapWait> waited;
    if (pending) {
        waited.emplace(wait_for_snap(pending->frames, limit));
        ReleasedInterpreter released;
        MutexLock camera_lock(s.camera->mutex);
        UniqueLock state_lock(s.state_mutex);
        const bool closed_meanwhile = !s.state;
        auto r = SnapshotSession::finish_snap(s.camera->camera, *pending, std::move(waited->frame));
        s.snapping = false;
        state_lock.unlock();
        if (closed_meanwhile) s.busy.release();  // the close left it to us
        if (r) frame = std::move(*r);
        else if (closed_meanwhile && r.error().is<genicam_error::SnapTimeout>()) failure = std::string(kClosedMessage);
        else failure = std::move(r.error());
    }
    if (waited && waited->interrupt) throw std::move(*waited->interrupt);
    if (auto* text = std::get_if<std::string>(&failure)) raise_value_error(*text);
    if (auto* e = std::get_if<GenicamError>(&failure)) raise(*e);
    return PyFrame{std::move(*frame), std::move(model)};
}

void close_session(PySnapshotSession& self) {
    SessionCore& s = self.core();
    ReleasedInterpreter released;
    MutexLock camera_lock(s.camera->mutex);
    bool snapping = false;
    {
        MutexLock state_lock(s.state_mutex);
        if (auto state = s.take_state_locked()) {
            log_stream_ended("snapshot session closed", *state->stream());
            state->close(s.camera->camera);
        }
        snapping = s.snapping;
    }
    if (!snapping) s.busy.release();
}

// Runs `query` on the open stream, or raises "snapshot session is closed".
// The state lock may be held by a snap for seconds: wait for it without the
// interpreter lock.
template <class F>
auto with_stream(PySnapshotSession& self, F&& query) {
    std::optional<decltype(query(std::declval<const StreamChannel&>()))> result;
    {
        ReleasedInterpreter released;
        MutexLock lock(self.core().state_mutex);
        if (self.core().state) result.emplace(query(*self.core().state->stream()));
    }
    if (!result) raise_value_error(kClosedMessage);
    return std::move(*result);
}

// The facade's single-frame capture, with the camera-state lock released
// while it waits (see the lock notes above); the busy token keeps other long
// operations out meanwhile.
PyFrame camera_snap(Camera& self, double timeout, const StreamArgs& args) {
    BusyToken token = BusyToken::claim(self.busy, kBusySnap);
    // A bad timeout is refused before anything waits or touches the device.
    const Duration limit = seconds_arg(timeout);
    std::optional<SnapshotSession> session;
    std::optional<PendingSnap> pending;
    std::shared_ptr<DataModel> model;
    std::optional<GenicamError> failure;
    {
        ReleasedInterpreter released;
        MutexLock lock(self.state->mutex);
        GenICamera& camera = self.state->camera;
        if (auto opened = SnapshotSession::open(camera, stream_config(args)); !opened) {
            failure = std::move(opened.error());
        } else if (auto started = opened->start_snap(camera); !started) {
            failure = std::move(started.error());
            opened->close(camera);
        } else {
            session.emplace(std::move(*opened));
            pending.emplace(std::move(*started));
            model = data_model_of(camera);
        }
    }
    std::optional<FramePtr> frame;
    std::optional<SnapWait> waited;
    if (pending) {
        waited.emplace(wait_for_snap(pending->frames, limit));
        ReleasedInterpreter released;
        MutexLock lock(self.state->mutex);
        auto r = SnapshotSession::finish_snap(self.state->camera, *pending, std::move(waited->frame));
        session->close(self.state->camera);
        if (r) frame = std::move(*r);
        else failure = std::move(r.error());
    }
    token.release();
    if (waited && waited->interrupt) throw std::move(*waited->interrupt);
    if (failure) raise(*failure);
    return PyFrame{std::move(*frame), std::move(model)};
}

}  // namespace

void bind_snapshot_session(nb::module_& m) {
    nb::class_<PySnapshotSession> cls(
        m, "SnapshotSession",
        "An open stream channel dedicated to on-demand single-frame capture; the\n"
        "camera transmits only while a `snap()` is in flight. Use as a context\n"
        "manager or call `close()` to restore the camera's acquisition mode.");
    cls.def("snap", &session_snap, nb::arg("timeout") = 5.0,
            "Take one frame: start the camera, wait at most `timeout` seconds for\n"
            "its frame, and have it stopped again. Ctrl-C ends the wait. Raises\n"
            "GenicamException (`kind` \"SnapTimeout\") when no frame came (the\n"
            "session stays usable) and ValueError once the session is closed.\n"
            "\n"
            "In trigger mode: a FrameStart or AcquisitionStart trigger that is On\n"
            "with TriggerSource Software is executed by the snap (TriggerSoftware)\n"
            "once the camera is started; one on a line or an action is waited for\n"
            "within `timeout`. The trigger settings are read at every snap.");
    cls.def("close", &close_session,
            "Restore `AcquisitionMode`, unlock transport parameters, and close the\n"
            "stream channel. Idempotent.");
    cls.def("__enter__", [](PySnapshotSession& self) -> PySnapshotSession& { return self; },
            nb::rv_policy::reference, "Return the session itself.");
    cls.def(
        "__exit__",
        [](PySnapshotSession& self, nb::args) {
            close_session(self);
            return false;
        },
        "`close()`; an exception of the `with` body is never suppressed.");
    cls.def(
        "is_closed", [](PySnapshotSession& self) { return self.core().closed.load(std::memory_order_acquire); },
        "True once closed.");
    cls.def(
        "stats",
        [](PySnapshotSession& self) { return with_stream(self, [](const StreamChannel& s) { return s.stats(); }); },
        "A copy of the stream's counters now (`StreamStats`). ValueError once\n"
        "closed.");
    cls.def(
        "packet_size",
        [](PySnapshotSession& self) {
            return with_stream(self, [](const StreamChannel& s) { return s.packet_size(); });
        },
        "The GVSP packet size in force on the stream, in bytes. ValueError once\n"
        "closed.");
    cls.def(
        "receive_path",
        [](PySnapshotSession& self) {
            return std::string(
                with_stream(self, [](const StreamChannel& s) { return receive_path_name(s.receive_path()); }));
        },
        "Where the stream's packets are read from: \"ring\" or \"socket\".\n"
        "ValueError once closed.");
    cls.def("__repr__", [](PySnapshotSession& self) {
        return std::string("SnapshotSession(closed=") +
               (self.core().closed.load(std::memory_order_acquire) ? "True" : "False") + ")";
    });
}

const std::string kSnapDoc =
    std::string("Take one frame: open a stream, trigger, wait at most `timeout` seconds,\n"
                "and put the camera back. Ctrl-C ends the wait at once.\n"
                "\n"
                "In trigger mode: a FrameStart or AcquisitionStart trigger that is On\n"
                "with TriggerSource Software is executed by the snap (TriggerSoftware)\n"
                "once the stream is ready and the camera started; one whose source is\n"
                "a line or an action is waited for within `timeout`, e.g.::\n"
                "\n"
                "    cam.set_enum(\"TriggerMode\", \"On\")\n"
                "    cam.set_enum(\"TriggerSource\", \"Line0\")\n"
                "    frame = cam.snap(10.0)  # the frame of the next pulse on Line0\n\n") +
    kReceiveBufferDoc +
    "\nFor a snap \"auto\" means the socket: opening a ring takes longer than\n"
    "the one frame it would save on.";
const std::string kSessionDoc =
    std::string("Open a stream for on-demand single frames (see `SnapshotSession`).\n") + kReceiveBufferDoc;

void bind_camera_snaps(nb::class_<Camera>& cls) {
    cls.def(
        "snap",
        [](Camera& self, double timeout, IntArg<std::uint16_t> channel, IntArg<std::size_t> n_buffers,
           std::optional<IntArg<std::uint16_t>> packet_size, std::optional<IntArg<std::uint32_t>> packet_delay,
           bool resend, std::optional<IntArg<std::size_t>> receive_buffer, const std::string& receive_path) {
            StreamArgs args =
                stream_args(channel, n_buffers, packet_size, packet_delay, resend, receive_buffer, receive_path);
            // Opening a ring costs more than the socket path saves on one frame.
            if (args.receive_path == ReceivePath::Auto) args.receive_path = ReceivePath::Socket;
            return camera_snap(self, timeout, args);
        },
        nb::arg("timeout") = 5.0, nb::kw_only(), nb::arg("channel") = 0, nb::arg("n_buffers") = stream_defaults::kBuffers,
        nb::arg("packet_size").none() = nb::none(), nb::arg("packet_delay").none() = nb::none(),
        nb::arg("resend") = true, nb::arg("receive_buffer").none() = nb::none(), nb::arg("receive_path") = "auto",
        kSnapDoc.c_str());
    cls.def(
        "snapshot_session",
        [](Camera& self, IntArg<std::uint16_t> channel, IntArg<std::size_t> n_buffers,
           std::optional<IntArg<std::uint16_t>> packet_size, std::optional<IntArg<std::uint32_t>> packet_delay,
           bool resend, std::optional<IntArg<std::size_t>> receive_buffer, const std::string& receive_path) {
            return open_session(self, stream_args(channel, n_buffers, packet_size, packet_delay, resend,
                                                  receive_buffer, receive_path));
        },
        nb::kw_only(), nb::arg("channel") = 0, nb::arg("n_buffers") = stream_defaults::kBuffers, nb::arg("packet_size").none() = nb::none(),
        nb::arg("packet_delay").none() = nb::none(), nb::arg("resend") = true,
        nb::arg("receive_buffer").none() = nb::none(), nb::arg("receive_path") = "auto", kSessionDoc.c_str());
}

}  // namespace oculane::py
