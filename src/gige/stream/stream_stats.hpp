#pragma once
// The stream counters. The worker keeps a private copy and publishes it under
// a lock; readers take whole copies. The first 19 counters have a fixed order
// (Python attributes and repr follow it); host-side counters come after them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace oculane {

struct StreamStats {
    std::uint64_t packets = 0;               // datagrams accepted from the camera's address
    std::uint64_t bytes = 0;                 // their total length
    std::uint64_t completed_frames = 0;      // closed Complete
    std::uint64_t failed_frames = 0;         // closed MissingPackets, Timeout or WrongPacketId
    std::uint64_t timed_out_frames = 0;      // closed Timeout (also counted as failed)
    std::uint64_t aborted_frames = 0;        // closed Aborted
    std::uint64_t missing_frames = 0;        // block ids skipped between new blocks
    std::uint64_t underruns = 0;             // new blocks dropped for want of a free buffer
    std::uint64_t missing_packets = 0;       // per failed frame, packets after the contiguous run
    std::uint64_t resend_requests = 0;       // packets named in resend requests
    std::uint64_t resent_packets = 0;        // packets that arrived after being requested
    std::uint64_t resend_ratio_reached = 0;  // frames whose resend budget ran out
    std::uint64_t resend_disabled = 0;       // error packets saying the device dropped a packet
    std::uint64_t duplicated_packets = 0;    // packets whose slot was already filled
    std::uint64_t error_packets = 0;         // packets with an error status
    std::uint64_t ignored_packets = 0;       // short, late, unsupported-block and all-in packets
    std::uint64_t unsupported_frames = 0;    // blocks refused at creation
    std::uint64_t size_mismatch_errors = 0;  // non-final payload packets that overran the buffer
    std::uint64_t frames_dropped = 0;        // deliveries skipped for a full subscriber queue
    // Host side, after the documented 19.
    std::uint64_t kernel_drops = 0;  // datagrams the kernel dropped for a full receive buffer

    bool operator==(const StreamStats&) const = default;
};

struct StreamStatsField {
    std::string_view name;
    std::uint64_t StreamStats::*member;
};

// Every counter, in attribute order: the one table for iteration and repr.
inline constexpr std::array<StreamStatsField, 20> kStreamStatsFields{{
    {"packets", &StreamStats::packets},
    {"bytes", &StreamStats::bytes},
    {"completed_frames", &StreamStats::completed_frames},
    {"failed_frames", &StreamStats::failed_frames},
    {"timed_out_frames", &StreamStats::timed_out_frames},
    {"aborted_frames", &StreamStats::aborted_frames},
    {"missing_frames", &StreamStats::missing_frames},
    {"underruns", &StreamStats::underruns},
    {"missing_packets", &StreamStats::missing_packets},
    {"resend_requests", &StreamStats::resend_requests},
    {"resent_packets", &StreamStats::resent_packets},
    {"resend_ratio_reached", &StreamStats::resend_ratio_reached},
    {"resend_disabled", &StreamStats::resend_disabled},
    {"duplicated_packets", &StreamStats::duplicated_packets},
    {"error_packets", &StreamStats::error_packets},
    {"ignored_packets", &StreamStats::ignored_packets},
    {"unsupported_frames", &StreamStats::unsupported_frames},
    {"size_mismatch_errors", &StreamStats::size_mismatch_errors},
    {"frames_dropped", &StreamStats::frames_dropped},
    {"kernel_drops", &StreamStats::kernel_drops},
}};

// "StreamStats { packets: 0, bytes: 0, ..., kernel_drops: 0 }"
std::string repr(const StreamStats& stats);

}  // namespace oculane
