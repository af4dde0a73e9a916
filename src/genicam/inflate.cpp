#include "genicam/inflate.hpp"

#include <algorithm>
#include <climits>

#include <fmt/format.h>
#include <zlib.h>

namespace oculane {

namespace {

// The best DEFLATE can do is a little over 1000:1, so a claimed size beyond
// that of the input is a lie and must not decide the first allocation.
constexpr std::size_t kMaxRatio = 1032;

class RawInflater {
public:
    RawInflater() { ok_ = inflateInit2(&z_, -15) == Z_OK; }
    ~RawInflater() {
        if (ok_) inflateEnd(&z_);
    }
    RawInflater(const RawInflater&) = delete;
    RawInflater& operator=(const RawInflater&) = delete;

    bool ok() const { return ok_; }
    z_stream& z() { return z_; }

private:
    z_stream z_{};
    bool ok_ = false;
};

}  // namespace

std::expected<std::vector<std::uint8_t>, std::string> inflate_raw(std::span<const std::uint8_t> input,
                                                                  std::size_t max_output,
                                                                  std::size_t size_hint) {
    RawInflater inflater;
    if (!inflater.ok()) return std::unexpected(std::string("cannot initialise the inflater"));
    z_stream& z = inflater.z();

    std::vector<std::uint8_t> out;
    std::size_t plausible = input.size() * kMaxRatio + 1024;
    std::size_t first = std::min({size_hint ? size_hint : input.size() * 4 + 1024, plausible, max_output});
    // One byte past the limit, so output beyond it is seen rather than cut.
    out.resize(std::max<std::size_t>(first, 1) + (first == max_output ? 1 : 0));

    std::size_t in_pos = 0;
    std::size_t produced = 0;
    for (;;) {
        if (produced == out.size()) {
            if (produced > max_output) break;
            std::size_t next = std::min(out.size() * 2, max_output + 1);
            out.resize(next);
        }
        // zlib counts in 32-bit units; feed it in slices.
        std::size_t in_chunk = std::min<std::size_t>(input.size() - in_pos, UINT_MAX);
        std::size_t out_chunk = std::min<std::size_t>(out.size() - produced, UINT_MAX);
        z.next_in = const_cast<Bytef*>(input.data() + in_pos);
        z.avail_in = static_cast<uInt>(in_chunk);
        z.next_out = out.data() + produced;
        z.avail_out = static_cast<uInt>(out_chunk);

        int rc = ::inflate(&z, Z_NO_FLUSH);
        in_pos += in_chunk - z.avail_in;
        produced += out_chunk - z.avail_out;

        if (produced > max_output) break;
        if (rc == Z_STREAM_END) {
            out.resize(produced);
            return out;
        }
        if (rc == Z_DATA_ERROR)
            return std::unexpected(std::string(z.msg ? z.msg : "invalid deflate data"));
        if (rc == Z_MEM_ERROR) return std::unexpected(std::string("out of memory"));
        if (rc == Z_BUF_ERROR || rc == Z_OK) {
            // No progress possible without more input: the stream was cut short.
            if (in_pos == input.size() && z.avail_out != 0)
                return std::unexpected(std::string("unexpected end of deflate stream"));
            continue;
        }
        return std::unexpected(fmt::format("inflate failed ({})", rc));
    }
    return std::unexpected(fmt::format("output exceeds {} bytes", max_output));
}

}  // namespace oculane
