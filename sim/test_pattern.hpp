#pragma once
// The virtual camera's test images. Every byte of a frame is a pure function
// of (frame id, x, y, pixel format), so a receiver can check a frame byte for
// byte with expected_frame().
//
// Layout: the image is row-major with no padding, `width` pixels a row. With
// h = x + 3r + ((x * r) >> 4) in unsigned 32-bit arithmetic, where
// r = y + (frame_id mod kPatternShifts) (so consecutive frames differ: each
// shows the pattern moved up one row):
//   Mono8, Bayer 8-bit             one byte: h mod 256
//   Mono and Bayer 10 to 16 bits   the sample s = h masked to the format's bit
//                                  depth: unpacked, two bytes little-endian;
//                                  "p" formats, s in one little-endian bit
//                                  stream; "Packed" formats, pairs of samples
//                                  in three bytes (imaging::Packing). Packed rows
//                                  that end inside a byte run on without padding.
//   RGB8                           three bytes: h, h + 85, h + 170 (each mod 256)
//   BGR8                           the same three bytes in reverse order
//   RGBa8, BGRa8                   as RGB8 and BGR8, then alpha h + 42
//   YUV422_8                       two bytes: Y = h mod 256, then U (even x) or V
//                                  (odd x) of the pixel pair: with g = h at x rounded
//                                  down to even, U = g + 64 and V = g + 192 (mod 256)
//   YUV422_8_UYVY                  the same two bytes in reverse order
// Because the dependence on the frame id is a row shift, one cached image of
// height + kPatternShifts - 1 rows holds every frame of a geometry: frame n is
// the contiguous slice that starts (n mod kPatternShifts) rows in. The sender
// stamps only ids and timestamps.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace oculane::sim {

inline constexpr std::uint32_t kPatternShifts = 16;

// Bytes of `rows` rows of a known format (pixel_layout.hpp); 0 for any other code.
std::size_t pattern_image_bytes(std::uint32_t format, std::uint32_t width, std::uint32_t rows);

// Rows [first_row, first_row + rows) of the unshifted pattern (r = first_row ...).
void fill_pattern_rows(std::span<std::uint8_t> out, std::uint32_t format, std::uint32_t width,
                       std::uint32_t first_row, std::uint32_t rows);

// The image bytes of frame `frame_id`; empty for an unknown format.
std::vector<std::uint8_t> expected_frame(std::uint64_t frame_id, std::uint32_t width, std::uint32_t height,
                                         std::uint32_t format);

// Holds the pattern of one geometry, rebuilt when asked for another.
// One thread's (the sender's).
class PatternCache {
public:
    // The image of `frame_id`, valid until the next call with another geometry.
    std::span<const std::uint8_t> frame(std::uint64_t frame_id, std::uint32_t format, std::uint32_t width,
                                        std::uint32_t height);

private:
    std::uint32_t format_ = 0, width_ = 0, height_ = 0;
    std::size_t row_bytes_ = 0;
    std::vector<std::uint8_t> rows_;
};

}  // namespace oculane::sim
