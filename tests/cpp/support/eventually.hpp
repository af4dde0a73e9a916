#pragma once
// Polls a condition that has no event to wait on (a device-side flag, a
// counter another thread bumps), bounded so a broken build fails instead of
// hanging. Only for such conditions: where an event exists, wait on it.
#include <chrono>
#include <thread>

namespace oculane::testing {

template <class F>
bool eventually(F condition, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace oculane::testing
