// The control worker, ControlPort and GigECamera against the virtual camera on
// loopback. Each test uses its own 127.0.77.x address, because ctest runs
// tests in parallel and every camera listens on port 3956.
#include <dirent.h>

#include <atomic>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "gige/gige_camera.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/proto/gvcp.hpp"
#include "sim/device.hpp"
#include "sim/server.hpp"
#include "sim/served_device.hpp"
#include "support/eventually.hpp"
#include "util/inet.hpp"
#include "util/unique_fd.hpp"

namespace oculane::gige {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kBase = 0x7F4D0000;  // 127.77.0.0

struct VirtualCamera : test::ServedDevice {
    explicit VirtualCamera(std::uint8_t host, sim::DeviceConfig cfg = {})
        : ServedDevice(test::at_address(std::move(cfg), kBase | host)) {}
    std::size_t commands_seen() const { return device->command_log().size(); }
};

GigESettings settings_for(const VirtualCamera& cam) {
    GigESettings s;
    s.device = IpAddress::v4(cam.ip());
    s.ack_timeout = 100ms;
    s.retries = 2;
    return s;
}

using testing::eventually;

std::size_t count_entries(const char* dir) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

TEST(Connection, ConnectReadsTheIdentityAndDisconnectReleasesControl) {
    VirtualCamera cam(1);
    GigECamera camera(settings_for(cam));
    ASSERT_TRUE(camera.connect()) << "connect";
    ASSERT_TRUE(camera.is_connected());
    const auto info = camera.device_info();
    ASSERT_TRUE(info);
    const auto& cfg = cam.device->config();
    EXPECT_EQ(info->model, cfg.model);
    EXPECT_EQ(info->manufacturer, cfg.manufacturer);
    EXPECT_EQ(info->serial, cfg.serial);
    EXPECT_EQ(info->manufacturer_info, cfg.manufacturer_info);
    EXPECT_EQ(info->mac, cfg.mac);
    EXPECT_EQ(info->ip, cfg.ip);
    EXPECT_EQ(info->subnet_mask, cfg.subnet_mask);
    EXPECT_EQ(info->spec_major, cfg.spec_major);
    EXPECT_EQ(cam.device->read_register(bootstrap::kCcp), 0x2u);
    EXPECT_EQ(cam.device->read_register(bootstrap::kHeartbeatTimeout), 3000u);
    EXPECT_EQ(camera.connection()->capability(), cam.device->read_register(bootstrap::kGvcpCapability));

    const auto stats = camera.link_stats();
    ASSERT_TRUE(stats);
    // CCP, heartbeat timeout, capability, 9 registers, six strings.
    EXPECT_GE(stats->commands, 10u);
    EXPECT_EQ(stats->acks, stats->commands);

    const auto seen = cam.commands_seen();
    ASSERT_TRUE(camera.connect()) << "second connect";
    EXPECT_EQ(cam.commands_seen(), seen) << "a live connection is reused without traffic";

    camera.disconnect(500ms);
    EXPECT_FALSE(camera.is_connected());
    // The release is sent before the worker ends; the camera takes it on its own thread.
    EXPECT_TRUE(eventually([&] { return cam.device->read_register(bootstrap::kCcp) == 0; }));
    EXPECT_FALSE(camera.link_stats());
    EXPECT_TRUE(camera.device_info().error().is<camera_error::NotConnected>());
}

TEST(Connection, ExclusiveAccessWritesThree) {
    VirtualCamera cam(2);
    auto s = settings_for(cam);
    s.exclusive = true;
    GigECamera camera(s);
    ASSERT_TRUE(camera.connect());
    EXPECT_EQ(cam.device->read_register(bootstrap::kCcp), 0x3u);
}

TEST(Connection, RefusedControlMapsToTheRightError) {
    VirtualCamera cam(3);
    cam.device->set_foreign_controller(sim::Endpoint{0x7F4D00FE, 3956});
    GigECamera camera(settings_for(cam));
    auto r = camera.connect();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "device control is held by another application");
    EXPECT_FALSE(camera.is_connected());
    // Control never granted is never given back: on a device that checks
    // the privilege by address alone, CCP := 0 would evict the owner.
    for (const auto& c : cam.device->command_log())
        EXPECT_FALSE(c.command == 0x0082 && c.values == std::vector<std::uint32_t>{0}) << "CCP released";

    cam.device->set_foreign_controller(std::nullopt);
    cam.device->set_address_status(bootstrap::kCcp, GvcpStatus::kInvalidAddress);
    r = camera.connect();
    ASSERT_FALSE(r);
    const auto* st = r.error().get_if<camera_error::DeviceStatus>();
    ASSERT_TRUE(st) << r.error().to_string();
    EXPECT_EQ(st->command, 0x0082);
    EXPECT_EQ(st->status.code, GvcpStatus::kInvalidAddress);
}

TEST(Connection, SilentCameraTimesOutAfterAboutTheTransactionWait) {
    VirtualCamera cam(4);
    cam.device->set_muted(true);
    auto s = settings_for(cam);
    s.ack_timeout = 50ms;
    s.retries = 1;  // W = 50 ms × 2 + 500 ms
    GigECamera camera(s);
    const auto start = std::chrono::steady_clock::now();
    auto r = camera.connect();
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is<camera_error::ConnectTimeout>()) << r.error().to_string();
    EXPECT_GE(took, 100ms) << "the worker retried before giving up";
    EXPECT_FALSE(camera.is_connected());
}

TEST(Connection, RefusedStringFieldBecomesEmpty) {
    VirtualCamera cam(5);
    cam.device->set_address_status(bootstrap::kSerialNumber.address, GvcpStatus::kAccessDenied);
    GigECamera camera(settings_for(cam));
    ASSERT_TRUE(camera.connect());
    EXPECT_EQ(camera.device_info()->serial, "");
    EXPECT_EQ(camera.device_info()->model, cam.device->config().model);
}

TEST(Connection, DroppedAcksAreRetriedAndCounted) {
    VirtualCamera cam(6);
    GigECamera camera(settings_for(cam));
    ASSERT_TRUE(camera.connect());
    cam.device->add_ack_fault(sim::AckFault::Drop, 2, {gvcp::code(gvcp::Command::ReadReg)});
    const auto& port = camera.connection()->port();
    auto value = port.read_register(bootstrap::kCcp).wait_owned(port.wait());
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, 0x2u);
    EXPECT_GE(camera.link_stats()->retries, 2u);
}

TEST(Connection, LossOfControlIsReportedAndReconnectRecovers) {
    VirtualCamera cam(7);
    auto s = settings_for(cam);
    s.heartbeat_timeout_ms = 60;  // heartbeat every 20 ms
    GigECamera camera(s);
    ASSERT_TRUE(camera.connect());
    cam.device->clear_control();
    ASSERT_TRUE(eventually([&] { return !camera.is_connected(); }));
    EXPECT_EQ(camera.device_info().error().to_string(), "device control was lost (heartbeat failed)");
    const auto& port = camera.connection()->port();
    // However late the request comes, it learns why the link ended.
    EXPECT_TRUE(port.read_register(0).wait_owned(0s).error().is<camera_error::ControlLost>())
        << "a stopped worker answers at once";
    std::uint8_t word[4];
    EXPECT_TRUE(port.read(0, word).error().is<camera_error::ControlLost>());
    EXPECT_TRUE(camera.link_stats().has_value()) << "counters stay readable";
    ASSERT_TRUE(camera.connect());
    EXPECT_TRUE(camera.is_connected());
    EXPECT_EQ(cam.device->read_register(bootstrap::kCcp), 0x2u);
}

TEST(Connection, PortChecksNeedNoTraffic) {
    VirtualCamera cam(8);
    GigECamera camera(settings_for(cam));
    ASSERT_TRUE(camera.connect());
    const auto& port = camera.connection()->port();
    cam.device->clear_command_log();
    std::uint8_t buf[6] = {};
    struct Case {
        const char* name;
        std::function<CameraResult<void>()> op;
        std::string text;
    };
    const Case cases[] = {
        {"unaligned memory request", [&]() -> CameraResult<void> {
             auto r = port.read_memory(0x0A02, 4).wait_owned(1s);
             if (!r) return std::unexpected(r.error());
             return {};
         },
         "malformed packet: read address must be 4-byte aligned"},
        {"unaligned write", [&] { return port.write(0x1000, std::span(buf, 6)); },
         "malformed packet: write address and length must be 4-byte aligned"},
        {"beyond 32 bit", [&] { return port.read(0x100000000, std::span(buf, 4)); },
         "malformed packet: address 0x100000000 beyond 32 bit"},
        {"beyond 32 bit write", [&] { return port.write(0x1FFFFFFFC, std::span(buf, 4)); },
         "malformed packet: address 0x1fffffffc beyond 32 bit"},
    };
    for (const auto& c : cases) {
        auto r = c.op();
        ASSERT_FALSE(r) << c.name;
        EXPECT_EQ(r.error().to_string(), c.text) << c.name;
    }
    EXPECT_EQ(cam.commands_seen(), 0u);
}

TEST(Connection, PortReadsRegistersAndMemory) {
    VirtualCamera cam(9);
    GigECamera camera(settings_for(cam));
    ASSERT_TRUE(camera.connect());
    const auto& port = camera.connection()->port();
    std::uint8_t reg[4] = {};
    ASSERT_TRUE(port.read(bootstrap::kCcp, reg));
    EXPECT_EQ(reg[3], 0x2);
    // 6 bytes at an aligned address: one memory read of 8, 6 returned.
    const std::uint32_t base = cam.device->description_address();
    std::uint8_t six[6] = {};
    ASSERT_TRUE(port.read(base, six));
    const auto expect = cam.device->read_memory(base, 6);
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), six));
    // A long transfer crosses many chunks and comes back whole.
    const std::uint32_t size = std::min<std::uint32_t>(100'003, cam.device->served_file().size());
    std::vector<std::uint8_t> big(size);
    ASSERT_TRUE(port.read(base, big));
    EXPECT_EQ(big, cam.device->read_memory(base, size));
    // Register writes through PortIo land big-endian.
    const std::uint8_t hb[4] = {0, 0, 0x13, 0x88};
    ASSERT_TRUE(port.write(bootstrap::kHeartbeatTimeout, hb));
    EXPECT_EQ(cam.device->read_register(bootstrap::kHeartbeatTimeout), 5000u);
}

// Descriptions put 1- and 2-byte registers inside words and strings at odd
// offsets; reads fetch the covering aligned span and hand back only the part
// asked for. Writes there stay refused: a read-modify-write could clobber a
// neighbouring register that changed meanwhile.
TEST(Connection, UnalignedReadsFetchTheCoveringSpan) {
    VirtualCamera cam(17);
    GigECamera camera(settings_for(cam));
    ASSERT_TRUE(camera.connect());
    const auto& port = camera.connection()->port();
    const std::uint32_t base = cam.device->description_address();
    const auto memory = cam.device->read_memory(base, 64);
    struct Case {
        std::uint32_t address;
        std::size_t length;
        std::uint16_t command;  // what goes on the wire
        std::vector<std::uint8_t> expect;
    };
    const std::uint32_t ccp = cam.device->read_register(bootstrap::kGvcpCapability);
    const std::uint32_t hb = cam.device->read_register(bootstrap::kHeartbeatTimeout);
    const Case cases[] = {
        {bootstrap::kGvcpCapability + 3, 1, 0x0080, {static_cast<std::uint8_t>(ccp)}},
        {bootstrap::kGvcpCapability + 2, 2, 0x0080, {static_cast<std::uint8_t>(ccp >> 8), static_cast<std::uint8_t>(ccp)}},
        {bootstrap::kHeartbeatTimeout + 1, 3, 0x0080,
         {static_cast<std::uint8_t>(hb >> 16), static_cast<std::uint8_t>(hb >> 8), static_cast<std::uint8_t>(hb)}},
        {base + 1, 7, 0x0084, {memory.begin() + 1, memory.begin() + 8}},
        {base + 3, 2, 0x0084, {memory.begin() + 3, memory.begin() + 5}},
        {base + 2, 61, 0x0084, {memory.begin() + 2, memory.begin() + 63}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        cam.device->clear_command_log();
        std::vector<std::uint8_t> got(c.length, 0xEE);
        const auto r = port.read(c.address, got);
        ASSERT_TRUE(r) << r.error().to_string();
        EXPECT_EQ(got, c.expect);
        auto log = cam.device->command_log();
        std::erase_if(log, [](const sim::CommandRecord& rec) {  // heartbeats may fall in between
            return rec.command == 0x0080 && rec.addresses == std::vector<std::uint32_t>{bootstrap::kCcp};
        });
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].command, c.command);
    }
    std::uint8_t two[2] = {1, 2};
    cam.device->clear_command_log();
    const auto w = port.write(bootstrap::kCcp + 2, two);
    ASSERT_FALSE(w);
    EXPECT_EQ(w.error().to_string(), "malformed packet: write address and length must be 4-byte aligned");
    EXPECT_EQ(cam.commands_seen(), 0u);
    // A span that would run past the 32-bit address space is refused before any traffic.
    std::uint8_t six[6] = {};
    const auto past = port.read(0xFFFFFFFE, six);
    ASSERT_FALSE(past);
    EXPECT_EQ(past.error().to_string(), "malformed packet: read of 6 bytes at 0xfffffffe goes beyond 32 bit");
    EXPECT_EQ(cam.commands_seen(), 0u);
}

// A device that asks for a minute per try would otherwise keep the worker on
// one request long after its caller gave up.
TEST(Connection, AStallingDeviceDoesNotHoldTheWorkerAfterTheCallerLeft) {
    VirtualCamera cam(18);
    GigECamera camera(settings_for(cam));
    ASSERT_TRUE(camera.connect());
    const auto& port = camera.connection()->port();
    cam.device->set_pending_ack(60000, 600000, 1, {0x0084});
    {
        auto stalled = port.read_memory(cam.device->description_address(), 4).wait_timeout(200ms);
        ASSERT_FALSE(stalled);
        EXPECT_TRUE(stalled.error()->is<camera_error::AckTimeout>());
    }
    const auto next = port.read_register(bootstrap::kGvcpCapability).wait_owned(5s);
    ASSERT_TRUE(next) << next.error().to_string();
    EXPECT_EQ(*next, cam.device->read_register(bootstrap::kGvcpCapability));
    const auto stats = *camera.link_stats();
    EXPECT_EQ(stats.pending_acks, 1u);
    EXPECT_EQ(stats.timeouts, 1u);
}

TEST(Connection, GarbageFromTheCameraDoesNotDisturbTransactions) {
    VirtualCamera cam(10);
    GigECamera camera(settings_for(cam));
    ASSERT_TRUE(camera.connect());
    const auto& port = camera.connection()->port();
    const auto peer = sim::Endpoint{0x7F000001, camera.connection()->local_address().port};
    std::atomic<bool> done{false};
    std::thread noise([&] {
        std::mt19937 rng(1234);
        for (int i = 0; i < 3000 && !done; ++i) {
            std::vector<std::uint8_t> d(rng() % 40);
            for (auto& b : d) b = static_cast<std::uint8_t>(rng());
            // Some look like acks or commands with a lying length field.
            if (d.size() >= 8 && i % 3 == 0) d[0] = 0x42;
            if (d.size() >= 8 && i % 3 == 1) { d[0] = 0; d[2] = 0; d[3] = 0x81; }
            cam.server->send(sim::Outgoing{peer, std::move(d), 0ms});
        }
    });
    const std::uint32_t base = cam.device->description_address();
    for (int i = 0; i < 200; ++i) {
        auto v = port.read_register(bootstrap::kCcp).wait_owned(port.wait());
        ASSERT_TRUE(v) << v.error().to_string();
        ASSERT_EQ(*v, 0x2u);
        std::vector<std::uint8_t> bytes(1000);
        ASSERT_TRUE(port.read(base, bytes));
        ASSERT_EQ(bytes, cam.device->read_memory(base, 1000));
    }
    done = true;
    noise.join();
    EXPECT_TRUE(camera.is_connected());
}

// Junk arriving on the control socket as fast as the worker can read it must
// not keep it from taking requests or from stopping.
TEST(Connection, AFloodOnTheControlSocketDoesNotStarveTheWorker) {
    VirtualCamera cam(19);
    GigECamera camera(settings_for(cam));
    ASSERT_TRUE(camera.connect());
    struct Flood {
        std::atomic<bool> done{false};
        std::atomic<bool> outlasted_the_test{false};
        std::vector<std::thread> threads;
        ~Flood() {
            done = true;
            for (auto& t : threads) t.join();
        }
    } flood;
    const sockaddr_in to = inet::to_sockaddr(0x7F000001, camera.connection()->local_address().port);
    for (int t = 0; t < 2; ++t)
        flood.threads.emplace_back([&] {
            UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            const std::uint8_t junk[8] = {};
            // Bounded, so that a starved worker fails the test instead of hanging it.
            const auto end = std::chrono::steady_clock::now() + 20s;
            while (!flood.done) {
                if (std::chrono::steady_clock::now() > end) {
                    flood.outlasted_the_test = true;
                    return;
                }
                (void)::sendto(fd.get(), junk, sizeof junk, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            }
        });
    const auto& port = camera.connection()->port();
    for (int i = 0; i < 20; ++i) {
        auto v = port.read_register(bootstrap::kCcp).wait_owned(port.wait());
        ASSERT_TRUE(v) << i << ": " << v.error().to_string();
    }
    camera.disconnect(port.wait());
    EXPECT_FALSE(flood.outlasted_the_test) << "the worker only stopped once the flood ended";
}

TEST(Connection, VanishingCameraGivesAckTimeoutAndNoThreadLeaks) {
    const auto threads_before = count_entries("/proc/self/task");
    {
        VirtualCamera cam(11);
        GigECamera camera(settings_for(cam));
        ASSERT_TRUE(camera.connect());
        // Slow chunks leave time to pull the plug in the middle of the transfer.
        cam.device->set_ack_delay(20ms);
        cam.device->clear_command_log();
        const std::uint32_t base = cam.device->description_address();
        CameraResult<void> result;
        std::thread reader([&] {
            std::vector<std::uint8_t> bytes(8 * 512);
            result = camera.connection()->port().read(base, bytes);
        });
        const auto chunks_seen = [&] {
            std::size_t n = 0;
            for (const auto& c : cam.device->command_log()) n += c.command == gvcp::code(gvcp::Command::ReadMem);
            return n;
        };
        EXPECT_TRUE(eventually([&] { return chunks_seen() >= 2; }));
        cam.server->stop();
        reader.join();
        ASSERT_FALSE(result);
        EXPECT_TRUE(result.error().is<camera_error::AckTimeout>()) << result.error().to_string();
        EXPECT_LT(chunks_seen(), 8u) << "the camera vanished before the transfer could finish";
        camera.disconnect(0s);
    }
    EXPECT_EQ(count_entries("/proc/self/task"), threads_before);
}

TEST(Connection, RepeatedCyclesLeaveNoThreadsOrDescriptors) {
    VirtualCamera cam(12);
    GigECamera camera(settings_for(cam));
    ASSERT_TRUE(camera.connect());
    camera.disconnect(500ms);
    const auto threads = count_entries("/proc/self/task");
    const auto fds = count_entries("/proc/self/fd");
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(camera.connect()) << i;
        camera.disconnect(i % 2 ? 500ms : 0ms);
    }
    EXPECT_EQ(count_entries("/proc/self/task"), threads);
    EXPECT_EQ(count_entries("/proc/self/fd"), fds);
    // The release is sent before the worker ends; the camera takes it on its own thread.
    EXPECT_TRUE(eventually([&] { return cam.device->read_register(bootstrap::kCcp) == 0; }));
}

TEST(Connection, ManyThreadsShareOnePort) {
    VirtualCamera cam(13);
    GigECamera camera(settings_for(cam));
    ASSERT_TRUE(camera.connect());
    const auto& port = camera.connection()->port();
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, port = port.clone()] {
            for (int i = 0; i < 50; ++i)
                if (auto v = port.read_register(bootstrap::kCcp).wait_owned(port.wait()); v && *v == 2) ++ok;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok.load(), 400);
}

TEST(Connection, OutstandingRequestsFailWithNotConnectedOnDisconnect) {
    VirtualCamera cam(14);
    GigECamera camera(settings_for(cam));
    ASSERT_TRUE(camera.connect());
    cam.device->set_muted(true);
    auto port = camera.connection()->port().clone();
    auto pending = port.read_register(bootstrap::kCcp);
    camera.disconnect(0ms);
    auto r = pending.wait_owned(1s);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is<camera_error::NotConnected>()) << r.error().to_string();
    EXPECT_TRUE(port.read_register(0).wait_owned(0s).error().is<camera_error::NotConnected>());
}

TEST(Connection, EventsAreAcknowledgedAndForwardedWithoutBlocking) {
    VirtualCamera cam(15);
    GigECamera camera(settings_for(cam));
    ASSERT_TRUE(camera.connect());
    const auto& port = camera.connection()->port();
    auto [full_tx, full_rx] = make_channel<GvcpEvent>(1);
    auto [closed_tx, closed_rx] = make_channel<GvcpEvent>(std::nullopt);
    auto [open_tx, open_rx] = make_channel<GvcpEvent>(std::nullopt);
    ASSERT_TRUE(port.subscribe(std::move(full_tx)));
    ASSERT_TRUE(port.subscribe(std::move(closed_tx)));
    ASSERT_TRUE(port.subscribe(std::move(open_tx)));
    { auto gone = std::move(closed_rx); }
    // A register round trip makes sure the worker took the subscriptions.
    ASSERT_TRUE(port.read_register(bootstrap::kCcp).wait_owned(port.wait()));
    const std::uint8_t data[] = {1, 2, 3, 4};
    for (std::uint16_t id = 1; id <= 3; ++id) {
        auto ev = cam.device->make_event(gvcp::code(gvcp::Command::EventData), 0x9000 + id, data, true, 0, id,
                                         sim::Clock::now());
        ASSERT_TRUE(ev) << ev.error();
        cam.server->send(std::move(*ev));
    }
    for (std::uint16_t id = 1; id <= 3; ++id) {
        auto ev = open_rx.recv_timeout(5s);
        ASSERT_TRUE(ev) << "event " << id;
        EXPECT_EQ(ev->event_id, 0x9000 + id);
        EXPECT_EQ(ev->block_id, id);
        EXPECT_EQ(ev->data, std::vector<std::uint8_t>(data, data + 4));
    }
    auto first = full_rx.try_recv();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->event_id, 0x9001);
    EXPECT_FALSE(full_rx.try_recv()) << "the full subscriber lost the later events";
    EXPECT_TRUE(eventually([&] { return cam.device->event_acks().size() == 3; }));
    EXPECT_EQ(camera.link_stats()->events, 3u);
}

// Devices without the concatenation bit get one register per command, in
// connect as in feature access; with it, lists go in one command.
TEST(Connection, RegisterListsFollowTheDeviceCapability) {
    for (const bool concatenation : {true, false}) {
        SCOPED_TRACE(concatenation);
        VirtualCamera cam(concatenation ? 19 : 20, sim::DeviceConfig{.concatenation = concatenation});
        GigECamera camera(settings_for(cam));
        const auto connected = camera.connect();
        ASSERT_TRUE(connected) << connected.error().to_string();
        EXPECT_EQ(camera.device_info()->mac, cam.device->config().mac);
        EXPECT_EQ(camera.device_info()->ip, cam.ip());
        const auto& port = camera.connection()->port();
        const std::vector<std::uint32_t> addresses = {bootstrap::kCcp, bootstrap::kHeartbeatTimeout,
                                                      bootstrap::kGvcpCapability};
        const auto values = port.read_registers(addresses, WaitLimit::within(port.wait()));
        ASSERT_TRUE(values) << values.error().to_string();
        EXPECT_EQ(*values, (std::vector<std::uint32_t>{2, 3000, cam.device->read_register(bootstrap::kGvcpCapability)}));
        std::size_t longest = 0;
        for (const auto& c : cam.device->command_log())
            if (c.command == 0x0080 || c.command == 0x0082) longest = std::max(longest, c.addresses.size());
        EXPECT_EQ(longest, concatenation ? 9u : 1u);
    }
}

// A device that answers every chunk just inside the acknowledge timeout
// cannot keep a transfer going past its overall budget.
TEST(Connection, LongTransfersEndAtTheirOverallBudget) {
    // A foreign description makes every address readable.
    VirtualCamera cam(21, sim::DeviceConfig{.description = "<RegisterDescription/>"});
    auto s = settings_for(cam);
    s.ack_timeout = 100ms;
    s.retries = 0;  // W = 600 ms; 64 chunks may take 2 W + 64 × 10 ms
    GigECamera camera(s);
    ASSERT_TRUE(camera.connect());
    const auto& port = camera.connection()->port();
    cam.device->set_ack_delay(40ms);  // 64 chunks would take 2.6 s
    cam.device->clear_command_log();
    std::vector<std::uint8_t> bytes(64 * 512);
    const auto r = port.read(0x20000000, bytes);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is<camera_error::AckTimeout>()) << r.error().to_string();
    std::size_t chunks = 0;
    for (const auto& c : cam.device->command_log()) chunks += c.command == 0x0084;
    EXPECT_LT(chunks, 64u);
    EXPECT_EQ(port.memory_wait(64 * 512), 2 * port.wait() + 64 * kCommandAllowance);
    cam.device->set_ack_delay(0ms);
    std::uint8_t word[4];
    const auto after = port.read(bootstrap::kCcp, word);
    EXPECT_TRUE(after) << "the link goes on: " << after.error().to_string();
}

// An interrupt flag set by another thread ends the wait of a transaction
// and of a whole connect; nothing stays connected.
TEST(Connection, AnInterruptEndsTransactionsAndConnect) {
    VirtualCamera cam(22);
    GigECamera camera(settings_for(cam));
    ASSERT_TRUE(camera.connect());
    cam.device->set_muted(true);
    for (const bool whole_connect : {false, true}) {
        SCOPED_TRACE(whole_connect);
        cam.device->clear_command_log();
        std::atomic<bool> interrupt{false};
        std::thread setter([&] {
            if (eventually([&] { return cam.commands_seen() > 0; })) interrupt = true;
        });
        const WaitLimit limit{Instant::max(), &interrupt};
        CameraResult<void> r;
        if (whole_connect) {
            camera.disconnect(0ms);
            r = camera.connect(limit);
        } else {
            auto value = camera.connection()->port().read_register(bootstrap::kCcp, limit);
            r = value ? CameraResult<void>{} : std::unexpected(value.error());
        }
        setter.join();
        ASSERT_FALSE(r);
        EXPECT_TRUE(is_interrupted_error(r.error())) << r.error().to_string();
    }
    EXPECT_FALSE(camera.is_connected());
}

TEST(TransactionWait, SaturatesInsteadOfOverflowing) {
    EXPECT_EQ(transaction_wait(500ms, 4), 3000ms);
    EXPECT_EQ(transaction_wait(0ms, 0), 500ms);
    EXPECT_EQ(transaction_wait(Duration::max() / 2, 255), Duration::max());
    EXPECT_EQ(saturating_mul(3000ms, 2000 / 512 + 1), 12000ms);
    EXPECT_EQ(saturating_mul(Duration::max(), 2), Duration::max());
    EXPECT_EQ(saturating_add(Duration::max(), 1ms), Duration::max());
    // Overall budgets: one command keeps its wait; a 64 MiB description
    // with default settings gets minutes, not hours.
    EXPECT_EQ(operation_budget(3000ms, 1), 3000ms);
    EXPECT_EQ(operation_budget(3000ms, 2), 6020ms);
    EXPECT_EQ(operation_budget(3000ms, memory_commands(64u << 20)), 6000ms + 131072 * 10ms);
    EXPECT_EQ(operation_budget(Duration::max() / 2, 3), Duration::max());
    EXPECT_EQ(memory_commands(0), 0u);
    EXPECT_EQ(memory_commands(513), 2u);
}

TEST(IpAddressParse, AcceptsStandardFormsOnly) {
    const std::pair<const char*, const char*> good[] = {
        {"192.168.1.10", "192.168.1.10"}, {"::1", "::1"}, {"fe80::0:1", "fe80::1"}, {"0.0.0.0", "0.0.0.0"}};
    for (auto [in, out] : good) {
        auto a = IpAddress::parse(in);
        ASSERT_TRUE(a) << in;
        EXPECT_EQ(a->to_string(), out);
    }
    for (const char* bad : {"192.168.1.300", "cam1", "", " 1.2.3.4", "1.2.3.4:3956", "1.2.3", "::1%lo"})
        EXPECT_FALSE(IpAddress::parse(bad)) << bad;
    EXPECT_FALSE(IpAddress::parse(std::string_view("1.2.3.4\0x", 9)));
}

}  // namespace
}  // namespace oculane::gige
