#pragma once
// Turns the text of a camera description into a node map. A fixed subset of
// the description schema is recognised; everything else is ignored without
// complaint. Three nodes the library itself relies on are added when the
// description lacks them. Never touches the device.

#include <cstdint>
#include <optional>
#include <string_view>

#include "error/genicam_error.hpp"
#include "genicam/node.hpp"

namespace oculane {

// Malformed XML fails with DescriptionError ("device description: " and the
// XML layer's message with its position); everything else is tolerated.
GenicamResult<Genicam> parse_description(std::string_view text);

// The integer syntax of descriptions: "0x"/"0X" hexadecimal (an optional '+'
// after the prefix), read as 64 unsigned bits and kept with the same bits as
// a signed value; otherwise decimal with an optional sign. Surrounding white
// space is trimmed. Absent when invalid or out of range.
std::optional<std::int64_t> parse_description_int(std::string_view text);
// Decimal floating point (optional sign, fraction, exponent; inf, infinity
// and nan in any case). Absent when invalid.
std::optional<double> parse_description_float(std::string_view text);

}  // namespace oculane
