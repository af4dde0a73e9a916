#pragma once
// The pixel formats the system knows: their codes and names, what a pixel
// holds and how it lies in memory, and the geometry of an image of one of
// them. Used to hand out array views of a frame without copying, unpacked
// copies of packed formats, and colour conversions. Pure functions, no I/O.
//
// Multi-byte pixels of the unpacked formats (Mono10, Mono12, Mono16 and the
// wide Bayer formats: one pixel per 16-bit container, value in the low bits)
// travel little-endian: the GigE Vision pixel format naming fixes that byte
// order for pixel data, unlike the protocol headers, which are big-endian.
// Packed formats come in two families: the "p" formats (Mono10p, BayerRG12p,
// ...), one little-endian bit stream with the first pixel in the low bits,
// and the older GigE Vision "Packed" formats (Mono12Packed, ...), two pixels
// in three bytes (see imaging::Packing).

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "util/pixel_convert.hpp"

namespace oculane::gvsp {

struct PixelFormatInfo {
    std::uint32_t code;
    std::string_view name;
    imaging::Format format;
};

// Every known format, in the order of their numbers (the low 16 bits).
std::span<const PixelFormatInfo> pixel_formats();
// The entry of a known code, or null.
const PixelFormatInfo* pixel_format_info(std::uint32_t code);

struct PixelLayout {
    std::uint8_t element_bytes;  // 1 (uint8) or 2 (little-endian uint16)
    std::uint8_t channels;       // 1 for (H, W); 2, 3 or 4 for (H, W, C)
};

// The layout of a format whose pixels can be viewed in place, or nothing
// (packed and unknown codes). Mono8 and the 8-bit Bayer mosaics: 1 byte, 1
// channel. Mono10/12/14/16 and the 10- to 16-bit Bayer mosaics: 2 bytes, 1
// channel. RGB8 and BGR8: 1 byte, 3 channels in that order; RGBa8, BGRa8: 4.
// YUV422_8 (Y0 U Y1 V, ...) and YUV422_8_UYVY (U Y0 V Y1, ...): 1 byte, 2
// channels per pixel.
std::optional<PixelLayout> pixel_layout(std::uint32_t pixel_format);

struct ImageGeometry {
    const PixelFormatInfo* info;
    // The layout of array(): the view's, or for a packed format that of its
    // unpacked copy (uint16, one channel).
    PixelLayout layout;
    bool packed;                 // array() unpacks into a copy
    std::uint32_t width;
    std::uint32_t height;
    std::uint64_t row_stride;    // bytes from one row to the next (unless bit_rows)
    bool bit_rows;               // packed rows ending inside a byte follow each other bit by bit
    std::uint64_t bytes_needed;  // the last row needs no padding after it

    // The image at `data` for the conversions.
    imaging::Image image(const std::uint8_t* data) const {
        return imaging::Image{info->format, data, width, height, row_stride, bit_rows};
    }
};

// The bytes an image of this format and size occupies up to its last pixel:
// rows of ceil(width x bits per pixel / 8) bytes, each but the last followed
// by `x_padding` bytes (bits per pixel from the code, so packed formats count
// too). Without padding, packed rows that end inside a byte are not padded to
// a whole byte either: the image is one bit stream of ceil(width x height x
// bits / 8) bytes. 0 when there is no image to describe (a zero size or a
// code without bits); saturates instead of overflowing.
std::uint64_t image_data_size(std::uint32_t pixel_format, std::uint32_t width, std::uint32_t height,
                              std::uint16_t x_padding);

// The geometry of a width x height image with `x_padding` bytes after each
// row, checked against the `data_size` bytes that were received. The error
// says why no image can be read: an unknown format, a frame without an image
// size, or data too short for the image.
std::expected<ImageGeometry, std::string> image_geometry(std::uint32_t pixel_format, std::uint32_t width,
                                                         std::uint32_t height, std::uint16_t x_padding,
                                                         std::uint64_t data_size);

}  // namespace oculane::gvsp
