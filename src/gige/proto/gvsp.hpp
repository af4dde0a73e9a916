#pragma once
// GVSP, the GigE Vision stream protocol: the packet layouts the stream worker
// reads and the virtual camera writes, and the pixel-format codes. Pure
// functions, no I/O. All multi-byte fields are big-endian.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace oculane::gvsp {

inline constexpr std::size_t kHeaderSize = 8;           // standard ids
inline constexpr std::size_t kExtendedHeaderSize = 20;  // extended ids (EI flag)
inline constexpr std::size_t kIpUdpOverhead = 28;       // IPv4 (20) + UDP (8) headers
// Bytes of one stream packet that are not payload data, from the IP header on.
inline constexpr std::size_t kPacketOverhead = kIpUdpOverhead + kHeaderSize;                  // 36
inline constexpr std::size_t kExtendedPacketOverhead = kIpUdpOverhead + kExtendedHeaderSize;  // 48
inline constexpr std::size_t kLeaderImageSize = 36;  // leader payload of an image block
inline constexpr std::size_t kTrailerImageSize = 8;  // trailer payload of an image block
// Largest UDP payload an IPv4 datagram can carry.
inline constexpr std::size_t kMaxDatagram = 65507;

inline constexpr std::uint8_t kExtendedIdFlag = 0x80;  // top bit of the format byte
inline constexpr std::uint8_t kFormatMask = 0x7F;

enum class PacketFormat : std::uint8_t {
    Leader = 1,
    Trailer = 2,
    Payload = 3,
    AllIn = 4,
};

enum class PacketKind : std::uint8_t { Leader, Trailer, Payload, AllIn, Unsupported };

constexpr PacketKind kind_of(std::uint8_t format) {
    switch (format) {
        case 1: return PacketKind::Leader;
        case 2: return PacketKind::Trailer;
        case 3: return PacketKind::Payload;
        case 4: return PacketKind::AllIn;
        default: return PacketKind::Unsupported;
    }
}

// Statuses with a meaning for frame assembly. Any status with the top bit set
// is an error; these three also say the device no longer holds the packet, so
// asking again is pointless.
namespace status {
inline constexpr std::uint16_t kSuccess = 0x0000;
inline constexpr std::uint16_t kPacketUnavailable = 0x800C;
inline constexpr std::uint16_t kPacketAndPreviousRemoved = 0x8011;
inline constexpr std::uint16_t kPacketRemoved = 0x8012;
constexpr bool is_error(std::uint16_t s) { return (s & 0x8000) != 0; }
constexpr bool means_gone(std::uint16_t s) {
    return s == kPacketUnavailable || s == kPacketAndPreviousRemoved || s == kPacketRemoved;
}
}  // namespace status

// Leader payload types (after masking off the chunk flag).
namespace payload_type {
inline constexpr std::uint16_t kImage = 0x0001;
inline constexpr std::uint16_t kChunkData = 0x0004;
inline constexpr std::uint16_t kExtendedChunk = 0x0005;
inline constexpr std::uint16_t kChunkFlag = 0x4000;
inline constexpr std::uint16_t kMask = 0xBFFF;
constexpr bool accepted(std::uint16_t masked) {
    return masked == kImage || masked == kChunkData || masked == kExtendedChunk;
}
}  // namespace payload_type

// One classified datagram. `payload` refers into the datagram it came from.
struct Packet {
    std::span<const std::uint8_t> payload;
    std::uint64_t block_id = 0;
    std::uint32_t packet_id = 0;
    PacketKind kind = PacketKind::Unsupported;
    std::uint8_t format = 0;  // raw 7-bit packet format
    std::uint16_t status = 0;
    bool extended = false;
};

// Nothing when the datagram is too short for its header: fewer than 8 bytes,
// or the EI flag set with fewer than 20.
std::optional<Packet> parse_packet(std::span<const std::uint8_t> datagram);

// What a leader tells about its block. Fields whose bytes are missing read 0.
struct LeaderInfo {
    std::uint16_t payload_type = 0;  // masked
    bool has_chunks = false;
    std::uint64_t timestamp = 0;  // device ticks
    std::uint32_t pixel_format = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t x_offset = 0;
    std::uint32_t y_offset = 0;
    std::uint16_t x_padding = 0;
    std::uint16_t y_padding = 0;

    bool operator==(const LeaderInfo&) const = default;
};

// Nothing when the leader payload is shorter than 12 bytes.
std::optional<LeaderInfo> parse_leader(std::span<const std::uint8_t> payload);

// Data bytes one payload packet carries at a given packet size (the size of
// the whole IP datagram); 0 when the size does not exceed the overhead.
constexpr std::size_t bytes_per_packet(std::size_t packet_size, bool extended) {
    const std::size_t overhead = extended ? kExtendedPacketOverhead : kPacketOverhead;
    return packet_size > overhead ? packet_size - overhead : 0;
}

// ---- Device side: header and payload encoders ------------------------------
// Each writes into `out` and returns the bytes written, or 0 (writing nothing)
// when `out` is too small.

struct PacketHeader {
    std::uint16_t status = status::kSuccess;
    std::uint64_t block_id = 0;  // low 16 bits in the standard form
    std::uint8_t format = 0;     // PacketFormat value (7 bits)
    std::uint32_t packet_id = 0; // low 24 bits in the standard form
    bool extended = false;
};
std::size_t encode_header(std::span<std::uint8_t> out, const PacketHeader& h);

// A full image leader (36 bytes). `payload_type` is written as given, chunk
// flag included.
std::size_t encode_leader(std::span<std::uint8_t> out, std::uint16_t payload_type,
                          const LeaderInfo& info);
// An image trailer (8 bytes): reserved, payload type, size y.
std::size_t encode_trailer(std::span<std::uint8_t> out, std::uint16_t payload_type,
                           std::uint32_t height);

// ---- Pixel formats ---------------------------------------------------------

namespace pixel {
inline constexpr std::uint32_t kMono8 = 0x01080001;
inline constexpr std::uint32_t kMono10 = 0x01100003;
inline constexpr std::uint32_t kMono12 = 0x01100005;
inline constexpr std::uint32_t kMono16 = 0x01100007;
inline constexpr std::uint32_t kBayerRG8 = 0x01080009;
inline constexpr std::uint32_t kBayerGB8 = 0x0108000A;
inline constexpr std::uint32_t kRGB8 = 0x02180014;
inline constexpr std::uint32_t kBGR8 = 0x02180015;
inline constexpr std::uint32_t kYUV422_8 = 0x02100032;
}  // namespace pixel

// The names of the known codes are those of the table in pixel_layout.hpp.

// The name of a known code, or nothing.
std::optional<std::string_view> pixel_format_name(std::uint32_t code);
// The known code of a name, or nothing.
std::optional<std::uint32_t> pixel_format_code(std::string_view name);
// "Mono8", or "0x" and eight lowercase hex digits for a code without a name.
std::string pixel_format_text(std::uint32_t code);
// Bits 16 to 23 of the code, named or not.
constexpr std::uint8_t bits_per_pixel(std::uint32_t code) {
    return static_cast<std::uint8_t>((code >> 16) & 0xFF);
}

}  // namespace oculane::gvsp
