// Feature access through the camera facade against the virtual camera on
// loopback: cached and uncached integer reads beside the raw control-port
// register round trip, and the time to read every value feature of the
// description. Figures and ratios measured in one run; nothing is asserted.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "genicam/genicamera.hpp"
#include "sim/device.hpp"
#include "sim/server.hpp"

#include "bench_camera.hpp"

using namespace oculane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kCameraIp = 0x7F2B0002;  // 127.43.0.2
// A 4-byte register the description marks NoCache: every read is a READREG.
constexpr const char* kUncached = "AcquisitionStatusReg";
constexpr std::uint32_t kUncachedAddress = 0x10050;
constexpr const char* kCached = "Width";

template <class F>
double timed(F&& body) {
    const auto start = Clock::now();
    body();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    // "--raw": only the raw register round trip, one round, for a caller that
    // interleaves it with its own measurements.
    const bool raw_only = argc > 1 && std::string(argv[1]) == "--raw";
    sim::DeviceConfig cfg;
    cfg.ip = kCameraIp;
    auto running = bench::start_camera(cfg);
    if (!running) return 1;
    gige::GigESettings settings;
    settings.device = gige::IpAddress::v4(kCameraIp);
    GenICamera camera(settings);
    if (auto r = camera.connect_transport(); !r) {
        std::fprintf(stderr, "connect: %s\n", r.error().to_string().c_str());
        return 1;
    }
    const double load = timed([&] {
        if (auto r = camera.ensure_model(); !r) std::fprintf(stderr, "model: %s\n", r.error().to_string().c_str());
    });
    Genicam* map = camera.node_map();
    if (!map) return 1;
    const auto& port = camera.transport().connection()->port();

    constexpr int kReads = 2000;
    if (raw_only) {
        std::uint8_t word[4];
        for (int i = 0; i < 200; ++i) (void)port.read(kUncachedAddress, word);  // warm-up
        bool ok = true;
        const double t = timed([&] {
            for (int i = 0; i < kReads && ok; ++i) ok = port.read(kUncachedAddress, word).has_value();
        });
        camera.disconnect(std::chrono::milliseconds(500));
        if (!ok) return 1;
        std::printf("raw control-port register read %.0f /s\n", kReads / t);
        return 0;
    }

    // Value features, each read with the getter of its kind.
    std::vector<std::pair<std::string, int>> features;
    for (const Node& n : map->nodes()) {
        int kind = n.is<node_data::Integer>() ? 0 : n.is<node_data::Float>() ? 1 : n.is<node_data::Boolean>() ? 2
                 : (n.is<node_data::Enumeration>() || n.is<node_data::StringValue>()) ? 3 : -1;
        if (kind >= 0) features.emplace_back(n.name, kind);
    }
    auto read_all = [&] {
        bool ok = true;
        (void)camera.invalidate_caches();
        for (auto& [name, kind] : features) {
            switch (kind) {
                case 0: ok &= camera.get_integer(name).has_value(); break;
                case 1: ok &= camera.get_float(name).has_value(); break;
                case 2: ok &= camera.get_boolean(name).has_value(); break;
                default: ok &= camera.get_string(name).has_value(); break;
            }
        }
        return ok;
    };

    constexpr int kCachedReads = 200000;
    constexpr int kRounds = 7;
    for (int i = 0; i < 200; ++i) (void)camera.get_integer(kUncached);  // warm-up

    // Best of interleaved rounds, so a shared machine's noise hits subject and
    // baseline alike.
    double raw = 1e9, uncached = 1e9, cached = 1e9, all = 1e9;
    bool ok = true;
    for (int round = 0; round < kRounds && ok; ++round) {
        raw = std::min(raw, timed([&] {
                           std::uint8_t word[4];
                           for (int i = 0; i < kReads && ok; ++i) ok = port.read(kUncachedAddress, word).has_value();
                       }));
        uncached = std::min(uncached, timed([&] {
                                for (int i = 0; i < kReads && ok; ++i) ok = camera.get_integer(kUncached).has_value();
                            }));
        cached = std::min(cached, timed([&] {
                              for (int i = 0; i < kCachedReads && ok; ++i) ok = camera.get_integer(kCached).has_value();
                          }));
        all = std::min(all, timed([&] { read_all(); }));
    }
    if (!ok) {
        std::fprintf(stderr, "a read failed\n");
        return 1;
    }
    camera.disconnect(std::chrono::milliseconds(500));

    std::printf("facade get_integer, uncached: %.0f /s   (raw control-port register read %.0f /s)   ratio %.3fx\n",
                kReads / uncached, kReads / raw, uncached / raw);
    std::printf("facade get_integer, cached:   %.2f M/s  (%.0f ns a call)\n", kCachedReads / cached / 1e6,
                1e9 * cached / kCachedReads);
    std::printf("read every value feature (%zu, caches dropped first): %.2f ms\n", features.size(), 1000 * all);
    std::printf("description download and parse at connect: %.1f ms\n", 1000 * load);
    return 0;
}
