#include "gige/proto/pixel_layout.hpp"

#include <fmt/format.h>

#include "gige/proto/gvsp.hpp"

namespace oculane::gvsp {

namespace {
// 8-bit Bayer mosaics beyond the named ones: GR8 and BG8.
constexpr std::uint32_t kBayerGR8 = 0x01080008;
constexpr std::uint32_t kBayerBG8 = 0x0108000B;
}  // namespace

std::optional<PixelLayout> pixel_layout(std::uint32_t pixel_format) {
    switch (pixel_format) {
        case pixel::kMono8:
        case pixel::kBayerRG8:
        case pixel::kBayerGB8:
        case kBayerGR8:
        case kBayerBG8: return PixelLayout{1, 1};
        case pixel::kMono10:
        case pixel::kMono12:
        case pixel::kMono16: return PixelLayout{2, 1};
        case pixel::kRGB8:
        case pixel::kBGR8: return PixelLayout{1, 3};
        case pixel::kYUV422_8: return PixelLayout{1, 2};
        default: return std::nullopt;
    }
}

std::uint64_t image_data_size(std::uint32_t pixel_format, std::uint32_t width, std::uint32_t height,
                              std::uint16_t x_padding) {
    const std::uint64_t bits = bits_per_pixel(pixel_format);
    if (width == 0 || height == 0 || bits == 0) return 0;
    const std::uint64_t row = (std::uint64_t{width} * bits + 7) / 8;  // below 2^40
    const std::uint64_t stride = row + x_padding;
    const std::uint64_t rows_before_last = height - 1;
    if (rows_before_last != 0 && stride > (UINT64_MAX - row) / rows_before_last) return UINT64_MAX;
    return rows_before_last * stride + row;
}

std::expected<ImageGeometry, std::string> image_geometry(std::uint32_t pixel_format, std::uint32_t width,
                                                         std::uint32_t height, std::uint16_t x_padding,
                                                         std::uint64_t data_size) {
    const auto layout = pixel_layout(pixel_format);
    if (!layout)
        return std::unexpected(fmt::format("pixel format {} has no known array layout; use data() for the bytes",
                                           pixel_format_text(pixel_format)));
    if (width == 0 || height == 0)
        return std::unexpected(
            fmt::format("frame has no image size ({}x{}); use data() for the bytes", width, height));
    // 32-bit sizes times at most 3 bytes fit 64 bits per row; the whole image
    // may not, so the product is checked before it is formed.
    const std::uint64_t row_bytes = std::uint64_t{width} * layout->element_bytes * layout->channels;
    const std::uint64_t stride = row_bytes + x_padding;
    const std::uint64_t rows_before_last = height - 1;
    std::uint64_t needed = 0;
    if (rows_before_last != 0 && stride > (UINT64_MAX - row_bytes) / rows_before_last) needed = UINT64_MAX;
    else needed = rows_before_last * stride + row_bytes;
    if (data_size < needed)
        return std::unexpected(fmt::format("frame data holds {} bytes, too few for a {}x{} {} image ({} bytes)",
                                           data_size, width, height, pixel_format_text(pixel_format), needed));
    return ImageGeometry{*layout, width, height, stride, needed};
}

}  // namespace oculane::gvsp
