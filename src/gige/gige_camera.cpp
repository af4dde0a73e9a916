#include "gige/gige_camera.hpp"

#include <fmt/format.h>

#include "gige/proto/bootstrap.hpp"
#include "util/inet.hpp"
#include "util/log.hpp"

namespace oculane::gige {

namespace {

// A string field of the identity block; a field the device refuses to give
// out is just empty.
CameraResult<std::string> fetch_string(const ControlPort& port, bootstrap::StringArea area) {
    auto bytes = port.read_memory(area.address, area.size).wait_timeout(port.wait());
    if (bytes) return string_reg(*bytes, 0, bytes->size());
    if (bytes.error()->is<camera_error::DeviceStatus>()) {
        OCULANE_LOG(log::Level::Trace, log::kGige, "string register {:#06x} unreadable: {}", area.address,
                    *bytes.error());
        return std::string();
    }
    return std::unexpected(unwrap_arc(std::move(bytes.error())));
}

}  // namespace

CameraResult<void> GigECamera::connect() {
    if (connection_) {
        if (connection_->worker_running()) return {};
        connection_.reset();
    }
    if (!settings_.device.is_v4())
        return std::unexpected(CameraError::io(
            fmt::format("GVCP runs over IPv4 only; cannot reach {}", settings_.device.to_string())));
    if (settings_.local && !settings_.local->is_v4())
        return std::unexpected(CameraError::io(
            fmt::format("GVCP runs over IPv4 only; cannot bind {}", settings_.local->to_string())));

    auto stats = std::make_shared<LinkStatsRecord>();
    auto [sender, receiver] = make_channel<ToWorker>(std::nullopt);
    WorkerConfig config;
    config.device = Endpoint{settings_.device.v4_value(), gvcp::kPort};
    if (settings_.local) config.local = Endpoint{settings_.local->v4_value(), 0};
    config.ack_timeout = settings_.ack_timeout;
    config.retries = settings_.retries;
    config.heartbeat_timeout_ms = settings_.heartbeat_timeout_ms;
    config.thread = settings_.thread;
    auto spawned = spawn_control_worker(std::move(receiver), stats, config);
    if (!spawned) return std::unexpected(std::move(spawned.error()));

    // From here on, leaving early releases the port and the worker handle,
    // which stops the worker; it then gives control back itself.
    ThreadHandle worker = std::move(spawned->handle);
    ControlPort port(std::move(sender), worker.share(), transaction_wait(settings_.ack_timeout, settings_.retries));
    const Duration w = port.wait();

    const std::uint32_t ccp = bootstrap::kCcpControl | (settings_.exclusive ? bootstrap::kCcpExclusive : 0);
    if (auto taken = port.write_register(bootstrap::kCcp, ccp).wait_timeout(w); !taken) {
        const CameraError& e = *taken.error();
        if (e.is<camera_error::AckTimeout>()) return std::unexpected(CameraError::connect_timeout());
        if (const auto* st = e.get_if<camera_error::DeviceStatus>();
            st && (st->status.code == GvcpStatus::kWriteProtect || st->status.code == GvcpStatus::kAccessDenied))
            return std::unexpected(CameraError::access_denied());
        return std::unexpected(unwrap_arc(std::move(taken.error())));
    }
    if (auto set = port.write_register(bootstrap::kHeartbeatTimeout, settings_.heartbeat_timeout_ms).wait_owned(w);
        !set)
        return std::unexpected(std::move(set.error()));
    auto capability = port.read_register(bootstrap::kGvcpCapability).wait_owned(w);
    if (!capability) return std::unexpected(std::move(capability.error()));

    using namespace bootstrap;
    auto regs = port.read_registers({kVersion, kDeviceMode, kMacHigh, kMacLow, kIpConfigOptions, kIpConfigCurrent,
                                     kCurrentIp, kCurrentSubnetMask, kCurrentGateway})
                    .wait_owned(w);
    if (!regs) return std::unexpected(std::move(regs.error()));
    if (regs->size() != 9) return std::unexpected(CameraError::malformed("short bootstrap register read"));
    const auto& r = *regs;

    DeviceInfo info;
    info.spec_major = static_cast<std::uint16_t>(r[0] >> 16);
    info.spec_minor = static_cast<std::uint16_t>(r[0] & 0xFFFF);
    info.device_mode = r[1];
    info.mac = {static_cast<std::uint8_t>(r[2] >> 8), static_cast<std::uint8_t>(r[2]),
                static_cast<std::uint8_t>(r[3] >> 24), static_cast<std::uint8_t>(r[3] >> 16),
                static_cast<std::uint8_t>(r[3] >> 8), static_cast<std::uint8_t>(r[3])};
    info.ip_config_options = r[4];
    info.ip_config_current = r[5];
    info.ip = r[6];
    info.subnet_mask = r[7];
    info.gateway = r[8];
    for (const auto& field : kDeviceInfoTexts) {
        auto text = fetch_string(port, field.area);
        if (!text) return std::unexpected(std::move(text.error()));
        info.*field.member = std::move(*text);
    }

    OCULANE_LOG_FIELDS(log::Level::Debug, log::kGige, "connected",
                       {{"addr", inet::format_endpoint(settings_.device.v4_value(), gvcp::kPort)},
                        {"model", info.model},
                        {"serial", info.serial}});
    connection_ = std::make_unique<Connection>(std::move(port), std::move(worker), std::move(stats),
                                               std::move(info), *capability, spawned->local);
    return {};
}

void GigECamera::disconnect(Duration deadline) {
    std::unique_ptr<Connection> conn = std::move(connection_);
    if (!conn) return;
    OCULANE_LOG_FIELDS(log::Level::Debug, log::kGige, "disconnecting",
                       {{"addr", inet::format_endpoint(settings_.device.v4_value(), gvcp::kPort)}});
    const ThreadHandle& worker = conn->worker();
    if (worker.worker_running()) (void)conn->port().shutdown();
    (void)worker.wait_stopped(deadline);
    worker.request_stop();
    conn.reset();  // joins the worker
}

CameraResult<DeviceInfo> GigECamera::device_info() const {
    if (!connection_) return std::unexpected(CameraError::not_connected());
    if (!connection_->worker_running())
        return std::unexpected(connection_->control_lost() ? CameraError::control_lost()
                                                           : CameraError::not_connected());
    return connection_->device_info();
}

std::optional<LinkStats> GigECamera::link_stats() const {
    if (!connection_) return std::nullopt;
    return connection_->stats()->snapshot();
}

}  // namespace oculane::gige
