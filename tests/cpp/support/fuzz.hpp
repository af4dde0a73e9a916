#pragma once
// How many inputs a fuzz test feeds: OCULANE_FUZZ_ITERATIONS when set to a
// positive number (a million under `make sanitize`), else the test's own
// default, small enough for the ordinary run.
#include <cstddef>
#include <cstdlib>

namespace oculane::testing {

inline std::size_t fuzz_iterations(std::size_t fallback = 50'000) {
    if (const char* env = std::getenv("OCULANE_FUZZ_ITERATIONS")) {
        char* end = nullptr;
        const unsigned long long n = std::strtoull(env, &end, 10);
        if (end != env && *end == '\0' && n > 0) return static_cast<std::size_t>(n);
    }
    return fallback;
}

}  // namespace oculane::testing
