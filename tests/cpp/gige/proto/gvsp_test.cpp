#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "gige/proto/gvsp.hpp"

using namespace oculane;
using Bytes = std::vector<std::uint8_t>;

TEST(GvspParse, HeaderLengthsAndFields) {
    const struct {
        const char* name;
        Bytes datagram;
        bool parsed;
        std::uint64_t block;
        std::uint32_t packet;
        gvsp::PacketKind kind;
        bool extended;
        std::size_t payload;
    } cases[] = {
        {"7 bytes ignored", {0, 0, 0, 1, 3, 0, 0}, false, 0, 0, gvsp::PacketKind::Payload, false, 0},
        {"8 bytes, empty payload", {0, 0, 0x12, 0x34, 3, 0x01, 0x02, 0x03}, true, 0x1234, 0x010203,
         gvsp::PacketKind::Payload, false, 0},
        {"19 bytes with EI ignored", Bytes{0, 0, 0, 0, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, 0,
         0, gvsp::PacketKind::Leader, true, 0},
        {"20 bytes with EI", Bytes{0, 0, 0xFF, 0xFF, 0x82, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 1, 0},
         true, 0x0102030405060708, 256, gvsp::PacketKind::Trailer, true, 0},
        {"unknown format", {0, 0, 0, 9, 0x07, 0, 0, 5, 0xAA}, true, 9, 5, gvsp::PacketKind::Unsupported, false, 1},
        {"all-in", {0, 0, 0, 9, 0x04, 0, 0, 0, 0xAA, 0xBB}, true, 9, 0, gvsp::PacketKind::AllIn, false, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = gvsp::parse_packet(c.datagram);
        ASSERT_EQ(p.has_value(), c.parsed);
        if (!p) continue;
        EXPECT_EQ(p->block_id, c.block);
        EXPECT_EQ(p->packet_id, c.packet);
        EXPECT_EQ(p->kind, c.kind);
        EXPECT_EQ(p->extended, c.extended);
        EXPECT_EQ(p->payload.size(), c.payload);
    }
}

TEST(GvspParse, LeaderFieldsPresentByLength) {
    gvsp::LeaderInfo full{.payload_type = 0x4001, .timestamp = 0x1122334455667788, .pixel_format = gvsp::pixel::kMono8,
                          .width = 640, .height = 480, .x_offset = 2, .y_offset = 3, .x_padding = 4, .y_padding = 5};
    Bytes leader(gvsp::kLeaderImageSize);
    ASSERT_EQ(gvsp::encode_leader(leader, 0x4001, full), gvsp::kLeaderImageSize);

    EXPECT_FALSE(gvsp::parse_leader(std::span(leader).first(11)));

    auto l16 = gvsp::parse_leader(std::span(leader).first(16));
    ASSERT_TRUE(l16);
    EXPECT_EQ(l16->payload_type, 1);  // chunk flag masked off
    EXPECT_TRUE(l16->has_chunks);
    EXPECT_EQ(l16->timestamp, full.timestamp);
    EXPECT_EQ(l16->pixel_format, gvsp::pixel::kMono8);
    EXPECT_EQ(l16->width, 0u);
    EXPECT_EQ(l16->height, 0u);

    auto l36 = gvsp::parse_leader(leader);
    ASSERT_TRUE(l36);
    gvsp::LeaderInfo want = full;
    want.payload_type = 1;
    want.has_chunks = true;
    EXPECT_EQ(*l36, want);
}

TEST(GvspEncode, HeadersRoundTripBothForms) {
    for (bool ext : {false, true}) {
        SCOPED_TRACE(ext ? "extended" : "standard");
        Bytes out(gvsp::kExtendedHeaderSize);
        gvsp::PacketHeader h{.status = 0x800C, .block_id = ext ? 0x1'0000'0001ull : 0xFFFE, .format = 3,
                             .packet_id = ext ? 0x01000000u : 0xABCDEFu, .extended = ext};
        const auto n = gvsp::encode_header(out, h);
        ASSERT_EQ(n, ext ? gvsp::kExtendedHeaderSize : gvsp::kHeaderSize);
        auto p = gvsp::parse_packet(std::span(out).first(n));
        ASSERT_TRUE(p);
        EXPECT_EQ(p->status, h.status);
        EXPECT_EQ(p->block_id, h.block_id);
        EXPECT_EQ(p->packet_id, h.packet_id);
        EXPECT_EQ(p->kind, gvsp::PacketKind::Payload);
        EXPECT_EQ(gvsp::encode_header(std::span(out).first(n - 1), h), 0u);
    }
}

TEST(GvspPixelFormat, TextAndBitsPerPixel) {
    const struct {
        std::uint32_t code;
        const char* text;
        int bpp;
    } cases[] = {
        {0x01080001, "Mono8", 8},     {0x01100003, "Mono10", 16}, {0x01100005, "Mono12", 16},
        {0x01100007, "Mono16", 16},   {0x01080009, "BayerRG8", 8}, {0x0108000A, "BayerGB8", 8},
        {0x02180014, "RGB8", 24},     {0x02180015, "BGR8", 24},    {0x02100032, "YUV422_8", 16},
        {0x010C0047, "Mono12p", 12},  {0x010A0058, "BayerRG10p", 10}, {0x010C0006, "Mono12Packed", 12},
        {0x02200016, "RGBa8", 32},    {0x0210001F, "YUV422_8_UYVY", 16},
        {0x01080002, "0x01080002", 8}, {0x010C0048, "0x010c0048", 12}, {0, "0x00000000", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(gvsp::pixel_format_text(c.code), c.text);
        EXPECT_EQ(gvsp::bits_per_pixel(c.code), c.bpp) << c.text;
    }
    EXPECT_EQ(gvsp::pixel_format_code("RGB8"), gvsp::pixel::kRGB8);
    EXPECT_FALSE(gvsp::pixel_format_code("Mono9"));
    EXPECT_EQ(gvsp::bytes_per_packet(1500, false), 1464u);
    EXPECT_EQ(gvsp::bytes_per_packet(1500, true), 1452u);
    EXPECT_EQ(gvsp::bytes_per_packet(36, false), 0u);
}

TEST(GvspParse, RandomDatagramsNeverReadPastTheirEnd) {
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        // Heap copies of exactly the datagram's size, so a sanitizer sees any over-read.
        Bytes d(rng() % 48);
        for (auto& b : d) b = static_cast<std::uint8_t>(rng());
        if (auto p = gvsp::parse_packet(d)) {
            EXPECT_LE(p->payload.size(), d.size());
            (void)gvsp::parse_leader(p->payload);
        }
    }
}
