#pragma once
// The chunks the virtual camera appends to a frame in chunk mode, in the
// GigE Vision chunk layout: each chunk's data followed by its 4-byte id and
// 4-byte data length, big-endian. The image comes first (its own chunk),
// then the enabled chunks in ChunkSelector order.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace oculane::sim {

struct FrameJob;

namespace chunk {

// ChunkSelector values, which are also the bit numbers of the enable mask.
enum Selector : std::uint32_t {
    Image = 0,
    FrameID,
    Timestamp,
    ExposureTime,
    Gain,
    Width,
    Height,
    PixelFormat,
    LineStatusAll,
    kCount,
};

// Chunk ids as the description's chunk ports name them.
inline constexpr std::array<std::uint32_t, kCount> kIds = {0xA0000001, 0xA0000002, 0xA0000003,
                                                           0xA0000004, 0xA0000005, 0xA0000006,
                                                           0xA0000007, 0xA0000008, 0xA0000009};
// Data bytes of each chunk (the image's is the image).
inline constexpr std::array<std::uint32_t, kCount> kSizes = {0, 8, 8, 8, 8, 4, 4, 4, 4};

// The image is always sent; the block id is enabled from power-up.
inline constexpr std::uint32_t kAlwaysOn = 1u << Image;
inline constexpr std::uint32_t kDefaultMask = kAlwaysOn | (1u << FrameID);
inline constexpr std::uint32_t kAllMask = (1u << kCount) - 1;

// Bytes chunk mode adds to the image with these chunks enabled.
std::uint64_t trailer_bytes(std::uint32_t mask);

// The image, then its tag and the enabled chunks with the frame's values,
// assembled in `out`.
void assemble(const FrameJob& f, std::span<const std::uint8_t> image, std::vector<std::uint8_t>& out);

}  // namespace chunk
}  // namespace oculane::sim
