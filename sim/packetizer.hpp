#pragma once
// Cuts a block into GVSP datagrams and applies the stream faults: the part of
// the virtual camera's sender that involves no socket and no clock.
//
// A PacketList holds, per datagram, its header bytes (in one arena, leader
// and trailer payloads included) and a reference to its image data, so data
// is never copied: the sender gathers each datagram from the two pieces.

#include <cstdint>
#include <span>
#include <vector>

#include "sim/stream_types.hpp"

namespace oculane::sim {

struct PacketDesc {
    std::uint32_t header_offset = 0;  // into the list's arena
    std::uint32_t header_size = 0;
    const std::uint8_t* data = nullptr;
    std::uint32_t data_size = 0;
    std::uint32_t size() const { return header_size + data_size; }  // UDP payload bytes
};

class PacketList {
public:
    void clear() {
        arena_.clear();
        packets_.clear();
    }
    std::span<const PacketDesc> packets() const { return packets_; }
    std::span<PacketDesc> packets() { return packets_; }
    const std::uint8_t* header(const PacketDesc& p) const { return arena_.data() + p.header_offset; }
    // A copy of datagram i, for tests.
    std::vector<std::uint8_t> datagram(std::size_t i) const;

    // Appends a datagram whose header part is `header_size` bytes, returned
    // for filling (valid until the next add).
    std::span<std::uint8_t> add(std::uint32_t header_size, const std::uint8_t* data, std::uint32_t data_size);
    void push(const PacketDesc& p) { packets_.push_back(p); }
    void erase_if_larger(std::uint32_t udp_bytes, std::uint64_t& removed);

private:
    std::vector<std::uint8_t> arena_;
    std::vector<PacketDesc> packets_;
};

// xorshift64*: the loss and duplicate dice, fixed seed for repeatable runs.
class Dice {
public:
    explicit Dice(std::uint64_t seed = 0x9E3779B97F4A7C15ull) : s_(seed ? seed : 1) {}
    double next() {
        s_ ^= s_ >> 12;
        s_ ^= s_ << 25;
        s_ ^= s_ >> 27;
        return static_cast<double>((s_ * 0x2545F4914F6CDD1Dull) >> 11) * 0x1.0p-53;
    }

private:
    std::uint64_t s_;
};

// The data bytes of a block: the image, then in chunk mode its tag and the
// block-id chunk. `image` is the test pattern of the frame; `scratch` holds
// the assembled chunk payload when one is needed.
std::span<const std::uint8_t> frame_payload(const FrameJob& f, std::span<const std::uint8_t> image,
                                            std::vector<std::uint8_t>& scratch);

// Every packet of a block, leader to trailer, with `faults` applied and
// datagrams beyond the path MTU taken out. Counts what was withheld.
void build_frame_packets(const FrameJob& f, std::span<const std::uint8_t> payload,
                         std::span<const StreamFault> faults, std::uint32_t path_mtu, Dice& dice,
                         PacketList& out, StreamCounters& counts);

// Packets first..last of a held block again, or for a block no longer held a
// header-only datagram with status 0x800C for each. Loss faults in `faults`
// (those that hit resent packets too) apply.
void build_resend_packets(const ResendJob& job, std::span<const std::uint8_t> payload,
                          std::span<const StreamFault> faults, std::uint32_t path_mtu, Dice& dice,
                          PacketList& out, StreamCounters& counts);

}  // namespace oculane::sim
