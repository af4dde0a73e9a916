#pragma once
// Receiving one UDP destination's datagrams from a memory-mapped packet
// socket ring instead of the UDP socket: the kernel copies each packet into
// a block of a ring shared with us and wakes us once per filled (or timed
// out) block, so a burst costs one wake-up and no system call per packet.
// Opening one needs CAP_NET_RAW.
//
// The socket takes IPv4 only (captures are read from their network header on),
// ignores what this host sends and carries a filter that keeps unfragmented
// UDP packets to the one destination address and port; everything else
// (source checks included) is the reader's business, as on a UDP socket.
// The captured bytes are checked again by parse_captured_udp before anything
// of them is used, so a filter mistake can never let a bad packet through.
//
// Thread safety: a ring belongs to the thread that reads it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include <system_error>

#include "util/unique_fd.hpp"

namespace oculane {

// What one capture holds, as parse_captured_udp found it.
enum class CaptureVerdict : std::uint8_t {
    Ok,
    Truncated,    // the capture is shorter than the packet: its UDP payload is not all there
    Malformed,    // not a consistent IPv4/UDP packet (version, header length, lengths)
    NotUdp,
    Fragment,
    BadIpChecksum,
    BadUdpChecksum,
};

struct CapturedUdp {
    CaptureVerdict verdict = CaptureVerdict::Malformed;
    // Set for Ok; source_ip also for Truncated, BadUdpChecksum (a sound IP header).
    std::uint32_t source_ip = 0;       // host order
    std::uint32_t destination_ip = 0;  // host order
    std::uint16_t source_port = 0;
    std::uint16_t destination_port = 0;
    // The UDP payload; for Truncated, its length on the wire in payload_length.
    std::span<const std::uint8_t> payload;
    std::size_t payload_length = 0;
};

// Checks one capture that starts at its IPv4 header: `capture` are the
// captured bytes, `wire_length` the packet's length before any cut.
// `udp_checksum_trusted`: the kernel verified the UDP checksum or it was
// never computed (a packet from this host); otherwise a non-zero checksum is
// verified here. Reads nothing outside `capture`. Pure.
CapturedUdp parse_captured_udp(std::span<const std::uint8_t> capture, std::size_t wire_length,
                               bool udp_checksum_trusted);

// Splits a UDP payload of a segmentation super-packet into its datagrams of
// `segment` bytes each (the last may be shorter) and calls `f` on each.
template <class F>
void for_each_segment(std::span<const std::uint8_t> payload, std::size_t segment, F&& f) {
    if (segment == 0 || segment >= payload.size()) {
        f(payload);
        return;
    }
    for (std::size_t at = 0; at < payload.size(); at += segment)
        f(payload.subspan(at, std::min(segment, payload.size() - at)));
}

struct PacketRingConfig {
    std::uint32_t local_ip = 0;   // host order; 0: any address of the interface
    std::uint16_t local_port = 0;
    std::size_t bytes = 0;        // wanted ring size; whole blocks, at least 4, at most 64 MiB
    // A block goes to the reader when full or after block_timeout_ms: the
    // smaller, the sooner a slow stream's packets arrive. Rounded up to a
    // power of two, 128 KiB (the largest super-packet fits) to 1 MiB.
    std::size_t block_bytes = 1 << 20;
    // Refuse when the interface's MTU is below this (IPv4 datagram bytes):
    // such packets would arrive as fragments, which the ring never takes.
    std::uint32_t largest_packet = 0;
    unsigned block_timeout_ms = 1;  // a partly filled block goes to the reader after this
};

// One captured packet: where its IPv4 header starts, as the kernel gave it.
struct RingPacket {
    std::span<const std::uint8_t> capture;
    std::size_t wire_length = 0;
    bool udp_checksum_trusted = false;
    std::uint16_t segment_size = 0;  // UDP payload bytes per datagram of a super-packet; 0 for a plain one
    std::uint64_t wall_ns = 0;       // the kernel's arrival time stamp
};

class PacketRing {
public:
    // Why a ring could not be opened: the system error (0 when the host
    // simply cannot carry the stream on one, like a small MTU) and what
    // failed. `permission` marks a process without CAP_NET_RAW.
    struct OpenError {
        int os_error = 0;
        bool permission = false;
        std::string message;
    };
    static std::expected<PacketRing, OpenError> open(const PacketRingConfig& config);

    PacketRing() = default;
    PacketRing(PacketRing&& other) noexcept;
    PacketRing& operator=(PacketRing&& other) noexcept;
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;
    ~PacketRing();

    bool is_open() const { return map_ != nullptr; }
    // Readable (poll) when a block is ready.
    int fd() const { return fd_.get(); }
    std::size_t size_bytes() const { return block_size_ * block_count_; }
    std::size_t block_count() const { return block_count_; }
    const std::string& interface_name() const { return interface_; }

    // Hands every packet of every ready block (at most the ring's block
    // count) to `f(const RingPacket&)`, giving each block back to the kernel
    // after its packets. Returns the number of packets. Never waits.
    template <class F>
    std::size_t drain(F&& f) {
        std::size_t n = 0;
        for (std::size_t b = 0; b < block_count_; ++b) {
            const auto block = ready_block();
            if (block.empty()) break;
            n += for_each_in_block(block, f);
            release_block();
        }
        return n;
    }

    // Packets the kernel dropped since the last call (a full ring); one
    // system call.
    std::uint64_t take_drops();

private:
    std::span<const std::uint8_t> ready_block() const;
    void release_block();
    template <class F>
    std::size_t for_each_in_block(std::span<const std::uint8_t> block, F& f) const {
        std::size_t n = 0;
        std::uint32_t count = 0;
        std::uint32_t offset = 0;
        block_packets(block, count, offset);
        for (std::uint32_t i = 0; i < count && offset != 0; ++i) {
            RingPacket p;
            const std::uint32_t next = packet_at(block, offset, p);
            if (next == kBadOffset) break;
            f(static_cast<const RingPacket&>(p));
            ++n;
            if (next == 0) break;
            offset += next;
        }
        return n;
    }
    static constexpr std::uint32_t kBadOffset = 0xFFFFFFFF;
    static void block_packets(std::span<const std::uint8_t> block, std::uint32_t& count, std::uint32_t& first);
    // Fills `p` from the packet at `offset`; returns the offset to the next
    // packet (0: last) or kBadOffset for a header that does not fit.
    static std::uint32_t packet_at(std::span<const std::uint8_t> block, std::uint32_t offset, RingPacket& p);

    UniqueFd fd_;
    std::uint8_t* map_ = nullptr;
    std::size_t block_size_ = 0;
    std::size_t block_count_ = 0;
    std::size_t current_ = 0;
    std::string interface_;
};

// Makes a UDP socket take nothing more into its queue (a filter that
// rejects every datagram), and throws away what it holds. For the stream
// socket once a ring receives its datagrams: it stays bound (so the host
// never answers the camera's packets with port-unreachable) and sends.
std::expected<void, std::error_code> reject_all_datagrams(int socket);

}  // namespace oculane
