#pragma once
// Shared by the stream tests: datagrams of a made-up camera, a sink that
// records what the assembler emits, and an assembler driven with synthetic
// time.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "gige/proto/bytes.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/stream/frame_assembler.hpp"

namespace oculane::stream_test {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t kCamera = 0x7F000002;  // 127.0.0.2
inline constexpr std::uint16_t kStreamPort = 40001;   // the camera's stream socket
inline constexpr std::uint32_t kBpp = 100;            // data bytes per standard packet
inline constexpr std::uint32_t kPacketSize = 36 + kBpp;
inline constexpr std::uint64_t kPayload = 1000;       // 10 data packets: 12 with leader and trailer
inline constexpr std::uint64_t kWallNs = 1'700'000'000'123'456'789;

// Every image byte is a function of its block and offset.
inline std::uint8_t pattern(std::uint64_t block, std::uint64_t offset) {
    return static_cast<std::uint8_t>(block * 31 + offset * 7 + 1);
}

inline Bytes packet(std::uint64_t block, std::uint8_t format, std::uint32_t id, std::span<const std::uint8_t> payload,
                    bool extended = false, std::uint16_t status = 0) {
    Bytes out(extended ? gvsp::kExtendedHeaderSize : gvsp::kHeaderSize);
    gvsp::encode_header(out, {status, block, format, id, extended});
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// 25 rows of 36 pixels, each but the last followed by 4 bytes of padding:
// 996 bytes, within the payload.
inline gvsp::LeaderInfo image_leader(std::uint64_t ticks = 0) {
    gvsp::LeaderInfo l;
    l.payload_type = gvsp::payload_type::kImage;
    l.timestamp = ticks;
    l.pixel_format = gvsp::pixel::kMono8;
    l.width = 36;
    l.height = 25;
    l.x_offset = 2;
    l.y_offset = 3;
    l.x_padding = 4;
    l.y_padding = 5;
    return l;
}

// An image of width x height Mono8 pixels without padding.
inline gvsp::LeaderInfo mono8_leader(std::uint32_t width, std::uint32_t height) {
    gvsp::LeaderInfo l = image_leader();
    l.width = width;
    l.height = height;
    l.x_padding = 0;
    return l;
}

inline Bytes leader(std::uint64_t block, bool extended = false, std::uint16_t type = gvsp::payload_type::kImage,
                    const gvsp::LeaderInfo& info = image_leader(), std::size_t size = gvsp::kLeaderImageSize) {
    Bytes pl(gvsp::kLeaderImageSize);
    gvsp::encode_leader(pl, type, info);
    pl.resize(size);
    return packet(block, 1, 0, pl, extended);
}

// Data packet `id` carrying n bytes taken from offset (id - 1) * stride.
inline Bytes data(std::uint64_t block, std::uint32_t id, std::size_t n = kBpp, bool extended = false,
                  std::uint64_t stride = kBpp) {
    Bytes pl(n);
    for (std::size_t k = 0; k < n; ++k) pl[k] = pattern(block, (id - 1) * stride + k);
    return packet(block, 3, id, pl, extended);
}

inline Bytes trailer(std::uint64_t block, std::uint32_t id, bool extended = false) {
    Bytes pl(gvsp::kTrailerImageSize);
    gvsp::encode_trailer(pl, gvsp::payload_type::kImage, 25);
    return packet(block, 2, id, pl, extended);
}

// A decoded PACKETRESEND command.
struct Resend {
    std::uint16_t request_id = 0;
    std::uint16_t channel = 0;
    std::uint64_t block = 0;
    std::uint32_t first = 0, last = 0;
    bool extended = false;
    bool operator==(const Resend&) const = default;
};

inline Resend decode_resend(std::span<const std::uint8_t> b) {
    ByteReader r(b);
    Resend out;
    EXPECT_EQ(r.u8(), 0x42);
    out.extended = (r.u8() & 0x10) != 0;
    EXPECT_EQ(r.u16(), 0x0040);
    EXPECT_EQ(r.u16(), out.extended ? 20 : 12);
    out.request_id = r.u16();
    out.channel = r.u16();
    const std::uint16_t short_block = r.u16();
    out.first = r.u32();
    out.last = r.u32();
    out.block = out.extended ? r.u64() : short_block;
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.remaining(), 0u);
    return out;
}

class Recorder : public AssemblerSink {
public:
    void send_resend(std::span<const std::uint8_t> command) override {
        resends.push_back(decode_resend(command));
        resend_times.push_back(now);
    }
    void frame_closed(FramePtr frame) override {
        statuses.push_back(frame->status());
        if (keep) frames.push_back(std::move(frame));
    }
    std::vector<FramePtr> frames;
    std::vector<FrameStatus> statuses;
    std::vector<Resend> resends;
    std::vector<Duration> resend_times;  // since the rig's start
    Duration now{};
    bool keep = true;
};

inline AssemblerConfig small_config() {
    AssemblerConfig c;
    c.payload_size = kPayload;
    c.packet_size = kPacketSize;
    c.camera_ip = kCamera;
    c.n_buffers = 4;
    return c;
}

struct Rig {
    explicit Rig(const AssemblerConfig& config = small_config()) : assembler(FrameAssembler::create(config).value()) {}

    void feed(const Bytes& d, Duration at = {}, std::uint32_t source = kCamera, std::uint16_t port = kStreamPort) {
        sink.now = at;
        assembler.on_datagram(d, source, port, t0 + at, kWallNs, sink);
    }
    void tick(Duration at) {
        sink.now = at;
        assembler.on_tick(t0 + at, sink);
    }
    // Leader, data 1..10 except `skip`, trailer: one block at instant `at`.
    void frame(std::uint64_t block, Duration at = {}, std::vector<std::uint32_t> skip = {}) {
        feed(leader(block), at);
        for (std::uint32_t id = 1; id <= 10; ++id)
            if (std::find(skip.begin(), skip.end(), id) == skip.end()) feed(data(block, id), at);
        feed(trailer(block, 11), at);
    }

    const Instant t0 = Instant{} + 1000s;
    FrameAssembler assembler;
    Recorder sink;
};

}  // namespace oculane::stream_test
