#pragma once
// AVX2 row kernels behind the conversions in pixel_convert.cpp. Each does
// the part of a row it can do in whole vectors and returns how far it got
// (pixels, or packed groups); the caller's portable loop does the rest, so a
// kernel never reads or writes outside the row it is given. The results are
// the portable loops' bytes exactly: the same integer arithmetic, in lanes.
//
// Call only when `cpu_has_avx2()`: the kernels are compiled for AVX2 alone
// (function attributes, not a file-wide flag, so that no shared inline code
// in this file is built for a CPU the wheel does not require).

#if defined(__x86_64__)

#include <cstdint>

#include "util/pixel_convert.hpp"

namespace oculane::imaging::avx2 {

bool cpu_has_avx2();

// One demosaiced row from the rows above (a), at (b) and below (c), from x = 1
// on; returns the x where the portable loop goes on (odd, like the start).
// grey: luma into out[x], else RGB into out[3x]. Samples above 14 bits are
// summed in quarters (sums of four would not fit 16-bit lanes).
std::uint32_t demosaic_row(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c, std::uint32_t w,
                           bool red_row, bool green_first, bool grey, std::uint8_t* out);
std::uint32_t demosaic_row(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint32_t w,
                           unsigned depth, bool red_row, bool green_first, bool grey, std::uint8_t* out);

// Interleaved 8-bit pixels of n (3 or 4) channels, red, green and blue at
// channel r, g, b: to RGB, or to luma.
std::uint32_t reorder_row(const std::uint8_t* in, std::uint32_t w, int n, int r, int g, int b, std::uint8_t* out);
std::uint32_t luma_row(const std::uint8_t* in, std::uint32_t w, int n, int r, int g, int b, std::uint8_t* out);

// YUV 4:2:2 pairs to RGB with the coefficients of pixel_convert.cpp (y0, ky,
// rv, gu, gv, bu); handles whole pairs only.
std::uint32_t yuv_row(const std::uint8_t* in, std::uint32_t w, bool uyvy, const int (&k)[6], std::uint8_t* out);

// Grey bytes to RGB, the grey in all three channels.
std::uint32_t grey_to_rgb_row(const std::uint8_t* in, std::uint32_t w, std::uint8_t* out);

// Little-endian 16-bit containers to bytes: (v & mask) >> shift.
std::uint32_t narrow_row(const std::uint8_t* in, std::uint32_t w, std::uint16_t mask, unsigned shift,
                         std::uint8_t* out);

// Whole groups of a packed stream (the samples that fill a whole number of
// bytes) to uint16 samples, from the group at `in`; returns groups done.
std::uint32_t unpack_groups(Packing packing, unsigned depth, const std::uint8_t* in, std::uint32_t groups,
                            std::uint16_t* out);

// Little-endian 16-bit containers to uint16 samples: v & mask.
std::uint32_t mask_row(const std::uint8_t* in, std::uint32_t n, std::uint16_t mask, std::uint16_t* out);

}  // namespace oculane::imaging::avx2

#endif
