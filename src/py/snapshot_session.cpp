// Camera.snap, Camera.snapshot_session and Python's SnapshotSession.
//
// Lock order: camera-state lock, then the session's state lock, then its
// busy-holder lock. A session snap holds the first two for the whole capture
// (feature calls from other threads wait until it ends), so the session's
// quick queries give up the interpreter lock before they take its state lock,
// and is_closed() reads a flag kept outside that lock.
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
    SessionCore(std::shared_ptr<CameraState> camera, SnapshotSession state, BusyToken busy)
        : camera(std::move(camera)), state(std::move(state)), busy(std::move(busy)) {}

    std::shared_ptr<CameraState> camera;

    // The feature-level session: saved mode, stream, subscription (capacity
    // 4) and the single-frame flag.
    std::mutex state_mutex;
    std::optional<SnapshotSession> state;  // guarded by state_mutex
    std::atomic<bool> closed{false};       // set when `state` is taken out

    BusyHolder busy;

    std::optional<SnapshotSession> take_state_locked() {
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
            std::lock_guard lock(core_->state_mutex);
            return core_->take_state_locked();
        }();
        if (!state) return;
        auto lock = lock_for_drop(*core_->camera);
        if (!lock.owns_lock()) {
            // Released unclosed, the session closes its stream and
            // subscription without touching any feature.
            OCULANE_LOG(Level::Warn, log::kPy, "snapshot session dropped while camera busy; mode not restored");
            state.reset();
            return;
        }
        state->close(core_->camera->camera);
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
    return PySnapshotSession(std::make_unique<SessionCore>(self.state, std::move(*opened), std::move(token)));
}

PyFrame session_snap(PySnapshotSession& self, double timeout) {
    SessionCore& s = self.core();
    std::variant<std::monostate, std::string, GenicamError> failure;  // ValueError text, or a camera error
    std::optional<FramePtr> frame;
    {
        nb::gil_scoped_release released;
        std::lock_guard camera_lock(s.camera->mutex);
        std::lock_guard state_lock(s.state_mutex);
        auto limit = duration_from_secs(timeout);
        if (!s.state) failure = std::string(kClosedMessage);
        else if (!limit) failure = std::move(limit.error());
        else if (auto r = s.state->snap(s.camera->camera, *limit); !r) failure = std::move(r.error());
        else frame = std::move(*r);
    }
    if (auto* text = std::get_if<std::string>(&failure)) raise_value_error(*text);
    if (auto* e = std::get_if<GenicamError>(&failure)) raise(*e);
    return PyFrame{std::move(*frame)};
}

void close_session(PySnapshotSession& self) {
    SessionCore& s = self.core();
    nb::gil_scoped_release released;
    std::lock_guard camera_lock(s.camera->mutex);
    {
        std::lock_guard state_lock(s.state_mutex);
        if (auto state = s.take_state_locked()) state->close(s.camera->camera);
    }
    s.busy.release();
}

// Runs `query` on the open stream, or raises "snapshot session is closed".
// The state lock may be held by a snap for seconds: wait for it without the
// interpreter lock.
template <class F>
auto with_stream(PySnapshotSession& self, F&& query) {
    std::optional<decltype(query(std::declval<const StreamChannel&>()))> result;
    {
        nb::gil_scoped_release released;
        std::lock_guard lock(self.core().state_mutex);
        if (self.core().state) result.emplace(query(*self.core().state->stream()));
    }
    if (!result) raise_value_error(kClosedMessage);
    return std::move(*result);
}

PyFrame camera_snap(Camera& self, double timeout, const StreamArgs& args) {
    BusyToken token = BusyToken::claim(self.busy, kBusySnap);
    // A bad timeout is refused before anything waits or touches the device.
    const Duration limit = seconds_arg(timeout);
    auto result = with_camera(self, [&](GenICamera& camera) { return camera.snap(stream_config(args), limit); });
    token.release();
    return PyFrame{unwrap(std::move(result))};
}

}  // namespace

void bind_snapshot_session(nb::module_& m) {
    nb::class_<PySnapshotSession> cls(
        m, "SnapshotSession",
        "An open stream channel dedicated to on-demand single-frame capture; the\n"
        "camera transmits only while a `snap()` is in flight. Use as a context\n"
        "manager or call `close()` to restore the camera's acquisition mode.");
    cls.def("snap", &session_snap, nb::arg("timeout") = 5.0);
    cls.def("close", &close_session,
            "Restore `AcquisitionMode`, unlock transport parameters, and close the\n"
            "stream channel. Idempotent.");
    cls.def("__enter__", [](PySnapshotSession& self) -> PySnapshotSession& { return self; },
            nb::rv_policy::reference);
    cls.def("__exit__", [](PySnapshotSession& self, nb::args) {
        close_session(self);
        return false;
    });
    cls.def("is_closed", [](PySnapshotSession& self) { return self.core().closed.load(std::memory_order_acquire); });
    cls.def("stats", [](PySnapshotSession& self) {
        return with_stream(self, [](const StreamChannel& s) { return s.stats(); });
    });
    cls.def("packet_size", [](PySnapshotSession& self) {
        return with_stream(self, [](const StreamChannel& s) { return s.packet_size(); });
    });
    cls.def("__repr__", [](PySnapshotSession& self) {
        return std::string("SnapshotSession(closed=") +
               (self.core().closed.load(std::memory_order_acquire) ? "True" : "False") + ")";
    });
}

void bind_camera_snaps(nb::class_<Camera>& cls) {
    cls.def(
        "snap",
        [](Camera& self, double timeout, std::uint16_t channel, std::size_t n_buffers,
           std::optional<std::uint16_t> packet_size, std::optional<std::uint32_t> packet_delay, bool resend) {
            return camera_snap(self, timeout, StreamArgs{channel, n_buffers, packet_size, packet_delay, resend});
        },
        nb::arg("timeout") = 5.0, nb::kw_only(), nb::arg("channel") = 0, nb::arg("n_buffers") = 8,
        nb::arg("packet_size").none() = nb::none(), nb::arg("packet_delay").none() = nb::none(),
        nb::arg("resend") = true);
    cls.def(
        "snapshot_session",
        [](Camera& self, std::uint16_t channel, std::size_t n_buffers, std::optional<std::uint16_t> packet_size,
           std::optional<std::uint32_t> packet_delay, bool resend) {
            return open_session(self, StreamArgs{channel, n_buffers, packet_size, packet_delay, resend});
        },
        nb::kw_only(), nb::arg("channel") = 0, nb::arg("n_buffers") = 8, nb::arg("packet_size").none() = nb::none(),
        nb::arg("packet_delay").none() = nb::none(), nb::arg("resend") = true);
}

}  // namespace oculane::py
