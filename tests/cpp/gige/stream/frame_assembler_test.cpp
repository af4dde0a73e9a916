// The frame assembler with synthetic time: every instant is made up, so no
// test waits for a clock.
#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "stream_rig.hpp"
#include "support/alloc_counter.hpp"
#include "util/log.hpp"

namespace oculane::stream_test {
namespace {

using Counters = std::map<std::string, std::uint64_t>;

// Every counter not named in `want` must be 0.
void expect_counters(const StreamStats& s, const Counters& want) {
    for (const auto& f : kStreamStatsFields) {
        const auto it = want.find(std::string(f.name));
        EXPECT_EQ(s.*f.member, it == want.end() ? 0 : it->second) << f.name;
    }
    for (const auto& [name, value] : want) {
        const bool known = std::any_of(kStreamStatsFields.begin(), kStreamStatsFields.end(),
                                       [&](const auto& f) { return f.name == name; });
        EXPECT_TRUE(known) << "no counter " << name;
    }
}

struct Scenario {
    const char* name;
    std::function<void(AssemblerConfig&)> configure;
    std::function<void(Rig&)> run;
    std::vector<FrameStatus> statuses;  // frames closed, in order
    Counters counters;                  // all others must stay 0
    std::uint64_t data_end = 0;         // of the last frame closed, when it matters
};

void no_change(AssemblerConfig&) {}
void no_resend(AssemblerConfig& c) { c.resend_enabled = false; }

using FS = FrameStatus;

TEST(FrameAssembler, Scenarios) {
    const Scenario scenarios[] = {
        {"in order", no_change, [](Rig& r) { r.frame(1); }, {FS::Complete},
         {{"packets", 12}, {"bytes", 8 + 36 + 10 * 108 + 16}, {"completed_frames", 1}}, 1000},
        {"reordered with a duplicate",
         no_change,
         [](Rig& r) {
             r.feed(data(1, 3));
             r.feed(leader(1));
             for (std::uint32_t id : {1u, 2u, 2u, 4u, 5u, 6u, 7u, 8u, 9u, 10u}) r.feed(data(1, id));
             r.feed(trailer(1, 11));
         },
         {FS::Complete},
         {{"packets", 13}, {"bytes", 8 + 36 + 11 * 108 + 16}, {"completed_frames", 1}, {"duplicated_packets", 1}},
         1000},
        {"camera stops mid-frame: timeout",
         no_resend,
         [](Rig& r) {
             r.feed(leader(1));
             for (std::uint32_t id = 1; id <= 5; ++id) r.feed(data(1, id));
             r.tick(99ms);
             EXPECT_TRUE(r.sink.statuses.empty()) << "closed before the frame timeout";
             r.tick(100ms);
         },
         {FS::Timeout},
         {{"packets", 6}, {"bytes", 44 + 5 * 108}, {"failed_frames", 1}, {"timed_out_frames", 1},
          {"missing_packets", 6}},
         500},
        {"resend off: a newer block forces the older one out",
         no_resend,
         [](Rig& r) {
             r.frame(7, 0ms, {5});
             EXPECT_TRUE(r.sink.statuses.empty());
             r.feed(leader(8));
             EXPECT_EQ(r.sink.statuses.size(), 1u) << "block 7 must close as block 8 starts";
             for (std::uint32_t id = 1; id <= 10; ++id) r.feed(data(8, id));
             r.feed(trailer(8, 11));
         },
         {FS::MissingPackets, FS::Complete},
         {{"packets", 23}, {"bytes", 2 * (44 + 16) + 19 * 108}, {"completed_frames", 1},
          {"failed_frames", 1}, {"missing_packets", 7}},
         1000},
        {"resend on: a newer block does not force the older one out",
         no_change,
         [](Rig& r) {
             r.frame(7, 0ms, {5});
             r.frame(8, 1ms);
             EXPECT_TRUE(r.sink.statuses.empty()) << "block 7 still waits for its resend";
             r.feed(data(7, 5), 2ms);  // both close now, oldest first
         },
         {FS::Complete, FS::Complete},
         {{"packets", 24}, {"bytes", 2 * (44 + 16) + 20 * 108}, {"completed_frames", 2}},
         1000},
        {"trailer beyond the expected packets: WrongPacketId",
         no_resend,
         [](Rig& r) {
             r.feed(leader(1));
             for (std::uint32_t id = 1; id <= 10; ++id) r.feed(data(1, id));
             r.feed(trailer(1, 14));
             r.tick(100ms);
         },
         {FS::WrongPacketId},
         {{"packets", 12}, {"bytes", 44 + 10 * 108 + 16}, {"failed_frames", 1}, {"missing_packets", 1}},
         1000},
        {"trailer shrinks the block",
         no_change,
         [](Rig& r) {
             r.feed(leader(1, false, gvsp::payload_type::kImage, mono8_leader(24, 25)));  // 600 bytes
             for (std::uint32_t id = 1; id <= 6; ++id) r.feed(data(1, id));
             r.feed(trailer(1, 7));
         },
         {FS::Complete},
         {{"packets", 8}, {"bytes", 44 + 6 * 108 + 16}, {"completed_frames", 1}},
         600},
        {"data packets larger than estimated, packet 1 last: the block shrinks",
         no_change,
         [](Rig& r) {
             r.feed(leader(1));
             for (std::uint32_t id = 2; id <= 5; ++id) r.feed(data(1, id, 200, false, 200));
             r.feed(trailer(1, 6));
             r.feed(data(1, 1, 200, false, 200));  // 200 bytes per packet: 5 data packets, 7 in all
         },
         {FS::Complete},
         {{"packets", 7}, {"bytes", 44 + 5 * 208 + 16}, {"completed_frames", 1}},
         1000},
        // A camera that aligns its packets to 32 bytes: 96 per packet where
        // 100 were estimated, so 11 data packets, the last of 40.
        {"aligned data size, the last data packet before the size is known: asked for again",
         no_change,
         [](Rig& r) {
             r.feed(leader(1));
             r.feed(trailer(1, 12));
             r.feed(data(1, 11, 40, false, 96));  // its offset is not known yet
             for (std::uint32_t id = 1; id <= 10; ++id) r.feed(data(1, id, 96, false, 96));
             r.tick(20ms);  // a resend interval of silence
             r.feed(data(1, 11, 40, false, 96), 21ms);
         },
         {FS::Complete},
         {{"packets", 14}, {"bytes", 44 + 16 + 2 * 48 + 10 * 104}, {"completed_frames", 1},
          {"resend_requests", 1}, {"resent_packets", 1}},
         1000},
        {"a data packet too long is not received",
         no_change,
         [](Rig& r) {
             r.feed(leader(1));
             for (std::uint32_t id = 1; id <= 10; ++id) r.feed(data(1, id, id == 4 ? 150 : 100));
             r.feed(trailer(1, 11));
             r.tick(20ms);
             r.feed(data(1, 4), 21ms);
         },
         {FS::Complete},
         {{"packets", 13}, {"bytes", 44 + 10 * 108 + 50 + 16 + 108}, {"completed_frames", 1},
          {"size_mismatch_errors", 1}, {"resend_requests", 1}, {"resent_packets", 1}},
         1000},
        {"fewer bytes than the leader's image: not Complete",
         no_change,
         [](Rig& r) {
             r.feed(leader(1, false, gvsp::payload_type::kImage, mono8_leader(40, 25)));  // 1000 bytes
             for (std::uint32_t id = 1; id <= 6; ++id) r.feed(data(1, id));
             r.feed(trailer(1, 7));
         },
         {FS::WrongPacketId},
         {{"packets", 8}, {"bytes", 44 + 6 * 108 + 16}, {"failed_frames", 1}},
         600},
        {"first data packet smaller than estimated: expected recomputed",
         no_change,
         [](Rig& r) {
             r.feed(leader(1));
             for (std::uint32_t id = 1; id <= 20; ++id) r.feed(data(1, id, 50, false, 50));
             EXPECT_TRUE(r.sink.statuses.empty());
             r.feed(trailer(1, 21));
         },
         {FS::Complete},
         {{"packets", 22}, {"bytes", 44 + 20 * 58 + 16}, {"completed_frames", 1}},
         1000},
        {"first data packet smaller, trailer seen first: expected kept",
         no_change,
         [](Rig& r) {
             r.feed(trailer(1, 11));
             r.feed(leader(1, false, gvsp::payload_type::kImage, mono8_leader(20, 25)));  // 500 bytes
             for (std::uint32_t id = 1; id <= 10; ++id) r.feed(data(1, id, 50, false, 50));
         },
         {FS::Complete},
         {{"packets", 12}, {"bytes", 16 + 44 + 10 * 58}, {"completed_frames", 1}},
         500},
        {"all-in packet: a one-packet block without an image",
         no_change,
         [](Rig& r) { r.feed(packet(1, 4, 0, Bytes(30, 0xAB))); },
         {FS::PayloadUnsupported},
         {{"packets", 1}, {"bytes", 38}, {"failed_frames", 1}, {"ignored_packets", 1}}},
        {"newest block with only its leader waits beyond the timeout",
         no_change,
         [](Rig& r) {
             r.feed(leader(1));
             r.tick(10s);
             EXPECT_TRUE(r.sink.statuses.empty());
             r.feed(leader(2), 10s);  // now it is no longer the newest
         },
         {FS::Timeout},
         {{"packets", 2}, {"bytes", 88}, {"failed_frames", 1}, {"timed_out_frames", 1}, {"missing_packets", 11}}},
        {"packet unavailable: the frame closes at once, the next one is not held",
         no_change,
         [](Rig& r) {
             r.feed(leader(1));
             for (std::uint32_t id = 1; id <= 4; ++id) r.feed(data(1, id));
             r.frame(2);
             r.feed(packet(1, 3, 5, {}, false, 0x800C));
             EXPECT_EQ(r.sink.statuses.size(), 2u) << "both frames must be out";
             for (std::uint32_t id = 6; id <= 10; ++id) r.feed(data(1, id), 5ms);  // late now
             r.feed(trailer(1, 11), 5ms);
             EXPECT_TRUE(r.sink.resends.empty());
         },
         {FS::MissingPackets, FS::Complete},
         {{"packets", 24}, {"bytes", 2 * (44 + 16) + 19 * 108 + 8}, {"completed_frames", 1}, {"failed_frames", 1},
          {"missing_packets", 7}, {"resend_disabled", 1}, {"error_packets", 1}, {"ignored_packets", 6}},
         1000},
        {"packet unavailable for a packet that arrived: nothing lost",
         no_change,
         [](Rig& r) {
             r.feed(leader(1));
             for (std::uint32_t id = 1; id <= 5; ++id) r.feed(data(1, id));
             r.feed(packet(1, 3, 5, {}, false, 0x8012));
             for (std::uint32_t id = 6; id <= 10; ++id) r.feed(data(1, id));
             r.feed(trailer(1, 11));
         },
         {FS::Complete},
         {{"packets", 13}, {"bytes", 44 + 10 * 108 + 8 + 16}, {"completed_frames", 1}, {"resend_disabled", 1},
          {"error_packets", 1}},
         1000},
        {"other error status: counted, resend goes on",
         no_change,
         [](Rig& r) {
             r.feed(leader(1));
             for (std::uint32_t id = 1; id <= 4; ++id) r.feed(data(1, id));
             r.feed(packet(1, 3, 5, {}, false, 0x8001));
             for (std::uint32_t id = 6; id <= 10; ++id) r.feed(data(1, id), 5ms);
             r.feed(trailer(1, 11), 5ms);
             r.tick(25ms);
             r.feed(data(1, 5), 26ms);
         },
         {FS::Complete},
         {{"packets", 13}, {"bytes", 44 + 10 * 108 + 8 + 16}, {"completed_frames", 1}, {"error_packets", 1},
          {"resend_requests", 1}, {"resent_packets", 1}},
         1000},
        {"newer blocks leave a quarter of the buffers free: the frame waiting for a resend gives way",
         no_change,
         [](Rig& r) {
             r.frame(1, 0ms, {5});
             r.frame(2);
             EXPECT_TRUE(r.sink.statuses.empty()) << "block 1 may still get its packet";
             r.frame(3);  // one of four buffers left
         },
         {FS::MissingPackets, FS::Complete, FS::Complete},
         {{"packets", 35}, {"bytes", 3 * (44 + 16) + 29 * 108}, {"completed_frames", 2}, {"failed_frames", 1},
          {"missing_packets", 7}},
         1000},
        {"noise before the stream names no port and moves no block id",
         no_change,
         [](Rig& r) {
             r.feed(Bytes(20, 0xEE), 0ms, kCamera, 5555);                      // no packet format we know
             r.feed(packet(7, 3, 1, Bytes(10, 0), false, 0x8001), 0ms, kCamera, 5555);  // an error status
             r.frame(1);
             r.feed(leader(2), 0ms, kCamera, 5555);
         },
         {FS::Complete},
         {{"packets", 15}, {"bytes", 20 + 18 + 44 + 1080 + 16 + 44}, {"completed_frames", 1}, {"ignored_packets", 3}},
         1000},
        {"last packet cut at the buffer end, an earlier one too long",
         [](AssemblerConfig& c) { c.payload_size = 950; },
         [](Rig& r) {
             r.feed(leader(1, false, gvsp::payload_type::kImage, mono8_leader(38, 25)));  // 950 bytes
             for (std::uint32_t id = 1; id <= 8; ++id) r.feed(data(1, id));
             r.feed(data(1, 9, 200));   // longer than the others: not received
             r.feed(data(1, 10, 100));  // the last: its padding past 950 is dropped without complaint
             r.feed(trailer(1, 11));
             r.tick(20ms);
             r.feed(data(1, 9), 21ms);
         },
         {FS::Complete},
         {{"packets", 13}, {"bytes", 44 + 10 * 108 + 100 + 16 + 108}, {"completed_frames", 1},
          {"size_mismatch_errors", 1}, {"resend_requests", 1}, {"resent_packets", 1}},
         950},
        {"short datagrams",
         no_change,
         [](Rig& r) {
             r.feed(Bytes(7, 0));
             Bytes ei(19, 0);
             ei[4] = 0x81;
             r.feed(ei);
             r.feed(Bytes{});
         },
         {},
         {{"packets", 3}, {"bytes", 26}, {"ignored_packets", 3}}},
        {"another address changes nothing",
         no_change,
         [](Rig& r) {
             r.frame(1);
             r.feed(leader(2), 0ms, kCamera + 1);
             r.feed(Bytes(3, 0), 0ms, kCamera + 1);
             EXPECT_FALSE(r.assembler.has_frames_in_flight());
         },
         {FS::Complete},
         {{"packets", 12}, {"bytes", 8 + 36 + 10 * 108 + 16}, {"completed_frames", 1}}},
        {"unsupported blocks: payload type, short leader, format, and their later packets",
         no_change,
         [](Rig& r) {
             r.feed(leader(1, false, 2));
             r.feed(data(1, 1));  // same block: late now
             r.feed(leader(2, false, 1, image_leader(), 11));
             r.feed(packet(3, 7, 0, Bytes(4, 0)));
         },
         {},
         {{"packets", 4}, {"bytes", 44 + 108 + 19 + 12}, {"ignored_packets", 4}, {"unsupported_frames", 3}}},
        {"packet size not above the overhead",
         [](AssemblerConfig& c) { c.packet_size = 36; },
         [](Rig& r) { r.frame(1); },
         {},
         {{"packets", 12}, {"bytes", 8 + 36 + 10 * 108 + 16}, {"ignored_packets", 12}, {"unsupported_frames", 1}}},
        {"packet ids contradicting the layout",
         [](AssemblerConfig& c) { c.resend_ratio = 0; },
         [](Rig& r) {
             r.feed(packet(1, 3, 0, Bytes(10, 0)));  // a data packet in the leader's place
             r.feed(data(2, 11));                     // beyond the last data packet
             Bytes lead = leader(3);
             lead[7] = 4;  // a leader not at 0
             r.feed(lead);
             r.tick(100ms);
         },
         {FS::WrongPacketId, FS::WrongPacketId, FS::WrongPacketId},
         {{"packets", 3}, {"bytes", 18 + 108 + 44}, {"failed_frames", 3}, {"timed_out_frames", 0},
          {"missing_packets", 11 + 12 + 12}}},
        {"absurd trailer id: the table does not grow, the frame is out at once",
         no_change,
         [](Rig& r) {
             r.feed(trailer(1, 0xFFFFFF));
             r.feed(leader(1));  // late now
             r.feed(data(1, 1));
         },
         {FS::WrongPacketId},
         {{"packets", 3}, {"bytes", 16 + 44 + 108}, {"failed_frames", 1}, {"ignored_packets", 2},
          {"missing_packets", 1}}},
        {"absurdly small first data packet",
         no_resend,
         [](Rig& r) {
             r.feed(leader(1));
             r.feed(data(1, 1, 5, false, 5));  // would need 202 packets: out at once
             r.feed(data(1, 2, 5, false, 5), 1ms);
         },
         {FS::WrongPacketId},
         {{"packets", 3}, {"bytes", 44 + 2 * 13}, {"failed_frames", 1}, {"missing_packets", 11},
          {"ignored_packets", 1}}},
    };

    for (const auto& sc : scenarios) {
        SCOPED_TRACE(sc.name);
        AssemblerConfig config = small_config();
        sc.configure(config);
        Rig r(config);
        sc.run(r);
        EXPECT_EQ(r.sink.statuses, sc.statuses);
        expect_counters(r.assembler.stats(), sc.counters);
        for (const FramePtr& f : r.sink.frames) {
            EXPECT_LE(f->data().size(), config.payload_size);
            if (!f->is_complete()) continue;
            // Every byte written came from its own offset of the block.
            const auto bytes = f->data();
            std::size_t wrong = 0;
            for (std::size_t i = 0; i < bytes.size(); ++i) wrong += bytes[i] != pattern(f->frame_id(), i);
            EXPECT_EQ(wrong, 0u) << "frame " << f->frame_id();
        }
        if (sc.data_end != 0) {
            ASSERT_FALSE(r.sink.frames.empty());
            EXPECT_EQ(r.sink.frames.back()->data_end(), sc.data_end);
        }
    }
}

// The trace events of the per-packet path, with their fields. Nothing is
// formatted unless trace logging is on.
TEST(FrameAssembler, TraceEvents) {
    struct Event {
        std::string message;
        std::string fields;
    };
    std::vector<Event> events;
    log::set_sink(
        [&](const log::Event& e) {
            EXPECT_EQ(e.target, log::kStreamRunner);
            EXPECT_EQ(e.level, log::Level::Trace);
            std::string fields;
            for (const auto& f : e.fields) fields += f.name + "=" + f.value + " ";
            events.push_back({e.message, fields});
        },
        log::Level::Trace);
    {
        Rig r;
        r.frame(10, 0ms, {4});
        r.feed(leader(13));                // 11 and 12 skipped
        r.feed(leader(12));                // late
        r.feed(data(13, 1), 1ms);          // tells the data size
        r.feed(data(13, 11), 1ms);         // beyond the last data packet
        r.tick(25ms);                      // packet 4 is asked for
        r.assembler.abort_all(r.sink);
    }
    log::clear_sink();
    const std::vector<std::pair<std::string, std::string>> want = {
        {"frame ids skipped", "skipped=2 after=10 "},
        {"discarding late frame", "frame_id=12 last=13 "},
        {"payload packet id 11 outside 1..=10 (frame 13, 100 data bytes, ext=false)", ""},
        {"requesting packet resend", "frame_id=10 first=4 last=4 "},
        {"frame closed incomplete", "frame_id=10 status=Aborted "},
        {"frame closed incomplete", "frame_id=13 status=Aborted "},
    };
    ASSERT_EQ(events.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(events[i].message, want[i].first) << i;
        EXPECT_EQ(events[i].fields, want[i].second) << i;
    }
}

// Block id sequences (one all-in block each, `apart` from each other): how
// many frames they make and how many ids count as skipped. A jump counts
// only as far as a camera could have gone: 1000 ids, or 100,000 a second.
TEST(FrameAssembler, BlockIdsWrapLateAndSkipped) {
    const struct {
        const char* name;
        bool extended;
        std::vector<std::uint64_t> ids;
        std::size_t frames;
        std::uint64_t missing_frames;
        Duration apart = {};
    } cases[] = {
        {"first block", false, {7}, 1, 0},
        {"65534, 65535, 1: id 0 is skipped on wrap", false, {65534, 65535, 1}, 3, 0},
        {"65535 then 0", false, {65535, 0}, 2, 0},
        {"65535 then 2", false, {65535, 2}, 2, 1},
        {"10 then 13", false, {10, 13}, 2, 2},
        {"99 below the newest is late", false, {500, 401}, 1, 0},
        {"1 below the newest is late", false, {500, 499}, 1, 0},
        {"the same id again is late", false, {500, 500}, 1, 0},
        {"100 below the newest starts a new frame", false, {500, 400}, 2, 0},
        {"late across the wrap", false, {1, 65535}, 1, 0},
        {"half the id space ahead at once: implausible", false, {100, 30000}, 2, 0},
        {"half the id space ahead after a second", false, {100, 30000}, 2, 29899, 1s},
        {"1000 ahead at once", false, {100, 1101}, 2, 1000},
        {"1001 ahead at once: implausible", false, {100, 1102}, 2, 0},
        {"3000 ahead in 30 ms", false, {100, 3101}, 2, 3000, 30ms},
        {"3001 ahead in 30 ms: implausible", false, {100, 3102}, 2, 0, 30ms},
        {"extended: a stray 64-bit id after a second", true, {10, 0x6100'0000'0000'0000}, 2, 0, 1s},
        {"extended: wrap of 64-bit ids", true, {0xFFFF'FFFF'FFFF'FFFE, 0xFFFF'FFFF'FFFF'FFFF, 1}, 3, 0},
        {"extended: 10 then 13", true, {10, 13}, 2, 2},
        {"extended: large ids, 99 below is late", true, {1'000'000'000'000, 999'999'999'901}, 1, 0},
        {"extended: large ids, 100 below is new", true, {1'000'000'000'000, 999'999'999'900}, 2, 0},
        {"extended: beyond 16 bits", true, {65535, 65536, 65538}, 3, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        Duration at{};
        for (std::uint64_t id : c.ids) {
            r.feed(packet(id, 4, 0, {}, c.extended), at);
            at += c.apart;
        }
        EXPECT_EQ(r.sink.frames.size(), c.frames);
        EXPECT_EQ(r.assembler.stats().missing_frames, c.missing_frames);
        // All-in packets are ignored after bookkeeping, late ones instead of it;
        // their frames have no image.
        EXPECT_EQ(r.assembler.stats().ignored_packets, c.ids.size());
        for (std::size_t i = 0; i < r.sink.frames.size(); ++i) EXPECT_EQ(r.sink.statuses[i], FS::PayloadUnsupported);
    }
}

// A gap is asked for once resend_delay has passed (strictly) after it was
// first seen, then every resend_interval while the frame lives.
TEST(FrameAssembler, ResendTiming) {
    AssemblerConfig config = small_config();
    config.resend_ratio = 1.0;
    Rig r(config);
    r.feed(leader(1));
    for (std::uint32_t id : {1u, 2u, 3u, 4u, 6u}) r.feed(data(1, id));  // 5 noticed missing at 0
    r.feed(data(1, 7), 500us);
    r.feed(data(1, 8), 1ms);  // due at 1 ms: not yet
    r.feed(data(1, 9), 2ms);
    r.feed(data(1, 10), 3ms);
    r.feed(trailer(1, 11), 3ms);
    for (auto t = 4ms; t <= 200ms; t += 1ms) r.tick(t);

    const std::vector<Duration> want_times = {2ms, 23ms, 44ms, 65ms, 86ms};
    EXPECT_EQ(r.sink.resend_times, want_times);
    for (const Resend& rs : r.sink.resends) {
        EXPECT_EQ(rs.block, 1u);
        EXPECT_EQ(rs.first, 5u);
        EXPECT_EQ(rs.last, 5u);
        EXPECT_FALSE(rs.extended);
    }
    EXPECT_EQ(r.sink.statuses, std::vector<FS>{FS::Timeout});  // 100 ms after the last packet at 3 ms
    EXPECT_EQ(r.assembler.stats().resend_requests, 5u);
}

// A packet known missing is asked for when it falls due even if nothing of
// its block follows (the trailer already came, or the block pauses): the
// worker waits until next_deadline() and ticks, and a resend interval of
// silence would hold the frame, and the frames behind it, for 20 ms.
TEST(FrameAssembler, ResendAtDueTimeWhileTheBlockIsSilent) {
    struct Case {
        const char* name;
        std::uint32_t last_data;  // data packets 1..4 and 6..last_data arrive
        bool trailer;
    };
    for (const Case& c : {Case{"trailer arrived", 10, true}, Case{"block pauses", 7, false}}) {
        SCOPED_TRACE(c.name);
        Rig r;
        r.feed(leader(1));
        for (std::uint32_t id = 1; id <= c.last_data; ++id)
            if (id != 5) r.feed(data(1, id));  // 5 noticed missing at 0, due after 1 ms
        if (c.trailer) r.feed(trailer(1, 11));
        for (int wakes = 0; r.sink.resends.empty() && wakes < 10; ++wakes) {
            const auto next = r.assembler.next_deadline();
            ASSERT_TRUE(next.has_value());
            r.tick(*next - r.t0);
        }
        ASSERT_EQ(r.sink.resends.size(), 1u);
        EXPECT_EQ(std::pair(r.sink.resends[0].first, r.sink.resends[0].last), std::pair(5u, 5u));
        EXPECT_GT(r.sink.resend_times[0], 1ms);
        EXPECT_LT(r.sink.resend_times[0], 2ms);
        // Next due one resend interval later.
        EXPECT_EQ(*r.assembler.next_deadline() - r.t0, r.sink.resend_times[0] + 20ms + 1us);
    }
}

// A lost tail (the last data packet and the trailer) has no later packet of
// its block to reveal it. Once the next block starts, it is asked for after
// resend_delay, not after a resend interval of silence: at high frame rates
// that wait would keep the frame, and its buffer, for 20 ms.
TEST(FrameAssembler, LostTailIsAskedForOnceANewerBlockStarts) {
    AssemblerConfig config = small_config();
    config.resend_ratio = 1.0;
    Rig r(config);
    r.feed(leader(1));
    for (std::uint32_t id = 1; id <= 9; ++id) r.feed(data(1, id));  // 10 and the trailer lost
    r.feed(leader(2), 500us);   // the tail is noticed missing now, due after 1 ms
    r.feed(data(2, 1), 1ms);    // not yet due (due must be strictly earlier)
    r.feed(data(2, 2), 2ms);    // due: asked for
    ASSERT_EQ(r.sink.resends.size(), 1u);
    EXPECT_EQ(r.sink.resend_times[0], 2ms);
    EXPECT_EQ(r.sink.resends[0].block, 1u);
    EXPECT_EQ(r.sink.resends[0].first, 10u);
    EXPECT_EQ(r.sink.resends[0].last, 11u);
    r.feed(data(1, 10), 3ms);
    r.feed(trailer(1, 11), 3ms);
    EXPECT_EQ(r.sink.statuses, std::vector<FS>{FS::Complete});
    EXPECT_EQ(r.assembler.stats().resent_packets, 2u);
    // The newest block itself still waits for a resend interval of silence.
    for (auto t = 4ms; t < 22ms; t += 1ms) r.tick(t);
    EXPECT_EQ(r.sink.resends.size(), 1u);
}

// 100 packets at ratio 0.25: 25 may be asked for. Ten missing packets are
// asked for twice (20); the third request would pass 25 and is not sent,
// and the frame, lost now, closes at once.
TEST(FrameAssembler, ResendBudget) {
    AssemblerConfig config = small_config();
    config.payload_size = 98 * kBpp;  // 98 data packets, 100 in all
    Rig r(config);
    r.feed(leader(1));
    for (std::uint32_t id = 1; id <= 98; ++id)
        if (id < 10 || id > 19) r.feed(data(1, id));
    r.feed(trailer(1, 99));
    for (auto t = 1ms; t <= 150ms; t += 1ms) r.tick(t);

    ASSERT_EQ(r.sink.resends.size(), 2u);
    // The trailer came: the gap is asked for when it falls due, not after a
    // resend interval of silence.
    EXPECT_EQ(r.sink.resend_times, (std::vector<Duration>{2ms, 23ms}));
    for (const Resend& rs : r.sink.resends) EXPECT_EQ(std::pair(rs.first, rs.last), std::pair(10u, 19u));
    const StreamStats& s = r.assembler.stats();
    EXPECT_EQ(s.resend_requests, 20u);
    EXPECT_EQ(s.resend_ratio_reached, 1u);
    EXPECT_EQ(r.sink.statuses, std::vector<FS>{FS::MissingPackets});
    EXPECT_EQ(s.missing_packets, 90u);
}

// Requests over the budget are not sent, so packets of such a run that arrive
// later are not counted as resent. (The frame stays in flight here only
// because an older one waits for its resend.)
TEST(FrameAssembler, RunsOverTheBudgetAreNotMarkedRequested) {
    AssemblerConfig config = small_config();
    config.resend_ratio = 0.25;  // 12 packets: 3
    Rig r(config);
    r.frame(1, 0ms, {9});
    r.feed(leader(2));
    for (std::uint32_t id : {1u, 3u, 4u, 5u, 9u, 10u}) r.feed(data(2, id));  // 2, 6-8 missing: 4 > 3
    r.feed(trailer(2, 11));
    r.tick(25ms);
    ASSERT_EQ(r.sink.resends.size(), 1u);
    EXPECT_EQ(r.sink.resends[0].block, 1u);
    EXPECT_EQ(r.assembler.stats().resend_ratio_reached, 1u);
    for (std::uint32_t id : {2u, 6u, 7u, 8u}) r.feed(data(2, id), 26ms);
    r.feed(data(1, 9), 26ms);
    EXPECT_EQ(r.sink.statuses, (std::vector<FS>{FS::Complete, FS::Complete}));
    EXPECT_EQ(r.assembler.stats().resent_packets, 1u);
    EXPECT_EQ(r.assembler.stats().resend_requests, 1u);
}

// Request ids run 65301, ..., 65535, 65300, 65301, ...; every request names
// the stream's channel.
TEST(FrameAssembler, RequestIdsCycleAndNameTheChannel) {
    AssemblerConfig config = small_config();
    config.channel = 3;
    Rig r(config);
    r.sink.keep = false;
    Duration t{};
    for (std::uint64_t block = 1; block <= 240; ++block, t += 30ms) {
        r.frame(block, t, {5});
        r.tick(t + 20ms);  // 20 ms since the last packet: packet 5 is asked for
        r.feed(data(block, 5), t + 21ms);
    }
    ASSERT_EQ(r.sink.resends.size(), 240u);
    for (std::size_t i = 0; i < r.sink.resends.size(); ++i) {
        const Resend& rs = r.sink.resends[i];
        EXPECT_EQ(rs.request_id, 65300 + (i + 1) % 236) << i;
        EXPECT_EQ(rs.channel, 3);
        EXPECT_EQ(rs.block, i + 1);
    }
    EXPECT_EQ(r.assembler.stats().completed_frames, 240u);
    EXPECT_EQ(r.assembler.stats().resent_packets, 240u);
}

TEST(FrameAssembler, ExtendedIds) {
    AssemblerConfig config = small_config();
    config.channel = 1;
    Rig r(config);
    constexpr std::uint64_t kBlock = (std::uint64_t{1} << 40) + 5;
    constexpr std::uint64_t kStride = kBpp - 12;  // the longer header leaves 88 bytes: 12 data packets
    r.feed(leader(kBlock, true));
    for (std::uint32_t id = 1; id <= 12; ++id)
        if (id != 4) r.feed(data(kBlock, id, id == 12 ? 1000 - 11 * kStride : kStride, true, kStride));
    r.feed(trailer(kBlock, 13, true), 2ms);
    ASSERT_EQ(r.sink.resends.size(), 1u);
    EXPECT_EQ(r.sink.resends[0], (Resend{65301, 1, kBlock, 4, 4, true}));
    r.feed(data(kBlock, 4, kStride, true, kStride), 3ms);
    ASSERT_EQ(r.sink.frames.size(), 1u);
    const Frame& f = *r.sink.frames[0];
    EXPECT_EQ(f.status(), FS::Complete);
    EXPECT_EQ(f.frame_id(), kBlock);
    EXPECT_EQ(f.data_end(), 1000u);
    for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ(f.data()[i], pattern(kBlock, i)) << i;
}

TEST(FrameAssembler, FrameMetadata) {
    const struct {
        const char* name;
        std::uint64_t tick_frequency;
        bool with_leader;
        std::uint64_t ticks;
        std::uint64_t want_ns;
    } cases[] = {
        {"ticks at 125 MHz", 125'000'000, true, 250'000'001, 2'000'000'008},
        {"no tick frequency: host time", 0, true, 777, kWallNs},
        {"no leader, tick frequency", 125'000'000, false, 0, 0},
        {"no leader, no tick frequency", 0, false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AssemblerConfig config = small_config();
        config.tick_frequency = c.tick_frequency;
        Rig r(config);
        if (c.with_leader) r.feed(leader(9, false, 0x4001, image_leader(c.ticks)));
        for (std::uint32_t id = 1; id <= 10; ++id) r.feed(data(9, id));
        r.feed(trailer(9, 11));
        r.tick(1s);
        ASSERT_EQ(r.sink.frames.size(), 1u);
        const Frame& f = *r.sink.frames[0];
        EXPECT_EQ(f.timestamp_ns(), c.want_ns);
        EXPECT_EQ(f.received_size(), 1000u);
        if (c.with_leader) {
            EXPECT_EQ(f.status(), FS::Complete);
            EXPECT_EQ(f.timestamp_ticks(), c.ticks);
            EXPECT_EQ(f.system_timestamp_ns(), kWallNs);
            EXPECT_EQ(f.width(), 36u);
            EXPECT_EQ(f.height(), 25u);
            EXPECT_EQ(f.x_offset(), 2u);
            EXPECT_EQ(f.y_offset(), 3u);
            EXPECT_EQ(f.x_padding(), 4u);
            EXPECT_EQ(f.y_padding(), 5u);
            EXPECT_EQ(f.pixel_format_text(), "Mono8");
            EXPECT_EQ(f.bits_per_pixel(), 8);
            EXPECT_EQ(f.payload_class(), (PayloadClass{PayloadClass::Image, 0}));
            EXPECT_EQ(f.has_chunks(), std::optional<bool>(true));
            EXPECT_EQ(f.payload_type(), 1);
        } else {
            EXPECT_EQ(f.status(), FS::Timeout);
            EXPECT_EQ(f.timestamp_ticks(), 0u);
            EXPECT_EQ(f.system_timestamp_ns(), 0u);
            EXPECT_EQ(f.width(), 0u);
            EXPECT_EQ(f.height(), 0u);
            EXPECT_EQ(f.pixel_format(), 0u);
            EXPECT_EQ(f.payload_class(), (PayloadClass{PayloadClass::Other, 0}));
            EXPECT_EQ(f.has_chunks(), std::nullopt);
        }
    }
}

// One buffer: a frame kept by a subscriber makes every new block an underrun
// until it is released.
TEST(FrameAssembler, UnderrunWhileTheOnlyBufferIsHeld) {
    AssemblerConfig config = small_config();
    config.n_buffers = 1;
    Rig r(config);
    r.frame(1);
    ASSERT_EQ(r.sink.frames.size(), 1u);
    EXPECT_EQ(r.assembler.pool().available(), 0u);
    r.frame(2);
    r.frame(3);
    EXPECT_EQ(r.assembler.stats().underruns, 2u);
    EXPECT_EQ(r.sink.frames.size(), 1u);
    r.sink.frames.clear();  // the subscriber lets go
    EXPECT_EQ(r.assembler.pool().available(), 1u);
    r.frame(4);
    EXPECT_EQ(r.sink.statuses, (std::vector<FS>{FS::Complete, FS::Complete}));
    EXPECT_EQ(r.assembler.stats().underruns, 2u);
    // The underrun blocks' other packets were late, not new blocks.
    EXPECT_EQ(r.assembler.stats().ignored_packets, 22u);
}

TEST(FrameAssembler, ShutdownAbortsFramesInFlightOldestFirst) {
    Rig r;
    r.frame(1, 0ms, {3});
    r.frame(2, 0ms, {7});
    EXPECT_EQ(r.assembler.frames_in_flight(), 2u);
    EXPECT_EQ(r.assembler.pool().available(), 2u);
    r.assembler.abort_all(r.sink);
    EXPECT_FALSE(r.assembler.has_frames_in_flight());
    EXPECT_EQ(r.sink.statuses, (std::vector<FS>{FS::Aborted, FS::Aborted}));
    EXPECT_EQ(r.sink.frames[0]->frame_id(), 1u);
    EXPECT_EQ(r.sink.frames[1]->frame_id(), 2u);
    EXPECT_EQ(r.assembler.stats().aborted_frames, 2u);
    EXPECT_EQ(r.assembler.stats().failed_frames, 0u);
    r.sink.frames.clear();
    EXPECT_EQ(r.assembler.pool().available(), 4u);
}

// Packet 1 says 200 bytes per packet after the trailer fixed the count, so
// the later packets land past the buffer: data_end says so, the view stops at
// the buffer's end.
TEST(FrameAssembler, DataViewNeverBeyondTheBuffer) {
    Rig r;
    r.feed(trailer(1, 11));
    r.feed(leader(1));
    for (std::uint32_t id = 1; id <= 10; ++id) r.feed(data(1, id, 200, false, 200));
    ASSERT_EQ(r.sink.frames.size(), 1u);
    const Frame& f = *r.sink.frames[0];
    EXPECT_EQ(f.data_end(), 1800u);
    EXPECT_EQ(f.data().size(), 1000u);
    EXPECT_EQ(f.received_size(), 1000u);
    EXPECT_EQ(r.assembler.stats().size_mismatch_errors, 4u);  // packets 6 to 9; 10 is the last
}

// A frame outlives its stream: its bytes stay readable, and letting go of it
// afterwards frees the buffer (the sanitizer build checks for the leak).
TEST(FrameAssembler, FrameReleasedAfterTheStreamClosed) {
    FramePtr kept;
    {
        Rig r;
        r.frame(1);
        r.frame(2, 0ms, {4});
        kept = r.sink.frames.at(0);
        r.sink.frames.clear();
        r.assembler.abort_all(r.sink);
        r.sink.frames.clear();
    }
    EXPECT_EQ(kept->status(), FS::Complete);
    for (std::size_t i = 0; i < kPayload; ++i) ASSERT_EQ(kept->data()[i], pattern(1, i));
    kept.reset();
}

TEST(FrameAssembler, RefusesAPoolThatCannotBeAllocated) {
    const struct {
        const char* name;
        std::uint64_t payload;
        std::uint32_t packet_size;
        std::size_t n_buffers;
    } cases[] = {
        {"payload beyond the per-buffer cap", kMaxFrameBufferSize + 1, 1500, 1},
        {"more than the machine's memory", std::uint64_t{3} << 30, 1500, 1'000'000},
        {"packet table for tiny packets", std::uint64_t{1} << 30, 49, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AssemblerConfig config = small_config();
        config.payload_size = c.payload;
        config.packet_size = c.packet_size;
        config.n_buffers = c.n_buffers;
        auto a = FrameAssembler::create(config);
        ASSERT_FALSE(a.has_value());
        EXPECT_EQ(a.error().kind(), CameraError::Kind::Io);
        EXPECT_NE(a.error().to_string().find("cannot allocate a frame pool"), std::string::npos)
            << a.error().to_string();
    }
    AssemblerConfig none = small_config();
    none.n_buffers = 0;
    Rig r(none);
    r.frame(1);
    EXPECT_EQ(r.assembler.stats().underruns, 1u);
}

}  // namespace
}  // namespace oculane::stream_test

namespace oculane::stream_test {
namespace {

// Counts what comes out without allocating, and keeps up to three frames for
// a while as a slow subscriber would.
class CountingSink : public AssemblerSink {
public:
    void send_resend(std::span<const std::uint8_t>) override { ++resends; }
    void frame_closed(FramePtr frame) override {
        ++closed[static_cast<std::size_t>(frame->status())];
        if (frame->frame_id() % 3 == 0) held[next_held++ % held.size()] = std::move(frame);
    }
    std::size_t resends = 0;
    std::array<std::size_t, 6> closed{};
    std::array<FramePtr, 3> held;
    std::size_t next_held = 0;
};

// Hundreds of frames with resends, timeouts, duplicates, late and foreign
// packets, error statuses and underruns: not one heap allocation.
TEST(FrameAssembler, NoAllocationWhileStreaming) {
    AssemblerConfig config = small_config();
    config.n_buffers = 4;
    auto assembler = FrameAssembler::create(config).value();
    const Instant t0 = Instant{} + 1000s;

    struct Step {
        Bytes datagram;  // empty: a tick
        Duration at;
        std::uint32_t source = kCamera;
        bool release = false;  // the slow subscriber lets go of what it kept
    };
    std::vector<Step> steps;
    Duration t{};
    for (std::uint64_t b = 1; b <= 400; ++b, t += 200ms) {
        auto add = [&](Bytes d, Duration dt) { steps.push_back({std::move(d), t + dt}); };
        if (b % 16 == 0) steps.push_back({{}, t, kCamera, true});
        switch (b % 4) {
            case 0:  // in order, a foreign datagram in between
                add(leader(b), 0ms);
                for (std::uint32_t id = 1; id <= 10; ++id) add(data(b, id), 0ms);
                steps.push_back({data(b, 3), t, kCamera + 9});
                add(trailer(b, 11), 0ms);
                break;
            case 1:  // packet 5 lost, asked for and resent
                add(leader(b), 0ms);
                for (std::uint32_t id = 1; id <= 10; ++id)
                    if (id != 5) add(data(b, id), 0ms);
                add(trailer(b, 11), 0ms);
                add({}, 20ms);
                add(data(b, 5), 21ms);
                break;
            case 2:  // the camera stops mid-frame; ticks run into the resend budget
                add(leader(b), 0ms);
                for (std::uint32_t id = 1; id <= 5; ++id) add(data(b, id), 0ms);
                for (auto dt = 10ms; dt <= 110ms; dt += 10ms) add({}, dt);
                break;
            case 3:  // reordered, duplicated, a late packet of the block before, an error status,
                     // and the next block starting early (an underrun when the subscriber holds 3)
                add(data(b, 2), 0ms);
                add(leader(b), 0ms);
                add(data(b, 1), 0ms);
                add(leader(b + 1), 0ms);
                add(data(b, 1), 0ms);
                add(data(b - 1, 7), 0ms);
                add(packet(b, 3, 9, {}, false, 0x8001), 0ms);
                for (std::uint32_t id = 3; id <= 10; ++id) add(data(b, id), 1ms);
                add(trailer(b, 11), 1ms);
                add(Bytes(5, 0), 1ms);
                break;
        }
    }

    CountingSink sink;
    std::size_t allocations = 0;
    {
        testing::AllocationCounter counter;
        for (const Step& s : steps) {
            if (s.release) sink.held = {};
            else if (s.datagram.empty()) assembler.on_tick(t0 + s.at, sink);
            else assembler.on_datagram(s.datagram, s.source, kStreamPort, t0 + s.at, kWallNs, sink);
        }
        assembler.abort_all(sink);
        sink.held = {};
        allocations = counter.count();
    }
    EXPECT_EQ(allocations, 0u);
    const StreamStats& st = assembler.stats();
    EXPECT_GT(st.completed_frames, 150u);
    EXPECT_GT(st.failed_frames, 50u);
    EXPECT_GT(st.resend_requests, 50u);
    EXPECT_GT(st.resent_packets, 50u);
    EXPECT_GT(st.resend_ratio_reached, 50u);
    EXPECT_GT(st.duplicated_packets, 50u);
    EXPECT_GT(st.error_packets, 50u);
    EXPECT_GT(st.underruns, 0u);
    EXPECT_EQ(assembler.pool().available(), 4u);
}

}  // namespace
}  // namespace oculane::stream_test
