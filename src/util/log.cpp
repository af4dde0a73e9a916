#include "thread_util/mutex.hpp"
#include "util/log.hpp"

#include <memory>
#include <mutex>

namespace oculane::log {

namespace detail {
std::atomic<std::uint8_t> g_min_level{static_cast<std::uint8_t>(Level::Off)};
}

namespace {
Mutex g_sink_mutex;
std::shared_ptr<const Sink> g_sink OCULANE_GUARDED_BY(g_sink_mutex);
}  // namespace

const char* level_name(Level level) {
    switch (level) {
        case Level::Trace: return "TRACE";
        case Level::Debug: return "DEBUG";
        case Level::Info: return "INFO";
        case Level::Warn: return "WARN";
        case Level::Error: return "ERROR";
        case Level::Off: return "OFF";
    }
    return "?";
}

void set_sink(Sink sink, Level min_level) {
    MutexLock lock(g_sink_mutex);
    // An empty function would throw on the first event; treat it as no sink.
    if (!sink) {
        g_sink.reset();
        detail::g_min_level.store(static_cast<std::uint8_t>(Level::Off), std::memory_order_relaxed);
        return;
    }
    g_sink = std::make_shared<const Sink>(std::move(sink));
    detail::g_min_level.store(static_cast<std::uint8_t>(min_level), std::memory_order_relaxed);
}

void clear_sink() {
    MutexLock lock(g_sink_mutex);
    detail::g_min_level.store(static_cast<std::uint8_t>(Level::Off), std::memory_order_relaxed);
    g_sink.reset();
}

void emit(std::string_view target, Level level, std::string message,
          std::initializer_list<Field> fields) {
    emit(target, level, std::move(message), std::vector<Field>(fields));
}

void emit(std::string_view target, Level level, std::string message, std::vector<Field> fields) {
    std::shared_ptr<const Sink> sink;
    {
        MutexLock lock(g_sink_mutex);
        sink = g_sink;
    }
    // The sink is called outside the mutex so that it may log or replace itself.
    if (!sink || !enabled(level)) return;
    (*sink)(Event{target, level, std::move(message), std::move(fields)});
}

}  // namespace oculane::log
