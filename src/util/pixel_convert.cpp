#include "util/pixel_convert.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <vector>

#include "util/pixel_convert_avx2.hpp"

namespace oculane::imaging {
namespace {

#if defined(__x86_64__)
// Whether the AVX2 row kernels run: decided once from the CPU, switched only
// by tests. Read once per row.
std::atomic<bool>& vector_kernels() {
    static std::atomic<bool> on{avx2::cpu_has_avx2()};
    return on;
}
bool vector_on() { return vector_kernels().load(std::memory_order_relaxed); }
#endif

constexpr std::uint16_t mask_of(std::uint8_t depth) { return static_cast<std::uint16_t>((1u << depth) - 1); }

// One sample at index k of the stream at `base`. Reads only the bytes that
// hold the sample's bits, so the last pixel of an image never reads past it.
std::uint16_t sample_at(const Format& f, const std::uint8_t* base, std::uint64_t k) {
    switch (f.packing) {
        case Packing::None:
            if (f.depth <= 8) return base[k];
            return static_cast<std::uint16_t>((base[2 * k] | base[2 * k + 1] << 8) & mask_of(f.depth));
        case Packing::LsbFirst: {
            const std::uint64_t bit = k * f.depth;
            const std::uint8_t* p = base + bit / 8;
            const unsigned shift = bit % 8;
            std::uint32_t v = p[0] | std::uint32_t{p[1]} << 8;
            if (shift + f.depth > 16) v |= std::uint32_t{p[2]} << 16;
            return static_cast<std::uint16_t>((v >> shift) & mask_of(f.depth));
        }
        case Packing::TwoInThree: {
            const std::uint8_t* p = base + 3 * (k / 2);
            const unsigned low_bits = f.depth - 8;
            const unsigned low_mask = (1u << low_bits) - 1;
            if (k % 2 == 0) return static_cast<std::uint16_t>(p[0] << low_bits | (p[1] & low_mask));
            return static_cast<std::uint16_t>(p[2] << low_bits | ((p[1] >> 4) & low_mask));
        }
    }
    return 0;
}

// n samples from stream index `first` on. Whole groups (the pixels that
// fill a whole number of bytes) go through branch-free loops; a row that
// starts or ends inside a group takes its odd pixels one by one.
void unpack_run(const Format& f, const std::uint8_t* base, std::uint64_t first, std::uint16_t* out,
                std::uint32_t n) {
    if (f.packing == Packing::None) {
        if (f.depth <= 8) {
            const std::uint8_t* p = base + first;
            for (std::uint32_t i = 0; i < n; ++i) out[i] = p[i];
        } else {
            const std::uint8_t* p = base + 2 * first;
            const std::uint16_t m = mask_of(f.depth);
            std::uint32_t i = 0;
#if defined(__x86_64__)
            if (vector_on()) i = avx2::mask_row(p, n, m, out);
#endif
            for (; i < n; ++i)
                out[i] = static_cast<std::uint16_t>((p[2 * i] | p[2 * i + 1] << 8) & m);
        }
        return;
    }
    const unsigned group = (f.packing == Packing::LsbFirst && f.depth == 10) ? 4 : 2;
    std::uint32_t i = 0;
    for (; i < n && (first + i) % group != 0; ++i) out[i] = sample_at(f, base, first + i);
    const std::uint32_t groups = (n - i) / group;
    const std::uint8_t* p = base + (first + i) * f.bits / 8;
    std::uint16_t* o = out + i;
    std::uint32_t g = 0;
#if defined(__x86_64__)
    if (vector_on()) {
        g = avx2::unpack_groups(f.packing, f.depth, p, groups, o);
        p += std::size_t{g} * group * f.bits / 8;
        o += std::size_t{g} * group;
    }
#endif
    if (f.packing == Packing::LsbFirst && f.depth == 10) {
        for (; g < groups; ++g, p += 5, o += 4) {
            o[0] = static_cast<std::uint16_t>(p[0] | (p[1] & 0x03) << 8);
            o[1] = static_cast<std::uint16_t>(p[1] >> 2 | (p[2] & 0x0F) << 6);
            o[2] = static_cast<std::uint16_t>(p[2] >> 4 | (p[3] & 0x3F) << 4);
            o[3] = static_cast<std::uint16_t>(p[3] >> 6 | p[4] << 2);
        }
    } else if (f.packing == Packing::LsbFirst) {
        for (; g < groups; ++g, p += 3, o += 2) {
            o[0] = static_cast<std::uint16_t>(p[0] | (p[1] & 0x0F) << 8);
            o[1] = static_cast<std::uint16_t>(p[1] >> 4 | p[2] << 4);
        }
    } else if (f.depth == 12) {
        for (; g < groups; ++g, p += 3, o += 2) {
            o[0] = static_cast<std::uint16_t>(p[0] << 4 | (p[1] & 0x0F));
            o[1] = static_cast<std::uint16_t>(p[2] << 4 | p[1] >> 4);
        }
    } else {
        for (; g < groups; ++g, p += 3, o += 2) {
            o[0] = static_cast<std::uint16_t>(p[0] << 2 | (p[1] & 0x03));
            o[1] = static_cast<std::uint16_t>(p[2] << 2 | ((p[1] >> 4) & 0x03));
        }
    }
    for (i += groups * group; i < n; ++i) out[i] = sample_at(f, base, first + i);
}

void unpack_row(const Image& img, std::uint32_t y, std::uint16_t* out) {
    if (img.bit_rows) unpack_run(img.format, img.data, std::uint64_t{y} * img.width, out, img.width);
    else unpack_run(img.format, img.data + y * img.stride, 0, out, img.width);
}

bool direct_bytes(const Format& f) { return f.packing == Packing::None && f.depth <= 8; }

// Rows of a single-sample image as T: 8-bit rows straight from the image,
// wider ones unpacked into a ring of three row buffers (demosaicing needs
// the rows above and below).
template <class T>
class RowReader {
public:
    explicit RowReader(const Image& img) : img_(img) {
        if constexpr (sizeof(T) == 2) {
            for (auto& r : rows_) r.resize(img.width);
            tags_.fill(UINT32_MAX);
        }
    }
    const T* row(std::uint32_t y) {
        if constexpr (sizeof(T) == 1) {
            return img_.data + y * img_.stride;
        } else {
            const std::size_t slot = y % 3;
            if (tags_[slot] != y) {
                unpack_row(img_, y, rows_[slot].data());
                tags_[slot] = y;
            }
            return rows_[slot].data();
        }
    }

private:
    const Image& img_;
    std::array<std::vector<std::uint16_t>, 3> rows_;
    std::array<std::uint32_t, 3> tags_{};
};

// ---- bilinear demosaicing ------------------------------------------------------

inline std::uint8_t luma(unsigned r, unsigned g, unsigned b) {
    return static_cast<std::uint8_t>((4899 * r + 9617 * g + 1868 * b + 8192) >> 14);
}

// One output row. `a`, `b`, `c` are the rows above, at and below; RedRow:
// the row holds red (else blue) samples beside its greens; GreenFirst: pixel
// 0 of the row is green; Grey: the row's luma (one byte a pixel) instead of
// RGB. At a red or blue site the green is the mean of the four direct
// neighbours and the other colour the mean of the four diagonal ones; at a
// green site the row's colour is the mean of left and right and the other
// colour the mean of above and below.
template <class T, bool RedRow, bool GreenFirst, bool Grey>
void demosaic_row(const T* __restrict a, const T* __restrict b, const T* __restrict c, std::uint32_t w,
                  unsigned depth, std::uint8_t* __restrict out) {
    constexpr int own = RedRow ? 0 : 2;  // channel of the row's colour
    constexpr int other = 2 - own;
    const unsigned shift = depth > 8 ? depth - 8 : 0;
    auto put = [&](std::uint32_t x, unsigned own_v, unsigned green_v, unsigned other_v) {
        std::uint8_t px[3];
        px[own] = static_cast<std::uint8_t>(own_v >> shift);
        px[1] = static_cast<std::uint8_t>(green_v >> shift);
        px[other] = static_cast<std::uint8_t>(other_v >> shift);
        if constexpr (Grey) {
            out[x] = luma(px[0], px[1], px[2]);
        } else {
            std::uint8_t* o = out + 3 * std::size_t{x};
            o[0] = px[0];
            o[1] = px[1];
            o[2] = px[2];
        }
    };
    auto colour_site = [&](std::uint32_t x, std::uint32_t l, std::uint32_t r) {
        put(x, b[x], (a[x] + c[x] + b[l] + b[r] + 2u) >> 2, (a[l] + a[r] + c[l] + c[r] + 2u) >> 2);
    };
    auto green_site = [&](std::uint32_t x, std::uint32_t l, std::uint32_t r) {
        put(x, (b[l] + b[r] + 1u) >> 1, b[x], (a[x] + c[x] + 1u) >> 1);
    };
    auto any_site = [&](std::uint32_t x) {
        // Mirrored at the edges (pixel -1 is pixel 1), which keeps the colour
        // of every neighbour what the mosaic says.
        const std::uint32_t l = x > 0 ? x - 1 : std::min<std::uint32_t>(1, w - 1);
        const std::uint32_t r = x + 1 < w ? x + 1 : (x > 0 ? x - 1 : 0);
        if ((x % 2 == 0) == GreenFirst) green_site(x, l, r);
        else colour_site(x, l, r);
    };
    any_site(0);
    std::uint32_t x = 1;
#if defined(__x86_64__)
    if (vector_on()) {
        if constexpr (sizeof(T) == 1) x = avx2::demosaic_row(a, b, c, w, RedRow, GreenFirst, Grey, out);
        else x = avx2::demosaic_row(a, b, c, w, depth, RedRow, GreenFirst, Grey, out);
    }
#endif
    // Interior pairs starting at an odd x: no edge, no branch.
    for (; x + 2 < w; x += 2) {
        if constexpr (GreenFirst) {
            colour_site(x, x - 1, x + 1);
            green_site(x + 1, x, x + 2);
        } else {
            green_site(x, x - 1, x + 1);
            colour_site(x + 1, x, x + 2);
        }
    }
    for (; x < w; ++x) any_site(x);
}

struct BayerPhase {
    bool red_row;
    bool green_first;
};

// The phase of even rows; odd rows have the other colour and the other start.
BayerPhase even_row_phase(Color c) {
    switch (c) {
        case Color::BayerRG: return {true, false};
        case Color::BayerGR: return {true, true};
        case Color::BayerGB: return {false, true};
        default: return {false, false};  // BayerBG
    }
}

template <class T, bool Grey>
void demosaic_image(const Image& img, std::uint8_t* out) {
    RowReader<T> rows(img);
    const std::uint32_t w = img.width, h = img.height;
    const BayerPhase even = even_row_phase(img.format.color);
    for (std::uint32_t y = 0; y < h; ++y) {
        const std::uint32_t up = y > 0 ? y - 1 : std::min<std::uint32_t>(1, h - 1);
        const std::uint32_t down = y + 1 < h ? y + 1 : (y > 0 ? y - 1 : 0);
        // Fetched in this order so the ring of three never evicts a row still needed.
        const T* a = rows.row(up);
        const T* b = rows.row(y);
        const T* c = rows.row(down);
        const bool odd = y % 2 != 0;
        const bool red = even.red_row != odd;
        const bool green_first = even.green_first != odd;
        const unsigned d = img.format.depth;
        std::uint8_t* o = out + std::size_t{y} * w * (Grey ? 1 : 3);
        if (red && green_first) demosaic_row<T, true, true, Grey>(a, b, c, w, d, o);
        else if (red) demosaic_row<T, true, false, Grey>(a, b, c, w, d, o);
        else if (green_first) demosaic_row<T, false, true, Grey>(a, b, c, w, d, o);
        else demosaic_row<T, false, false, Grey>(a, b, c, w, d, o);
    }
}

template <bool Grey>
void demosaic(const Image& img, std::uint8_t* out) {
    if (direct_bytes(img.format)) demosaic_image<std::uint8_t, Grey>(img, out);
    else demosaic_image<std::uint16_t, Grey>(img, out);
}

// ---- YUV 4:2:2 -------------------------------------------------------------------

// BT.601 in 16-bit fixed point: R = Y' + rv V, G = Y' - gu U - gv V,
// B = Y' + bu U with Y' = ky (Y - y0) and U, V centred on 128.
struct YuvCoefficients {
    int y0, ky, rv, gu, gv, bu;
};
constexpr YuvCoefficients kFullRange{0, 65536, 91881, 22553, 46802, 116130};
constexpr YuvCoefficients kVideoRange{16, 76309, 104597, 25675, 53279, 132201};

inline std::uint8_t clamp8(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

template <bool Uyvy>
void yuv_row(const std::uint8_t* __restrict in, std::uint32_t w, const YuvCoefficients& k,
             std::uint8_t* __restrict out) {
    constexpr int y0i = Uyvy ? 1 : 0, ui = Uyvy ? 0 : 1, y1i = Uyvy ? 3 : 2, vi = Uyvy ? 2 : 3;
    auto put = [&](std::uint8_t* o, int y, int u, int v) {
        const int yy = (y - k.y0) * k.ky + 32768;
        o[0] = clamp8((yy + k.rv * v) >> 16);
        o[1] = clamp8((yy - k.gu * u - k.gv * v) >> 16);
        o[2] = clamp8((yy + k.bu * u) >> 16);
    };
    const std::uint32_t pairs = w / 2;
    std::uint32_t i = 0;
#if defined(__x86_64__)
    if (vector_on()) i = avx2::yuv_row(in, 2 * pairs, Uyvy, {k.y0, k.ky, k.rv, k.gu, k.gv, k.bu}, out) / 2;
#endif
    for (; i < pairs; ++i) {
        const std::uint8_t* p = in + 4 * std::size_t{i};
        const int u = p[ui] - 128, v = p[vi] - 128;
        put(out + 6 * std::size_t{i}, p[y0i], u, v);
        put(out + 6 * std::size_t{i} + 3, p[y1i], u, v);
    }
    if (w % 2 != 0) {
        // A last pixel without its partner carries Y and U only; it takes V
        // from the pair before it, or none.
        const std::uint8_t* p = in + 4 * std::size_t{pairs};
        const int v = pairs > 0 ? p[vi - 4] - 128 : 0;
        put(out + 6 * std::size_t{pairs}, p[y0i], p[ui] - 128, v);
    }
}

// Interleaved 8-bit pixels of `n` channels to RGB, channel order given.
template <int N, int R, int G, int B>
void reorder_row(const std::uint8_t* __restrict in, std::uint32_t w, std::uint8_t* __restrict out) {
    std::uint32_t x = 0;
#if defined(__x86_64__)
    if (vector_on()) x = avx2::reorder_row(in, w, N, R, G, B, out);
#endif
    for (; x < w; ++x) {
        out[3 * x] = in[N * x + R];
        out[3 * x + 1] = in[N * x + G];
        out[3 * x + 2] = in[N * x + B];
    }
}

template <int N, int R, int G, int B>
void luma_of_row(const std::uint8_t* __restrict in, std::uint32_t w, std::uint8_t* __restrict out) {
    std::uint32_t x = 0;
#if defined(__x86_64__)
    if (vector_on()) x = avx2::luma_row(in, w, N, R, G, B, out);
#endif
    for (; x < w; ++x) out[x] = luma(in[N * x + R], in[N * x + G], in[N * x + B]);
}

// Little-endian 16-bit samples (as bytes, since a row of them need not be
// aligned) to their top 8 bits.
void narrow_row(const std::uint8_t* __restrict in, std::uint32_t w, std::uint16_t mask, unsigned shift,
                std::uint8_t* __restrict out) {
    std::uint32_t x = 0;
#if defined(__x86_64__)
    if (vector_on()) x = avx2::narrow_row(in, w, mask, shift, out);
#endif
    for (; x < w; ++x) out[x] = static_cast<std::uint8_t>(((in[2 * x] | in[2 * x + 1] << 8) & mask) >> shift);
}

// Single-sample rows scaled to 8 bits, handed to `put` row by row.
template <class Put>
void mono8_rows(const Image& img, Put put) {
    const std::uint32_t w = img.width;
    if (direct_bytes(img.format)) {
        for (std::uint32_t y = 0; y < img.height; ++y) put(img.data + y * img.stride, y);
        return;
    }
    std::vector<std::uint8_t> narrow(w);
    const std::uint16_t mask = mask_of(img.format.depth);
    const unsigned shift = img.format.depth > 8 ? img.format.depth - 8 : 0;
    if (img.format.packing == Packing::None) {
        for (std::uint32_t y = 0; y < img.height; ++y) {
            narrow_row(img.data + y * img.stride, w, mask, shift, narrow.data());
            put(narrow.data(), y);
        }
        return;
    }
    std::vector<std::uint16_t> wide(w);
    for (std::uint32_t y = 0; y < img.height; ++y) {
        unpack_row(img, y, wide.data());
        narrow_row(reinterpret_cast<const std::uint8_t*>(wide.data()), w, mask, shift, narrow.data());
        put(narrow.data(), y);
    }
}

}  // namespace

bool set_vector_kernels(bool on) {
#if defined(__x86_64__)
    return vector_kernels().exchange(on && avx2::cpu_has_avx2());
#else
    (void)on;
    return false;
#endif
}

void unpack_u16(const Image& img, std::uint16_t* out) {
    for (std::uint32_t y = 0; y < img.height; ++y) unpack_row(img, y, out + std::size_t{y} * img.width);
}

void to_rgb8(const Image& img, std::uint8_t* out, YuvRange range) {
    const std::uint32_t w = img.width;
    const std::size_t out_row = std::size_t{w} * 3;
    const Color c = img.format.color;
    if (is_bayer(c)) return demosaic<false>(img, out);
    if (c == Color::Mono) {
        mono8_rows(img, [&](const std::uint8_t* row, std::uint32_t y) {
            std::uint8_t* o = out + y * out_row;
            std::uint32_t x = 0;
#if defined(__x86_64__)
            if (vector_on()) x = avx2::grey_to_rgb_row(row, w, o);
#endif
            for (; x < w; ++x) o[3 * x] = o[3 * x + 1] = o[3 * x + 2] = row[x];
        });
        return;
    }
    const YuvCoefficients& k = range == YuvRange::Video ? kVideoRange : kFullRange;
    for (std::uint32_t y = 0; y < img.height; ++y) {
        const std::uint8_t* in = img.data + y * img.stride;
        std::uint8_t* o = out + y * out_row;
        switch (c) {
            case Color::RGB: std::memcpy(o, in, out_row); break;
            case Color::BGR: reorder_row<3, 2, 1, 0>(in, w, o); break;
            case Color::RGBa: reorder_row<4, 0, 1, 2>(in, w, o); break;
            case Color::BGRa: reorder_row<4, 2, 1, 0>(in, w, o); break;
            case Color::YUYV: yuv_row<false>(in, w, k, o); break;
            case Color::UYVY: yuv_row<true>(in, w, k, o); break;
            default: break;
        }
    }
}

void to_mono8(const Image& img, std::uint8_t* out) {
    const std::uint32_t w = img.width;
    const Color c = img.format.color;
    if (c == Color::Mono) {
        mono8_rows(img, [&](const std::uint8_t* row, std::uint32_t y) {
            std::memcpy(out + std::size_t{y} * w, row, w);
        });
        return;
    }
    if (is_bayer(c)) return demosaic<true>(img, out);
    for (std::uint32_t y = 0; y < img.height; ++y) {
        const std::uint8_t* in = img.data + y * img.stride;
        std::uint8_t* o = out + std::size_t{y} * w;
        switch (c) {
            case Color::RGB: luma_of_row<3, 0, 1, 2>(in, w, o); break;
            case Color::BGR: luma_of_row<3, 2, 1, 0>(in, w, o); break;
            case Color::RGBa: luma_of_row<4, 0, 1, 2>(in, w, o); break;
            case Color::BGRa: luma_of_row<4, 2, 1, 0>(in, w, o); break;
            case Color::YUYV:
                for (std::uint32_t x = 0; x < w; ++x) o[x] = in[2 * x];
                break;
            case Color::UYVY:
                for (std::uint32_t x = 0; x < w; ++x) o[x] = in[2 * x + 1];
                break;
            default: break;
        }
    }
}

}  // namespace oculane::imaging
