#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "gige/proto/gvsp.hpp"
#include "gige/proto/pixel_layout.hpp"

using namespace oculane::gvsp;

namespace {

struct GeometryCase {
    const char* what;
    std::uint32_t format;
    std::uint32_t width, height;
    std::uint16_t x_padding;
    std::uint64_t data_size;
    std::uint8_t element_bytes, channels;
    std::uint64_t row_stride, needed;
};

TEST(ImageGeometry, LayoutAndStrideOfEveryKnownFormat) {
    const GeometryCase cases[] = {
        {"Mono8", pixel::kMono8, 4, 2, 0, 8, 1, 1, 4, 8},
        {"BayerRG8", pixel::kBayerRG8, 4, 2, 0, 8, 1, 1, 4, 8},
        {"BayerGB8", pixel::kBayerGB8, 4, 2, 0, 8, 1, 1, 4, 8},
        {"BayerGR8", 0x01080008, 4, 2, 0, 8, 1, 1, 4, 8},
        {"BayerBG8", 0x0108000B, 4, 2, 0, 8, 1, 1, 4, 8},
        {"Mono10", pixel::kMono10, 4, 2, 0, 16, 2, 1, 8, 16},
        {"Mono12", pixel::kMono12, 4, 2, 0, 16, 2, 1, 8, 16},
        {"Mono16", pixel::kMono16, 4, 2, 0, 16, 2, 1, 8, 16},
        {"RGB8", pixel::kRGB8, 4, 2, 0, 24, 1, 3, 12, 24},
        {"BGR8", pixel::kBGR8, 4, 2, 0, 24, 1, 3, 12, 24},
        {"YUV422_8", pixel::kYUV422_8, 4, 2, 0, 16, 1, 2, 8, 16},
        // Padding follows every row but the last need not be there.
        {"Mono8 padded", pixel::kMono8, 4, 3, 2, 16, 1, 1, 6, 16},
        {"Mono16 odd padding", pixel::kMono16, 3, 2, 1, 13, 2, 1, 7, 13},
        {"RGB8 padded, extra data", pixel::kRGB8, 2, 2, 4, 100, 1, 3, 10, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto g = image_geometry(c.format, c.width, c.height, c.x_padding, c.data_size);
        ASSERT_TRUE(g) << g.error();
        EXPECT_EQ(g->layout.element_bytes, c.element_bytes);
        EXPECT_EQ(g->layout.channels, c.channels);
        EXPECT_EQ(g->width, c.width);
        EXPECT_EQ(g->height, c.height);
        EXPECT_EQ(g->row_stride, c.row_stride);
        EXPECT_EQ(g->bytes_needed, c.needed);
    }
}

struct RefusalCase {
    const char* what;
    std::uint32_t format;
    std::uint32_t width, height;
    std::uint16_t x_padding;
    std::uint64_t data_size;
    std::string message;
};

TEST(ImageGeometry, RefusesWhatCannotBeViewed) {
    const RefusalCase cases[] = {
        {"one byte short", pixel::kMono8, 4, 2, 0, 7,
         "frame data holds 7 bytes, too few for a 4x2 Mono8 image (8 bytes)"},
        {"padding counted", pixel::kMono16, 4, 2, 2, 17,
         "frame data holds 17 bytes, too few for a 4x2 Mono16 image (18 bytes)"},
        {"no leader", pixel::kMono8, 0, 0, 0, 100, "frame has no image size (0x0); use data() for the bytes"},
        {"zero height", pixel::kRGB8, 8, 0, 0, 100, "frame has no image size (8x0); use data() for the bytes"},
        {"unknown packed format", 0x010C0048, 4, 2, 0, 100,
         "pixel format 0x010c0048 has no known array layout; use data() for the bytes"},
        {"unknown code", 0, 4, 2, 0, 100,
         "pixel format 0x00000000 has no known array layout; use data() for the bytes"},
        // 2^32-1 rows of 3 * (2^32-1) + 65535 bytes overflow 64 bits.
        {"size overflows", pixel::kRGB8, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF, UINT64_MAX - 1,
         "frame data holds 18446744073709551614 bytes, too few for a 4294967295x4294967295 RGB8 image "
         "(18446744073709551615 bytes)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto g = image_geometry(c.format, c.width, c.height, c.x_padding, c.data_size);
        ASSERT_FALSE(g);
        EXPECT_EQ(g.error(), c.message);
    }
}

}  // namespace
