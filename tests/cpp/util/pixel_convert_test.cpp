// Packed pixel formats: the virtual camera's packing and the receiver's
// unpacking, two codes written from the bit layouts, must both give the
// documented test pattern back, also for rows that end inside a byte.

#include <gtest/gtest.h>

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

}  // namespace
