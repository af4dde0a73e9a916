// Channel throughput against a plain mutex + deque + condition-variable queue
// with the same blocking behaviour, both measured in this run. Prints
// messages per second and the ratio channel / baseline (above 1: faster).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "util/channel.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// The baseline: what one would write without a channel type.
template <class T>
class MutexDeque {
public:
    explicit MutexDeque(std::optional<std::size_t> capacity) : capacity_(capacity) {}

    void send(T v) {
        std::unique_lock lock(m_);
        if (capacity_) not_full_.wait(lock, [&] { return q_.size() < *capacity_; });
        q_.push_back(std::move(v));
        lock.unlock();
        not_empty_.notify_one();
    }
    std::optional<T> recv() {
        std::unique_lock lock(m_);
        not_empty_.wait(lock, [&] { return !q_.empty(); });
        T v = std::move(q_.front());
        q_.pop_front();
        lock.unlock();
        if (capacity_) not_full_.notify_one();
        return v;
    }
private:
    std::optional<std::size_t> capacity_;
    std::mutex m_;
    std::condition_variable not_empty_, not_full_;
    std::deque<T> q_;
};

using Msg = std::shared_ptr<int>;  // what frame subscribers carry; null ends a consumer

// One round: producers send `per_producer` messages each, then one null per
// consumer. The queues are reused across rounds so both sides are measured
// warm, the way a worker's long-lived queue runs. `produce(n, payload)` and
// `consume()` run on their own threads.
template <class Produce, class Consume>
double run_round(Produce produce, Consume consume, int producers, int consumers, int per_producer) {
    auto payload = std::make_shared<int>(1);
    const auto start = Clock::now();
    {
        std::vector<std::jthread> consumer_threads;
        for (int c = 0; c < consumers; ++c) consumer_threads.emplace_back(consume);
        {
            std::vector<std::jthread> producer_threads;
            for (int p = 0; p < producers; ++p) producer_threads.emplace_back(produce, per_producer, payload);
        }
        produce(consumers, nullptr);
    }
    const std::chrono::duration<double> secs = Clock::now() - start;
    return producers * static_cast<double>(per_producer) / secs.count();
}

struct Channel {
    oculane::Sender<Msg> tx;
    oculane::Receiver<Msg> rx;
};

double run_channel(Channel& ch, int producers, int consumers, int per_producer) {
    // Each thread works on its own clone of an end, as the workers do.
    auto produce = [&ch](int n, Msg m) {
        auto tx = ch.tx;
        for (int i = 0; i < n; ++i) (void)tx.send(m);
    };
    auto consume = [&ch] {
        auto rx = ch.rx;
        while (auto v = rx.recv()) {
            if (!*v) break;
        }
    };
    return run_round(produce, consume, producers, consumers, per_producer);
}

double run_baseline(MutexDeque<Msg>& q, int producers, int consumers, int per_producer) {
    auto produce = [&q](int n, Msg m) {
        for (int i = 0; i < n; ++i) q.send(m);
    };
    auto consume = [&q] {
        while (auto v = q.recv()) {
            if (!*v) break;
        }
    };
    return run_round(produce, consume, producers, consumers, per_producer);
}

}  // namespace

int main() {
    struct Scenario {
        const char* name;
        std::optional<std::size_t> capacity;
        int producers, consumers;
    };
    const Scenario scenarios[] = {
        {"1 -> 1 unbounded", std::nullopt, 1, 1},
        {"1 -> 1 bounded(64)", 64, 1, 1},
        {"2 -> 2 bounded(8)", 8, 2, 2},
        {"4 -> 1 unbounded", std::nullopt, 4, 1},
    };
    constexpr int kMessages = 200'000;
    constexpr int kRounds = 3;  // best of, to damp noise from a shared machine
    std::printf("%-22s %14s %14s %8s\n", "scenario", "channel msg/s", "baseline msg/s", "ratio");
    for (const auto& s : scenarios) {
        const int per = kMessages / s.producers;
        double best_ch = 0, best_base = 0;
        MutexDeque<Msg> baseline(s.capacity);
        auto [tx, rx] = oculane::make_channel<Msg>(s.capacity);
        Channel channel{std::move(tx), std::move(rx)};
        for (int r = 0; r < kRounds; ++r) {
            // Alternate so that neither side always runs on a quieter machine.
            best_base = std::max(best_base, run_baseline(baseline, s.producers, s.consumers, per));
            best_ch = std::max(best_ch, run_channel(channel, s.producers, s.consumers, per));
        }
        std::printf("%-22s %14.0f %14.0f %8.2f\n", s.name, best_ch, best_base, best_ch / best_base);
    }
    return 0;
}
