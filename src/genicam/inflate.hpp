#pragma once
// Raw DEFLATE (RFC 1951 data with no zlib or gzip framing), as found inside
// zip members.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace oculane {

// Inflates `input` into memory, refusing to produce more than `max_output`
// bytes; `size_hint` (the size the archive claims) only sizes the first
// allocation and is not trusted. The error is the inflater's own description
// of the failure, e.g. "invalid block type" or "output exceeds 67108864 bytes".
std::expected<std::vector<std::uint8_t>, std::string> inflate_raw(std::span<const std::uint8_t> input,
                                                                  std::size_t max_output,
                                                                  std::size_t size_hint = 0);

}  // namespace oculane
