// Log events into Python. The sink runs on whichever thread logs (a worker,
// or a caller holding the camera-state lock), so it never touches Python: it
// copies the event into a bounded channel and, when the channel is full,
// counts the event as dropped instead of waiting. A Python thread takes the
// events out (oculane.logging_bridge) with the interpreter lock released
// while it waits, and hands them to the logging module.
//
// Exposed privately on the core module; the public surface is the Python
// module.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "py/bindings.hpp"
#include "py/errors.hpp"
#include "py/int_arg.hpp"
#include "py/interpreter_lock.hpp"
#include "thread_util/mutex.hpp"
#include "util/channel.hpp"
#include "util/duration.hpp"
#include "util/log.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace oculane::py {

namespace {

struct Record {
    std::string target;
    log::Level level;
    std::string message;
    std::vector<log::Field> fields;
};

// The receiving end of the current (or last) bridge and its drop counter.
struct BridgeState {
    Receiver<Record> events;
    std::shared_ptr<std::atomic<std::uint64_t>> dropped = std::make_shared<std::atomic<std::uint64_t>>(0);
};

Mutex g_bridge_mutex;
BridgeState g_bridge OCULANE_GUARDED_BY(g_bridge_mutex);

void enable(int min_level, IntArg<std::size_t> capacity_arg) {
    const std::size_t capacity = capacity_arg.get("capacity");
    if (min_level < 0 || min_level > static_cast<int>(log::Level::Error))
        raise_value_error("level must be from 0 (trace) to 4 (error)");
    if (capacity == 0) raise_value_error("capacity must be at least 1");
    auto [tx, rx] = make_channel<Record>(capacity);
    auto dropped = std::make_shared<std::atomic<std::uint64_t>>(0);
    {
        MutexLock lock(g_bridge_mutex);
        g_bridge = BridgeState{std::move(rx), dropped};
    }
    // Replacing an earlier sink drops its sender, which lets a Python thread
    // still waiting on the old channel see it end.
    log::set_sink(
        [tx = std::move(tx), dropped](const log::Event& e) mutable {
            auto sent = tx.try_send(Record{std::string(e.target), e.level, e.message, e.fields});
            if (!sent) dropped->fetch_add(1, std::memory_order_relaxed);
        },
        static_cast<log::Level>(min_level));
}

void disable() { log::clear_sink(); }

// The next event as (target, level, message, [(name, value), ...]); None when
// nothing came within `timeout` seconds; False when the bridge is disabled
// and every event it queued has been taken.
nb::object next_event(double timeout) {
    const Duration wait = seconds_arg(timeout);
    Receiver<Record> events;
    {
        MutexLock lock(g_bridge_mutex);
        events = g_bridge.events;
    }
    std::expected<Record, RecvError> got = [&] {
        ReleasedInterpreter released;
        return events.recv_timeout(wait);
    }();
    if (!got) {
        if (got.error() == RecvError::Disconnected || !events) return nb::bool_(false);
        return nb::none();
    }
    nb::list fields;
    for (const auto& f : got->fields) fields.append(nb::make_tuple(f.name, f.value));
    return nb::make_tuple(got->target, static_cast<int>(got->level), got->message, fields);
}

std::uint64_t dropped() {
    MutexLock lock(g_bridge_mutex);
    return g_bridge.dropped->load(std::memory_order_relaxed);
}

}  // namespace

void bind_log_bridge(nb::module_& m) {
    m.def("_log_enable", &enable, "min_level"_a, "capacity"_a);
    m.def("_log_disable", &disable);
    m.def("_log_next", &next_event, "timeout"_a);
    m.def("_log_dropped", &dropped);
}

}  // namespace oculane::py
