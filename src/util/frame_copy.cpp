#include "util/frame_copy.hpp"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>
#define OCULANE_STREAMING_STORES 1
#endif

namespace oculane {

void copy_into_frame(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, std::uint64_t frame_size) {
#ifdef OCULANE_STREAMING_STORES
    // Below a few cache lines the alignment work outweighs the gain.
    if (frame_size >= kStreamingCopyFrameSize && n >= 256) {
        // Only whole cache lines are streamed: a partly written line would
        // reach memory as a partial write, which costs more than filling it
        // through the cache. The head up to the first line boundary and the
        // tail after the last go the ordinary way.
        const std::size_t head = (64 - (reinterpret_cast<std::uintptr_t>(dst) & 63)) & 63;
        std::memcpy(dst, src, head);
        dst += head;
        src += head;
        n -= head;
        std::size_t i = 0;
        for (; i + 64 <= n; i += 64) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 32));
            const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 48));
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), a);
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 16), b);
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 32), c);
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 48), d);
        }
        // No fence here: waiting for every packet's lines to reach memory
        // costs more than the copy; publish_frame_bytes() fences once a frame.
        std::memcpy(dst + i, src + i, n - i);
        return;
    }
#else
    (void)frame_size;
#endif
    std::memcpy(dst, src, n);
}

void publish_frame_bytes() {
#ifdef OCULANE_STREAMING_STORES
    _mm_sfence();
#endif
}

}  // namespace oculane
