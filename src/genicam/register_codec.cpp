#include "genicam/register_codec.hpp"

#include <bit>
#include <cmath>
#include <limits>

#include <fmt/format.h>

namespace oculane::regcodec {

namespace {

std::string bad_int_length(std::int64_t n) {
    return fmt::format("unsupported integer register length {}", n);
}

}  // namespace

std::uint64_t load_u64(std::span<const std::uint8_t> bytes, bool big_endian) {
    std::uint64_t raw = 0;
    const std::size_t n = bytes.size() < 8 ? bytes.size() : 8;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = big_endian ? bytes[i] : bytes[n - 1 - i];
        raw = (raw << 8) | b;
    }
    return raw;
}

Bytes store_u64(std::uint64_t value, std::size_t length, bool big_endian) {
    if (length > 8) length = 8;
    Bytes out(length);
    for (std::size_t i = 0; i < length; ++i) {
        const auto b = static_cast<std::uint8_t>(value >> (8 * i));
        out[big_endian ? length - 1 - i : i] = b;
    }
    return out;
}

std::expected<BitRange, std::string> normalise_bits(std::size_t n_bytes, bool big_endian,
                                                    std::optional<std::uint32_t> lsb,
                                                    std::optional<std::uint32_t> msb) {
    const std::int64_t b = static_cast<std::int64_t>(n_bytes) * 8;
    BitRange r;
    if (!big_endian) {
        if (lsb) {
            r.low = *lsb;
            r.high = msb ? *msb : *lsb;
        } else {
            r.low = 0;
            r.high = msb ? static_cast<std::int64_t>(*msb) : b - 1;
        }
    } else {
        if (lsb) {
            r.low = b - 1 - static_cast<std::int64_t>(*lsb);
            r.high = b - 1 - static_cast<std::int64_t>(msb ? *msb : *lsb);
        } else if (msb) {
            r.low = r.high = b - 1 - static_cast<std::int64_t>(*msb);
        } else {
            r.low = 0;
            r.high = b - 1;
        }
    }
    // A mirrored big-endian bit number beyond the register width turns
    // negative; it is as wrong as one past the top and must not reach a shift.
    if (r.high >= b || r.high < r.low || r.low < 0)
        return std::unexpected(fmt::format("bad bit range {}..{} for {} bytes", r.low, r.high, n_bytes));
    return r;
}

std::expected<std::int64_t, std::string> decode_int(std::span<const std::uint8_t> bytes,
                                                    bool big_endian,
                                                    std::optional<std::uint32_t> lsb,
                                                    std::optional<std::uint32_t> msb,
                                                    bool is_signed) {
    const std::size_t n = bytes.size();
    if (n < 1 || n > 8) return std::unexpected(bad_int_length(static_cast<std::int64_t>(n)));
    const std::uint64_t raw = load_u64(bytes, big_endian);
    auto range = normalise_bits(n, big_endian, lsb, msb);
    if (!range) return std::unexpected(std::move(range.error()));
    const std::int64_t w = range->high - range->low;
    if (w >= 63) return static_cast<std::int64_t>(raw);
    const std::uint64_t mask = (std::uint64_t{1} << (w + 1)) - 1;
    std::uint64_t field = (raw >> range->low) & mask;
    if (is_signed && ((field >> w) & 1)) field |= ~mask;
    return static_cast<std::int64_t>(field);
}

std::pair<std::int64_t, std::int64_t> field_range(const BitRange& bits, bool is_signed) {
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    const std::int64_t width = bits.high - bits.low + 1;
    if (is_signed) {
        if (width >= 64) return {kMin, kMax};
        const std::int64_t half = std::int64_t{1} << (width - 1);
        return {-half, half - 1};
    }
    if (width >= 63) return {0, kMax};
    return {0, (std::int64_t{1} << width) - 1};
}

std::expected<Bytes, std::string> encode_int(std::int64_t value, std::int64_t length,
                                             bool big_endian) {
    if (length < 1 || length > 8) return std::unexpected(bad_int_length(length));
    return store_u64(static_cast<std::uint64_t>(value), static_cast<std::size_t>(length), big_endian);
}

std::expected<Bytes, std::string> insert_int(std::span<const std::uint8_t> current,
                                             std::int64_t value, bool big_endian,
                                             std::optional<std::uint32_t> lsb,
                                             std::optional<std::uint32_t> msb) {
    const std::size_t n = current.size();
    if (n < 1 || n > 8) return std::unexpected(bad_int_length(static_cast<std::int64_t>(n)));
    const std::uint64_t raw = load_u64(current, big_endian);
    auto range = normalise_bits(n, big_endian, lsb, msb);
    if (!range) return std::unexpected(std::move(range.error()));
    const std::int64_t w = range->high - range->low;
    const std::uint64_t mask =
        w >= 63 ? ~std::uint64_t{0} : ((std::uint64_t{1} << (w + 1)) - 1) << range->low;
    const std::uint64_t shifted = static_cast<std::uint64_t>(value) << range->low;
    const std::uint64_t updated = (raw & ~mask) | (shifted & mask);
    return store_u64(updated, n, big_endian);
}

std::expected<double, std::string> decode_float(std::span<const std::uint8_t> bytes,
                                                bool big_endian) {
    const std::uint64_t raw = load_u64(bytes, big_endian);
    if (bytes.size() == 4)
        return static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(raw)));
    if (bytes.size() == 8) return std::bit_cast<double>(raw);
    return std::unexpected(fmt::format("unsupported float register length {}", bytes.size()));
}

std::expected<Bytes, std::string> encode_float(double value, std::int64_t length,
                                               bool big_endian) {
    if (length == 4)
        return store_u64(std::bit_cast<std::uint32_t>(static_cast<float>(value)), 4, big_endian);
    if (length == 8) return store_u64(std::bit_cast<std::uint64_t>(value), 8, big_endian);
    return std::unexpected(fmt::format("unsupported float register length {}", length));
}

std::int64_t saturating_round(double value) {
    if (std::isnan(value)) return 0;
    const double r = std::round(value);
    // 2^63 is exactly representable; everything at or above it saturates.
    if (r >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (r < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(r);
}

}  // namespace oculane::regcodec
