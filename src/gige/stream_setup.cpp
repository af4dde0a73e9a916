#include "gige/stream_setup.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "gige/proto/gvsp.hpp"
#include "thread_util/mutex.hpp"
#include "util/inet.hpp"
#include "util/log.hpp"
#include "util/os_error.hpp"

namespace oculane::gige {

namespace {

// The automatic receive buffer holds what the stream delivers while the
// worker is off the processor for a few scheduler slices (the machine is
// shared): the rate is not known before the camera sends, so it is sized for
// the fastest link a stream arrives on here, 10 Gbit/s, for 25 ms, and at
// least four frames. The kernel only uses what is queued, so a generous
// limit costs nothing while the worker keeps up.
constexpr std::uint64_t kBurstFrames = 4;
constexpr std::uint64_t kLineRateBytesPerSecond = 1'250'000'000;  // 10 Gbit/s
constexpr std::uint64_t kBurstMillis = 25;
constexpr std::size_t kMinAutoBuffer = kLineRateBytesPerSecond / 1000 * kBurstMillis;  // 31.25 MB
constexpr std::size_t kMaxAutoBuffer = 64u << 20;
constexpr std::uint32_t kProbeLadder[] = {1488, 1008, 560};
constexpr std::uint32_t kSearchStep = 16;
constexpr auto kProbeTimeout = std::chrono::milliseconds(25);
constexpr auto kDrainTimeout = std::chrono::milliseconds(5);
constexpr int kDatagramsPerProbe = 3;
// Stream packets skipped per probe at most: a camera streaming at line rate
// fills the probe's time with them, and the time limit ends it anyway.
constexpr int kStreamPacketsPerProbe = 100'000;
// A camera that is already streaming at this socket would keep the drain
// going for ever; leftover test packets are gone well within this.
constexpr auto kDrainLimit = std::chrono::milliseconds(200);

// Streams opened often (a snap each) would repeat the warning for every
// one: once a minute, counting the streams in between.
constexpr auto kShortBufferWarningInterval = std::chrono::minutes(1);
Mutex g_short_buffer_mutex;
RateLimit g_short_buffer_warnings OCULANE_GUARDED_BY(g_short_buffer_mutex) = RateLimit(kShortBufferWarningInterval);

void set_receive_timeout(int socket, std::chrono::microseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1'000'000);
    tv.tv_usec = static_cast<suseconds_t>(timeout.count() % 1'000'000);
    (void)::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// Register writes that the device refused only fail the probe; a link that
// does not answer would fail every later probe the same way, each after the
// full acknowledgement wait, so it ends the search at once.
bool ends_search(const CameraError& e) { return !e.is<camera_error::DeviceStatus>(); }

}  // namespace

bool counts_as_test_packet(std::span<const std::uint8_t> datagram, std::uint32_t probe_size) {
    const std::uint64_t total = datagram.size() + gvsp::kIpUdpOverhead;
    if (total > probe_size) return false;
    if (total == probe_size) return true;
    const auto packet = gvsp::parse_packet(datagram);
    if (!packet || packet->kind == gvsp::PacketKind::Unsupported) return true;
    // Standard block ids never take 0, so a header of zeros (as a test
    // packet filled with zeros has) is no stream packet.
    return !packet->extended && packet->block_id == 0;
}

std::size_t receive_buffer_size(std::size_t requested, std::uint64_t payload_size) {
    if (requested != 0) return requested;
    const std::uint64_t want = payload_size > kMaxAutoBuffer ? kMaxAutoBuffer : payload_size * kBurstFrames;
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(want, kMinAutoBuffer, kMaxAutoBuffer));
}

namespace detail {

ReceiveBuffer set_receive_buffer(int socket, std::size_t requested, std::uint64_t payload_size,
                                 RateLimit& warnings) {
    ReceiveBuffer out;
    out.asked = receive_buffer_size(requested, payload_size);
    // The option takes an int; a larger request is as much as it can say.
    const int value = static_cast<int>(std::min<std::size_t>(out.asked, static_cast<std::size_t>(INT32_MAX / 2)));
    // Privileged processes may go past net.core.rmem_max; everyone else gets
    // the plain option, which the kernel silently caps.
    if (::setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &value, sizeof value) == 0) {
        out.forced = true;
    } else if (::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &value, sizeof value) != 0) {
        OCULANE_LOG(log::Level::Warn, log::kGige, "SO_RCVBUF={} not applied: {}", out.asked, os_error_text(errno));
    }
    int granted = 0;
    socklen_t len = sizeof granted;
    if (::getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &granted, &len) == 0 && granted > 0) {
        // The kernel doubles the value for its bookkeeping and reports that.
        out.granted = static_cast<std::size_t>(granted) / 2;
        if (out.granted < static_cast<std::size_t>(value)) {
            if (const auto held_back = warnings.admit(RateLimit::Clock::now())) {
                OCULANE_LOG(log::Level::Warn, log::kGige,
                            "stream receive buffer is {} bytes, {} were asked for; frames may lose packets under "
                            "load. Raise the sysctl net.core.rmem_max to at least {}{}",
                            out.granted, out.asked, out.asked,
                            *held_back == 0 ? std::string()
                                            : fmt::format(" ({} more streams got less than they asked for since "
                                                          "the last warning)",
                                                          *held_back));
            }
        }
    }
    return out;
}

}  // namespace detail

ReceiveBuffer set_receive_buffer(int socket, std::size_t requested, std::uint64_t payload_size) {
    MutexLock lock(g_short_buffer_mutex);
    return detail::set_receive_buffer(socket, requested, payload_size, g_short_buffer_warnings);
}

CameraResult<std::uint32_t> search_packet_size(const Probe& probe) {
    auto jumbo = probe(kJumboProbe);
    if (!jumbo) return std::unexpected(std::move(jumbo.error()));
    if (*jumbo) return kJumboProbe;

    std::uint32_t lower = 0;
    std::uint32_t best = 0;
    for (const std::uint32_t size : kProbeLadder) {
        auto r = probe(size);
        if (!r) return std::unexpected(std::move(r.error()));
        if (*r) {
            lower = size;
            best = **r;
            break;
        }
    }
    if (lower == 0) {
        OCULANE_LOG(log::Level::Warn, log::kGige, "packet size fire-test unsupported, falling back to 1500");
        return kFallbackPacketSize;
    }
    std::uint32_t upper = kJumboProbe;
    while (upper - lower > kSearchStep) {
        const std::uint32_t size = lower + (upper - lower) / (2 * kSearchStep) * kSearchStep;
        auto r = probe(size);
        if (!r) return std::unexpected(std::move(r.error()));
        if (*r) {
            lower = size;
            best = std::max(best, **r);
        } else {
            upper = size;
        }
    }
    return std::max(best, kSmallestPacketSize);
}

CameraResult<std::uint32_t> negotiate_packet_size(const ControlPort& port, int socket, std::uint32_t camera_ip,
                                                  std::uint32_t packet_size_register) {
    set_receive_timeout(socket, kProbeTimeout);
    std::vector<std::uint8_t> scratch(65536);

    const Probe probe = [&](std::uint32_t size) -> ProbeResult {
        if (auto written = port.write_register(packet_size_register, kFireTestBits + size).wait_owned(port.wait());
            !written) {
            if (ends_search(written.error())) return std::unexpected(std::move(written.error()));
            OCULANE_LOG(log::Level::Debug, log::kGige, "fire-test probe {} refused: {}", size, written.error());
            return std::optional<std::uint32_t>();
        }
        std::optional<std::uint32_t> largest;
        // The probe's time runs from the acknowledged write; stream packets
        // of a camera that is already sending are read past within it.
        const auto probe_end = std::chrono::steady_clock::now() + kProbeTimeout;
        int counted = 0;
        int skipped = 0;
        while (counted < kDatagramsPerProbe && skipped < kStreamPacketsPerProbe) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(probe_end - std::chrono::steady_clock::now());
            pollfd ready{socket, POLLIN, 0};
            const int polled = ::poll(&ready, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
            if (polled < 0 && errno == EINTR) continue;
            if (polled <= 0) break;  // timed out: nothing more is coming for this probe
            sockaddr_in from{};
            socklen_t from_len = sizeof from;
            const ssize_t n = ::recvfrom(socket, scratch.data(), scratch.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &from_len);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
                break;
            }
            if (from.sin_family != AF_INET || inet::ip_of(from) != camera_ip) continue;
            const std::span<const std::uint8_t> datagram(scratch.data(), static_cast<std::size_t>(n));
            if (!counts_as_test_packet(datagram, size)) {
                ++skipped;
                continue;
            }
            ++counted;
            const auto total = static_cast<std::uint32_t>(n) + static_cast<std::uint32_t>(gvsp::kIpUdpOverhead);
            largest = std::max(largest.value_or(0), total);
            if (total == size) break;
        }
        OCULANE_LOG(log::Level::Trace, log::kGige, "fire-test probe {}: {}", size,
                    largest ? fmt::format("{} bytes", *largest) : std::string("nothing"));
        return largest;
    };

    auto size = search_packet_size(probe);
    if (!size) return size;
    if (auto written = port.write_register(packet_size_register, *size).wait_owned(port.wait()); !written)
        return std::unexpected(std::move(written.error()));

    // Test packets still on their way would otherwise greet the worker.
    set_receive_timeout(socket, kDrainTimeout);
    const auto drain_end = std::chrono::steady_clock::now() + kDrainLimit;
    while (std::chrono::steady_clock::now() < drain_end) {
        const ssize_t n = ::recv(socket, scratch.data(), scratch.size(), 0);
        if (n < 0 && errno != EINTR) break;
    }
    OCULANE_LOG(log::Level::Debug, log::kGige, "negotiated stream packet size {}", *size);
    return size;
}

}  // namespace oculane::gige
