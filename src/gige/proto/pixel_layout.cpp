#include "gige/proto/pixel_layout.hpp"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "gige/proto/gvsp.hpp"

namespace oculane::gvsp {

namespace {

using imaging::Color;
using imaging::Packing;

constexpr PixelFormatInfo entry(std::uint32_t code, std::string_view name, Color color, std::uint8_t depth,
                                Packing packing = Packing::None) {
    return {code, name, imaging::Format{color, depth, packing, static_cast<std::uint8_t>((code >> 16) & 0xFF)}};
}

// Codes from the GenICam pixel format naming convention, in the order of
// their low 16 bits (the format's number in the convention).
constexpr auto kFormats = std::to_array<PixelFormatInfo>({
    entry(0x01080001, "Mono8", Color::Mono, 8),
    entry(0x01100003, "Mono10", Color::Mono, 10),
    entry(0x010C0004, "Mono10Packed", Color::Mono, 10, Packing::TwoInThree),
    entry(0x01100005, "Mono12", Color::Mono, 12),
    entry(0x010C0006, "Mono12Packed", Color::Mono, 12, Packing::TwoInThree),
    entry(0x01100007, "Mono16", Color::Mono, 16),
    entry(0x01080008, "BayerGR8", Color::BayerGR, 8),
    entry(0x01080009, "BayerRG8", Color::BayerRG, 8),
    entry(0x0108000A, "BayerGB8", Color::BayerGB, 8),
    entry(0x0108000B, "BayerBG8", Color::BayerBG, 8),
    entry(0x0110000C, "BayerGR10", Color::BayerGR, 10),
    entry(0x0110000D, "BayerRG10", Color::BayerRG, 10),
    entry(0x0110000E, "BayerGB10", Color::BayerGB, 10),
    entry(0x0110000F, "BayerBG10", Color::BayerBG, 10),
    entry(0x01100010, "BayerGR12", Color::BayerGR, 12),
    entry(0x01100011, "BayerRG12", Color::BayerRG, 12),
    entry(0x01100012, "BayerGB12", Color::BayerGB, 12),
    entry(0x01100013, "BayerBG12", Color::BayerBG, 12),
    entry(0x02180014, "RGB8", Color::RGB, 8),
    entry(0x02180015, "BGR8", Color::BGR, 8),
    entry(0x02200016, "RGBa8", Color::RGBa, 8),
    entry(0x02200017, "BGRa8", Color::BGRa, 8),
    entry(0x0210001F, "YUV422_8_UYVY", Color::UYVY, 8),
    entry(0x01100025, "Mono14", Color::Mono, 14),
    entry(0x010C0026, "BayerGR10Packed", Color::BayerGR, 10, Packing::TwoInThree),
    entry(0x010C0027, "BayerRG10Packed", Color::BayerRG, 10, Packing::TwoInThree),
    entry(0x010C0028, "BayerGB10Packed", Color::BayerGB, 10, Packing::TwoInThree),
    entry(0x010C0029, "BayerBG10Packed", Color::BayerBG, 10, Packing::TwoInThree),
    entry(0x010C002A, "BayerGR12Packed", Color::BayerGR, 12, Packing::TwoInThree),
    entry(0x010C002B, "BayerRG12Packed", Color::BayerRG, 12, Packing::TwoInThree),
    entry(0x010C002C, "BayerGB12Packed", Color::BayerGB, 12, Packing::TwoInThree),
    entry(0x010C002D, "BayerBG12Packed", Color::BayerBG, 12, Packing::TwoInThree),
    entry(0x0110002E, "BayerGR16", Color::BayerGR, 16),
    entry(0x0110002F, "BayerRG16", Color::BayerRG, 16),
    entry(0x01100030, "BayerGB16", Color::BayerGB, 16),
    entry(0x01100031, "BayerBG16", Color::BayerBG, 16),
    entry(0x02100032, "YUV422_8", Color::YUYV, 8),
    entry(0x010A0046, "Mono10p", Color::Mono, 10, Packing::LsbFirst),
    entry(0x010C0047, "Mono12p", Color::Mono, 12, Packing::LsbFirst),
    entry(0x010A0052, "BayerBG10p", Color::BayerBG, 10, Packing::LsbFirst),
    entry(0x010C0053, "BayerBG12p", Color::BayerBG, 12, Packing::LsbFirst),
    entry(0x010A0054, "BayerGB10p", Color::BayerGB, 10, Packing::LsbFirst),
    entry(0x010C0055, "BayerGB12p", Color::BayerGB, 12, Packing::LsbFirst),
    entry(0x010A0056, "BayerGR10p", Color::BayerGR, 10, Packing::LsbFirst),
    entry(0x010C0057, "BayerGR12p", Color::BayerGR, 12, Packing::LsbFirst),
    entry(0x010A0058, "BayerRG10p", Color::BayerRG, 10, Packing::LsbFirst),
    entry(0x010C0059, "BayerRG12p", Color::BayerRG, 12, Packing::LsbFirst),
});

constexpr bool sorted_and_consistent() {
    for (std::size_t i = 0; i < kFormats.size(); ++i) {
        if (i > 0 && (kFormats[i - 1].code & 0xFFFF) >= (kFormats[i].code & 0xFFFF)) return false;
        const auto& f = kFormats[i].format;
        const unsigned samples = f.color == Color::RGB || f.color == Color::BGR     ? 3
                                 : f.color == Color::RGBa || f.color == Color::BGRa ? 4
                                 : f.color == Color::YUYV || f.color == Color::UYVY ? 2
                                                                                    : 1;
        const unsigned container = f.packing == Packing::None ? (f.depth > 8 ? 16 : 8)
                                   : f.packing == Packing::LsbFirst ? f.depth
                                                                    : 12;
        if (f.bits != samples * container) return false;
    }
    return true;
}
static_assert(sorted_and_consistent(), "pixel formats: numbers in order, bits per pixel as the layout needs");

}  // namespace

std::span<const PixelFormatInfo> pixel_formats() { return kFormats; }

const PixelFormatInfo* pixel_format_info(std::uint32_t code) {
    const auto it = std::lower_bound(kFormats.begin(), kFormats.end(), code & 0xFFFF,
                                     [](const PixelFormatInfo& f, std::uint32_t n) { return (f.code & 0xFFFF) < n; });
    return it != kFormats.end() && it->code == code ? &*it : nullptr;
}

std::optional<PixelLayout> pixel_layout(std::uint32_t pixel_format) {
    const PixelFormatInfo* info = pixel_format_info(pixel_format);
    if (!info || info->format.packing != Packing::None) return std::nullopt;
    const auto& f = info->format;
    if (imaging::single_sample(f.color)) return PixelLayout{static_cast<std::uint8_t>(f.depth > 8 ? 2 : 1), 1};
    return PixelLayout{1, static_cast<std::uint8_t>(f.bits / 8)};
}

std::uint64_t image_data_size(std::uint32_t pixel_format, std::uint32_t width, std::uint32_t height,
                              std::uint16_t x_padding) {
    const std::uint64_t bits = bits_per_pixel(pixel_format);
    if (width == 0 || height == 0 || bits == 0) return 0;
    const std::uint64_t row_bits = std::uint64_t{width} * bits;  // below 2^40
    // One bit stream: below 2^72 bits would overflow, so checked in bytes.
    if (x_padding == 0 && row_bits % 8 != 0) {
        if (row_bits > UINT64_MAX / height) return UINT64_MAX;
        return (row_bits * height + 7) / 8;
    }
    const std::uint64_t row = (row_bits + 7) / 8;
    const std::uint64_t stride = row + x_padding;
    const std::uint64_t rows_before_last = height - 1;
    if (rows_before_last != 0 && stride > (UINT64_MAX - row) / rows_before_last) return UINT64_MAX;
    return rows_before_last * stride + row;
}

std::expected<ImageGeometry, std::string> image_geometry(std::uint32_t pixel_format, std::uint32_t width,
                                                         std::uint32_t height, std::uint16_t x_padding,
                                                         std::uint64_t data_size) {
    const PixelFormatInfo* info = pixel_format_info(pixel_format);
    if (!info)
        return std::unexpected(fmt::format("pixel format {} has no known array layout; use data() for the bytes",
                                           pixel_format_text(pixel_format)));
    if (width == 0 || height == 0)
        return std::unexpected(
            fmt::format("frame has no image size ({}x{}); use data() for the bytes", width, height));
    const std::uint64_t needed = image_data_size(pixel_format, width, height, x_padding);
    if (data_size < needed)
        return std::unexpected(fmt::format("frame data holds {} bytes, too few for a {}x{} {} image ({} bytes)",
                                           data_size, width, height, pixel_format_text(pixel_format), needed));
    const std::uint64_t row_bits = std::uint64_t{width} * info->format.bits;
    const bool packed = info->format.packing != Packing::None;
    const auto layout = pixel_layout(pixel_format);
    return ImageGeometry{.info = info,
                         .layout = layout ? *layout : PixelLayout{2, 1},
                         .packed = packed,
                         .width = width,
                         .height = height,
                         .row_stride = (row_bits + 7) / 8 + x_padding,
                         .bit_rows = x_padding == 0 && row_bits % 8 != 0,
                         .bytes_needed = needed};
}

}  // namespace oculane::gvsp
