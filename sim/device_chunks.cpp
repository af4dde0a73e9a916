// The chunks of a chunk-mode frame, and the device's chunk data control.
#include "sim/device_chunks.hpp"

#include <bit>
#include <cstring>

#include "error/gvcp_status.hpp"
#include "sim/device.hpp"
#include "sim/feature_registers.hpp"
#include "sim/stream_types.hpp"

namespace oculane::sim::chunk {

std::uint64_t trailer_bytes(std::uint32_t mask) {
    std::uint64_t n = 8;  // the image's own tag
    for (std::uint32_t s = FrameID; s < kCount; ++s)
        if (mask & (1u << s)) n += kSizes[s] + 8;
    return n;
}

namespace {

void put_be(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void put_le(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

void assemble(const FrameJob& f, std::span<const std::uint8_t> image, std::vector<std::uint8_t>& out) {
    // Sized once; a frame of the same shape reuses the capacity.
    out.resize(image.size());
    std::memcpy(out.data(), image.data(), image.size());
    put_be(out, kIds[Image], 4);
    put_be(out, image.size(), 4);
    for (std::uint32_t s = FrameID; s < kCount; ++s) {
        if (!(f.chunk_mask & (1u << s))) continue;
        switch (s) {
            case FrameID: put_be(out, f.block_id, 8); break;
            case Timestamp: put_be(out, f.timestamp, 8); break;
            case ExposureTime: put_be(out, std::bit_cast<std::uint64_t>(f.exposure_us), 8); break;
            // Little-endian on purpose, as some makers send it: clients meet both orders.
            case Gain: put_le(out, std::bit_cast<std::uint64_t>(f.gain_db), 8); break;
            case Width: put_be(out, f.width, 4); break;
            case Height: put_be(out, f.height, 4); break;
            case PixelFormat: put_be(out, f.pixel_format, 4); break;
            case LineStatusAll: put_be(out, f.line_status, 4); break;
            default: break;
        }
        put_be(out, kIds[s], 4);
        put_be(out, kSizes[s], 4);
    }
}

}  // namespace oculane::sim::chunk

// ---- the device's chunk data control ---------------------------------------------

namespace oculane::sim {

void Device::build_chunk_event_registers() {
    auto& s = space_;
    s.map(reg::kChunkSelector, 0x48, Access::ReadWrite, "chunk data control");
    s.map(reg::kEventSelector, 0x24, Access::ReadWrite, "event control");
    for (std::uint32_t sel = 0; sel < chunk::kCount; ++sel)
        s.set(reg::kChunkEnable + 4 * sel, (chunk::kDefaultMask >> sel) & 1);
}

std::uint32_t Device::chunk_mask() const {
    std::uint32_t mask = chunk::kAlwaysOn;
    for (std::uint32_t sel = 0; sel < chunk::kCount; ++sel)
        if (space_.get(reg::kChunkEnable + 4 * sel) & 1) mask |= 1u << sel;
    return mask;
}

std::uint64_t Device::chunk_trailer_bytes() const {
    return (space_.get(reg::kChunkModeActive) & 1) ? chunk::trailer_bytes(chunk_mask()) : 0;
}

void Device::fill_chunks(FrameJob& f) const {
    f.chunk_mask = chunk_mask();
    f.chunk_bytes = f.chunks ? chunk::trailer_bytes(f.chunk_mask) : 0;
    const auto clock = space_.get(reg::kExposureClock);
    f.exposure_us = clock ? static_cast<double>(space_.get(reg::kExposureTicks)) * 1e6 / clock : 0.0;
    f.gain_db = std::bit_cast<float>(space_.get(reg::kGain));
    f.line_status = space_.get(reg::kLineStatusAll);
}

std::optional<std::uint16_t> Device::write_chunk_event_register(std::uint32_t address, std::uint32_t value,
                                                                Clock::time_point) {
    auto& s = space_;
    const std::uint32_t enable_end = reg::kChunkEnable + 4 * chunk::kCount;
    const std::uint32_t notification_end =
        reg::kEventNotification + 4 * static_cast<std::uint32_t>(EventKind::kCount);
    if (address == reg::kChunkSelector) {
        if (value >= chunk::kCount) return GvcpStatus::kInvalidParameter;
    } else if (address >= reg::kChunkEnable && address < enable_end) {
        // What shapes the payload stays put while the stream parameters are locked.
        if (s.get(reg::kTLParamsLocked) & 1) return GvcpStatus::kWriteProtect;
        value &= 1;
        // The image chunk cannot be switched off.
        if (address == reg::kChunkEnable + 4 * chunk::Image && value == 0) return GvcpStatus::kWriteProtect;
    } else if (address == reg::kChunkTrailerBytes || address == reg::kLineStatusAll) {
        return GvcpStatus::kWriteProtect;
    } else if (address == reg::kEventSelector) {
        if (value >= static_cast<std::uint32_t>(EventKind::kCount)) return GvcpStatus::kInvalidParameter;
    } else if (address >= reg::kEventNotification && address < notification_end) {
        value &= 1;
    } else {
        return std::nullopt;
    }
    s.set(address, value);
    recompute_image_registers();
    return std::uint16_t{0};
}

}  // namespace oculane::sim
