#pragma once
// Private to the device's own translation units (device*.cpp): constants and
// small helpers that the register map, the command handlers, the description
// builder and the stream side share.

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "error/gvcp_status.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/proto/gvcp.hpp"
#include "sim/feature_registers.hpp"

namespace oculane::sim::detail {

namespace bs = oculane::bootstrap;

constexpr std::uint16_t kOk = GvcpStatus::kSuccess;
// The largest command payload: a 576-byte datagram less the IP, UDP and GVCP
// headers (20 + 8 + 8 bytes). WRITEREG uses whole address-value pairs of it,
// an event command keeps 16 bytes of it for its own fields.
constexpr std::size_t kMaxPayload = 540;
constexpr std::size_t kMaxWriteRegPayload = kMaxPayload - kMaxPayload % 8;
constexpr std::size_t kEventFieldsSize = 16;
constexpr std::uint32_t kOwnDescriptionAddress = 0x00100000;
constexpr std::uint32_t kForeignDescriptionAddress = 0xE0000000;
constexpr std::string_view kDefaultName = "oculane-virtual-camera";
// Image size limits the description advertises through WidthMin/WidthInc and
// HeightMin/HeightInc. The sensor side cap keeps PayloadSize (RGB8, three
// bytes a pixel) inside its 32-bit register.
constexpr std::uint32_t kMinWidth = 16, kWidthInc = 4, kMinHeight = 16, kHeightInc = 2;
constexpr std::uint32_t kMaxSensorSide = 16384;

inline std::uint32_t bits_per_pixel(std::uint32_t pixel_format) { return (pixel_format >> 16) & 0xFF; }

inline bool known_pixel_format(std::uint32_t v) {
    for (auto f : {reg::kMono8, reg::kMono10, reg::kMono12, reg::kMono16, reg::kBayerRG8, reg::kRGB8})
        if (v == f) return true;
    return false;
}

// Appends a big-endian word, as every register value travels.
inline void append_be32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

inline std::uint32_t round_up4(std::size_t n) { return static_cast<std::uint32_t>((n + 3) & ~std::size_t{3}); }

inline bool applies(const std::vector<std::uint16_t>& commands, std::uint16_t command) {
    if (commands.empty()) return command != gvcp::code(gvcp::Command::Discovery);
    return std::find(commands.begin(), commands.end(), command) != commands.end();
}

}  // namespace oculane::sim::detail
