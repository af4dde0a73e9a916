// Packed pixel formats: the virtual camera's packing and the receiver's
// unpacking, two codes written from the bit layouts, must both give the
// documented test pattern back, also for rows that end inside a byte.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "gige/proto/pixel_layout.hpp"
#include "sim/test_pattern.hpp"
#include "util/pixel_convert.hpp"

using namespace oculane;

namespace {

std::uint32_t pattern_sample(std::uint64_t frame, std::uint32_t x, std::uint32_t y, unsigned depth) {
    const std::uint32_t r = y + static_cast<std::uint32_t>(frame % 16);
    return (x + 3 * r + ((x * r) >> 4)) & ((1u << depth) - 1);
}

TEST(PixelConvert, PackedFormatsUnpackToThePattern) {
    int packed = 0;
    for (const auto& f : gvsp::pixel_formats()) {
        if (f.format.packing == imaging::Packing::None) continue;
        ++packed;
        // 16 pixels a row are whole groups; 6 and 3 end inside a group, and
        // 3 pixels of 10 or 12 bits end inside a byte.
        for (std::uint32_t w : {16u, 6u, 3u}) {
            const std::uint32_t h = 5;
            const auto bytes = sim::expected_frame(21, w, h, f.code);
            ASSERT_EQ(bytes.size(), gvsp::image_data_size(f.code, w, h, 0)) << f.name;
            const auto g = gvsp::image_geometry(f.code, w, h, 0, bytes.size());
            ASSERT_TRUE(g) << g.error();
            ASSERT_TRUE(g->packed);
            std::vector<std::uint16_t> out(std::size_t{w} * h);
            imaging::unpack_u16(g->image(bytes.data()), out.data());
            for (std::uint32_t y = 0; y < h; ++y)
                for (std::uint32_t x = 0; x < w; ++x)
                    ASSERT_EQ(out[y * w + x], pattern_sample(21, x, y, f.format.depth))
                        << f.name << " " << w << "x" << h << " at " << x << "," << y;
        }
    }
    EXPECT_EQ(packed, 20);  // Mono and the four Bayer orders, 10p, 12p, 10Packed, 12Packed each
}

TEST(PixelConvert, GeometryOfPackedRows) {
    const struct {
        std::uint32_t code, w, h;
        std::uint16_t padding;
        std::uint64_t size;
        bool bit_rows;
    } cases[] = {
        {0x010A0046, 3, 3, 0, 12, true},    // Mono10p: 90 bits in one stream
        {0x010A0046, 3, 3, 2, 16, false},   // padded rows start on a byte: 4 + 2 + 4 + 2 + 4
        {0x010C0006, 5, 2, 0, 15, true},    // Mono12Packed: 7.5 bytes a row, pairs run across rows
        {0x010C0047, 4, 2, 0, 12, false},   // whole bytes a row
        {0x01100005, 3, 2, 1, 13, false},   // Mono12 unpacked: 6 + 1 + 6
    };
    for (const auto& c : cases) {
        EXPECT_EQ(gvsp::image_data_size(c.code, c.w, c.h, c.padding), c.size) << c.code;
        const auto g = gvsp::image_geometry(c.code, c.w, c.h, c.padding, c.size);
        ASSERT_TRUE(g) << g.error();
        EXPECT_EQ(g->bit_rows, c.bit_rows) << c.code;
        EXPECT_FALSE(gvsp::image_geometry(c.code, c.w, c.h, c.padding, c.size - 1));
    }
}

TEST(PixelConvert, PaddedPackedRowsSkipTheirPadding) {
    const std::uint32_t code = 0x010C0059;  // BayerRG12p
    const std::uint32_t w = 6, h = 4;
    const std::uint16_t padding = 3;
    const auto rows = sim::expected_frame(0, w, h, code);  // 9 bytes a row
    std::vector<std::uint8_t> padded;
    for (std::uint32_t y = 0; y < h; ++y) {
        padded.insert(padded.end(), rows.begin() + y * 9, rows.begin() + (y + 1) * 9);
        if (y + 1 < h) padded.insert(padded.end(), padding, 0xEE);
    }
    const auto g = gvsp::image_geometry(code, w, h, padding, padded.size());
    ASSERT_TRUE(g) << g.error();
    std::vector<std::uint16_t> out(w * h);
    imaging::unpack_u16(g->image(padded.data()), out.data());
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) EXPECT_EQ(out[y * w + x], pattern_sample(0, x, y, 12));
}

// The vector row kernels against the portable loops (the reference): every
// format and conversion, on random images whose rows end at every offset of
// a vector step and run past several steps, read from and written to
// buffers off their alignment. Sixty-four guard bytes after each output
// catch a kernel that writes past the image.
TEST(PixelConvert, VectorKernelsGiveThePortableBytes) {
    const bool had = imaging::set_vector_kernels(true);
    if (!had && !imaging::set_vector_kernels(true)) GTEST_SKIP() << "no vector kernels on this CPU";
    using Convert = void (*)(const imaging::Image&, std::uint8_t*);
    const struct {
        const char* name;
        std::size_t out_bytes;  // a pixel's
        bool single_sample_only;
        Convert run;
    } conversions[] = {
        {"to_rgb8 full", 3, false, [](const imaging::Image& i, std::uint8_t* o) { imaging::to_rgb8(i, o); }},
        {"to_rgb8 video", 3, false,
         [](const imaging::Image& i, std::uint8_t* o) { imaging::to_rgb8(i, o, imaging::YuvRange::Video); }},
        {"to_mono8", 1, false, [](const imaging::Image& i, std::uint8_t* o) { imaging::to_mono8(i, o); }},
        {"unpack_u16", 2, true,
         [](const imaging::Image& i, std::uint8_t* o) { imaging::unpack_u16(i, reinterpret_cast<std::uint16_t*>(o)); }},
    };
    std::mt19937 rng(20261209);
    auto run = [](Convert convert, const imaging::Image& img, std::size_t n, bool vector) {
        imaging::set_vector_kernels(vector);
        // Offset by two bytes: off every vector alignment, still aligned for uint16 output.
        std::vector<std::uint8_t> out(n + 66, 0xA5);
        convert(img, out.data() + 2);
        return out;
    };
    for (const auto& f : gvsp::pixel_formats()) {
        for (std::uint32_t w : {1u, 2u, 3u, 7u, 17u, 33u, 34u, 35u, 36u, 63u, 64u, 66u, 67u, 100u, 1921u}) {
            for (std::uint32_t h : {1u, 2u, 3u, 4u}) {
                for (std::uint16_t padding : {0, 3}) {
                    const std::uint64_t size = gvsp::image_data_size(f.code, w, h, padding);
                    std::vector<std::uint8_t> bytes(size + 1);
                    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
                    const auto g = gvsp::image_geometry(f.code, w, h, padding, size);
                    ASSERT_TRUE(g) << g.error();
                    const imaging::Image img = g->image(bytes.data() + 1);  // unaligned rows
                    for (const auto& c : conversions) {
                        if (c.single_sample_only && !imaging::single_sample(f.format.color)) continue;
                        const std::size_t n = std::size_t{w} * h * c.out_bytes;
                        const auto portable = run(c.run, img, n, false);
                        const auto vector = run(c.run, img, n, true);
                        const auto diff = std::mismatch(portable.begin(), portable.end(), vector.begin()).first;
                        ASSERT_TRUE(diff == portable.end())
                            << f.name << " " << c.name << " " << w << "x" << h << " padding " << padding
                            << ": byte " << (diff - portable.begin() - 2) << " of " << n;
                    }
                }
            }
        }
    }
    imaging::set_vector_kernels(had);
}

// YUV to RGB on every (Y, U, V): one row per Y whose pairs run through all
// (U, V), the partner pixel taking 255 - Y, in both orders and ranges.
TEST(PixelConvert, VectorYuvGivesThePortableBytesForEveryInput) {
    const bool had = imaging::set_vector_kernels(true);
    if (!had && !imaging::set_vector_kernels(true)) GTEST_SKIP() << "no vector kernels on this CPU";
    constexpr std::uint32_t w = 2 * 65536;
    std::vector<std::uint8_t> row(2 * std::size_t{w}), portable(3 * std::size_t{w}), vector(3 * std::size_t{w});
    for (const bool uyvy : {false, true}) {
        for (const auto range : {imaging::YuvRange::Full, imaging::YuvRange::Video}) {
            for (unsigned y = 0; y < 256; ++y) {
                for (std::uint32_t p = 0; p < 65536; ++p) {
                    const std::uint8_t yuyv[4] = {static_cast<std::uint8_t>(y), static_cast<std::uint8_t>(p >> 8),
                                                  static_cast<std::uint8_t>(255 - y), static_cast<std::uint8_t>(p)};
                    std::uint8_t* q = row.data() + 4 * std::size_t{p};
                    if (uyvy) {
                        q[0] = yuyv[1], q[1] = yuyv[0], q[2] = yuyv[3], q[3] = yuyv[2];
                    } else {
                        std::memcpy(q, yuyv, 4);
                    }
                }
                const imaging::Format f{uyvy ? imaging::Color::UYVY : imaging::Color::YUYV, 8,
                                        imaging::Packing::None, 16};
                const imaging::Image img{f, row.data(), w, 1, 2 * std::uint64_t{w}, false};
                imaging::set_vector_kernels(false);
                imaging::to_rgb8(img, portable.data(), range);
                imaging::set_vector_kernels(true);
                imaging::to_rgb8(img, vector.data(), range);
                ASSERT_TRUE(portable == vector) << (uyvy ? "UYVY" : "YUYV") << " Y " << y;
            }
        }
    }
    imaging::set_vector_kernels(had);
}

}  // namespace
