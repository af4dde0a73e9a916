#include "genicam/register_codec.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

using namespace oculane::regcodec;
using std::nullopt;
using std::optional;
using std::uint32_t;

namespace {

struct DecodeCase {
    const char* what;
    Bytes bytes;
    bool big;
    optional<uint32_t> lsb, msb;
    bool is_signed;
    std::int64_t expected;
};

TEST(RegisterCodec, DecodesIntegerFields) {
    const DecodeCase cases[] = {
        {"little 2 bytes", {1, 2}, false, nullopt, nullopt, false, 513},
        {"big 2 bytes", {1, 2}, true, nullopt, nullopt, false, 258},
        {"big masked LSB31 MSB24 is the lowest byte", {0x11, 0x22, 0x33, 0x44}, true, 31, 24, false, 0x44},
        {"big masked LSB7 MSB0 is the highest byte", {0x11, 0x22, 0x33, 0x44}, true, 7, 0, false, 0x11},
        {"little bit 3 set", {0x08}, false, 3, 3, false, 1},
        {"little bit 3 clear", {0xF7}, false, 3, 3, false, 0},
        {"signed 0xFFFF", {0xFF, 0xFF}, false, nullopt, nullopt, true, -1},
        {"unsigned 0xFFFF", {0xFF, 0xFF}, false, nullopt, nullopt, false, 65535},
        {"8 bytes bit 63 unsigned", {0, 0, 0, 0, 0, 0, 0, 0x80}, false, nullopt, nullopt, false,
         std::numeric_limits<std::int64_t>::min()},
        {"3 bytes big", {0x01, 0x02, 0x03}, true, nullopt, nullopt, false, 0x010203},
        {"3 bytes little", {0x01, 0x02, 0x03}, false, nullopt, nullopt, false, 0x030201},
        {"signed field in the middle", {0b0111'0000}, false, 4, 6, true, -1},
        {"signed field positive", {0b0011'0000}, false, 4, 6, true, 3},
        {"little no lsb, msb 3", {0xAB}, false, nullopt, 3, false, 0x0B},
        {"big no lsb, msb 0 is the top bit", {0x80, 0x00}, true, nullopt, 0, false, 1},
        {"signed full 4 bytes", {0xFE, 0xFF, 0xFF, 0xFF}, false, nullopt, nullopt, true, -2},
        {"unsigned full 4 bytes", {0xFE, 0xFF, 0xFF, 0xFF}, false, nullopt, nullopt, false, 0xFFFFFFFE},
    };
    for (const auto& c : cases) {
        auto r = decode_int(c.bytes, c.big, c.lsb, c.msb, c.is_signed);
        ASSERT_TRUE(r.has_value()) << c.what << ": " << r.error();
        EXPECT_EQ(*r, c.expected) << c.what;
    }
}

struct ErrorCase {
    const char* what;
    Bytes bytes;
    bool big;
    optional<uint32_t> lsb, msb;
    const char* message;
};

TEST(RegisterCodec, RefusesBadLengthsAndRanges) {
    const ErrorCase cases[] = {
        {"nine bytes", Bytes(9), false, nullopt, nullopt, "unsupported integer register length 9"},
        {"no bytes", Bytes{}, false, nullopt, nullopt, "unsupported integer register length 0"},
        {"little lsb above msb", Bytes(4), false, 5, 2, "bad bit range 5..2 for 4 bytes"},
        {"little msb past the top", Bytes(1), false, 0, 8, "bad bit range 0..8 for 1 bytes"},
        {"big lsb past the width", Bytes(1), true, 10, 2, "bad bit range -3..5 for 1 bytes"},
    };
    for (const auto& c : cases) {
        auto d = decode_int(c.bytes, c.big, c.lsb, c.msb, false);
        ASSERT_FALSE(d.has_value()) << c.what;
        EXPECT_EQ(d.error(), c.message) << c.what;
        auto i = insert_int(c.bytes, 1, c.big, c.lsb, c.msb);
        ASSERT_FALSE(i.has_value()) << c.what;
        EXPECT_EQ(i.error(), c.message) << c.what;
    }
}

TEST(RegisterCodec, EncodesTwosComplementAndDropsHighBits) {
    struct Case {
        std::int64_t value, length;
        bool big;
        Bytes expected;
    } cases[] = {
        {300, 1, false, {0x2C}},
        {513, 2, false, {1, 2}},
        {513, 2, true, {2, 1}},
        {-1, 3, true, {0xFF, 0xFF, 0xFF}},
        {0x0102030405060708, 8, true, {1, 2, 3, 4, 5, 6, 7, 8}},
        {0x0102030405060708, 8, false, {8, 7, 6, 5, 4, 3, 2, 1}},
    };
    for (const auto& c : cases) {
        auto r = encode_int(c.value, c.length, c.big);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(*r, c.expected) << c.value;
    }
    for (std::int64_t bad : {0, 9, -1}) {
        auto r = encode_int(1, bad, false);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), "unsupported integer register length " + std::to_string(bad));
    }
}

TEST(RegisterCodec, InsertsFieldsKeepingOtherBits) {
    struct Case {
        const char* what;
        Bytes current;
        std::int64_t value;
        bool big;
        optional<uint32_t> lsb, msb;
        Bytes expected;
    } cases[] = {
        {"clear bit 3", {0xFF}, 0, false, 3, 3, {0xF7}},
        {"set bit 3", {0x00}, 1, false, 3, 3, {0x08}},
        {"value wider than the field is cut", {0x00}, 0xFF, false, 2, 3, {0x0C}},
        {"big lowest byte", {0x11, 0x22, 0x33, 0x44}, 0xAA, true, 31, 24, {0x11, 0x22, 0x33, 0xAA}},
        {"whole 8 bytes", Bytes(8), -1, false, nullopt, nullopt, Bytes(8, 0xFF)},
    };
    for (const auto& c : cases) {
        auto r = insert_int(c.current, c.value, c.big, c.lsb, c.msb);
        ASSERT_TRUE(r.has_value()) << c.what << ": " << r.error();
        EXPECT_EQ(*r, c.expected) << c.what;
        // Reading the field back gives the value cut to the field width.
        auto back = decode_int(*r, c.big, c.lsb, c.msb, false);
        ASSERT_TRUE(back.has_value());
        auto range = normalise_bits(c.current.size(), c.big, c.lsb, c.msb);
        const auto w = range->high - range->low + 1;
        const auto mask = w >= 64 ? ~0ULL : (1ULL << w) - 1;
        EXPECT_EQ(static_cast<std::uint64_t>(*back), static_cast<std::uint64_t>(c.value) & mask) << c.what;
    }
}

TEST(RegisterCodec, FloatsOfFourAndEightBytes) {
    EXPECT_EQ(decode_float(Bytes{0, 0, 128, 63}, false).value(), 1.0);
    EXPECT_EQ(decode_float(Bytes{63, 128, 0, 0}, true).value(), 1.0);
    EXPECT_EQ(decode_float(Bytes{0x3F, 0xF8, 0, 0, 0, 0, 0, 0}, true).value(), 1.5);

    auto single = encode_float(0.1, 4, false).value();
    EXPECT_EQ(decode_float(single, false).value(), static_cast<double>(0.1f));
    auto dbl = encode_float(0.1, 8, true).value();
    EXPECT_EQ(decode_float(dbl, true).value(), 0.1);

    EXPECT_EQ(decode_float(Bytes(2), false).error(), "unsupported float register length 2");
    EXPECT_EQ(encode_float(1.0, 2, false).error(), "unsupported float register length 2");
}

TEST(RegisterCodec, RoundsHalvesAwayAndSaturates) {
    struct Case {
        double in;
        std::int64_t out;
    } cases[] = {
        {2.5, 3},
        {-2.5, -3},
        {2.4, 2},
        {std::nan(""), 0},
        {1e300, std::numeric_limits<std::int64_t>::max()},
        {9223372036854775808.0, std::numeric_limits<std::int64_t>::max()},
        {-1e300, std::numeric_limits<std::int64_t>::min()},
        {-9223372036854775808.0, std::numeric_limits<std::int64_t>::min()},
    };
    for (const auto& c : cases) EXPECT_EQ(saturating_round(c.in), c.out) << c.in;
}

}  // namespace
