#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "gige/proto/bytes.hpp"
#include "gige/proto/gvcp.hpp"

using namespace oculane;
using Bytes = std::vector<std::uint8_t>;

TEST(GvcpEncode, ByteExactVectors) {
    const std::uint32_t ccp_and_caps[] = {bootstrap::kCcp, bootstrap::kGvcpCapability};
    const gvcp::RegisterWrite take_exclusive[] = {{bootstrap::kCcp, 0x3}};
    const std::uint8_t mem_data[] = {0xDE, 0xAD, 0xBE, 0xEF};
    const struct {
        const char* name;
        Bytes got;
        Bytes want;
    } cases[] = {
        {"read two registers", gvcp::encode_read_reg(ccp_and_caps, 7),
         {0x42, 0x01, 0x00, 0x80, 0x00, 0x08, 0x00, 0x07, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x09, 0x34}},
        {"write one register", gvcp::encode_write_reg(take_exclusive, 1),
         {0x42, 0x01, 0x00, 0x82, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x03}},
        {"read memory", gvcp::encode_read_mem(0x0200, 512, 0x1234),
         {0x42, 0x01, 0x00, 0x84, 0x00, 0x08, 0x12, 0x34, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00}},
        {"write memory", gvcp::encode_write_mem(0x10000, mem_data, 3),
         {0x42, 0x01, 0x00, 0x86, 0x00, 0x08, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0xDE, 0xAD, 0xBE, 0xEF}},
        {"discovery probe", [] { auto a = gvcp::encode_discovery(); return Bytes(a.begin(), a.end()); }(),
         {0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF}},
        {"event ack", [] { auto a = gvcp::encode_event_ack(0x00C2, 0xBEEF); return Bytes(a.begin(), a.end()); }(),
         {0x00, 0x00, 0x00, 0xC3, 0x00, 0x00, 0xBE, 0xEF}},
        {"pending ack", gvcp::encode_pending_ack(9, 2000),
         {0x00, 0x00, 0x00, 0x89, 0x00, 0x04, 0x00, 0x09, 0x00, 0x00, 0x07, 0xD0}},
        {"nak without payload", gvcp::encode_ack(0x8006, 0x0083, 5),
         {0x80, 0x06, 0x00, 0x83, 0x00, 0x00, 0x00, 0x05}},
        {"force ip",
         gvcp::encode_force_ip({{0x00, 0x0C, 0xDF, 0x04, 0xA1, 0x7E}, 0xC0A8010A, 0xFFFFFF00, 0xC0A80101}, 0x0102),
         {0x42, 0x11, 0x00, 0x04, 0x00, 0x38, 0x01, 0x02,                          // header, 56-byte payload
          0x00, 0x00, 0x00, 0x0C, 0xDF, 0x04, 0xA1, 0x7E,                          // reserved, MAC
          0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0xA8, 0x01, 0x0A,              // 192.168.1.10
          0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x00,              // 255.255.255.0
          0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0xA8, 0x01, 0x01}},            // 192.168.1.1
        {"action", gvcp::encode_action({0x11223344, 0x00000007, 0xFFFF0000, std::nullopt}, 0x0A0B, true),
         {0x42, 0x01, 0x01, 0x00, 0x00, 0x0C, 0x0A, 0x0B, 0x11, 0x22, 0x33, 0x44,  // header, device key
          0x00, 0x00, 0x00, 0x07, 0xFF, 0xFF, 0x00, 0x00}},                        // group key, mask
        {"scheduled action without ack", gvcp::encode_action({1, 2, 3, 0x0102030405060708ull}, 1, false),
         {0x42, 0x80, 0x01, 0x00, 0x00, 0x14, 0x00, 0x01, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3,
          0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}},                        // action time
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.name;
}

// Checked in every build, not by assert: arguments beyond what one command
// carries give an empty result, never a datagram with a wrapped length.
TEST(GvcpEncode, CommandsBeyondThePayloadLimitAreRefused) {
    const std::vector<std::uint32_t> addresses(gvcp::kMaxReadRegisters + 1, 0x0A00);
    const std::vector<gvcp::RegisterWrite> pairs(gvcp::kMaxWriteRegisters + 1, {0x0A00, 2});
    const std::vector<std::uint8_t> chunk(gvcp::kMaxMemoryChunk + 4, 0);
    const struct {
        const char* name;
        Bytes got;
        std::size_t size;  // 0: refused
    } cases[] = {
        {"read list at the limit", gvcp::encode_read_reg(std::span(addresses).first(135), 1), 8 + 540},
        {"read list beyond", gvcp::encode_read_reg(addresses, 1), 0},
        {"read list empty", gvcp::encode_read_reg({}, 1), 0},
        {"write list at the limit", gvcp::encode_write_reg(std::span(pairs).first(67), 1), 8 + 536},
        {"write list beyond", gvcp::encode_write_reg(pairs, 1), 0},
        {"memory read beyond a chunk", gvcp::encode_read_mem(0, gvcp::kMaxMemoryChunk + 4, 1), 0},
        {"memory write at a chunk", gvcp::encode_write_mem(0, std::span(chunk).first(512), 1), 8 + 4 + 512},
        {"memory write beyond a chunk", gvcp::encode_write_mem(0, chunk, 1), 0},
        {"memory write of part of a word", gvcp::encode_write_mem(0, std::span(chunk).first(6), 1), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got.size(), c.size) << c.name;
}

TEST(GvcpEncode, PacketResendForms) {
    const struct {
        const char* name;
        std::uint16_t channel;
        std::uint64_t block;
        std::uint32_t first, last;
        bool extended;
        std::uint16_t req;
        Bytes want;
    } cases[] = {
        {"standard", 0, 0x1234, 5, 9, false, 2,
         {0x42, 0x00, 0x00, 0x40, 0x00, 0x0C, 0x00, 0x02, 0x00, 0x00, 0x12, 0x34, 0x00, 0x00, 0x00, 0x05,
          0x00, 0x00, 0x00, 0x09}},
        {"standard clears the top byte of packet ids", 0, 0x1234, 0xAB000005, 0xFF000009, false, 2,
         {0x42, 0x00, 0x00, 0x40, 0x00, 0x0C, 0x00, 0x02, 0x00, 0x00, 0x12, 0x34, 0x00, 0x00, 0x00, 0x05,
          0x00, 0x00, 0x00, 0x09}},
        {"standard names the channel, then the 16-bit block id", 3, 0x1'0000'5678, 1, 1, false, 0,
         {0x42, 0x00, 0x00, 0x40, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x03, 0x56, 0x78, 0x00, 0x00, 0x00, 0x01,
          0x00, 0x00, 0x00, 0x01}},
        {"extended", 0, 0x0102030405060708, 0xAB000005, 0x01000009, true, 0x7777,
         {0x42, 0x10, 0x00, 0x40, 0x00, 0x14, 0x77, 0x77, 0x00, 0x00, 0x00, 0x00, 0xAB, 0x00, 0x00, 0x05,
          0x01, 0x00, 0x00, 0x09, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}},
        {"extended names the channel", 0x0102, 9, 4, 4, true, 1,
         {0x42, 0x10, 0x00, 0x40, 0x00, 0x14, 0x00, 0x01, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04,
          0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09}},
    };
    for (const auto& c : cases) {
        std::array<std::uint8_t, 40> buf;
        buf.fill(0xEE);
        const std::size_t n =
            gvcp::encode_packet_resend(buf, c.channel, c.block, c.first, c.last, c.extended, c.req);
        ASSERT_EQ(n, c.want.size()) << c.name;
        EXPECT_EQ(Bytes(buf.begin(), buf.begin() + n), c.want) << c.name;
        EXPECT_EQ(buf[n], 0xEE) << c.name << ": wrote past the command";
    }
}

TEST(GvcpEncode, PacketResendNeverWritesPastAShortBuffer) {
    for (bool extended : {false, true}) {
        const std::size_t need = extended ? 28 : 20;
        for (std::size_t size = 0; size < need; ++size) {
            std::vector<std::uint8_t> storage(need, 0xEE);
            std::span<std::uint8_t> buf(storage.data(), size);
            EXPECT_EQ(gvcp::encode_packet_resend(buf, 1, 1, 2, 3, extended, 4), 0u) << size;
            EXPECT_EQ(storage, std::vector<std::uint8_t>(need, 0xEE)) << size;
        }
    }
}

TEST(GvcpParse, AcknowledgeHeaderAndPayload) {
    const Bytes dgram = {0x00, 0x00, 0x00, 0x81, 0x00, 0x04, 0x00, 0x07, 0x12, 0x34, 0x56, 0x78, 0x99};
    const auto ack = gvcp::parse_ack(dgram);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->header.status, 0);
    EXPECT_EQ(ack->header.ack, gvcp::code(gvcp::Ack::ReadReg));
    EXPECT_EQ(ack->header.ack_id, 7);
    // The payload is cut to the length field; the trailing byte is not part of it.
    EXPECT_EQ(Bytes(ack->payload.begin(), ack->payload.end()), (Bytes{0x12, 0x34, 0x56, 0x78}));
}

TEST(GvcpParse, RejectsShortOrOverrunningDatagrams) {
    const struct {
        const char* name;
        Bytes dgram;
        bool ack_ok;
        bool command_ok;
    } cases[] = {
        {"empty", {}, false, false},
        {"seven bytes", {0x42, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00}, false, false},
        {"length exceeds data", {0x42, 0x01, 0x00, 0x80, 0x00, 0x05, 0x00, 0x01, 1, 2, 3, 4}, false, false},
        {"length exactly fits", {0x42, 0x01, 0x00, 0x80, 0x00, 0x04, 0x00, 0x01, 1, 2, 3, 4}, true, true},
        {"header only", {0x00, 0x00, 0x00, 0x83, 0x00, 0x00, 0x00, 0x01}, true, false},
        {"wrong key for a command", {0x43, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00, 0x01}, true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(gvcp::parse_ack(c.dgram).has_value(), c.ack_ok) << c.name;
        EXPECT_EQ(gvcp::parse_command(c.dgram).has_value(), c.command_ok) << c.name;
    }
}

TEST(GvcpParse, CommandRoundTripsThroughTheDeviceSide) {
    const std::uint32_t addrs[] = {0x0000, 0x0A00, 0x0D18};
    const auto wire = gvcp::encode_read_reg(addrs, 0x4242);
    ASSERT_TRUE(gvcp::looks_like_command(wire));
    const auto cmd = gvcp::parse_command(wire);
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->header.flags, gvcp::flag::kAckRequired);
    EXPECT_EQ(cmd->header.command, gvcp::code(gvcp::Command::ReadReg));
    EXPECT_EQ(cmd->header.request_id, 0x4242);
    ByteReader r(cmd->payload);
    for (auto a : addrs) EXPECT_EQ(r.u32(), a);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.remaining(), 0u);

    // The device's answer parses back on the host side.
    const std::uint8_t values[] = {0, 2, 0, 0};
    const auto answer = gvcp::encode_ack(0, gvcp::ack_code_for(cmd->header.command), cmd->header.request_id, values);
    EXPECT_FALSE(gvcp::looks_like_command(answer));
    const auto ack = gvcp::parse_ack(answer);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->header.ack, 0x0081);
    EXPECT_EQ(ack->header.ack_id, 0x4242);
    EXPECT_EQ(ack->payload.size(), 4u);
}

TEST(GvcpParse, ForceIpPayload) {
    const gvcp::ForceIp want{{0x00, 0x0C, 0xDF, 0x00, 0x00, 0x09}, 0x0A000002, 0xFF000000, 0x0A000001};
    const Bytes datagram = gvcp::encode_force_ip(want, 1);
    const auto parsed = gvcp::parse_command(datagram);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->header.command, 0x0004);
    EXPECT_EQ(gvcp::parse_force_ip(parsed->payload), want);
    // One byte short of the block: refused rather than read past.
    EXPECT_FALSE(gvcp::parse_force_ip(parsed->payload.first(gvcp::kForceIpPayloadSize - 1)));
}

TEST(GvcpParse, ActionPayload) {
    for (const gvcp::ActionCommand want : {gvcp::ActionCommand{9, 8, 7, std::nullopt}, gvcp::ActionCommand{9, 8, 7, 42}}) {
        const Bytes datagram = gvcp::encode_action(want, 1, true);
        const auto parsed = gvcp::parse_command(datagram);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(gvcp::parse_action(parsed->header.flags, parsed->payload), want);
        // The flag promises an action time the payload lacks: refused.
        EXPECT_FALSE(gvcp::parse_action(parsed->header.flags | gvcp::flag::kScheduledTime,
                                        parsed->payload.first(gvcp::kActionPayloadSize)));
        EXPECT_FALSE(gvcp::parse_action(0, parsed->payload.first(gvcp::kActionPayloadSize - 1)));
    }
}

TEST(GvcpParse, PendingAckMillis) {
    EXPECT_EQ(gvcp::pending_ack_millis(Bytes{0x00, 0x00, 0x07, 0xD0}), 2000u);
    EXPECT_EQ(gvcp::pending_ack_millis(Bytes{0x00, 0x00, 0x07, 0xD0, 0xFF}), 2000u);
    EXPECT_FALSE(gvcp::pending_ack_millis(Bytes{0x00, 0x00, 0x07}));
    EXPECT_FALSE(gvcp::pending_ack_millis(Bytes{}));
}

TEST(GvcpEvent, ShortPayloadsKeepWhatFits) {
    const Bytes full = {0xFF, 0xFF, 0x90, 0x01, 0x00, 0x02, 0x00, 0x03, 0x01, 0x02, 0x03, 0x04,
                        0x05, 0x06, 0x07, 0x08, 0xAA, 0xBB};
    const struct {
        std::size_t size;
        std::uint16_t event_id, channel, block;
        std::uint64_t timestamp;
        Bytes data;
    } cases[] = {
        {0, 0, 0, 0, 0, {}},
        {3, 0, 0, 0, 0, {}},
        {4, 0x9001, 0, 0, 0, {}},
        {5, 0x9001, 0, 0, 0, {}},
        {6, 0x9001, 2, 0, 0, {}},
        {8, 0x9001, 2, 3, 0, {}},
        {10, 0x9001, 2, 3, 0, {}},
        {15, 0x9001, 2, 3, 0, {}},
        {16, 0x9001, 2, 3, 0x0102030405060708, {}},
        {18, 0x9001, 2, 3, 0x0102030405060708, {0xAA, 0xBB}},
    };
    for (const auto& c : cases) {
        const auto payload = std::span(full).first(c.size);
        const auto e = GvcpEvent::parse(0x00C2, payload);
        EXPECT_EQ(e.command, 0x00C2);
        EXPECT_EQ(e.event_id, c.event_id) << c.size;
        EXPECT_EQ(e.stream_channel, c.channel) << c.size;
        EXPECT_EQ(e.block_id, c.block) << c.size;
        EXPECT_EQ(e.timestamp, c.timestamp) << c.size;
        EXPECT_EQ(e.data, c.data) << c.size;
        EXPECT_EQ(e.raw, Bytes(payload.begin(), payload.end())) << c.size;
    }
}

TEST(GvcpEvent, DeviceEncodingParsesBack) {
    const std::uint8_t data[] = {1, 2, 3};
    const auto wire = gvcp::encode_event(0x00C2, 11, true, 0x9001, 0, 0x55, 123456789, data);
    const auto cmd = gvcp::parse_command(wire);
    ASSERT_TRUE(cmd);
    EXPECT_TRUE(cmd->header.flags & gvcp::flag::kAckRequired);
    const auto e = GvcpEvent::parse(cmd->header.command, cmd->payload);
    EXPECT_EQ(e.event_id, 0x9001);
    EXPECT_EQ(e.block_id, 0x55);
    EXPECT_EQ(e.timestamp, 123456789u);
    EXPECT_EQ(e.data, (Bytes{1, 2, 3}));
}

TEST(ByteCursors, OverflowIsSticky) {
    const Bytes b = {1, 2, 3, 4, 5};
    ByteReader r(b);
    EXPECT_EQ(r.u32(), 0x01020304u);
    EXPECT_EQ(r.u16(), 0u);  // one byte left: too short
    EXPECT_TRUE(r.overflow());
    EXPECT_EQ(r.u8(), 0u);  // would fit, but the reader stays failed
    EXPECT_TRUE(r.bytes(1).empty());

    std::array<std::uint8_t, 3> out{};
    ByteWriter w(out);
    w.u16(0xABCD);
    w.u16(0x1234);  // does not fit: dropped whole
    w.u8(0x77);     // fits, but the writer stays failed
    EXPECT_TRUE(w.overflow());
    EXPECT_EQ(w.size(), 2u);
    EXPECT_EQ(out, (std::array<std::uint8_t, 3>{0xAB, 0xCD, 0x00}));
}

TEST(ByteCursors, WordAtAnOffsetIsZeroWhenItDoesNotFit) {
    const Bytes b = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(be32_at(b, 0), 0x01020304u);
    EXPECT_EQ(be32_at(b, 2), 0x03040506u);
    for (std::size_t offset : {3u, 6u, 7u, 1000u}) EXPECT_EQ(be32_at(b, offset), 0u) << offset;
}

// Every parser is given datagrams of every length up to a few hundred bytes,
// with random contents and with header fields chosen to pass the early
// checks. Each datagram has an allocation of exactly its size, so a read past
// it shows up under a sanitizer build, and any payload handed back must lie
// inside the datagram.
TEST(GvcpParse, NoParserReadsPastTheDatagram) {
    std::mt19937 rng(1234);
    auto inside = [](std::span<const std::uint8_t> part, std::span<const std::uint8_t> whole) {
        return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
    };
    for (std::size_t size = 0; size <= 300; ++size) {
        for (int round = 0; round < 8; ++round) {
            auto heap = std::make_unique<std::uint8_t[]>(size ? size : 1);
            std::span<std::uint8_t> d(heap.get(), size);
            for (auto& x : d) x = static_cast<std::uint8_t>(rng());
            if (size >= 8 && round % 2 == 0) {
                // Plausible headers: a discovery ack or a command with a length near the size.
                d[0] = round % 4 == 0 ? 0x00 : 0x42;
                d[2] = 0x00;
                d[3] = round % 4 == 0 ? 0x03 : 0xC0;
                const auto len = static_cast<std::uint16_t>(size - 8 + (round / 2) - 1);
                d[4] = static_cast<std::uint8_t>(len >> 8);
                d[5] = static_cast<std::uint8_t>(len);
            }
            std::span<const std::uint8_t> c(d);
            if (auto a = gvcp::parse_ack(c)) {
                EXPECT_TRUE(inside(a->payload, c));
                EXPECT_LE(a->payload.size() + 8, size);
                (void)gvcp::pending_ack_millis(a->payload);
                (void)GvcpEvent::parse(0x00C0, a->payload);
            }
            if (auto m = gvcp::parse_command(c)) {
                EXPECT_TRUE(inside(m->payload, c));
                const auto e = GvcpEvent::parse(m->header.command, m->payload);
                EXPECT_EQ(e.raw.size(), m->payload.size());
            }
            const auto info = gvcp::parse_discovery_ack(c);
            if (info) { EXPECT_GE(size, 8u + DeviceInfo::kSize); }
            (void)DeviceInfo::parse(c);
            (void)string_reg(c, size / 2, 64);
        }
    }
}
