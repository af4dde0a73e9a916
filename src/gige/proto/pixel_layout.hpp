#pragma once
// How the pixels of an image payload lie in memory, for the formats whose
// layout is unambiguous: one element type, a channel count, rows of `width`
// pixels followed by `x_padding` bytes. Used to hand out array views of a
// frame without copying. Pure functions, no I/O.
//
// Multi-byte pixels of the unpacked formats (Mono10, Mono12, Mono16: one
// pixel per 16-bit container, value in the low bits) travel little-endian:
// the GigE Vision pixel format naming fixes that byte order for pixel data,
// unlike the protocol headers, which are big-endian.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

namespace oculane::gvsp {

struct PixelLayout {
    std::uint8_t element_bytes;  // 1 (uint8) or 2 (little-endian uint16)
    std::uint8_t channels;       // 1 for (H, W); 2 or 3 for (H, W, C)
};

// The layout of a known format, or nothing (packed, planar and unknown codes).
// Mono8 and the 8-bit Bayer mosaics: 1 byte, 1 channel. Mono10/12/16: 2
// bytes, 1 channel. RGB8 and BGR8: 1 byte, 3 channels in that order.
// YUV422_8 (Y0 U Y1 V, ...): 1 byte, 2 channels per pixel.
std::optional<PixelLayout> pixel_layout(std::uint32_t pixel_format);

struct ImageGeometry {
    PixelLayout layout;
    std::uint32_t width;
    std::uint32_t height;
    std::uint64_t row_stride;    // bytes from one row to the next
    std::uint64_t bytes_needed;  // the last row needs no padding after it
};

// The geometry of a width x height image with `x_padding` bytes after each
// row, checked against the `data_size` bytes that were received. The error
// says why no view can be made: a format without a known layout, a frame
// without an image size, or data too short for the image.
// The bytes an image of this format and size occupies up to its last pixel:
// rows of ceil(width x bits per pixel / 8) bytes, each but the last followed
// by `x_padding` bytes (bits per pixel from the code, so packed formats count
// too). 0 when there is no image to describe (a zero size or a code without
// bits); saturates instead of overflowing.
std::uint64_t image_data_size(std::uint32_t pixel_format, std::uint32_t width, std::uint32_t height,
                              std::uint16_t x_padding);

std::expected<ImageGeometry, std::string> image_geometry(std::uint32_t pixel_format, std::uint32_t width,
                                                         std::uint32_t height, std::uint16_t x_padding,
                                                         std::uint64_t data_size);

}  // namespace oculane::gvsp
