// Python Event and EventSubscription, and Camera.events: device events from
// the message channel, named and evaluated through the description's event
// nodes without device traffic.
//
// The control worker hands each event to the subscription's bounded queue
// without waiting: a full queue loses the event (counted in `lost`), so a
// slow consumer never holds the worker up. Waits release the interpreter
// lock and come back for it every 100 ms to run signal handlers.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "genicam/data_model.hpp"
#include "gige/proto/bootstrap.hpp"
#include "py/bindings.hpp"
#include "py/camera.hpp"
#include "py/errors.hpp"
#include "py/int_arg.hpp"
#include "py/interpreter_lock.hpp"
#include "py/stream.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace oculane::py {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSliceLength = std::chrono::milliseconds(100);

struct PyEvent {
    GvcpEvent event;
    std::shared_ptr<DataModel> model;
    std::string name;
};

struct SubscriptionCore {
    std::shared_ptr<CameraState> camera;
    Receiver<GvcpEvent> events;
    std::shared_ptr<DataModel> model;
    std::shared_ptr<std::atomic<std::uint64_t>> lost = std::make_shared<std::atomic<std::uint64_t>>(0);
    std::vector<std::string> enabled;  // notifications this subscription switched on
    Mutex mutex;
    bool closed OCULANE_GUARDED_BY(mutex) = false;
};

struct PyEventSubscription {
    std::shared_ptr<SubscriptionCore> core;
};

PyEvent make_event(SubscriptionCore& c, GvcpEvent e) {
    std::string name = c.model ? c.model->event_name(e.event_id) : std::string();
    return PyEvent{std::move(e), c.model, std::move(name)};
}

// The next event within `timeout` seconds (none: without limit); nothing on
// timeout or once the subscription has ended and is drained.
std::optional<PyEvent> wait_event(SubscriptionCore& c, std::optional<double> timeout) {
    if (auto e = c.events.try_recv()) return make_event(c, std::move(*e));
    const auto deadline = timeout ? Clock::now() + seconds_arg(*timeout) : Clock::time_point::max();
    for (;;) {
        std::expected<GvcpEvent, RecvError> got = std::unexpected(RecvError::Timeout);
        {
            ReleasedInterpreter released;
            got = c.events.recv_deadline(std::min(deadline, Clock::now() + kSliceLength));
        }
        if (got) return make_event(c, std::move(*got));
        if (got.error() == RecvError::Disconnected) return std::nullopt;
        if (Clock::now() >= deadline) return std::nullopt;
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }
}

// Writes the message channel registers and switches on the named events;
// the camera-state lock is held.
GenicamResult<void> configure(GenICamera& camera, const std::vector<std::string>& names,
                              std::optional<std::uint32_t> timeout_ms, std::optional<std::uint32_t> retries) {
    auto* connection = camera.transport().connection();
    if (!connection) return std::unexpected(GenicamError::transport(CameraError::not_connected()));
    const auto& port = connection->port();
    const auto local = connection->local_address();
    std::vector<std::pair<std::uint32_t, std::uint32_t>> writes = {
        {bootstrap::kMessageChannelDestination, local.ip}, {bootstrap::kMessageChannelPort, local.port}};
    if (timeout_ms) writes.emplace_back(bootstrap::kMessageChannelTimeout, *timeout_ms);
    if (retries) writes.emplace_back(bootstrap::kMessageChannelRetries, *retries);
    for (const auto& [address, value] : writes)
        if (auto r = port.write_register(address, value, gige::WaitLimit{}); !r)
            return std::unexpected(GenicamError::transport(std::move(r.error())));
    for (const auto& name : names) {
        if (auto r = camera.set_enum("EventSelector", name); !r) return r;
        if (auto r = camera.set_enum("EventNotification", "On"); !r) return r;
    }
    return {};
}

PyEventSubscription subscribe(Camera& self, std::vector<std::string> names, std::size_t capacity,
                              std::optional<double> ack_timeout, std::optional<std::uint32_t> retries) {
    std::optional<std::uint32_t> timeout_ms;
    if (ack_timeout) timeout_ms = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(seconds_arg(*ack_timeout)).count());
    auto core = std::make_shared<SubscriptionCore>();
    core->camera = self.state;
    std::optional<GenicamError> failure;
    {
        ReleasedInterpreter released;
        MutexLock lock(self.state->mutex);
        GenICamera& camera = self.state->camera;
        auto [sender, receiver] = make_channel<GvcpEvent>(std::max<std::size_t>(capacity, 1));
        core->events = std::move(receiver);
        core->model = data_model_of(camera);
        auto* connection = camera.transport().connection();
        // Subscribed first, so that no event of the switched-on ones is missed.
        if (!connection || !connection->port().subscribe(std::move(sender), core->lost)) {
            failure = GenicamError::transport(CameraError::not_connected());
        } else if (auto r = configure(camera, names, timeout_ms, retries); !r) {
            failure = std::move(r.error());
        } else {
            core->enabled = std::move(names);
        }
    }
    if (failure) raise(*failure);
    return PyEventSubscription{std::move(core)};
}

void close(PyEventSubscription& self) {
    auto& c = *self.core;
    std::vector<std::string> enabled;
    {
        MutexLock lock(c.mutex);
        if (c.closed) return;
        c.closed = true;
        enabled.swap(c.enabled);
    }
    std::optional<GenicamError> failure;
    {
        ReleasedInterpreter released;
        MutexLock lock(c.camera->mutex);
        // Drops the queue: the worker forgets it at the next event.
        c.events = Receiver<GvcpEvent>();
        for (const auto& name : enabled) {
            if (auto r = c.camera->camera.set_enum("EventSelector", name); !r) failure = std::move(r.error());
            else if (auto r2 = c.camera->camera.set_enum("EventNotification", "Off"); !r2)
                failure = std::move(r2.error());
        }
    }
    if (failure) raise(*failure);
}

nb::object event_value(const PyEvent& self, const std::string& name) {
    if (!self.model) raise(GenicamError::unavailable(name, "the camera's description defines no event data"), name);
    GenicamResult<DataValue> value = std::unexpected(GenicamError::feature_not_found(name));
    {
        ReleasedInterpreter released;
        EventPortData data(self.event.event_id, self.event.raw);
        value = self.model->value(name, data);
    }
    if (!value) raise(value.error(), name);
    return data_value_to_python(*value);
}

nb::dict event_values(const PyEvent& self) {
    nb::dict out;
    if (!self.model) return out;
    std::vector<std::pair<std::string, DataValue>> values;
    {
        ReleasedInterpreter released;
        EventPortData data(self.event.event_id, self.event.raw);
        values = self.model->event_values(data, self.event.event_id);
    }
    return data_values_to_python(values);
}

nb::bytes as_bytes(const std::vector<std::uint8_t>& v) {
    return nb::bytes(reinterpret_cast<const char*>(v.data()), v.size());
}

}  // namespace

void bind_events(nb::module_& m) {
    nb::class_<PyEvent>(m, "Event",
                        "One event the camera sent on its message channel (GVCP EVENT or\n"
                        "EVENTDATA).")
        .def_prop_ro("id", [](const PyEvent& e) { return e.event.event_id; }, "The event id the camera sent.")
        .def_prop_ro("name", [](const PyEvent& e) { return e.name; },
                     "The event's name from the camera's description (e.g. \"ExposureEnd\"),\n"
                     "or \"\" when the description names no event of this id.")
        .def_prop_ro("timestamp", [](const PyEvent& e) { return e.event.timestamp; },
                     "Device time of the event in the camera's timestamp ticks.")
        .def_prop_ro("stream_channel", [](const PyEvent& e) { return e.event.stream_channel; },
                     "The stream channel the event concerns (0xFFFF: none).")
        .def_prop_ro("block_id", [](const PyEvent& e) { return e.event.block_id; },
                     "The block id (frame) the event concerns, 16 bits (0: none).")
        .def_prop_ro("data", [](const PyEvent& e) { return as_bytes(e.event.data); },
                     "The event's data: the bytes after its 16-byte header (empty for an\n"
                     "EVENT without data).")
        .def_prop_ro("raw", [](const PyEvent& e) { return as_bytes(e.event.raw); },
                     "The whole event as received after the GVCP header: header and data.")
        .def("value", &event_value, "name"_a, nb::sig("def value(self, name: str) -> int | float | bool | str"),
             "The value of an event data feature (e.g. \"EventExposureEndFrameID\")\n"
             "evaluated against this event's bytes, without device traffic. Raises\n"
             "GenicamException when the name is unknown or is not data of this event.")
        .def("values", &event_values, nb::sig("def values(self) -> dict[str, int | float | bool | str]"),
             "Every data feature of this event by name, with its value.")
        .def("__repr__", [](const PyEvent& e) {
            return fmt::format("Event(id={:#06x}, name='{}', timestamp={}, block_id={})", e.event.event_id, e.name,
                               e.event.timestamp, e.event.block_id);
        });

    nb::class_<PyEventSubscription> sub(
        m, "EventSubscription",
        "Events from one camera, in arrival order, from a bounded queue. When the\n"
        "queue is full new events are lost and counted in `lost`: a slow consumer\n"
        "never holds up the camera's control channel. Iterate it (with `for` or\n"
        "`async for`), or call `wait_for` / `try_recv`; close it (or leave its\n"
        "`with` block) to stop receiving and switch off the events it switched on.");
    sub.def(
        "wait_for",
        [](PyEventSubscription& self, double timeout) { return wait_event(*self.core, timeout); },
        "timeout"_a = 1.0,
        "The next event, waiting at most `timeout` seconds; None when none came\n"
        "in time or the connection has ended. Ctrl-C ends the wait.");
    sub.def(
        "try_recv",
        [](PyEventSubscription& self) -> std::optional<PyEvent> {
            auto e = self.core->events.try_recv();
            if (!e) return std::nullopt;
            return make_event(*self.core, std::move(*e));
        },
        "The next queued event, or None, without waiting.");
    sub.def("__iter__", [](PyEventSubscription& self) -> PyEventSubscription& { return self; },
            nb::rv_policy::reference, "The subscription itself: iteration waits for each next event.");
    sub.def(
        "__next__",
        [](PyEventSubscription& self) {
            auto e = wait_event(*self.core, std::nullopt);
            if (!e) throw nb::stop_iteration();
            return std::move(*e);
        },
        "The next event; the iteration ends with the connection or `close()`.");
    sub.def_prop_ro(
        "lost", [](PyEventSubscription& self) { return self.core->lost->load(std::memory_order_relaxed); },
        "Events lost because the queue was full.");
    sub.def_prop_ro(
        "closed",
        [](PyEventSubscription& self) {
            MutexLock lock(self.core->mutex);
            return self.core->closed;
        },
        "True once `close()` ran.");
    sub.def("close", &close,
            "Stop receiving and switch off the events this subscription switched\n"
            "on. Idempotent.");
    sub.def("__enter__", [](PyEventSubscription& self) -> PyEventSubscription& { return self; },
            nb::rv_policy::reference, "Return the subscription itself.");
    sub.def(
        "__exit__",
        [](PyEventSubscription& self, nb::args) {
            close(self);
            return false;
        },
        "`close()`; an exception of the `with` body is never suppressed.");
    // asyncio: each wait runs in the loop's executor (oculane.events).
    sub.def("__aiter__", [](PyEventSubscription& self) -> PyEventSubscription& { return self; },
            nb::rv_policy::reference, "`async for event in ...`: events as they arrive, until `close()`.");
    sub.def(
        "__anext__",
        [](nb::handle self) { return nb::module_::import_("oculane.events").attr("anext_event")(self); },
        nb::sig("def __anext__(self) -> collections.abc.Awaitable[Event]"),
        "Awaitable: the next event; StopAsyncIteration once the subscription is\n"
        "closed and nothing is queued.");
}

void bind_camera_events(nb::class_<Camera>& cls) {
    cls.def(
        "events",
        [](Camera& self, nb::args names, IntArg<std::size_t> capacity, std::optional<double> ack_timeout,
           std::optional<IntArg<std::uint32_t>> retries) {
            std::vector<std::string> list;
            for (nb::handle n : names) list.push_back(nb::cast<std::string>(n));
            return subscribe(self, std::move(list), capacity.get("capacity"), ack_timeout,
                             retries ? std::optional<std::uint32_t>(retries->get("retries")) : std::nullopt);
        },
        "names"_a, nb::kw_only(), "capacity"_a = 64, "ack_timeout"_a.none() = nb::none(),
        "retries"_a.none() = nb::none(),
        nb::sig("def events(self, *names: str, capacity: int = 64, ack_timeout: float | None = None, "
                "retries: int | None = None) -> EventSubscription"),
        "Subscribe to the camera's events and return an `EventSubscription` that\n"
        "queues up to `capacity` of them. The camera's message channel is pointed\n"
        "at this host (with `ack_timeout` seconds and `retries` for its resends\n"
        "when given), and each named event (e.g. \"ExposureEnd\") is switched on\n"
        "through EventSelector and EventNotification. The subscription receives\n"
        "every event the camera sends, switched on here or elsewhere.");
    // A Python thread calls back, never the control worker (oculane.events).
    cls.def(
        "on_event",
        [](nb::handle self, const std::string& name, nb::callable callback, nb::object capacity) {
            return nb::module_::import_("oculane.events")
                .attr("on_event")(self, name, callback, "capacity"_a = capacity);
        },
        "name"_a, "callback"_a, nb::kw_only(), "capacity"_a = 64,
        nb::sig("def on_event(self, name: str, callback: collections.abc.Callable[[Event], object], *, "
                "capacity: int = 64) -> oculane.EventCallback"),
        "Switch the event `name` on and call `callback(event)` for each event\n"
        "of that name on a thread the library owns (never the control worker),\n"
        "and return its `EventCallback` handle: `close()` (or leaving its `with`\n"
        "block) stops the thread and switches the event off. An exception of\n"
        "the callback is kept in `errors` and the thread goes on.");
}

}  // namespace oculane::py
