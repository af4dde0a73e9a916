#pragma once
// Builds small zip archives byte by byte for the retrieval tests, with knobs
// for the ways a broken or hostile archive can lie.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

namespace oculane::testing {

struct ZipMember {
    std::string name = "cam.xml";
    std::vector<std::uint8_t> data;
    bool deflate = false;
    // Overrides of what the central directory claims, when set.
    std::int64_t claimed_uncompressed = -1;
    std::uint16_t method_override = 0xFFFF;
};

inline std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

inline std::vector<std::uint8_t> raw_deflate(const std::vector<std::uint8_t>& in, int level = 6) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::vector<std::uint8_t> out(deflateBound(&z, in.size()));
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

class ZipWriter {
public:
    void add(const ZipMember& m) {
        std::vector<std::uint8_t> payload = m.deflate ? raw_deflate(m.data) : m.data;
        std::uint16_t method = m.method_override != 0xFFFF ? m.method_override : (m.deflate ? 8 : 0);
        std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, m.data.data(), static_cast<uInt>(m.data.size())));
        std::uint32_t usize = m.claimed_uncompressed >= 0 ? static_cast<std::uint32_t>(m.claimed_uncompressed)
                                                          : static_cast<std::uint32_t>(m.data.size());
        std::uint32_t offset = static_cast<std::uint32_t>(body_.size());

        put32(body_, 0x04034B50);
        put16(body_, 20);
        put16(body_, 0);
        put16(body_, method);
        put32(body_, 0);  // time, date
        put32(body_, crc);
        put32(body_, static_cast<std::uint32_t>(payload.size()));
        put32(body_, usize);
        put16(body_, static_cast<std::uint16_t>(m.name.size()));
        put16(body_, 0);
        body_.insert(body_.end(), m.name.begin(), m.name.end());
        body_.insert(body_.end(), payload.begin(), payload.end());

        put32(cd_, 0x02014B50);
        put16(cd_, 20);
        put16(cd_, 20);
        put16(cd_, 0);
        put16(cd_, method);
        put32(cd_, 0);
        put32(cd_, crc);
        put32(cd_, static_cast<std::uint32_t>(payload.size()));
        put32(cd_, usize);
        put16(cd_, static_cast<std::uint16_t>(m.name.size()));
        put16(cd_, 0);
        put16(cd_, 0);
        put16(cd_, 0);
        put16(cd_, 0);
        put32(cd_, 0);
        put32(cd_, offset);
        cd_.insert(cd_.end(), m.name.begin(), m.name.end());
        ++count_;
    }

    std::vector<std::uint8_t> finish(std::size_t comment_length = 0) const {
        std::vector<std::uint8_t> out = body_;
        std::uint32_t cd_offset = static_cast<std::uint32_t>(out.size());
        out.insert(out.end(), cd_.begin(), cd_.end());
        put32(out, 0x06054B50);
        put16(out, 0);
        put16(out, 0);
        put16(out, count_);
        put16(out, count_);
        put32(out, static_cast<std::uint32_t>(cd_.size()));
        put32(out, cd_offset);
        put16(out, static_cast<std::uint16_t>(comment_length));
        out.insert(out.end(), comment_length, 'c');
        return out;
    }

private:
    static void put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
        v.push_back(x & 0xFF);
        v.push_back(x >> 8);
    }
    static void put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
        for (int k = 0; k < 4; ++k) v.push_back((x >> (8 * k)) & 0xFF);
    }

    std::vector<std::uint8_t> body_, cd_;
    std::uint16_t count_ = 0;
};

inline std::vector<std::uint8_t> zip_one(const ZipMember& m, std::size_t comment_length = 0) {
    ZipWriter w;
    w.add(m);
    return w.finish(comment_length);
}

}  // namespace oculane::testing
