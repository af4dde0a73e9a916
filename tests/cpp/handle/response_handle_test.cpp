#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "handle/response_handle.hpp"

using namespace oculane;
using namespace std::chrono_literals;

namespace {

bool is_ack_timeout(const SharedCameraError& e) { return e && e->is<camera_error::AckTimeout>(); }

// Waits long enough that a missed wake-up shows as a wait that ran to its
// deadline; get() would then still find the value, so the tests also check
// that the wait ended early.
constexpr auto kLongWait = 60s;
constexpr auto kWokenWithin = 30s;

}  // namespace

TEST(ResponseHandle, EmptySlotAnswersWithAFreshAckTimeout) {
    ResponseHandle<std::uint32_t> h;
    EXPECT_FALSE(h.is_filled());
    EXPECT_FALSE(h.filled_at());
    auto r = h.get();
    ASSERT_FALSE(r);
    ASSERT_TRUE(is_ack_timeout(r.error()));
    EXPECT_EQ(r.error().use_count(), 1);  // nobody else holds it
    EXPECT_EQ(r.error()->to_string(), "timed out waiting for acknowledge");
    EXPECT_NE(h.get().error(), r.error());  // a new one each time
}

TEST(ResponseHandle, ValueIsCopiedOutAndStaysInTheSlot) {
    ResponseHandle<std::vector<std::uint32_t>> h;
    const auto before = std::chrono::system_clock::now();
    h.fulfill(std::vector<std::uint32_t>{1, 2, 3});
    ASSERT_TRUE(h.is_filled());
    ASSERT_TRUE(h.filled_at());
    EXPECT_GE(*h.filled_at(), before);
    auto a = h.get();
    auto b = h.wait_timeout(0ms);
    ASSERT_TRUE(a);
    ASSERT_TRUE(b);
    EXPECT_EQ(*a, (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(*a, *b);
    a->push_back(4);  // the caller's copy, not the slot's
    EXPECT_EQ(h.get()->size(), 3u);
}

TEST(ResponseHandle, StoredErrorIsSharedWithTheSlot) {
    ResponseHandle<std::vector<std::uint8_t>> h;
    h.fail(CameraError::device_status(0x0084, 0x8006));
    auto a = h.get();
    auto b = h.wait_timeout(1s);
    ASSERT_FALSE(a);
    ASSERT_FALSE(b);
    EXPECT_EQ(a.error(), b.error());        // the same record
    EXPECT_GE(a.error().use_count(), 3);     // slot + a + b
    // Inspect in place, then convert: the variant and text survive.
    const auto* status = a.error()->get_if<camera_error::DeviceStatus>();
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->command, 0x0084);
    const std::string text = a.error()->to_string();
    CameraError owned = unwrap_arc(std::move(a.error()));
    EXPECT_EQ(owned.kind(), CameraError::Kind::DeviceStatus);
    EXPECT_EQ(owned.to_string(), text);
}

// Whatever comes second, the first answer stays.
TEST(ResponseHandle, FirstAnswerWins) {
    struct Case {
        const char* name;
        bool first_is_error;
        bool second_is_error;
    };
    for (const Case c : {Case{"value then value", false, false}, Case{"value then error", false, true},
                         Case{"error then value", true, false}, Case{"error then error", true, true}}) {
        ResponseHandle<std::uint32_t> h;
        auto answer = [&](bool error, std::uint32_t v) {
            if (error) {
                h.fail(CameraError::malformed(std::to_string(v)));
            } else {
                h.fulfill(v);
            }
        };
        answer(c.first_is_error, 1);
        const auto at = h.filled_at();
        answer(c.second_is_error, 2);
        auto r = h.get();
        if (c.first_is_error) {
            ASSERT_FALSE(r) << c.name;
            EXPECT_EQ(r.error()->to_string(), "malformed packet: 1") << c.name;
        } else {
            ASSERT_TRUE(r) << c.name;
            EXPECT_EQ(*r, 1u) << c.name;
        }
        EXPECT_EQ(h.filled_at(), at) << c.name;
    }
}

TEST(ResponseHandle, ExpiredWaitThenLateAnswerIsKept) {
    ResponseHandle<std::uint32_t> h;
    auto r = h.wait_timeout(10ms);
    ASSERT_FALSE(r);
    EXPECT_TRUE(is_ack_timeout(r.error()));
    EXPECT_EQ(r.error().use_count(), 1);
    h.fulfill(5u);
    EXPECT_EQ(*h.get(), 5u);
    // A zero wait on a filled slot answers at once.
    EXPECT_EQ(*h.wait_timeout(0ms), 5u);
}

TEST(ResponseHandle, UnitResultAndOwnedWait) {
    ResponseHandle<void> h;
    auto timeout = h.wait_owned(0ms);
    ASSERT_FALSE(timeout);
    EXPECT_EQ(timeout.error().kind(), CameraError::Kind::AckTimeout);
    h.fulfill({});
    EXPECT_TRUE(h.wait_owned(0ms));

    ResponseHandle<std::uint32_t> v;
    v.fail(CameraError::not_connected());
    auto owned = v.wait_owned(1s);
    ASSERT_FALSE(owned);
    EXPECT_EQ(owned.error().kind(), CameraError::Kind::NotConnected);
}

TEST(ResponseHandle, CopiesShareTheSlotUntilTheLastGoes) {
    ResponseHandle<std::uint32_t> h;
    {
        auto worker_copy = h;
        auto moved = std::move(worker_copy);
        EXPECT_EQ(h.holders(), 3);
        moved.fulfill(9u);
    }
    EXPECT_EQ(h.holders(), 1);
    EXPECT_EQ(*h.get(), 9u);
}

TEST(ResponseHandle, OneAnswerWakesEveryWaiter) {
    ResponseHandle<std::uint32_t> h;
    constexpr int kWaiters = 4;
    std::vector<std::uint32_t> got(kWaiters, 0);
    {
        std::vector<std::jthread> waiters;
        for (int i = 0; i < kWaiters; ++i) {
            waiters.emplace_back([clone = h, &slot = got[i]] {
                const auto start = std::chrono::steady_clock::now();
                auto r = clone.wait_timeout(kLongWait);
                if (r && std::chrono::steady_clock::now() - start < kWokenWithin) slot = *r;
            });
        }
        h.fulfill(77u);
    }
    for (auto v : got) EXPECT_EQ(v, 77u);
}

// An answer that lands between the waiter's fill check and its wait must not
// be missed: the wait would then run to its (long) deadline and report a
// timeout. Repeated to give the race many chances.
TEST(ResponseHandle, AnswerRacingTheWaitIsNeverMissed) {
    for (int i = 0; i < 2000; ++i) {
        ResponseHandle<std::uint32_t> h;
        std::jthread worker([clone = h, i] { clone.fulfill(static_cast<std::uint32_t>(i)); });
        const auto start = std::chrono::steady_clock::now();
        auto r = h.wait_timeout(kLongWait);
        ASSERT_LT(std::chrono::steady_clock::now() - start, kWokenWithin) << "iteration " << i;
        ASSERT_TRUE(r) << "iteration " << i;
        ASSERT_EQ(*r, static_cast<std::uint32_t>(i));
    }
}

TEST(ResponseHandle, ConcurrentAnswersAgreeOnOneResult) {
    for (int round = 0; round < 50; ++round) {
        ResponseHandle<std::uint32_t> h;
        std::set<std::uint32_t> seen;
        std::mutex seen_m;
        {
            std::vector<std::jthread> threads;
            for (std::uint32_t t = 0; t < 3; ++t) {
                threads.emplace_back([clone = h, t] { clone.fulfill(t); });
                threads.emplace_back([clone = h, &seen, &seen_m] {
                    auto r = clone.wait_timeout(kLongWait);
                    std::lock_guard lock(seen_m);
                    seen.insert(r ? *r : 999u);
                });
            }
        }
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_LT(*seen.begin(), 3u);
        EXPECT_EQ(*h.get(), *seen.begin());
    }
}
