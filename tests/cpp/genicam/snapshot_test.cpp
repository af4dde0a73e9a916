// The facade's snap and SnapshotSession against the virtual camera: which
// feature writes reach the camera in each acquisition mode, the frame's
// bytes, the timeout and what close restores. Cameras on 127.91.0.x.
#include <gtest/gtest.h>

#include <algorithm>

#include "genicam/genicamera.hpp"
#include "genicam/snapshot.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream/stream_stats.hpp"
#include "sim/device.hpp"
#include "sim/feature_registers.hpp"
#include "sim/server.hpp"
#include "sim/served_device.hpp"
#include "sim/test_pattern.hpp"
#include "thread_util/log_capture.hpp"

namespace oculane {
namespace {

using namespace std::chrono_literals;
namespace reg = sim::reg;

constexpr std::uint32_t kBase = 0x7F5B0000;  // 127.91.0.0
constexpr std::uint32_t kWidth = 64;
constexpr std::uint32_t kHeight = 16;

sim::DeviceConfig small_camera(std::uint8_t host) {
    sim::DeviceConfig cfg;
    cfg.ip = kBase | host;
    cfg.width = kWidth;
    cfg.height = kHeight;
    cfg.tl_params_locked = true;
    return cfg;
}

struct Camera : test::ServedDevice {
    explicit Camera(std::uint8_t host) : ServedDevice(small_camera(host)) {
        if (!server) return;
        camera = std::make_unique<GenICamera>(
            gige::GigESettings{.device = gige::IpAddress::v4(ip()), .ack_timeout = 200ms, .retries = 2});
        if (!camera->connect_transport() || !camera->ensure_model()) ADD_FAILURE() << "connect";
    }

    // Writes to the acquisition registers, in order, named.
    std::vector<std::string> acquisition_writes() const {
        struct Named {
            std::uint32_t address;
            const char* name;
        };
        static constexpr Named kNames[] = {{reg::kAcquisitionMode, "mode"},
                                           {reg::kAcquisitionStart, "start"},
                                           {reg::kAcquisitionStop, "stop"},
                                           {reg::kTLParamsLocked, "locked"}};
        std::vector<std::string> out;
        for (const auto& [address, value] : register_writes())
            for (const auto& n : kNames)
                if (n.address == address) out.push_back(fmt::format("{}={}", n.name, value));
        return out;
    }

    std::unique_ptr<GenICamera> camera;
};

StreamConfig small_stream() {
    StreamConfig c;
    c.packet_size = 1500;  // no fire test: keeps each case short
    return c;
}

void expect_test_pattern(const Frame& f) {
    const auto expected = sim::expected_frame(f.frame_id(), kWidth, kHeight, gvsp::pixel::kMono8);
    ASSERT_EQ(f.data().size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), f.data().begin())) << "frame " << f.frame_id();
}

TEST(Snap, FeatureWritesFollowTheAcquisitionMode) {
    struct Case {
        const char* name;
        std::uint32_t mode;                 // AcquisitionMode register at the start
        bool mode_refused;                  // the mode register answers every access with an error
        std::vector<std::string> writes;    // acquisition register writes of one snap
        const char* log;                    // the debug line the session leaves, if any
        bool mode_cached = false;           // the mode was read (and cached) before the refusal
    };
    const Case cases[] = {
        {"already SingleFrame", 1, false, {"locked=1", "start=1", "locked=0"}, nullptr},
        {"Continuous is switched and put back", 0, false,
         {"mode=1", "locked=1", "start=1", "locked=0", "mode=0"}, nullptr},
        {"MultiFrame is switched and put back", 2, false,
         {"mode=1", "locked=1", "start=1", "locked=0", "mode=2"}, nullptr},
        {"no usable mode: stopped after the frame", 0, true, {"locked=1", "start=1", "stop=1", "locked=0"},
         "AcquisitionMode unavailable, stopping per snap: "},
        // The refused write is in the log (attempted, answered with an error).
        {"SingleFrame refused: stopped after the frame", 0, true,
         {"mode=1", "locked=1", "start=1", "stop=1", "locked=0"},
         "SingleFrame mode unavailable, stopping per snap: ", true},
    };
    std::uint8_t host = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Camera cam(host++);
        cam.device->poke_register(reg::kAcquisitionMode, c.mode);
        if (c.mode_cached) { ASSERT_TRUE(cam.camera->get_enum("AcquisitionMode")); }
        if (c.mode_refused) cam.device->set_address_status(reg::kAcquisitionMode, GvcpStatus::kAccessDenied);
        cam.device->clear_command_log();
        test::LogCapture logs(log::Level::Debug);
        auto frame = cam.camera->snap(small_stream(), 5s);
        ASSERT_TRUE(frame) << frame.error().to_string();
        EXPECT_EQ((*frame)->status(), FrameStatus::Complete);
        expect_test_pattern(**frame);
        EXPECT_EQ(cam.acquisition_writes(), c.writes);
        if (!c.mode_refused) { EXPECT_EQ(cam.device->read_register(reg::kAcquisitionMode), c.mode); }
        EXPECT_EQ(cam.device->read_register(reg::kTLParamsLocked), 0u);
        EXPECT_EQ(cam.device->stream_channel(0).host_port, 0u) << "the stream is closed";
        bool logged = false;
        for (const auto& l : logs.lines())
            if (c.log && l.target == log::kSnapshot && l.message.rfind(c.log, 0) == 0) logged = true;
        EXPECT_EQ(logged, c.log != nullptr);
    }
}

TEST(Snap, TimeoutStopsTheCameraAndRestoresItsSettings) {
    Camera cam(10);
    cam.device->poke_register(reg::kAcquisitionMode, 0);
    cam.device->add_stream_fault(sim::StreamFault{.kind = sim::StreamFaultKind::DropFrame});
    cam.device->clear_command_log();
    auto frame = cam.camera->snap(small_stream(), 200ms);
    ASSERT_FALSE(frame);
    EXPECT_EQ(frame.error().to_string(), "no frame arrived within the snap timeout");
    // Even in single-frame mode a snap without a frame stops the camera.
    const std::vector<std::string> expected = {"mode=1", "locked=1", "start=1", "stop=1", "locked=0", "mode=0"};
    EXPECT_EQ(cam.acquisition_writes(), expected);
    EXPECT_EQ(cam.device->read_register(reg::kAcquisitionMode), 0u);
    EXPECT_EQ(cam.device->read_register(reg::kTLParamsLocked), 0u);
}

TEST(SnapshotSession, SnapsRepeatedlyOnOneStreamAndOnlyNewFramesAnswer) {
    Camera cam(11);
    cam.device->poke_register(reg::kAcquisitionMode, 0);
    auto session = SnapshotSession::open(*cam.camera, small_stream());
    ASSERT_TRUE(session) << session.error().to_string();
    EXPECT_TRUE(session->single_frame());
    ASSERT_TRUE(session->saved_mode());
    EXPECT_EQ(*session->saved_mode(), "Continuous");
    EXPECT_EQ(cam.device->read_register(reg::kTLParamsLocked), 1u);
    const auto port = session->stream()->local_address().port;
    std::uint64_t last_id = 0;
    for (int i = 0; i < 3; ++i) {
        auto frame = session->snap(*cam.camera, 5s);
        ASSERT_TRUE(frame) << frame.error().to_string();
        EXPECT_GT((*frame)->frame_id(), last_id);
        last_id = (*frame)->frame_id();
        expect_test_pattern(**frame);
        EXPECT_EQ(session->stream()->local_address().port, port) << "one stream for the whole session";
    }
    EXPECT_EQ(session->stream()->stats().completed_frames, 3u);
    session->close(*cam.camera);
    EXPECT_TRUE(session->is_closed());
    EXPECT_EQ(cam.device->read_register(reg::kAcquisitionMode), 0u);
    EXPECT_EQ(cam.device->read_register(reg::kTLParamsLocked), 0u);
    EXPECT_EQ(cam.device->stream_channel(0).host_port, 0u);
    cam.device->clear_command_log();
    session->close(*cam.camera);  // idempotent: nothing more reaches the camera
    EXPECT_TRUE(cam.acquisition_writes().empty());
}

TEST(SnapshotSession, AFailedOpenPutsTheModeBack) {
    Camera cam(12);
    cam.device->poke_register(reg::kAcquisitionMode, 0);
    // The stream channel refuses its port: open fails after the mode switch.
    cam.device->set_address_status(bootstrap::stream_channel_port(0), GvcpStatus::kAccessDenied);
    auto session = SnapshotSession::open(*cam.camera, small_stream());
    ASSERT_FALSE(session);
    EXPECT_TRUE(session.error().is<genicam_error::Transport>()) << session.error().to_string();
    EXPECT_EQ(cam.device->read_register(reg::kAcquisitionMode), 0u);
}

}  // namespace
}  // namespace oculane
