#pragma once
// A stream's settings when its opener names none: written once here for the
// stream configuration, the frame assembler and the Python keyword defaults.

#include <chrono>
#include <cstddef>

#include "util/duration.hpp"

namespace oculane::stream_defaults {

// The first resend request waits this long for late packets (reordering).
inline constexpr Duration kResendDelay = std::chrono::milliseconds(1);
inline constexpr Duration kResendInterval = std::chrono::milliseconds(20);
inline constexpr Duration kFrameTimeout = std::chrono::milliseconds(100);
// Share of a frame's packets that may be asked for again.
inline constexpr double kResendRatio = 0.25;
inline constexpr std::size_t kBuffers = 8;

}  // namespace oculane::stream_defaults
