// The transaction engine with synthetic time: every instant is made up, so no
// test waits for a real clock.
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "util/log.hpp"

#include "gige/runner/transaction_engine.hpp"
#include "gige/proto/bytes.hpp"

namespace oculane::gige {
namespace {

std::uint16_t be16_at(const std::vector<std::uint8_t>& b, std::size_t at) {
    return ByteReader(std::span(b).subspan(at)).u16();
}

using namespace std::chrono_literals;

constexpr std::uint32_t kDevice = 0x7F000002;  // 127.0.0.2
constexpr Endpoint kDeviceEp{kDevice, 3956};

struct Sent {
    std::vector<std::uint8_t> bytes;
    std::optional<Endpoint> to;  // empty: to the device
    std::uint16_t command() const { return be16_at(bytes, 2); }
    std::uint16_t id() const { return be16_at(bytes, 6); }
    std::uint32_t u32(std::size_t at) const { return be32_at(bytes, at); }
};

class RecordingIo : public EngineIo {
public:
    CameraResult<void> send_to_device(std::span<const std::uint8_t> b) override {
        if (fail_sends) return std::unexpected(CameraError::io_errno(ENETUNREACH));
        sent.push_back({{b.begin(), b.end()}, std::nullopt});
        return {};
    }
    CameraResult<void> send_to(std::span<const std::uint8_t> b, Endpoint to) override {
        sent.push_back({{b.begin(), b.end()}, to});
        return {};
    }
    void complete(RequestToken token, CameraResult<Reply> result) override {
        EXPECT_FALSE(results.contains(token)) << "token " << token << " completed twice";
        results.emplace(token, std::move(result));
    }
    void event(std::uint16_t command, std::span<const std::uint8_t> payload) override {
        events.emplace_back(command, std::vector<std::uint8_t>(payload.begin(), payload.end()));
    }

    bool abandoned(RequestToken token) const override { return gone.contains(token); }

    bool fail_sends = false;
    std::set<RequestToken> gone;  // requests whose caller stopped waiting
    std::vector<Sent> sent;
    std::map<RequestToken, CameraResult<Reply>> results;
    std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> events;
};

std::vector<std::uint8_t> ack(std::uint16_t status, std::uint16_t code, std::uint16_t id,
                              std::vector<std::uint8_t> payload = {}) {
    return gvcp::encode_ack(status, code, id, payload);
}

std::vector<std::uint8_t> be32(std::initializer_list<std::uint32_t> values) {
    std::vector<std::uint8_t> out;
    for (auto v : values)
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
    return out;
}

class EngineTest : public ::testing::Test {
protected:
    void make(EngineConfig cfg) {
        cfg.device_ip = kDevice;
        engine.emplace(cfg, stats, io, t0);
    }
    void SetUp() override { make({}); }

    // Ack the last command sent with a success status and the right code.
    void answer(std::vector<std::uint8_t> payload, Instant at) {
        const auto& last = io.sent.back();
        engine->on_datagram(ack(0, last.command() + 1, last.id(), std::move(payload)), kDeviceEp, at);
    }
    // Answer the last READMEM as asked: its address echoed, `fill` bytes.
    void answer_memory(std::uint8_t fill, Instant at) {
        const auto& last = io.sent.back();
        std::vector<std::uint8_t> payload = be32({last.u32(8)});
        payload.insert(payload.end(), last.u32(12), fill);
        answer(std::move(payload), at);
    }
    const CameraError& error_of(RequestToken t) { return io.results.at(t).error(); }

    const Instant t0 = Instant{} + 1000h;
    LinkStatsRecord stats;
    RecordingIo io;
    std::optional<TransactionEngine> engine;
};

TEST(HeartbeatPeriod, IsAThirdOfTheTimeoutBetween10msAnd1s) {
    const std::pair<std::uint32_t, long> cases[] = {
        {0, 10}, {15, 10}, {30, 10}, {33, 11}, {1500, 500}, {3000, 1000}, {4000, 1000}, {0xFFFFFFFF, 1000}};
    for (auto [timeout, period] : cases)
        EXPECT_EQ(heartbeat_period(timeout).count(), period) << "timeout " << timeout;
}

TEST(LinkStatsText, ListsTheNineCountersInOrder) {
    const LinkStats s{.commands = 1, .acks = 1, .retries = 2, .timeouts = 3, .naks = 4, .pending_acks = 5,
                      .heartbeats = 6, .events = 7, .unsolicited = 18446744073709551615u};
    EXPECT_EQ(s.to_string(),
              "LinkStats { commands: 1, acks: 1, retries: 2, timeouts: 3, naks: 4, pending_acks: 5, "
              "heartbeats: 6, events: 7, unsolicited: 18446744073709551615 }");
}

TEST_F(EngineTest, UnansweredRequestFailsAfterOnePlusRetriesSends) {
    make({.ack_timeout = 500ms, .retries = 4, .heartbeat_timeout_ms = 60000});
    engine->submit(1, request::ReadRegister{0x0A00});
    engine->tick(t0);
    Instant t = t0;
    for (int i = 0; i < 4; ++i) {
        engine->tick(t + 499ms);
        EXPECT_FALSE(io.results.contains(1));
        t += 500ms;
        engine->tick(t);
    }
    ASSERT_EQ(io.sent.size(), 5u);
    for (const auto& s : io.sent) {
        EXPECT_EQ(s.bytes, io.sent[0].bytes) << "a retry must resend the same bytes";
    }
    EXPECT_FALSE(io.results.contains(1));
    const auto s = stats.snapshot();
    engine->tick(t + 500ms);  // 2.5 s after the first send
    ASSERT_TRUE(io.results.contains(1));
    EXPECT_TRUE(error_of(1).is<camera_error::AckTimeout>());
    EXPECT_EQ(stats.snapshot().timeouts, 1u);
    EXPECT_EQ(s.commands, 1u);
    EXPECT_EQ(s.retries, 4u);
    EXPECT_EQ(s.timeouts, 0u);
    EXPECT_EQ(s.acks, 0u);
}

TEST_F(EngineTest, PendingAckMovesTheDeadlineAndKeepsTheTries) {
    make({.ack_timeout = 500ms, .retries = 1, .heartbeat_timeout_ms = 60000});
    engine->submit(1, request::ReadRegister{0x0934});
    engine->tick(t0);
    const auto id = io.sent[0].id();
    engine->on_datagram(ack(0, gvcp::code(gvcp::Ack::Pending), id, be32({2000})), kDeviceEp, t0 + 100ms);
    engine->tick(t0 + 2099ms);
    EXPECT_EQ(io.sent.size(), 1u) << "no retry before the extended deadline";
    engine->tick(t0 + 2100ms);
    EXPECT_EQ(io.sent.size(), 2u) << "the one retry is still there";
    engine->tick(t0 + 2600ms);
    EXPECT_TRUE(error_of(1).is<camera_error::AckTimeout>());
    EXPECT_EQ(stats.snapshot().pending_acks, 1u);
    EXPECT_EQ(stats.snapshot().acks, 0u);
}

TEST_F(EngineTest, EndlessPendingAcksEndWithAckTimeoutAtTheCap) {
    make({.ack_timeout = 500ms, .retries = 1, .heartbeat_timeout_ms = 600000, .max_pending = 5s});
    engine->submit(1, request::ReadRegister{0x0934});
    engine->submit(2, request::ReadRegister{0x0938});
    engine->tick(t0);
    const auto id = io.sent[0].id();
    const auto pending = [&](Instant at) {
        engine->on_datagram(ack(0, gvcp::code(gvcp::Ack::Pending), id, be32({2000})), kDeviceEp, at);
    };
    pending(t0 + 100ms);
    pending(t0 + 2000ms);
    pending(t0 + 3900ms);  // would reach 5.9 s; held at the 5 s cap
    engine->tick(t0 + 4999ms);
    EXPECT_EQ(io.sent.size(), 1u);
    engine->tick(t0 + 5000ms);
    ASSERT_EQ(io.sent.size(), 2u) << "the cap is a deadline like any other: the retry goes out";
    EXPECT_FALSE(io.results.contains(1));
    pending(t0 + 5100ms);
    ASSERT_TRUE(io.results.contains(1));
    EXPECT_TRUE(error_of(1).is<camera_error::AckTimeout>());
    const auto s = stats.snapshot();
    EXPECT_EQ(s.pending_acks, 3u);
    EXPECT_EQ(s.timeouts, 1u);
    // The queue moves on (a heartbeat that fell due meanwhile may go first).
    for (int round = 0; round < 2 && !io.results.contains(2); ++round) {
        engine->tick(t0 + 5100ms);
        answer(be32({2}), t0 + 5100ms);
    }
    EXPECT_TRUE(io.results.contains(2));
}

TEST_F(EngineTest, PendingAckForARequestNobodyWaitsForEndsIt) {
    make({.ack_timeout = 500ms, .retries = 4, .heartbeat_timeout_ms = 600000});
    engine->submit(1, request::ReadMemory{0x1000, 64});
    engine->submit(2, request::ReadRegister{0x0938});
    engine->tick(t0);
    const auto id = io.sent[0].id();
    engine->on_datagram(ack(0, gvcp::code(gvcp::Ack::Pending), id, be32({1000})), kDeviceEp, t0 + 10ms);
    EXPECT_FALSE(io.results.contains(1)) << "a caller still waiting is waited for";
    io.gone.insert(1);
    engine->on_datagram(ack(0, gvcp::code(gvcp::Ack::Pending), id, be32({1000})), kDeviceEp, t0 + 900ms);
    ASSERT_TRUE(io.results.contains(1));
    EXPECT_TRUE(error_of(1).is<camera_error::AckTimeout>());
    engine->tick(t0 + 900ms);
    ASSERT_EQ(io.sent.size(), 2u);
    EXPECT_EQ(io.sent[1].u32(8), 0x0938u);
    EXPECT_EQ(stats.snapshot().pending_acks, 1u);

    // A device that announced a long delay and then stays silent: the request
    // ends at the first tick after its caller left, not at the far deadline.
    engine->submit(3, request::ReadRegister{0x0934});
    engine->submit(4, request::ReadRegister{0x0938});
    answer(be32({1}), t0 + 910ms);
    engine->tick(t0 + 910ms);
    const auto id3 = io.sent.back().id();
    engine->on_datagram(ack(0, gvcp::code(gvcp::Ack::Pending), id3, be32({60000})), kDeviceEp, t0 + 920ms);
    engine->tick(t0 + 930ms);
    EXPECT_FALSE(io.results.contains(3));
    io.gone.insert(3);
    engine->tick(t0 + 940ms);
    ASSERT_TRUE(io.results.contains(3));
    EXPECT_TRUE(error_of(3).is<camera_error::AckTimeout>());
    EXPECT_EQ(io.sent.back().u32(8), 0x0938u) << "the next request went out in the same tick";
}

TEST_F(EngineTest, RetriesAreNotCutShortForACallerThatLeftWithoutAPendingAck) {
    // Nobody waits for this write, yet it still gets its retries: only a
    // device that asked for more time is given up on early.
    make({.ack_timeout = 100ms, .retries = 2, .heartbeat_timeout_ms = 600000});
    io.gone.insert(1);
    engine->submit(1, request::WriteRegisters{{{0x0938, 1000}}});
    for (auto at : {0ms, 100ms, 200ms}) engine->tick(t0 + at);
    EXPECT_EQ(io.sent.size(), 3u);
    EXPECT_FALSE(io.results.contains(1));
}

TEST_F(EngineTest, HeartbeatKeptPendingPastTheCapLosesControl) {
    make({.ack_timeout = 500ms, .retries = 0, .heartbeat_timeout_ms = 3000, .max_pending = 4s});
    engine->tick(t0 + 1000ms);  // heartbeat out
    ASSERT_EQ(io.sent.size(), 1u);
    const auto id = io.sent[0].id();
    for (auto at : {1100ms, 3000ms, 4900ms}) {
        engine->on_datagram(ack(0, gvcp::code(gvcp::Ack::Pending), id, be32({2000})), kDeviceEp, t0 + at);
        engine->tick(t0 + at);
        ASSERT_FALSE(engine->control_lost()) << at.count();
    }
    engine->tick(t0 + 5000ms);
    EXPECT_TRUE(engine->control_lost());
    EXPECT_EQ(stats.snapshot().timeouts, 1u);
}

TEST_F(EngineTest, RequestIdsSkipZeroAndFFFF) {
    engine->set_last_request_id(0xFFFD);
    for (RequestToken t = 1; t <= 3; ++t) {
        engine->submit(t, request::ReadRegister{0});
        engine->tick(t0);
        answer(be32({7}), t0);
    }
    ASSERT_EQ(io.sent.size(), 3u);
    EXPECT_EQ(io.sent[0].id(), 0xFFFE);
    EXPECT_EQ(io.sent[1].id(), 1);
    EXPECT_EQ(io.sent[2].id(), 2);
}

TEST_F(EngineTest, AcksFromAnotherHostAreIgnoredAndFromAnotherPortAccepted) {
    engine->submit(1, request::ReadRegister{0x0A00});
    engine->tick(t0);
    const auto reply = ack(0, 0x0081, io.sent[0].id(), be32({2}));
    engine->on_datagram(reply, Endpoint{kDevice + 1, 3956}, t0);
    EXPECT_FALSE(io.results.contains(1));
    EXPECT_EQ(stats.snapshot(), LinkStats{.commands = 1}) << "a stranger's datagram counts nowhere";
    engine->on_datagram(reply, Endpoint{kDevice, 40000}, t0);
    ASSERT_TRUE(io.results.contains(1));
    EXPECT_EQ(std::get<std::uint32_t>(*io.results.at(1)), 2u);
}

TEST_F(EngineTest, UnsolicitedAndMalformedAcksLeaveTheTransactionAlone) {
    engine->on_datagram(ack(0, 0x0081, 9, be32({1})), kDeviceEp, t0);  // nothing in flight
    engine->submit(1, request::ReadRegister{0x0A00});
    engine->tick(t0);
    const auto id = io.sent[0].id();
    engine->on_datagram(ack(0, 0x0081, id + 1, be32({1})), kDeviceEp, t0);  // wrong id
    auto truncated = ack(0, 0x0081, id, be32({1}));
    truncated.pop_back();  // length field now promises more than arrived
    engine->on_datagram(truncated, kDeviceEp, t0);
    engine->on_datagram(std::vector<std::uint8_t>{0, 0, 0}, kDeviceEp, t0);
    engine->on_datagram({}, kDeviceEp, t0);
    EXPECT_TRUE(io.results.empty());
    EXPECT_EQ(stats.snapshot().unsolicited, 2u);
    answer(be32({0x2}), t0);
    EXPECT_EQ(std::get<std::uint32_t>(*io.results.at(1)), 2u);
}

TEST_F(EngineTest, AcknowledgeFaultsBecomeErrors) {
    struct Case {
        const char* name;
        Request request;
        std::uint16_t status;
        std::int32_t code_delta;  // added to the expected ack code
        std::vector<std::uint8_t> payload;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"nak", request::WriteRegisters{{{0x0A00, 2}}}, 0x8006, 0, {},
         "device answered command 0x0082 with access denied (0x8006)"},
        {"wrong code", request::ReadRegister{0}, 0, 2, be32({1}), "malformed packet: expected ack 0x0081, got 0x0083"},
        {"empty register", request::ReadRegister{0}, 0, 0, {}, "malformed packet: empty read register ack"},
        {"count", request::ReadRegisters{{0, 4, 8}}, 0, 0, be32({1, 2}),
         "malformed packet: read register ack carried 2 values, expected 3"},
        {"count beyond", request::ReadRegisters{{0, 4}}, 0, 0, be32({1, 2, 3}),
         "malformed packet: read register ack carried 3 values, expected 2"},
        {"partial write", request::WriteRegisters{{{0x0A00, 2}, {0x0938, 9}}}, 0, 0, be32({1}),
         "malformed packet: write register ack reports 1 of 2 writes done"},
        {"short mem", request::ReadMemory{0x100, 8}, 0, 0, {0, 0}, "malformed packet: short read memory ack"},
        {"empty mem", request::ReadMemory{0x100, 8}, 0, 0, be32({0x100}),
         "malformed packet: read memory ack carried 0 bytes at 0x100, asked 8 at 0x100"},
        {"short data", request::ReadMemory{0x100, 8}, 0, 0, be32({0x100, 1}),
         "malformed packet: read memory ack carried 4 bytes at 0x100, asked 8 at 0x100"},
        {"surplus data", request::ReadMemory{0x100, 8}, 0, 0, be32({0x100, 1, 2, 3}),
         "malformed packet: read memory ack carried 12 bytes at 0x100, asked 8 at 0x100"},
        {"other address", request::ReadMemory{0x100, 8}, 0, 0, be32({0x104, 1, 2}),
         "malformed packet: read memory ack carried 8 bytes at 0x104, asked 8 at 0x100"},
    };
    engine->set_concatenation(true);
    RequestToken token = 0;
    for (const auto& c : cases) {
        ++token;
        engine->submit(token, c.request);
        engine->tick(t0);
        const auto& last = io.sent.back();
        engine->on_datagram(ack(c.status, static_cast<std::uint16_t>(last.command() + 1 + c.code_delta),
                                last.id(), c.payload),
                            kDeviceEp, t0);
        ASSERT_TRUE(io.results.contains(token)) << c.name;
        EXPECT_EQ(error_of(token).to_string(), c.text) << c.name;
    }
    EXPECT_EQ(stats.snapshot().naks, 1u);
    EXPECT_TRUE(engine->idle());
}

TEST_F(EngineTest, RegisterRepliesCarryTheValuesInOrder) {
    engine->set_concatenation(true);
    engine->submit(1, request::ReadRegisters{{0x0, 0x4, 0x8}});
    engine->tick(t0);
    EXPECT_EQ(io.sent[0].bytes, gvcp::encode_read_reg(std::vector<std::uint32_t>{0, 4, 8}, 1));
    answer(be32({10, 20, 30}), t0);
    EXPECT_EQ(std::get<std::vector<std::uint32_t>>(*io.results.at(1)),
              (std::vector<std::uint32_t>{10, 20, 30}));
    // Extra bytes after a single register's value do not matter.
    engine->submit(2, request::ReadRegister{0x0});
    engine->tick(t0);
    answer(be32({5, 6}), t0);
    EXPECT_EQ(std::get<std::uint32_t>(*io.results.at(2)), 5u);
}

// A device without the concatenation bit gets one register per command; with
// it, lists go in as few commands as the 540-byte payload allows.
TEST_F(EngineTest, RegisterListsFollowTheConcatenationCapability) {
    struct Case {
        bool concatenation;
        bool write;
        std::size_t registers;
        std::vector<std::size_t> commands;  // registers in each command sent
    };
    const Case cases[] = {
        {false, false, 9, std::vector<std::size_t>(9, 1)},
        {true, false, 9, {9}},
        {true, false, 300, {135, 135, 30}},
        {false, true, 3, {1, 1, 1}},
        {true, true, 70, {67, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.concatenation << " " << c.write << " " << c.registers);
        io = RecordingIo{};
        make({.heartbeat_timeout_ms = 600000});
        engine->set_concatenation(c.concatenation);
        std::vector<std::uint32_t> addresses;
        std::vector<gvcp::RegisterWrite> pairs;
        for (std::uint32_t i = 0; i < c.registers; ++i) {
            addresses.push_back(0x1000 + 4 * i);
            pairs.push_back({0x1000 + 4 * i, i});
        }
        if (c.write) engine->submit(1, request::WriteRegisters{pairs});
        else engine->submit(1, request::ReadRegisters{addresses});
        engine->tick(t0);
        for (std::size_t n : c.commands) {
            ASSERT_FALSE(io.results.contains(1));
            const auto& last = io.sent.back();
            const std::size_t per = c.write ? 8 : 4;
            ASSERT_EQ(be16_at(last.bytes, 4), n * per);
            if (c.write) {
                answer(be32({static_cast<std::uint32_t>(n)}), t0);
                continue;
            }
            std::vector<std::uint32_t> values;
            for (std::size_t i = 0; i < n; ++i) values.push_back(last.u32(8 + 4 * i) + 1);
            std::vector<std::uint8_t> payload;
            for (auto v : values) payload.insert(payload.end(), {std::uint8_t(v >> 24), std::uint8_t(v >> 16),
                                                                 std::uint8_t(v >> 8), std::uint8_t(v)});
            answer(payload, t0);
        }
        ASSERT_TRUE(io.results.contains(1));
        ASSERT_TRUE(io.results.at(1).has_value()) << io.results.at(1).error().to_string();
        EXPECT_EQ(io.sent.size(), c.commands.size());
        if (!c.write) {
            const auto& values = std::get<std::vector<std::uint32_t>>(*io.results.at(1));
            ASSERT_EQ(values.size(), c.registers);
            for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(values[i], addresses[i] + 1) << i;
        }
    }
}

// A pending acknowledge that announces next to no time still leaves the
// ordinary acknowledge timeout before the next try.
TEST_F(EngineTest, PendingAckWaitsAtLeastTheAckTimeout) {
    for (const auto& [announced, retry_at] : {std::pair{0ms, 510ms}, {1ms, 510ms}, {2000ms, 2010ms}}) {
        SCOPED_TRACE(announced.count());
        io = RecordingIo{};
        make({.ack_timeout = 500ms, .retries = 1, .heartbeat_timeout_ms = 600000});
        engine->submit(1, request::ReadRegister{0x0934});
        engine->tick(t0);
        const auto id = io.sent[0].id();
        engine->on_datagram(ack(0, gvcp::code(gvcp::Ack::Pending), id,
                                be32({static_cast<std::uint32_t>(announced.count())})),
                            kDeviceEp, t0 + 10ms);
        engine->tick(t0 + retry_at - 1ms);
        EXPECT_EQ(io.sent.size(), 1u);
        engine->tick(t0 + retry_at);
        EXPECT_EQ(io.sent.size(), 2u);
        EXPECT_FALSE(io.results.contains(1));
    }
}

// A caller whose overall deadline passed, or who was interrupted, takes its
// request out wherever it is; the engine goes on with the next one.
TEST_F(EngineTest, AbandonEndsARequestWaitingOrInFlight) {
    make({.ack_timeout = 500ms, .retries = 4, .heartbeat_timeout_ms = 600000});
    engine->submit(1, request::ReadMemory{0x1000, 4096});
    engine->submit(2, request::ReadRegister{0x0938});
    engine->submit(3, request::ReadRegister{0x0934});
    engine->tick(t0);
    EXPECT_TRUE(engine->abandon(2, CameraError::io("interrupted", EINTR)));
    EXPECT_TRUE(error_of(2).is<camera_error::Io>());
    EXPECT_TRUE(engine->abandon(1, CameraError::ack_timeout()));
    EXPECT_TRUE(error_of(1).is<camera_error::AckTimeout>());
    EXPECT_FALSE(engine->abandon(1, CameraError::ack_timeout())) << "already finished";
    const auto first_id = io.sent[0].id();
    engine->tick(t0);
    ASSERT_EQ(io.sent.size(), 2u);
    EXPECT_EQ(io.sent[1].u32(8), 0x0934u);
    engine->on_datagram(ack(0, 0x0085, first_id, be32({0x1000})), kDeviceEp, t0);  // the late answer
    EXPECT_EQ(stats.snapshot().unsolicited, 1u);
    answer(be32({7}), t0);
    EXPECT_EQ(std::get<std::uint32_t>(*io.results.at(3)), 7u);

    // A transfer whose caller stopped waiting asks for no further chunk.
    engine->submit(4, request::ReadMemory{0x1000, 2048});
    engine->tick(t0);
    const auto sent = io.sent.size();
    io.gone.insert(4);
    answer_memory(0, t0);
    EXPECT_EQ(io.sent.size(), sent);
    EXPECT_TRUE(error_of(4).is<camera_error::AckTimeout>());
}

TEST_F(EngineTest, MemoryReadTakesExactlyWhatWasAskedChunkByChunk) {
    engine->submit(1, request::ReadMemory{0x1000, 1000});
    engine->tick(t0);
    std::vector<std::uint8_t> want;
    for (const auto& [address, count] : {std::pair{0x1000u, 512u}, std::pair{0x1200u, 488u}}) {
        ASSERT_FALSE(io.results.contains(1));
        const auto& s = io.sent.back();
        EXPECT_EQ(s.command(), gvcp::code(gvcp::Command::ReadMem));
        EXPECT_EQ(s.u32(8), address);
        EXPECT_EQ(s.u32(12), count);
        std::vector<std::uint8_t> payload = be32({address});
        for (std::uint32_t i = 0; i < count; ++i) payload.push_back(static_cast<std::uint8_t>(address + i));
        want.insert(want.end(), payload.begin() + 4, payload.end());
        answer(payload, t0);  // the continuation goes out at once
    }
    EXPECT_EQ(std::get<std::vector<std::uint8_t>>(*io.results.at(1)), want);
    EXPECT_EQ(stats.snapshot().commands, 2u);

    // An oversized answer (65,495 bytes for 512 asked) must not end up in
    // the result: the transfer fails and nothing more is asked for.
    engine->submit(2, request::ReadMemory{0x2000, 1024});
    engine->tick(t0);
    std::vector<std::uint8_t> huge = be32({0x2000});
    huge.resize(4 + 65491, 0xEE);
    answer(huge, t0);
    ASSERT_TRUE(io.results.contains(2));
    EXPECT_TRUE(error_of(2).is<camera_error::Malformed>());
    EXPECT_EQ(stats.snapshot().commands, 3u);
}

TEST_F(EngineTest, MemoryReadOf1000BytesGoesOutAs512And488) {
    engine->submit(1, request::ReadMemory{0x2000, 1000});
    engine->tick(t0);
    answer_memory(1, t0);
    ASSERT_EQ(io.sent.size(), 2u);
    EXPECT_EQ(io.sent[1].u32(8), 0x2200u);
    EXPECT_EQ(io.sent[1].u32(12), 488u);
    answer_memory(2, t0);
    EXPECT_EQ(std::get<std::vector<std::uint8_t>>(*io.results.at(1)).size(), 1000u);
}

TEST_F(EngineTest, OddLengthReadAsksForAWholeWord) {
    engine->submit(1, request::ReadMemory{0x1000, 6});
    engine->tick(t0);
    EXPECT_EQ(io.sent[0].u32(12), 8u);
    answer(be32({0x1000, 0x01020304, 0x05060708}), t0);
    EXPECT_EQ(std::get<std::vector<std::uint8_t>>(*io.results.at(1)),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(EngineTest, MemoryWriteIsChunked) {
    std::vector<std::uint8_t> data(1200);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    engine->submit(1, request::WriteMemory{0x3000, data});
    engine->tick(t0);
    for (int chunk = 0; chunk < 3; ++chunk) {
        ASSERT_EQ(io.sent.size(), static_cast<std::size_t>(chunk + 1));
        const auto& s = io.sent.back();
        const std::size_t off = chunk * 512, len = std::min<std::size_t>(512, data.size() - off);
        EXPECT_EQ(s.command(), gvcp::code(gvcp::Command::WriteMem));
        EXPECT_EQ(be16_at(s.bytes, 4), 4 + len);
        EXPECT_EQ(s.u32(8), 0x3000u + off);
        EXPECT_TRUE(std::equal(s.bytes.begin() + 12, s.bytes.end(), data.begin() + off));
        EXPECT_FALSE(io.results.contains(1));
        answer({}, t0);
    }
    EXPECT_TRUE(io.results.at(1).has_value());
}

TEST_F(EngineTest, DueHeartbeatGoesBetweenChunksOfAMemoryRead) {
    make({.ack_timeout = 500ms, .retries = 4, .heartbeat_timeout_ms = 300});  // period 100 ms
    engine->submit(1, request::ReadMemory{0x1000, 1536});
    engine->submit(2, request::ReadRegister{0x0934});
    engine->tick(t0);
    answer_memory(0, t0 + 10ms);  // chunk 2 goes straight out
    ASSERT_EQ(io.sent.size(), 2u);
    engine->tick(t0 + 100ms);  // heartbeat due while chunk 2 is in flight
    ASSERT_EQ(io.sent.size(), 2u);
    answer_memory(0, t0 + 110ms);  // chunk 3 waits for the heartbeat
    engine->tick(t0 + 110ms);
    ASSERT_EQ(io.sent.size(), 3u);
    EXPECT_EQ(io.sent[2].command(), gvcp::code(gvcp::Command::ReadReg));
    EXPECT_EQ(io.sent[2].u32(8), 0x0A00u);
    answer(be32({2}), t0 + 120ms);
    engine->tick(t0 + 120ms);
    ASSERT_EQ(io.sent.size(), 4u);
    EXPECT_EQ(io.sent[3].command(), gvcp::code(gvcp::Command::ReadMem)) << "the transfer goes before queued requests";
    EXPECT_EQ(io.sent[3].u32(8), 0x1400u);
    answer_memory(0, t0 + 130ms);
    EXPECT_TRUE(io.results.at(1).has_value());
    engine->tick(t0 + 130ms);
    EXPECT_EQ(io.sent.back().u32(8), 0x0934u);
    EXPECT_EQ(stats.snapshot().heartbeats, 1u);
}

TEST_F(EngineTest, NoSecondHeartbeatWhileOneIsOutstanding) {
    make({.ack_timeout = 5000ms, .retries = 0, .heartbeat_timeout_ms = 30});  // period 10 ms
    for (int i = 1; i <= 5; ++i) engine->tick(t0 + i * 10ms);
    ASSERT_EQ(io.sent.size(), 1u);
    answer(be32({2}), t0 + 55ms);
    engine->tick(t0 + 60ms);
    EXPECT_EQ(io.sent.size(), 2u);
    EXPECT_FALSE(engine->control_lost());
}

TEST_F(EngineTest, LossOfControlFailsEverythingWithControlLostAndLeavesTheCcpAlone) {
    enum class How { Timeout, Nak, CcpCleared };
    for (How how : {How::Timeout, How::Nak, How::CcpCleared}) {
        SCOPED_TRACE(static_cast<int>(how));
        io = RecordingIo{};
        LinkStatsRecord fresh;
        engine.emplace(EngineConfig{kDevice, 50ms, 1, 300}, fresh, io, t0);
        engine->tick(t0 + 100ms);  // heartbeat out
        ASSERT_EQ(io.sent.size(), 1u);
        engine->submit(1, request::ReadRegister{0});
        engine->submit(2, request::ReadMemory{0, 4});
        const auto hb = io.sent[0].id();
        switch (how) {
            case How::Timeout:
                engine->tick(t0 + 150ms);
                engine->tick(t0 + 200ms);
                break;
            case How::Nak: engine->on_datagram(ack(0x8006, 0x0081, hb), kDeviceEp, t0 + 110ms); break;
            case How::CcpCleared:
                engine->on_datagram(ack(0, 0x0081, hb, be32({0x1})), kDeviceEp, t0 + 110ms);
                break;
        }
        ASSERT_TRUE(engine->control_lost());
        EXPECT_TRUE(fresh.control_lost()) << "the reason is published before the worker can be seen to stop";
        const auto sent_before = io.sent.size();
        engine->shutdown();
        EXPECT_EQ(io.sent.size(), sent_before) << "no CCP write after losing control";
        ASSERT_EQ(io.results.size(), 2u);
        for (auto& [token, result] : io.results)
            EXPECT_TRUE(result.error().is<camera_error::ControlLost>()) << token;
        EXPECT_TRUE(fresh.control_lost());
    }
}

TEST_F(EngineTest, OrderlyShutdownFailsWithNotConnectedAndReleasesControl) {
    engine->submit(1, request::ReadRegister{0});
    engine->submit(2, request::WriteRegisters{{{0x0938, 1000}}});
    engine->tick(t0);
    engine->shutdown();
    ASSERT_EQ(io.results.size(), 2u);
    for (auto& [token, result] : io.results)
        EXPECT_TRUE(result.error().is<camera_error::NotConnected>()) << token;
    EXPECT_FALSE(stats.control_lost());
    engine->submit(3, request::ReadRegister{0});
    EXPECT_TRUE(error_of(3).is<camera_error::NotConnected>()) << "a request after the end fails at once";
}

// Control is given back only when the device may have granted it: writing 0
// after a refused take could evict the application that really holds it. A
// take nobody answered may have been granted with its acknowledges lost.
TEST_F(EngineTest, ControlIsReleasedOnlyAfterASuccessfulTake) {
    enum class Take { Granted, Refused, Unanswered, Interrupted, GrantedThenReleased, Never };
    const std::pair<Take, bool> cases[] = {{Take::Granted, true},
                                           {Take::Refused, false},
                                           {Take::Unanswered, true},
                                           {Take::Interrupted, true},
                                           {Take::GrantedThenReleased, false},
                                           {Take::Never, false}};
    for (const auto& [take, releases] : cases) {
        SCOPED_TRACE(static_cast<int>(take));
        io = RecordingIo{};
        make({.ack_timeout = 50ms, .retries = 0, .heartbeat_timeout_ms = 600000});
        if (take != Take::Never) {
            engine->submit(1, request::WriteRegisters{{{0x0A00, 2}}});
            engine->tick(t0);
            if (take == Take::Refused) engine->on_datagram(ack(0x8006, 0x0083, io.sent[0].id()), kDeviceEp, t0);
            if (take == Take::Granted || take == Take::GrantedThenReleased) answer(be32({1}), t0);
            if (take == Take::Unanswered) engine->tick(t0 + 50ms);
            if (take == Take::Interrupted) engine->abandon(1, CameraError::ack_timeout());
            ASSERT_TRUE(io.results.contains(1));
        }
        if (take == Take::GrantedThenReleased) {
            engine->submit(2, request::WriteRegisters{{{0x0A00, 0}}});
            engine->tick(t0);
            answer(be32({1}), t0);
        }
        const auto before = io.sent.size();
        engine->shutdown();
        const gvcp::RegisterWrite release[] = {{0x0A00, 0}};
        if (releases) {
            ASSERT_EQ(io.sent.size(), before + 1);
            EXPECT_EQ(io.sent.back().bytes, gvcp::encode_write_reg(release, io.sent.back().id()));
        } else {
            EXPECT_EQ(io.sent.size(), before);
        }
    }
}

TEST_F(EngineTest, SendFailureFailsTheRequestWithIo) {
    io.fail_sends = true;
    engine->submit(1, request::ReadRegister{0});
    engine->tick(t0);
    EXPECT_TRUE(error_of(1).is<camera_error::Io>());
    EXPECT_TRUE(engine->idle());
    EXPECT_EQ(stats.snapshot().commands, 0u);
}

TEST_F(EngineTest, EventsAreAcknowledgedCountedAndForwarded) {
    std::vector<std::uint8_t> event = {0x42, 0x01, 0x00, 0xC0, 0x00, 0x0A, 0x12, 0x34};
    for (int i = 0; i < 10; ++i) event.push_back(static_cast<std::uint8_t>(i));
    event.push_back(0xFF);  // beyond the length field: not part of the payload
    engine->on_datagram(event, Endpoint{kDevice, 50000}, t0);
    ASSERT_EQ(io.sent.size(), 1u);
    EXPECT_EQ(io.sent[0].to, (Endpoint{kDevice, 50000}));
    EXPECT_EQ(io.sent[0].bytes, (std::vector<std::uint8_t>{0, 0, 0x00, 0xC1, 0, 0, 0x12, 0x34}));
    ASSERT_EQ(io.events.size(), 1u);
    EXPECT_EQ(io.events[0].first, 0x00C0);
    EXPECT_EQ(io.events[0].second.size(), 10u);

    event[1] = 0x00;  // no acknowledge asked for
    event[3] = 0xC2;
    engine->on_datagram(event, kDeviceEp, t0);
    event[3] = 0x80;  // not an event
    engine->on_datagram(event, kDeviceEp, t0);
    event[5] = 0x40;  // length beyond the datagram
    event[3] = 0xC0;
    engine->on_datagram(event, kDeviceEp, t0);
    EXPECT_EQ(io.sent.size(), 1u);
    EXPECT_EQ(io.events.size(), 2u);
    EXPECT_EQ(stats.snapshot().events, 2u);
}

// A device repeats an event whose acknowledge it missed: same request id,
// same bytes. Each copy is acknowledged; only the first is forwarded.
TEST_F(EngineTest, ARepeatedEventIsAcknowledgedAgainAndForwardedOnce) {
    struct Case {
        const char* what;
        std::uint16_t second_id;
        std::uint64_t second_timestamp;
        std::uint16_t second_command;
        int between;  // other events between the two
        std::size_t forwarded;  // of the two
    };
    constexpr auto kEvent = gvcp::code(gvcp::Command::Event);
    constexpr auto kEventData = gvcp::code(gvcp::Command::EventData);
    const Case cases[] = {
        {"a repeat", 7, 100, kEvent, 0, 1},
        {"a repeat behind other events", 7, 100, kEvent, 20, 1},
        {"the same id with other bytes (the device restarted its ids)", 7, 200, kEvent, 0, 2},
        {"the same bytes under another id", 8, 100, kEvent, 0, 2},
        {"the same id and bytes from the other event command", 7, 100, kEventData, 0, 2},
        {"a repeat behind more events than the window holds", 7, 100, kEvent, 64, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        io.sent.clear();
        io.events.clear();
        make({});
        const auto events_before = stats.snapshot().events;
        engine->on_datagram(gvcp::encode_event(kEvent, 7, true, 0x9003, 0, 1, 100), kDeviceEp, t0);
        for (int i = 0; i < c.between; ++i)
            engine->on_datagram(gvcp::encode_event(kEvent, static_cast<std::uint16_t>(1000 + i), true, 0x9002, 0,
                                                   1, 1000 + static_cast<std::uint64_t>(i)),
                                kDeviceEp, t0);
        engine->on_datagram(gvcp::encode_event(c.second_command, c.second_id, true, 0x9003, 0, 1, c.second_timestamp),
                            kDeviceEp, t0);
        const auto total = static_cast<std::size_t>(c.between) + 2;
        EXPECT_EQ(io.sent.size(), total);  // every copy acknowledged
        EXPECT_EQ(io.sent.back().id(), c.second_id);
        EXPECT_EQ(stats.snapshot().events - events_before, total);
        EXPECT_EQ(io.events.size(), c.forwarded + static_cast<std::size_t>(c.between));
    }
}

TEST_F(EngineTest, ZeroLengthTransfersNeedNoTraffic) {
    engine->submit(1, request::ReadMemory{0x100, 0});
    engine->submit(2, request::WriteMemory{0x100, {}});
    engine->submit(3, request::ReadRegisters{});
    engine->tick(t0);
    EXPECT_TRUE(io.sent.empty());
    EXPECT_TRUE(std::get<std::vector<std::uint8_t>>(*io.results.at(1)).empty());
    EXPECT_TRUE(io.results.at(2).has_value());
    EXPECT_TRUE(std::get<std::vector<std::uint32_t>>(*io.results.at(3)).empty());
    // What no command can carry fails cleanly, without traffic.
    engine->submit(4, request::WriteMemory{0x100, {1, 2, 3, 4, 5, 6}});
    engine->tick(t0);
    EXPECT_EQ(error_of(4).to_string(), "malformed packet: command beyond what one GVCP command carries");
    EXPECT_TRUE(io.sent.empty());
}

// Captures the worker's log events for one test.
struct LogCapture {
    LogCapture() {
        log::set_sink([this](const log::Event& e) {
            if (e.target != log::kRunner) return;
            std::string line = std::string(log::level_name(e.level)) + " " + e.message;
            for (const auto& f : e.fields) line += " " + f.name + "=" + f.value;
            lines.push_back(line);
        });
    }
    ~LogCapture() { log::clear_sink(); }
    bool has(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
    std::vector<std::string> lines;
};

TEST_F(EngineTest, LogsWhatHappened) {
    LogCapture logs;
    make({.ack_timeout = 50ms, .retries = 1, .heartbeat_timeout_ms = 300});
    engine->submit(1, request::ReadRegister{0});
    engine->tick(t0);
    engine->tick(t0 + 50ms);  // retry
    engine->on_datagram(std::vector<std::uint8_t>{0, 0, 0, 0x81, 0, 9, 0, 1}, kDeviceEp, t0);
    engine->on_datagram(std::vector<std::uint8_t>{0x42, 1, 0, 0x99, 0, 0, 0, 1}, kDeviceEp, t0);
    engine->on_datagram(std::vector<std::uint8_t>{0x42, 1, 0}, kDeviceEp, t0);
    engine->on_datagram(ack(0, gvcp::code(gvcp::Ack::Pending), 1, be32({20})), kDeviceEp, t0 + 55ms);
    answer(be32({1}), t0 + 60ms);
    engine->tick(t0 + 100ms);  // heartbeat out
    answer(be32({0}), t0 + 110ms);  // CCP cleared
    engine->shutdown();
    for (const char* line : {"DEBUG ack overdue, retrying transaction id=1 command=READREG tries_left=0",
                             "DEBUG pending acknowledge: the device needs more time id=1 command=READREG ms=20",
                             "TRACE malformed ack (8 bytes)",
                             "TRACE unexpected inbound command 0x0099", "TRACE malformed inbound command",
                             "WARN device control was lost (CCP cleared)",
                             "DEBUG gvcp worker shutting down control_lost=true"})
        EXPECT_TRUE(logs.has(line)) << line << "\n" << ::testing::PrintToString(logs.lines);
}

}  // namespace
}  // namespace oculane::gige
