#pragma once
// Collects log events for one test; the sink is removed on destruction.

#include <mutex>
#include <string>
#include <vector>

#include "util/log.hpp"

namespace oculane::test {

class LogCapture {
public:
    struct Line {
        std::string target;
        log::Level level;
        std::string message;
    };

    explicit LogCapture(log::Level min = log::Level::Trace) {
        log::set_sink(
            [this](const log::Event& e) {
                std::lock_guard lock(m_);
                lines_.push_back({std::string(e.target), e.level, e.message});
            },
            min);
    }
    ~LogCapture() { log::clear_sink(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Line> lines() const {
        std::lock_guard lock(m_);
        return lines_;
    }

private:
    mutable std::mutex m_;
    std::vector<Line> lines_;
};

}  // namespace oculane::test
