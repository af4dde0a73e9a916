#include <gtest/gtest.h>

#include "error/camera_error.hpp"
#include "error/genicam_error.hpp"

using namespace oculane;

TEST(GvcpStatusDisplay, NamedAndUnnamedCodes) {
    const struct {
        std::uint16_t code;
        const char* text;
    } cases[] = {
        {0x0000, "success (0x0000)"},
        {0x0100, "packet resend (0x0100)"},
        {0x8006, "access denied (0x8006)"},
        {0x8017, "leader/trailer overflow (0x8017)"},
        {0x8FFF, "generic error (0x8fff)"},
        {0x8000, "status 0x8000"},
        {0x8008, "status 0x8008"},
        {0x800F, "status 0x800f"},
        {0x8018, "status 0x8018"},
        {0x0001, "status 0x0001"},
        {0x7FFF, "status 0x7fff"},
    };
    for (const auto& c : cases) EXPECT_EQ(GvcpStatus{c.code}.to_string(), c.text) << c.code;
}

TEST(CameraErrorDisplay, EveryVariant) {
    const struct {
        CameraError err;
        const char* text;
        CameraError::Kind kind;
    } cases[] = {
        {CameraError::io("no usable network adapter for discovery"),
         "io error: no usable network adapter for discovery", CameraError::Kind::Io},
        {CameraError::connect_timeout(), "connect timed out", CameraError::Kind::ConnectTimeout},
        {CameraError::not_connected(), "driver is not connected", CameraError::Kind::NotConnected},
        {CameraError::ack_timeout(), "timed out waiting for acknowledge", CameraError::Kind::AckTimeout},
        {CameraError::access_denied(), "device control is held by another application",
         CameraError::Kind::AccessDenied},
        {CameraError::control_lost(), "device control was lost (heartbeat failed)",
         CameraError::Kind::ControlLost},
        {CameraError::device_status(0x0082, 0x8004),
         "device answered command 0x0082 with write protect (0x8004)", CameraError::Kind::DeviceStatus},
        {CameraError::device_status(0x84, 0x8008), "device answered command 0x0084 with status 0x8008",
         CameraError::Kind::DeviceStatus},
        {CameraError::malformed("empty read register ack"), "malformed packet: empty read register ack",
         CameraError::Kind::Malformed},
        {CameraError::unsupported("IPv6 stream destinations"),
         "device does not support IPv6 stream destinations", CameraError::Kind::Unsupported},
        {CameraError::worker_start("no threads"), "worker thread failed to start: no threads",
         CameraError::Kind::WorkerStart},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.err.to_string(), c.text);
        EXPECT_EQ(c.err.kind(), c.kind) << c.text;
    }
    EXPECT_EQ(static_cast<int>(CameraError::Kind::WorkerStart), 9);
}

TEST(CameraErrorDisplay, IoFromErrnoNamesTheSystemError) {
    auto text = CameraError::io_errno(EADDRNOTAVAIL).to_string();
    EXPECT_EQ(text.rfind("io error: ", 0), 0u) << text;
    EXPECT_NE(text.find("(os error 99)"), std::string::npos) << text;
}

TEST(GenicamErrorDisplay, EveryVariant) {
    const struct {
        GenicamError err;
        const char* text;
    } cases[] = {
        {GenicamError::feature_not_found("Foo"), "feature 'Foo' not found"},
        {GenicamError::unsupported_access("Width"), "node 'Width' does not support this access"},
        {GenicamError::access_mode_violation("Width"),
         "node 'Width' is not accessible this way (access mode)"},
        {GenicamError::dangling_reference("pX"), "dangling reference 'pX'"},
        {GenicamError::circular_reference("A"), "circular reference through 'A'"},
        {GenicamError::formula_error("PayloadSize", "division by zero"),
         "formula in 'PayloadSize': division by zero"},
        {GenicamError::no_enum_entry("PixelFormat", "Mono9"),
         "enumeration 'PixelFormat' has no entry 'Mono9'"},
        {GenicamError::out_of_range(-5, 0, 10, "Gain"), "value -5 out of range [0, 10] for 'Gain'"},
        {GenicamError::out_of_range(5, 0, 10, "Width", 4), "value 5 out of range [0, 10] in steps of 4 for 'Width'"},
        {GenicamError::float_out_of_range(45.9, 0.015, 45.8, "FrameRate"),
         "value 45.9 out of range [0.015, 45.8] for 'FrameRate'"},
        {GenicamError::unavailable("ChunkWidth", "it is carried in frame chunk data"),
         "node 'ChunkWidth' cannot be read from the device: it is carried in frame chunk data"},
        {GenicamError::description_error("bad"), "device description: bad"},
        {GenicamError::snap_timeout(), "no frame arrived within the snap timeout"},
        {GenicamError::transport(CameraError::connect_timeout()), "connect timed out"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.err.to_string(), c.text);
    EXPECT_EQ(static_cast<int>(GenicamError::Kind::Transport), 10);
}

TEST(UnwrapArc, KeepsVariantAndTextWhetherSharedOrNot) {
    auto sole = std::make_shared<const CameraError>(CameraError::malformed("short ack"));
    auto owned = unwrap_arc(std::move(sole));
    EXPECT_TRUE(owned.is<camera_error::Malformed>());
    EXPECT_EQ(owned.to_string(), "malformed packet: short ack");

    auto shared = std::make_shared<const CameraError>(CameraError::worker_start("boom"));
    auto keep = shared;
    auto copy = unwrap_arc(shared);
    EXPECT_EQ(copy.to_string(), "worker thread failed to start: boom");
    EXPECT_EQ(keep->to_string(), "worker thread failed to start: boom");
}
