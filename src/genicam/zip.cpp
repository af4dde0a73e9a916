#include "genicam/zip.hpp"

#include <algorithm>
#include <optional>

#include <fmt/format.h>

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

    auto method = le(archive, cd + 10, 2);
    auto compressed = le(archive, cd + 20, 4);
    auto uncompressed = le(archive, cd + 24, 4);
    auto local = le(archive, cd + 42, 4);
    if (!method || !compressed || !uncompressed || !local) return fail("truncated archive");
    if (*uncompressed > kMaxDescriptionSize) return fail("archive entry too large");

    auto signature = le(archive, *local, 4);
    if (!signature) return fail("truncated archive");
    if (*signature != kLocalHeader) return fail("bad local file header");
    auto name_len = le(archive, std::uint64_t{*local} + 26, 2);
    auto extra_len = le(archive, std::uint64_t{*local} + 28, 2);
    if (!name_len || !extra_len) return fail("truncated archive");
    const std::uint64_t data = std::uint64_t{*local} + 30 + *name_len + *extra_len;
    if (data + *compressed > len) return fail("truncated archive data");
    auto bytes = archive.subspan(data, *compressed);

    switch (*method) {
        case 0: return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
        case 8: {
            auto out = inflate_raw(bytes, kMaxDescriptionSize, *uncompressed);
            if (!out) return std::unexpected("deflate: " + out.error());
            return std::move(*out);
        }
        default: return std::unexpected(fmt::format("unsupported compression method {}", *method));
    }
}

}  // namespace oculane
