// Python Camera: construction, the busy slot, connect and disconnect, and the
// short state queries. Blocking work runs with the interpreter lock released;
// errors are raised only after it is taken back.
#include "py/camera.hpp"

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <thread>
#include <optional>
#include <variant>

#include <fmt/format.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "gige/proto/device_info.hpp"
#include "py/bindings.hpp"
#include "py/errors.hpp"
#include "py/int_arg.hpp"
#include "util/duration.hpp"
#include "util/log.hpp"

namespace nb = nanobind;

namespace oculane::py {

BusyToken BusyToken::claim(const std::shared_ptr<BusySlot>& slot, const char* label) {
    std::string busy_with;
    {
        MutexLock lock(slot->mutex);
        if (slot->label == nullptr) {
            slot->label = label;
            return BusyToken(slot);
        }
        busy_with = slot->label;
    }
    raise_value_error(fmt::format("camera is busy ({} in progress); stop it first", busy_with));
}

BusyToken& BusyToken::operator=(BusyToken&& other) noexcept {
    if (this != &other) {
        release();
        slot_ = std::move(other.slot_);
    }
    return *this;
}

void BusyToken::release() {
    if (!slot_) return;
    {
        MutexLock lock(slot_->mutex);
        slot_->label = nullptr;
    }
    slot_.reset();
}

std::string invalid_ip_message(std::string_view input) {
    std::string out = "invalid IP address: \"";
    for (unsigned char c : input) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F) out += fmt::format("\\x{:02x}", c);
                else out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

std::uint32_t heartbeat_millis(double seconds) {
    const double ms = seconds * 1000.0;
    if (!(ms > 0)) return 0;  // negative, zero and NaN
    if (ms >= 4294967295.0) return 4294967295u;
    return static_cast<std::uint32_t>(ms);
}

namespace {

gige::IpAddress parse_ip(const std::string& text) {
    auto ip = gige::IpAddress::parse(text);
    if (!ip) raise_value_error(invalid_ip_message(text));
    return *ip;
}

Camera make_camera(const std::string& ip, double gvcp_timeout, std::uint8_t retries, double heartbeat_timeout,
                   bool exclusive, const std::optional<std::string>& local_ip) {
    gige::GigESettings s;
    s.device = parse_ip(ip);
    s.ack_timeout = seconds_arg(gvcp_timeout);
    if (local_ip) s.local = parse_ip(*local_ip);
    s.retries = retries;
    s.heartbeat_timeout_ms = heartbeat_millis(heartbeat_timeout);
    s.exclusive = exclusive;
    return Camera(std::make_shared<CameraState>(std::move(s)));
}

// The connect itself, on a thread of its own so that the calling thread can
// look for signals while it runs: that thread never holds the camera-state
// lock, and this one never takes the interpreter lock.
// "oculane VirtualCamera (serial OCL7F000002) at 127.0.0.2"
std::string device_text(const CameraState& state, const DeviceInfo& info) {
    return fmt::format("{} {} (serial {}) at {}", info.manufacturer, info.model, info.serial, state.device_text);
}

void log_connected(const CameraState& state) OCULANE_REQUIRES(state.mutex) {
    if (!log::enabled(log::Level::Info)) return;
    const gige::Connection* c = state.camera.transport().connection();
    if (!c) return;
    const DeviceInfo& info = c->device_info();
    const std::string& source = state.camera.description_location();
    log::emit(log::kPy, log::Level::Info,
              fmt::format("connected to {}; feature model from {}", device_text(state, info), source),
              {{"device", fmt::format("{} {}", info.manufacturer, info.model)},
               {"serial", info.serial},
               {"address", state.device_text},
               {"description", source}});
}

Failure connect_with(CameraState& state, const std::atomic<bool>& interrupt) {
    MutexLock lock(state.mutex);
    const gige::WaitLimit limit{gige::Instant::max(), &interrupt};
    const bool was_connected = state.view->is_connected();
    Failure failure;
    if (auto r = state.camera.connect_transport(limit); !r) {
        failure = std::move(r.error());
    } else if (auto m = state.camera.ensure_model(limit); !m) {
        // The transport stays up: features then report the missing model.
        failure = std::move(m.error());
    } else if (!was_connected && !interrupt.load(std::memory_order_acquire)) {
        log_connected(state);
    }
    // An interrupted connect leaves nothing half made: no connection, no
    // control held.
    if (interrupt.load(std::memory_order_acquire)) state.camera.disconnect(std::chrono::milliseconds(500));
    return failure;
}

void connect(Camera& self) {
    BusyToken token = BusyToken::claim(self.busy, kBusyConnect);
    struct Shared {
        std::atomic<bool> interrupt{false};
        Mutex mutex;
        CondVar done_cv;
        bool done OCULANE_GUARDED_BY(mutex) = false;
        Failure failure;    // written by the connecting thread before `done`
    };
    auto shared = std::make_shared<Shared>();
    std::thread connecting([state = self.state, shared] {
        Failure failure = connect_with(*state, shared->interrupt);
        MutexLock lock(shared->mutex);
        shared->failure = std::move(failure);
        shared->done = true;
        shared->done_cv.notify_all();
    });
    // Waits with the interpreter lock released, 100 ms at a time, looking
    // for signals in between (Ctrl-C raises KeyboardInterrupt).
    auto wait_done = [&](std::chrono::milliseconds slice) {
        ReleasedInterpreter released;
        const auto until = std::chrono::steady_clock::now() + slice;
        UniqueLock lock(shared->mutex);
        while (!shared->done)
            if (shared->done_cv.wait_until(lock, until) == std::cv_status::timeout) break;
        return shared->done;
    };
    bool raised = false;
    while (!wait_done(std::chrono::milliseconds(100))) {
        if (PyErr_CheckSignals() != 0) {
            raised = true;
            shared->interrupt.store(true, std::memory_order_release);
            break;
        }
    }
    {
        ReleasedInterpreter released;
        connecting.join();
    }
    token.release();
    if (raised) throw nb::python_error();
    raise_if_failed(shared->failure);
}

void disconnect(Camera& self, double deadline) {
    BusyToken token = BusyToken::claim(self.busy, kBusyDisconnect);
    // A bad deadline is refused before anything waits or touches the device.
    const Duration limit = seconds_arg(deadline);
    with_camera(self, [&](GenICamera& camera) {
        std::optional<DeviceInfo> had;
        if (const gige::Connection* c = camera.transport().connection()) had = c->device_info();
        camera.disconnect(limit);
        if (had) OCULANE_LOG(log::Level::Info, log::kPy, "disconnected from {}", device_text(*self.state, *had));
    });
}

// The quick queries answer from the published link view: they never wait
// for the camera-state lock, which a connect may hold for long.
bool is_connected(Camera& self) { return self.state->view->is_connected(); }

DeviceInfo device_info(Camera& self) { return unwrap(self.state->view->device_info()); }

std::optional<gige::LinkStats> link_stats(Camera& self) { return self.state->view->link_stats(); }

Camera& enter(Camera& self) {
    if (!self.state->view->is_connected()) connect(self);
    return self;
}

bool exit_with(Camera& self, nb::handle exc_type, nb::handle, nb::handle) {
    if (exc_type.is_none()) {
        disconnect(self, 0.5);
        return false;
    }
    // The body's exception goes on; a disconnect that fails now (the camera
    // busy with an acquisition left running) must not take its place.
    try {
        disconnect(self, 0.5);
    } catch (const std::exception& e) {
        OCULANE_LOG(log::Level::Warn, log::kPy, "disconnect on leaving a with block failed: {}", e.what());
    }
    return false;
}

std::string repr(Camera& self) {
    return fmt::format("Camera({}, connected={})", self.state->device_text,
                       self.state->view->is_connected() ? "True" : "False");
}

}  // namespace

void bind_camera(nb::module_& m) {
    nb::class_<Camera> cls(m, "Camera",
                           "A connected GenICam camera shared behind a mutex, so sessions and\n"
                           "channels created from it stay valid while Python holds them.");
    cls.def(
           "__init__",
           [](Camera* self, const std::string& ip, double gvcp_timeout, IntArg<std::uint8_t> retries,
              double heartbeat_timeout, bool exclusive, std::optional<std::string> local_ip) {
               const std::uint8_t tries = retries.get("retries");
               new (self) Camera(make_camera(ip, gvcp_timeout, tries, heartbeat_timeout, exclusive, local_ip));
           },
           nb::arg("ip"), nb::kw_only(), nb::arg("gvcp_timeout") = 0.5, nb::arg("retries") = 4,
           nb::arg("heartbeat_timeout") = 3.0, nb::arg("exclusive") = false,
           nb::arg("local_ip").none() = nb::none(),
           "A camera at `ip` (an address, no port), not yet connected: nothing is\n"
           "sent until `connect()` or a `with` block.\n\n"
           "`gvcp_timeout`: seconds to wait for each acknowledge; `retries`: how\n"
           "often an unanswered command is sent again (0 to 255);\n"
           "`heartbeat_timeout`: seconds the camera keeps control for us without\n"
           "a heartbeat; `exclusive`: ask for exclusive instead of control\n"
           "access; `local_ip`: the local address to talk from.\n\n"
           "Raises ValueError for an address that does not parse, a negative or\n"
           "NaN timeout, or `retries` outside 0 to 255.\n\n"
           "    >>> with oculane.Camera(\"192.168.1.10\") as cam:\n"
           "    ...     print(cam[\"Width\"], cam.feature(\"ExposureTime\"))")
        .def("connect", &connect,
             "Take control of the camera and load its GenICam description (the\n"
             "feature model). Returns at once when already connected; Ctrl-C\n"
             "interrupts it and leaves nothing connected.\n\n"
             "Raises CameraException when the camera does not answer or refuses\n"
             "control (`kind` \"ConnectTimeout\", \"AccessDenied\", ...),\n"
             "GenicamException when its description cannot be loaded (the camera\n"
             "then stays connected), and ValueError while a snap, snapshot session\n"
             "or acquisition holds the camera.")
        .def("disconnect", &disconnect, nb::arg("deadline") = 0.5,
             "Give control back and stop the control worker, allowing it `deadline`\n"
             "seconds to shut down in order. Does nothing when not connected and\n"
             "never raises for transport trouble; ValueError while a snap, session\n"
             "or acquisition holds the camera.")
        .def("is_connected", &is_connected,
             "True while a connection exists and its control link is alive (False\n"
             "once the camera was lost, until the next `connect()`).")
        .def("device_info", &device_info,
             "The connected camera's identity record (`DeviceInfo`). Raises\n"
             "CameraException when not connected (`kind` \"NotConnected\") or after\n"
             "control was lost (\"ControlLost\").")
        .def("link_stats", &link_stats,
             "A copy of the control link's counters (`LinkStats`), or None when not\n"
             "connected. Reading does not reset them.")
        .def("__enter__", &enter, nb::rv_policy::reference,
             "Connect unless already connected, and return the camera:\n\n"
             "    >>> with oculane.Camera(\"192.168.1.10\") as cam:\n"
             "    ...     frame = cam.snap()")
        .def("__exit__", &exit_with, nb::arg("exc_type").none(), nb::arg("exc_value").none(),
             nb::arg("traceback").none(),
             nb::sig("def __exit__(self, exc_type: type[BaseException] | None, exc_value: BaseException | None, "
                     "traceback: types.TracebackType | None) -> bool"),
             "Disconnect. Never suppresses an exception of the `with` body, nor\n"
             "replaces it: a disconnect failing then is logged instead.")
        .def("__repr__", &repr);
    bind_camera_features(cls);
    bind_camera_tools(cls);
    bind_camera_generic_access(cls);
}

void bind_link_stats(nb::module_& m) {
    using gige::LinkStats;
    nb::class_<LinkStats>(m, "LinkStats", "Control-channel counters.")
        .def_ro("commands", &LinkStats::commands,
                "Commands sent (each chunk of a memory transfer counts; resends do not).")
        .def_ro("acks", &LinkStats::acks, "Acknowledges that answered the command in flight.")
        .def_ro("retries", &LinkStats::retries, "Commands sent again because no acknowledge came in time.")
        .def_ro("timeouts", &LinkStats::timeouts, "Commands given up: no acknowledge came and no tries were left.")
        .def_ro("naks", &LinkStats::naks, "Acknowledges with an error status (the camera refused).")
        .def_ro("pending_acks", &LinkStats::pending_acks,
                "Pending acknowledges: the camera asked for more time to answer.")
        .def_ro("heartbeats", &LinkStats::heartbeats, "Heartbeats the camera acknowledged (control kept).")
        .def_ro("events", &LinkStats::events, "Event messages received from the camera.")
        .def_ro("unsolicited", &LinkStats::unsolicited,
                "Acknowledges of nothing in flight, or of another request (late ones).")
        .def("__repr__", &LinkStats::to_string);
}

}  // namespace oculane::py
