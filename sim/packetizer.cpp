#include "sim/packetizer.hpp"

#include "sim/device_chunks.hpp"

#include <algorithm>
#include <cstring>

#include "gige/proto/bytes.hpp"

namespace oculane::sim {
namespace {

constexpr std::uint16_t kImageType = gvsp::payload_type::kImage;

bool listed(const StreamFault& f, std::uint32_t pid, std::uint32_t fallback) {
    if (f.packets.empty()) return pid == fallback;
    return std::find(f.packets.begin(), f.packets.end(), pid) != f.packets.end();
}

std::uint32_t header_size(bool extended) {
    return static_cast<std::uint32_t>(extended ? gvsp::kExtendedHeaderSize : gvsp::kHeaderSize);
}

// What happens to one packet.
struct Fate {
    bool lost = false;
    bool duplicate = false;
    bool truncate = false;
    std::uint16_t status = 0;
    std::uint32_t id = 0;  // id written in the header
};

void write_header(std::span<std::uint8_t> out, const FrameJob& f, gvsp::PacketFormat format, std::uint32_t id,
                  std::uint16_t status) {
    gvsp::encode_header(out, gvsp::PacketHeader{status, f.block_id, static_cast<std::uint8_t>(format), id,
                                                f.extended});
}

// Appends packet `pid` of the block as it would be sent without faults,
// except for the status, id and truncation in `fate`.
// How a fault spoils the block as a whole.
struct BlockFate {
    bool bad_type = false;
    bool oversized_leader = false;
    bool all_in = false;
};

void add_packet(const FrameJob& f, std::span<const std::uint8_t> payload, std::uint32_t pid, const Fate& fate,
                const BlockFate& block, PacketList& out) {
    const std::uint32_t n = f.packet_count();
    const std::uint32_t hs = header_size(f.extended);
    if (fate.status != 0) {  // an error status travels without payload
        auto h = out.add(hs, nullptr, 0);
        const auto format = pid == 0 ? gvsp::PacketFormat::Leader
                            : pid == n - 1 ? gvsp::PacketFormat::Trailer
                                           : gvsp::PacketFormat::Payload;
        write_header(h, f, format, fate.id, fate.status);
        return;
    }
    const std::uint16_t type = static_cast<std::uint16_t>(
        block.bad_type ? kUnsupportedPayloadType
                       : (f.chunks ? kImageType | gvsp::payload_type::kChunkFlag : kImageType));
    if (pid == 0) {
        const std::uint32_t size = fate.truncate ? 10 : gvsp::kLeaderImageSize;
        auto h = out.add(hs + size, nullptr, 0);
        write_header(h, f, block.all_in ? gvsp::PacketFormat::AllIn : gvsp::PacketFormat::Leader, fate.id, 0);
        std::uint8_t leader[gvsp::kLeaderImageSize];
        gvsp::LeaderInfo info;
        info.timestamp = f.timestamp;
        info.pixel_format = f.pixel_format;
        info.width = f.width;
        info.height = block.oversized_leader ? 2 * f.height : f.height;
        info.x_offset = f.offset_x;
        info.y_offset = f.offset_y;
        gvsp::encode_leader(leader, type, info);
        std::memcpy(h.data() + hs, leader, size);
    } else if (pid == n - 1) {
        const std::uint32_t size = fate.truncate ? 4 : gvsp::kTrailerImageSize;
        auto h = out.add(hs + size, nullptr, 0);
        write_header(h, f, gvsp::PacketFormat::Trailer, fate.id, 0);
        std::uint8_t trailer[gvsp::kTrailerImageSize];
        gvsp::encode_trailer(trailer, type, f.height);
        std::memcpy(h.data() + hs, trailer, size);
    } else {
        const std::uint64_t per = f.data_per_packet();
        const std::uint64_t offset = (pid - 1) * per;
        std::uint32_t len = offset < payload.size()
                                ? static_cast<std::uint32_t>(std::min<std::uint64_t>(per, payload.size() - offset))
                                : 0;
        if (fate.truncate) len /= 2;
        auto h = out.add(hs, len ? payload.data() + offset : nullptr, len);
        write_header(h, f, gvsp::PacketFormat::Payload, fate.id, 0);
    }
}

bool is_loss(StreamFaultKind k) {
    return k == StreamFaultKind::Loss || k == StreamFaultKind::Burst || k == StreamFaultKind::DropPackets ||
           k == StreamFaultKind::DropLeader || k == StreamFaultKind::DropTrailer || k == StreamFaultKind::DropFrame;
}

// Loss and the per-packet faults for packet `pid` of a block of `n` packets.
Fate fate_of(std::span<const StreamFault> faults, std::uint32_t pid, std::uint32_t n, bool extended, Dice& dice) {
    Fate fate;
    fate.id = pid;
    for (const auto& f : faults) {
        switch (f.kind) {
            case StreamFaultKind::Loss:
                if ((f.packets.empty() || listed(f, pid, 0)) && dice.next() < f.ratio) fate.lost = true;
                break;
            case StreamFaultKind::Burst: {
                const std::uint32_t start = f.packets.empty() ? 1 : f.packets.front();
                if (pid >= start && pid - start < f.length) fate.lost = true;
                break;
            }
            case StreamFaultKind::DropPackets: fate.lost |= listed(f, pid, ~0u); break;
            case StreamFaultKind::DropLeader: fate.lost |= pid == 0; break;
            case StreamFaultKind::DropTrailer: fate.lost |= pid == n - 1; break;
            case StreamFaultKind::DropFrame: fate.lost = true; break;
            case StreamFaultKind::Duplicate:
                if (f.packets.empty() ? dice.next() < f.ratio : listed(f, pid, ~0u)) fate.duplicate = true;
                break;
            case StreamFaultKind::ErrorStatus:
                if (listed(f, pid, 1)) fate.status = f.status;
                break;
            case StreamFaultKind::WrongPacketId:
                if (pid != 0 && pid != n - 1 && listed(f, pid, 1)) fate.id = n + 16;
                break;
            case StreamFaultKind::AbsurdTrailer:
                if (pid == n - 1) fate.id = extended ? 0xFFFFFFFFu : 0xFFFFFFu;
                break;
            case StreamFaultKind::Truncate: fate.truncate |= listed(f, pid, 1); break;
            case StreamFaultKind::Reorder:
            case StreamFaultKind::BadPayloadType:
            case StreamFaultKind::OversizedLeader:
            case StreamFaultKind::AllIn: break;
        }
    }
    return fate;
}

}  // namespace

std::vector<std::uint8_t> PacketList::datagram(std::size_t i) const {
    const auto& p = packets_.at(i);
    std::vector<std::uint8_t> out(header(p), header(p) + p.header_size);
    if (p.data_size) out.insert(out.end(), p.data, p.data + p.data_size);
    return out;
}

std::span<std::uint8_t> PacketList::add(std::uint32_t header_size, const std::uint8_t* data,
                                        std::uint32_t data_size) {
    const auto offset = static_cast<std::uint32_t>(arena_.size());
    arena_.resize(arena_.size() + header_size);
    packets_.push_back(PacketDesc{offset, header_size, data, data_size});
    return std::span(arena_).subspan(offset, header_size);
}

void PacketList::erase_if_larger(std::uint32_t udp_bytes, std::uint64_t& removed) {
    const auto before = packets_.size();
    std::erase_if(packets_, [udp_bytes](const PacketDesc& p) { return p.size() > udp_bytes; });
    removed += before - packets_.size();
}

std::span<const std::uint8_t> frame_payload(const FrameJob& f, std::span<const std::uint8_t> image,
                                            std::vector<std::uint8_t>& scratch) {
    if (!f.chunks) return image;
    chunk::assemble(f, image, scratch);
    return scratch;
}

void build_frame_packets(const FrameJob& f, std::span<const std::uint8_t> payload,
                         std::span<const StreamFault> faults, std::uint32_t path_mtu, Dice& dice,
                         PacketList& out, StreamCounters& counts) {
    out.clear();
    const std::uint32_t n = f.packet_count();
    BlockFate block;
    std::uint32_t window = 0;
    for (const auto& fault : faults) {
        block.bad_type |= fault.kind == StreamFaultKind::BadPayloadType;
        block.oversized_leader |= fault.kind == StreamFaultKind::OversizedLeader;
        block.all_in |= fault.kind == StreamFaultKind::AllIn;
        if (fault.kind == StreamFaultKind::Reorder) window = std::max(window, fault.length);
    }
    // An all-in block is its leader alone; the rest is withheld.
    const std::uint32_t sent = block.all_in ? 1 : n;
    counts.lost += n - sent;
    for (std::uint32_t pid = 0; pid < sent; ++pid) {
        const Fate fate = fate_of(faults, pid, n, f.extended, dice);
        if (fate.lost) {
            ++counts.lost;
            continue;
        }
        add_packet(f, payload, pid, fate, block, out);
        if (fate.duplicate) {
            out.push(out.packets().back());
            ++counts.duplicated;
        }
    }
    if (window > 1) {
        auto ps = out.packets();
        for (std::size_t i = 0; i < ps.size(); i += window)
            std::reverse(ps.begin() + static_cast<std::ptrdiff_t>(i),
                         ps.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(i + window, ps.size())));
    }
    if (path_mtu != 0) out.erase_if_larger(path_mtu - static_cast<std::uint32_t>(gvsp::kIpUdpOverhead), counts.mtu_lost);
}

void build_resend_packets(const ResendJob& job, std::span<const std::uint8_t> payload,
                          std::span<const StreamFault> faults, std::uint32_t path_mtu, Dice& dice,
                          PacketList& out, StreamCounters& counts) {
    out.clear();
    const FrameJob& f = job.frame;
    const std::uint32_t n = f.packet_count();
    for (std::uint32_t pid = job.first; pid <= job.last && pid < n; ++pid) {
        Fate fate;
        fate.id = pid;
        if (!job.held) {
            fate.status = gvsp::status::kPacketUnavailable;
            ++counts.unavailable;
        } else {
            for (const auto& fault : faults) {
                if (!is_loss(fault.kind)) continue;
                const StreamFault* one = &fault;
                if (fate_of(std::span(one, 1), pid, n, f.extended, dice).lost) fate.lost = true;
            }
            if (fate.lost) {
                ++counts.lost;
                continue;
            }
            ++counts.resent;
        }
        add_packet(f, payload, pid, fate, BlockFate{}, out);
    }
    if (path_mtu != 0) out.erase_if_larger(path_mtu - static_cast<std::uint32_t>(gvsp::kIpUdpOverhead), counts.mtu_lost);
}

}  // namespace oculane::sim
