#pragma once
// Scheduling settings a worker applies to its own thread: pinning to one
// processor and FIFO real-time priority. Failing to apply them never stops a
// worker; it only logs.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

namespace oculane {

struct ThreadConfig {
    // Pin the thread to this one processor.
    std::optional<std::size_t> processor;
    // SCHED_FIFO priority; 0 or less leaves the scheduling unchanged.
    std::int32_t priority = 0;

    // Applies the settings to the calling thread and returns the text of the
    // first failure. A failed pinning skips the priority step.
    std::expected<void, std::string> apply() const;

    // apply(), with a failure logged at WARN as
    // "thread scheduling not applied: {}" (target "oculane::thread_util").
    // Each worker calls this first thing on its own thread.
    void apply_logged() const;

    bool operator==(const ThreadConfig&) const = default;
};

}  // namespace oculane
