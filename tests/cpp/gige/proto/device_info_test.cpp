#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "gige/proto/gvcp.hpp"

using namespace oculane;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A hand-built identity block, independent of DeviceInfo::encode.
Bytes sample_block() {
    Bytes b(248, 0);
    b[0] = 0x00, b[1] = 0x02, b[2] = 0x00, b[3] = 0x01;                      // version 2.1
    b[4] = 0x80, b[5] = 0x00, b[6] = 0x00, b[7] = 0x01;                      // device mode
    const std::uint8_t mac[] = {0x00, 0x0C, 0xDF, 0x04, 0xA1, 0x7E};
    std::copy(std::begin(mac), std::end(mac), b.begin() + 10);
    b[19] = 0x07;                                                              // IP options
    b[23] = 0x05;                                                              // IP current
    b[36] = 192, b[37] = 168, b[38] = 1, b[39] = 10;
    b[52] = 255, b[53] = 255, b[54] = 255, b[55] = 0;
    b[68] = 192, b[69] = 168, b[70] = 1, b[71] = 1;
    auto put = [&](std::size_t off, std::string_view s) { std::copy(s.begin(), s.end(), b.begin() + off); };
    put(72, "Acme");
    put(104, "C1");
    put(136, "1.0.3");
    put(168, "line camera");
    put(216, "A1");
    put(232, "left");
    return b;
}

}  // namespace

TEST(DeviceInfoParse, EveryField) {
    const auto d = DeviceInfo::parse(sample_block());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->spec_major, 2);
    EXPECT_EQ(d->spec_minor, 1);
    EXPECT_EQ(d->device_mode, 0x80000001u);
    EXPECT_EQ(d->mac_string(), "00:0c:df:04:a1:7e");
    EXPECT_EQ(d->ip_config_options, 7u);
    EXPECT_EQ(d->ip_config_current, 5u);
    EXPECT_EQ(d->ip_string(), "192.168.1.10");
    EXPECT_EQ(format_ipv4(d->subnet_mask), "255.255.255.0");
    EXPECT_EQ(format_ipv4(d->gateway), "192.168.1.1");
    EXPECT_EQ(d->manufacturer, "Acme");
    EXPECT_EQ(d->model, "C1");
    EXPECT_EQ(d->device_version, "1.0.3");
    EXPECT_EQ(d->manufacturer_info, "line camera");
    EXPECT_EQ(d->serial, "A1");
    EXPECT_EQ(d->user_defined_name, "left");
}

TEST(DeviceInfoParse, SizeLimits) {
    Bytes b = sample_block();
    EXPECT_FALSE(DeviceInfo::parse(std::span(b).first(247)));
    EXPECT_FALSE(DeviceInfo::parse({}));
    b.resize(600, 0xFF);  // excess ignored
    const auto d = DeviceInfo::parse(b);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->user_defined_name, "left");
}

TEST(DeviceInfoEncode, RoundTripsAndMatchesTheLayout) {
    const auto d = DeviceInfo::parse(sample_block());
    ASSERT_TRUE(d);
    const auto block = d->encode();
    EXPECT_EQ(Bytes(block.begin(), block.end()), sample_block());
    EXPECT_EQ(DeviceInfo::parse(block), d);
}

TEST(DeviceInfoEncode, LongTextsAreCutAtACharacterBoundary) {
    DeviceInfo d;
    d.serial = "0123456789ABCDEF";  // exactly 16: no terminator, all kept
    d.user_defined_name = "abcdefghijklmno\xC3\xA9";  // 'é' straddles byte 15..16: dropped whole
    d.model = std::string(40, 'm');
    const auto back = DeviceInfo::parse(d.encode());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->serial, "0123456789ABCDEF");
    EXPECT_EQ(back->user_defined_name, "abcdefghijklmno");
    EXPECT_EQ(back->model, std::string(32, 'm'));
}

TEST(StringReg, FieldDecoding) {
    const struct {
        const char* name;
        Bytes field;
        std::string want;
    } cases[] = {
        {"stops at the first zero", {'A', 'B', 0, 'x', 'y', 0xFF, 0, 0}, "AB"},
        {"no zero: whole field", {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'},
         "0123456789abcdef"},
        {"empty field", {0, 0, 0, 0}, ""},
        {"valid multibyte", {'c', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0}, "c\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"lone continuation", {'a', 0x80, 'b', 0}, "a\xEF\xBF\xBD" "b"},
        {"invalid lead bytes", {0xC0, 0xAF, 0xFF, 0}, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"truncated sequence at the end", {'x', 0xE2, 0x82}, "x\xEF\xBF\xBD"},
        {"truncated sequence before ascii", {0xE2, 0x82, 'z', 0}, "\xEF\xBF\xBDz"},
        {"surrogate encoding", {0xED, 0xA0, 0x80, 0}, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"above U+10FFFF", {0xF4, 0x90, 0x80, 0x80, 0}, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"overlong three-byte", {0xE0, 0x80, 0xAF, 0}, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        Bytes padded(3, 'p');
        padded.insert(padded.end(), c.field.begin(), c.field.end());
        padded.push_back('q');
        EXPECT_EQ(string_reg(padded, 3, c.field.size()), c.want) << c.name;
    }
}

TEST(StringReg, FieldBeyondTheDataIsCut) {
    const Bytes b = {'a', 'b', 'c'};
    EXPECT_EQ(string_reg(b, 1, 16), "bc");
    EXPECT_EQ(string_reg(b, 3, 16), "");
    EXPECT_EQ(string_reg(b, 100, 16), "");
}

TEST(DiscoveryAck, AcceptanceRules) {
    DeviceInfo info;
    info.mac = {1, 2, 3, 4, 5, 6};
    info.model = "C1";
    const Bytes good = gvcp::encode_discovery_ack(info, 0xFFFF);
    ASSERT_EQ(good.size(), 256u);

    auto with = [&](auto edit) {
        Bytes b = good;
        edit(b);
        return b;
    };
    const struct {
        const char* name;
        Bytes dgram;
        bool accepted;
    } cases[] = {
        {"well formed", good, true},
        {"ack id ignored", with([](Bytes& b) { b[6] = 0x12, b[7] = 0x34; }), true},
        {"non-error status accepted", with([](Bytes& b) { b[0] = 0x01; }), true},
        {"trailing bytes beyond the length", with([](Bytes& b) { b.push_back(0); }), true},
        {"error status", with([](Bytes& b) { b[0] = 0x80, b[1] = 0x01; }), false},
        {"wrong ack code", with([](Bytes& b) { b[3] = 0x81; }), false},
        {"length beyond the data", with([](Bytes& b) { b[5] = 0xF9; }), false},
        {"payload of 247", with([](Bytes& b) { b.pop_back(); b[5] = 0xF7; }), false},
        {"header only", Bytes(good.begin(), good.begin() + 8), false},
    };
    for (const auto& c : cases) {
        const auto d = gvcp::parse_discovery_ack(c.dgram);
        EXPECT_EQ(d.has_value(), c.accepted) << c.name;
        if (d) { EXPECT_EQ(*d, info) << c.name; }
    }
}
