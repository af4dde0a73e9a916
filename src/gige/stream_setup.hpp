#pragma once
// Stream setup pieces below GigECamera::open_stream: the receive-buffer
// sizing, the packet-size fire test and its search order.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "error/camera_error.hpp"
#include "gige/control_port.hpp"
#include "util/rate_limit.hpp"

namespace oculane::gige {

// Probe sizes and bounds of the fire-test search.
inline constexpr std::uint32_t kJumboProbe = 9152;
inline constexpr std::uint32_t kFallbackPacketSize = 1500;
inline constexpr std::uint32_t kSmallestPacketSize = 560;
// Fire-test (bit 31) and do-not-fragment (bit 30) flags of the packet-size register.
inline constexpr std::uint32_t kFireTestBits = 0xC0000000;

// The socket buffer asked for: `requested`, or for 0 four frames, clamped to
// 31.25 MB (25 ms of a 10 Gbit/s link) .. 64 MiB.
std::size_t receive_buffer_size(std::size_t requested, std::uint64_t payload_size);

// What set_receive_buffer achieved, for tests and logs.
struct ReceiveBuffer {
    std::size_t asked = 0;
    std::size_t granted = 0;  // as read back (the kernel reports twice the usable size)
    bool forced = false;      // SO_RCVBUFFORCE was accepted
};

// Sets the socket's receive buffer. Tries SO_RCVBUFFORCE first (it may exceed
// net.core.rmem_max, but needs privilege) and falls back to SO_RCVBUF. Warns
// when the kernel granted less than asked, at most once a minute for the
// whole process (the next warning counts the streams in between). Never
// fails.
ReceiveBuffer set_receive_buffer(int socket, std::size_t requested, std::uint64_t payload_size);
namespace detail {
// The same with the warnings' rate limit given (tests use their own).
ReceiveBuffer set_receive_buffer(int socket, std::size_t requested, std::uint64_t payload_size,
                                 RateLimit& warnings);
}  // namespace detail

// Whether a datagram that arrived during a probe of `probe_size` bytes (the
// whole IP datagram) may be the camera's test packet. A test packet is no
// packet of any stream, so a GVSP packet (a leader, trailer, payload or
// all-in packet of a block) does not count: a camera that is still
// streaming, for another program or after a snap it took no notice of,
// would otherwise "answer" every probe larger than its stream packets. A
// datagram of exactly the probe size counts whatever it holds: it shows
// that the size passes, which is all a probe asks.
bool counts_as_test_packet(std::span<const std::uint8_t> datagram, std::uint32_t probe_size);

// One fire-test probe: the largest counted size (datagram length plus the
// IPv4 and UDP headers), nothing when no datagram counted, or the error of
// the register write, which ends the search.
using ProbeResult = CameraResult<std::optional<std::uint32_t>>;
using Probe = std::function<ProbeResult(std::uint32_t size)>;

// The packet-size search on top of a probe: 9152, then 1488/1008/560, then
// a binary search in steps of 16 bytes. Returns the size to use (1500 with a
// warning when nothing answered) or the first probe error.
CameraResult<std::uint32_t> search_packet_size(const Probe& probe);

// The fire test over the stream socket: probes by writing the packet-size
// register, writes the result plainly and drains leftover test packets.
// The socket is left with its receive timeout set (the caller makes it
// non-blocking afterwards).
CameraResult<std::uint32_t> negotiate_packet_size(const ControlPort& port, int socket, std::uint32_t camera_ip,
                                                  std::uint32_t packet_size_register);

}  // namespace oculane::gige
