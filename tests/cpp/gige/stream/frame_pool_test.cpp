#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gige/stream/frame.hpp"
#include "gige/stream/stream_stats.hpp"
#include "util/channel.hpp"

namespace oculane {
namespace {

std::shared_ptr<FramePool> make_pool(std::size_t n, std::uint64_t size) { return FramePool::create(n, size, 16).value(); }

FramePtr publish_one(FramePool& pool, std::uint64_t id) {
    auto buf = pool.try_take();
    if (!buf) return nullptr;
    FrameInfo info;
    info.frame_id = id;
    info.data_end = buf->data().size();
    info.status = FrameStatus::Complete;
    buf->data()[0] = static_cast<std::uint8_t>(id);
    return pool.publish(std::move(*buf), info);
}

TEST(FramePool, BuffersAreZeroFilledAndCycle) {
    auto pool = make_pool(2, 4096);
    EXPECT_EQ(pool->available(), 2u);
    {
        auto a = pool->try_take();
        auto b = pool->try_take();
        ASSERT_TRUE(a && b);
        EXPECT_FALSE(pool->try_take().has_value()) << "a third buffer out of two";
        for (auto* buf : {&*a, &*b}) {
            EXPECT_EQ(buf->data().size(), 4096u);
            EXPECT_EQ(std::count(buf->data().begin(), buf->data().end(), 0), 4096);
            EXPECT_GE(buf->packets().capacity(), 16u);
        }
        PooledBuf moved = std::move(*a);
        EXPECT_FALSE(static_cast<bool>(*a));
        EXPECT_EQ(pool->available(), 0u);
    }  // unpublished buffers go back when dropped
    EXPECT_EQ(pool->available(), 2u);

    FramePtr f = publish_one(*pool, 7);
    FramePtr g = f;
    EXPECT_EQ(pool->available(), 1u);
    f.reset();
    EXPECT_EQ(pool->available(), 1u) << "returned while another holder keeps the frame";
    EXPECT_EQ(g->data()[0], 7);
    g.reset();
    EXPECT_EQ(pool->available(), 2u);
}

TEST(FramePool, EmptyPoolStaysEmpty) {
    auto pool = make_pool(0, 100);
    EXPECT_FALSE(pool->try_take().has_value());
    EXPECT_EQ(pool->available(), 0u);
}

TEST(FramePool, AbsurdSizesAreErrors) {
    for (auto [n, size] : {std::pair<std::size_t, std::uint64_t>{1, kMaxFrameBufferSize + 1},
                           {std::size_t{1} << 40, 1 << 20},
                           {2, ~std::uint64_t{0}}}) {
        auto pool = FramePool::create(n, size);
        ASSERT_FALSE(pool.has_value()) << n << " x " << size;
        EXPECT_EQ(pool.error().kind(), CameraError::Kind::Io);
        EXPECT_NE(pool.error().to_string().find(fmt::format("{} buffers of {} bytes", n, size)), std::string::npos)
            << pool.error().to_string();
    }
}

// Frames are dropped on other threads while the owner keeps taking and
// publishing: every buffer comes home exactly once.
TEST(FramePool, ReleasedFromOtherThreads) {
    constexpr std::size_t kBuffers = 4;
    auto pool = make_pool(kBuffers, 256);
    auto [tx, rx] = bounded<FramePtr>(8);
    std::atomic<std::uint64_t> seen{0};
    std::vector<std::thread> releasers;
    for (int t = 0; t < 3; ++t) {
        releasers.emplace_back([rx = rx, &seen]() mutable {
            while (auto f = rx.recv()) {
                seen += (*f)->frame_id();
                f->reset();
            }
        });
    }
    rx = {};
    std::uint64_t want = 0;
    std::size_t published = 0;
    while (published < 20000) {
        if (FramePtr f = publish_one(*pool, published + 1)) {
            want += published + 1;
            ++published;
            ASSERT_TRUE(tx.send(std::move(f)).has_value());
        } else {
            std::this_thread::yield();  // all buffers are out; a releaser is about to return one
        }
    }
    tx = {};
    for (auto& t : releasers) t.join();
    EXPECT_EQ(seen.load(), want);
    EXPECT_EQ(pool->available(), kBuffers);
}

// The stream shuts down while frames are still held: they stay valid, and
// dropping them later (on another thread too) frees their memory.
TEST(FramePool, FramesOutliveTheirPool) {
    auto pool = make_pool(3, 1000);
    FramePtr a = publish_one(*pool, 1);
    FramePtr b = publish_one(*pool, 2);
    auto unpublished = pool->try_take();
    pool.reset();
    EXPECT_EQ(a->data().size(), 1000u);
    EXPECT_EQ(a->data()[0], 1);
    EXPECT_EQ(b->data()[0], 2);
    unpublished.reset();
    std::thread([f = std::move(b)]() mutable { f.reset(); }).join();
    a.reset();
}

TEST(Frame, PayloadClassesAndTimestamps) {
    const std::pair<std::uint16_t, PayloadClass> classes[] = {
        {1, {PayloadClass::Image, 0}}, {5, {PayloadClass::Image, 0}}, {4, {PayloadClass::ChunkData, 0}},
        {2, {PayloadClass::Other, 2}}, {0, {PayloadClass::Other, 0}}, {0x8001, {PayloadClass::Other, 0x8001}},
    };
    for (auto [type, want] : classes) EXPECT_EQ(payload_class_of(type), want) << type;

    const struct {
        std::uint64_t ticks, f, system, want;
    } stamps[] = {
        {250'000'001, 125'000'000, 9, 2'000'000'008},
        {0, 125'000'000, 9, 0},
        {123, 0, 456, 456},
        {3, 3, 0, 1'000'000'000},
        // (ticks mod f) * 1e9 does not fit 64 bits here
        {99'999'999'999, 100'000'000'000, 0, 999'999'999},
    };
    for (const auto& s : stamps) EXPECT_EQ(ticks_to_ns(s.ticks, s.f, s.system), s.want) << s.ticks << "/" << s.f;
}

TEST(StreamStats, FieldOrderAndRepr) {
    StreamStats s;
    std::uint64_t v = 1;
    for (const auto& f : kStreamStatsFields) s.*f.member = v++;
    EXPECT_EQ(kStreamStatsFields[18].name, "frames_dropped");
    EXPECT_EQ(kStreamStatsFields[19].name, "kernel_drops");
    EXPECT_EQ(s.packets, 1u);
    EXPECT_EQ(s.frames_dropped, 19u);
    EXPECT_EQ(repr(s),
              "StreamStats { packets: 1, bytes: 2, completed_frames: 3, failed_frames: 4, timed_out_frames: 5, "
              "aborted_frames: 6, missing_frames: 7, underruns: 8, missing_packets: 9, resend_requests: 10, "
              "resent_packets: 11, resend_ratio_reached: 12, resend_disabled: 13, duplicated_packets: 14, "
              "error_packets: 15, ignored_packets: 16, unsupported_frames: 17, size_mismatch_errors: 18, "
              "frames_dropped: 19, kernel_drops: 20 }");
}

}  // namespace
}  // namespace oculane
