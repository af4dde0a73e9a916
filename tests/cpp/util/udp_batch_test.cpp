// The batched receive helper on loopback sockets of the test's own.
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/loopback_udp.hpp"
#include "util/inet.hpp"
#include "util/udp_batch.hpp"
#include "util/unique_fd.hpp"

namespace oculane {
namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

struct Socket {
    UniqueFd fd;
    std::uint16_t port = 0;
};

Socket bound_socket() {
    Socket s{testing::bound_udp(kLoopback, 0)};
    EXPECT_TRUE(s.fd);
    s.port = testing::local_port(s.fd.get());
    return s;
}

void send_text(const Socket& from, const Socket& to, const std::string& text) {
    const sockaddr_in dest = inet::to_sockaddr(kLoopback, to.port);
    ASSERT_EQ(::sendto(from.fd.get(), text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&dest),
                       sizeof dest),
              static_cast<ssize_t>(text.size()));
}

std::string text_of(const UdpBatch& batch, std::size_t i) {
    const auto d = batch.datagram(i);
    return std::string(d.begin(), d.end());
}

TEST(UdpBatch, DeliversDatagramsInArrivalOrderWithTheirSources) {
    Socket rx = bound_socket();
    Socket a = bound_socket();
    Socket b = bound_socket();
    const std::vector<std::pair<const Socket*, std::string>> sent = {
        {&a, "one"}, {&b, "two"}, {&a, "three"}, {&b, ""}, {&a, "five"}, {&b, "six"}};
    for (const auto& [from, text] : sent) send_text(*from, rx, text);

    UdpBatch batch(4);
    std::vector<std::pair<std::uint16_t, std::string>> got;
    for (int round = 0; round < 3; ++round) {
        auto n = batch.receive(rx.fd.get());
        ASSERT_TRUE(n) << n.error().message();
        EXPECT_LE(*n, 4u);
        for (std::size_t i = 0; i < *n; ++i) {
            EXPECT_EQ(batch.source_ip(i), kLoopback);
            EXPECT_FALSE(batch.truncated(i));
            got.emplace_back(batch.source_port(i), text_of(batch, i));
        }
    }
    ASSERT_EQ(got.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(got[i].first, sent[i].first->port) << i;
        EXPECT_EQ(got[i].second, sent[i].second) << i;
    }
    // Nothing queued: no wait, no error, on a blocking socket too.
    auto none = batch.receive(rx.fd.get());
    ASSERT_TRUE(none);
    EXPECT_EQ(*none, 0u);
}

TEST(UdpBatch, MarksDatagramsLongerThanTheSlot) {
    Socket rx = bound_socket();
    Socket tx = bound_socket();
    send_text(tx, rx, std::string(100, 'x'));
    send_text(tx, rx, std::string(64, 'y'));
    UdpBatch batch(8, 64);
    auto n = batch.receive(rx.fd.get());
    ASSERT_TRUE(n);
    ASSERT_EQ(*n, 2u);
    EXPECT_TRUE(batch.truncated(0));
    EXPECT_EQ(batch.datagram(0).size(), 64u);
    EXPECT_FALSE(batch.truncated(1));
    EXPECT_EQ(text_of(batch, 1), std::string(64, 'y'));
}

TEST(UdpBatch, CoalescedRunsArriveWholeWithTheirSegmentSize) {
    Socket rx = bound_socket();
    Socket tx = bound_socket();
    ASSERT_TRUE(enable_coalescing(rx.fd.get()));
    // Three datagrams of 4000 bytes and one of 500, sent as one segmented message.
    std::string run;
    for (int i = 0; i < 12'500; ++i) run.push_back(static_cast<char>(i * 13));
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(run.data()), run.size());
    if (testing::send_segmented(tx.fd.get(), inet::to_sockaddr(kLoopback, rx.port), bytes, 4000) !=
        static_cast<ssize_t>(run.size()))
        GTEST_SKIP() << "no UDP segmentation here";
    send_text(tx, rx, "plain");

    UdpBatch batch(8);
    auto n = batch.receive(rx.fd.get());
    ASSERT_TRUE(n);
    ASSERT_EQ(*n, 2u);
    EXPECT_EQ(batch.segment_size(0), 4000u);
    EXPECT_EQ(text_of(batch, 0), run);
    EXPECT_EQ(batch.segment_size(1), 0u);
    EXPECT_EQ(text_of(batch, 1), "plain");
}

TEST(UdpBatch, ReportsWhatTheKernelDroppedForAFullBuffer) {
    Socket rx = bound_socket();
    Socket tx = bound_socket();
    const int tiny = 1;  // the kernel rounds this up to its minimum
    ASSERT_EQ(::setsockopt(rx.fd.get(), SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny), 0);
    ASSERT_TRUE(enable_drop_counter(rx.fd.get()));

    UdpBatch batch(64);
    // Before any drop, the counter stays 0.
    send_text(tx, rx, "first");
    ASSERT_EQ(batch.receive(rx.fd.get()).value_or(0), 1u);
    EXPECT_EQ(batch.take_new_drops(), 0u);

    const std::string big(1400, 'z');
    for (int i = 0; i < 200; ++i) send_text(tx, rx, big);
    std::size_t received = 0;
    for (;;) {
        auto n = batch.receive(rx.fd.get());
        ASSERT_TRUE(n);
        if (*n == 0) break;
        received += *n;
    }
    // Whatever the buffer held arrived; the rest was counted, not lost silently.
    ASSERT_GT(received, 0u);
    ASSERT_LT(received, 200u);
    // The counter rides on datagrams queued after the drops.
    send_text(tx, rx, "after");
    ASSERT_EQ(batch.receive(rx.fd.get()).value_or(0), 1u);
    EXPECT_EQ(batch.drop_counter(), 200u - received);
    EXPECT_EQ(batch.take_new_drops(), 200u - received);
    EXPECT_EQ(batch.take_new_drops(), 0u);
}

}  // namespace
}  // namespace oculane
