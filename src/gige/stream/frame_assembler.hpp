#pragma once
// The stream worker's decisions without socket, thread or clock: frames in
// flight, late and skipped blocks, packet slots, completion, timeouts, resend
// runs and their budget, and the counters. The worker feeds it every datagram
// with the instant it was received and ticks it when the poll times out; the
// assembler answers through AssemblerSink with resend commands to send and
// frames that closed.
//
// Everything here runs on the worker thread. The per-packet path is a parse, a
// linear search over the few frames in flight, one copy of the payload to its
// final offset and slot bookkeeping: no allocation, no lock, and no log
// formatting unless trace logging is on.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "error/camera_error.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream/stream_stats.hpp"
#include "util/duration.hpp"

namespace oculane {

struct AssemblerConfig {
    std::uint64_t payload_size = 0;    // bytes per frame; also the buffer length
    std::uint32_t packet_size = 1500;  // negotiated GVSP packet size (whole IP datagram)
    std::uint64_t tick_frequency = 0;  // device ticks per second; 0 when not reported
    bool resend_enabled = true;
    std::uint16_t channel = 0;         // the stream channel; named in resend requests
    std::uint32_t camera_ip = 0;       // host order; datagrams from elsewhere are dropped
    Duration resend_delay = std::chrono::milliseconds(1);
    Duration resend_interval = std::chrono::milliseconds(20);
    Duration frame_timeout = std::chrono::milliseconds(100);
    double resend_ratio = 0.25;
    std::size_t n_buffers = 8;
};

class AssemblerSink {
public:
    // One PACKETRESEND command, to be sent from the stream socket to the
    // camera's control address. The bytes are valid during the call only.
    virtual void send_resend(std::span<const std::uint8_t> command) = 0;
    // A frame closed. The worker drains its control channel first (so that a
    // subscriber added meanwhile receives this frame), then offers it.
    virtual void frame_closed(FramePtr frame) = 0;

protected:
    ~AssemblerSink() = default;
};

class FrameAssembler {
public:
    // Fails (an I/O error) when the frame pool cannot be allocated.
    static std::expected<FrameAssembler, CameraError> create(const AssemblerConfig& config);

    FrameAssembler(FrameAssembler&&) noexcept = default;
    FrameAssembler& operator=(FrameAssembler&&) noexcept = default;
    FrameAssembler(const FrameAssembler&) = delete;
    FrameAssembler& operator=(const FrameAssembler&) = delete;
    ~FrameAssembler() = default;

    // One received datagram. `now` is monotonic; `wall_ns` is host wall-clock
    // time in ns since the Unix epoch (0 if the clock reads before it).
    void on_datagram(std::span<const std::uint8_t> datagram, std::uint32_t source_ip, Instant now,
                     std::uint64_t wall_ns, AssemblerSink& sink);
    // Completion and resend checks with no block excluded: after every poll.
    void on_tick(Instant now, AssemblerSink& sink);
    // Shutdown: every frame in flight closes Aborted, oldest first.
    void abort_all(AssemblerSink& sink);

    bool has_frames_in_flight() const { return !frames_.empty(); }
    std::size_t frames_in_flight() const { return frames_.size(); }
    // The worker adds frames_dropped and kernel_drops here itself.
    StreamStats& stats() { return stats_; }
    const StreamStats& stats() const { return stats_; }
    const FramePool& pool() const { return *pool_; }
    const AssemblerConfig& config() const { return config_; }
    // Largest packet table a frame may have; a block that would need more is
    // marked WrongPacketId instead of growing its table.
    std::size_t packet_table_limit() const { return table_limit_; }

private:
    // One block under assembly.
    struct InFlight {
        PooledBuf buffer;
        PacketSlot* slots = nullptr;         // buffer.packets().data(); stable (capacity reserved)
        std::uint8_t* data = nullptr;        // buffer.data().data()
        Instant last_packet{};
        std::optional<gvsp::LeaderInfo> leader;
        std::uint64_t block_id = 0;
        std::uint64_t received_size = 0;
        std::uint64_t data_end = 0;
        std::uint64_t system_timestamp_ns = 0;
        std::uint64_t resend_count = 0;
        std::uint64_t budget = 0;            // floor(expected * resend_ratio)
        // Resend scan bookkeeping: packets up to `scanned` have been looked at
        // (a missing one has its due set), and no missing packet among them is
        // due before `next_due`, so a check that finds now <= next_due only
        // needs to look past `scanned`.
        Instant next_due = Instant::max();
        std::uint32_t expected = 0;
        std::uint32_t bytes_per_packet = 0;
        std::int64_t contiguous = -1;        // -1: packet 0 not yet arrived
        std::int64_t scanned = -1;
        FrameStatus status = FrameStatus::Complete;
        bool decided = false;                // status holds the verdict
        bool extended = false;
        bool first_data_seen = false;
        bool trailer_seen = false;
        bool no_resend = false;
        bool ratio_reached = false;
    };

    FrameAssembler(const AssemblerConfig& config, std::shared_ptr<FramePool> pool, std::size_t table_limit);

    InFlight* find_or_create_frame(const gvsp::Packet& p, Instant now);
    void process_payload(InFlight& f, const gvsp::Packet& p);
    void check_frame_completion(Instant now, const std::uint64_t* skip, AssemblerSink& sink);
    void missing_packet_check(InFlight& f, std::uint32_t up_to, Instant now, AssemblerSink& sink);
    void close_frame(std::size_t index, FrameStatus status, AssemblerSink& sink);
    void set_expected(InFlight& f, std::uint32_t expected);
    void advance_contiguous(InFlight& f);
    static void decide(InFlight& f, FrameStatus status) {
        f.status = status;
        f.decided = true;
    }
    std::uint16_t next_request_id();

    AssemblerConfig config_;
    std::shared_ptr<FramePool> pool_;
    std::vector<InFlight> frames_;  // oldest first; capacity n_buffers reserved
    StreamStats stats_;
    std::size_t table_limit_ = 0;
    std::uint64_t last_block_id_ = 0;
    std::uint16_t request_id_ = 65300;
    bool first_packet_ = true;
    std::array<std::uint8_t, gvcp::kPacketResendExtendedSize> resend_buf_{};
};

}  // namespace oculane
