#include "gige/stream/stream_health.hpp"

#include <string>
#include <vector>

#include <fmt/format.h>

#include "util/log.hpp"

namespace oculane {

namespace {

constexpr FrameStatus kFailures[] = {FrameStatus::MissingPackets, FrameStatus::Timeout, FrameStatus::WrongPacketId,
                                     FrameStatus::PayloadUnsupported};

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return fmt::format("{} {}", n, n == 1 ? one : many);
}

}  // namespace

StreamHealth::StreamHealth(std::uint16_t channel, Instant start)
    : channel_(channel), failed_since_(start), drops_since_(start), resends_since_(start) {}

double StreamHealth::seconds(Instant since, Instant now) {
    return std::chrono::duration<double>(now - since).count();
}

void StreamHealth::frame_closed(FrameStatus status) {
    const auto index = static_cast<std::size_t>(status);
    if (status != FrameStatus::Complete && status != FrameStatus::Aborted && index < failed_.size())
        ++failed_[index];
}

void StreamHealth::tick(Instant now, const StreamStats& stats, PoolUse pool) { report(now, stats, pool, false); }

void StreamHealth::flush(Instant now, const StreamStats& stats, PoolUse pool) { report(now, stats, pool, true); }

void StreamHealth::report(Instant now, const StreamStats& stats, PoolUse pool, bool force) {
    if (!log::enabled(log::Level::Debug)) {
        // Nothing is written below warnings: keep the baselines current, so
        // that enabling debug later does not report the whole past.
        resends_reported_ = stats;
        resends_since_ = now;
    } else {
        summarise_resends(now, stats, force);
    }
    if (!log::enabled(log::Level::Warn)) return;
    report_failed_frames(now, force);
    report_kernel_drops(now, stats, force);
    // A starved pool is a state the application is in, not a tally: its
    // last warning stands, and the stream's counters keep the total.
    report_starvation(now, stats, pool, false);
}

namespace {
// Whether a report may go out now; a forced one counts as let through.
bool may_report(RateLimit& limit, Instant now, bool force) {
    const bool admitted = limit.admit(now).has_value();
    return admitted || force;
}
}  // namespace

void StreamHealth::report_failed_frames(Instant now, bool force) {
    std::uint64_t total = 0;
    for (const FrameStatus s : kFailures) total += failed_[static_cast<std::size_t>(s)];
    if (total == 0 || !may_report(failed_limit_, now, force)) return;
    std::string kinds;
    std::vector<log::Field> fields{{"channel", std::to_string(channel_)}, {"failed", std::to_string(total)}};
    for (const FrameStatus s : kFailures) {
        const std::uint64_t n = failed_[static_cast<std::size_t>(s)];
        if (n == 0) continue;
        const auto name = frame_status_name(s);
        kinds += fmt::format("{}{} {}", kinds.empty() ? "" : ", ", n, name);
        fields.push_back({std::string(name), std::to_string(n)});
    }
    const double span = seconds(failed_since_, now);
    fields.push_back({"seconds", fmt::format("{:.1f}", span)});
    log::emit(log::kStreamRunner, log::Level::Warn,
              fmt::format("stream channel {}: {} in the last {:.1f} s ({})", channel_,
                          plural(total, "frame failed", "frames failed"), span, kinds),
              std::move(fields));
    failed_.fill(0);
    failed_since_ = now;
}

void StreamHealth::report_kernel_drops(Instant now, const StreamStats& stats, bool force) {
    const std::uint64_t dropped = stats.kernel_drops - drops_reported_;
    if (dropped == 0 || !may_report(drops_limit_, now, force)) return;
    const double span = seconds(drops_since_, now);
    OCULANE_LOG(log::Level::Warn, log::kStreamRunner,
                "stream channel {}: the kernel dropped {} in the last {:.1f} s because the socket's receive "
                "buffer was full; give a larger receive_buffer (the sysctl net.core.rmem_max caps it) or "
                "leave the receiving thread more processor time",
                channel_, plural(dropped, "datagram", "datagrams"), span);
    drops_reported_ = stats.kernel_drops;
    drops_since_ = now;
}

// Frames lost because every buffer is out, mostly in frames the application
// keeps, look to the user like a camera that stopped sending: say why, and
// what to do.
void StreamHealth::report_starvation(Instant now, const StreamStats& stats, PoolUse pool, bool force) {
    const std::uint64_t lost = stats.underruns - underruns_reported_;
    if (lost == 0 || !may_report(starvation_limit_, now, force)) return;
    OCULANE_LOG(log::Level::Warn, log::kStreamRunner,
                "frame pool of stream channel {} exhausted: {} of {} buffers are in frames not yet released "
                "(kept by the application or queued unread), so {} new frames were dropped (underruns). "
                "Release the Frame objects kept (copy what is needed first: frame.data(), "
                "frame.array().copy()), read the queue, or raise n_buffers",
                channel_, pool.held, pool.buffers, lost);
    underruns_reported_ = stats.underruns;
}

void StreamHealth::summarise_resends(Instant now, const StreamStats& stats, bool force) {
    const std::uint64_t asked = stats.resend_requests - resends_reported_.resend_requests;
    if (asked == 0 || !may_report(resend_limit_, now, force)) return;
    const std::uint64_t arrived = stats.resent_packets - resends_reported_.resent_packets;
    const std::uint64_t unavailable = stats.resend_disabled - resends_reported_.resend_disabled;
    const std::uint64_t gave_up = stats.resend_ratio_reached - resends_reported_.resend_ratio_reached;
    const double span = seconds(resends_since_, now);
    log::emit(log::kStreamRunner, log::Level::Debug,
              fmt::format("stream channel {}: {} asked for again in the last {:.1f} s: {} arrived, {} unavailable "
                          "at the camera, {} given up (resend budget spent)",
                          channel_, plural(asked, "packet", "packets"), span, arrived, unavailable,
                          plural(gave_up, "frame", "frames")),
              {{"channel", std::to_string(channel_)},
               {"requested", std::to_string(asked)},
               {"resent", std::to_string(arrived)},
               {"unavailable", std::to_string(unavailable)},
               {"frames_given_up", std::to_string(gave_up)}});
    resends_reported_ = stats;
    resends_since_ = now;
}

}  // namespace oculane
