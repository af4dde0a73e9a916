#pragma once
// Helpers of the stream receive benchmark: per-thread CPU clocks and
// context-switch counts read from outside the thread, a bare recvmmsg sink
// to compare the stream worker against, a paced GVSP sender and the
// datagrams of one frame it sends.

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "gige/proto/gvsp.hpp"
#include "util/frame_copy.hpp"
#include "util/poller.hpp"
#include "util/udp_batch.hpp"
#include "util/unique_fd.hpp"

namespace oculane::bench {

using BenchClock = std::chrono::steady_clock;

// The kernel id of this process's thread called `name`, if there is one.
inline std::optional<pid_t> thread_id(const std::string& name) {
    std::optional<pid_t> found;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string line;
            std::getline(comm, line);
            if (line == name) found = static_cast<pid_t>(std::stol(e->d_name));
        }
        ::closedir(d);
    }
    return found;
}

// CPU time of any thread of this process, in ns (the clock id glibc's
// pthread_getcpuclockid builds, for a thread known only by its id).
inline double thread_cpu_ns(pid_t tid) {
    const clockid_t clock = static_cast<clockid_t>((~static_cast<clockid_t>(tid) << 3) | 6);
    timespec ts{};
    if (::clock_gettime(clock, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// Voluntary context switches of a thread: how often it went to sleep.
inline std::uint64_t thread_wakeups(pid_t tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stoull(line.substr(24));
    return 0;
}

// The least a receiver does: wait for readiness, recvmmsg into one batch,
// count. Same poller, same batch helper, same socket options as the worker
// (receive coalescing included: a coalesced datagram counts its packets).
class BareReceiver {
public:
    // Slots of `slot_size` bytes, as the stream worker sizes them for its
    // packet size; `coalescing` as the worker sets its socket up, or off for
    // the classic one-datagram-per-slot sink.
    // With `frame_bytes` above 0 it also copies every packet's bytes after
    // its 8-byte header into a buffer of that size, end to end and wrapping,
    // as a receiver filling frame buffers must: the least a receiver that
    // hands out frames pays.
    BareReceiver(UniqueFd socket, std::size_t slot_size, bool coalescing = true, std::size_t frame_bytes = 0)
        : socket_(std::move(socket)), slot_size_(slot_size), coalescing_(coalescing), frame_(frame_bytes) {
        thread_ = std::thread([this] { run(); });
        while (tid_.load() == 0) std::this_thread::yield();
    }
    ~BareReceiver() { stop(); }

    void stop() {
        if (!thread_.joinable()) return;
        stop_.store(true);
        if (waker_) (void)waker_->wake();
        thread_.join();
    }
    std::uint64_t packets() const { return packets_.load(std::memory_order_relaxed); }
    std::uint64_t kernel_drops() const { return drops_.load(std::memory_order_relaxed); }
    pid_t tid() const { return tid_.load(); }

private:
    void run() {
        auto poller = Poller::create();
        auto waker = Waker::create();
        waker_ = *waker;
        (void)poller->add(socket_.get(), 0);
        (void)poller->add_waker(*waker, 1);
        (void)enable_drop_counter(socket_.get());
        const bool coalescing = coalescing_ && enable_coalescing(socket_.get()).has_value();
        UdpBatch batch(coalescing ? 32 : 64, coalescing ? 65536 : slot_size_);
        tid_.store(::gettid());
        while (!stop_.load(std::memory_order_relaxed)) {
            auto ready = poller->wait(std::chrono::milliseconds(100));
            if (!ready) continue;
            for (;;) {
                auto n = batch.receive(socket_.get());
                if (!n || *n == 0) break;
                std::uint64_t packets = 0;
                for (std::size_t i = 0; i < *n; ++i) {
                    const std::size_t len = batch.datagram(i).size(), seg = batch.segment_size(i);
                    packets += seg ? (len + seg - 1) / seg : 1;
                    if (!frame_.empty()) {
                        const auto d = batch.datagram(i);
                        const std::size_t step = seg ? seg : len;
                        for (std::size_t at = 0; at < len; at += step) copy_packet(d.subspan(at, std::min(step, len - at)));
                    }
                }
                packets_.fetch_add(packets, std::memory_order_relaxed);
                if (*n < batch.capacity()) break;
            }
            drops_.store(batch.drop_counter(), std::memory_order_relaxed);
        }
    }

    void copy_packet(std::span<const std::uint8_t> packet) {
        constexpr std::size_t kHeader = 8;
        if (packet.size() <= kHeader) return;
        const std::size_t n = std::min(packet.size() - kHeader, frame_.size());
        if (frame_at_ + n > frame_.size()) frame_at_ = 0;
        copy_into_frame(frame_.data() + frame_at_, packet.data() + kHeader, n, frame_.size());
        frame_at_ += n;
    }

    UniqueFd socket_;
    std::size_t slot_size_;
    bool coalescing_;
    std::vector<std::uint8_t> frame_;
    std::size_t frame_at_ = 0;
    std::shared_ptr<Waker> waker_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<pid_t> tid_{0};
    std::atomic<std::uint64_t> packets_{0};
    std::atomic<std::uint64_t> drops_{0};
};

inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// GVSP datagrams of one image frame, built once; the block id is patched in.
struct FramePackets {
    std::vector<std::vector<std::uint8_t>> datagrams;

    FramePackets(std::uint32_t width, std::uint32_t height, std::uint32_t packet_size) {
        const std::size_t payload = std::size_t{width} * height;
        const std::size_t per = packet_size - gvsp::kPacketOverhead;
        const std::size_t n = (payload + per - 1) / per;
        std::vector<std::uint8_t> leader(gvsp::kLeaderImageSize);
        gvsp::encode_leader(leader, gvsp::payload_type::kImage,
                            gvsp::LeaderInfo{.payload_type = 1, .pixel_format = gvsp::pixel::kMono8,
                                             .width = width, .height = height});
        add(gvsp::PacketFormat::Leader, 0, leader);
        for (std::size_t i = 0; i < n; ++i) {
            std::vector<std::uint8_t> data(std::min(per, payload - i * per), static_cast<std::uint8_t>(i));
            add(gvsp::PacketFormat::Payload, static_cast<std::uint32_t>(i + 1), data);
        }
        std::vector<std::uint8_t> trailer(gvsp::kTrailerImageSize);
        gvsp::encode_trailer(trailer, gvsp::payload_type::kImage, height);
        add(gvsp::PacketFormat::Trailer, static_cast<std::uint32_t>(n + 1), trailer);
    }

    void add(gvsp::PacketFormat format, std::uint32_t id, const std::vector<std::uint8_t>& payload) {
        std::vector<std::uint8_t> d(gvsp::kHeaderSize + payload.size());
        gvsp::encode_header(d, gvsp::PacketHeader{.format = static_cast<std::uint8_t>(format), .packet_id = id});
        std::copy(payload.begin(), payload.end(), d.begin() + gvsp::kHeaderSize);
        datagrams.push_back(std::move(d));
    }

    void set_block(std::uint16_t block) {
        for (auto& d : datagrams) {
            d[2] = static_cast<std::uint8_t>(block >> 8);
            d[3] = static_cast<std::uint8_t>(block);
        }
    }
};

inline void spin_until(BenchClock::time_point t) {
    while (BenchClock::now() < t) {
    }
}

}  // namespace oculane::bench
