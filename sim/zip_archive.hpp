#pragma once
// Builds a zip archive holding one file, deflated, the way camera makers ship
// their descriptions in device memory.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace oculane::sim {

// One member `name` holding `content`, compressed with raw DEFLATE (method 8),
// with a correct CRC-32, central directory and end record.
std::vector<std::uint8_t> make_zip(std::string_view name, std::span<const std::uint8_t> content);

}  // namespace oculane::sim
