#include "gige/proto/gvsp.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "gige/proto/bytes.hpp"
#include "gige/proto/pixel_layout.hpp"

namespace oculane::gvsp {

std::optional<Packet> parse_packet(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < kHeaderSize) return std::nullopt;
    ByteReader r(datagram);
    Packet p;
    p.status = r.u16();
    const std::uint16_t short_block = r.u16();
    const std::uint8_t flags = r.u8();
    const std::uint32_t short_packet = (std::uint32_t{r.u16()} << 8) | r.u8();
    p.extended = (flags & kExtendedIdFlag) != 0;
    p.format = flags & kFormatMask;
    p.kind = kind_of(p.format);
    if (p.extended) {
        if (datagram.size() < kExtendedHeaderSize) return std::nullopt;
        p.block_id = r.u64();
        p.packet_id = r.u32();
    } else {
        p.block_id = short_block;
        p.packet_id = short_packet;
    }
    p.payload = r.rest();
    return p;
}

std::optional<LeaderInfo> parse_leader(std::span<const std::uint8_t> payload) {
    if (payload.size() < 12) return std::nullopt;
    // Fields past the end read as 0: the reader is sticky, so read them all.
    std::array<std::uint8_t, kLeaderImageSize> full{};
    std::copy_n(payload.begin(), std::min(payload.size(), full.size()), full.begin());
    ByteReader r(full);
    LeaderInfo l;
    r.skip(2);
    const std::uint16_t raw_type = r.u16();
    l.payload_type = raw_type & payload_type::kMask;
    l.has_chunks = (raw_type & payload_type::kChunkFlag) != 0 ||
                   l.payload_type == payload_type::kChunkData ||
                   l.payload_type == payload_type::kExtendedChunk;
    l.timestamp = r.u64();
    l.pixel_format = r.u32();
    l.width = r.u32();
    l.height = r.u32();
    l.x_offset = r.u32();
    l.y_offset = r.u32();
    l.x_padding = r.u16();
    l.y_padding = r.u16();
    return l;
}

std::size_t encode_header(std::span<std::uint8_t> out, const PacketHeader& h) {
    const std::size_t size = h.extended ? kExtendedHeaderSize : kHeaderSize;
    if (out.size() < size) return 0;
    ByteWriter w(out);
    w.u16(h.status);
    w.u16(h.extended ? 0 : static_cast<std::uint16_t>(h.block_id));
    w.u8(static_cast<std::uint8_t>((h.format & kFormatMask) | (h.extended ? kExtendedIdFlag : 0)));
    const std::uint32_t short_id = h.extended ? 0 : (h.packet_id & 0xFFFFFF);
    w.u16(static_cast<std::uint16_t>(short_id >> 8));
    w.u8(static_cast<std::uint8_t>(short_id));
    if (h.extended) {
        w.u64(h.block_id);
        w.u32(h.packet_id);
    }
    return w.size();
}

std::size_t encode_leader(std::span<std::uint8_t> out, std::uint16_t type, const LeaderInfo& l) {
    if (out.size() < kLeaderImageSize) return 0;
    ByteWriter w(out);
    w.u16(0);
    w.u16(type);
    w.u64(l.timestamp);
    w.u32(l.pixel_format);
    w.u32(l.width);
    w.u32(l.height);
    w.u32(l.x_offset);
    w.u32(l.y_offset);
    w.u16(l.x_padding);
    w.u16(l.y_padding);
    return w.size();
}

std::size_t encode_trailer(std::span<std::uint8_t> out, std::uint16_t type, std::uint32_t height) {
    if (out.size() < kTrailerImageSize) return 0;
    ByteWriter w(out);
    w.u16(0);
    w.u16(type);
    w.u32(height);
    return w.size();
}

std::optional<std::string_view> pixel_format_name(std::uint32_t code) {
    if (const PixelFormatInfo* f = pixel_format_info(code)) return f->name;
    return std::nullopt;
}

std::optional<std::uint32_t> pixel_format_code(std::string_view name) {
    for (const auto& f : pixel_formats())
        if (f.name == name) return f.code;
    return std::nullopt;
}

std::string pixel_format_text(std::uint32_t code) {
    if (auto name = pixel_format_name(code)) return std::string(*name);
    return fmt::format("0x{:08x}", code);
}

}  // namespace oculane::gvsp
