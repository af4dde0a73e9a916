#pragma once
// Byte encodings of register values: integers of 1 to 8 bytes in either byte
// order, bit fields inside them, sign extension, and IEEE floats of 4 and 8
// bytes. Pure functions with no node-map or device knowledge; failures are
// plain texts that the node evaluation wraps in the owning node's error.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace oculane::regcodec {

using Bytes = std::vector<std::uint8_t>;

// Bit positions counted from the least significant bit of the assembled
// register value, both inclusive.
struct BitRange {
    std::int64_t low = 0;
    std::int64_t high = 0;
};

// The unsigned value of 1 to 8 bytes. Big-endian: the first byte is the most
// significant; little-endian: the last one is.
std::uint64_t load_u64(std::span<const std::uint8_t> bytes, bool big_endian);

// The `length` least significant bytes of `value` in the given byte order
// (length at most 8).
Bytes store_u64(std::uint64_t value, std::size_t length, bool big_endian);

// Turns the description's bit numbers into positions from the least
// significant bit. Big-endian descriptions count from the most significant
// bit, so the numbers are mirrored there. Fails with
// "bad bit range {low}..{high} for {n} bytes" when the range does not fit.
std::expected<BitRange, std::string> normalise_bits(std::size_t n_bytes, bool big_endian,
                                                    std::optional<std::uint32_t> lsb,
                                                    std::optional<std::uint32_t> msb);

// The smallest and largest values a field of these bits reads as. A field of
// all 64 bits reads as a signed number whatever its sign flag (decode_int),
// so an unsigned one is taken to reach the largest signed value only.
std::pair<std::int64_t, std::int64_t> field_range(const BitRange& bits, bool is_signed);

// Reads an integer field. Fails for lengths outside 1..8
// ("unsupported integer register length {}") and for bad bit ranges.
std::expected<std::int64_t, std::string> decode_int(std::span<const std::uint8_t> bytes,
                                                    bool big_endian,
                                                    std::optional<std::uint32_t> lsb,
                                                    std::optional<std::uint32_t> msb,
                                                    bool is_signed);

// Two's-complement bits of `value` in `length` bytes; higher bits are dropped.
std::expected<Bytes, std::string> encode_int(std::int64_t value, std::int64_t length,
                                             bool big_endian);

// `current` with the bit field replaced by the low bits of `value`; bits of
// the value that do not fit the field are dropped.
std::expected<Bytes, std::string> insert_int(std::span<const std::uint8_t> current,
                                             std::int64_t value, bool big_endian,
                                             std::optional<std::uint32_t> lsb,
                                             std::optional<std::uint32_t> msb);

// IEEE single (4 bytes, widened) or double (8 bytes) in the given byte order.
// Fails with "unsupported float register length {}" for other lengths.
std::expected<double, std::string> decode_float(std::span<const std::uint8_t> bytes,
                                                bool big_endian);
std::expected<Bytes, std::string> encode_float(double value, std::int64_t length,
                                               bool big_endian);

// Round to nearest (halves away from zero) and saturate to signed 64-bit;
// NaN gives 0.
std::int64_t saturating_round(double value);

}  // namespace oculane::regcodec
