#pragma once
// The stream worker's decisions without socket, thread or clock: frames in
// flight, late and skipped blocks, packet slots, completion, timeouts, resend
// runs and their budget, and the counters. The worker feeds it every datagram
// with the instant it was received and ticks it when the poll times out; the
// assembler answers through AssemblerSink with resend commands to send and
// frames that closed.
//
// What Complete promises: every byte of the frame's data is the camera's, at
// its place. The data bytes per packet are learned from a payload packet that
// cannot be the block's last one (not from a guess), a data packet of another
// length is not received (counted in size_mismatch_errors and asked for
// again), and a leader whose image does not fit the payload, or a block that
// cannot hold the image its leader announces, never ends Complete.
//
// One bad frame costs only itself: a frame known to be lost (the camera said
// a packet is gone, the resend budget is spent, a packet contradicted the
// layout, or it had to give way when newer blocks left a quarter of the
// buffers or fewer free) closes as soon as it is the oldest, so the frames
// behind it go out.
//
// The stream's source port is the one of the first valid packet from the
// camera's address; datagrams from its other ports are strays, counted as
// ignored.
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
#include "gige/stream/stream_defaults.hpp"
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
    Duration resend_delay = stream_defaults::kResendDelay;
    Duration resend_interval = stream_defaults::kResendInterval;
    Duration frame_timeout = stream_defaults::kFrameTimeout;
    double resend_ratio = stream_defaults::kResendRatio;
    std::size_t n_buffers = stream_defaults::kBuffers;
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

    // One received datagram and its source (host order). `now` is monotonic;
    // `wall_ns` is host wall-clock time in ns since the Unix epoch (0 if the
    // clock reads before it).
    void on_datagram(std::span<const std::uint8_t> datagram, std::uint32_t source_ip, std::uint16_t source_port,
                     Instant now, std::uint64_t wall_ns, AssemblerSink& sink);
    // Completion and resend checks with no block excluded: after every poll.
    void on_tick(Instant now, AssemblerSink& sink);
    // Shutdown: every frame in flight closes Aborted, oldest first.
    void abort_all(AssemblerSink& sink);

    // The earliest instant at which on_tick has something to do without a
    // new datagram: a missing packet falling due for its resend request, or
    // the oldest frame timing out. None when only a datagram can change
    // anything. The worker waits no longer than this, so a request goes out
    // at its packet's due time rather than at the next periodic check.
    std::optional<Instant> next_deadline() const;

    bool has_frames_in_flight() const { return !frames_.empty(); }
    std::size_t frames_in_flight() const { return frames_.size(); }
    // The worker adds frames_dropped and kernel_drops here itself.
    StreamStats& stats() { return stats_; }
    const StreamStats& stats() const { return stats_; }
    const FramePool& pool() const { return *pool_; }
    const AssemblerConfig& config() const { return config_; }
    // The port the stream comes from, once its first valid packet arrived.
    std::optional<std::uint16_t> stream_port() const {
        return port_known_ ? std::optional<std::uint16_t>(stream_port_) : std::nullopt;
    }

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
        // The estimate from the packet size until size_known, then the data
        // bytes every payload packet but the last carries.
        std::uint32_t bytes_per_packet = 0;
        // Data packets the payload needs at the estimate. The camera's size
        // is at most the estimate, so ids below this are not the last one.
        std::uint32_t estimated_data = 0;
        std::uint32_t highest_data = 0;      // highest data packet id seen (within the layout)
        std::uint32_t confirmations = 0;     // data packets placed with the learned size (its teacher included)
        std::uint32_t early_first = 0;       // packet 1's length, placed before the size was known
        std::uint32_t short_last = 0;        // id of a short packet taken as the possible last one
        std::uint32_t short_len = 0;         // and the bytes it placed
        std::int64_t contiguous = -1;        // -1: packet 0 not yet arrived
        std::int64_t scanned = -1;
        FrameStatus status = FrameStatus::Complete;
        bool decided = false;                // status holds the verdict
        bool extended = false;
        bool size_known = false;
        bool trailer_seen = false;
        bool overrun = false;                // data packets ran past the payload size
        bool no_resend = false;
        bool gone = false;                   // the camera said a missing packet is gone
        bool ratio_reached = false;
        bool gave_way = false;               // newer blocks left too few buffers free
    };

    FrameAssembler(const AssemblerConfig& config, std::shared_ptr<FramePool> pool, std::size_t table_limit);

    InFlight* find_or_create_frame(const gvsp::Packet& p, Instant now);
    // Whether the packet's bytes were placed (its slot then counts as received).
    bool process_payload(InFlight& f, const gvsp::Packet& p);
    bool learn_packet_size(InFlight& f, std::uint32_t n);
    void unlearn_packet_size(InFlight& f);
    void unreceive(InFlight& f, std::uint32_t id, std::uint64_t placed);
    void process_trailer(InFlight& f, std::uint32_t id);
    void process_leader(InFlight& f, std::span<const std::uint8_t> payload, std::uint64_t wall_ns);
    void check_frame_completion(Instant now, const std::uint64_t* skip, AssemblerSink& sink);
    // True when the frame's resend budget ran out in this call.
    bool missing_packet_check(InFlight& f, std::uint32_t up_to, Instant now, AssemblerSink& sink);
    void close_frame(std::size_t index, FrameStatus status, AssemblerSink& sink);
    // The status of a frame whose every packet arrived.
    FrameStatus verdict(const InFlight& f) const;
    void set_expected(InFlight& f, std::uint32_t expected);
    void advance_contiguous(InFlight& f);
    bool plausible_gap(std::uint64_t skipped, Instant now) const;
    static bool lost(const InFlight& f) { return f.decided || f.gone || f.ratio_reached || f.gave_way; }
    static void decide(InFlight& f, FrameStatus status) {
        f.status = status;
        f.decided = true;
    }
    std::uint16_t next_request_id();

    AssemblerConfig config_;
    std::shared_ptr<FramePool> pool_;
    std::vector<InFlight> frames_;  // oldest first; capacity n_buffers reserved
    StreamStats stats_;
    // Largest packet table a frame may have; a block that would need more is
    // marked WrongPacketId instead of growing its table.
    std::size_t table_limit_ = 0;
    std::uint64_t last_block_id_ = 0;
    Instant last_block_at_{};  // when last_block_id_ was set
    std::uint16_t request_id_ = 65300;
    std::uint16_t stream_port_ = 0;
    bool port_known_ = false;  // the first valid packet named the stream's port
    std::array<std::uint8_t, gvcp::kPacketResendExtendedSize> resend_buf_{};
};

}  // namespace oculane
