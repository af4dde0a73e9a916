#pragma once
// Pixel unpacking and colour conversion of whole images: packed 10- and
// 12-bit samples to uint16, any supported format to 8-bit RGB or to 8-bit
// grey. Pure functions over memory; callers check the geometry first (the
// image must hold every byte its rows need), these functions trust it.
//
// Row-wise: on x86-64 CPUs with AVX2 (chosen at run time, the build needs
// nothing above the x86-64 baseline) vector kernels do the interior of each
// row; portable loops do the borders, the row ends and everything on other
// CPUs, with the same integer arithmetic and so the same bytes. Input and
// output rows never overlap (__restrict).

#include <cstddef>
#include <cstdint>

namespace oculane::imaging {

// What one pixel holds. The Bayer orders name the colours of the top-left
// 2x2 tile in reading order (RG: R G on the first row, G B on the second).
enum class Color : std::uint8_t { Mono, BayerRG, BayerGR, BayerGB, BayerBG, RGB, BGR, RGBa, BGRa, YUYV, UYVY };

// How single-sample pixels of more than 8 bits lie in memory.
//   None:       one little-endian 16-bit container per pixel, value in the low bits
//   LsbFirst:   a continuous little-endian bit stream, `depth` bits a pixel
//               (pixel 0 in the low bits of byte 0)
//   TwoInThree: pairs of pixels in three bytes: byte 0 and byte 2 hold the
//               high 8 bits of the first and second pixel, byte 1 the low
//               bits (first pixel from bit 0, second from bit 4)
enum class Packing : std::uint8_t { None, LsbFirst, TwoInThree };

struct Format {
    Color color = Color::Mono;
    std::uint8_t depth = 8;  // significant bits of one sample
    Packing packing = Packing::None;
    std::uint8_t bits = 8;   // bits a pixel takes in memory
};

constexpr bool is_bayer(Color c) { return c >= Color::BayerRG && c <= Color::BayerBG; }
constexpr bool single_sample(Color c) { return c == Color::Mono || is_bayer(c); }

// An image to read. Row r starts `r * stride` bytes into `data`; when
// `bit_rows` is set (packed rows that end inside a byte, with no padding)
// the rows instead follow each other in one bit stream: row r starts at
// pixel r * width of the stream at `data`.
struct Image {
    Format format;
    const std::uint8_t* data = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint64_t stride = 0;
    bool bit_rows = false;
};

// How YUV is turned into RGB (BT.601 coefficients either way): Full takes Y,
// U and V over 0..255 (U and V centred on 128); Video takes Y over 16..235
// and U, V over 16..240.
enum class YuvRange : std::uint8_t { Full, Video };

// Samples of a single-sample format (Mono, Bayer) as uint16, row-major,
// width x height values: the value as the camera measured it, not scaled.
void unpack_u16(const Image& img, std::uint16_t* out);

// (height, width, 3) RGB bytes. Mono: the sample scaled to 8 bits in all
// three channels. Bayer: bilinear demosaicing (each missing colour is the mean
// of the nearest samples of that colour: two or four neighbours), the image
// mirrored at its edges so that border pixels have neighbours of the right
// colour. RGB, BGR, RGBa, BGRa: reordered, alpha dropped. YUV 4:2:2: both
// pixels of a pair share its U and V. Samples of more than 8 bits keep their
// top 8 bits (value >> (depth - 8)) after demosaicing.
void to_rgb8(const Image& img, std::uint8_t* out, YuvRange range = YuvRange::Full);

// (height, width) grey bytes. Mono: the sample's top 8 bits. YUV: Y. RGB
// and Bayer (after demosaicing as in to_rgb8): BT.601 luma,
// (4899 R + 9617 G + 1868 B + 8192) >> 14.
void to_mono8(const Image& img, std::uint8_t* out);

// The conversions run vector row kernels where the CPU has them (AVX2 on
// x86-64), else portable loops that give the same bytes. Tests switch the
// vector kernels off to compare the two; returns whether they were on.
bool set_vector_kernels(bool on);

}  // namespace oculane::imaging
