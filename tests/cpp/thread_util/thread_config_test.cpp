#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "thread_util/log_capture.hpp"
#include "thread_util/thread_config.hpp"

using namespace oculane;

namespace {

struct Outcome {
    std::vector<test::LogCapture::Line> lines;
    int policy = -1;
    cpu_set_t affinity_before{};
    cpu_set_t affinity_after{};
};

// Applies the settings on a fresh thread, so the test's own scheduling is
// never changed, and reports what that thread ended up with.
Outcome apply_on_fresh_thread(const ThreadConfig& config) {
    test::LogCapture capture;
    Outcome out;
    std::jthread([&] {
        ::sched_getaffinity(0, sizeof out.affinity_before, &out.affinity_before);
        config.apply_logged();
        sched_param param{};
        ::pthread_getschedparam(::pthread_self(), &out.policy, &param);
        ::sched_getaffinity(0, sizeof out.affinity_after, &out.affinity_after);
    }).join();
    out.lines = capture.lines();
    return out;
}

std::size_t configured_cpus() { return static_cast<std::size_t>(::sysconf(_SC_NPROCESSORS_CONF)); }

}  // namespace

TEST(ThreadConfig, DefaultChangesNothingAndLogsNothing) {
    for (int priority : {0, -5}) {
        auto out = apply_on_fresh_thread(ThreadConfig{.processor = std::nullopt, .priority = priority});
        EXPECT_TRUE(out.lines.empty());
        EXPECT_EQ(out.policy, SCHED_OTHER);
        EXPECT_TRUE(CPU_EQUAL(&out.affinity_before, &out.affinity_after));
    }
}

TEST(ThreadConfig, OutOfRangeSettingsAreRefusedWithOneWarning) {
    const std::size_t cpus = configured_cpus();
    const int fifo_min = ::sched_get_priority_min(SCHED_FIFO);
    const int fifo_max = ::sched_get_priority_max(SCHED_FIFO);
    const struct {
        ThreadConfig config;
        std::string text;
    } cases[] = {
        // A bad processor skips the priority step, even a valid one.
        {{.processor = cpus, .priority = fifo_min},
         "thread scheduling not applied: CPU " + std::to_string(cpus) + " out of range 0.." +
             std::to_string(cpus - 1)},
        {{.processor = 5000, .priority = 0},
         "thread scheduling not applied: CPU 5000 out of range 0.." + std::to_string(cpus - 1)},
        {{.processor = std::nullopt, .priority = fifo_max + 1},
         "thread scheduling not applied: SCHED_FIFO priority " + std::to_string(fifo_max + 1) +
             " out of range [" + std::to_string(fifo_min) + "..=" + std::to_string(fifo_max) + "]"},
    };
    for (const auto& c : cases) {
        auto out = apply_on_fresh_thread(c.config);
        ASSERT_EQ(out.lines.size(), 1u) << c.text;
        EXPECT_EQ(out.lines[0].target, "oculane::thread_util");
        EXPECT_EQ(out.lines[0].level, log::Level::Warn);
        EXPECT_EQ(out.lines[0].message, c.text);
        EXPECT_EQ(out.policy, SCHED_OTHER) << c.text;
        EXPECT_TRUE(CPU_EQUAL(&out.affinity_before, &out.affinity_after)) << c.text;
    }
}

TEST(ThreadConfig, PinsToOneAllowedProcessor) {
    cpu_set_t allowed;
    ASSERT_EQ(::sched_getaffinity(0, sizeof allowed, &allowed), 0);
    std::size_t cpu = 0;
    while (cpu < CPU_SETSIZE && !CPU_ISSET(cpu, &allowed)) ++cpu;
    ASSERT_LT(cpu, static_cast<std::size_t>(CPU_SETSIZE));

    auto out = apply_on_fresh_thread(ThreadConfig{.processor = cpu, .priority = 0});
    EXPECT_TRUE(out.lines.empty());
    EXPECT_EQ(CPU_COUNT(&out.affinity_after), 1);
    EXPECT_TRUE(CPU_ISSET(cpu, &out.affinity_after));
}

// Real-time priority needs privileges: either it is applied, or the single
// warning carries the operating system's reason.
TEST(ThreadConfig, ValidPriorityIsAppliedOrExplained) {
    const int p = ::sched_get_priority_min(SCHED_FIFO);
    auto out = apply_on_fresh_thread(ThreadConfig{.processor = std::nullopt, .priority = p});
    if (out.policy == SCHED_FIFO) {
        EXPECT_TRUE(out.lines.empty());
    } else {
        ASSERT_EQ(out.lines.size(), 1u);
        EXPECT_EQ(out.lines[0].message.rfind("thread scheduling not applied: ", 0), 0u) << out.lines[0].message;
        EXPECT_NE(out.lines[0].message.find("(os error "), std::string::npos) << out.lines[0].message;
    }
}

TEST(ThreadConfig, ApplyReturnsTheTextWithoutLogging) {
    test::LogCapture capture;
    auto r = ThreadConfig{.processor = configured_cpus(), .priority = 0}.apply();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().rfind("CPU ", 0), 0u);
    EXPECT_TRUE(capture.lines().empty());
}
