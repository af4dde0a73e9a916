// The virtual camera's stream side without sockets: the test pattern, the
// packetizer with its faults, and the device's acquisition, pacing and
// resend bookkeeping driven with synthetic time.

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <vector>

#include "gige/proto/bootstrap.hpp"
#include "gige/proto/bytes.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/proto/pixel_layout.hpp"
#include "sim/device.hpp"
#include "sim/feature_registers.hpp"
#include "sim/packetizer.hpp"
#include "sim/test_pattern.hpp"

using namespace oculane;
using namespace oculane::sim;
using namespace std::chrono_literals;

namespace {

// The documented pattern, written out independently of the implementation.
std::vector<std::uint8_t> documented_pixel(std::uint64_t frame, std::uint32_t x, std::uint32_t y, std::uint32_t fmt) {
    const std::uint32_t r = y + static_cast<std::uint32_t>(frame % 16);
    auto h = [](std::uint32_t x_, std::uint32_t r_) { return x_ + 3 * r_ + ((x_ * r_) >> 4); };
    const std::uint32_t v = h(x, r);
    auto b = [](std::uint32_t n) { return static_cast<std::uint8_t>(n & 0xFF); };
    const auto name = gvsp::pixel_format_text(fmt);
    const std::uint8_t chroma = b(h(x & ~1u, r) + (x % 2 ? 192 : 64));
    if (name == "RGB8") return {b(v), b(v + 85), b(v + 170)};
    if (name == "BGR8") return {b(v + 170), b(v + 85), b(v)};
    if (name == "RGBa8") return {b(v), b(v + 85), b(v + 170), b(v + 42)};
    if (name == "BGRa8") return {b(v + 170), b(v + 85), b(v), b(v + 42)};
    if (name == "YUV422_8") return {b(v), chroma};
    if (name == "YUV422_8_UYVY") return {chroma, b(v)};
    if (gvsp::bits_per_pixel(fmt) == 8) return {b(v)};
    // Mono and Bayer of 10 to 16 bits: the sample masked to the depth its name ends in.
    const int depth = std::stoi(name.substr(name.find_first_of("0123456789")));
    const std::uint32_t s = v & ((1u << depth) - 1);
    return {b(s), b(s >> 8)};
}

TEST(TestPattern, EveryFormatFollowsTheDocumentedFormula) {
    for (const auto& f : gvsp::pixel_formats()) {
        // Packed formats are checked by unpacking (pixel_convert_test.cpp).
        if (f.format.packing != imaging::Packing::None) continue;
        for (std::uint64_t frame : {1ull, 15ull, 16ull, 0x123456789ull}) {
            const std::uint32_t w = 70, h = 9;
            const auto img = expected_frame(frame, w, h, f.code);
            const std::size_t bpp = gvsp::bits_per_pixel(f.code) / 8;
            ASSERT_EQ(img.size(), w * h * bpp) << f.name;
            for (auto [x, y] : {std::pair{0u, 0u}, {1u, 0u}, {69u, 8u}, {33u, 4u}}) {
                const auto want = documented_pixel(frame, x, y, f.code);
                const std::vector<std::uint8_t> got(img.begin() + (y * w + x) * bpp, img.begin() + (y * w + x + 1) * bpp);
                EXPECT_EQ(got, want) << f.name << " frame " << frame << " at " << x << "," << y;
            }
        }
    }
    EXPECT_TRUE(expected_frame(1, 8, 8, 0x01080002).empty());
}

TEST(TestPattern, CacheServesTheSameBytesAcrossGeometryChanges) {
    PatternCache cache;
    // Mono12p rows are whole bytes; Mono10p rows of 18 pixels end inside one.
    for (auto [fmt, w, h] : {std::tuple{gvsp::pixel::kMono8, 64u, 32u}, {gvsp::pixel::kRGB8, 20u, 10u},
                             {0x010C0047u, 20u, 10u}, {0x010A0046u, 18u, 5u}, {gvsp::pixel::kMono8, 64u, 32u}}) {
        for (std::uint64_t id : {1ull, 2ull, 17ull, 65535ull}) {
            const auto s = cache.frame(id, fmt, w, h);
            EXPECT_EQ(std::vector<std::uint8_t>(s.begin(), s.end()), expected_frame(id, w, h, fmt));
        }
    }
}

FrameJob job(std::uint32_t packet_size = 576, bool extended = false, std::uint64_t payload = 2000) {
    FrameJob f;
    f.block_id = 7;
    f.extended = extended;
    f.pixel_format = gvsp::pixel::kMono8;
    f.width = 50;
    f.height = 40;
    f.packet_size = packet_size;
    f.payload_size = payload;
    return f;
}

TEST(Packetizer, BlockIsLeaderDataAndTrailerAtThePacketSize) {
    for (bool extended : {false, true}) {
        const auto f = job(576, extended);
        const std::vector<std::uint8_t> payload(2000, 0xAB);
        PacketList out;
        Dice dice;
        StreamCounters c;
        build_frame_packets(f, payload, {}, 0, dice, out, c);
        const std::uint32_t per = extended ? 576 - 48 : 576 - 36;
        const std::uint32_t n_data = (2000 + per - 1) / per;
        ASSERT_EQ(out.packets().size(), n_data + 2);
        for (std::size_t i = 0; i < out.packets().size(); ++i) {
            auto p = gvsp::parse_packet(out.datagram(i));
            ASSERT_TRUE(p);
            EXPECT_EQ(p->block_id, 7u);
            EXPECT_EQ(p->packet_id, i);
            EXPECT_EQ(p->extended, extended);
            const auto kind = i == 0 ? gvsp::PacketKind::Leader
                              : i == n_data + 1 ? gvsp::PacketKind::Trailer
                                                : gvsp::PacketKind::Payload;
            EXPECT_EQ(p->kind, kind);
            if (kind == gvsp::PacketKind::Payload) {
                EXPECT_EQ(p->payload.size(), i < n_data ? per : 2000 - per * (n_data - 1));
            }
        }
        const auto leader = gvsp::parse_leader(gvsp::parse_packet(out.datagram(0))->payload);
        ASSERT_TRUE(leader);
        EXPECT_EQ(leader->width, 50u);
        EXPECT_EQ(leader->pixel_format, gvsp::pixel::kMono8);
    }
}

TEST(Packetizer, PathMtuTakesOutOversizePacketsAndCountsThem) {
    const std::vector<std::uint8_t> payload(2000, 1);
    PacketList out;
    Dice dice;
    StreamCounters c;
    build_frame_packets(job(576), payload, {}, 575, dice, out, c);
    // Only the leader (72 bytes), the short last data packet (440) and the trailer fit.
    EXPECT_EQ(out.packets().size(), 3u);
    EXPECT_EQ(c.mtu_lost, 3u);
}

TEST(Packetizer, ResendOfAGoneBlockIsUnavailableStatusOnly) {
    ResendJob j{job(576), 2, 4, false};
    PacketList out;
    Dice dice;
    StreamCounters c;
    build_resend_packets(j, {}, {}, 0, dice, out, c);
    ASSERT_EQ(out.packets().size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        auto p = gvsp::parse_packet(out.datagram(i));
        EXPECT_EQ(p->status, gvsp::status::kPacketUnavailable);
        EXPECT_EQ(p->packet_id, 2 + i);
        EXPECT_TRUE(p->payload.empty());
    }
    EXPECT_EQ(c.unavailable, 3u);
}

// ---- device ------------------------------------------------------------------------

constexpr Endpoint kHost{0x7F000001, 50000};

class StreamDeviceTest : public ::testing::Test {
protected:
    explicit StreamDeviceTest(DeviceConfig cfg = small()) : device_(std::move(cfg), t0_) {
        write(bootstrap::kCcp, 2);
        write(reg::kGvcpConfiguration, reg::kGvcpConfigHeartbeatDisable);
    }
    static DeviceConfig small() {
        DeviceConfig c;
        c.width = 32;
        c.height = 16;
        return c;
    }
    std::uint16_t write(std::uint32_t a, std::uint32_t v, std::chrono::milliseconds at = 0ms) {
        const gvcp::RegisterWrite w{a, v};
        auto out = device_.on_datagram(gvcp::encode_write_reg(std::span(&w, 1), 1), kHost, t0_ + at);
        last_out_ = out;
        return gvcp::parse_ack(out.at(0).bytes)->header.status;
    }
    void open(std::uint32_t ch, std::uint16_t port = 40000) {
        ASSERT_EQ(write(bootstrap::stream_channel_destination(ch), 0x7F000001), 0);
        ASSERT_EQ(write(bootstrap::stream_channel_port(ch), port), 0);
    }
    StreamWork& take(std::chrono::milliseconds at) {
        device_.take_stream_work(t0_ + at, work_);
        return work_;
    }
    // A PACKETRESEND as the host's encoder writes it.
    void resend(std::uint16_t ch, std::uint64_t block, std::uint32_t first, std::uint32_t last, bool ext = false) {
        std::array<std::uint8_t, 28> b{};
        const auto n = gvcp::encode_packet_resend(b, ch, block, first, last, ext, 1);
        device_.on_datagram(std::span(b.data(), n), kHost, t0_);
    }

    Clock::time_point t0_ = Clock::time_point{} + 1000s;
    Device device_;
    StreamWork work_;
    std::vector<Outgoing> last_out_;
};

TEST_F(StreamDeviceTest, AcquisitionModesTakeTheirNumberOfFrames) {
    open(0);
    ASSERT_EQ(write(reg::kAcquisitionFrameRateEnable, 0), 0);
    const struct {
        std::uint32_t mode, count;
        std::size_t frames;
    } cases[] = {{1, 9, 1}, {2, 3, 3}, {0, 1, 20}};
    for (const auto& c : cases) {
        ASSERT_EQ(write(reg::kAcquisitionMode, c.mode), 0);
        ASSERT_EQ(write(reg::kAcquisitionFrameCount, c.count), 0);
        ASSERT_EQ(write(reg::kAcquisitionStart, 1), 0);
        std::size_t taken = 0;
        for (int i = 0; i < 20; ++i) taken += take(1ms).frames.size();
        EXPECT_EQ(taken, c.frames) << "mode " << c.mode;
        EXPECT_EQ(device_.acquiring(), c.mode == 0);
        EXPECT_EQ(device_.read_register(reg::kAcquisitionStatus), c.mode == 0 ? 1u : 0u);
        ASSERT_EQ(write(reg::kAcquisitionStop, 1), 0);
    }
}

TEST_F(StreamDeviceTest, FrameRatePacesAndEveryOpenChannelGetsTheFrame) {
    open(0);
    open(1, 40001);
    ASSERT_EQ(write(reg::kAcquisitionStart, 1, 0ms), 0);
    auto& w = take(0ms);
    ASSERT_EQ(w.frames.size(), 2u);
    EXPECT_EQ(w.frames[0].to, (Endpoint{0x7F000001, 40000}));
    EXPECT_EQ(w.frames[1].to, (Endpoint{0x7F000001, 40001}));
    EXPECT_EQ(w.frames[0].payload_size, 32u * 16u);
    ASSERT_TRUE(w.next_due);
    EXPECT_NEAR(std::chrono::duration<double>(*w.next_due - t0_).count(), 1.0 / 30, 1e-6);  // 30 Hz default
    EXPECT_TRUE(take(20ms).frames.empty());
    EXPECT_EQ(take(34ms).frames.size(), 2u);
    // Timestamps count device ticks (1 GHz) from the device's start.
    EXPECT_EQ(work_.frames[0].timestamp, 34'000'000u);
}

TEST_F(StreamDeviceTest, StandardBlockIdsSkipZeroWhenTheyWrapAndExtendedOnesDoNotWrap) {
    open(0);
    ASSERT_EQ(write(reg::kAcquisitionFrameRateEnable, 0), 0);
    ASSERT_EQ(write(reg::kAcquisitionStart, 1), 0);
    std::vector<std::uint64_t> ids;
    for (int i = 0; i < 65537; ++i) ids.push_back(take(1ms).frames.at(0).block_id);
    EXPECT_EQ(ids.front(), 1u);
    EXPECT_EQ(ids[65534], 65535u);
    EXPECT_EQ(ids[65535], 1u);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 0u), 0);
    ASSERT_EQ(write(reg::kGvcpConfiguration, reg::kGvcpConfigExtendedIds | reg::kGvcpConfigHeartbeatDisable), 0);
    EXPECT_EQ(take(1ms).frames.at(0).block_id, 3u);
    EXPECT_TRUE(work_.frames[0].extended);
}

TEST_F(StreamDeviceTest, ResendsAreRoutedByChannelAndAbsurdOnesRefused) {
    open(0);
    open(1, 40001);
    ASSERT_EQ(write(reg::kAcquisitionMode, 2), 0);
    ASSERT_EQ(write(reg::kAcquisitionFrameCount, 2), 0);
    ASSERT_EQ(write(reg::kAcquisitionStart, 1), 0);
    take(0ms);
    take(40ms);
    const struct {
        const char* what;
        std::uint16_t ch;
        std::uint64_t block;
        std::uint32_t first, last;
        bool queued, held;
    } cases[] = {
        {"held on channel 1", 1, 2, 0, 2, true, true},
        {"held on channel 0", 0, 1, 1, 1, true, true},
        {"channel 3 does not exist", 3, 1, 1, 1, false, false},
        {"reversed", 0, 1, 2, 1, false, false},
        {"past the trailer", 0, 1, 1, 3, false, false},
        {"never sent", 0, 5, 1, 1, false, false},
    };
    for (const auto& c : cases) {
        const auto refused = device_.stream_counters().resend_refused;
        resend(c.ch, c.block, c.first, c.last);
        auto& w = take(41ms);
        ASSERT_EQ(w.resends.size(), c.queued ? 1u : 0u) << c.what;
        EXPECT_EQ(device_.stream_counters().resend_refused, refused + (c.queued ? 0 : 1)) << c.what;
        if (!c.queued) continue;
        EXPECT_EQ(w.resends[0].frame.channel, c.ch) << c.what;
        EXPECT_EQ(w.resends[0].frame.block_id, c.block) << c.what;
        EXPECT_EQ(w.resends[0].held, c.held) << c.what;
    }
    // A memory of one frame: block 1 is gone, and answered as unavailable.
    device_.set_resend_memory(1);
    resend(0, 1, 1, 1);
    auto& w = take(42ms);
    ASSERT_EQ(w.resends.size(), 1u);
    EXPECT_FALSE(w.resends[0].held);
}

TEST_F(StreamDeviceTest, FireTestPacketHasTheProbeSizeAndLeavesTheRegister) {
    open(0);
    ASSERT_EQ(write(bootstrap::stream_channel_packet_size(0), 1500), 0);
    ASSERT_EQ(write(bootstrap::stream_channel_packet_size(0), 0xC0000000 + 4000), 0);
    ASSERT_EQ(last_out_.size(), 2u);
    EXPECT_EQ(last_out_[1].bytes.size(), 4000u - 28u);
    EXPECT_EQ(last_out_[1].to, (Endpoint{0x7F000001, 40000}));
    EXPECT_EQ(device_.read_register(bootstrap::stream_channel_packet_size(0)), 1500u);
    device_.set_path_mtu(3999);
    ASSERT_EQ(write(bootstrap::stream_channel_packet_size(0), 0xC0000000 + 4000), 0);
    EXPECT_EQ(last_out_.size(), 1u);
    EXPECT_EQ(device_.stream_counters().mtu_lost, 1u);
}

TEST_F(StreamDeviceTest, FramesWithoutADestinationAreCountedNotSent) {
    ASSERT_EQ(write(bootstrap::stream_channel_port(0), 40000), 0);  // a port but no destination
    ASSERT_EQ(write(reg::kAcquisitionFrameRateEnable, 0), 0);
    ASSERT_EQ(write(reg::kAcquisitionStart, 1), 0);
    EXPECT_TRUE(take(0ms).frames.empty());
    ASSERT_TRUE(work_.next_due);
    EXPECT_GE(*work_.next_due - t0_, 10ms);  // no spinning while nothing can be sent
    EXPECT_EQ(device_.stream_counters().frames_refused, 1u);
}

TEST(PacketResendCodec, DeviceReadsBothFormsWithTheChannel) {
    const struct {
        std::vector<std::uint8_t> payload;
        std::uint8_t flags;
        std::optional<gvcp::PacketResendRequest> want;
    } cases[] = {
        {{0, 1, 0x12, 0x34, 0xFF, 0, 0, 5, 0, 0, 0, 9}, 0x00, gvcp::PacketResendRequest{1, 0x1234, 5, 9, false}},
        {{0, 2, 0, 0, 0, 0, 0, 5, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 2}, 0x10,
         gvcp::PacketResendRequest{2, 0x100000002ull, 5, 9, true}},
        {{0, 1, 0x12, 0x34, 0, 0, 0, 5, 0, 0, 0}, 0x00, std::nullopt},
        {{0, 1, 0x12, 0x34, 0, 0, 0, 5, 0, 0, 0, 9}, 0x10, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(gvcp::parse_packet_resend(c.flags, c.payload), c.want);
}

}  // namespace
