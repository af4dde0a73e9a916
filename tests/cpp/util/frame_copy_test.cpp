// The frame copy moves exactly the bytes asked for, whichever store it uses.
#include <gtest/gtest.h>

#include <vector>

#include "util/frame_copy.hpp"

namespace oculane {
namespace {

TEST(FrameCopy, CopiesExactlyTheBytesAtAnyAlignmentAndLength) {
    std::vector<std::uint8_t> src(10'000);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i * 7 + 3);
    for (const std::uint64_t frame_size : {std::uint64_t{4096}, kStreamingCopyFrameSize}) {
        for (const std::size_t n : {0u, 1u, 63u, 255u, 256u, 257u, 1000u, 1464u, 8952u}) {
            for (const std::size_t dst_offset : {0u, 1u, 15u, 16u, 33u, 63u, 64u, 65u}) {
                std::vector<std::uint8_t> dst(n + 128, 0xEE);
                copy_into_frame(dst.data() + dst_offset, src.data() + 5, n, frame_size);
                publish_frame_bytes();
                for (std::size_t i = 0; i < dst.size(); ++i) {
                    const bool inside = i >= dst_offset && i < dst_offset + n;
                    const std::uint8_t want = inside ? src[5 + i - dst_offset] : 0xEE;
                    ASSERT_EQ(dst[i], want) << "frame " << frame_size << " n " << n << " offset " << dst_offset
                                            << " byte " << i;
                }
            }
        }
    }
}

}  // namespace
}  // namespace oculane
