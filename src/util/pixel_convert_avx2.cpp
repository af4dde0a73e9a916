#include "util/pixel_convert_avx2.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include <array>
#include <cstring>

#define OCULANE_AVX2 __attribute__((target("avx2")))

namespace oculane::imaging::avx2 {
namespace {

using Bytes32 = std::array<std::int8_t, 32>;

OCULANE_AVX2 inline __m256i load(const Bytes32& m) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(m.data())); }
OCULANE_AVX2 inline __m256i load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
OCULANE_AVX2 inline void store(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }

// Byte shuffles are per 128-bit lane; every mask here is the same in both.
template <class F>
constexpr Bytes32 lane_mask(F byte_of) {
    Bytes32 m{};
    for (int j = 0; j < 16; ++j) m[j] = m[j + 16] = static_cast<std::int8_t>(byte_of(j));
    return m;
}

// Output vector k (of three) of 16 interleaved RGB pixels takes from channel
// c the bytes at p = 16k + j with p % 3 == c: pixel p / 3.
constexpr Bytes32 rgb_mask(int k, int c) {
    return lane_mask([=](int j) { return (16 * k + j) % 3 == c ? (16 * k + j) / 3 : 0x80; });
}
constexpr std::array<Bytes32, 9> kRgbMasks{rgb_mask(0, 0), rgb_mask(0, 1), rgb_mask(0, 2),
                                           rgb_mask(1, 0), rgb_mask(1, 1), rgb_mask(1, 2),
                                           rgb_mask(2, 0), rgb_mask(2, 1), rgb_mask(2, 2)};

// 32 pixels of planar R, G, B bytes (in order) as 96 interleaved bytes.
OCULANE_AVX2 inline void store_rgb(std::uint8_t* out, __m256i r, __m256i g, __m256i b) {
    __m256i v[3];
    for (int k = 0; k < 3; ++k)
        v[k] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(r, load(kRgbMasks[3 * k])),
                                               _mm256_shuffle_epi8(g, load(kRgbMasks[3 * k + 1]))),
                               _mm256_shuffle_epi8(b, load(kRgbMasks[3 * k + 2])));
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

// Pixels x..x+15 (x odd) of a row, as words already shifted to 8 bits; the
// same sums as the portable loop, each computed for every lane and the
// right one kept per site.
template <class T, bool GreenFirst>
OCULANE_AVX2 inline Sites demosaic16(const T* a, const T* b, const T* c, std::uint32_t x, __m128i shift) {
    const __m256i am = load16(a + x - 1), a0 = load16(a + x), ap = load16(a + x + 1);
    const __m256i bm = load16(b + x - 1), b0 = load16(b + x), bp = load16(b + x + 1);
    const __m256i cm = load16(c + x - 1), c0 = load16(c + x), cp = load16(c + x + 1);
    const __m256i two = _mm256_set1_epi16(2);
    const __m256i vertical = _mm256_avg_epu16(a0, c0);  // (a + c + 1) >> 1
    const __m256i horizontal = _mm256_avg_epu16(bm, bp);
    const __m256i cross =
        _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(a0, c0), _mm256_add_epi16(_mm256_add_epi16(bm, bp), two)), 2);
    const __m256i diagonal =
        _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(am, ap), _mm256_add_epi16(_mm256_add_epi16(cm, cp), two)), 2);
    // Lane j is pixel x + j, x odd: green sites are the odd lanes when even
    // pixels are green, else the even lanes.
    constexpr int g = GreenFirst ? 0xAA : 0x55;
    return {_mm256_srl_epi16(_mm256_blend_epi16(b0, horizontal, g), shift),
            _mm256_srl_epi16(_mm256_blend_epi16(cross, b0, g), shift),
            _mm256_srl_epi16(_mm256_blend_epi16(diagonal, vertical, g), shift)};
}

template <class T, bool RedRow, bool GreenFirst, bool Grey>
OCULANE_AVX2 std::uint32_t demosaic_kernel(const T* a, const T* b, const T* c, std::uint32_t w, unsigned shift_bits,
                                           std::uint8_t* out) {
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(shift_bits));
    std::uint32_t x = 1;
    // The loads reach pixel x + 32.
    for (; x + 33 <= w; x += 32) {
        const Sites s0 = demosaic16<T, GreenFirst>(a, b, c, x, shift);
        const Sites s1 = demosaic16<T, GreenFirst>(a, b, c, x + 16, shift);
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

template <class T>
std::uint32_t demosaic_dispatch(const T* a, const T* b, const T* c, std::uint32_t w, unsigned shift, bool red_row,
                                bool green_first, bool grey, std::uint8_t* out) {
    using K = std::uint32_t (*)(const T*, const T*, const T*, std::uint32_t, unsigned, std::uint8_t*);
    static constexpr K kernels[8] = {
        demosaic_kernel<T, false, false, false>, demosaic_kernel<T, false, false, true>,
        demosaic_kernel<T, false, true, false>,  demosaic_kernel<T, false, true, true>,
        demosaic_kernel<T, true, false, false>,  demosaic_kernel<T, true, false, true>,
        demosaic_kernel<T, true, true, false>,   demosaic_kernel<T, true, true, true>,
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
    const __m256i s = _mm256_add_epi32(_mm256_madd_epi16(_mm256_shuffle_epi8(v, load(rg)), _mm256_set1_epi32(4899 | 9617 << 16)),
                                       _mm256_madd_epi16(b1, _mm256_set1_epi32(1868 | 8192 << 16)));
    return _mm256_srli_epi32(s, 14);  // pixels 0-3 in lane 0, 4-7 in lane 1
}

template <int N, int R, int G, int B>
OCULANE_AVX2 std::uint32_t luma_kernel(const std::uint8_t* in, std::uint32_t w, std::uint8_t* out) {
    std::uint32_t x = 0;
    for (; x + 35 <= w; x += 32) {
        const __m256i p01 = _mm256_packs_epi32(luma8_pixels<N, R, G, B>(in, x), luma8_pixels<N, R, G, B>(in, x + 8));
        const __m256i p23 = _mm256_packs_epi32(luma8_pixels<N, R, G, B>(in, x + 16), luma8_pixels<N, R, G, B>(in, x + 24));
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

// Two vectors of 8 dwords as 16 words in order. Signed saturation keeps
// every value here (all are within a few hundred of 0..255); the byte
// packing after it clamps to 0..255 as the portable loop does.
OCULANE_AVX2 inline __m256i words(__m256i lo, __m256i hi) {
    return _mm256_permute4x64_epi64(_mm256_packs_epi32(lo, hi), 0xD8);
}

// R, G, B words of the 16 pixels (8 pairs) in 32 input bytes.
template <bool Uyvy>
OCULANE_AVX2 inline Sites yuv16(const std::uint8_t* in, const Yuv& k) {
    // Per lane (4 pairs): the 8 Y, then the 4 U, then the 4 V.
    static constexpr Bytes32 split = lane_mask([](int j) {
        if (j < 8) return Uyvy ? 2 * j + 1 : 2 * j;
        if (j < 12) return 4 * (j - 8) + (Uyvy ? 0 : 1);
        return 4 * (j - 12) + (Uyvy ? 2 : 3);
    });
    const __m256i t = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(load(in), load(split)), 0xD8);
    const __m128i ys = _mm256_castsi256_si128(t);
    const __m128i uv = _mm_shuffle_epi8(_mm256_extracti128_si256(t, 1),
                                        _mm_setr_epi8(0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15));
    const __m256i centre = _mm256_set1_epi32(128);
    const __m256i u = _mm256_sub_epi32(_mm256_cvtepu8_epi32(uv), centre);
    const __m256i v = _mm256_sub_epi32(_mm256_cvtepu8_epi32(_mm_srli_si128(uv, 8)), centre);
    const __m256i cr = _mm256_mullo_epi32(v, k.rv);
    const __m256i cg = _mm256_add_epi32(_mm256_mullo_epi32(u, k.gu), _mm256_mullo_epi32(v, k.gv));
    const __m256i cb = _mm256_mullo_epi32(u, k.bu);
    const __m256i half = _mm256_set1_epi32(32768);
    const __m256i yy[2] = {
        _mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(_mm256_cvtepu8_epi32(ys), k.y0), k.ky), half),
        _mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(_mm256_cvtepu8_epi32(_mm_srli_si128(ys, 8)), k.y0), k.ky),
                         half)};
    // Pair p's chroma goes to pixels 2p and 2p + 1.
    const __m256i dup[2] = {_mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3), _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7)};
    __m256i ch[3][2];
    for (int h = 0; h < 2; ++h) {
        ch[0][h] = _mm256_srai_epi32(_mm256_add_epi32(yy[h], _mm256_permutevar8x32_epi32(cr, dup[h])), 16);
        ch[1][h] = _mm256_srai_epi32(_mm256_sub_epi32(yy[h], _mm256_permutevar8x32_epi32(cg, dup[h])), 16);
        ch[2][h] = _mm256_srai_epi32(_mm256_add_epi32(yy[h], _mm256_permutevar8x32_epi32(cb, dup[h])), 16);
    }
    return {words(ch[0][0], ch[0][1]), words(ch[1][0], ch[1][1]), words(ch[2][0], ch[2][1])};
}

template <bool Uyvy>
OCULANE_AVX2 std::uint32_t yuv_kernel(const std::uint8_t* in, std::uint32_t w, const int (&c)[6], std::uint8_t* out) {
    const Yuv k{_mm256_set1_epi32(c[0]), _mm256_set1_epi32(c[1]), _mm256_set1_epi32(c[2]),
                _mm256_set1_epi32(c[3]), _mm256_set1_epi32(c[4]), _mm256_set1_epi32(c[5])};
    std::uint32_t x = 0;
    for (; x + 32 <= w; x += 32) {
        const Sites p0 = yuv16<Uyvy>(in + 2 * std::size_t{x}, k);
        const Sites p1 = yuv16<Uyvy>(in + 2 * std::size_t{x} + 32, k);
        store_rgb(out + 3 * std::size_t{x}, pack_bytes(p0.own, p1.own), pack_bytes(p0.green, p1.green),
                  pack_bytes(p0.other, p1.other));
    }
    return x;
}

}  // namespace

bool cpu_has_avx2() { return __builtin_cpu_supports("avx2"); }

std::uint32_t demosaic_row(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c, std::uint32_t w,
                           bool red_row, bool green_first, bool grey, std::uint8_t* out) {
    return demosaic_dispatch(a, b, c, w, 0, red_row, green_first, grey, out);
}

std::uint32_t demosaic_row(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint32_t w,
                           unsigned depth, bool red_row, bool green_first, bool grey, std::uint8_t* out) {
    if (depth > 14) return 1;
    return demosaic_dispatch(a, b, c, w, depth > 8 ? depth - 8 : 0, red_row, green_first, grey, out);
}

std::uint32_t reorder_row(const std::uint8_t* in, std::uint32_t w, int n, int r, int g, int b, std::uint8_t* out) {
    if (n == 3 && r == 2 && g == 1 && b == 0) return reorder_kernel<3, 2, 1, 0>(in, w, out);
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
    return uyvy ? yuv_kernel<true>(in, w, k, out) : yuv_kernel<false>(in, w, k, out);
}

OCULANE_AVX2 std::uint32_t narrow_kernel(const std::uint8_t* in, std::uint32_t w, std::uint16_t mask, unsigned shift_bits,
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

std::uint32_t narrow_row(const std::uint8_t* in, std::uint32_t w, std::uint16_t mask, unsigned shift,
                         std::uint8_t* out) {
    // Above 8 bits after the shift the bytes would saturate, not truncate.
    if ((mask >> shift) > 0xFF) return 0;
    return narrow_kernel(in, w, mask, shift, out);
}

OCULANE_AVX2 std::uint32_t unpack12_kernel(const std::uint8_t* in, std::uint32_t groups, std::uint16_t* out) {
    // Word 2k of a lane is bytes 3k, 3k + 1 (low 12 bits), word 2k + 1 bytes
    // 3k + 1, 3k + 2 (high 12 bits).
    static constexpr Bytes32 words = lane_mask([](int j) { return 3 * (j / 4) + (j % 4 < 2 ? j % 4 : j % 4 - 1); });
    const __m256i m = load(words);
    const __m256i spread = _mm256_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0);
    const __m256i low12 = _mm256_set1_epi16(0x0FFF);
    std::uint32_t g = 0;
    // 32 bytes read from group g, 24 of them its 8 groups.
    for (; g + 11 <= groups; g += 8) {
        const __m256i v = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(load(in + 3 * std::size_t{g}), spread), m);
        store(out + 2 * std::size_t{g}, _mm256_blend_epi16(_mm256_and_si256(v, low12), _mm256_srli_epi16(v, 4), 0xAA));
    }
    return g;
}

std::uint32_t unpack12_lsb(const std::uint8_t* in, std::uint32_t groups, std::uint16_t* out) {
    return unpack12_kernel(in, groups, out);
}

}  // namespace oculane::imaging::avx2

#endif
