// Formula compile and evaluation rates, with the same arithmetic written in
// plain C++ measured in the same run as the baseline.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "genicam/evaluator.hpp"

using namespace oculane;
using Clock = std::chrono::steady_clock;

namespace {

// Runs `body(i)` in growing batches until about `seconds` have passed;
// returns calls per second.
template <class Body>
double rate(double seconds, Body&& body) {
    std::uint64_t calls = 0;
    std::uint64_t batch = 1024;
    auto start = Clock::now();
    double elapsed = 0;
    while (elapsed < seconds) {
        for (std::uint64_t i = 0; i < batch; ++i) body(calls + i);
        calls += batch;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed < seconds / 10) batch *= 2;
    }
    return static_cast<double>(calls) / elapsed;
}

volatile std::int64_t g_sink;

}  // namespace

int main() {
    const char* kFormula = "(Width + Offset) * Height >> 3";
    const char* kTypical = "(SEL = 0) ? (RAW * 1000 / DIV) : ((RAW + 0x100) & 0xFFF0) * 2";

    // Compile rate.
    std::size_t compile_failures = 0;
    double compile_short = rate(0.3, [&](std::uint64_t) { compile_failures += !Expr::parse(kFormula); });
    double compile_long = rate(0.3, [&](std::uint64_t) { compile_failures += !Expr::parse(kTypical); });

    // Evaluation rate, variables bound positionally as the node layer does.
    auto expr = Expr::parse(kFormula);
    if (!expr || expr->variables().size() != 3) {
        std::fprintf(stderr, "formula did not compile as expected\n");
        return 1;
    }
    Number values[3] = {Number::from_int(640), Number::from_int(16), Number::from_int(480)};
    std::int64_t acc = 0;
    std::size_t eval_failures = 0;
    double eval_rate = rate(0.5, [&](std::uint64_t i) {
        values[1] = Number::from_int(static_cast<std::int64_t>(i & 63));
        auto r = expr->eval(values);
        if (r) acc += r->int_value();
        else ++eval_failures;
    });
    g_sink = acc;

    // Baseline: the same arithmetic in plain C++ with the same input changes.
    volatile std::int64_t width = 640, height = 480;
    std::int64_t acc2 = 0;
    double native_rate = rate(0.5, [&](std::uint64_t i) {
        std::int64_t offset = static_cast<std::int64_t>(i & 63);
        acc2 += ((width + offset) * height) >> 3;
    });
    g_sink = acc2;

    std::printf("formula compile: %.2f M/s for \"%s\"\n", compile_short / 1e6, kFormula);
    std::printf("formula compile: %.2f M/s for \"%s\"\n", compile_long / 1e6, kTypical);
    std::printf("formula eval:    %.1f M/s (three operators, three variables; target >= 10 M/s)\n",
                eval_rate / 1e6);
    std::printf("native baseline: %.1f M/s; eval runs at %.3f of native speed (%.1fx slower)\n",
                native_rate / 1e6, eval_rate / native_rate, native_rate / eval_rate);
    if (compile_failures || eval_failures) {
        std::fprintf(stderr, "unexpected failures: %zu compile, %zu eval\n", compile_failures, eval_failures);
        return 1;
    }
    return 0;
}
