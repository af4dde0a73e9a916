#include "sim/zip_archive.hpp"

#include <stdexcept>

#include <zlib.h>

namespace oculane::sim {
namespace {

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

std::vector<std::uint8_t> deflate_raw(std::span<const std::uint8_t> in) {
    z_stream zs{};
    // windowBits -15: a bare DEFLATE stream, which is what a zip member holds.
    if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::vector<std::uint8_t> out(deflateBound(&zs, static_cast<uLong>(in.size())));
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
    return out;
}

}  // namespace

std::vector<std::uint8_t> make_zip(std::string_view name, std::span<const std::uint8_t> content) {
    const auto packed = deflate_raw(content);
    const auto crc = static_cast<std::uint32_t>(
        crc32(0L, content.data(), static_cast<uInt>(content.size())));
    const auto size = static_cast<std::uint32_t>(content.size());
    const auto csize = static_cast<std::uint32_t>(packed.size());
    const auto nlen = static_cast<std::uint32_t>(name.size());
    // 2020-01-01 00:00 in DOS format; a fixed stamp keeps the archive reproducible.
    constexpr std::uint32_t kDosTime = 0x0000, kDosDate = 0x5021;

    std::vector<std::uint8_t> out;
    out.reserve(30 + nlen + csize + 46 + nlen + 22);
    put32(out, 0x04034B50);  // local file header
    put16(out, 20);          // version needed: 2.0 (deflate)
    put16(out, 0);           // flags
    put16(out, 8);           // method: deflate
    put16(out, kDosTime);
    put16(out, kDosDate);
    put32(out, crc);
    put32(out, csize);
    put32(out, size);
    put16(out, nlen);
    put16(out, 0);  // extra length
    out.insert(out.end(), name.begin(), name.end());
    out.insert(out.end(), packed.begin(), packed.end());

    const auto cd_offset = static_cast<std::uint32_t>(out.size());
    put32(out, 0x02014B50);  // central directory entry
    put16(out, 0x0314);      // made by: version 2.0, Unix
    put16(out, 20);
    put16(out, 0);
    put16(out, 8);
    put16(out, kDosTime);
    put16(out, kDosDate);
    put32(out, crc);
    put32(out, csize);
    put32(out, size);
    put16(out, nlen);
    put16(out, 0);           // extra
    put16(out, 0);           // comment
    put16(out, 0);           // disk number
    put16(out, 0);           // internal attributes
    put32(out, 0100644u << 16);  // external attributes: regular file, rw-r--r--
    put32(out, 0);           // local header offset
    out.insert(out.end(), name.begin(), name.end());
    const auto cd_size = static_cast<std::uint32_t>(out.size()) - cd_offset;

    put32(out, 0x06054B50);  // end of central directory
    put16(out, 0);
    put16(out, 0);
    put16(out, 1);
    put16(out, 1);
    put32(out, cd_size);
    put32(out, cd_offset);
    put16(out, 0);  // comment length
    return out;
}

}  // namespace oculane::sim
