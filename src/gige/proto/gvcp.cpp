#include "gige/proto/gvcp.hpp"

#include <algorithm>
#include <cassert>
#include <limits>

#include "gige/proto/bytes.hpp"

namespace oculane::gvcp {

namespace {

constexpr std::size_t kMaxPayload = std::numeric_limits<std::uint16_t>::max();

// A command buffer with its header written and room for `payload` bytes.
std::vector<std::uint8_t> command_buffer(std::uint8_t flags, Command command, std::size_t payload,
                                         std::uint16_t request_id) {
    assert(payload <= kMaxPayload);
    std::vector<std::uint8_t> out(kHeaderSize + payload);
    encode_command_header(out, {flags, code(command), static_cast<std::uint16_t>(payload), request_id});
    return out;
}

std::span<std::uint8_t> payload_of(std::vector<std::uint8_t>& datagram) {
    return std::span(datagram).subspan(kHeaderSize);
}

}  // namespace

std::optional<ParsedCommand> parse_command(std::span<const std::uint8_t> datagram) {
    ByteReader r(datagram);
    const std::uint8_t key = r.u8();
    CommandHeader h;
    h.flags = r.u8();
    h.command = r.u16();
    h.length = r.u16();
    h.request_id = r.u16();
    if (!r.ok() || key != kKey || h.length > r.remaining()) return std::nullopt;
    return ParsedCommand{h, r.bytes(h.length)};
}

std::optional<ParsedAck> parse_ack(std::span<const std::uint8_t> datagram) {
    ByteReader r(datagram);
    AckHeader h;
    h.status = r.u16();
    h.ack = r.u16();
    h.length = r.u16();
    h.ack_id = r.u16();
    if (!r.ok() || h.length > r.remaining()) return std::nullopt;
    return ParsedAck{h, r.bytes(h.length)};
}

bool encode_command_header(std::span<std::uint8_t> out, const CommandHeader& h) {
    if (out.size() < kHeaderSize) return false;
    ByteWriter w(out);
    w.u8(kKey);
    w.u8(h.flags);
    w.u16(h.command);
    w.u16(h.length);
    w.u16(h.request_id);
    return true;
}

bool encode_ack_header(std::span<std::uint8_t> out, const AckHeader& h) {
    if (out.size() < kHeaderSize) return false;
    ByteWriter w(out);
    w.u16(h.status);
    w.u16(h.ack);
    w.u16(h.length);
    w.u16(h.ack_id);
    return true;
}

std::vector<std::uint8_t> encode_read_reg(std::span<const std::uint32_t> addresses,
                                          std::uint16_t request_id) {
    if (addresses.empty() || addresses.size() > kMaxReadRegisters) return {};
    auto out = command_buffer(flag::kAckRequired, Command::ReadReg, 4 * addresses.size(), request_id);
    ByteWriter w(payload_of(out));
    for (auto a : addresses) w.u32(a);
    return out;
}

std::vector<std::uint8_t> encode_write_reg(std::span<const RegisterWrite> writes,
                                           std::uint16_t request_id) {
    if (writes.empty() || writes.size() > kMaxWriteRegisters) return {};
    auto out = command_buffer(flag::kAckRequired, Command::WriteReg, 8 * writes.size(), request_id);
    ByteWriter w(payload_of(out));
    for (const auto& p : writes) {
        w.u32(p.address);
        w.u32(p.value);
    }
    return out;
}

std::vector<std::uint8_t> encode_read_mem(std::uint32_t address, std::uint32_t count,
                                          std::uint16_t request_id) {
    if (count > kMaxMemoryChunk) return {};
    auto out = command_buffer(flag::kAckRequired, Command::ReadMem, 8, request_id);
    ByteWriter w(payload_of(out));
    w.u32(address);
    w.u32(count);
    return out;
}

std::vector<std::uint8_t> encode_write_mem(std::uint32_t address, std::span<const std::uint8_t> data,
                                           std::uint16_t request_id) {
    if (data.size() > kMaxMemoryChunk || data.size() % 4 != 0) return {};
    auto out = command_buffer(flag::kAckRequired, Command::WriteMem, 4 + data.size(), request_id);
    ByteWriter w(payload_of(out));
    w.u32(address);
    w.bytes(data);
    return out;
}

std::array<std::uint8_t, kHeaderSize> encode_discovery(std::uint16_t request_id) {
    std::array<std::uint8_t, kHeaderSize> out{};
    encode_command_header(out, {flag::kAckRequired | flag::kBroadcastAck, code(Command::Discovery), 0,
                                request_id});
    return out;
}

std::size_t encode_packet_resend(std::span<std::uint8_t> out, std::uint16_t channel,
                                 std::uint64_t block_id, std::uint32_t first_packet_id,
                                 std::uint32_t last_packet_id, bool extended, std::uint16_t request_id) {
    const std::size_t size = extended ? kPacketResendExtendedSize : kPacketResendSize;
    if (out.size() < size) return 0;
    const std::uint8_t flags = extended ? flag::kExtendedIds : 0;
    encode_command_header(out, {flags, code(Command::PacketResend),
                                static_cast<std::uint16_t>(size - kHeaderSize), request_id});
    ByteWriter w(out.subspan(kHeaderSize, size - kHeaderSize));
    w.u16(channel);
    if (extended) {
        w.u16(0);  // reserved
        w.u32(first_packet_id);
        w.u32(last_packet_id);
        w.u64(block_id);
    } else {
        // Standard packet ids are 24 bits wide; the top byte is reserved.
        w.u16(static_cast<std::uint16_t>(block_id));
        w.u32(first_packet_id & 0x00FFFFFF);
        w.u32(last_packet_id & 0x00FFFFFF);
    }
    return size;
}

std::array<std::uint8_t, kHeaderSize> encode_event_ack(std::uint16_t event_command,
                                                       std::uint16_t request_id) {
    std::array<std::uint8_t, kHeaderSize> out{};
    encode_ack_header(out, {0x0000, ack_code_for(event_command), 0, request_id});
    return out;
}

std::vector<std::uint8_t> encode_ack(std::uint16_t status, std::uint16_t ack_code, std::uint16_t ack_id,
                                     std::span<const std::uint8_t> payload) {
    assert(payload.size() <= kMaxPayload);
    std::vector<std::uint8_t> out(kHeaderSize + payload.size());
    encode_ack_header(out, {status, ack_code, static_cast<std::uint16_t>(payload.size()), ack_id});
    std::copy(payload.begin(), payload.end(), out.begin() + kHeaderSize);
    return out;
}

std::vector<std::uint8_t> encode_pending_ack(std::uint16_t ack_id, std::uint32_t millis) {
    std::array<std::uint8_t, 4> ms{};
    ByteWriter(ms).u32(millis);
    return encode_ack(0x0000, code(Ack::Pending), ack_id, ms);
}

std::vector<std::uint8_t> encode_discovery_ack(const DeviceInfo& info, std::uint16_t ack_id) {
    const auto block = info.encode();
    return encode_ack(0x0000, code(Ack::Discovery), ack_id, block);
}

std::vector<std::uint8_t> encode_event(std::uint16_t command, std::uint16_t request_id, bool ack_required,
                                       std::uint16_t event_id, std::uint16_t stream_channel,
                                       std::uint16_t block_id, std::uint64_t timestamp,
                                       std::span<const std::uint8_t> data) {
    const std::size_t payload = 16 + data.size();
    assert(payload <= kMaxPayload);
    std::vector<std::uint8_t> out(kHeaderSize + payload);
    encode_command_header(out, {static_cast<std::uint8_t>(ack_required ? flag::kAckRequired : 0), command,
                                static_cast<std::uint16_t>(payload), request_id});
    ByteWriter w(payload_of(out));
    w.u16(0);  // reserved
    w.u16(event_id);
    w.u16(stream_channel);
    w.u16(block_id);
    w.u64(timestamp);
    w.bytes(data);
    return out;
}

std::optional<std::uint32_t> pending_ack_millis(std::span<const std::uint8_t> payload) {
    ByteReader r(payload);
    const std::uint32_t ms = r.u32();
    if (!r.ok()) return std::nullopt;
    return ms;
}

std::optional<DeviceInfo> parse_discovery_ack(std::span<const std::uint8_t> datagram) {
    const auto ack = parse_ack(datagram);
    if (!ack || ack->header.ack != code(Ack::Discovery) || is_error_status(ack->header.status))
        return std::nullopt;
    return DeviceInfo::parse(ack->payload);
}

std::optional<PacketResendRequest> parse_packet_resend(std::uint8_t flags, std::span<const std::uint8_t> payload) {
    PacketResendRequest q;
    q.extended = (flags & flag::kExtendedIds) != 0;
    if (payload.size() < (q.extended ? kPacketResendExtendedSize : kPacketResendSize) - kHeaderSize)
        return std::nullopt;
    ByteReader r(payload);
    q.channel = r.u16();
    const std::uint16_t short_block = r.u16();
    if (q.extended) {
        q.first_packet_id = r.u32();
        q.last_packet_id = r.u32();
        q.block_id = r.u64();
    } else {
        q.block_id = short_block;
        q.first_packet_id = r.u32() & 0x00FFFFFF;
        q.last_packet_id = r.u32() & 0x00FFFFFF;
    }
    return q;
}

// ---- ACTION_CMD -------------------------------------------------------------------

std::vector<std::uint8_t> encode_action(const ActionCommand& action, std::uint16_t request_id, bool ack_required) {
    const std::size_t size = action.scheduled_time ? kScheduledActionPayloadSize : kActionPayloadSize;
    std::vector<std::uint8_t> out(kHeaderSize + size);
    std::uint8_t flags = ack_required ? flag::kAckRequired : 0;
    if (action.scheduled_time) flags |= flag::kScheduledTime;
    encode_command_header(out, {flags, code(Command::Action), static_cast<std::uint16_t>(size), request_id});
    ByteWriter w(std::span<std::uint8_t>(out).subspan(kHeaderSize));
    w.u32(action.device_key);
    w.u32(action.group_key);
    w.u32(action.group_mask);
    if (action.scheduled_time) w.u64(*action.scheduled_time);
    return out;
}

std::optional<ActionCommand> parse_action(std::uint8_t flags, std::span<const std::uint8_t> payload) {
    const bool scheduled = (flags & flag::kScheduledTime) != 0;
    if (payload.size() < (scheduled ? kScheduledActionPayloadSize : kActionPayloadSize)) return std::nullopt;
    ByteReader r(payload);
    ActionCommand a;
    a.device_key = r.u32();
    a.group_key = r.u32();
    a.group_mask = r.u32();
    if (scheduled) a.scheduled_time = r.u64();
    return a;
}

// ---- FORCEIP -------------------------------------------------------------------

std::vector<std::uint8_t> encode_force_ip(const ForceIp& request, std::uint16_t request_id) {
    auto out = command_buffer(flag::kAckRequired | flag::kBroadcastAck, Command::ForceIp, kForceIpPayloadSize,
                              request_id);
    ByteWriter w(payload_of(out));
    w.zeros(2);
    w.bytes(request.mac);
    w.zeros(12);
    w.u32(request.ip);
    w.zeros(12);
    w.u32(request.netmask);
    w.zeros(12);
    w.u32(request.gateway);
    return out;
}

std::optional<ForceIp> parse_force_ip(std::span<const std::uint8_t> payload) {
    if (payload.size() < kForceIpPayloadSize) return std::nullopt;
    ByteReader r(payload);
    ForceIp f;
    r.skip(2);
    for (auto& b : f.mac) b = r.u8();
    r.skip(12);
    f.ip = r.u32();
    r.skip(12);
    f.netmask = r.u32();
    r.skip(12);
    f.gateway = r.u32();
    return f;
}

}  // namespace oculane::gvcp

namespace oculane {

GvcpEvent GvcpEvent::parse(std::uint16_t command, std::span<const std::uint8_t> payload) {
    GvcpEvent e;
    e.command = command;
    e.raw.assign(payload.begin(), payload.end());
    // Fields are taken one by one, so a short payload keeps whatever fits and
    // leaves the rest 0; the sticky reader yields 0 past the end.
    ByteReader r(payload);
    r.skip(2);  // reserved
    e.event_id = r.u16();
    e.stream_channel = r.u16();
    e.block_id = r.u16();
    e.timestamp = r.u64();
    if (r.ok()) {
        auto rest = r.rest();
        e.data.assign(rest.begin(), rest.end());
    }
    return e;
}

}  // namespace oculane
