#include "gige/stream/frame.hpp"
#include "thread_util/mutex.hpp"
#include "util/int128.hpp"

#include <unistd.h>

#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>
#include <utility>

#include <fmt/format.h>

namespace oculane {

std::string_view frame_status_name(FrameStatus status) {
    switch (status) {
        case FrameStatus::Complete: return "Complete";
        case FrameStatus::MissingPackets: return "MissingPackets";
        case FrameStatus::Timeout: return "Timeout";
        case FrameStatus::Aborted: return "Aborted";
        case FrameStatus::WrongPacketId: return "WrongPacketId";
        case FrameStatus::PayloadUnsupported: return "PayloadUnsupported";
    }
    return "?";
}

PayloadClass payload_class_of(std::uint16_t masked_payload_type) {
    switch (masked_payload_type) {
        case gvsp::payload_type::kImage:
        case gvsp::payload_type::kExtendedChunk: return {PayloadClass::Image, 0};
        case gvsp::payload_type::kChunkData: return {PayloadClass::ChunkData, 0};
        default: return {PayloadClass::Other, masked_payload_type};
    }
}

std::uint64_t ticks_to_ns(std::uint64_t ticks, std::uint64_t f, std::uint64_t system_timestamp_ns) {
    if (f == 0) return system_timestamp_ns;
    constexpr std::uint64_t kNs = 1'000'000'000;
    // The remainder term in 128 bits: (ticks mod f) * 1e9 overflows 64 bits
    // for tick frequencies above about 18 GHz.
    const auto frac = static_cast<std::uint64_t>((static_cast<uint128>(ticks % f) * kNs) / f);
    return (ticks / f) * kNs + frac;
}

namespace {
// Room for a Frame plus the shared_ptr control block around it (counts,
// vtable pointer, the allocator copy). Checked at compile time in allocate().
constexpr std::size_t kFrameStorageSize = sizeof(Frame) + 128;
}  // namespace

struct BufSlot {
    std::uint8_t* data = nullptr;  // calloc'd, owned by the pool core
    std::vector<PacketSlot> packets;
    // Where the published Frame and its control block live.
    alignas(std::max_align_t) unsigned char frame_storage[kFrameStorageSize];
};

namespace detail {

// Shared by the pool handle, every buffer taken from it and every published
// frame, so the slots outlive whichever of them goes last.
struct PoolCore {
    std::uint64_t size = 0;
    std::size_t n_buffers = 0;
    std::size_t table_capacity = 0;
    std::unique_ptr<BufSlot[]> slots;

    mutable Mutex m;
    std::vector<BufSlot*> free_list OCULANE_GUARDED_BY(m);  // capacity n_buffers, never grows
    bool closed OCULANE_GUARDED_BY(m) = false;

    ~PoolCore() {
        for (std::size_t i = 0; i < n_buffers; ++i) std::free(slots[i].data);
    }

    static void free_memory(BufSlot& s) noexcept {
        std::free(s.data);
        s.data = nullptr;
        std::vector<PacketSlot>().swap(s.packets);
    }

    // Any thread, any time.
    void give_back(BufSlot* s) noexcept {
        MutexLock lock(m);
        if (closed) {
            free_memory(*s);
            return;
        }
        free_list.push_back(s);  // within the reserved capacity: no allocation
    }

    void close() noexcept {
        MutexLock lock(m);
        closed = true;
        for (BufSlot* s : free_list) free_memory(*s);
        free_list.clear();
    }
};

}  // namespace detail

namespace {

// Hands allocate_shared the slot's frame storage for the control block, and
// returns the slot to the pool when that storage is released. The control
// block is destroyed before deallocate() is called, so the slot is never
// reused while any part of the old frame is still alive.
template <class T>
class SlotAllocator {
public:
    using value_type = T;

    SlotAllocator(std::shared_ptr<detail::PoolCore> core, BufSlot* slot) noexcept
        : core_(std::move(core)), slot_(slot) {}
    template <class U>
    SlotAllocator(const SlotAllocator<U>& other) noexcept : core_(other.core_), slot_(other.slot_) {}

    T* allocate(std::size_t n) {
        static_assert(sizeof(T) <= kFrameStorageSize, "frame storage too small for the control block");
        static_assert(alignof(T) <= alignof(std::max_align_t));
        if (n != 1) throw std::bad_alloc();  // allocate_shared asks for exactly one block
        return reinterpret_cast<T*>(slot_->frame_storage);
    }
    void deallocate(T*, std::size_t) noexcept { core_->give_back(slot_); }

    template <class U>
    bool operator==(const SlotAllocator<U>& other) const noexcept {
        return slot_ == other.slot_;
    }

private:
    template <class U>
    friend class SlotAllocator;
    std::shared_ptr<detail::PoolCore> core_;
    BufSlot* slot_;
};

std::uint64_t physical_memory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

}  // namespace

// ---- PooledBuf ---------------------------------------------------------------

PooledBuf::PooledBuf(PooledBuf&& other) noexcept
    : core_(std::move(other.core_)), slot_(std::exchange(other.slot_, nullptr)) {}

PooledBuf& PooledBuf::operator=(PooledBuf&& other) noexcept {
    if (this != &other) {
        release();
        core_ = std::move(other.core_);
        slot_ = std::exchange(other.slot_, nullptr);
    }
    return *this;
}

PooledBuf::~PooledBuf() { release(); }

void PooledBuf::release() noexcept {
    if (slot_ != nullptr) core_->give_back(slot_);
    slot_ = nullptr;
    core_.reset();
}

std::span<std::uint8_t> PooledBuf::data() const {
    return {slot_->data, static_cast<std::size_t>(core_->size)};
}

std::vector<PacketSlot>& PooledBuf::packets() const { return slot_->packets; }

std::size_t PooledBuf::packet_table_capacity() const { return core_->table_capacity; }

// ---- FramePool ---------------------------------------------------------------

CameraResult<std::shared_ptr<FramePool>> FramePool::create(std::size_t n_buffers, std::uint64_t size,
                                                           std::size_t table_capacity) {
    auto fail = [&](const std::string& why) -> CameraResult<std::shared_ptr<FramePool>> {
        return std::unexpected(CameraError::io(
            fmt::format("cannot allocate a frame pool of {} buffers of {} bytes: {}", n_buffers, size, why)));
    };
    if (size > kMaxFrameBufferSize)
        return fail(fmt::format("a buffer may hold at most {} bytes", kMaxFrameBufferSize));
    // What the pool would hold, in 128 bits so that absurd counts cannot wrap.
    const auto per_buffer = static_cast<uint128>(size) +
                            static_cast<uint128>(table_capacity) * sizeof(PacketSlot) +
                            sizeof(BufSlot);
    const uint128 total = per_buffer * n_buffers;
    const std::uint64_t memory = physical_memory();
    if (memory != 0 && total > memory)
        return fail(fmt::format("that is more than this machine's {} bytes of memory", memory));

    try {
        auto core = std::make_shared<detail::PoolCore>();
        core->size = size;
        core->table_capacity = table_capacity;
        core->slots = std::make_unique<BufSlot[]>(n_buffers);
        core->n_buffers = n_buffers;
        // Not shared yet; held anyway (once per pool) so the analysis sees
        // the free list under its lock.
        MutexLock filling(core->m);
        core->free_list.reserve(n_buffers);
        // Pushed in reverse, so buffers go out in index order at first.
        for (std::size_t i = n_buffers; i-- > 0;) {
            BufSlot& s = core->slots[i];
            if (size > 0) {
                // calloc: zero-filled, and the kernel supplies zero pages lazily.
                s.data = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(size), 1));
                if (s.data == nullptr) return fail("out of memory");
            }
            s.packets.reserve(table_capacity);
            core->free_list.push_back(&s);
        }
        return std::make_shared<FramePool>(Key{}, std::move(core));
    } catch (const std::bad_alloc&) {
        return fail("out of memory");
    } catch (const std::length_error&) {
        return fail("out of memory");
    }
}

FramePool::~FramePool() {
    if (core_) core_->close();
}

std::optional<PooledBuf> FramePool::try_take() {
    MutexLock lock(core_->m);
    if (core_->free_list.empty()) return std::nullopt;
    BufSlot* s = core_->free_list.back();
    core_->free_list.pop_back();
    return PooledBuf(core_, s);
}

FramePtr FramePool::publish(PooledBuf buffer, const FrameInfo& info) {
    BufSlot* slot = std::exchange(buffer.slot_, nullptr);
    std::shared_ptr<detail::PoolCore> core = std::move(buffer.core_);
    const std::uint8_t* data = slot->data;
    const std::uint64_t size = core->size;
    return std::allocate_shared<Frame>(SlotAllocator<Frame>(std::move(core), slot), Frame::Key{}, data, size,
                                       info);
}

std::size_t FramePool::n_buffers() const { return core_->n_buffers; }
std::size_t FramePool::packet_table_capacity() const { return core_->table_capacity; }
std::size_t FramePool::available() const {
    MutexLock lock(core_->m);
    return core_->free_list.size();
}

}  // namespace oculane
