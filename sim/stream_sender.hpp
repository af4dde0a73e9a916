#pragma once
// The virtual camera's GVSP sender: a thread of its own beside the GVCP
// server, so that the server's loop never paces packets. It asks the device
// for work (frames due, resends asked for), cuts blocks into datagrams from a
// cached test pattern (packetizer.hpp), and transmits them in batches:
// sendmmsg with one datagram per message, or, when asked (benchmarks), UDP
// GSO (UDP_SEGMENT) for runs of equal-sized datagrams where the kernel has
// it, falling back to one datagram per message when it has not. Pacing follows the link-rate setting (each packet's bytes, with
// Ethernet's framing, at that rate) plus the packet-delay register (a gap of
// that many device ticks after each packet): a batch holds at most about
// 100 us of packets, and the next batch waits until the previous one would
// have left the wire. A sleep that overran is made up by the following
// batches, so the average rate holds; after more than 10 ms behind, the
// pace restarts from now.
//
// Thread safety: start() and stop() from the owner (Server); everything else
// runs on the sender's own thread.

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "sim/device.hpp"
#include "sim/packetizer.hpp"
#include "sim/test_pattern.hpp"
#include "thread_util/thread_handle.hpp"
#include "util/poller.hpp"
#include "util/unique_fd.hpp"

namespace oculane::sim {

class StreamSender {
public:
    // Binds a UDP socket to (ip, port; 0 for one the kernel picks) and
    // starts the thread ("oculane-gvsp-tx"). The device learns the source
    // port. `gso` true hands the kernel runs of equal datagrams to segment
    // (UDP GSO) where it can; false sends one datagram per message.
    static std::expected<std::unique_ptr<StreamSender>, std::string> start(std::shared_ptr<Device> device,
                                                                           std::uint32_t ip, bool gso = false,
                                                                           std::uint16_t port = 0);
    ~StreamSender();
    StreamSender(const StreamSender&) = delete;
    StreamSender& operator=(const StreamSender&) = delete;
    void stop();

private:
    explicit StreamSender(std::shared_ptr<Device> device);
    void run(const ThreadHandle& self);
    void send_frame(const FrameJob& f, std::span<const StreamFault> faults, const StreamWork& work,
                    const ThreadHandle& self);
    void send_resend(const ResendJob& job, const StreamWork& work);
    // Sends the datagrams of packets_ to `to`, paced; stops midway when
    // `self` is asked to stop.
    void transmit(Endpoint to, std::uint64_t link_rate, std::uint32_t packet_delay, std::uint64_t tick_frequency,
                  const ThreadHandle* self);

    std::shared_ptr<Device> device_;
    UniqueFd sock_;
    std::shared_ptr<Waker> waker_;
    std::optional<Poller> poller_;
    bool gso_ = false;

    // Worker state, reused from frame to frame.
    StreamWork work_;
    PatternCache pattern_;
    std::vector<std::uint8_t> scratch_;
    PacketList packets_;
    Dice dice_;
    StreamCounters counts_;
    Clock::time_point wire_free_{};  // when the previous batch has left the (simulated) wire

    struct Batch;  // sendmmsg headers, gather lists and GSO control messages
    std::unique_ptr<Batch> batch_;

    ThreadHandle thread_ = ThreadHandle::create();
};

}  // namespace oculane::sim
