// The virtual camera's device core, driven with synthetic datagrams and time.

#include <gtest/gtest.h>

#include <fmt/format.h>
#include <zlib.h>

#include <functional>

#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "gige/proto/bootstrap.hpp"
#include "gige/proto/bytes.hpp"
#include "gige/proto/gvcp.hpp"
#include "sim/device.hpp"
#include "sim/feature_registers.hpp"
#include "sim/register_space.hpp"

using namespace oculane;
using namespace oculane::sim;
using namespace std::chrono_literals;

namespace {

constexpr Endpoint kHostA{0x7F000001, 50000};
constexpr Endpoint kHostASecondPort{0x7F000001, 50001};
constexpr Endpoint kHostB{0x7F000009, 50000};

struct Reply {
    std::uint16_t status = 0;
    std::uint16_t ack = 0;
    std::uint16_t id = 0;
    std::vector<std::uint8_t> payload;
    std::chrono::milliseconds delay{0};
};

class DeviceTest : public ::testing::Test {
protected:
    explicit DeviceTest(DeviceConfig cfg = {}) : device_(std::move(cfg), t0_) {}

    std::vector<Outgoing> raw(const std::vector<std::uint8_t>& datagram, Endpoint from = kHostA,
                              std::chrono::milliseconds at = 0ms) {
        return device_.on_datagram(datagram, from, t0_ + at);
    }
    // The single acknowledge a command gets (fails the test otherwise).
    Reply one(const std::vector<std::uint8_t>& datagram, Endpoint from = kHostA, std::chrono::milliseconds at = 0ms) {
        auto out = raw(datagram, from, at);
        EXPECT_EQ(out.size(), 1u);
        if (out.empty()) return {};
        return decode(out.front());
    }
    static Reply decode(const Outgoing& o) {
        auto ack = gvcp::parse_ack(o.bytes);
        EXPECT_TRUE(ack.has_value());
        if (!ack) return {};
        return Reply{ack->header.status, ack->header.ack, ack->header.ack_id,
                     {ack->payload.begin(), ack->payload.end()}, o.delay};
    }
    Reply read_regs(std::vector<std::uint32_t> addrs, Endpoint from = kHostA, std::uint16_t id = 7) {
        return one(gvcp::encode_read_reg(addrs, id), from);
    }
    std::uint32_t read_reg(std::uint32_t addr, Endpoint from = kHostA) {
        auto r = read_regs({addr}, from);
        EXPECT_EQ(r.status, 0) << std::hex << addr;
        return r.payload.size() >= 4 ? ByteReader(r.payload).u32() : 0xDEADBEEF;
    }
    std::uint16_t write_reg(std::uint32_t addr, std::uint32_t value, Endpoint from = kHostA,
                            std::chrono::milliseconds at = 0ms) {
        const gvcp::RegisterWrite w{addr, value};
        return one(gvcp::encode_write_reg(std::span(&w, 1), 9), from, at).status;
    }
    void take_control(Endpoint from = kHostA, std::uint32_t ccp = 0x2) {
        ASSERT_EQ(write_reg(bootstrap::kCcp, ccp, from), 0);
    }
    std::vector<std::uint8_t> read_mem(std::uint32_t addr, std::uint32_t count) {
        auto r = one(gvcp::encode_read_mem(addr, count, 3));
        EXPECT_EQ(r.status, 0);
        if (r.payload.size() < 4) return {};
        return {r.payload.begin() + 4, r.payload.end()};
    }

    Clock::time_point t0_ = Clock::time_point{} + 1000s;
    Device device_;
};

std::uint32_t parse_hex(const std::string& s) { return static_cast<std::uint32_t>(std::stoul(s, nullptr, 16)); }

// Minimal reader for the one-member archives the device serves.
std::string unzip_first(const std::vector<std::uint8_t>& zip) {
    auto le16 = [&](std::size_t o) { return zip.at(o) | (zip.at(o + 1) << 8); };
    auto le32 = [&](std::size_t o) { return static_cast<std::uint32_t>(le16(o) | (le16(o + 2) << 16)); };
    EXPECT_EQ(le32(0), 0x04034B50u);
    const std::size_t data = 30 + le16(26) + le16(28);
    const std::uint32_t csize = le32(18), usize = le32(22);
    std::string out(usize, '\0');
    z_stream zs{};
    inflateInit2(&zs, -15);
    zs.next_in = const_cast<Bytef*>(zip.data() + data);
    zs.avail_in = csize;
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = usize;
    const int rc = inflate(&zs, Z_FINISH);
    inflateEnd(&zs);
    EXPECT_EQ(rc, Z_STREAM_END);
    EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(out.data()), usize), le32(14));
    return out;
}

}  // namespace

// ---- bootstrap --------------------------------------------------------------

TEST_F(DeviceTest, BootstrapRegistersAreConsistentWithTheConfiguration) {
    const DeviceConfig c;
    auto r = read_regs({0x0000, 0x0004, 0x0008, 0x000C, 0x0010, 0x0014, 0x0024, 0x0034, 0x0044}, kHostA, 0x1234);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.ack, 0x0081);
    EXPECT_EQ(r.id, 0x1234);
    ASSERT_EQ(r.payload.size(), 36u);
    ByteReader v(r.payload);
    EXPECT_EQ(v.u32(), (std::uint32_t{c.spec_major} << 16) | c.spec_minor);
    EXPECT_EQ(v.u32() >> 31, 1u);  // big-endian device
    EXPECT_EQ(v.u32(), (std::uint32_t{c.mac[0]} << 8) | c.mac[1]);
    EXPECT_EQ(v.u32(), (std::uint32_t{c.mac[2]} << 24) | (c.mac[3] << 16) | (c.mac[4] << 8) | c.mac[5]);
    v.skip(8);
    EXPECT_EQ(v.u32(), c.ip);
    EXPECT_EQ(v.u32(), c.subnet_mask);
    EXPECT_EQ(v.u32(), c.gateway);

    // Bits counted from the most significant: user-defined name (0), serial
    // number (1), heartbeat disable (2); pending ack (26), event data (27),
    // event (28), packet resend (29), WRITEMEM (30), concatenation (31);
    // scheduled action (14), action (25).
    EXPECT_EQ(read_reg(bootstrap::kGvcpCapability), 0xE002007Fu);
    EXPECT_EQ(read_reg(bootstrap::kHeartbeatTimeout), 3000u);
    EXPECT_EQ((std::uint64_t{read_reg(0x093C)} << 32) | read_reg(0x0940), c.tick_frequency);

    const auto model = read_mem(bootstrap::kModelName.address, bootstrap::kModelName.size);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(model.data())), c.model);
}

TEST_F(DeviceTest, DiscoveryAnswersWithTheIdentityBlock) {
    auto out = raw({0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF}, kHostB);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to, kHostB);
    auto info = gvcp::parse_discovery_ack(out[0].bytes);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->serial, DeviceConfig{}.serial);
    EXPECT_EQ(info->ip, DeviceConfig{}.ip);
    EXPECT_EQ(decode(out[0]).id, 0xFFFF);
}

TEST_F(DeviceTest, ForceIpMovesOnlyTheDeviceItNames) {
    gvcp::ForceIp request{DeviceConfig{}.mac, 0x0A000002, 0xFF000000, 0x0A000001};
    gvcp::ForceIp other = request;
    other.mac[5] ^= 0xFF;
    auto cut = gvcp::encode_force_ip(request, 3);
    cut.resize(cut.size() - 1);
    cut[5] = static_cast<std::uint8_t>(gvcp::kForceIpPayloadSize - 1);
    // Another device's MAC, or a block too short to hold one: no answer, no change.
    EXPECT_TRUE(raw(gvcp::encode_force_ip(other, 3), kHostB).empty());
    EXPECT_TRUE(raw(cut, kHostB).empty());
    EXPECT_EQ(read_reg(bootstrap::kCurrentIp), DeviceConfig{}.ip);

    const Reply r = one(gvcp::encode_force_ip(request, 4), kHostB);
    EXPECT_EQ((std::tuple{r.status, r.ack, r.id}), (std::tuple<std::uint16_t, std::uint16_t, std::uint16_t>{0, 5, 4}));
    EXPECT_EQ(read_reg(bootstrap::kCurrentIp), 0x0A000002u);
    EXPECT_EQ(read_reg(bootstrap::kCurrentSubnetMask), 0xFF000000u);
    EXPECT_EQ(read_reg(bootstrap::kCurrentGateway), 0x0A000001u);
    // Discovery reports the new address.
    auto out = raw(std::vector<std::uint8_t>{0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF}, kHostB);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(gvcp::parse_discovery_ack(out[0].bytes)->ip, 0x0A000002u);
}

// ---- status codes -----------------------------------------------------------

TEST_F(DeviceTest, StatusCodesOfRegisterAccess) {
    take_control();
    struct Case {
        const char* what;
        std::vector<std::uint8_t> datagram;
        std::uint16_t status;
    };
    const std::uint8_t short_len[] = {0x42, 0x01, 0x00, 0x80, 0x00, 0x08, 0x00, 0x05, 0, 0, 0, 0};
    const Case cases[] = {
        {"read unmapped", gvcp::encode_read_reg(std::vector<std::uint32_t>{0x00F00000}, 1), 0x8003},
        {"read unaligned", gvcp::encode_read_reg(std::vector<std::uint32_t>{0x0A02}, 1), 0x8005},
        {"write read-only", gvcp::encode_write_reg(std::vector<gvcp::RegisterWrite>{{0x0934, 1}}, 1), 0x8004},
        {"write unmapped", gvcp::encode_write_reg(std::vector<gvcp::RegisterWrite>{{0x00F00000, 1}}, 1), 0x8003},
        {"write unaligned", gvcp::encode_write_reg(std::vector<gvcp::RegisterWrite>{{0x0A01, 1}}, 1), 0x8005},
        {"read memory unaligned count", gvcp::encode_read_mem(0x0048, 6, 1), 0x8005},
        {"read memory too long", [] {
             auto d = gvcp::encode_read_mem(0x0048, 4, 1);
             d[14] = 0x02;  // count 0x204 = 516
             d[15] = 0x04;
             return d;
         }(), 0x8002},
        {"write memory read-only", gvcp::encode_write_mem(0x0048, std::vector<std::uint8_t>(4, 0x41), 1), 0x8004},
        {"length field beyond datagram", {std::begin(short_len), std::end(short_len)}, 0x800E},
        {"unknown command", {0x42, 0x01, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x05}, 0x8001},
        {"zero heartbeat timeout", gvcp::encode_write_reg(std::vector<gvcp::RegisterWrite>{{0x0938, 0}}, 1), 0x8002},
        {"width not a multiple of 4", gvcp::encode_write_reg(std::vector<gvcp::RegisterWrite>{{reg::kWidth, 642}}, 1), 0x8002},
        {"unknown pixel format", gvcp::encode_write_reg(std::vector<gvcp::RegisterWrite>{{reg::kPixelFormat, 7}}, 1), 0x8002},
    };
    for (const auto& c : cases) {
        auto r = one(c.datagram);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.ack, (c.datagram[2] << 8 | c.datagram[3]) + 1) << c.what;
        EXPECT_EQ(r.id, c.datagram[6] << 8 | c.datagram[7]) << c.what;
    }
    EXPECT_EQ(device_.read_register(bootstrap::kHeartbeatTimeout), 3000u);  // refused writes change nothing
    EXPECT_EQ(device_.read_register(reg::kWidth), 640u);
}

TEST_F(DeviceTest, MemoryReadsAcrossRegistersSeeTheRegisterValues) {
    take_control();
    const auto bytes = read_mem(bootstrap::kGvcpCapability, 16);
    ByteReader r(bytes);
    EXPECT_EQ(r.u32(), device_.read_register(bootstrap::kGvcpCapability));
    EXPECT_EQ(r.u32(), 3000u);
    EXPECT_EQ((r.u64()), DeviceConfig{}.tick_frequency);
    EXPECT_EQ(read_mem(bootstrap::kCcp, 4), (std::vector<std::uint8_t>{0, 0, 0, 2}));
    EXPECT_EQ(one(gvcp::encode_read_mem(0x0930, 8, 1)).status, 0x8003);  // 0x0930 is not mapped
}

TEST_F(DeviceTest, MultiRegisterReadStopsAtTheFirstFailure) {
    auto r = read_regs({0x0000, 0x00F00000, 0x0004});
    EXPECT_EQ(r.status, 0x8003);
    EXPECT_EQ(r.payload.size(), 4u);  // only the value read before the failure
}

class NoConcatenationTest : public DeviceTest {
protected:
    NoConcatenationTest() : DeviceTest(make()) {}
    static DeviceConfig make() {
        DeviceConfig c;
        c.concatenation = false;
        return c;
    }
};

TEST_F(NoConcatenationTest, OneRegisterPerCommandAndTheCapabilityBitClear) {
    EXPECT_EQ(read_reg(bootstrap::kGvcpCapability) & reg::kCapConcatenation, 0u);
    auto r = read_regs({0x0000, 0x0004, 0x0024});
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.payload.size(), 4u);  // the first value only
    EXPECT_EQ(ByteReader(r.payload).u32(), read_reg(0x0000));
    take_control();
    const gvcp::RegisterWrite w[] = {{reg::kWidth, 320}, {reg::kHeight, 200}};
    auto ack = one(gvcp::encode_write_reg(w, 5));
    EXPECT_EQ(ack.status, 0);
    EXPECT_EQ(ack.payload, (std::vector<std::uint8_t>{0, 0, 0, 1}));  // one write carried out
    EXPECT_EQ(read_reg(reg::kWidth), 320u);
    EXPECT_EQ(read_reg(reg::kHeight), 480u);
}

TEST_F(DeviceTest, DatagramsWithoutAckFlagOrHeaderGetNoAnswer) {
    auto d = gvcp::encode_read_reg(std::vector<std::uint32_t>{0}, 1);
    d[1] = 0x00;
    EXPECT_TRUE(raw(d).empty());
    EXPECT_TRUE(raw({0x42, 0x01, 0x00}).empty());
    EXPECT_EQ(device_.counters().malformed, 1u);
}

// ---- privilege --------------------------------------------------------------

TEST_F(DeviceTest, WritesNeedTheControlPrivilege) {
    EXPECT_EQ(write_reg(reg::kWidth, 320), 0x8006);
    take_control();
    EXPECT_EQ(write_reg(reg::kWidth, 320), 0);
    EXPECT_EQ(read_reg(bootstrap::kCcp), 0x2u);
}

TEST_F(DeviceTest, AnotherApplicationIsRefusedEvenFromTheSameAddress) {
    take_control(kHostA);
    for (Endpoint other : {kHostASecondPort, kHostB}) {
        EXPECT_EQ(write_reg(bootstrap::kCcp, 0x2, other), 0x8006);
        EXPECT_EQ(write_reg(reg::kWidth, 320, other), 0x8006);
        EXPECT_EQ(write_reg(bootstrap::kCcp, 0x0, other), 0x8006);  // cannot release it either
        EXPECT_EQ(read_reg(bootstrap::kCcp, other), 0u);            // sees no privilege of its own
        EXPECT_EQ(read_reg(reg::kWidth, other), 640u);              // but may monitor
    }
    EXPECT_EQ(device_.controller()->endpoint, kHostA);
    EXPECT_EQ(device_.counters().access_denied, 6u);
}

TEST_F(DeviceTest, ExclusiveAccessAlsoRefusesReads) {
    take_control(kHostA, 0x3);
    EXPECT_EQ(read_regs({reg::kWidth}, kHostB).status, 0x8006);
    EXPECT_EQ(read_reg(bootstrap::kCcp), 0x3u);
}

TEST_F(DeviceTest, WritingZeroReleasesThePrivilege) {
    take_control(kHostA);
    EXPECT_EQ(write_reg(bootstrap::kCcp, 0), 0);
    EXPECT_FALSE(device_.controller());
    take_control(kHostB);
    EXPECT_EQ(device_.controller()->endpoint, kHostB);
}

TEST_F(DeviceTest, PrivilegeLapsesWithoutTraffic) {
    take_control();
    ASSERT_EQ(write_reg(bootstrap::kHeartbeatTimeout, 1000), 0);
    // Any command from the controller counts as a heartbeat.
    raw(gvcp::encode_read_reg(std::vector<std::uint32_t>{bootstrap::kCcp}, 2), kHostA, 900ms);
    device_.tick(t0_ + 1800ms);
    EXPECT_TRUE(device_.controller());
    EXPECT_EQ(*device_.next_deadline(), t0_ + 1901ms);
    device_.tick(t0_ + 1901ms);
    EXPECT_FALSE(device_.controller());
    EXPECT_EQ(device_.counters().control_expired, 1u);
    // The lapsed controller's next write is refused.
    EXPECT_EQ(write_reg(reg::kWidth, 320, kHostA, 2000ms), 0x8006);
}

TEST_F(DeviceTest, HeartbeatDisableKeepsThePrivilege) {
    take_control();
    ASSERT_EQ(write_reg(reg::kGvcpConfiguration, 1), 0);
    device_.tick(t0_ + 1h);
    EXPECT_TRUE(device_.controller());
}

TEST_F(DeviceTest, ForeignControllerAndClearedControl) {
    device_.set_foreign_controller(Endpoint{0x0A000001, 1234});
    EXPECT_EQ(write_reg(bootstrap::kCcp, 0x2), 0x8006);
    device_.tick(t0_ + 1h);  // a pretended holder never lapses
    EXPECT_TRUE(device_.controller()->foreign);
    device_.set_foreign_controller(std::nullopt);
    take_control();
    device_.clear_control();
    EXPECT_EQ(read_reg(bootstrap::kCcp), 0u);
}

TEST_F(DeviceTest, ChannelsCloseWithThePrivilege) {
    const std::uint32_t scp = bootstrap::stream_channel_port(0);
    const struct {
        const char* how;
        std::function<void()> end;
        bool closes;
    } cases[] = {
        {"released", [this] { ASSERT_EQ(write_reg(bootstrap::kCcp, 0), 0); }, true},
        {"lapsed", [this] { device_.tick(t0_ + 1h); }, true},
        {"cleared", [this] { device_.clear_control(); }, true},
        {"displaced", [this] { device_.set_foreign_controller(Endpoint{0x0A000001, 1}); }, true},
        {"refused to another application",
         [this] { EXPECT_EQ(write_reg(bootstrap::kCcp, 0, kHostB), 0x8006); }, false},
    };
    for (const auto& c : cases) {
        device_.set_foreign_controller(std::nullopt);
        take_control();
        ASSERT_EQ(write_reg(scp, 50010), 0);
        ASSERT_EQ(write_reg(reg::kMessageChannelPort, 50011), 0);
        c.end();
        EXPECT_EQ(device_.read_register(scp), c.closes ? 0u : 50010u) << c.how;
        EXPECT_EQ(device_.read_register(reg::kMessageChannelPort), c.closes ? 0u : 50011u) << c.how;
        if (device_.controller() && !device_.controller()->foreign) { ASSERT_EQ(write_reg(bootstrap::kCcp, 0), 0); }
    }
}

// ---- behaviour registers ----------------------------------------------------

TEST_F(DeviceTest, ImageRegistersDrivePayloadSizeAndLimits) {
    take_control();
    EXPECT_EQ(device_.payload_size(), 640u * 480u);
    ASSERT_EQ(write_reg(reg::kWidth, 320), 0);
    ASSERT_EQ(write_reg(reg::kHeight, 200), 0);
    ASSERT_EQ(write_reg(reg::kPixelFormat, reg::kMono16), 0);
    EXPECT_EQ(read_reg(reg::kPayloadSize), 320u * 200u * 2u);
    ASSERT_EQ(write_reg(reg::kPixelFormat, reg::kRGB8), 0);
    EXPECT_EQ(device_.payload_size(), 320u * 200u * 3u);
    ASSERT_EQ(write_reg(reg::kOffsetX, 100), 0);
    EXPECT_EQ(read_reg(reg::kWidthMax), 1280u - 100u);
    EXPECT_EQ(write_reg(reg::kWidth, 1200), 0x8002);  // beyond WidthMax now
}

TEST_F(DeviceTest, SensorRevisionInTheFlagsRegisterIsFixed) {
    take_control();
    EXPECT_EQ(read_reg(reg::kImageFormatFlags), 0x03000100u);
    ASSERT_EQ(write_reg(reg::kImageFormatFlags, 0xFFFFFFFF), 0);
    EXPECT_EQ(read_reg(reg::kImageFormatFlags), 0x03FFFFFFu);
}

TEST_F(DeviceTest, AcquisitionCommandsChangeTheReportedState) {
    take_control();
    EXPECT_EQ(read_reg(reg::kAcquisitionStatus), 0u);
    ASSERT_EQ(write_reg(reg::kAcquisitionStart, 1), 0);
    EXPECT_TRUE(device_.acquiring());
    EXPECT_EQ(read_reg(reg::kAcquisitionStatus), 1u);
    EXPECT_EQ(read_reg(reg::kAcquisitionStart), 0u);  // command registers read back 0
    ASSERT_EQ(write_reg(reg::kAcquisitionStop, 1), 0);
    EXPECT_EQ(read_reg(reg::kAcquisitionStatus), 0u);
}

TEST_F(DeviceTest, MemoryWritesAreReadBackAndFireRegisterBehaviour) {
    take_control();
    std::vector<std::uint8_t> data(64);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 3);
    auto r = one(gvcp::encode_write_mem(reg::kUserData, data, 4));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.ack, 0x0087);
    EXPECT_EQ(r.payload, (std::vector<std::uint8_t>{0, 0, 0, 64}));
    EXPECT_EQ(read_mem(reg::kUserData, 64), data);

    const std::vector<std::uint8_t> width{0, 0, 0x01, 0x00};  // 256 through WRITEMEM
    ASSERT_EQ(one(gvcp::encode_write_mem(reg::kWidth, width, 5)).status, 0);
    EXPECT_EQ(device_.payload_size(), 256u * 480u);
}

// ---- description ------------------------------------------------------------

TEST_F(DeviceTest, ServedZipUnpacksToTheDescription) {
    const std::string url = device_.first_url();
    ASSERT_EQ(url.rfind("Local:oculane-virtual-camera.zip;", 0), 0u) << url;
    const auto semi1 = url.find(';'), semi2 = url.find(';', semi1 + 1);
    const std::uint32_t addr = parse_hex(url.substr(semi1 + 1, semi2 - semi1 - 1));
    const std::uint32_t size = parse_hex(url.substr(semi2 + 1));
    std::vector<std::uint8_t> zip;
    for (std::uint32_t off = 0; off < size; off += 512) {
        auto chunk = read_mem(addr + off, std::min<std::uint32_t>(512, (size - off + 3) & ~3u));
        zip.insert(zip.end(), chunk.begin(), chunk.end());
    }
    zip.resize(size);
    EXPECT_EQ(unzip_first(zip), device_.description());
    EXPECT_EQ(device_.second_url(), "");
    EXPECT_EQ(device_.description().find("TLParamsLocked"), std::string::npos);
    EXPECT_NE(device_.description().find("<IntSwissKnife Name=\"PayloadSize\""), std::string::npos);
}

TEST(DeviceDescription, OptionsShapeTheLocations) {
    struct Case {
        UrlFault fault;
        const char* first_prefix;
    };
    const Case cases[] = {
        {UrlFault::BadText, "Locl:"},
        {UrlFault::Http, "http://"},
        {UrlFault::CorruptZip, "Local:oculane-virtual-camera.zip;"},
        {UrlFault::TruncatedZip, "Local:oculane-virtual-camera.zip;100000;"},
    };
    for (const auto& c : cases) {
        DeviceConfig cfg;
        cfg.first_url_fault = c.fault;
        Device d(cfg);
        EXPECT_EQ(d.first_url().rfind(c.first_prefix, 0), 0u) << d.first_url();
        EXPECT_NE(d.first_url(), d.second_url());
        EXPECT_EQ(d.second_url(), fmt::format("Local:oculane-virtual-camera.zip;100000;{:x}", d.served_file().size()));
    }
    DeviceConfig plain;
    plain.serve_zip = false;
    plain.tl_params_locked = true;
    Device d(plain);
    EXPECT_EQ(d.first_url(), fmt::format("Local:oculane-virtual-camera.xml;100000;{:x}", d.description().size()));
    EXPECT_EQ(std::string(d.served_file().begin(), d.served_file().end()), d.description());
    EXPECT_NE(d.description().find("<Integer Name=\"TLParamsLocked\""), std::string::npos);
}

TEST(DeviceDescription, ForeignDescriptionMakesThePermissiveSpace) {
    DeviceConfig cfg;
    cfg.description = "<RegisterDescription/>";
    cfg.description_name = "maker";
    Device d(cfg, Clock::time_point{});
    const Endpoint host{0x7F000001, 4000};
    auto ccp = gvcp::encode_write_reg(std::vector<gvcp::RegisterWrite>{{0x0A00, 2}, {0x00123450, 77}}, 1);
    auto out = d.on_datagram(ccp, host, Clock::time_point{});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(gvcp::parse_ack(out[0].bytes)->header.status, 0);
    EXPECT_EQ(d.read_register(0x00123450), 77u);
    EXPECT_EQ(d.read_register(0x00FFFFF0), 0u);
    EXPECT_EQ(d.first_url(), "Local:maker.zip;e0000000;" + fmt::format("{:x}", d.served_file().size()));
}

// ---- faults -----------------------------------------------------------------

TEST_F(DeviceTest, AckFaultsSpoilTheAcknowledge) {
    const auto cmd = gvcp::encode_read_reg(std::vector<std::uint32_t>{0x0000, 0x0004}, 0x0042);
    struct Case {
        AckFault kind;
        std::function<void(const std::vector<Outgoing>&)> check;
    };
    const Case cases[] = {
        {AckFault::Drop, [](const auto& out) { EXPECT_TRUE(out.empty()); }},
        {AckFault::WrongId, [](const auto& out) { EXPECT_EQ(decode(out.at(0)).id, 0x8042); }},
        {AckFault::WrongCode, [](const auto& out) { EXPECT_EQ(decode(out.at(0)).ack, 0x0083); }},
        {AckFault::ShortPayload, [](const auto& out) { EXPECT_EQ(decode(out.at(0)).payload.size(), 4u); }},
        {AckFault::Malformed, [](const auto& out) {
             EXPECT_FALSE(gvcp::parse_ack(out.at(0).bytes));
             EXPECT_EQ(out.at(0).bytes.size(), 16u);
         }},
    };
    for (const auto& c : cases) {
        device_.add_ack_fault(c.kind, 1, {});
        c.check(raw(cmd));
        // A one-shot fault is used up; the next answer is clean.
        auto r = one(cmd);
        EXPECT_EQ(r.id, 0x0042);
        EXPECT_EQ(r.payload.size(), 8u);
    }
    EXPECT_EQ(device_.counters().dropped_acks, 1u);
}

TEST_F(DeviceTest, FaultsSelectCommandsAndCounts) {
    device_.add_ack_fault(AckFault::Drop, -1, {0x0084});
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(raw(gvcp::encode_read_mem(0, 4, 1)).empty());
    EXPECT_EQ(raw(gvcp::encode_read_reg(std::vector<std::uint32_t>{0}, 1)).size(), 1u);
    // Dropped or not, the command was carried out and logged.
    EXPECT_EQ(device_.command_log().size(), 4u);
    EXPECT_FALSE(device_.command_log()[0].answered);
    device_.clear_faults();
    EXPECT_EQ(raw(gvcp::encode_read_mem(0, 4, 1)).size(), 1u);
}

TEST_F(DeviceTest, PendingAcknowledgeComesFirst) {
    device_.set_pending_ack(800, 300, 1, {});
    auto out = raw(gvcp::encode_read_reg(std::vector<std::uint32_t>{0}, 11));
    ASSERT_EQ(out.size(), 2u);
    auto pending = decode(out[0]);
    EXPECT_EQ(pending.ack, 0x0089);
    EXPECT_EQ(pending.id, 11);
    EXPECT_EQ(pending.payload, (std::vector<std::uint8_t>{0, 0, 0x03, 0x20}));
    EXPECT_EQ(pending.delay, 0ms);
    EXPECT_EQ(decode(out[1]).ack, 0x0081);
    EXPECT_EQ(out[1].delay, 300ms);
    EXPECT_EQ(raw(gvcp::encode_read_reg(std::vector<std::uint32_t>{0}, 12)).size(), 1u);
}

TEST_F(DeviceTest, AddressStatusDelayAndMute) {
    device_.set_address_status(0x0934, 0x8FFF);
    EXPECT_EQ(read_regs({0x0934}).status, 0x8FFF);
    EXPECT_EQ(one(gvcp::encode_read_mem(0x0930, 8, 1)).status, 0x8FFF);  // range covers it
    device_.clear_address_status();
    device_.set_ack_delay(250ms);
    EXPECT_EQ(read_regs({0x0934}).delay, 250ms);
    device_.set_muted(true);
    EXPECT_TRUE(raw({0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF}).empty());
    EXPECT_TRUE(raw(gvcp::encode_read_reg(std::vector<std::uint32_t>{0}, 1)).empty());
}

// ---- events -----------------------------------------------------------------

TEST_F(DeviceTest, EventsGoToTheControllerAndTheirAcksAreRecorded) {
    EXPECT_FALSE(device_.make_event(0x00C0, 0x9000, {}, true, 0, 0, t0_).has_value());
    take_control();
    const std::vector<std::uint8_t> data{1, 2, 3, 4};
    auto ev = device_.make_event(0x00C2, 0x9001, data, true, 0, 5, t0_ + 2s);
    ASSERT_TRUE(ev.has_value());
    EXPECT_EQ(ev->to, kHostA);
    auto cmd = gvcp::parse_command(ev->bytes);
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->header.command, 0x00C2);
    auto parsed = GvcpEvent::parse(0x00C2, cmd->payload);
    EXPECT_EQ(parsed.event_id, 0x9001);
    EXPECT_EQ(parsed.block_id, 5);
    EXPECT_EQ(parsed.timestamp, 2'000'000'000u);
    EXPECT_EQ(parsed.data, data);

    const auto ack = gvcp::encode_event_ack(0x00C2, cmd->header.request_id);
    EXPECT_TRUE(raw({ack.begin(), ack.end()}).empty());
    ASSERT_EQ(device_.event_acks().size(), 1u);
    EXPECT_EQ(device_.event_acks()[0].ack_id, cmd->header.request_id);
    EXPECT_EQ(device_.event_acks()[0].ack_code, 0x00C3);
}

TEST_F(DeviceTest, EventsFollowTheMessageChannelWhenOneIsSet) {
    take_control();
    ASSERT_EQ(write_reg(reg::kMessageChannelDestination, 0x7F000042), 0);
    ASSERT_EQ(write_reg(reg::kMessageChannelPort, 6000), 0);
    auto ev = device_.make_event(0x00C0, 0x9003, {}, false, 0, 0, t0_);
    ASSERT_TRUE(ev.has_value());
    EXPECT_EQ(ev->to, (Endpoint{0x7F000042, 6000}));
    EXPECT_EQ(ev->bytes[1], 0x00);  // no acknowledge asked for
}

TEST_F(DeviceTest, TestEventGenerateSendsAnEvent) {
    take_control();
    auto out = raw(gvcp::encode_write_reg(std::vector<gvcp::RegisterWrite>{{reg::kTestEventGenerate, 1}}, 8));
    ASSERT_EQ(out.size(), 2u);
    auto cmd = gvcp::parse_command(out[1].bytes);
    ASSERT_TRUE(cmd);
    EXPECT_EQ(GvcpEvent::parse(cmd->header.command, cmd->payload).event_id, reg::kTestEventId);
}

// ---- configuration -----------------------------------------------------------

TEST(DeviceConfiguration, OptionsTheDeviceCannotHonourAreRefusedByName) {
    struct Case {
        const char* what;
        std::function<void(DeviceConfig&)> spoil;
        const char* option;
    };
    const Case cases[] = {
        {"serial past its field", [](DeviceConfig& c) { c.serial = std::string(17, 'S'); }, "serial"},
        {"manufacturer info past its field", [](DeviceConfig& c) { c.manufacturer_info = std::string(49, 'i'); },
         "manufacturer_info"},
        {"width beyond the sensor", [](DeviceConfig& c) { c.width = c.sensor_width + 4; }, "width"},
        {"width off the increment", [](DeviceConfig& c) { c.width = 642; }, "width"},
        {"height below the minimum", [](DeviceConfig& c) { c.height = 8; }, "height"},
        {"sensor too large for PayloadSize", [](DeviceConfig& c) { c.sensor_height = 1u << 20; }, "sensor_height"},
        {"no heartbeat timeout", [](DeviceConfig& c) { c.heartbeat_timeout_ms = 0; }, "heartbeat_timeout_ms"},
        {"no tick frequency", [](DeviceConfig& c) { c.tick_frequency = 0; }, "tick_frequency"},
    };
    for (const auto& c : cases) {
        DeviceConfig config;
        c.spoil(config);
        try {
            Device device(config);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_TRUE(std::string(e.what()).starts_with(c.option)) << c.what << ": " << e.what();
        }
    }
    // The limits themselves are accepted, and the identity block carries a
    // text that fills its field whole.
    DeviceConfig edge;
    edge.serial = std::string(16, 'S');
    edge.width = edge.sensor_width;
    edge.height = 16;
    Device device(edge);
    const auto serial = device.read_memory(bootstrap::kSerialNumber.address, 16);
    EXPECT_EQ(std::string(serial.begin(), serial.end()), edge.serial);
    EXPECT_EQ(device.payload_size(), std::uint64_t{edge.sensor_width} * 16);
}

TEST_F(DeviceTest, PlainEventsCarryNoData) {
    take_control();
    const std::vector<std::uint8_t> data{1, 2, 3, 4};
    EXPECT_FALSE(device_.make_event(0x00C0, 0x9000, data, true, 0, 0, t0_).has_value());
    EXPECT_EQ(device_.counters().events, 0u);
}

// ---- register space ---------------------------------------------------------

TEST(RegisterSpace, RegionsAndPermissiveStore) {
    RegisterSpace s;
    s.map(0x100, 8, Access::ReadOnly, "a");
    EXPECT_THROW(s.map(0x104, 8, Access::ReadWrite, "b"), std::logic_error);
    EXPECT_THROW(s.map(0x0FC, 8, Access::ReadWrite, "c"), std::logic_error);
    EXPECT_THROW(s.map(0x200, 6, Access::ReadWrite, "d"), std::logic_error);
    EXPECT_EQ(s.check_write(0x100), 0x8004);
    EXPECT_EQ(s.check_read(0x108), 0x8003);
    s.set_permissive(true);
    EXPECT_EQ(s.check_read(0x108), 0);
    s.set(0x108, 0x01020304);
    EXPECT_EQ(s.get(0x108), 0x01020304u);
    EXPECT_EQ(s.read_bytes(0x106, 4), (std::vector<std::uint8_t>{0, 0, 1, 2}));
}

TEST(RegisterSpace, OverlapAtTheTopOfTheAddressSpaceIsRefused) {
    // A region that ends at 2^32 must not pass the overlap check by wrapping.
    RegisterSpace s;
    s.map(0xFFFFFFF0u, 16, Access::ReadWrite, "top");
    EXPECT_THROW(s.map(0xFFFFFF00u, 0x100, Access::ReadWrite, "below"), std::logic_error);
    s.map(0xFFFFFF00u, 0xF0, Access::ReadWrite, "adjacent");
    EXPECT_EQ(s.region_name(0xFFFFFFECu), "adjacent");
    EXPECT_EQ(s.region_name(0xFFFFFFFCu), "top");
}

// Hostile hosts: random datagrams, many shaped like commands, never upset the
// device; every answer is a well-formed acknowledge echoing the request id.
TEST(DeviceRobustness, RandomDatagramsGetWellFormedAnswersOrNone) {
    Device device(DeviceConfig{}, Clock::time_point{});
    std::uint32_t state = 12345;
    auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    const std::uint16_t codes[] = {0x0002, 0x0040, 0x0080, 0x0082, 0x0084, 0x0086, 0x00C1, 0x1234};
    for (int i = 0; i < 20000; ++i) {
        std::vector<std::uint8_t> d(next() % 80);
        for (auto& b : d) b = static_cast<std::uint8_t>(next());
        const bool command_like = d.size() >= 8 && next() % 4 != 0;
        if (command_like) {
            d[0] = 0x42;
            d[1] = 0x01;
            const auto code = codes[next() % std::size(codes)];
            d[2] = static_cast<std::uint8_t>(code >> 8);
            d[3] = static_cast<std::uint8_t>(code);
            const auto len = static_cast<std::uint16_t>(next() % 2 ? d.size() - 8 : next() % 100);
            d[4] = static_cast<std::uint8_t>(len >> 8);
            d[5] = static_cast<std::uint8_t>(len);
            // Point addresses at the interesting part of the map now and then.
            if (d.size() >= 12 && next() % 2) d[8] = d[9] = 0;
        }
        const auto from = Endpoint{0x7F000001, static_cast<std::uint16_t>(40000 + next() % 3)};
        for (const auto& o : device.on_datagram(d, from, Clock::time_point{} + std::chrono::milliseconds(i))) {
            auto ack = gvcp::parse_ack(o.bytes);
            ASSERT_TRUE(ack.has_value());
            if (ack->header.ack == 0x0089) continue;
            EXPECT_EQ(ack->header.ack_id, d[6] << 8 | d[7]);
        }
    }
    EXPECT_GT(device.counters().acks, 1000u);
}
