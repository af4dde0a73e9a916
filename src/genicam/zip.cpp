#include "genicam/zip.hpp"

#include <algorithm>
#include <optional>

#include <fmt/format.h>
#include <zlib.h>

#include "genicam/inflate.hpp"

namespace oculane {

namespace {

constexpr std::uint32_t kEndOfCentralDir = 0x06054B50;
constexpr std::uint32_t kCentralDirEntry = 0x02014B50;
constexpr std::uint32_t kLocalHeader = 0x04034B50;
constexpr std::size_t kEndRecordSize = 22;
// The record ends the archive, followed only by a comment of at most 65,535 bytes.
constexpr std::size_t kMaxComment = 65535;

// Little-endian reads that fail instead of passing the end of the input.
std::optional<std::uint32_t> le(std::span<const std::uint8_t> b, std::uint64_t offset, unsigned width) {
    if (offset > b.size() || b.size() - offset < width) return std::nullopt;
    std::uint32_t v = 0;
    for (unsigned k = 0; k < width; ++k) v |= std::uint32_t{b[offset + k]} << (8 * k);
    return v;
}

std::unexpected<std::string> fail(const char* text) { return std::unexpected(std::string(text)); }

std::uint32_t crc32_of(std::span<const std::uint8_t> data) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes at most 4 GiB per call; descriptions are capped far below.
    constexpr std::size_t kChunk = std::size_t{1} << 30;
    for (std::size_t at = 0; at < data.size(); at += kChunk) {
        const std::size_t n = std::min(kChunk, data.size() - at);
        crc = crc32(crc, data.data() + at, static_cast<uInt>(n));
    }
    return static_cast<std::uint32_t>(crc);
}

}  // namespace

std::expected<std::vector<std::uint8_t>, std::string> extract_first_file(std::span<const std::uint8_t> archive) {
    const std::size_t len = archive.size();
    if (len < kEndRecordSize) return fail("no end-of-central-directory record");

    const std::size_t last = len - kEndRecordSize;
    const std::size_t lowest = last > kMaxComment ? last - kMaxComment : 0;
    std::optional<std::size_t> end_record;
    for (std::size_t at = last + 1; at-- > lowest;) {
        if (*le(archive, at, 4) == kEndOfCentralDir) {
            end_record = at;
            break;
        }
    }
    if (!end_record) return fail("no end-of-central-directory record");

    const std::uint32_t entries = *le(archive, *end_record + 10, 2);
    const std::uint64_t cd = *le(archive, *end_record + 16, 4);
    if (entries == 0) return fail("empty archive");
    if (cd + 4 > len) return fail("truncated archive");
    if (*le(archive, cd, 4) != kCentralDirEntry) return fail("bad central directory");

    auto flags = le(archive, cd + 8, 2);
    auto crc = le(archive, cd + 16, 4);
    auto method = le(archive, cd + 10, 2);
    auto compressed = le(archive, cd + 20, 4);
    auto uncompressed = le(archive, cd + 24, 4);
    auto local = le(archive, cd + 42, 4);
    if (!flags || !crc || !method || !compressed || !uncompressed || !local) return fail("truncated archive");
    // Bit 0 of the flags: the data is encrypted, and there is no key.
    if (*flags & 1u) return fail("encrypted archive entry");
    if (*uncompressed > kMaxDescriptionSize) return fail("archive entry too large");

    auto signature = le(archive, *local, 4);
    if (!signature) return fail("truncated archive");
    if (*signature != kLocalHeader) return fail("bad local file header");
    auto local_flags = le(archive, std::uint64_t{*local} + 6, 2);
    if (!local_flags) return fail("truncated archive");
    if (*local_flags & 1u) return fail("encrypted archive entry");
    auto name_len = le(archive, std::uint64_t{*local} + 26, 2);
    auto extra_len = le(archive, std::uint64_t{*local} + 28, 2);
    if (!name_len || !extra_len) return fail("truncated archive");
    const std::uint64_t data = std::uint64_t{*local} + 30 + *name_len + *extra_len;
    if (data + *compressed > len) return fail("truncated archive data");
    auto bytes = archive.subspan(data, *compressed);

    std::vector<std::uint8_t> out;
    switch (*method) {
        case 0: out.assign(bytes.begin(), bytes.end()); break;
        case 8: {
            auto inflated = inflate_raw(bytes, kMaxDescriptionSize, *uncompressed);
            if (!inflated) return std::unexpected("deflate: " + inflated.error());
            out = std::move(*inflated);
            break;
        }
        default: return std::unexpected(fmt::format("unsupported compression method {}", *method));
    }
    // A damaged transfer or archive must not pass for a description.
    const auto actual = crc32_of(out);
    if (actual != *crc)
        return std::unexpected(fmt::format("CRC-32 mismatch: entry says {:08x}, data gives {:08x}", *crc, actual));
    return out;
}

}  // namespace oculane
