#include "sim/test_pattern.hpp"

#include "gige/proto/gvsp.hpp"

namespace oculane::sim {
namespace {

inline std::uint32_t h(std::uint32_t x, std::uint32_t r) { return x + 3 * r + ((x * r) >> 4); }
inline std::uint8_t lo(std::uint32_t v) { return static_cast<std::uint8_t>(v); }

}  // namespace

std::size_t pattern_bytes_per_pixel(std::uint32_t format) {
    if (!gvsp::pixel_format_name(format)) return 0;
    return gvsp::bits_per_pixel(format) / 8;
}

void fill_pattern_rows(std::span<std::uint8_t> out, std::uint32_t format, std::uint32_t width,
                       std::uint32_t first_row, std::uint32_t rows) {
    const std::size_t bpp = pattern_bytes_per_pixel(format);
    if (bpp == 0 || out.size() < std::size_t{width} * rows * bpp) return;
    std::uint8_t* p = out.data();
    for (std::uint32_t r = first_row; r < first_row + rows; ++r) {
        switch (format) {
            case gvsp::pixel::kMono8:
            case gvsp::pixel::kBayerRG8:
            case gvsp::pixel::kBayerGB8:
                for (std::uint32_t x = 0; x < width; ++x) *p++ = lo(h(x, r));
                break;
            case gvsp::pixel::kMono10:
            case gvsp::pixel::kMono12:
            case gvsp::pixel::kMono16: {
                const std::uint32_t mask = format == gvsp::pixel::kMono10   ? 0x3FF
                                           : format == gvsp::pixel::kMono12 ? 0xFFF
                                                                            : 0xFFFF;
                for (std::uint32_t x = 0; x < width; ++x) {
                    const std::uint32_t v = h(x, r) & mask;
                    *p++ = lo(v);
                    *p++ = lo(v >> 8);
                }
                break;
            }
            case gvsp::pixel::kRGB8:
                for (std::uint32_t x = 0; x < width; ++x) {
                    const std::uint32_t v = h(x, r);
                    *p++ = lo(v);
                    *p++ = lo(v + 85);
                    *p++ = lo(v + 170);
                }
                break;
            case gvsp::pixel::kBGR8:
                for (std::uint32_t x = 0; x < width; ++x) {
                    const std::uint32_t v = h(x, r);
                    *p++ = lo(v + 170);
                    *p++ = lo(v + 85);
                    *p++ = lo(v);
                }
                break;
            case gvsp::pixel::kYUV422_8:
                for (std::uint32_t x = 0; x < width; ++x) {
                    const std::uint32_t g = h(x & ~1u, r);
                    *p++ = lo(h(x, r));
                    *p++ = lo(g + ((x & 1) ? 192 : 64));
                }
                break;
            default: return;
        }
    }
}

std::vector<std::uint8_t> expected_frame(std::uint64_t frame_id, std::uint32_t width, std::uint32_t height,
                                         std::uint32_t format) {
    const std::size_t bpp = pattern_bytes_per_pixel(format);
    if (bpp == 0) return {};
    std::vector<std::uint8_t> out(std::size_t{width} * height * bpp);
    fill_pattern_rows(out, format, width, static_cast<std::uint32_t>(frame_id % kPatternShifts), height);
    return out;
}

std::span<const std::uint8_t> PatternCache::frame(std::uint64_t frame_id, std::uint32_t format,
                                                  std::uint32_t width, std::uint32_t height) {
    if (format != format_ || width != width_ || height != height_) {
        const std::size_t bpp = pattern_bytes_per_pixel(format);
        format_ = format;
        width_ = width;
        height_ = height;
        row_bytes_ = std::size_t{width} * bpp;
        rows_.assign(row_bytes_ * (height + kPatternShifts - 1), 0);
        fill_pattern_rows(rows_, format, width, 0, height + kPatternShifts - 1);
    }
    if (row_bytes_ == 0) return {};
    return std::span<const std::uint8_t>(rows_).subspan((frame_id % kPatternShifts) * row_bytes_,
                                                        row_bytes_ * height);
}

}  // namespace oculane::sim
