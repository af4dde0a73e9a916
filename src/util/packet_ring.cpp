#include "util/packet_ring.hpp"

#include <arpa/inet.h>
#include <endian.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "util/inet.hpp"
#include "util/os_error.hpp"

namespace oculane {

namespace {

constexpr std::size_t kSmallestBlock = 128 * 1024;  // holds the largest super-packet
constexpr std::size_t kLargestBlock = 1 << 20;
constexpr std::size_t kFewestBlocks = 4;
constexpr std::size_t kMostBytes = 64 << 20;
// Nominal; a version 3 ring packs packets of any length into its blocks.
constexpr unsigned kFrameSize = 2048;
// What the filter keeps of a packet: all of any IPv4 datagram.
constexpr std::uint32_t kKeepAll = 0x40000;
constexpr std::size_t kIpHeader = 20;
constexpr std::size_t kUdpHeader = 8;

// The segmentation header the kernel writes in front of each capture
// (PACKET_VNET_HDR; its fields little-endian). The system's own header does
// not compile as C++.
struct SegmentationHeader {
    std::uint8_t flags;
    std::uint8_t gso_type;
    std::uint16_t header_length;
    std::uint16_t gso_size;
    std::uint16_t checksum_start;
    std::uint16_t checksum_offset;
};
static_assert(sizeof(SegmentationHeader) == 10);
constexpr std::uint8_t kGsoUdpL4 = 5;
constexpr std::uint8_t kGsoEcn = 0x80;

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// The ones' complement sum of `bytes` (an odd last byte padded with zero),
// added to `sum`, not yet folded.
std::uint64_t add_words(std::uint64_t sum, std::span<const std::uint8_t> bytes) {
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) sum += be16(bytes.data() + i);
    if (i < bytes.size()) sum += std::uint64_t{bytes[i]} << 8;
    return sum;
}

std::uint16_t fold(std::uint64_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

PacketRing::OpenError failure(std::string what, int err = errno) {
    PacketRing::OpenError e;
    e.os_error = err;
    e.permission = err == EPERM || err == EACCES;
    e.message = err != 0 ? fmt::format("{}: {}", what, os_error_text(err)) : std::move(what);
    return e;
}

// The interface that holds `ip`: an exact address match, else the loopback
// interface for 127.0.0.0/8 (all of which is local there).
std::expected<std::string, PacketRing::OpenError> interface_of(std::uint32_t ip) {
    if (ip == 0) return std::unexpected(failure("the packet ring needs the stream's local address", 0));
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::unexpected(failure("interface list"));
    std::string exact;
    std::string loopback;
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
        sockaddr_in sa{};
        std::memcpy(&sa, a->ifa_addr, sizeof sa);
        if (inet::ip_of(sa) == ip && exact.empty()) exact = a->ifa_name;
        if ((a->ifa_flags & IFF_LOOPBACK) != 0 && loopback.empty()) loopback = a->ifa_name;
    }
    ::freeifaddrs(list);
    if (!exact.empty()) return exact;
    if ((ip >> 24) == 127 && !loopback.empty()) return loopback;
    return std::unexpected(failure(fmt::format("no interface holds {}", inet::format_ipv4(ip)), 0));
}

std::expected<std::uint32_t, PacketRing::OpenError> mtu_of(const std::string& name) {
    UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!probe) return std::unexpected(failure("MTU probe socket"));
    ifreq req{};
    std::snprintf(req.ifr_name, sizeof req.ifr_name, "%s", name.c_str());
    if (::ioctl(probe.get(), SIOCGIFMTU, &req) != 0) return std::unexpected(failure(fmt::format("MTU of {}", name)));
    return static_cast<std::uint32_t>(req.ifr_mtu);
}

// Keeps unfragmented IPv4 UDP packets to ip:port (ip 0: any address).
// Offsets count from the network header, whatever link header precedes it.
std::vector<sock_filter> destination_filter(std::uint32_t ip, std::uint16_t port) {
    constexpr std::uint32_t net = static_cast<std::uint32_t>(SKF_NET_OFF);
    std::vector<sock_filter> f;
    std::vector<std::size_t> to_drop;  // jumps whose false branch drops
    auto op = [&](std::uint16_t code, std::uint32_t k) { f.push_back(sock_filter{code, 0, 0, k}); };
    auto require = [&](std::uint16_t code, std::uint32_t k) {  // go on when true, drop otherwise
        to_drop.push_back(f.size());
        f.push_back(sock_filter{code, 0, 0, k});
    };
    op(BPF_LD | BPF_B | BPF_ABS, net + 0);
    op(BPF_ALU | BPF_RSH | BPF_K, 4);
    require(BPF_JMP | BPF_JEQ | BPF_K, 4);
    op(BPF_LD | BPF_B | BPF_ABS, net + 9);
    require(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP);
    op(BPF_LD | BPF_H | BPF_ABS, net + 6);
    const std::size_t fragment = f.size();
    op(BPF_JMP | BPF_JSET | BPF_K, 0x3FFF);  // more fragments or an offset: drop
    if (ip != 0) {
        op(BPF_LD | BPF_W | BPF_ABS, net + 16);
        require(BPF_JMP | BPF_JEQ | BPF_K, ip);
    }
    // The UDP header follows the IPv4 header's 4 x IHL bytes.
    op(BPF_LD | BPF_B | BPF_ABS, net + 0);
    op(BPF_ALU | BPF_AND | BPF_K, 0x0F);
    op(BPF_ALU | BPF_LSH | BPF_K, 2);
    op(BPF_MISC | BPF_TAX, 0);
    op(BPF_LD | BPF_H | BPF_IND, net + 2);
    require(BPF_JMP | BPF_JEQ | BPF_K, port);
    op(BPF_RET | BPF_K, kKeepAll);
    const std::size_t drop = f.size();
    op(BPF_RET | BPF_K, 0);
    for (const std::size_t j : to_drop) f[j].jf = static_cast<std::uint8_t>(drop - j - 1);
    f[fragment].jt = static_cast<std::uint8_t>(drop - fragment - 1);
    return f;
}

}  // namespace

CapturedUdp parse_captured_udp(std::span<const std::uint8_t> capture, std::size_t wire_length,
                               bool udp_checksum_trusted) {
    CapturedUdp out;
    const bool cut = capture.size() < wire_length;
    if (capture.size() < kIpHeader) {
        out.verdict = cut ? CaptureVerdict::Truncated : CaptureVerdict::Malformed;
        return out;
    }
    const std::uint8_t* ip = capture.data();
    const std::size_t header = std::size_t{ip[0] & 0x0Fu} * 4;
    if ((ip[0] >> 4) != 4 || header < kIpHeader) return out;
    if (capture.size() < header) {
        out.verdict = cut ? CaptureVerdict::Truncated : CaptureVerdict::Malformed;
        return out;
    }
    if (fold(add_words(0, capture.first(header))) != 0xFFFF) {
        out.verdict = CaptureVerdict::BadIpChecksum;
        return out;
    }
    const std::size_t total = be16(ip + 2);
    if (total < header || total > wire_length) return out;
    if (ip[9] != IPPROTO_UDP) {
        out.verdict = CaptureVerdict::NotUdp;
        return out;
    }
    if ((be16(ip + 6) & 0x3FFF) != 0) {
        out.verdict = CaptureVerdict::Fragment;
        return out;
    }
    out.source_ip = be32(ip + 12);
    out.destination_ip = be32(ip + 16);
    if (total < header + kUdpHeader) return out;
    if (capture.size() < header + kUdpHeader) {
        out.verdict = CaptureVerdict::Truncated;
        return out;
    }
    const std::uint8_t* udp = ip + header;
    out.source_port = be16(udp);
    out.destination_port = be16(udp + 2);
    const std::size_t udp_length = be16(udp + 4);
    // As the host's UDP layer: a datagram longer than its IP packet is
    // malformed, bytes past its own length are padding.
    if (udp_length < kUdpHeader || udp_length > total - header) return out;
    out.payload_length = udp_length - kUdpHeader;
    if (capture.size() < header + udp_length) {
        out.verdict = CaptureVerdict::Truncated;
        return out;
    }
    const auto datagram = capture.subspan(header, udp_length);
    if (!udp_checksum_trusted && be16(udp + 6) != 0) {
        std::uint64_t sum = add_words(0, capture.subspan(12, 8));  // source and destination address
        sum += IPPROTO_UDP;
        sum += udp_length;
        if (fold(add_words(sum, datagram)) != 0xFFFF) {
            out.verdict = CaptureVerdict::BadUdpChecksum;
            return out;
        }
    }
    out.payload = datagram.subspan(kUdpHeader);
    out.verdict = CaptureVerdict::Ok;
    return out;
}

std::expected<PacketRing, PacketRing::OpenError> PacketRing::open(const PacketRingConfig& config) {
    // Protocol 0: nothing is captured until bind, by when the filter and
    // the ring are in place.
    // Raw: only such sockets get the segmentation header. The kernel says
    // where the network header starts, so the link header is skipped
    // unread.
    UniqueFd fd(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    if (!fd) {
        const int err = errno;
        if (err == EPERM || err == EACCES)
            return std::unexpected(failure("the packet ring receive path needs CAP_NET_RAW", err));
        return std::unexpected(failure("packet socket", err));
    }
    auto name = interface_of(config.local_ip);
    if (!name) return std::unexpected(std::move(name.error()));
    auto mtu = mtu_of(*name);
    if (!mtu) return std::unexpected(std::move(mtu.error()));
    if (config.largest_packet > *mtu)
        return std::unexpected(failure(fmt::format("packets of {} bytes do not fit the MTU of {} ({} bytes) unfragmented, "
                                                   "and the packet ring takes no fragments",
                                                   config.largest_packet, *name, *mtu),
                                       0));
    const unsigned index = ::if_nametoindex(name->c_str());
    if (index == 0) return std::unexpected(failure(fmt::format("interface {}", *name)));

    std::vector<sock_filter> code = destination_filter(config.local_ip, config.local_port);
    const sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0)
        return std::unexpected(failure("packet ring filter"));
    // What this host sends is not ours to assemble (loopback would show it twice).
    const int on = 1;
    (void)::setsockopt(fd.get(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on);
    // Segmentation super-packets (a local sender's) come whole; this header
    // says how to split them.
    if (::setsockopt(fd.get(), SOL_PACKET, PACKET_VNET_HDR, &on, sizeof on) != 0)
        return std::unexpected(failure("packet ring segmentation header"));
    const int version = TPACKET_V3;
    if (::setsockopt(fd.get(), SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0)
        return std::unexpected(failure("packet ring version 3"));

    const std::size_t block_size =
        std::clamp(std::bit_ceil(std::max<std::size_t>(config.block_bytes, 1)), kSmallestBlock, kLargestBlock);
    const std::size_t blocks = std::clamp((config.bytes + block_size - 1) / block_size, kFewestBlocks,
                                          kMostBytes / block_size);
    tpacket_req3 req{};
    req.tp_block_size = block_size;
    req.tp_block_nr = static_cast<unsigned>(blocks);
    req.tp_frame_size = kFrameSize;
    req.tp_frame_nr = static_cast<unsigned>(block_size / kFrameSize * blocks);
    req.tp_retire_blk_tov = std::max(1u, config.block_timeout_ms);
    if (::setsockopt(fd.get(), SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0)
        return std::unexpected(failure(fmt::format("packet ring of {} blocks of {} bytes", blocks, block_size)));
    void* map = ::mmap(nullptr, block_size * blocks, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd.get(), 0);
    if (map == MAP_FAILED) return std::unexpected(failure("packet ring mapping"));

    PacketRing ring;
    ring.fd_ = std::move(fd);
    ring.map_ = static_cast<std::uint8_t*>(map);
    ring.block_size_ = block_size;
    ring.block_count_ = blocks;
    ring.interface_ = std::move(*name);

    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_IP);
    at.sll_ifindex = static_cast<int>(index);
    if (::bind(ring.fd_.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
        return std::unexpected(failure(fmt::format("bind packet ring to {}", ring.interface_)));
    return ring;
}

PacketRing::PacketRing(PacketRing&& other) noexcept
    : fd_(std::move(other.fd_)),
      map_(std::exchange(other.map_, nullptr)),
      block_size_(std::exchange(other.block_size_, 0)),
      block_count_(std::exchange(other.block_count_, 0)),
      current_(std::exchange(other.current_, 0)),
      interface_(std::move(other.interface_)) {}

PacketRing& PacketRing::operator=(PacketRing&& other) noexcept {
    if (this != &other) {
        if (map_ != nullptr) ::munmap(map_, block_size_ * block_count_);
        fd_ = std::move(other.fd_);
        map_ = std::exchange(other.map_, nullptr);
        block_size_ = std::exchange(other.block_size_, 0);
        block_count_ = std::exchange(other.block_count_, 0);
        current_ = std::exchange(other.current_, 0);
        interface_ = std::move(other.interface_);
    }
    return *this;
}

PacketRing::~PacketRing() {
    if (map_ != nullptr) ::munmap(map_, block_size_ * block_count_);
}

std::span<const std::uint8_t> PacketRing::ready_block() const {
    if (map_ == nullptr) return {};
    auto* desc = reinterpret_cast<tpacket_block_desc*>(map_ + current_ * block_size_);
    // The block's bytes are the kernel's until it hands the block over.
    if ((__atomic_load_n(&desc->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0) return {};
    return {map_ + current_ * block_size_, block_size_};
}

void PacketRing::release_block() {
    auto* desc = reinterpret_cast<tpacket_block_desc*>(map_ + current_ * block_size_);
    __atomic_store_n(&desc->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    current_ = (current_ + 1) % block_count_;
}

void PacketRing::block_packets(std::span<const std::uint8_t> block, std::uint32_t& count, std::uint32_t& first) {
    tpacket_block_desc desc;
    std::memcpy(&desc, block.data(), sizeof desc);
    count = desc.hdr.bh1.num_pkts;
    first = desc.hdr.bh1.offset_to_first_pkt;
    if (first < sizeof desc || first >= block.size()) count = 0;
}

std::uint32_t PacketRing::packet_at(std::span<const std::uint8_t> block, std::uint32_t offset, RingPacket& p) {
    if (offset > block.size() || block.size() - offset < sizeof(tpacket3_hdr)) return kBadOffset;
    tpacket3_hdr h;
    std::memcpy(&h, block.data() + offset, sizeof h);
    const std::size_t room = block.size() - offset;
    if (h.tp_mac < sizeof h + sizeof(SegmentationHeader) || h.tp_mac > room || h.tp_snaplen > room - h.tp_mac ||
        h.tp_net < h.tp_mac || std::uint32_t{h.tp_net} - h.tp_mac > h.tp_snaplen || h.tp_len < h.tp_snaplen)
        return kBadOffset;
    if (h.tp_next_offset != 0 && h.tp_next_offset > room) return kBadOffset;
    SegmentationHeader vnet;
    std::memcpy(&vnet, block.data() + offset + h.tp_mac - sizeof vnet, sizeof vnet);
    const std::size_t link = h.tp_net - h.tp_mac;
    p.capture = block.subspan(offset + h.tp_net, h.tp_snaplen - link);
    p.wire_length = h.tp_len - link;
    p.udp_checksum_trusted = (h.tp_status & (TP_STATUS_CSUM_VALID | TP_STATUS_CSUMNOTREADY)) != 0;
    p.segment_size = (vnet.gso_type & ~kGsoEcn) == kGsoUdpL4 ? le16toh(vnet.gso_size) : 0;
    p.wall_ns = std::uint64_t{h.tp_sec} * 1'000'000'000u + h.tp_nsec;
    return h.tp_next_offset;
}

std::uint64_t PacketRing::take_drops() {
    tpacket_stats_v3 st{};
    socklen_t len = sizeof st;
    // Reading the counters resets them.
    if (::getsockopt(fd_.get(), SOL_PACKET, PACKET_STATISTICS, &st, &len) != 0) return 0;
    return st.tp_drops;
}

std::expected<void, std::error_code> reject_all_datagrams(int socket) {
    sock_filter none{BPF_RET | BPF_K, 0, 0, 0};
    const sock_fprog program{1, &none};
    if (::setsockopt(socket, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0)
        return std::unexpected(std::error_code(errno, std::generic_category()));
    std::uint8_t scrap[1];
    while (::recv(socket, scrap, sizeof scrap, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
    }
    return {};
}

}  // namespace oculane
