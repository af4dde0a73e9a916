#pragma once
// What the stream worker tells about a stream's troubles, and how often.
//
// The worker counts; this decides what to say. Failed frames (by how they
// ended), datagrams the kernel dropped and frames lost to a starved pool are
// each warned about at most every kWarningInterval, the first at once; each
// warning covers everything since the one before it, so nothing held back
// goes uncounted. Resend traffic is summed up at debug level at most every
// kResendSummaryInterval. Nothing here runs per packet: frame_closed() runs
// per frame and tick() once per worker wake, and neither formats anything
// unless its level is enabled and a report is due.
//
// Sans-IO: the worker gives the instants, so tests use synthetic ones. One
// thread (the worker) owns it.

#include <array>
#include <chrono>
#include <cstdint>

#include "gige/stream/frame.hpp"
#include "gige/stream/stream_channel.hpp"
#include "gige/stream/stream_stats.hpp"
#include "util/rate_limit.hpp"

namespace oculane {

inline constexpr auto kWarningInterval = std::chrono::seconds(10);
inline constexpr auto kResendSummaryInterval = std::chrono::seconds(1);

class StreamHealth {
public:
    StreamHealth(std::uint16_t channel, Instant start);

    // A frame closed with this status (Complete and Aborted are not failures).
    void frame_closed(FrameStatus status);
    // Logs the reports that are due, given the counters and pool use now.
    void tick(Instant now, const StreamStats& stats, PoolUse pool);
    // The stream ends: reports the failed frames, kernel drops and resends
    // the rate limits still hold back.
    void flush(Instant now, const StreamStats& stats, PoolUse pool);

private:
    // Each reports what accumulated, when `force` or its rate limit lets it.
    void report_failed_frames(Instant now, bool force);
    void report_kernel_drops(Instant now, const StreamStats& stats, bool force);
    void report_starvation(Instant now, const StreamStats& stats, PoolUse pool, bool force);
    void summarise_resends(Instant now, const StreamStats& stats, bool force);
    void report(Instant now, const StreamStats& stats, PoolUse pool, bool force);

    // Seconds from `since` to `now`, for "in the last 10.0 s".
    static double seconds(Instant since, Instant now);

    std::uint16_t channel_;
    std::array<std::uint64_t, 6> failed_{};  // by FrameStatus, since the last report
    Instant failed_since_;
    RateLimit failed_limit_{kWarningInterval};
    std::uint64_t drops_reported_ = 0;
    Instant drops_since_;
    RateLimit drops_limit_{kWarningInterval};
    std::uint64_t underruns_reported_ = 0;
    RateLimit starvation_limit_{kWarningInterval};
    StreamStats resends_reported_{};
    Instant resends_since_;
    RateLimit resend_limit_{kResendSummaryInterval};
};

}  // namespace oculane
