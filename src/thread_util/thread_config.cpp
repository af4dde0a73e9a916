#include "thread_util/thread_config.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <memory>

#include <fmt/format.h>

#include "util/log.hpp"
#include "util/os_error.hpp"

namespace oculane {

namespace {

std::expected<void, std::string> pin_to(std::size_t cpu) {
    const long conf = ::sysconf(_SC_NPROCESSORS_CONF);
    const std::size_t count = conf > 0 ? static_cast<std::size_t>(conf) : 1;
    if (cpu >= count) return std::unexpected(fmt::format("CPU {} out of range 0..{}", cpu, count - 1));
    // The fixed set holds 1024 processors; a machine with more gets a set
    // sized to the index instead of a silently wrong mask.
    const std::size_t bits = cpu < CPU_SETSIZE ? CPU_SETSIZE : cpu + 1;
    std::unique_ptr<cpu_set_t, void (*)(cpu_set_t*)> set(CPU_ALLOC(bits), [](cpu_set_t* s) { CPU_FREE(s); });
    if (!set) return std::unexpected(os_error_text(ENOMEM));
    const std::size_t size = CPU_ALLOC_SIZE(bits);
    CPU_ZERO_S(size, set.get());
    CPU_SET_S(cpu, size, set.get());
    if (int err = ::pthread_setaffinity_np(::pthread_self(), size, set.get()); err != 0) {
        return std::unexpected(os_error_text(err));
    }
    return {};
}

std::expected<void, std::string> set_fifo_priority(std::int32_t priority) {
    const int min = ::sched_get_priority_min(SCHED_FIFO);
    const int max = ::sched_get_priority_max(SCHED_FIFO);
    if (min < 0 || max < 0) return std::unexpected(os_error_text(errno));
    if (priority < min || priority > max) {
        return std::unexpected(fmt::format("SCHED_FIFO priority {} out of range [{}..={}]", priority, min, max));
    }
    sched_param param{};
    param.sched_priority = priority;
    if (int err = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param); err != 0) {
        return std::unexpected(os_error_text(err));
    }
    return {};
}

}  // namespace

std::expected<void, std::string> ThreadConfig::apply() const {
    if (processor) {
        if (auto r = pin_to(*processor); !r) return r;
    }
    if (priority > 0) return set_fifo_priority(priority);
    return {};
}

void ThreadConfig::apply_logged() const {
    if (auto r = apply(); !r) {
        OCULANE_LOG(log::Level::Warn, log::kThreadUtil, "thread scheduling not applied: {}", r.error());
    }
}

}  // namespace oculane
