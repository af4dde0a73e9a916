// Frame assembly cost per packet, next to a baseline measured in the same
// run: memcpy of the same payload bytes to the same offsets of a frame-sized
// buffer (the one copy the assembler has to make anyway). No sockets: this is
// the per-packet work after the datagram is in memory.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gige/proto/gvsp.hpp"
#include "gige/stream/frame_assembler.hpp"

using namespace oculane;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint16_t kStreamPort = 40001;  // the camera's stream socket

class CountingSink : public AssemblerSink {
public:
    void send_resend(std::span<const std::uint8_t>) override { ++resends; }
    void frame_closed(FramePtr frame) override { complete += frame->is_complete(); }
    std::size_t resends = 0, complete = 0;
};

struct Frame {
    std::vector<Bytes> datagrams;  // in the order they are fed
    std::vector<std::uint64_t> offsets;  // data offset per datagram, or ~0 for leader and trailer
};

// One 1920x1080 Mono8 frame cut into packets of `packet_size`. With
// `reorder_every`, every n-th data packet comes after the trailer instead,
// as a resent packet would.
Frame make_frame(std::uint64_t payload, std::uint32_t packet_size, std::size_t reorder_every) {
    const std::size_t bpp = gvsp::bytes_per_packet(packet_size, false);
    const auto n_data = static_cast<std::uint32_t>((payload + bpp - 1) / bpp);
    auto packet = [](std::uint8_t format, std::uint32_t id, std::size_t n) {
        Bytes d(gvsp::kHeaderSize + n, 0x11);
        gvsp::encode_header(d, {0, 1, format, id, false});
        return d;
    };
    Frame f;
    Bytes lead = packet(1, 0, gvsp::kLeaderImageSize);
    gvsp::LeaderInfo info;
    info.payload_type = 1;
    info.pixel_format = gvsp::pixel::kMono8;
    info.width = 1920;
    info.height = 1080;
    gvsp::encode_leader(std::span(lead).subspan(gvsp::kHeaderSize), 1, info);
    f.datagrams.push_back(lead);
    f.offsets.push_back(~0ull);
    std::vector<std::uint32_t> late;
    for (std::uint32_t id = 1; id <= n_data; ++id) {
        if (reorder_every != 0 && id % reorder_every == 0) {
            late.push_back(id);
            continue;
        }
        const std::uint64_t off = std::uint64_t{id - 1} * bpp;
        f.datagrams.push_back(packet(3, id, std::min<std::uint64_t>(bpp, payload - off)));
        f.offsets.push_back(off);
    }
    Bytes trail = packet(2, n_data + 1, gvsp::kTrailerImageSize);
    f.datagrams.push_back(trail);
    f.offsets.push_back(~0ull);
    for (std::uint32_t id : late) {
        const std::uint64_t off = std::uint64_t{id - 1} * bpp;
        f.datagrams.push_back(packet(3, id, std::min<std::uint64_t>(bpp, payload - off)));
        f.offsets.push_back(off);
    }
    return f;
}

void set_block(Frame& f, std::uint16_t block) {
    for (Bytes& d : f.datagrams) {
        d[2] = static_cast<std::uint8_t>(block >> 8);
        d[3] = static_cast<std::uint8_t>(block);
    }
}

struct Result {
    double assembler_ns = 0, memcpy_ns = 0;
    std::size_t complete = 0, frames = 0, resends = 0;
};

Result run(std::uint32_t packet_size, std::size_t reorder_every, int frames) {
    constexpr std::uint64_t kPayload = 1920 * 1080;
    Frame f = make_frame(kPayload, packet_size, reorder_every);
    const std::size_t n = f.datagrams.size();

    AssemblerConfig config;
    config.payload_size = kPayload;
    config.packet_size = packet_size;
    config.camera_ip = 0x7F000002;
    config.n_buffers = 4;
    auto assembler = FrameAssembler::create(config).value();
    CountingSink sink;
    std::vector<std::uint8_t> dst(kPayload);

    // Each frame is timed on its own, the two sides interleaved; the median
    // frame of each side is reported, so a preempted frame does not count.
    std::vector<double> asm_frames, copy_frames;
    Instant now = Instant{} + std::chrono::seconds(1000);
    std::uint16_t block = 0;
    for (int i = 0; i < frames; ++i) {
        block = static_cast<std::uint16_t>(block == 0xFFFF ? 1 : block + 1);
        set_block(f, block);
        auto assemble = [&] {
            const auto t0 = Clock::now();
            for (std::size_t k = 0; k < n; ++k) {
                // A camera at 10 GigE line rate: 0.8 ns per byte.
                now += std::chrono::nanoseconds(packet_size * 8 / 10);
                assembler.on_datagram(f.datagrams[k], config.camera_ip, kStreamPort, now, 0, sink);
            }
            asm_frames.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
        };
        auto copy = [&] {
            const auto t0 = Clock::now();
            for (std::size_t k = 0; k < n; ++k) {
                if (f.offsets[k] == ~0ull) continue;
                const auto payload = std::span(f.datagrams[k]).subspan(gvsp::kHeaderSize);
                std::memcpy(dst.data() + f.offsets[k], payload.data(), payload.size());
            }
            copy_frames.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
        };
        // Whichever runs second finds the datagrams in cache: alternate.
        if (i % 2 == 0) {
            assemble();
            copy();
        } else {
            copy();
            assemble();
        }
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    volatile std::uint8_t keep = dst[12345];
    (void)keep;
    return {median(asm_frames) / static_cast<double>(n), median(copy_frames) / static_cast<double>(n), sink.complete,
            static_cast<std::size_t>(frames), sink.resends};
}

}  // namespace

int main(int argc, char** argv) {
    // An argument picks one case (0, 1, 2), for profiling.
    const int only = argc > 1 ? std::atoi(argv[1]) : -1;
    std::printf("frame assembly, 1920x1080 Mono8 frames (median frame)\n");
    const struct {
        const char* name;
        std::uint32_t packet_size;
        std::size_t reorder_every;
        int frames;
    } cases[] = {
        {"1500-byte packets, in order", 1500, 0, 301},
        {"9000-byte packets, in order", 9000, 0, 301},
        {"1500-byte packets, 1% after the trailer", 1500, 100, 301},
    };
    for (int i = 0; i < static_cast<int>(std::size(cases)); ++i) {
        if (only >= 0 && i != only) continue;
        const auto& c = cases[i];
        const Result r = run(c.packet_size, c.reorder_every, c.frames);
        std::printf("%-40s %7.1f ns/packet   memcpy %7.1f ns/packet   %5.2fx   (%zu/%zu complete, %zu resend requests)\n",
                    c.name, r.assembler_ns, r.memcpy_ns, r.assembler_ns / r.memcpy_ns, r.complete, r.frames,
                    r.resends);
    }
    return 0;
}
