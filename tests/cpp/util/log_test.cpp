#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "util/log.hpp"

using namespace oculane;
using log::Level;

namespace {

// Counts how often it is formatted, to prove disabled events format nothing.
struct Counted {
    int* formatted;
};

}  // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<int> {
    auto format(const Counted& c, format_context& ctx) const {
        ++*c.formatted;
        return fmt::formatter<int>::format(*c.formatted, ctx);
    }
};

namespace {

struct Captured {
    std::string target;
    Level level;
    std::string message;
    std::vector<log::Field> fields;
};

class Capture {
public:
    explicit Capture(Level min) {
        log::set_sink(
            [this](const log::Event& e) {
                std::lock_guard lock(m_);
                events_.push_back({std::string(e.target), e.level, e.message, e.fields});
            },
            min);
    }
    ~Capture() { log::clear_sink(); }
    std::vector<Captured> events() {
        std::lock_guard lock(m_);
        return events_;
    }

private:
    std::mutex m_;
    std::vector<Captured> events_;
};

}  // namespace

TEST(Log, WithoutASinkNothingIsEnabledOrFormatted) {
    log::clear_sink();
    int formatted = 0;
    for (Level l : {Level::Trace, Level::Debug, Level::Info, Level::Warn, Level::Error}) {
        EXPECT_FALSE(log::enabled(l)) << log::level_name(l);
        OCULANE_LOG(l, log::kGige, "value {}", Counted{&formatted});
        OCULANE_LOG_FIELDS(l, log::kGige, "fields", {{"value", fmt::format("{}", Counted{&formatted})}});
    }
    EXPECT_EQ(formatted, 0);
    // Emitting directly without a sink is dropped, not a crash.
    log::emit(log::kGige, Level::Error, "dropped");
}

TEST(Log, SinkReceivesEventsAtItsLevelAndAbove) {
    int formatted = 0;
    {
        Capture cap(Level::Info);
        OCULANE_LOG(Level::Debug, log::kDiscovery, "below {}", Counted{&formatted});
        OCULANE_LOG(Level::Info, log::kDiscovery, "at {}", 1);
        OCULANE_LOG(Level::Error, log::kThreadUtil, "above {}", 2);
        OCULANE_LOG_FIELDS(Level::Debug, log::kDiscovery, "below",
                           {{"value", fmt::format("{}", Counted{&formatted})}});
        OCULANE_LOG_FIELDS(Level::Info, log::kDiscovery, "discovery finished", {{"devices", "3"}});
        const auto ev = cap.events();
        ASSERT_EQ(ev.size(), 3u);
        EXPECT_EQ(ev[0].target, "oculane::gige::discovery");
        EXPECT_EQ(ev[0].level, Level::Info);
        EXPECT_EQ(ev[0].message, "at 1");
        EXPECT_EQ(ev[1].target, "oculane::thread_util");
        EXPECT_EQ(ev[1].message, "above 2");
        ASSERT_EQ(ev[2].fields.size(), 1u);
        EXPECT_EQ(ev[2].fields[0].name, "devices");
        EXPECT_EQ(ev[2].fields[0].value, "3");
    }
    EXPECT_EQ(formatted, 0);
    // Cleared: back to nothing enabled.
    EXPECT_FALSE(log::enabled(Level::Error));
}

TEST(Log, AnEmptySinkIsTheSameAsNone) {
    log::set_sink(log::Sink{}, Level::Trace);
    log::emit(log::kPy, Level::Error, "nobody listens");  // must not throw
    OCULANE_LOG(Level::Error, log::kPy, "nor here {}", 1);
    EXPECT_FALSE(log::enabled(Level::Error));
    log::clear_sink();
}

TEST(Log, SinkMayBeReplacedWhileOtherThreadsLog) {
    Capture first(Level::Trace);
    std::atomic<bool> stop{false};
    std::vector<std::thread> loggers;
    for (int t = 0; t < 3; ++t)
        loggers.emplace_back([&stop, t] {
            while (!stop.load()) OCULANE_LOG(Level::Info, log::kGige, "busy {}", t);
        });
    for (int i = 0; i < 200; ++i) {
        log::set_sink([](const log::Event&) {}, Level::Trace);
        log::clear_sink();
    }
    stop = true;
    for (auto& t : loggers) t.join();
    EXPECT_FALSE(log::enabled(Level::Error));
}
