#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include <unistd.h>

#include "util/channel.hpp"

using namespace oculane;
using namespace std::chrono_literals;

TEST(Channel, DeliversInOrder) {
    auto [tx, rx] = unbounded<int>();
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(tx.send(i));
    EXPECT_EQ(rx.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        auto v = rx.try_recv();
        ASSERT_TRUE(v);
        EXPECT_EQ(*v, i);
    }
    EXPECT_EQ(rx.try_recv().error(), RecvError::Empty);
}

TEST(Channel, BoundedTrySendReportsFullAndReturnsTheValue) {
    auto [tx, rx] = bounded<std::unique_ptr<int>>(2);
    ASSERT_TRUE(tx.try_send(std::make_unique<int>(1)));
    ASSERT_TRUE(tx.try_send(std::make_unique<int>(2)));
    auto refused = tx.try_send(std::make_unique<int>(3));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().reason, SendError::Full);
    ASSERT_NE(refused.error().value, nullptr);
    EXPECT_EQ(*refused.error().value, 3);
    EXPECT_EQ(**rx.try_recv(), 1);
    EXPECT_TRUE(tx.try_send(std::make_unique<int>(4)));
    EXPECT_EQ(**rx.try_recv(), 2);
    EXPECT_EQ(**rx.try_recv(), 4);
}

// Which end goes away, and what each operation then reports.
TEST(Channel, DisconnectionSeenFromBothEnds) {
    {
        auto [tx, rx] = bounded<int>(4);
        ASSERT_TRUE(tx.send(7));
        { auto gone = std::move(tx); }
        // Queued values still arrive; only then the channel is disconnected.
        EXPECT_TRUE(rx.senders_gone());
        EXPECT_EQ(*rx.try_recv(), 7);
        EXPECT_EQ(rx.try_recv().error(), RecvError::Disconnected);
        EXPECT_EQ(rx.recv().error(), RecvError::Disconnected);
        EXPECT_EQ(rx.recv_timeout(1s).error(), RecvError::Disconnected);
    }
    {
        auto [tx, rx] = bounded<int>(4);
        { auto gone = std::move(rx); }
        EXPECT_TRUE(tx.is_disconnected());
        auto a = tx.try_send(1);
        ASSERT_FALSE(a);
        EXPECT_EQ(a.error().reason, SendError::Disconnected);
        EXPECT_EQ(a.error().value, 1);
        auto b = tx.send(2);
        ASSERT_FALSE(b);
        EXPECT_EQ(b.error(), 2);
    }
    {
        // Clones keep the channel connected until the last one goes.
        auto [tx, rx] = unbounded<int>();
        auto tx2 = tx;
        auto rx2 = rx;
        { auto gone = std::move(tx); }
        EXPECT_TRUE(tx2.send(1));
        EXPECT_EQ(*rx.try_recv(), 1);
        { auto gone = std::move(rx); }
        EXPECT_FALSE(tx2.is_disconnected());
        EXPECT_TRUE(tx2.send(2));
        EXPECT_EQ(*rx2.try_recv(), 2);
        tx2 = Sender<int>();
        EXPECT_EQ(rx2.try_recv().error(), RecvError::Disconnected);
    }
}

TEST(Channel, DetachedEndsReportDisconnected) {
    Sender<int> tx;
    Receiver<int> rx;
    EXPECT_EQ(tx.try_send(1).error().reason, SendError::Disconnected);
    EXPECT_EQ(tx.send(1).error(), 1);
    EXPECT_EQ(rx.try_recv().error(), RecvError::Disconnected);
    EXPECT_EQ(rx.recv().error(), RecvError::Disconnected);
    EXPECT_EQ(rx.recv_timeout(10ms).error(), RecvError::Disconnected);
}

TEST(Channel, ReceiveWithDeadlineTimesOutWhenNothingComes) {
    auto [tx, rx] = unbounded<int>();
    EXPECT_EQ(rx.recv_timeout(20ms).error(), RecvError::Timeout);
    EXPECT_EQ(rx.recv_timeout(0ms).error(), RecvError::Timeout);
    EXPECT_EQ(rx.recv_deadline(std::chrono::steady_clock::now() - 1s).error(), RecvError::Timeout);
    // A timeout too large for the clock means "no limit", not an overflow.
    ASSERT_TRUE(tx.send(5));
    EXPECT_EQ(*rx.recv_timeout(std::chrono::nanoseconds::max()), 5);
    ASSERT_TRUE(tx.send(6));
    EXPECT_EQ(*rx.recv_timeout(0ms), 6);
}

TEST(Channel, BlockedReceiverWakesOnValue) {
    auto [tx, rx] = unbounded<int>();
    std::jthread consumer([rx = std::move(rx)]() mutable {
        auto v = rx.recv();
        ASSERT_TRUE(v);
        EXPECT_EQ(*v, 42);
    });
    ASSERT_TRUE(tx.send(42));
}

TEST(Channel, DroppingLastSenderWakesBlockedReceivers) {
    auto [tx, rx] = unbounded<int>();
    std::atomic<int> disconnected{0};
    std::vector<std::jthread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([rx, &disconnected, i]() mutable {
            // Half wait without limit, half with a deadline far away.
            auto r = i % 2 ? rx.recv() : rx.recv_timeout(1h);
            if (!r && r.error() == RecvError::Disconnected) ++disconnected;
        });
    }
    rx = Receiver<int>();
    tx = Sender<int>();
    waiters.clear();  // joins; hangs here if a waiter was not woken
    EXPECT_EQ(disconnected.load(), 3);
}

TEST(Channel, DroppingLastReceiverWakesBlockedSender) {
    auto [tx, rx] = bounded<int>(1);
    ASSERT_TRUE(tx.try_send(1));
    std::expected<void, int> result;
    std::jthread producer([&, tx = tx]() mutable { result = tx.send(2); });
    rx = Receiver<int>();
    producer.join();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), 2);
}

TEST(Channel, BlockedSenderProceedsWhenSpaceFrees) {
    auto [tx, rx] = bounded<int>(1);
    ASSERT_TRUE(tx.try_send(1));
    std::jthread producer([tx = tx]() mutable {
        for (int i = 2; i <= 50; ++i) ASSERT_TRUE(tx.send(i));
    });
    for (int i = 1; i <= 50; ++i) {
        auto v = rx.recv_timeout(10s);
        ASSERT_TRUE(v);
        EXPECT_EQ(*v, i);
    }
}

TEST(Channel, LastReceiverGoneFreesQueuedValuesAtOnce) {
    auto token = std::make_shared<int>(0);
    auto [tx, rx] = unbounded<std::shared_ptr<int>>();
    ASSERT_TRUE(tx.send(token));
    ASSERT_TRUE(tx.send(token));
    EXPECT_EQ(token.use_count(), 3);
    rx = Receiver<std::shared_ptr<int>>();
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_TRUE(tx.is_disconnected());
}

// A value destroyed by the channel may itself send on another channel (a
// frame returning its buffer to the pool); that must not deadlock.
TEST(Channel, DiscardedValueMaySendOnItsOwnChannel) {
    struct Returner {
        Sender<int> home;
        ~Returner() {
            if (home) (void)home.try_send(1);
        }
        Returner(Sender<int> h) : home(std::move(h)) {}
        Returner(Returner&&) = default;
    };
    auto [pool_tx, pool_rx] = unbounded<int>();
    auto [tx, rx] = unbounded<Returner>();
    ASSERT_TRUE(tx.send(Returner(pool_tx)));
    rx = Receiver<Returner>();
    EXPECT_EQ(*pool_rx.try_recv(), 1);
}

TEST(Channel, HugeCapacityIsALimitNotAnAllocation) {
    auto [tx, rx] = bounded<std::uint64_t>(std::numeric_limits<std::size_t>::max());
    for (std::uint64_t i = 0; i < 5000; ++i) ASSERT_TRUE(tx.try_send(i));
    for (std::uint64_t i = 0; i < 5000; ++i) ASSERT_EQ(*rx.try_recv(), i);
    // A capacity just above the initial ring still stops at the capacity.
    auto [tx2, rx2] = bounded<int>(1500);
    for (int i = 0; i < 1500; ++i) ASSERT_TRUE(tx2.try_send(i));
    EXPECT_EQ(tx2.try_send(0).error().reason, SendError::Full);
    for (int i = 0; i < 1500; ++i) ASSERT_EQ(*rx2.try_recv(), i);
}

TEST(Channel, WrapAroundKeepsOrderWhileGrowing) {
    auto [tx, rx] = unbounded<int>();
    int next_in = 0, next_out = 0;
    // Interleave so the ring's head is mid-buffer when it grows.
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < 7 * (round + 1); ++i) ASSERT_TRUE(tx.send(next_in++));
        for (int i = 0; i < 5 * (round + 1); ++i) ASSERT_EQ(*rx.try_recv(), next_out++);
    }
    while (next_out < next_in) ASSERT_EQ(*rx.try_recv(), next_out++);
    EXPECT_EQ(rx.try_recv().error(), RecvError::Empty);
}

TEST(Channel, ZeroCapacityHandsOffOnlyToAWaitingReceiver) {
    auto [tx, rx] = bounded<int>(0);
    EXPECT_EQ(tx.try_send(1).error().reason, SendError::Full);
    std::jthread consumer([rx = rx]() mutable {
        auto v = rx.recv_timeout(30s);
        ASSERT_TRUE(v);
        EXPECT_EQ(*v, 9);
    });
    // Blocks until the consumer waits, then hands the value over.
    ASSERT_TRUE(tx.send(9));
    consumer.join();
    EXPECT_EQ(rx.try_recv().error(), RecvError::Empty);
}

TEST(Channel, ManyProducersManyConsumers) {
    constexpr int kProducers = 4, kConsumers = 3, kPerProducer = 5000;
    auto [tx, rx] = bounded<std::pair<int, int>>(8);
    std::vector<std::vector<std::pair<int, int>>> got(kConsumers);
    {
        std::vector<std::jthread> threads;
        for (int c = 0; c < kConsumers; ++c) {
            threads.emplace_back([rx = rx, &mine = got[c]]() mutable {
                while (auto v = rx.recv()) mine.push_back(*v);
            });
        }
        for (int p = 0; p < kProducers; ++p) {
            threads.emplace_back([tx = tx, p]() mutable {
                for (int i = 0; i < kPerProducer; ++i) {
                    // Mix blocking and non-blocking sends.
                    if (i % 3 == 0) {
                        auto v = std::pair{p, i};
                        for (;;) {
                            auto r = tx.try_send(v);
                            if (r) break;
                            ASSERT_EQ(r.error().reason, SendError::Full);
                            std::this_thread::yield();
                        }
                    } else {
                        ASSERT_TRUE(tx.send({p, i}));
                    }
                }
            });
        }
        // The consumers end when the producers' clones and ours are gone.
        tx = Sender<std::pair<int, int>>();
        rx = Receiver<std::pair<int, int>>();
    }
    std::set<std::pair<int, int>> all;
    for (const auto& mine : got) {
        // Each consumer sees every producer's values in the order sent.
        std::vector<int> last(kProducers, -1);
        for (auto [p, i] : mine) {
            EXPECT_GT(i, last[p]);
            last[p] = i;
            EXPECT_TRUE(all.insert({p, i}).second) << "duplicate " << p << "/" << i;
        }
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kProducers * kPerProducer));
}

TEST(Channel, TakeAllReturnsWhatIsQueuedAndFreesSpace) {
    auto [tx, rx] = bounded<int>(3);
    EXPECT_TRUE(rx.try_recv_all().empty());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(tx.try_send(i));
    // A sender blocked on the full channel gets in once the batch is taken.
    std::jthread producer([tx = tx]() mutable { ASSERT_TRUE(tx.send(3)); });
    EXPECT_EQ(rx.try_recv_all(), (std::vector<int>{0, 1, 2}));
    producer.join();
    EXPECT_EQ(rx.try_recv_all(), (std::vector<int>{3}));
    tx = Sender<int>();
    EXPECT_TRUE(rx.try_recv_all().empty());
    EXPECT_EQ(rx.try_recv().error(), RecvError::Disconnected);
}

// A queue that keeps the newest values hands the one it let go of back to
// the sender, and never refuses or waits for room.
TEST(Channel, DropOldestKeepsTheNewestAndReturnsWhatItLetGo) {
    auto [tx, rx] = bounded<std::unique_ptr<int>>(2, Overflow::DropOldest);
    std::vector<int> displaced;
    for (int i = 1; i <= 5; ++i) {
        auto sent = tx.try_send(std::make_unique<int>(i));
        if (!sent) {
            ASSERT_EQ(sent.error().reason, SendError::Displaced);
            displaced.push_back(*sent.error().value);
        }
    }
    ASSERT_TRUE(tx.send(std::make_unique<int>(6)));  // never waits either
    EXPECT_EQ(displaced, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(**rx.try_recv(), 5);
    EXPECT_EQ(**rx.try_recv(), 6);
    { auto gone = std::move(rx); }
    EXPECT_EQ(tx.try_send(std::make_unique<int>(7)).error().reason, SendError::Disconnected);
}

// The notification descriptor turns readable for each value queued and for
// the last sender's end, and only then.
TEST(Channel, NotifyDescriptorSignalsValuesAndTheEnd) {
    auto [tx, rx] = bounded<int>(4);
    const int fd = rx.notify_fd();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(rx.notify_fd(), fd);  // one per channel
    std::uint64_t count = 0;
    auto read_count = [&] {
        count = 0;
        return ::read(fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count) ? count : 0;
    };
    EXPECT_EQ(read_count(), 0u);  // nothing yet: the read would block
    ASSERT_TRUE(tx.try_send(1));
    ASSERT_TRUE(tx.send(2));
    EXPECT_EQ(read_count(), 2u);
    (void)rx.try_recv();
    EXPECT_EQ(read_count(), 0u);  // receiving signals nothing
    tx = Sender<int>();
    EXPECT_EQ(read_count(), 1u);
}
