// How long discovery takes against its timeout when nothing answers, with
// one and with eight adapters (loopback addresses; the probes go to a port
// nobody listens on, so no traffic leaves the host). All sockets are waited
// on together, so the ratio stays near 1 whatever the adapter count.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "gige/discovery/discovery.hpp"

using namespace oculane;
using namespace oculane::gige;
using Clock = std::chrono::steady_clock;

int main() {
    constexpr auto kTimeout = std::chrono::milliseconds(100);
    constexpr int kRuns = 5;
    for (int adapters : {1, 8}) {
        DiscoveryConfig config;
        config.adapters.emplace();
        for (int i = 0; i < adapters; ++i) {
            const std::uint32_t ip = 0x7F000001 + static_cast<std::uint32_t>(i);  // 127.0.0.1..
            config.adapters->push_back({"lo" + std::to_string(i), ip, 0xFF000000, ip});
        }
        config.limited_broadcast = false;
        config.device_port = 9;  // discard: nothing answers
        config.timeout = kTimeout;
        double worst = 0, total = 0;
        for (int run = 0; run < kRuns; ++run) {
            const auto t0 = Clock::now();
            const auto r = discover(config);
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            if (!r) {
                std::printf("discovery failed: %s\n", r.error().to_string().c_str());
                return 1;
            }
            worst = std::max(worst, ms);
            total += ms;
        }
        std::printf("%d adapter(s): %6.1f ms mean, %6.1f ms worst for a %lld ms timeout   %5.2fx the timeout\n",
                    adapters, total / kRuns, worst, static_cast<long long>(kTimeout.count()),
                    total / kRuns / static_cast<double>(kTimeout.count()));
    }
    return 0;
}
