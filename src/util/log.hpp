#pragma once
// Structured logging facade: target, level, message and named fields.
//
// No sink is installed by default. The enabled check is one relaxed atomic
// load, so a disabled event formats nothing; guard any formatting behind
// OCULANE_LOG or log::enabled(). A sink runs on whichever thread logs, which
// may be a worker or a thread that holds the camera-state lock: it must not
// block or call into Python (a bridge queues events and delivers them later).

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

namespace oculane::log {

enum class Level : std::uint8_t { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4, Off = 5 };

const char* level_name(Level level);

struct Field {
    std::string name;
    std::string value;
};

struct Event {
    std::string_view target;
    Level level;
    std::string message;
    std::vector<Field> fields;
};

using Sink = std::function<void(const Event&)>;

namespace detail {
extern std::atomic<std::uint8_t> g_min_level;
}

// True when an event at this level would reach a sink.
inline bool enabled(Level level) {
    return static_cast<std::uint8_t>(level) >=
           detail::g_min_level.load(std::memory_order_relaxed);
}

// Installs the process-wide sink, receiving events at min_level and above.
void set_sink(Sink sink, Level min_level = Level::Trace);
// Removes the sink; every later event is dropped at the enabled check.
void clear_sink();

// Delivers an event to the sink (call only after enabled() said yes; the
// macros below do that).
void emit(std::string_view target, Level level, std::string message,
          std::initializer_list<Field> fields = {});
// The same with fields gathered at run time.
void emit(std::string_view target, Level level, std::string message, std::vector<Field> fields);

// The targets used across the library.
inline constexpr std::string_view kPy = "oculane::py";
inline constexpr std::string_view kGige = "oculane::gige";
inline constexpr std::string_view kRunner = "oculane::gige::runner";
inline constexpr std::string_view kDiscovery = "oculane::gige::discovery";
inline constexpr std::string_view kStreamRunner = "oculane::gige::stream::runner";
inline constexpr std::string_view kGenicam = "oculane::genicam";
inline constexpr std::string_view kSnapshot = "oculane::genicam::snapshot";
inline constexpr std::string_view kThreadUtil = "oculane::thread_util";

}  // namespace oculane::log

// OCULANE_LOG(Level::Warn, log::kGige, "text {}", value): formats only when enabled.
#define OCULANE_LOG(level, target, ...)                                               \
    do {                                                                              \
        if (::oculane::log::enabled(level))                                           \
            ::oculane::log::emit((target), (level), ::fmt::format(__VA_ARGS__));      \
    } while (0)

// OCULANE_LOG_FIELDS(Level::Debug, log::kGige, "connected", {{"model", m}}): the
// fields are built only when enabled, since making their strings allocates.
#define OCULANE_LOG_FIELDS(level, target, message, ...)                               \
    do {                                                                              \
        if (::oculane::log::enabled(level))                                           \
            ::oculane::log::emit((target), (level), (message), __VA_ARGS__);          \
    } while (0)
