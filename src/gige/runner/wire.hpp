#pragma once
// Byte layouts the control worker builds and checks itself: register and
// memory commands, acknowledge and inbound command headers, event
// acknowledges. Every read is bounds-checked against the received length.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace oculane::gige::wire {

inline constexpr std::uint8_t kCommandKey = 0x42;
inline constexpr std::uint8_t kFlagAckRequired = 0x01;
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::uint16_t kReadRegCmd = 0x0080;
inline constexpr std::uint16_t kWriteRegCmd = 0x0082;
inline constexpr std::uint16_t kReadMemCmd = 0x0084;
inline constexpr std::uint16_t kWriteMemCmd = 0x0086;
inline constexpr std::uint16_t kPendingAck = 0x0089;
inline constexpr std::uint16_t kEventCmd = 0x00C0;
inline constexpr std::uint16_t kEventDataCmd = 0x00C2;

inline std::uint16_t get_u16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}
inline std::uint32_t get_u32(std::span<const std::uint8_t> b, std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
           (std::uint32_t{b[at + 2]} << 8) | std::uint32_t{b[at + 3]};
}
inline void put_u16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}
inline void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

inline std::vector<std::uint8_t> command_header(std::uint16_t command, std::size_t length,
                                                std::uint16_t id) {
    std::vector<std::uint8_t> out;
    out.reserve(kHeaderSize + length);
    out.push_back(kCommandKey);
    out.push_back(kFlagAckRequired);
    put_u16(out, command);
    put_u16(out, static_cast<std::uint16_t>(length));
    put_u16(out, id);
    return out;
}

inline std::vector<std::uint8_t> encode_read_regs(std::span<const std::uint32_t> addresses,
                                                  std::uint16_t id) {
    auto out = command_header(kReadRegCmd, 4 * addresses.size(), id);
    for (auto a : addresses) put_u32(out, a);
    return out;
}

inline std::vector<std::uint8_t> encode_write_regs(
    std::span<const std::pair<std::uint32_t, std::uint32_t>> pairs, std::uint16_t id) {
    auto out = command_header(kWriteRegCmd, 8 * pairs.size(), id);
    for (auto [a, v] : pairs) {
        put_u32(out, a);
        put_u32(out, v);
    }
    return out;
}

inline std::vector<std::uint8_t> encode_read_mem(std::uint32_t address, std::uint32_t count,
                                                 std::uint16_t id) {
    auto out = command_header(kReadMemCmd, 8, id);
    put_u32(out, address);
    put_u32(out, count);
    return out;
}

inline std::vector<std::uint8_t> encode_write_mem(std::uint32_t address,
                                                  std::span<const std::uint8_t> data,
                                                  std::uint16_t id) {
    auto out = command_header(kWriteMemCmd, 4 + data.size(), id);
    put_u32(out, address);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

inline std::array<std::uint8_t, 8> encode_event_ack(std::uint16_t command, std::uint16_t id) {
    const auto ack = static_cast<std::uint16_t>(command + 1);
    return {0, 0, static_cast<std::uint8_t>(ack >> 8), static_cast<std::uint8_t>(ack), 0, 0,
            static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)};
}

// Both headers are accepted only when the length field fits the datagram.
struct CommandHeader {
    std::uint8_t flags = 0;
    std::uint16_t command = 0;
    std::uint16_t length = 0;
    std::uint16_t request_id = 0;

    static std::optional<CommandHeader> parse(std::span<const std::uint8_t> d) {
        if (d.size() < kHeaderSize || d[0] != kCommandKey) return std::nullopt;
        CommandHeader h{d[1], get_u16(d, 2), get_u16(d, 4), get_u16(d, 6)};
        if (h.length > d.size() - kHeaderSize) return std::nullopt;
        return h;
    }
};

struct AckHeader {
    std::uint16_t status = 0;
    std::uint16_t ack_code = 0;
    std::uint16_t length = 0;
    std::uint16_t ack_id = 0;

    static std::optional<AckHeader> parse(std::span<const std::uint8_t> d) {
        if (d.size() < kHeaderSize) return std::nullopt;
        AckHeader h{get_u16(d, 0), get_u16(d, 2), get_u16(d, 4), get_u16(d, 6)};
        if (h.length > d.size() - kHeaderSize) return std::nullopt;
        return h;
    }
};

}  // namespace oculane::gige::wire
