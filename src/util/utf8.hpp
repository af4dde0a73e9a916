#pragma once
// Text from devices: identity fields and description files are meant to be
// UTF-8 but nothing guarantees it, so they are decoded leniently.

#include <cstdint>
#include <span>
#include <string>

namespace oculane {

// UTF-8 with each maximal invalid subsequence (an overlong form, a surrogate, a
// value past U+10FFFF, a stray or truncated byte run) replaced by one U+FFFD.
// Zero bytes are kept; callers that want C-string semantics cut first.
std::string utf8_lossy(std::span<const std::uint8_t> bytes);

}  // namespace oculane
