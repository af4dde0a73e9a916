#pragma once
// The one copy of image bytes from a received datagram into a frame buffer.
//
// Frames larger than the caches are gone from them by the time anyone reads
// them, so filling them through the cache only costs a read of every line
// before it is overwritten. For such frames the copy uses streaming stores,
// which write memory directly, for the whole cache lines of a packet; its
// partial first and last lines, and all of a small frame, are copied
// normally. Streaming stores are fenced once per frame, not per packet
// (publish_frame_bytes): a fence per packet, or lines written partly with
// streaming stores, cost more than the whole ordinary copy.

#include <cstddef>
#include <cstdint>

namespace oculane {

// Frames of at least this many bytes are filled with streaming stores.
inline constexpr std::uint64_t kStreamingCopyFrameSize = std::uint64_t{1} << 20;

// Copies n bytes to dst, a part of a frame buffer of frame_size bytes. The
// copying thread sees the bytes at once; other threads only once the copying
// thread has called publish_frame_bytes() after its last copy into the frame.
void copy_into_frame(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, std::uint64_t frame_size);

// Makes the bytes copied so far by this thread visible to other threads
// before anything the thread stores afterwards (a store fence: streaming
// stores are weakly ordered). Called once before a frame is handed over.
void publish_frame_bytes();

}  // namespace oculane
