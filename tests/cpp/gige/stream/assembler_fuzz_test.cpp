// Random and mutated datagrams against the assembler. The run is short by
// default; OCULANE_FUZZ_ITERATIONS sets the number of datagrams per run
// (`make sanitize` uses 1,000,000 under ASan and UBSan).
#include <cstdlib>
#include <random>

#include <gtest/gtest.h>

#include "gige/proto/pixel_layout.hpp"
#include "stream_rig.hpp"
#include "support/fuzz.hpp"

namespace oculane::stream_test {
namespace {

using testing::fuzz_iterations;

// Checks every closed frame and resend command; keeps a few frames for a
// while like a slow subscriber.
class FuzzSink : public AssemblerSink {
public:
    explicit FuzzSink(const AssemblerConfig& c) : config(c) {}
    void send_resend(std::span<const std::uint8_t> command) override {
        ++resends;
        ASSERT_TRUE(command.size() == 20 || command.size() == 28) << command.size();
        const Resend r = decode_resend(command);
        EXPECT_EQ(r.channel, config.channel);
        EXPECT_GE(r.request_id, 65300);
        EXPECT_LE(r.first, r.last);
    }
    void frame_closed(FramePtr frame) override {
        ++closed;
        EXPECT_LE(static_cast<int>(frame->status()), static_cast<int>(FrameStatus::PayloadUnsupported));
        EXPECT_LE(frame->data().size(), config.payload_size);
        // A Complete image frame holds the whole image its leader announced.
        if (frame->is_complete() && frame->payload_class().kind == PayloadClass::Image) {
            EXPECT_GE(frame->data().size(), gvsp::image_data_size(frame->pixel_format(), frame->width(),
                                                                  frame->height(), frame->x_padding()));
        }
        EXPECT_EQ(frame->buffer().size(), config.payload_size);
        if (frame->frame_id() % 5 == 0) held[next++ % held.size()] = std::move(frame);
    }
    std::size_t held_count() const {
        return static_cast<std::size_t>(std::count_if(held.begin(), held.end(), [](const FramePtr& f) { return f != nullptr; }));
    }
    AssemblerConfig config;
    std::size_t resends = 0, closed = 0, next = 0;
    std::array<FramePtr, 2> held;
};

struct Variant {
    const char* name;
    std::function<void(AssemblerConfig&)> configure;
};

TEST(FrameAssemblerFuzz, RandomAndMutatedDatagrams) {
    const Variant variants[] = {
        {"defaults", [](AssemblerConfig&) {}},
        {"resend off", [](AssemblerConfig& c) { c.resend_enabled = false; }},
        {"odd payload, two buffers, whole budget, channel 2",
         [](AssemblerConfig& c) {
             c.payload_size = 950;
             c.n_buffers = 2;
             c.resend_ratio = 1.0;
             c.channel = 2;
         }},
        {"small packets", [](AssemblerConfig& c) {
             c.packet_size = 60;  // 24 data bytes standard, 12 extended
             c.payload_size = 300;
             c.resend_delay = 0ms;
         }},
    };
    const std::size_t per_variant = std::max<std::size_t>(fuzz_iterations() / std::size(variants), 1);
    for (std::size_t v = 0; v < std::size(variants); ++v) {
        SCOPED_TRACE(variants[v].name);
        AssemblerConfig config = small_config();
        variants[v].configure(config);
        auto assembler = FrameAssembler::create(config).value();
        FuzzSink sink(config);
        std::mt19937_64 rng(0x5EED0000 + v);
        auto below = [&](std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng); };
        const Instant t0 = Instant{} + 1000s;
        Duration t{};
        std::uint64_t block = 1, from_camera = 0;
        const std::uint32_t n_data = static_cast<std::uint32_t>(
            (config.payload_size + gvsp::bytes_per_packet(config.packet_size, false) - 1) /
            gvsp::bytes_per_packet(config.packet_size, false));

        for (std::size_t i = 0; i < per_variant; ++i) {
            t += below(10) == 0 ? std::chrono::microseconds(below(200'000)) : std::chrono::microseconds(below(3000));
            const std::uint64_t roll = below(100);
            if (roll < 5) {
                assembler.on_tick(t0 + t, sink);
                // A tick does all that is due: the worker, which waits until
                // the next deadline, would otherwise spin.
                const auto next = assembler.next_deadline();
                ASSERT_TRUE(!next || *next > t0 + t) << "after tick " << i;
                continue;
            }
            // The camera's block id mostly walks forward, sometimes jumps.
            if (below(20) == 0) block += below(3);
            if (below(500) == 0) block += below(70000);
            const bool extended = below(10) == 0;
            const std::uint64_t b = below(8) == 0 ? block - below(150) : block;
            Bytes d;
            if (roll < 90) {
                switch (below(6)) {
                    case 0: d = leader(b, extended, below(4) == 0 ? static_cast<std::uint16_t>(below(8)) : 1); break;
                    case 1: d = trailer(b, static_cast<std::uint32_t>(below(4) == 0 ? below(1 << 24) : n_data + 1 - below(3)), extended); break;
                    case 2: d = packet(b, 4, 0, Bytes(below(40), 0x5A), extended); break;
                    default: {
                        const auto id = static_cast<std::uint32_t>(below(16) == 0 ? below(1 << 24) : 1 + below(n_data + 1));
                        d = data(b, std::max<std::uint32_t>(id, 1), below(6) == 0 ? below(300) : gvsp::bytes_per_packet(config.packet_size, extended), extended);
                        if (id == 0) d[7] = 0;
                    }
                }
                if (roll >= 60) {  // mutate
                    const std::uint64_t flips = 1 + below(4);
                    for (std::uint64_t k = 0; k < flips && !d.empty(); ++k) d[below(d.size())] ^= static_cast<std::uint8_t>(1 + below(255));
                    if (below(4) == 0) d.resize(below(d.size() + 40));
                    if (below(8) == 0 && d.size() >= 2) {
                        static constexpr std::uint16_t kStatuses[] = {0x800C, 0x8011, 0x8012, 0x8001, 0x0001};
                        const std::uint16_t s = kStatuses[below(std::size(kStatuses))];
                        d[0] = static_cast<std::uint8_t>(s >> 8);
                        d[1] = static_cast<std::uint8_t>(s);
                    }
                }
            } else {
                d.resize(below(300));
                for (auto& byte : d) byte = static_cast<std::uint8_t>(below(256));
            }
            const std::uint32_t source = below(50) == 0 ? kCamera + 1 : kCamera;
            from_camera += source == kCamera;
            if (below(64) == 0) sink.held = {};
            const std::uint16_t port = below(50) == 0 ? kStreamPort + 1 : kStreamPort;
            assembler.on_datagram(d, source, port, t0 + t, kWallNs, sink);

            // Every buffer is free, in flight or held by the subscriber.
            ASSERT_EQ(assembler.pool().available() + assembler.frames_in_flight() + sink.held_count(), config.n_buffers)
                << "after datagram " << i;
        }
        const StreamStats& s = assembler.stats();
        EXPECT_EQ(s.packets, from_camera);
        assembler.abort_all(sink);
        EXPECT_EQ(s.completed_frames + s.failed_frames + s.aborted_frames, sink.closed);
        EXPECT_LE(s.timed_out_frames, s.failed_frames);
        sink.held = {};
        EXPECT_EQ(assembler.pool().available(), config.n_buffers);
        // The run must have reached the interesting paths, not just the parser.
        EXPECT_GT(s.completed_frames + s.failed_frames, 0u);
        EXPECT_GT(s.error_packets, 0u);
        EXPECT_GT(s.duplicated_packets, 0u);
        EXPECT_GT(s.ignored_packets, 0u);
    }
}

}  // namespace
}  // namespace oculane::stream_test
