#pragma once
// What the device's stream side hands its sender, the stream fault switches
// and the stream counters. The device (device_stream.cpp) decides which frame
// goes where and when; the sender (stream_sender.hpp) only cuts frames into
// packets, applies the faults and transmits.

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "gige/proto/gvsp.hpp"
#include "util/inet.hpp"

namespace oculane::sim {

using Clock = std::chrono::steady_clock;

using Endpoint = inet::Endpoint;

inline constexpr std::uint32_t kMaxStreamChannels = 4;
// Packet sizes the packet-size register accepts (IP datagram bytes).
inline constexpr std::uint32_t kMinPacketSize = 64;
inline constexpr std::uint32_t kMaxPacketSize = 16384;
// Chunk mode closes the image with an 8-byte tag (chunk id, then data
// length, big-endian) and appends the enabled chunks (device_chunks.hpp):
// from power-up the 64-bit block id alone, kChunkOverhead bytes in all.
inline constexpr std::uint32_t kImageChunkId = 0xA0000001;
inline constexpr std::uint32_t kFrameIdChunkId = 0xA0000002;
inline constexpr std::uint32_t kChunkOverhead = 8 + 8 + 8;
// The payload type a leader carries for a refused block (a file transfer).
inline constexpr std::uint16_t kUnsupportedPayloadType = 0x0003;

// One block to send on one channel.
struct FrameJob {
    std::uint32_t channel = 0;
    Endpoint to;
    std::uint64_t block_id = 0;  // 1..65535 in the standard form
    bool extended = false;
    bool chunks = false;
    std::uint64_t timestamp = 0;  // device ticks
    std::uint32_t pixel_format = 0;
    std::uint32_t width = 0, height = 0, offset_x = 0, offset_y = 0;
    std::uint32_t packet_size = 0;   // IP datagram bytes of a full payload packet
    std::uint32_t packet_delay = 0;  // ticks between packets
    std::uint64_t tick_frequency = 0;
    std::uint64_t payload_size = 0;  // data bytes: the image, and the chunks in chunk mode
    std::uint32_t data_align = 1;    // data bytes per packet are a multiple of this
    // Chunk mode: the enabled chunks (bit n for ChunkSelector value n), the
    // bytes they add, and the values of the moment the frame was made.
    std::uint32_t chunk_mask = 0;
    std::uint64_t chunk_bytes = 0;
    double exposure_us = 0;
    double gain_db = 0;
    std::uint32_t line_status = 0;

    std::uint64_t image_size() const { return chunks ? payload_size - chunk_bytes : payload_size; }
    std::uint32_t data_per_packet() const {
        const auto per = static_cast<std::uint32_t>(gvsp::bytes_per_packet(packet_size, extended));
        return data_align > 1 ? per - per % data_align : per;
    }
    // Leader, data packets and trailer.
    std::uint32_t packet_count() const {
        const std::uint32_t per = data_per_packet();
        return per == 0 ? 2 : static_cast<std::uint32_t>((payload_size + per - 1) / per) + 2;
    }
};

// Packets first..last of a block sent before; `held` false when the block
// has left the device's memory (the packets are answered with status 0x800C).
struct ResendJob {
    FrameJob frame;
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    bool held = true;
};

enum class StreamFaultKind : std::uint8_t {
    Loss,            // each packet lost with probability `ratio`
    Burst,           // `length` packets in a row lost, from packets[0] (default 1)
    DropPackets,     // the listed packet ids lost
    DropLeader,
    DropTrailer,
    DropFrame,       // every packet of the block
    Reorder,         // each window of `length` packets sent in reverse order
    Duplicate,       // the listed packets (or each with probability `ratio`) sent twice
    ErrorStatus,     // the listed packets (default 1) replaced by a header with `status`
    WrongPacketId,   // the listed payload packets (default 1) carry an id past the trailer's
    AbsurdTrailer,   // the trailer carries the largest packet id
    BadPayloadType,  // the leader announces kUnsupportedPayloadType
    Truncate,        // the listed packets (default 1) cut to half their data
    OversizedLeader, // the leader announces an image twice as high as the payload holds
    AllIn,           // the block goes as one all-in packet carrying its leader's bytes
};

struct StreamFault {
    StreamFaultKind kind = StreamFaultKind::Loss;
    double ratio = 0;
    std::uint32_t length = 0;
    std::uint16_t status = gvsp::status::kPacketUnavailable;
    std::vector<std::uint32_t> packets;  // packet ids touched; empty: the kind's default
    std::vector<std::uint64_t> frames;   // block ids touched; empty: every block
    std::int64_t remaining = -1;         // blocks it still applies to; -1 without end
};

// What the sender is to do now; refilled by Device::take_stream_work.
struct StreamWork {
    std::vector<FrameJob> frames;
    std::vector<std::pair<std::size_t, std::size_t>> fault_ranges;  // per frame: [begin, end) in faults
    std::vector<StreamFault> faults;
    std::vector<ResendJob> resends;
    std::vector<StreamFault> resend_faults;  // loss faults that hit resent packets too
    std::uint32_t path_mtu = 0;   // largest IP datagram that arrives; 0 for no limit
    std::uint64_t link_rate = 0;  // bits per second on the wire; 0 for no limit
    std::optional<Clock::time_point> next_due;
    void clear() {
        frames.clear();
        fault_ranges.clear();
        faults.clear();
        resends.clear();
        resend_faults.clear();
        next_due.reset();
    }
};

struct StreamCounters {
    std::uint64_t frames = 0;           // blocks sent (one per channel they went to)
    std::uint64_t packets = 0;          // datagrams that left the device (resends, duplicates included)
    std::uint64_t bytes = 0;            // their UDP payload bytes
    std::uint64_t lost = 0;             // packets withheld by a fault
    std::uint64_t mtu_lost = 0;         // packets (test packets too) larger than the path MTU
    std::uint64_t resent = 0;           // packets sent again on request
    std::uint64_t unavailable = 0;      // 0x800C answers for packets no longer held
    std::uint64_t resend_requests = 0;  // PACKETRESEND commands received
    std::uint64_t resend_refused = 0;   // of those, ignored: closed channel, unknown block, bad range, queue full
    std::uint64_t frames_refused = 0;   // frames due while no channel had a valid destination
    std::uint64_t test_packets = 0;     // fire-test packets sent
    std::uint64_t duplicated = 0;       // extra copies sent by a fault
    std::uint64_t send_errors = 0;      // datagrams the kernel refused

    StreamCounters& operator+=(const StreamCounters& o);
};

}  // namespace oculane::sim
