#include "util/pixel_convert_avx2.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include <array>
#include <cstring>

#include "util/pixel_convert.hpp"

#define OCULANE_AVX2 __attribute__((target("avx2")))

namespace oculane::imaging::avx2 {
namespace {

using Bytes32 = std::array<std::int8_t, 32>;

OCULANE_AVX2 inline __m256i load(const Bytes32& m) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(m.data()));
}
OCULANE_AVX2 inline __m256i load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
OCULANE_AVX2 inline void store(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }

// Byte shuffles are per 128-bit lane; every mask here is the same in both.
template <class F>
constexpr Bytes32 lane_mask(F byte_of) {
    Bytes32 m{};
    for (int j = 0; j < 16; ++j) m[j] = m[j + 16] = static_cast<std::int8_t>(byte_of(j));
    return m;
}

using RgbMasks = std::array<Bytes32, 9>;

// The shuffles that interleave planar R, G, B lanes of 16 pixels, where
// pixel i of a lane is at byte `byte_of(i)` of each plane: output vector k
// (of three) takes from channel c the bytes at p = 16k + j with p % 3 == c,
// those of pixel p / 3.
template <class F>
constexpr RgbMasks rgb_masks(F byte_of) {
    RgbMasks m{};
    for (int k = 0; k < 3; ++k)
        for (int c = 0; c < 3; ++c)
            m[3 * k + c] = lane_mask([=](int j) { return (16 * k + j) % 3 == c ? byte_of((16 * k + j) / 3) : 0x80; });
    return m;
}
constexpr RgbMasks kRgbMasks = rgb_masks([](int i) { return i; });

// 32 pixels of planar R, G, B bytes (pixels 0-15 in lane 0, 16-31 in lane
// 1, in the order the masks say) as 96 interleaved bytes.
OCULANE_AVX2 inline void store_rgb(std::uint8_t* out, __m256i r, __m256i g, __m256i b,
                                   const RgbMasks& masks = kRgbMasks) {
    __m256i v[3];
    for (int k = 0; k < 3; ++k)
        v[k] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(r, load(masks[3 * k])),
                                               _mm256_shuffle_epi8(g, load(masks[3 * k + 1]))),
                               _mm256_shuffle_epi8(b, load(masks[3 * k + 2])));
    // Lane 0 of each holds pixels 0-15, lane 1 pixels 16-31.
    store(out, _mm256_permute2x128_si256(v[0], v[1], 0x20));
    store(out + 32, _mm256_permute2x128_si256(v[2], v[0], 0x30));
    store(out + 64, _mm256_permute2x128_si256(v[1], v[2], 0x31));
}

// Two vectors of 16 words (values 0..255 after saturation) as 32 bytes in order.
OCULANE_AVX2 inline __m256i pack_bytes(__m256i lo, __m256i hi) {
    return _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), 0xD8);
}

// BT.601 luma of 16 pixels whose channels are words 0..255.
OCULANE_AVX2 inline __m256i luma16(__m256i r, __m256i g, __m256i b) {
    const __m256i rg_k = _mm256_set1_epi32(4899 | 9617 << 16);
    const __m256i b1_k = _mm256_set1_epi32(1868 | 8192 << 16);
    const __m256i one = _mm256_set1_epi16(1);
    const __m256i lo = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(r, g), rg_k),
                                        _mm256_madd_epi16(_mm256_unpacklo_epi16(b, one), b1_k));
    const __m256i hi = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(r, g), rg_k),
                                        _mm256_madd_epi16(_mm256_unpackhi_epi16(b, one), b1_k));
    return _mm256_packs_epi32(_mm256_srli_epi32(lo, 14), _mm256_srli_epi32(hi, 14));
}

// ---- bilinear demosaicing ------------------------------------------------------

template <class T>
OCULANE_AVX2 inline __m256i load16(const T* p) {
    if constexpr (sizeof(T) == 1) return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    else return load(p);
}

struct Sites {
    __m256i own, green, other;
};

// (p + q + r + s + 2) >> 2 in 16-bit lanes. Wide: samples of up to 16 bits,
// whose sum would not fit: the sum of the quarters plus the carry of the
// low two bits, the same value.
template <bool Wide>
OCULANE_AVX2 inline __m256i mean4(__m256i p, __m256i q, __m256i r, __m256i s) {
    const __m256i two = _mm256_set1_epi16(2);
    if constexpr (!Wide) {
        const __m256i sum = _mm256_add_epi16(_mm256_add_epi16(p, q), _mm256_add_epi16(r, s));
        return _mm256_srli_epi16(_mm256_add_epi16(sum, two), 2);
    } else {
        const __m256i low = _mm256_set1_epi16(3);
        const __m256i quarters = _mm256_add_epi16(_mm256_add_epi16(_mm256_srli_epi16(p, 2), _mm256_srli_epi16(q, 2)),
                                                  _mm256_add_epi16(_mm256_srli_epi16(r, 2), _mm256_srli_epi16(s, 2)));
        const __m256i lows = _mm256_add_epi16(_mm256_add_epi16(_mm256_and_si256(p, low), _mm256_and_si256(q, low)),
                                              _mm256_add_epi16(_mm256_and_si256(r, low), _mm256_and_si256(s, low)));
        return _mm256_add_epi16(quarters, _mm256_srli_epi16(_mm256_add_epi16(lows, two), 2));
    }
}

// Pixels x..x+15 (x odd) of a row, as words already shifted to 8 bits; the
// same sums as the portable loop, each computed for every lane and the
// right one kept per site.
template <class T, bool GreenFirst, bool Wide>
OCULANE_AVX2 inline Sites demosaic16(const T* a, const T* b, const T* c, std::uint32_t x, __m128i shift) {
    const __m256i am = load16(a + x - 1), a0 = load16(a + x), ap = load16(a + x + 1);
    const __m256i bm = load16(b + x - 1), b0 = load16(b + x), bp = load16(b + x + 1);
    const __m256i cm = load16(c + x - 1), c0 = load16(c + x), cp = load16(c + x + 1);
    const __m256i vertical = _mm256_avg_epu16(a0, c0);  // (a + c + 1) >> 1
    const __m256i horizontal = _mm256_avg_epu16(bm, bp);
    const __m256i cross = mean4<Wide>(a0, c0, bm, bp);
    const __m256i diagonal = mean4<Wide>(am, ap, cm, cp);
    // Lane j is pixel x + j, x odd: green sites are the odd lanes when even
    // pixels are green, else the even lanes.
    constexpr int g = GreenFirst ? 0xAA : 0x55;
    return {_mm256_srl_epi16(_mm256_blend_epi16(b0, horizontal, g), shift),
            _mm256_srl_epi16(_mm256_blend_epi16(cross, b0, g), shift),
            _mm256_srl_epi16(_mm256_blend_epi16(diagonal, vertical, g), shift)};
}

template <class T, bool RedRow, bool GreenFirst, bool Grey, bool Wide>
OCULANE_AVX2 std::uint32_t demosaic_kernel(const T* a, const T* b, const T* c, std::uint32_t w, unsigned shift_bits,
                                           std::uint8_t* out) {
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(shift_bits));
    std::uint32_t x = 1;
    // The loads reach pixel x + 32.
    for (; x + 33 <= w; x += 32) {
        const Sites s0 = demosaic16<T, GreenFirst, Wide>(a, b, c, x, shift);
        const Sites s1 = demosaic16<T, GreenFirst, Wide>(a, b, c, x + 16, shift);
        const __m256i r0 = RedRow ? s0.own : s0.other, b0 = RedRow ? s0.other : s0.own;
        const __m256i r1 = RedRow ? s1.own : s1.other, b1 = RedRow ? s1.other : s1.own;
        if constexpr (Grey) {
            store(out + x, pack_bytes(luma16(r0, s0.green, b0), luma16(r1, s1.green, b1)));
        } else {
            store_rgb(out + 3 * std::size_t{x}, pack_bytes(r0, r1), pack_bytes(s0.green, s1.green), pack_bytes(b0, b1));
        }
    }
    return x;
}

template <class T, bool Wide = false>
std::uint32_t demosaic_dispatch(const T* a, const T* b, const T* c, std::uint32_t w, unsigned shift, bool red_row,
                                bool green_first, bool grey, std::uint8_t* out) {
    using K = std::uint32_t (*)(const T*, const T*, const T*, std::uint32_t, unsigned, std::uint8_t*);
    static constexpr K kernels[8] = {
        demosaic_kernel<T, false, false, false, Wide>, demosaic_kernel<T, false, false, true, Wide>,
        demosaic_kernel<T, false, true, false, Wide>,  demosaic_kernel<T, false, true, true, Wide>,
        demosaic_kernel<T, true, false, false, Wide>,  demosaic_kernel<T, true, false, true, Wide>,
        demosaic_kernel<T, true, true, false, Wide>,   demosaic_kernel<T, true, true, true, Wide>,
    };
    return kernels[(red_row ? 4 : 0) + (green_first ? 2 : 0) + (grey ? 1 : 0)](a, b, c, w, shift, out);
}

// ---- interleaved 8-bit pixels --------------------------------------------------

// Pixels x..x+7 with pixels 0-3 in lane 0 and 4-7 in lane 1, each from byte 0
// of its lane. Reads 32 bytes from pixel x.
template <int N>
OCULANE_AVX2 inline __m256i load8_pixels(const std::uint8_t* in, std::uint32_t x) {
    const __m256i v = load(in + N * std::size_t{x});
    if constexpr (N == 4) return v;
    else return _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0));
}

template <int N, int R, int G, int B>
OCULANE_AVX2 std::uint32_t reorder_kernel(const std::uint8_t* in, std::uint32_t w, std::uint8_t* out) {
    static constexpr Bytes32 pick = lane_mask([](int j) {
        if (j >= 12) return 0x80;
        const int c = j % 3;
        return N * (j / 3) + (c == 0 ? R : c == 1 ? G : B);
    });
    const __m256i m = load(pick);
    const __m256i compact = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
    std::uint32_t x = 0;
    if constexpr (N == 4) {
        // 32 pixels into three whole stores: each shuffled vector holds 24
        // bytes, three dwords a lane, gathered by dword permutes and blends.
        const __m256i p0 = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 0, 0), p1 = _mm256_setr_epi32(0, 0, 0, 0, 0, 0, 0, 1);
        const __m256i p2 = _mm256_setr_epi32(2, 4, 5, 6, 0, 0, 0, 0), p3 = _mm256_setr_epi32(0, 0, 0, 0, 0, 1, 2, 4);
        const __m256i p4 = _mm256_setr_epi32(5, 6, 0, 0, 0, 0, 0, 0), p5 = _mm256_setr_epi32(0, 0, 0, 1, 2, 4, 5, 6);
        for (; x + 32 <= w; x += 32) {
            const std::uint8_t* i = in + 4 * std::size_t{x};
            std::uint8_t* o = out + 3 * std::size_t{x};
            const __m256i s0 = _mm256_shuffle_epi8(load(i), m), s1 = _mm256_shuffle_epi8(load(i + 32), m);
            const __m256i s2 = _mm256_shuffle_epi8(load(i + 64), m), s3 = _mm256_shuffle_epi8(load(i + 96), m);
            store(o,
                  _mm256_blend_epi32(_mm256_permutevar8x32_epi32(s0, p0), _mm256_permutevar8x32_epi32(s1, p1), 0xC0));
            store(o + 32,
                  _mm256_blend_epi32(_mm256_permutevar8x32_epi32(s1, p2), _mm256_permutevar8x32_epi32(s2, p3), 0xF0));
            store(o + 64,
                  _mm256_blend_epi32(_mm256_permutevar8x32_epi32(s2, p4), _mm256_permutevar8x32_epi32(s3, p5), 0xFC));
        }
    }
    // 32 bytes read and written from pixel x, of which 24 are its 8 pixels'
    // output (the rest is overwritten by the next step).
    for (; x + 11 <= w; x += 8)
        store(out + 3 * std::size_t{x},
              _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(load8_pixels<N>(in, x), m), compact));
    return x;
}

template <int N, int R, int G, int B>
OCULANE_AVX2 inline __m256i luma8_pixels(const std::uint8_t* in, std::uint32_t x) {
    static constexpr Bytes32 rg = lane_mask([](int j) { return j % 2 ? 0x80 : N * (j / 4) + (j % 4 == 0 ? R : G); });
    static constexpr Bytes32 bz = lane_mask([](int j) { return j % 4 ? 0x80 : N * (j / 4) + B; });
    const __m256i v = load8_pixels<N>(in, x);
    const __m256i b1 = _mm256_or_si256(_mm256_shuffle_epi8(v, load(bz)), _mm256_set1_epi32(1 << 16));
    const __m256i rg_k = _mm256_set1_epi32(4899 | 9617 << 16), b1_k = _mm256_set1_epi32(1868 | 8192 << 16);
    const __m256i s =
        _mm256_add_epi32(_mm256_madd_epi16(_mm256_shuffle_epi8(v, load(rg)), rg_k), _mm256_madd_epi16(b1, b1_k));
    return _mm256_srli_epi32(s, 14);  // pixels 0-3 in lane 0, 4-7 in lane 1
}

template <int N, int R, int G, int B>
OCULANE_AVX2 std::uint32_t luma_kernel(const std::uint8_t* in, std::uint32_t w, std::uint8_t* out) {
    std::uint32_t x = 0;
    for (; x + 35 <= w; x += 32) {
        const __m256i p01 = _mm256_packs_epi32(luma8_pixels<N, R, G, B>(in, x), luma8_pixels<N, R, G, B>(in, x + 8));
        const __m256i p23 =
            _mm256_packs_epi32(luma8_pixels<N, R, G, B>(in, x + 16), luma8_pixels<N, R, G, B>(in, x + 24));
        // Dwords now hold pixels 0-3, 8-11, 16-19, 24-27, 4-7, 12-15, 20-23, 28-31.
        store(out + x, _mm256_permutevar8x32_epi32(_mm256_packus_epi16(p01, p23),
                                                   _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
    }
    return x;
}

// ---- YUV 4:2:2 -------------------------------------------------------------------

struct Yuv {
    __m256i y0, ky, rv, gu, gv, bu;
};

// Signed saturation to words keeps every value (all are within a few
// hundred of 0..255); the byte packing after it clamps to 0..255 as the
// portable loop does.
OCULANE_AVX2 inline __m256i channel(__m256i even, __m256i odd) {
    return _mm256_packs_epi32(_mm256_srai_epi32(even, 16), _mm256_srai_epi32(odd, 16));
}

OCULANE_AVX2 inline __m256i load2(const std::uint8_t* lo, const std::uint8_t* hi) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
}

// R, G, B words of 4 pairs a lane: the even pixels' words, then the odd
// ones' (pixels 0, 2, 4, 6, 1, 3, 5, 7 of the lane). Full: y0 is 0 and ky
// 2^16, so the multiplication is a shift.
template <bool Uyvy, bool Full>
OCULANE_AVX2 inline void yuv_pairs(__m256i in, const Yuv& k, __m256i (&rgb)[3]) {
    // Byte `at` of each pair, zero-extended to a dword.
    auto pick = [](int at) { return lane_mask([=](int j) { return j % 4 ? 0x80 : 4 * (j / 4) + at; }); };
    static constexpr Bytes32 y_even = pick(Uyvy ? 1 : 0), y_odd = pick(Uyvy ? 3 : 2);
    static constexpr Bytes32 u_at = pick(Uyvy ? 0 : 1), v_at = pick(Uyvy ? 2 : 3);
    const __m256i centre = _mm256_set1_epi32(128);
    const __m256i u = _mm256_sub_epi32(_mm256_shuffle_epi8(in, load(u_at)), centre);
    const __m256i v = _mm256_sub_epi32(_mm256_shuffle_epi8(in, load(v_at)), centre);
    const __m256i cr = _mm256_mullo_epi32(v, k.rv);
    const __m256i cg = _mm256_add_epi32(_mm256_mullo_epi32(u, k.gu), _mm256_mullo_epi32(v, k.gv));
    const __m256i cb = _mm256_mullo_epi32(u, k.bu);
    const __m256i half = _mm256_set1_epi32(32768);
    __m256i yy[2] = {_mm256_shuffle_epi8(in, load(y_even)), _mm256_shuffle_epi8(in, load(y_odd))};
    for (auto& y : yy) {
        if constexpr (Full) y = _mm256_add_epi32(_mm256_slli_epi32(y, 16), half);
        else y = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(y, k.y0), k.ky), half);
    }
    rgb[0] = channel(_mm256_add_epi32(yy[0], cr), _mm256_add_epi32(yy[1], cr));
    rgb[1] = channel(_mm256_sub_epi32(yy[0], cg), _mm256_sub_epi32(yy[1], cg));
    rgb[2] = channel(_mm256_add_epi32(yy[0], cb), _mm256_add_epi32(yy[1], cb));
}

// After packing two blocks' words into bytes, pixel i of a lane (of 16) is at
// this byte: eight from each block, even pixels first.
constexpr RgbMasks kYuvRgbMasks = rgb_masks([](int i) { return (i / 8) * 8 + (i % 2 ? 4 : 0) + (i % 8) / 2; });

template <bool Uyvy, bool Full>
OCULANE_AVX2 std::uint32_t yuv_kernel(const std::uint8_t* in, std::uint32_t w, const int (&c)[6], std::uint8_t* out) {
    const Yuv k{_mm256_set1_epi32(c[0]), _mm256_set1_epi32(c[1]), _mm256_set1_epi32(c[2]),
                _mm256_set1_epi32(c[3]), _mm256_set1_epi32(c[4]), _mm256_set1_epi32(c[5])};
    std::uint32_t x = 0;
    for (; x + 32 <= w; x += 32) {
        // 16 pairs: block a takes pairs 0-3 and 8-11, block b 4-7 and 12-15,
        // so that their bytes packed together hold pixels 0-15 in lane 0.
        const std::uint8_t* p = in + 2 * std::size_t{x};
        __m256i a[3], b[3];
        yuv_pairs<Uyvy, Full>(load2(p, p + 32), k, a);
        yuv_pairs<Uyvy, Full>(load2(p + 16, p + 48), k, b);
        store_rgb(out + 3 * std::size_t{x}, _mm256_packus_epi16(a[0], b[0]), _mm256_packus_epi16(a[1], b[1]),
                  _mm256_packus_epi16(a[2], b[2]), kYuvRgbMasks);
    }
    return x;
}

// BGR to RGB swaps bytes two apart: output byte p is input byte p + 2, p or
// p - 2 as p % 3 is 0, 1 or 2. Three loads and two blends per 32 bytes, for
// 32 pixels from pixel x >= 1 (the first load is two bytes before it).
OCULANE_AVX2 std::uint32_t swap_kernel(const std::uint8_t* in, std::uint32_t w, std::uint32_t x, std::uint8_t* out) {
    auto select = [](int k, int rest) {
        Bytes32 m{};
        for (int j = 0; j < 32; ++j) m[j] = static_cast<std::int8_t>((32 * k + j) % 3 == rest ? -1 : 0);
        return m;
    };
    static constexpr Bytes32 later[3] = {select(0, 0), select(1, 0), select(2, 0)};
    static constexpr Bytes32 earlier[3] = {select(0, 2), select(1, 2), select(2, 2)};
    // The last load ends two bytes after the 32 pixels.
    for (; x + 33 <= w; x += 32) {
        const std::uint8_t* p = in + 3 * std::size_t{x};
        std::uint8_t* o = out + 3 * std::size_t{x};
        for (int k = 0; k < 3; ++k) {
            __m256i v = _mm256_blendv_epi8(load(p + 32 * k), load(p + 32 * k + 2), load(later[k]));
            store(o + 32 * k, _mm256_blendv_epi8(v, load(p + 32 * k - 2), load(earlier[k])));
        }
    }
    return x;
}

OCULANE_AVX2 std::uint32_t grey_rgb_kernel(const std::uint8_t* in, std::uint32_t w, std::uint8_t* out) {
    std::uint32_t x = 0;
    for (; x + 32 <= w; x += 32) {
        const __m256i v = load(in + x);
        store_rgb(out + 3 * std::size_t{x}, v, v, v);
    }
    return x;
}

// ---- single-sample rows -----------------------------------------------------------

OCULANE_AVX2 std::uint32_t narrow_kernel(const std::uint8_t* in, std::uint32_t w, std::uint16_t mask,
                                         unsigned shift_bits,
                                         std::uint8_t* out) {
    const __m256i m = _mm256_set1_epi16(static_cast<short>(mask));
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(shift_bits));
    std::uint32_t x = 0;
    for (; x + 32 <= w; x += 32) {
        const __m256i lo = _mm256_srl_epi16(_mm256_and_si256(load(in + 2 * std::size_t{x}), m), shift);
        const __m256i hi = _mm256_srl_epi16(_mm256_and_si256(load(in + 2 * std::size_t{x} + 32), m), shift);
        store(out + x, pack_bytes(lo, hi));
    }
    return x;
}

// Eight groups of two samples in three bytes a step: lane 0 takes groups 0-3,
// lane 1 groups 4-7, and word 2k of a lane is made of bytes `lo` and `hi` of
// group k, word 2k + 1 of bytes `lo2` and `hi2`.
template <int Lo, int Hi, int Lo2, int Hi2>
OCULANE_AVX2 inline __m256i pair_words(const std::uint8_t* in) {
    static constexpr Bytes32 m = lane_mask([](int j) {
        const int k = j / 4, at = j % 4;
        return 3 * k + (at == 0 ? Lo : at == 1 ? Hi : at == 2 ? Lo2 : Hi2);
    });
    return _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(load(in), _mm256_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0)),
                               load(m));
}

OCULANE_AVX2 std::uint32_t unpack_pairs_kernel(Packing packing, unsigned depth, const std::uint8_t* in,
                                               std::uint32_t groups, std::uint16_t* out) {
    const __m256i low4 = _mm256_set1_epi16(0x000F), low2 = _mm256_set1_epi16(0x0003);
    const __m256i mid8 = _mm256_set1_epi16(0x0FF0), mid8_10 = _mm256_set1_epi16(0x03FC);
    const __m256i low12 = _mm256_set1_epi16(0x0FFF);
    std::uint32_t g = 0;
    // 32 bytes read from group g, 24 of them its 8 groups.
    for (; g + 11 <= groups; g += 8) {
        const std::uint8_t* p = in + 3 * std::size_t{g};
        __m256i even, odd;
        if (packing == Packing::LsbFirst) {
            // Bytes 0, 1 low 12 bits; bytes 1, 2 high 12 bits.
            const __m256i v = pair_words<0, 1, 1, 2>(p);
            even = _mm256_and_si256(v, low12);
            odd = _mm256_srli_epi16(v, 4);
        } else {
            // Words of (byte 1, byte 0) and (byte 1, byte 2): the high 8 bits
            // of a sample above its low bits from byte 1.
            const __m256i v = pair_words<1, 0, 1, 2>(p);
            if (depth == 12) {
                even = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(v, 4), mid8), _mm256_and_si256(v, low4));
                odd = _mm256_srli_epi16(v, 4);
            } else {
                even = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(v, 6), mid8_10), _mm256_and_si256(v, low2));
                odd = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(v, 6), mid8_10),
                                      _mm256_and_si256(_mm256_srli_epi16(v, 4), low2));
            }
        }
        store(out + 2 * std::size_t{g}, _mm256_blend_epi16(even, odd, 0xAA));
    }
    return g;
}

// 10-bit LSB-first: four samples in five bytes, sample j from bit 2j of
// byte j. Two groups a lane; the shift by 2j is a multiplication by
// 2^(6 - 2j) (dropping the bits above the sample) and a shift right by 6.
OCULANE_AVX2 std::uint32_t unpack10_lsb_kernel(const std::uint8_t* in, std::uint32_t groups, std::uint16_t* out) {
    static constexpr Bytes32 m = lane_mask([](int j) { return 5 * (j / 8) + (j % 8) / 2 + j % 2; });
    const __m256i scale = _mm256_setr_epi16(64, 16, 4, 1, 64, 16, 4, 1, 64, 16, 4, 1, 64, 16, 4, 1);
    std::uint32_t g = 0;
    // 16 bytes read from groups g and g + 2 each, 26 bytes from group g.
    for (; g + 6 <= groups; g += 4) {
        const std::uint8_t* p = in + 5 * std::size_t{g};
        const __m256i v = _mm256_shuffle_epi8(load2(p, p + 10), load(m));
        store(out + 4 * std::size_t{g}, _mm256_srli_epi16(_mm256_mullo_epi16(v, scale), 6));
    }
    return g;
}

OCULANE_AVX2 std::uint32_t mask_kernel(const std::uint8_t* in, std::uint32_t n, std::uint16_t mask,
                                       std::uint16_t* out) {
    const __m256i m = _mm256_set1_epi16(static_cast<short>(mask));
    std::uint32_t i = 0;
    for (; i + 16 <= n; i += 16) store(out + i, _mm256_and_si256(load(in + 2 * std::size_t{i}), m));
    return i;
}

}  // namespace

bool cpu_has_avx2() {
    __builtin_cpu_init();  // may be asked before the constructor that detects the CPU has run
    return __builtin_cpu_supports("avx2");
}

std::uint32_t demosaic_row(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c, std::uint32_t w,
                           bool red_row, bool green_first, bool grey, std::uint8_t* out) {
    return demosaic_dispatch(a, b, c, w, 0, red_row, green_first, grey, out);
}

std::uint32_t demosaic_row(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint32_t w,
                           unsigned depth, bool red_row, bool green_first, bool grey, std::uint8_t* out) {
    const unsigned shift = depth > 8 ? depth - 8 : 0;
    if (depth > 14) return demosaic_dispatch<std::uint16_t, true>(a, b, c, w, shift, red_row, green_first, grey, out);
    return demosaic_dispatch(a, b, c, w, shift, red_row, green_first, grey, out);
}

std::uint32_t reorder_row(const std::uint8_t* in, std::uint32_t w, int n, int r, int g, int b, std::uint8_t* out) {
    if (n == 3 && r == 2 && g == 1 && b == 0) {
        // The first 32 pixels apart: the swap reads two bytes before its
        // start, and from pixel 32 on its stores are as aligned as the row.
        if (w < 35) return reorder_kernel<3, 2, 1, 0>(in, w, out);
        reorder_kernel<3, 2, 1, 0>(in, 35, out);
        return swap_kernel(in, w, 32, out);
    }
    if (n == 4 && r == 0 && g == 1 && b == 2) return reorder_kernel<4, 0, 1, 2>(in, w, out);
    if (n == 4 && r == 2 && g == 1 && b == 0) return reorder_kernel<4, 2, 1, 0>(in, w, out);
    return 0;
}

std::uint32_t luma_row(const std::uint8_t* in, std::uint32_t w, int n, int r, int g, int b, std::uint8_t* out) {
    if (n == 3 && r == 0 && g == 1 && b == 2) return luma_kernel<3, 0, 1, 2>(in, w, out);
    if (n == 3 && r == 2 && g == 1 && b == 0) return luma_kernel<3, 2, 1, 0>(in, w, out);
    if (n == 4 && r == 0 && g == 1 && b == 2) return luma_kernel<4, 0, 1, 2>(in, w, out);
    if (n == 4 && r == 2 && g == 1 && b == 0) return luma_kernel<4, 2, 1, 0>(in, w, out);
    return 0;
}

std::uint32_t yuv_row(const std::uint8_t* in, std::uint32_t w, bool uyvy, const int (&k)[6], std::uint8_t* out) {
    const bool full = k[0] == 0 && k[1] == 65536;
    if (uyvy) return full ? yuv_kernel<true, true>(in, w, k, out) : yuv_kernel<true, false>(in, w, k, out);
    return full ? yuv_kernel<false, true>(in, w, k, out) : yuv_kernel<false, false>(in, w, k, out);
}

std::uint32_t grey_to_rgb_row(const std::uint8_t* in, std::uint32_t w, std::uint8_t* out) {
    return grey_rgb_kernel(in, w, out);
}

std::uint32_t narrow_row(const std::uint8_t* in, std::uint32_t w, std::uint16_t mask, unsigned shift,
                         std::uint8_t* out) {
    // Above 8 bits after the shift the bytes would saturate, not truncate.
    if ((mask >> shift) > 0xFF) return 0;
    return narrow_kernel(in, w, mask, shift, out);
}

std::uint32_t unpack_groups(Packing packing, unsigned depth, const std::uint8_t* in, std::uint32_t groups,
                            std::uint16_t* out) {
    if (packing == Packing::LsbFirst && depth == 10) return unpack10_lsb_kernel(in, groups, out);
    if (packing == Packing::LsbFirst && depth != 12) return 0;
    if (packing == Packing::TwoInThree && depth != 12 && depth != 10) return 0;
    return unpack_pairs_kernel(packing, depth, in, groups, out);
}

std::uint32_t mask_row(const std::uint8_t* in, std::uint32_t n, std::uint16_t mask, std::uint16_t* out) {
    return mask_kernel(in, n, mask, out);
}

}  // namespace oculane::imaging::avx2

#endif
