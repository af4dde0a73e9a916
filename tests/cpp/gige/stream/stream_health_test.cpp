// What the stream worker says about a stream's troubles, and how often: each
// case drives StreamHealth with synthetic instants and counters and lists the
// log lines it must produce, in order.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gige/stream/stream_health.hpp"
#include "thread_util/log_capture.hpp"

namespace oculane {
namespace {

using namespace std::chrono_literals;
using FS = FrameStatus;

struct Step {
    int at_ms;
    std::vector<FrameStatus> closed{};  // frames closed just before
    // The counters at this instant (absolute, as the worker keeps them).
    std::uint64_t kernel_drops = 0;
    std::uint64_t underruns = 0;
    std::uint64_t resend_requests = 0;
    std::uint64_t resent_packets = 0;
    bool flush = false;  // the stream ends here
};

struct Case {
    const char* name;
    log::Level level;
    std::vector<Step> steps;
    std::vector<std::string> lines;  // each line contains this text
};

const std::string kStarved = "frame pool of stream channel 3 exhausted: 2 of 4 buffers are in frames not yet released";

const Case kCases[] = {
    {"failed frames: the first at once, the rest held back and counted in the next",
     log::Level::Warn,
     {{100, {FS::MissingPackets, FS::Complete, FS::Aborted}},
      {2000, {FS::Timeout, FS::WrongPacketId}},
      {5000, {FS::MissingPackets}},
      {10100}},
     {"stream channel 3: 1 frame failed in the last 0.1 s (1 MissingPackets)",
      "stream channel 3: 3 frames failed in the last 10.0 s (1 MissingPackets, 1 Timeout, 1 WrongPacketId)"}},
    {"the end of the stream reports what is held back",
     log::Level::Warn,
     {{100, {FS::Timeout}}, {200, {FS::Timeout}}, {300, {}, 0, 0, 0, 0, true}},
     {"1 frame failed in the last 0.1 s (1 Timeout)", "1 frame failed in the last 0.2 s (1 Timeout)"}},
    {"nothing failed, nothing said",
     log::Level::Trace,
     {{100, {FS::Complete}}, {20000, {FS::Aborted}, 0, 0, 0, 0, true}},
     {}},
    {"kernel drops, counted since the last warning",
     log::Level::Warn,
     {{0, {}, 5}, {1000, {}, 9}, {10000, {}, 9}, {10500, {}, 10, 0, 0, 0, true}},
     {"the kernel dropped 5 datagrams in the last 0.0 s", "the kernel dropped 4 datagrams in the last 10.0 s",
      "the kernel dropped 1 datagram in the last 0.5 s"}},
    {"a starved pool: warned at most every 10 s, not again at the end",
     log::Level::Warn,
     {{0, {}, 0, 3}, {5000, {}, 0, 10}, {6000, {}, 0, 10, 0, 0, true}, {10000, {}, 0, 11}},
     {kStarved + " (kept by the application or queued unread), so 3 new frames were dropped",
      kStarved + " (kept by the application or queued unread), so 8 new frames were dropped"}},
    {"resends summed up at debug, at most every second",
     log::Level::Debug,
     {{100, {}, 0, 0, 2, 1}, {600, {}, 0, 0, 5, 2}, {1100, {}, 0, 0, 5, 5}, {1500, {}, 0, 0, 6, 6, true}},
     {"stream channel 3: 2 packets asked for again in the last 0.1 s: 1 arrived, 0 unavailable",
      "stream channel 3: 3 packets asked for again in the last 1.0 s: 4 arrived",
      "stream channel 3: 1 packet asked for again in the last 0.4 s: 1 arrived"}},
    {"without debug, no resend summary",
     log::Level::Warn,
     {{100, {}, 0, 0, 2, 1}, {3000, {}, 0, 0, 40, 30, true}},
     {}},
};

class StreamHealthTest : public ::testing::TestWithParam<Case> {};

TEST_P(StreamHealthTest, SaysWhatHappenedAsOftenAsAllowed) {
    const Case& c = GetParam();
    const Instant t0{std::chrono::seconds(1000)};
    test::LogCapture logs(c.level);
    StreamHealth health(3, t0);
    StreamStats stats;
    for (const Step& step : c.steps) {
        for (FrameStatus s : step.closed) health.frame_closed(s);
        stats.kernel_drops = step.kernel_drops;
        stats.underruns = step.underruns;
        stats.resend_requests = step.resend_requests;
        stats.resent_packets = step.resent_packets;
        const Instant now = t0 + std::chrono::milliseconds(step.at_ms);
        const PoolUse pool{4, 2};
        if (step.flush) health.flush(now, stats, pool);
        else health.tick(now, stats, pool);
    }
    std::vector<std::string> got;
    for (const auto& line : logs.lines()) got.push_back(line.message);
    ASSERT_EQ(got.size(), c.lines.size()) << ::testing::PrintToString(got);
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_NE(got[i].find(c.lines[i]), std::string::npos) << got[i] << "\nshould contain\n" << c.lines[i];
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamHealthTest, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return "case" + std::to_string(param.index); });

}  // namespace
}  // namespace oculane
