#pragma once
// The part of the zip format a camera description needs: the first member
// named in the central directory, stored or deflated.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace oculane {

// The largest member we unpack (64 MiB); the same cap holds for descriptions
// read directly from device memory or a local file.
inline constexpr std::size_t kMaxDescriptionSize = std::size_t{64} << 20;

// The first member's contents. Errors: "no end-of-central-directory record",
// "empty archive", "truncated archive", "bad central directory", "archive
// entry too large", "bad local file header", "truncated archive data",
// "deflate: {inflater's text}", "unsupported compression method {}".
std::expected<std::vector<std::uint8_t>, std::string> extract_first_file(std::span<const std::uint8_t> archive);

}  // namespace oculane
