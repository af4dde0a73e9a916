#pragma once
// Frames and the frame pool.
//
// Image memory for a stream is allocated once, when the stream opens: a fixed
// number of equal buffers, zero-filled. The assembler takes a free buffer per
// new block, fills it, and publishes it as a Frame: an immutable record shared
// by any number of holders (subscriber queues, Python objects). When the last
// holder lets go, from whichever thread, the buffer goes back to the pool by
// itself. After the pool is closed (the stream shut down) a returning buffer's
// memory is simply freed.
//
// Nothing here allocates per frame: the shared_ptr control block and the Frame
// itself are built in storage that belongs to the buffer's slot, and the slot
// returns to the pool only when that storage is no longer used.
//
// Thread safety: FramePool::try_take and publish are called by the stream
// worker only; returning a buffer (dropping the last FramePtr or an unpublished
// PooledBuf) may happen on any thread at any time, also after ~FramePool. A
// published Frame is never modified, so reading it needs no lock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/camera_error.hpp"
#include "gige/proto/gvsp.hpp"

namespace oculane {

using Instant = std::chrono::steady_clock::time_point;

enum class FrameStatus : std::uint8_t {
    Complete = 0,            // every expected packet arrived
    MissingPackets = 1,      // a newer block forced the frame out while resend was off
    Timeout = 2,             // no packet for the frame timeout
    Aborted = 3,             // the stream stopped with the frame unfinished
    WrongPacketId = 4,       // a packet id contradicted the block's layout
    PayloadUnsupported = 5,  // never produced by the assembler; exists for Python
};

// "Complete", "MissingPackets", ...
std::string_view frame_status_name(FrameStatus status);

struct PayloadClass {
    enum Kind : std::uint8_t { Image, ChunkData, Other };
    Kind kind = Other;
    std::uint16_t other_type = 0;  // the raw payload type when kind is Other

    bool operator==(const PayloadClass&) const = default;
};

// Payload types 1 and 5 are images, 4 chunk data, anything else Other.
PayloadClass payload_class_of(std::uint16_t masked_payload_type);

// Per-packet bookkeeping of the block under assembly.
struct PacketSlot {
    std::optional<Instant> due;     // when a (further) resend request is due; empty until seen missing
    bool received = false;
    bool resend_requested = false;
};

// What the assembler learned about a block, frozen into the Frame at close.
struct FrameInfo {
    std::uint64_t frame_id = 0;
    std::optional<gvsp::LeaderInfo> leader;  // none when no usable leader arrived
    std::uint64_t timestamp_ns = 0;
    std::uint64_t system_timestamp_ns = 0;
    std::uint64_t received_size = 0;
    std::uint64_t data_end = 0;
    FrameStatus status = FrameStatus::Aborted;
};

// Device time in ns from ticks at tick frequency f; with f = 0 (not reported)
// the host's wall-clock time stands in.
std::uint64_t ticks_to_ns(std::uint64_t ticks, std::uint64_t tick_frequency,
                          std::uint64_t system_timestamp_ns);

class FramePool;
struct BufSlot;  // one pooled buffer: image bytes, packet slots, frame storage
namespace detail {
struct PoolCore;
}

class Frame {
    // Only the pool makes frames (in its slots' storage).
    struct Key {
    private:
        Key() = default;
        friend class FramePool;
    };

public:
    Frame(Key, const std::uint8_t* data, std::uint64_t length, const FrameInfo& info) noexcept
        : data_(data), length_(length), info_(info) {}
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    // Bytes 0 to min(buffer length, data_end) of the buffer.
    std::span<const std::uint8_t> data() const {
        return {data_, static_cast<std::size_t>(info_.data_end < length_ ? info_.data_end : length_)};
    }
    // The whole buffer (the stream's payload size), whatever was received.
    std::span<const std::uint8_t> buffer() const { return {data_, static_cast<std::size_t>(length_)}; }

    std::uint64_t frame_id() const { return info_.frame_id; }
    std::uint32_t width() const { return info_.leader ? info_.leader->width : 0; }
    std::uint32_t height() const { return info_.leader ? info_.leader->height : 0; }
    std::uint32_t x_offset() const { return info_.leader ? info_.leader->x_offset : 0; }
    std::uint32_t y_offset() const { return info_.leader ? info_.leader->y_offset : 0; }
    std::uint16_t x_padding() const { return info_.leader ? info_.leader->x_padding : 0; }
    std::uint16_t y_padding() const { return info_.leader ? info_.leader->y_padding : 0; }
    FrameStatus status() const { return info_.status; }
    bool is_complete() const { return info_.status == FrameStatus::Complete; }
    std::uint32_t pixel_format() const { return info_.leader ? info_.leader->pixel_format : 0; }
    std::string pixel_format_text() const { return gvsp::pixel_format_text(pixel_format()); }
    std::uint8_t bits_per_pixel() const { return gvsp::bits_per_pixel(pixel_format()); }
    std::uint64_t timestamp_ticks() const { return info_.leader ? info_.leader->timestamp : 0; }
    std::uint64_t timestamp_ns() const { return info_.timestamp_ns; }
    std::uint64_t system_timestamp_ns() const { return info_.system_timestamp_ns; }
    std::uint64_t received_size() const { return info_.received_size; }
    std::uint64_t data_end() const { return info_.data_end; }
    PayloadClass payload_class() const {
        return info_.leader ? payload_class_of(info_.leader->payload_type) : PayloadClass{};
    }
    std::optional<bool> has_chunks() const {
        return info_.leader ? std::optional<bool>(info_.leader->has_chunks) : std::nullopt;
    }
    std::uint16_t payload_type() const { return info_.leader ? info_.leader->payload_type : 0; }
    const FrameInfo& info() const { return info_; }

private:
    friend class FramePool;
    const std::uint8_t* data_;
    std::uint64_t length_;
    FrameInfo info_;
};

// Shared, thread-safe reference count; the buffer goes home when the last
// reference is dropped.
using FramePtr = std::shared_ptr<const Frame>;

// A buffer taken from the pool while its block is assembled. Move-only;
// dropping it unpublished returns the buffer.
class PooledBuf {
public:
    PooledBuf() = default;
    PooledBuf(PooledBuf&& other) noexcept;
    PooledBuf& operator=(PooledBuf&& other) noexcept;
    PooledBuf(const PooledBuf&) = delete;
    PooledBuf& operator=(const PooledBuf&) = delete;
    ~PooledBuf();

    explicit operator bool() const { return slot_ != nullptr; }
    // The image bytes, fixed length (the pool's buffer size).
    std::span<std::uint8_t> data() const;
    // Packet slots, reused from frame to frame. Their capacity was reserved at
    // pool creation (packet_table_capacity()); growing past it would allocate,
    // so callers keep within it.
    std::vector<PacketSlot>& packets() const;
    std::size_t packet_table_capacity() const;

private:
    friend class FramePool;
    PooledBuf(std::shared_ptr<detail::PoolCore> core, BufSlot* slot) noexcept
        : core_(std::move(core)), slot_(slot) {}
    void release() noexcept;

    std::shared_ptr<detail::PoolCore> core_;
    BufSlot* slot_ = nullptr;
};

class FramePool {
    struct Key {};

public:
    // n_buffers zero-filled buffers of `size` bytes, each with a packet table
    // reserved for `packet_table_capacity` slots. A size whose memory cannot be
    // had (or that is absurd for this machine) is an I/O error naming the sizes,
    // not a crash. n_buffers = 0 gives a pool that is always empty.
    static CameraResult<std::shared_ptr<FramePool>> create(std::size_t n_buffers, std::uint64_t size,
                                                           std::size_t packet_table_capacity = 0);

    FramePool(Key, std::shared_ptr<detail::PoolCore> core) : core_(std::move(core)) {}
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;
    // Closes the pool: free buffers are freed now, buffers still held by
    // frames when those frames go.
    ~FramePool();

    // A free buffer, or nothing when all are out; never waits.
    std::optional<PooledBuf> try_take();
    // Wraps a filled buffer into a shared Frame. No heap allocation.
    FramePtr publish(PooledBuf buffer, const FrameInfo& info);

    std::size_t n_buffers() const;
    std::size_t packet_table_capacity() const;
    std::size_t available() const;  // free buffers right now

private:
    std::shared_ptr<detail::PoolCore> core_;
};

// Per-buffer ceiling on what creating a pool may ask for.
inline constexpr std::uint64_t kMaxFrameBufferSize = std::uint64_t{4} << 30;  // 4 GiB

}  // namespace oculane
