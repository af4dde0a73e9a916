// GigECamera::open_stream: socket, stream channel registers, packet size,
// worker. Kept apart from the connection code it sits beside.
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include <fmt/format.h>

#include "gige/gige_camera.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/stream/stream_channel.hpp"
#include "gige/stream/stream_runner.hpp"
#include "gige/stream_setup.hpp"
#include "util/inet.hpp"
#include "util/log.hpp"
#include "util/os_error.hpp"
#include "util/packet_ring.hpp"
#include "util/unique_fd.hpp"

namespace oculane::gige {

namespace {

CameraError socket_error(std::string_view what) {
    const int err = errno;
    return CameraError::io(fmt::format("{}: {}", what, os_error_text(err)), err);
}

// The local address the system routes to the camera from: connect a probe
// socket (no packet is sent) and read what it was given.
CameraResult<std::uint32_t> routed_local_ip(std::uint32_t camera_ip) {
    UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!probe) return std::unexpected(socket_error("stream route probe socket"));
    const sockaddr_in any = inet::to_sockaddr(0, 0);
    if (::bind(probe.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0)
        return std::unexpected(socket_error("bind stream route probe"));
    const sockaddr_in camera = inet::to_sockaddr(camera_ip, gvcp::kPort);
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&camera), sizeof camera) != 0)
        return std::unexpected(socket_error(fmt::format("no route to {}", inet::format_ipv4(camera_ip))));
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return std::unexpected(socket_error("stream route probe address"));
    return inet::ip_of(local);
}

// Writes 0 to the channel's port register unless dismissed: every failure
// after the camera learned our port leaves the channel closed again, so the
// camera never streams at a socket that is gone.
class PortGuard {
public:
    PortGuard(const ControlPort& port, std::uint32_t address) : port_(&port), address_(address) {}
    PortGuard(const PortGuard&) = delete;
    PortGuard& operator=(const PortGuard&) = delete;
    ~PortGuard() {
        if (port_) (void)port_->write_register(address_, 0).wait_owned(port_->wait());
    }
    void dismiss() { port_ = nullptr; }

private:
    const ControlPort* port_;
    std::uint32_t address_;
};

// The ring for a stream whose path is Auto or Ring, set up once the packet
// size is known. Nothing (and for Ring an error) when it cannot be had; Auto
// then stays on the socket, which says why at Debug once per process.
CameraResult<PacketRing> open_ring(const StreamConfig& config, Endpoint local, std::uint16_t packet_size) {
    PacketRingConfig rc;
    rc.local_ip = local.ip;
    rc.local_port = local.port;
    // As much as the socket's buffer would hold: what a 10 GigE stream
    // delivers while the worker is off the processor for a few scheduler
    // slices (a ring of four frames, 8 MiB for a 2 MB frame, overflowed at
    // line rate on a loaded machine). Its pages are allocated as it opens,
    // which costs about a millisecond per MiB once per acquisition.
    rc.bytes = receive_buffer_size(config.receive_buffer, *config.payload_size);
    rc.largest_packet = packet_size;
    // About a frame a block: a frame's last packets then wait less often
    // for the block's timeout.
    rc.block_bytes = static_cast<std::size_t>(std::min<std::uint64_t>(*config.payload_size, 1 << 20));
    auto ring = PacketRing::open(rc);
    if (ring) return std::move(*ring);
    if (config.receive_path == ReceivePath::Ring)
        return std::unexpected(CameraError::io(ring.error().message, ring.error().os_error));
    static std::atomic<bool> said{false};
    if (!said.exchange(true))
        OCULANE_LOG(log::Level::Debug, log::kGige, "stream receives on its socket: {}", ring.error().message);
    return PacketRing();
}

}  // namespace

CameraResult<std::unique_ptr<StreamChannel>> GigECamera::open_stream(const StreamConfig& config) {
    if (!config.payload_size || *config.payload_size == 0)
        return std::unexpected(CameraError::malformed("payload_size must be set"));
    if (!connection_) return std::unexpected(CameraError::not_connected());
    if (!connection_->worker_running())
        return std::unexpected(connection_->control_lost() ? CameraError::control_lost()
                                                           : CameraError::not_connected());
    const ControlPort& port = connection_->port();
    const std::uint32_t camera_ip = settings_.device.v4_value();
    const std::uint16_t channel = config.channel;
    const Duration w = port.wait();

    // Where to listen.
    Endpoint wanted;
    if (config.destination) {
        if (!config.destination->ip.is_v4())
            return std::unexpected(CameraError::unsupported("IPv6 stream destinations"));
        wanted = Endpoint{config.destination->ip.v4_value(), config.destination->port};
    } else {
        auto ip = routed_local_ip(camera_ip);
        if (!ip) return std::unexpected(std::move(ip.error()));
        wanted = Endpoint{*ip, 0};
    }
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket) return std::unexpected(socket_error("stream socket"));
    const sockaddr_in bind_to = inet::to_sockaddr(wanted);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&bind_to), sizeof bind_to) != 0)
        return std::unexpected(
            socket_error(fmt::format("bind stream socket {}", inet::format_endpoint(wanted.ip, wanted.port))));
    sockaddr_in bound{};
    socklen_t bound_len = sizeof bound;
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&bound), &bound_len) != 0)
        return std::unexpected(socket_error("stream socket address"));
    if (bound.sin_family != AF_INET) return std::unexpected(CameraError::unsupported("IPv6 stream destinations"));
    const Endpoint local{inet::ip_of(bound), inet::port_of(bound)};

    const ReceiveBuffer receive_buffer = set_receive_buffer(socket.get(), config.receive_buffer, *config.payload_size);

    // The camera's side of the channel.
    if (auto r = port.write_register(bootstrap::stream_channel_destination(channel), local.ip).wait_owned(w); !r)
        return std::unexpected(std::move(r.error()));
    const std::uint32_t port_register = bootstrap::stream_channel_port(channel);
    if (auto r = port.write_register(port_register, local.port).wait_owned(w); !r)
        return std::unexpected(std::move(r.error()));
    PortGuard guard(port, port_register);

    const std::uint32_t size_register = bootstrap::stream_channel_packet_size(channel);
    std::uint16_t packet_size = 0;
    if (config.packet_size) {
        if (auto r = port.write_register(size_register, *config.packet_size).wait_owned(w); !r)
            return std::unexpected(std::move(r.error()));
        packet_size = *config.packet_size;
    } else {
        auto negotiated = negotiate_packet_size(port, socket.get(), camera_ip, size_register);
        if (!negotiated) return std::unexpected(std::move(negotiated.error()));
        packet_size = static_cast<std::uint16_t>(*negotiated);
    }
    if (config.packet_delay) {
        if (auto r = port.write_register(bootstrap::stream_channel_packet_delay(channel), *config.packet_delay)
                         .wait_owned(w);
            !r)
            return std::unexpected(std::move(r.error()));
    }

    PacketRing ring;
    if (config.receive_path != ReceivePath::Socket) {
        auto opened = open_ring(config, local, packet_size);
        if (!opened) return std::unexpected(std::move(opened.error()));
        ring = std::move(*opened);
    }
    const std::size_t ring_bytes = ring.size_bytes();
    // The socket keeps its port and sends resend requests; what it would
    // receive comes from the ring.
    if (ring.is_open())
        if (auto r = reject_all_datagrams(socket.get()); !r)
            OCULANE_LOG(log::Level::Debug, log::kGige, "stream socket keeps receiving: {}", r.error().message());

    std::uint64_t tick_frequency = 0;
    if (auto regs = port.read_registers({bootstrap::kTimestampTickFrequencyHigh,
                                         bootstrap::kTimestampTickFrequencyLow})
                        .wait_owned(w);
        regs && regs->size() == 2)
        tick_frequency = (std::uint64_t{(*regs)[0]} << 32) | (*regs)[1];

    const bool resend = config.resend && (connection_->capability() & bootstrap::kCapabilityPacketResend) != 0;

    auto stats = std::make_shared<StreamStatsRecord>();
    auto [control, control_rx] = unbounded<ToStreamWorker>();
    StreamWorkerParams params;
    params.camera = Endpoint{camera_ip, gvcp::kPort};
    params.local = local;
    params.payload_size = *config.payload_size;
    params.tick_frequency = tick_frequency;
    params.packet_size = packet_size;
    params.resend_enabled = resend;
    // The connection's own flag, kept alive with its counters record.
    const std::shared_ptr<LinkStatsRecord>& link = connection_->stats();
    params.control_lost = std::shared_ptr<const std::atomic<bool>>(link, &link->control_lost_flag());
    params.end = std::make_shared<StreamEnd>();
    const bool on_ring = ring.is_open();
    auto worker = spawn_stream_worker(std::move(socket), params, config, std::move(control_rx), stats, std::move(ring));
    if (!worker) return std::unexpected(std::move(worker.error()));

    guard.dismiss();
    StreamChannel::CameraCloser closer = [port = port.clone(), port_register](Instant deadline) {
        WaitLimit limit;
        limit.deadline = deadline;
        (void)port.write_register(port_register, 0, limit.narrowed(port.wait()));
    };
    auto opened = std::make_unique<StreamChannel>(local, channel, packet_size, std::move(control), std::move(stats),
                                                  std::move(*worker), std::move(closer), params.end);
    opened->set_receive_buffer_size({receive_buffer.asked, receive_buffer.granted});
    opened->set_receive_path(on_ring ? ReceivePath::Ring : ReceivePath::Socket, ring_bytes);
    OCULANE_LOG_FIELDS(log::Level::Debug, log::kGige, "stream channel opened",
                       {{"channel", std::to_string(channel)},
                        {"local", inet::format_endpoint(local.ip, local.port)},
                        {"packet_size", std::to_string(packet_size)},
                        {"receive_path", on_ring ? "ring" : "socket"},
                        {"receive_buffer", std::to_string(on_ring ? ring_bytes : receive_buffer.granted)}});
    return opened;
}

}  // namespace oculane::gige
