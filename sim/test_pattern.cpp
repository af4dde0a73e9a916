#include "sim/test_pattern.hpp"

#include "gige/proto/gvsp.hpp"
#include "gige/proto/pixel_layout.hpp"

namespace oculane::sim {
namespace {

using imaging::Color;
using imaging::Packing;

inline std::uint32_t h(std::uint32_t x, std::uint32_t r) { return x + 3 * r + ((x * r) >> 4); }
inline std::uint8_t lo(std::uint32_t v) { return static_cast<std::uint8_t>(v); }

// Packs samples the way a camera does, written from the bit layouts
// (independently of the receiver's unpacking): "p" formats as one
// little-endian bit stream, "Packed" formats as pairs in three bytes.
class Packer {
public:
    Packer(const imaging::Format& f, std::uint8_t* out) : f_(f), out_(out) {}
    void put(std::uint32_t v) {
        if (f_.packing == Packing::LsbFirst) {
            acc_ |= std::uint64_t{v} << nbits_;
            nbits_ += f_.depth;
            while (nbits_ >= 8) {
                *out_++ = lo(static_cast<std::uint32_t>(acc_));
                acc_ >>= 8;
                nbits_ -= 8;
            }
            return;
        }
        const unsigned low = f_.depth - 8;
        if (!have_first_) {
            first_ = v;
            have_first_ = true;
            return;
        }
        *out_++ = lo(first_ >> low);
        *out_++ = lo((first_ & ((1u << low) - 1)) | (v & ((1u << low) - 1)) << 4);
        *out_++ = lo(v >> low);
        have_first_ = false;
    }
    // The bits of a last, incomplete group.
    void finish() {
        if (f_.packing == Packing::LsbFirst) {
            if (nbits_ > 0) *out_++ = lo(static_cast<std::uint32_t>(acc_));
        } else if (have_first_) {
            const unsigned low = f_.depth - 8;
            *out_++ = lo(first_ >> low);
            *out_++ = lo(first_ & ((1u << low) - 1));
        }
        acc_ = 0;
        nbits_ = 0;
        have_first_ = false;
    }

private:
    imaging::Format f_;
    std::uint8_t* out_;
    std::uint64_t acc_ = 0;
    unsigned nbits_ = 0;
    std::uint32_t first_ = 0;
    bool have_first_ = false;
};

}  // namespace

std::size_t pattern_image_bytes(std::uint32_t format, std::uint32_t width, std::uint32_t rows) {
    if (!gvsp::pixel_format_info(format)) return 0;
    return gvsp::image_data_size(format, width, rows, 0);
}

void fill_pattern_rows(std::span<std::uint8_t> out, std::uint32_t format, std::uint32_t width,
                       std::uint32_t first_row, std::uint32_t rows) {
    const gvsp::PixelFormatInfo* info = gvsp::pixel_format_info(format);
    if (!info || rows == 0 || out.size() < pattern_image_bytes(format, width, rows)) return;
    const imaging::Format& f = info->format;
    std::uint8_t* p = out.data();
    if (f.packing != Packing::None) {
        // One stream over all the rows: rows that end inside a byte run on.
        Packer packer(f, p);
        const std::uint32_t mask = (1u << f.depth) - 1;
        for (std::uint32_t r = first_row; r < first_row + rows; ++r)
            for (std::uint32_t x = 0; x < width; ++x) packer.put(h(x, r) & mask);
        packer.finish();
        return;
    }
    for (std::uint32_t r = first_row; r < first_row + rows; ++r) {
        switch (f.color) {
            case Color::Mono:
            case Color::BayerRG:
            case Color::BayerGR:
            case Color::BayerGB:
            case Color::BayerBG:
                if (f.depth == 8) {
                    for (std::uint32_t x = 0; x < width; ++x) *p++ = lo(h(x, r));
                } else {
                    const std::uint32_t mask = (1u << f.depth) - 1;
                    for (std::uint32_t x = 0; x < width; ++x) {
                        const std::uint32_t v = h(x, r) & mask;
                        *p++ = lo(v);
                        *p++ = lo(v >> 8);
                    }
                }
                break;
            case Color::RGB:
            case Color::RGBa:
                for (std::uint32_t x = 0; x < width; ++x) {
                    const std::uint32_t v = h(x, r);
                    *p++ = lo(v);
                    *p++ = lo(v + 85);
                    *p++ = lo(v + 170);
                    if (f.color == Color::RGBa) *p++ = lo(v + 42);
                }
                break;
            case Color::BGR:
            case Color::BGRa:
                for (std::uint32_t x = 0; x < width; ++x) {
                    const std::uint32_t v = h(x, r);
                    *p++ = lo(v + 170);
                    *p++ = lo(v + 85);
                    *p++ = lo(v);
                    if (f.color == Color::BGRa) *p++ = lo(v + 42);
                }
                break;
            case Color::YUYV:
            case Color::UYVY:
                for (std::uint32_t x = 0; x < width; ++x) {
                    const std::uint8_t y = lo(h(x, r));
                    const std::uint8_t chroma = lo(h(x & ~1u, r) + ((x & 1) ? 192 : 64));
                    *p++ = f.color == Color::YUYV ? y : chroma;
                    *p++ = f.color == Color::YUYV ? chroma : y;
                }
                break;
        }
    }
}

std::vector<std::uint8_t> expected_frame(std::uint64_t frame_id, std::uint32_t width, std::uint32_t height,
                                         std::uint32_t format) {
    const std::size_t bytes = pattern_image_bytes(format, width, height);
    if (bytes == 0) return {};
    std::vector<std::uint8_t> out(bytes);
    fill_pattern_rows(out, format, width, static_cast<std::uint32_t>(frame_id % kPatternShifts), height);
    return out;
}

std::span<const std::uint8_t> PatternCache::frame(std::uint64_t frame_id, std::uint32_t format,
                                                  std::uint32_t width, std::uint32_t height) {
    const std::uint64_t row_bits = std::uint64_t{width} * gvsp::bits_per_pixel(format);
    if (row_bits % 8 != 0) {
        // Rows that end inside a byte cannot be sliced out of a taller image:
        // such a frame is drawn on its own.
        format_ = 0;
        rows_ = expected_frame(frame_id, width, height, format);
        return rows_;
    }
    if (format != format_ || width != width_ || height != height_) {
        format_ = format;
        width_ = width;
        height_ = height;
        row_bytes_ = pattern_image_bytes(format, width, 1);
        rows_.assign(row_bytes_ * (height + kPatternShifts - 1), 0);
        fill_pattern_rows(rows_, format, width, 0, height + kPatternShifts - 1);
    }
    if (row_bytes_ == 0) return {};
    return std::span<const std::uint8_t>(rows_).subspan((frame_id % kPatternShifts) * row_bytes_,
                                                        row_bytes_ * height);
}

}  // namespace oculane::sim
