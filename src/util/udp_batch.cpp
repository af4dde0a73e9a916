#include "util/udp_batch.hpp"

#include <netinet/udp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace oculane {

namespace {

#ifndef UDP_GRO
#define UDP_GRO 104
#endif

// Room for the two control messages we ask for: the drop counter and the
// segment size of a coalesced datagram.
constexpr std::size_t kControlSpace = CMSG_SPACE(sizeof(std::uint32_t)) + CMSG_SPACE(sizeof(int));
// Slots start at distinct cache-line offsets: many slots 64 KiB apart would
// otherwise all map their first bytes onto the same cache sets.
constexpr std::size_t kStagger = 64;

}  // namespace

struct UdpBatch::Storage {
    std::vector<std::uint8_t> bytes;
    std::vector<mmsghdr> headers;
    std::vector<iovec> iovs;
    std::vector<sockaddr_in> sources;
    std::vector<std::uint8_t> control;  // kControlSpace per slot, aligned for cmsghdr
    std::vector<std::uint32_t> segments;  // segment size per slot, 0 for plain datagrams
    std::size_t stride = 0;
    std::size_t filled = 0;  // slots the last receive wrote to
};

std::expected<void, std::error_code> enable_coalescing(int socket) {
    const int on = 1;
    if (::setsockopt(socket, IPPROTO_UDP, UDP_GRO, &on, sizeof on) != 0)
        return std::unexpected(std::error_code(errno, std::generic_category()));
    return {};
}

std::expected<void, std::error_code> enable_drop_counter(int socket) {
    const int on = 1;
    if (::setsockopt(socket, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0)
        return std::unexpected(std::error_code(errno, std::generic_category()));
    return {};
}

UdpBatch::UdpBatch(std::size_t capacity, std::size_t slot_size)
    : s_(std::make_unique<Storage>()), capacity_(capacity == 0 ? 1 : capacity), slot_size_(slot_size) {
    Storage& s = *s_;
    // Each slot is the slot size rounded to a cache line plus one stagger.
    s.stride = (slot_size_ + kStagger - 1) / kStagger * kStagger + kStagger;
    s.bytes.resize(s.stride * capacity_);
    s.headers.resize(capacity_);
    s.iovs.resize(capacity_);
    s.sources.resize(capacity_);
    // cmsghdr needs size_t alignment; vector storage from operator new has it,
    // and kControlSpace is a multiple of it.
    s.control.resize(kControlSpace * capacity_);
    s.segments.resize(capacity_);
    for (std::size_t i = 0; i < capacity_; ++i) {
        s.iovs[i] = iovec{s.bytes.data() + i * s.stride, slot_size_};
        msghdr& h = s.headers[i].msg_hdr;
        h.msg_name = &s.sources[i];
        h.msg_iov = &s.iovs[i];
        h.msg_iovlen = 1;
        h.msg_control = s.control.data() + i * kControlSpace;
    }
    s.filled = capacity_;  // lengths not set yet
}

UdpBatch::UdpBatch(UdpBatch&&) noexcept = default;
UdpBatch& UdpBatch::operator=(UdpBatch&&) noexcept = default;
UdpBatch::~UdpBatch() = default;

std::expected<std::size_t, std::error_code> UdpBatch::receive(int socket) {
    Storage& s = *s_;
    // The kernel overwrites name and control lengths of the slots it fills;
    // reset those of the last call (the buffers never move).
    for (std::size_t i = 0; i < s.filled; ++i) {
        msghdr& h = s.headers[i].msg_hdr;
        h.msg_namelen = sizeof(sockaddr_in);
        h.msg_controllen = kControlSpace;
        h.msg_flags = 0;
        s.headers[i].msg_len = 0;
    }
    s.filled = 0;
    for (;;) {
        const int n = ::recvmmsg(socket, s.headers.data(), static_cast<unsigned>(capacity_), MSG_DONTWAIT, nullptr);
        if (n >= 0) {
            s.filled = static_cast<std::size_t>(n);
            // The drop counter rides on every datagram once drops happened;
            // the newest value is the one that counts.
            for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
                msghdr& h = s.headers[i].msg_hdr;
                s.segments[i] = 0;
                for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
                    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL &&
                        c->cmsg_len >= CMSG_LEN(sizeof(std::uint32_t))) {
                        std::memcpy(&drop_counter_, CMSG_DATA(c), sizeof drop_counter_);
                    } else if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO &&
                               c->cmsg_len >= CMSG_LEN(sizeof(int))) {
                        int segment = 0;
                        std::memcpy(&segment, CMSG_DATA(c), sizeof segment);
                        s.segments[i] = segment > 0 ? static_cast<std::uint32_t>(segment) : 0;
                    }
                }
            }
            return static_cast<std::size_t>(n);
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return std::unexpected(std::error_code(errno, std::generic_category()));
    }
}

std::span<const std::uint8_t> UdpBatch::datagram(std::size_t i) const {
    const Storage& s = *s_;
    const std::size_t len = std::min<std::size_t>(s.headers[i].msg_len, slot_size_);
    return {s.bytes.data() + i * s.stride, len};
}

std::size_t UdpBatch::segment_size(std::size_t i) const { return s_->segments[i]; }

bool UdpBatch::truncated(std::size_t i) const { return (s_->headers[i].msg_hdr.msg_flags & MSG_TRUNC) != 0; }

std::uint32_t UdpBatch::source_ip(std::size_t i) const {
    const sockaddr_in& sa = s_->sources[i];
    if (s_->headers[i].msg_hdr.msg_namelen < sizeof(sockaddr_in) || sa.sin_family != AF_INET) return 0;
    return ntohl(sa.sin_addr.s_addr);
}

std::uint16_t UdpBatch::source_port(std::size_t i) const {
    const sockaddr_in& sa = s_->sources[i];
    if (s_->headers[i].msg_hdr.msg_namelen < sizeof(sockaddr_in) || sa.sin_family != AF_INET) return 0;
    return ntohs(sa.sin_port);
}

std::uint32_t UdpBatch::take_new_drops() {
    const std::uint32_t fresh = drop_counter_ - drops_taken_;  // unsigned: wraps correctly
    drops_taken_ = drop_counter_;
    return fresh;
}

}  // namespace oculane
