// The baseline of bench_py_stream.py: the same stream (virtual camera on
// loopback, 1920x1080 Mono8, 1,500-byte packets, frames back to back)
// consumed by a C++ thread that takes every frame from its subscription and
// touches its pixels. Prints the frames the stream completed and the complete ones
// the consumer received, the drops, and the consumer thread's CPU time per frame, in one
// line that the Python benchmark reads.
//
//   bench_stream_consumer [--seconds S]
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "genicam/genicamera.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream/stream_channel.hpp"
#include "gige/stream/stream_stats.hpp"
#include "sim/device.hpp"
#include "sim/server.hpp"

#include "bench_camera.hpp"

using namespace oculane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kCameraIp = 0x7F2B0006;  // 127.43.0.6
constexpr std::uint32_t kWidth = 1920, kHeight = 1080;

double thread_cpu_seconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <class R>
bool ok(const R& r, const char* what) {
    if (r) return true;
    std::fprintf(stderr, "%s: %s\n", what, r.error().to_string().c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 3.0;
    if (argc > 2 && std::strcmp(argv[1], "--seconds") == 0) seconds = std::stod(argv[2]);

    sim::DeviceConfig cfg;
    cfg.ip = kCameraIp;
    cfg.sensor_width = cfg.width = kWidth;
    cfg.sensor_height = cfg.height = kHeight;
    auto running = bench::start_camera(cfg);
    if (!running) return 1;
    gige::GigESettings settings;
    settings.device = gige::IpAddress::v4(kCameraIp);
    GenICamera camera(settings);
    if (!ok(camera.connect_transport(), "connect") || !ok(camera.ensure_model(), "model")) return 1;
    if (!ok(camera.set_enum("PixelFormat", "Mono8"), "PixelFormat") ||
        !ok(camera.set_boolean("AcquisitionFrameRateEnable", false), "AcquisitionFrameRateEnable"))
        return 1;

    // The stream settings the Python layer uses, with a fixed packet size.
    StreamConfig config;
    config.n_buffers = 16;
    config.packet_size = 1500;
    if (!ok(camera.fill_payload_size(config), "PayloadSize")) return 1;
    auto stream = camera.transport().open_stream(config);
    if (!ok(stream, "open_stream")) return 1;
    FrameChannel frames = (*stream)->subscribe(config.n_buffers);
    if (!ok(camera.execute("AcquisitionStart"), "AcquisitionStart")) return 1;

    // The first frame waits for the camera; measure from there on.
    (void)frames.recv_timeout(std::chrono::seconds(5));
    const StreamStats first = (*stream)->stats();
    std::uint64_t received = 0, taken = 0;
    double cpu = 0, wall = 0;
    std::thread consumer([&] {
        const auto start = Clock::now();
        const double cpu0 = thread_cpu_seconds();
        std::uint64_t checksum = 0;
        while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
            auto frame = frames.recv_timeout(std::chrono::milliseconds(100));
            if (!frame) continue;
            ++taken;
            const auto data = (*frame)->data();
            checksum += data.empty() ? 0 : data[data.size() / 2];  // touch the pixels, as a view would
            if ((*frame)->is_complete()) ++received;
        }
        cpu = thread_cpu_seconds() - cpu0;
        wall = std::chrono::duration<double>(Clock::now() - start).count();
        if (checksum == 1) std::fprintf(stderr, " ");  // keeps the touch from being optimised away
    });
    consumer.join();
    const StreamStats last = (*stream)->stats();
    (void)camera.execute("AcquisitionStop");
    (*stream)->close();
    camera.disconnect(std::chrono::milliseconds(500));

    const auto completed = last.completed_frames - first.completed_frames;
    std::printf("C++ consumer: completed %llu received %llu dropped %llu failed %llu kernel_drops %llu fps %.1f "
                "cpu_us %.2f\n",
                static_cast<unsigned long long>(completed), static_cast<unsigned long long>(received),
                static_cast<unsigned long long>(last.frames_dropped - first.frames_dropped),
                static_cast<unsigned long long>(last.failed_frames - first.failed_frames),
                static_cast<unsigned long long>(last.kernel_drops - first.kernel_drops),
                static_cast<double>(completed) / wall, 1e6 * cpu / static_cast<double>(taken ? taken : 1));
    return 0;
}
