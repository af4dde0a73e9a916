#pragma once
// Control-channel counters shared between the control worker (writer) and the
// connection (reader). One lock guards the counters; it is held only to bump
// one counter or to copy all of them, never across I/O.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "thread_util/mutex.hpp"

namespace oculane::gige {

// A copy of the nine counters, in their documented order.
struct LinkStats {
    std::uint64_t commands = 0;
    std::uint64_t acks = 0;
    std::uint64_t retries = 0;
    std::uint64_t timeouts = 0;
    std::uint64_t naks = 0;
    std::uint64_t pending_acks = 0;
    std::uint64_t heartbeats = 0;
    std::uint64_t events = 0;
    std::uint64_t unsolicited = 0;

    // "LinkStats { commands: 1, acks: 1, ... }"
    std::string to_string() const;
    friend bool operator==(const LinkStats&, const LinkStats&) = default;
};

enum class LinkCounter : std::uint8_t {
    Commands,
    Acks,
    Retries,
    Timeouts,
    Naks,
    PendingAcks,
    Heartbeats,
    Events,
    Unsolicited,
};

class LinkStatsRecord {
public:
    void bump(LinkCounter counter);
    LinkStats snapshot() const;

    // Set by the worker when it ends because control was lost; read by the
    // connection to tell "lost" from "stopped" after the worker is gone.
    void set_control_lost() { control_lost_.store(true, std::memory_order_release); }
    bool control_lost() const { return control_lost_.load(std::memory_order_acquire); }
    // The flag itself, for stream workers that watch it without knowing
    // this record (see GigECamera::open_stream).
    const std::atomic<bool>& control_lost_flag() const { return control_lost_; }

private:
    mutable Mutex mutex_;
    LinkStats stats_ OCULANE_GUARDED_BY(mutex_);
    std::atomic<bool> control_lost_{false};
};

}  // namespace oculane::gige
