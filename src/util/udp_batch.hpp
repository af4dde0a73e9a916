#pragma once
// Batched UDP receive: one recvmmsg call fills up to `capacity` reusable
// slots with datagrams, their source addresses and, when the socket has
// SO_RXQ_OVFL on, the kernel's count of datagrams it dropped for a full
// receive buffer. Slots are allocated once; receiving allocates nothing.
//
// Thread safety: a batch belongs to the thread that receives with it.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <system_error>

namespace oculane {

// Asks the kernel to attach its drop counter to received datagrams.
std::expected<void, std::error_code> enable_drop_counter(int socket);

// Lets the kernel hand over runs of equal-sized datagrams of one sender as
// one coalesced datagram (UDP receive offload): the run's datagrams laid end
// to end, each `segment_size` bytes but the last. One receive then carries
// dozens of packets. Only for sockets whose reader splits them again.
std::expected<void, std::error_code> enable_coalescing(int socket);

class UdpBatch {
public:
    // Datagrams longer than `slot_size` arrive cut short (truncated() says
    // so); 65,536 holds any IPv4 datagram.
    explicit UdpBatch(std::size_t capacity, std::size_t slot_size = 65536);
    UdpBatch(UdpBatch&&) noexcept;
    UdpBatch& operator=(UdpBatch&&) noexcept;
    ~UdpBatch();

    // Receives what is queued, up to the capacity, without waiting (the
    // socket need not be non-blocking). 0 when nothing was queued. Fails only
    // for errors other than would-block; an interrupted call is retried.
    std::expected<std::size_t, std::error_code> receive(int socket);

    std::size_t capacity() const { return capacity_; }
    // Valid for i below the count of the last receive, until the next one.
    std::span<const std::uint8_t> datagram(std::size_t i) const;
    bool truncated(std::size_t i) const;
    // For a coalesced datagram (enable_coalescing), the size of each of the
    // datagrams it holds (the last may be shorter); 0 for a plain one.
    std::size_t segment_size(std::size_t i) const;
    // Host-order IPv4 source; 0 for another address family.
    std::uint32_t source_ip(std::size_t i) const;
    std::uint16_t source_port(std::size_t i) const;

    // The kernel's cumulative drop count, as last reported with a datagram
    // (wraps at 2^32). Reported only once drops happened on the socket.
    std::uint32_t drop_counter() const { return drop_counter_; }
    // Datagrams the kernel dropped since the previous call, wrap-safe.
    std::uint32_t take_new_drops();

private:
    struct Storage;
    std::unique_ptr<Storage> s_;
    std::size_t capacity_ = 0;
    std::size_t slot_size_ = 0;
    std::uint32_t drop_counter_ = 0;
    std::uint32_t drops_taken_ = 0;
};

}  // namespace oculane
