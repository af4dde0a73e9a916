// Cost of the virtual camera's device core per command, next to a baseline
// measured in the same run: parsing the command and encoding an acknowledge
// of the same size, the least any responder does. No sockets are involved.
#include <chrono>
#include <cstdio>
#include <vector>

#include "gige/proto/gvcp.hpp"
#include "sim/device.hpp"

using namespace oculane;
using namespace oculane::sim;
using BenchClock = std::chrono::steady_clock;

namespace {

volatile std::size_t g_sink;

template <class F>
double ns_per_op(F&& f, int iters) {
    for (int i = 0; i < iters / 10; ++i) f(i);
    const auto t0 = BenchClock::now();
    for (int i = 0; i < iters; ++i) f(i);
    return std::chrono::duration<double, std::nano>(BenchClock::now() - t0).count() / iters;
}

void report(const char* name, double ns, double baseline_ns) {
    std::printf("%-30s %9.1f ns/command   %6.1fx parse + encode baseline\n", name, ns, ns / baseline_ns);
}

double baseline(const std::vector<std::uint8_t>& cmd, std::size_t payload, int iters) {
    const std::vector<std::uint8_t> data(payload, 0x5A);
    return ns_per_op(
        [&](int) {
            auto parsed = gvcp::parse_command(cmd);
            auto ack = gvcp::encode_ack(0, static_cast<std::uint16_t>(parsed->header.command + 1),
                                        parsed->header.request_id, data);
            g_sink = g_sink + ack.size();
        },
        iters);
}

}  // namespace

int main() {
    constexpr int kIters = 200'000;
    Device device(DeviceConfig{});
    const Endpoint host{0x7F000001, 40000};
    const auto now = Clock::now();

    const auto readreg = gvcp::encode_read_reg(std::vector<std::uint32_t>{0x0A00}, 1);
    const double reg = ns_per_op([&](int) { g_sink = g_sink + device.on_datagram(readreg, host, now).size(); }, kIters);
    report("READREG, 1 register", reg, baseline(readreg, 4, kIters));

    const auto readmem = gvcp::encode_read_mem(device.description_address(), 512, 2);
    const double mem = ns_per_op([&](int) { g_sink = g_sink + device.on_datagram(readmem, host, now).size(); }, kIters);
    report("READMEM, 512 bytes", mem, baseline(readmem, 516, kIters));

    device.clear_command_log();
    return 0;
}
