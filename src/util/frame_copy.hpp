#pragma once
// The one copy of image bytes from a received datagram into a frame buffer.
//
// Frames larger than the caches are gone from them by the time anyone reads
// them, so filling them through the cache only costs a read of every line
// before it is overwritten. For such frames the copy uses streaming stores,
// which write memory directly; small frames are copied normally, so a
// consumer finds them still cached.

#include <cstddef>
#include <cstdint>

namespace oculane {

// Frames of at least this many bytes are filled with streaming stores.
inline constexpr std::uint64_t kStreamingCopyFrameSize = std::uint64_t{1} << 20;

// Copies n bytes to dst, a part of a frame buffer of frame_size bytes. The
// bytes are visible to other threads once the frame is published (the copy
// ends with a store fence when it used streaming stores).
void copy_into_frame(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, std::uint64_t frame_size);

}  // namespace oculane
