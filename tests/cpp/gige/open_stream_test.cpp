// GigECamera::open_stream and StreamChannel closing against the virtual
// camera on loopback. Each test has its own 127.89.0.x camera address.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "gige/gige_camera.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream/stream_channel.hpp"
#include "gige/stream/stream_stats.hpp"
#include "sim/device.hpp"
#include "sim/feature_registers.hpp"
#include "sim/server.hpp"
#include "sim/served_device.hpp"
#include "sim/test_pattern.hpp"
#include "support/loopback_udp.hpp"
#include "thread_util/log_capture.hpp"
#include "util/inet.hpp"
#include "util/unique_fd.hpp"

namespace oculane::gige {
namespace {

using namespace std::chrono_literals;
namespace bs = bootstrap;

constexpr std::uint32_t kBase = 0x7F590000;  // 127.89.0.0

struct Camera : test::ServedDevice {
    explicit Camera(std::uint8_t host, sim::DeviceConfig cfg = {})
        : ServedDevice(test::at_address(std::move(cfg), kBase | host)) {
        if (!server) return;
        transport = std::make_unique<GigECamera>(
            GigESettings{.device = IpAddress::v4(ip()), .ack_timeout = 200ms, .retries = 2});
        if (!transport->connect()) ADD_FAILURE() << "connect";
        device->clear_command_log();
    }

    std::vector<std::pair<std::uint32_t, std::uint32_t>> writes() const { return register_writes(); }

    std::unique_ptr<GigECamera> transport;
};

StreamConfig config_with(std::uint64_t payload, std::optional<std::uint16_t> packet_size = std::nullopt) {
    StreamConfig c;
    c.payload_size = payload;
    c.packet_size = packet_size;
    return c;
}

TEST(OpenStream, RefusesWhatCannotStream) {
    Camera cam(1);
    GigECamera never_connected(GigESettings{.device = IpAddress::v4(kBase | 1)});
    StreamConfig v6 = config_with(1000, 1500);
    v6.destination = StreamDestination{*IpAddress::parse("::1"), 0};
    struct Case {
        const char* name;
        GigECamera* camera;
        StreamConfig config;
        CameraError::Kind kind;
        std::string text;
    };
    const Case cases[] = {
        {"no payload size", cam.transport.get(), StreamConfig{}, CameraError::Kind::Malformed,
         "malformed packet: payload_size must be set"},
        {"payload size 0", cam.transport.get(), config_with(0), CameraError::Kind::Malformed,
         "malformed packet: payload_size must be set"},
        {"not connected", &never_connected, config_with(1000), CameraError::Kind::NotConnected,
         "driver is not connected"},
        {"IPv6 destination", cam.transport.get(), v6, CameraError::Kind::Unsupported,
         "device does not support IPv6 stream destinations"},
    };
    for (const auto& c : cases) {
        auto opened = c.camera->open_stream(c.config);
        ASSERT_FALSE(opened) << c.name;
        EXPECT_EQ(opened.error().kind(), c.kind) << c.name;
        EXPECT_EQ(opened.error().to_string(), c.text) << c.name;
    }
    EXPECT_TRUE(cam.writes().empty()) << "refusals reach no register";
}

TEST(OpenStream, GivenPacketSizeIsWrittenAsIsAndCloseWritesPortZero) {
    Camera cam(2);
    auto opened = cam.transport->open_stream(config_with(4096, 1234));
    ASSERT_TRUE(opened) << opened.error().to_string();
    StreamChannel& stream = **opened;
    EXPECT_EQ(stream.packet_size(), 1234);
    EXPECT_EQ(stream.channel(), 0);
    EXPECT_NE(stream.local_address().port, 0);
    const auto writes = cam.writes();
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {
        {bs::stream_channel_destination(0), stream.local_address().ip},
        {bs::stream_channel_port(0), stream.local_address().port},
        {bs::stream_channel_packet_size(0), 1234},
    };
    EXPECT_EQ(writes, expected) << "no fire test when the size is given";
    EXPECT_TRUE(stream.worker_running());

    opened->reset();
    EXPECT_EQ(cam.device->stream_channel(0).host_port, 0u);
    EXPECT_EQ(cam.writes().back(), std::make_pair(bs::stream_channel_port(0), 0u));
}

TEST(OpenStream, ASetupFailureAfterThePortWriteClosesTheChannelAgain) {
    Camera cam(3);
    cam.device->set_address_status(bs::stream_channel_packet_delay(0), GvcpStatus::kAccessDenied);
    StreamConfig cfg = config_with(4096, 1500);
    cfg.packet_delay = 100;
    auto opened = cam.transport->open_stream(cfg);
    ASSERT_FALSE(opened);
    ASSERT_TRUE(opened.error().is<camera_error::DeviceStatus>()) << opened.error().to_string();
    const auto writes = cam.writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back(), std::make_pair(bs::stream_channel_port(0), 0u));
    EXPECT_EQ(cam.device->stream_channel(0).host_port, 0u);
}

TEST(OpenStream, ClosingAfterDisconnectStillStopsTheWorker) {
    Camera cam(4);
    auto opened = cam.transport->open_stream(config_with(4096, 1500));
    ASSERT_TRUE(opened);
    FrameChannel frames = (*opened)->subscribe(2);
    cam.transport->disconnect(500ms);
    // The port write fails at once (no control worker); the stream closes anyway.
    (*opened)->close();
    EXPECT_FALSE((*opened)->worker_running());
    EXPECT_TRUE(frames.recv_until(std::nullopt).error() == RecvError::Disconnected);
}

TEST(OpenStream, FireTestSettlesOnWhatThePathCarries) {
    struct Case {
        const char* name;
        std::uint32_t path_mtu;  // 0: no limit
        std::uint32_t expected;
        std::vector<std::uint32_t> probes;  // empty: not checked
        bool warns;
    };
    const Case cases[] = {
        {"4000-byte path", 4000, 4000, {9152, 1488, 5312, 3392, 4352, 3872, 4112, 3984, 4048, 4016, 4000}, false},
        {"jumbo path", 0, 9152, {9152}, false},
        {"nothing arrives", 500, 1500, {9152, 1488, 1008, 560}, true},
    };
    std::uint8_t host = 10;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::DeviceConfig cfg;
        cfg.path_mtu = c.path_mtu;
        Camera cam(host++, cfg);
        test::LogCapture logs(log::Level::Warn);
        auto opened = cam.transport->open_stream(config_with(100'000));
        ASSERT_TRUE(opened) << opened.error().to_string();
        EXPECT_EQ((*opened)->packet_size(), c.expected);
        std::vector<std::uint32_t> probes;
        std::optional<std::uint32_t> plain;
        for (const auto& [address, value] : cam.writes()) {
            if (address != bs::stream_channel_packet_size(0)) continue;
            if ((value & 0xC0000000u) == 0xC0000000u) probes.push_back(value & 0xFFFF);
            else plain = value;
        }
        EXPECT_EQ(probes, c.probes);
        EXPECT_EQ(plain, c.expected) << "the result is written without the test bits";
        bool warned = false;
        for (const auto& l : logs.lines())
            warned |= l.message == "packet size fire-test unsupported, falling back to 1500";
        EXPECT_EQ(warned, c.warns);
    }
}

TEST(OpenStream, TrafficThatNeverPausesDoesNotHoldTheFireTestOpen) {
    Camera cam(15);
    const std::uint32_t host = kBase | 115;
    // A port for the stream socket, known before it is opened.
    std::uint16_t port = 0;
    {
        UniqueFd probe = testing::bound_udp(host, 0);
        ASSERT_TRUE(probe);
        port = testing::local_port(probe.get());
    }
    // Someone else's datagrams, without a pause, at that port.
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        UniqueFd tx(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const sockaddr_in to = inet::to_sockaddr(host, port);
        const std::uint8_t junk[64] = {};
        while (!stop.load()) ::sendto(tx.get(), junk, sizeof junk, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    });
    StreamConfig cfg = config_with(4096);
    cfg.destination = StreamDestination{IpAddress::v4(host), port};
    auto opened = cam.transport->open_stream(cfg);
    stop.store(true);
    flood.join();
    ASSERT_TRUE(opened) << opened.error().to_string();
    EXPECT_EQ((*opened)->local_address().port, port);
}

TEST(OpenStream, ChannelOneProgramsItsOwnRegisters) {
    Camera cam(20);
    StreamConfig cfg = config_with(4096, 1500);
    cfg.channel = 1;
    auto opened = cam.transport->open_stream(cfg);
    ASSERT_TRUE(opened) << opened.error().to_string();
    const auto writes = cam.writes();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[0].first, 0x0D58u);
    EXPECT_EQ(writes[1].first, 0x0D40u);
    EXPECT_EQ(cam.device->stream_channel(1).host_port, (*opened)->local_address().port);
    EXPECT_EQ(cam.device->stream_channel(0).host_port, 0u);
    opened->reset();
    EXPECT_EQ(cam.device->stream_channel(1).host_port, 0u);
}

// Frames through open_stream from the camera's own sender, checked byte for
// byte against its test pattern; lost packets come back by resend when the
// camera can resend, and are not asked for when it says it cannot.
TEST(OpenStream, FramesArriveIntactAndLostPacketsAreResent) {
    struct Case {
        const char* name;
        bool camera_resends;
        std::uint32_t pixel_format;
    };
    const Case cases[] = {
        {"Mono8, resend", true, gvsp::pixel::kMono8},
        {"RGB8, resend", true, gvsp::pixel::kRGB8},
        {"Mono8, no resend capability", false, gvsp::pixel::kMono8},
    };
    std::uint8_t host = 30;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::DeviceConfig dc;
        dc.width = 64;
        dc.height = 32;
        dc.packet_resend = c.camera_resends;
        Camera cam(host++, dc);
        cam.device->poke_register(sim::reg::kPixelFormat, c.pixel_format);
        // Packet 3 of every frame goes missing on its first transmission.
        cam.device->add_stream_fault(sim::StreamFault{.kind = sim::StreamFaultKind::DropPackets, .packets = {3}});
        StreamConfig cfg = config_with(cam.device->payload_size(), 576);
        cfg.resend_delay = 0ms;
        cfg.frame_timeout = 300ms;
        auto opened = cam.transport->open_stream(cfg);
        ASSERT_TRUE(opened) << opened.error().to_string();
        FrameChannel frames = (*opened)->subscribe(8);
        const auto& port = cam.transport->connection()->port();
        cam.device->poke_register(sim::reg::kAcquisitionFrameCount, 3);
        ASSERT_TRUE(port.write_register(sim::reg::kAcquisitionMode, 2).wait_owned(port.wait()));  // MultiFrame
        ASSERT_TRUE(port.write_register(sim::reg::kAcquisitionStart, 1).wait_owned(port.wait()));
        for (int i = 0; i < 3; ++i) {
            auto f = frames.recv_timeout(5s);
            ASSERT_TRUE(f) << "frame " << i;
            const Frame& frame = **f;
            EXPECT_EQ(frame.width(), 64u);
            EXPECT_EQ(frame.pixel_format(), c.pixel_format);
            if (c.camera_resends) {
                ASSERT_EQ(frame.status(), FrameStatus::Complete);
                const auto expected = sim::expected_frame(frame.frame_id(), 64, 32, c.pixel_format);
                ASSERT_EQ(frame.data().size(), expected.size());
                EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frame.data().begin()))
                    << "frame " << frame.frame_id();
            } else {
                EXPECT_NE(frame.status(), FrameStatus::Complete);
            }
        }
        (*opened)->close();
        const StreamStats s = (*opened)->stats();
        if (c.camera_resends) {
            EXPECT_EQ(s.resent_packets, 3u);
            EXPECT_EQ(cam.device->stream_counters().resent, 3u);
        } else {
            EXPECT_EQ(s.resend_requests, 0u) << "resend stays off without the capability bit";
            EXPECT_EQ(cam.device->stream_counters().resend_requests, 0u);
        }
    }
}

}  // namespace
}  // namespace oculane::gige
