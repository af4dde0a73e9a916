#pragma once
// GVCP, the GigE Vision control protocol: every byte layout this library (and
// its virtual camera) sends or parses. Pure functions, no I/O. All multi-byte
// fields are big-endian.
//
// Both sides use this codec: the host encodes commands and parses
// acknowledges; the virtual camera parses commands and encodes acknowledges.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "error/gvcp_status.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/proto/device_info.hpp"

namespace oculane::gvcp {

inline constexpr std::uint16_t kPort = 3956;
inline constexpr std::uint8_t kKey = 0x42;  // first byte of every command
inline constexpr std::size_t kHeaderSize = 8;
// Largest READMEM / WRITEMEM chunk.
inline constexpr std::uint32_t kMaxMemoryChunk = 512;
// The largest command payload a device must accept: a 576-byte datagram less
// the IP, UDP and GVCP headers (20 + 8 + 8 bytes).
inline constexpr std::size_t kMaxCommandPayload = 540;
// Register lists that fit one command.
inline constexpr std::size_t kMaxReadRegisters = kMaxCommandPayload / 4;   // 135
inline constexpr std::size_t kMaxWriteRegisters = kMaxCommandPayload / 8;  // 67
// Request id used by the discovery probe.
inline constexpr std::uint16_t kDiscoveryRequestId = 0xFFFF;

namespace flag {
inline constexpr std::uint8_t kAckRequired = 0x01;
inline constexpr std::uint8_t kBroadcastAck = 0x10;  // on discovery
inline constexpr std::uint8_t kExtendedIds = 0x10;   // on packet resend
inline constexpr std::uint8_t kScheduledTime = 0x80;  // on an action command: an action time follows
}  // namespace flag

enum class Command : std::uint16_t {
    Discovery = 0x0002,
    ForceIp = 0x0004,
    PacketResend = 0x0040,
    ReadReg = 0x0080,
    WriteReg = 0x0082,
    ReadMem = 0x0084,
    WriteMem = 0x0086,
    Event = 0x00C0,
    EventData = 0x00C2,
    Action = 0x0100,
};

// An acknowledge code is the answered command's code plus one; a pending
// acknowledge may arrive instead of any of them.
enum class Ack : std::uint16_t {
    Discovery = 0x0003,
    ForceIp = 0x0005,
    ReadReg = 0x0081,
    WriteReg = 0x0083,
    ReadMem = 0x0085,
    WriteMem = 0x0087,
    Pending = 0x0089,
    Event = 0x00C1,
    EventData = 0x00C3,
    Action = 0x0101,
};

constexpr std::uint16_t code(Command c) { return std::to_underlying(c); }
constexpr std::uint16_t code(Ack a) { return std::to_underlying(a); }
constexpr std::uint16_t ack_code_for(std::uint16_t command) {
    return static_cast<std::uint16_t>(command + 1);
}

constexpr bool is_error_status(std::uint16_t status) { return GvcpStatus{status}.is_error(); }

struct CommandHeader {
    std::uint8_t flags = 0;
    std::uint16_t command = 0;
    std::uint16_t length = 0;  // payload bytes after the header
    std::uint16_t request_id = 0;
};

struct AckHeader {
    std::uint16_t status = 0;
    std::uint16_t ack = 0;     // acknowledge code
    std::uint16_t length = 0;  // payload bytes after the header
    std::uint16_t ack_id = 0;  // request id of the answered command
};

// A well-formed datagram: header plus its payload cut to the length field.
// The payload refers into the datagram it was parsed from.
struct ParsedCommand {
    CommandHeader header;
    std::span<const std::uint8_t> payload;
};
struct ParsedAck {
    AckHeader header;
    std::span<const std::uint8_t> payload;
};

// Commands start with the key byte; acknowledges start with a status whose
// high byte is never 0x42 for the codes devices use. A device's datagram on
// the control socket is a command exactly when this holds.
inline bool looks_like_command(std::span<const std::uint8_t> datagram) {
    return !datagram.empty() && datagram[0] == kKey;
}

// Nothing unless the datagram holds 8 header bytes and the length field fits in
// what follows. parse_command also requires the key byte.
std::optional<ParsedCommand> parse_command(std::span<const std::uint8_t> datagram);
std::optional<ParsedAck> parse_ack(std::span<const std::uint8_t> datagram);

// Header encoders for callers assembling datagrams in their own buffers.
// Return false (and write nothing) when fewer than 8 bytes are available.
bool encode_command_header(std::span<std::uint8_t> out, const CommandHeader& h);
bool encode_ack_header(std::span<std::uint8_t> out, const AckHeader& h);

// ---- Host to device ------------------------------------------------------

struct RegisterWrite {
    std::uint32_t address = 0;
    std::uint32_t value = 0;
};

// Each encoder checks its arguments against the command payload limit
// (kMaxReadRegisters addresses, kMaxWriteRegisters pairs, kMaxMemoryChunk
// bytes, whole words for memory writes) and returns an empty vector, which no
// command ever is, when they break it.
std::vector<std::uint8_t> encode_read_reg(std::span<const std::uint32_t> addresses,
                                          std::uint16_t request_id);
std::vector<std::uint8_t> encode_write_reg(std::span<const RegisterWrite> writes,
                                           std::uint16_t request_id);
std::vector<std::uint8_t> encode_read_mem(std::uint32_t address, std::uint32_t count,
                                          std::uint16_t request_id);
std::vector<std::uint8_t> encode_write_mem(std::uint32_t address, std::span<const std::uint8_t> data,
                                           std::uint16_t request_id);

// The discovery probe: 42 11 00 02 00 00 FF FF by default.
std::array<std::uint8_t, kHeaderSize> encode_discovery(std::uint16_t request_id = kDiscoveryRequestId);

// FORCEIP: the device whose MAC matches takes the given static address. The
// payload is 56 bytes: 2 reserved, the MAC (6), then the address, the subnet
// mask and the gateway, each in the last 4 bytes of a 16-byte field.
inline constexpr std::size_t kForceIpPayloadSize = 56;

struct ForceIp {
    std::array<std::uint8_t, 6> mac{};
    std::uint32_t ip = 0;
    std::uint32_t netmask = 0;
    std::uint32_t gateway = 0;
    bool operator==(const ForceIp&) const = default;
};

// Acknowledge required; broadcast acknowledge allowed, since the device may
// no longer be reachable by unicast from the sender once it has moved.
std::vector<std::uint8_t> encode_force_ip(const ForceIp& request, std::uint16_t request_id);
// Nothing unless the payload holds the whole 56-byte block.
std::optional<ForceIp> parse_force_ip(std::span<const std::uint8_t> payload);

inline constexpr std::size_t kPacketResendSize = 20;
inline constexpr std::size_t kPacketResendExtendedSize = 28;

// Writes a packet-resend command into `out` and returns its size (20, or 28 in
// the extended form), or 0 when `out` is too small; nothing is written past
// its end. Both forms name the stream channel in bytes 8-9 (a device serving
// several channels resends from the one named). The standard form then
// carries the 16-bit block id and the low 24 bits of each packet id. No
// acknowledge is requested.
std::size_t encode_packet_resend(std::span<std::uint8_t> out, std::uint16_t channel,
                                 std::uint64_t block_id, std::uint32_t first_packet_id,
                                 std::uint32_t last_packet_id, bool extended, std::uint16_t request_id);

// Answer to an event or event-with-data command: success, code + 1, no payload,
// the event's request id unchanged.
std::array<std::uint8_t, kHeaderSize> encode_event_ack(std::uint16_t event_command,
                                                       std::uint16_t request_id);

// ---- Device to host ------------------------------------------------------

// A complete acknowledge: header (length taken from the payload) and payload.
// The payload must fit the 16-bit length field.
std::vector<std::uint8_t> encode_ack(std::uint16_t status, std::uint16_t ack_code,
                                     std::uint16_t ack_id, std::span<const std::uint8_t> payload = {});
// Pending acknowledge announcing that the device needs `millis` more.
std::vector<std::uint8_t> encode_pending_ack(std::uint16_t ack_id, std::uint32_t millis);
// Discovery acknowledge carrying the identity block.
std::vector<std::uint8_t> encode_discovery_ack(const DeviceInfo& info, std::uint16_t ack_id);
// Event command sent by a device (command Event or EventData).
std::vector<std::uint8_t> encode_event(std::uint16_t command, std::uint16_t request_id, bool ack_required,
                                       std::uint16_t event_id, std::uint16_t stream_channel,
                                       std::uint16_t block_id, std::uint64_t timestamp,
                                       std::span<const std::uint8_t> data = {});

// Milliseconds a pending acknowledge asks for, when its payload holds them.
// A shorter payload makes it an ordinary acknowledge.
std::optional<std::uint32_t> pending_ack_millis(std::span<const std::uint8_t> payload);

// The identity record of a discovery acknowledge: nothing unless the datagram
// is well formed, answers discovery, has a non-error status and carries at
// least the 248-byte block within its length field.
std::optional<DeviceInfo> parse_discovery_ack(std::span<const std::uint8_t> datagram);

// ---- Device side: commands from the host ------------------------------------

// A packet-resend command as a device reads it. Both forms carry the stream
// channel index in bytes 8-9; the standard form has a 16-bit block id in
// bytes 10-11 and 24-bit packet ids, the extended one (flag kExtendedIds) a
// 64-bit block id after the packet ids.
struct PacketResendRequest {
    std::uint16_t channel = 0;
    std::uint64_t block_id = 0;
    std::uint32_t first_packet_id = 0;
    std::uint32_t last_packet_id = 0;
    bool extended = false;
    bool operator==(const PacketResendRequest&) const = default;
};
// `payload` is the command's payload (after the 8-byte header). Nothing when
// it is shorter than its form needs.
std::optional<PacketResendRequest> parse_packet_resend(std::uint8_t flags, std::span<const std::uint8_t> payload);

// ACTION_CMD: device key, group key and group mask, then (flag
// kScheduledTime) the 64-bit device time at which to act. A device acts when
// the device key is its own and, for one of its action signals, the group
// key equals the signal's and the masks share a bit; others stay silent.
struct ActionCommand {
    std::uint32_t device_key = 0;
    std::uint32_t group_key = 0;
    std::uint32_t group_mask = 0;
    std::optional<std::uint64_t> scheduled_time;
    bool operator==(const ActionCommand&) const = default;
};
inline constexpr std::size_t kActionPayloadSize = 12;
inline constexpr std::size_t kScheduledActionPayloadSize = 20;

std::vector<std::uint8_t> encode_action(const ActionCommand& action, std::uint16_t request_id, bool ack_required);
// `payload` is the command's payload. Nothing when it is shorter than the
// flags say.
std::optional<ActionCommand> parse_action(std::uint8_t flags, std::span<const std::uint8_t> payload);

}  // namespace oculane::gvcp

namespace oculane {

// An asynchronous event from a device. Short payloads are tolerated: fields
// that do not fit are 0 and the data is empty.
struct GvcpEvent {
    std::uint16_t command = 0;  // Event or EventData
    std::uint16_t event_id = 0;
    std::uint16_t stream_channel = 0;
    std::uint16_t block_id = 0;
    std::uint64_t timestamp = 0;
    std::vector<std::uint8_t> data;  // payload bytes from offset 16
    std::vector<std::uint8_t> raw;   // the whole payload

    // `payload` is the command's payload cut to its length field.
    static GvcpEvent parse(std::uint16_t command, std::span<const std::uint8_t> payload);

    bool operator==(const GvcpEvent&) const = default;
};

}  // namespace oculane
