#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "util/channel.hpp"
#include "util/poller.hpp"

using namespace oculane;
using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t kSocket = 0;
constexpr std::uint64_t kWake = 1;

// A UDP socket bound to an ephemeral loopback port.
UniqueFd loopback_socket(sockaddr_in& addr) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return {};
    socklen_t len = sizeof addr;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    return fd;
}

struct Fixture {
    Poller poller;
    std::shared_ptr<Waker> waker;
};

Fixture make_poller() {
    auto poller = Poller::create();
    EXPECT_TRUE(poller);
    auto waker = Waker::create();
    EXPECT_TRUE(waker);
    EXPECT_TRUE(poller->add_waker(*waker, kWake));
    return {std::move(*poller), *waker};
}

}  // namespace

TEST(Poller, TimesOutWithNoEvents) {
    auto f = make_poller();
    auto r = f.poller.wait(10ms);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->empty());
    auto zero = f.poller.wait(0ms);
    ASSERT_TRUE(zero);
    EXPECT_TRUE(zero->empty());
}

TEST(Poller, WakeEndsTheWaitOnceAndIsDrained) {
    auto f = make_poller();
    ASSERT_TRUE(f.waker->wake());
    ASSERT_TRUE(f.waker->wake());  // coalesces with the first
    auto r = f.poller.wait(std::nullopt);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].token, kWake);
    EXPECT_TRUE((*r)[0].readable);
    // Drained by the wait: the next one must not return early.
    auto again = f.poller.wait(0ms);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->empty());
    // And after the drain, a new wake is not swallowed.
    ASSERT_TRUE(f.waker->wake());
    auto woken = f.poller.wait(0ms);
    ASSERT_TRUE(woken);
    EXPECT_EQ(woken->size(), 1u);
}

// The workers' pattern: queue a request, then wake; the worker waits, then
// drains its queue. Wakes that race the drain must never leave a request
// unseen: a lost wake shows as a wait that runs into its (long) timeout
// although the producer queued work before waking.
TEST(Poller, WakesRacingTheDrainLoseNoRequest) {
    auto f = make_poller();
    constexpr int kProducers = 2, kPerProducer = 20000;
    auto [tx, rx] = unbounded<int>();
    std::vector<std::jthread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([tx = tx, w = f.waker]() mutable {
            for (int i = 0; i < kPerProducer; ++i) {
                ASSERT_TRUE(tx.send(i));
                ASSERT_TRUE(w->wake());
                // Let the worker run often, so wakes keep landing on drains.
                if (i % 16 == 0) std::this_thread::yield();
            }
        });
    }
    tx = Sender<int>();
    int seen = 0;
    while (seen < kProducers * kPerProducer) {
        auto woken = f.poller.wait(10s);
        ASSERT_TRUE(woken);
        if (woken->empty()) {
            ASSERT_EQ(rx.size(), 0u) << "work queued but the wake was lost, after " << seen;
        }
        while (rx.try_recv()) ++seen;
    }
}

TEST(Poller, WakeFromAnotherThreadEndsAnUnlimitedWait) {
    auto f = make_poller();
    std::jthread waker_thread([w = f.waker] { ASSERT_TRUE(w->wake()); });
    auto r = f.poller.wait(std::nullopt);  // hangs here if the wake were lost
    ASSERT_TRUE(r);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].token, kWake);
}

TEST(Poller, ReportsSocketReadinessWithItsToken) {
    auto f = make_poller();
    sockaddr_in addr;
    UniqueFd sock = loopback_socket(addr);
    ASSERT_TRUE(sock);
    ASSERT_TRUE(f.poller.add(sock.get(), kSocket));

    sockaddr_in peer_addr;
    UniqueFd peer = loopback_socket(peer_addr);
    ASSERT_TRUE(peer);
    const char msg[] = "ping";
    ASSERT_EQ(::sendto(peer.get(), msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr),
              static_cast<ssize_t>(sizeof msg));
    auto r = f.poller.wait(5s);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].token, kSocket);
    EXPECT_TRUE((*r)[0].readable);

    // Level-triggered: still ready until read.
    auto again = f.poller.wait(0ms);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->size(), 1u);
    char buf[16];
    ASSERT_EQ(::recv(sock.get(), buf, sizeof buf, 0), static_cast<ssize_t>(sizeof msg));
    auto idle = f.poller.wait(0ms);
    ASSERT_TRUE(idle);
    EXPECT_TRUE(idle->empty());

    // Both sources ready at once are reported together.
    ASSERT_TRUE(f.waker->wake());
    ASSERT_EQ(::sendto(peer.get(), msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr),
              static_cast<ssize_t>(sizeof msg));
    bool saw_socket = false, saw_wake = false;
    // The datagram may still be on its way when sendto returns, so the two
    // may come in separate waits; the socket stays ready until read.
    for (int i = 0; i < 3 && !(saw_socket && saw_wake); ++i) {
        auto both = f.poller.wait(5s);
        ASSERT_TRUE(both);
        for (const auto& ev : *both) {
            saw_socket |= ev.token == kSocket;
            saw_wake |= ev.token == kWake;
        }
    }
    EXPECT_TRUE(saw_socket);
    EXPECT_TRUE(saw_wake);
}

TEST(Poller, RemovedDescriptorIsNoLongerReported) {
    auto f = make_poller();
    ASSERT_TRUE(f.poller.remove(f.waker->fd()));
    ASSERT_TRUE(f.waker->wake());
    auto r = f.poller.wait(0ms);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->empty());
    // Removing what is not registered is an error value, not a crash.
    auto again = f.poller.remove(f.waker->fd());
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error(), std::errc::no_such_file_or_directory);
}

TEST(Poller, InvalidRegistrationsFail) {
    auto f = make_poller();
    EXPECT_FALSE(f.poller.add(-1, 5));
    EXPECT_FALSE(f.poller.add_waker(nullptr, 5));
    // The same descriptor twice.
    EXPECT_EQ(f.poller.add(f.waker->fd(), 7).error(), std::errc::file_exists);
}

TEST(Waker, SaturatedCounterStillCountsAsWoken) {
    auto w = Waker::create();
    ASSERT_TRUE(w);
    // Push the eventfd counter to its maximum; further wakes would block.
    const std::uint64_t almost = 0xfffffffffffffffeULL;
    ASSERT_EQ(::write((*w)->fd(), &almost, sizeof almost), static_cast<ssize_t>(sizeof almost));
    EXPECT_TRUE((*w)->wake());
    (*w)->drain();
    EXPECT_TRUE((*w)->wake());
}
