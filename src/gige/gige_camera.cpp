#include "gige/gige_camera.hpp"

#include <fmt/format.h>

#include "gige/proto/bootstrap.hpp"
#include "thread_util/mutex.hpp"
#include "util/inet.hpp"
#include "util/log.hpp"

namespace oculane::gige {

namespace {

// Commands of the identity step after the CCP, heartbeat and capability
// writes and reads: the nine bootstrap registers (one each on a device
// without concatenation) and the six strings.
constexpr std::uint64_t kConnectCommands = 3 + 9 + 6;

// A string field of the identity block; a field the device refuses to give
// out is just empty.
CameraResult<std::string> fetch_string(const ControlPort& port, bootstrap::StringArea area, const WaitLimit& limit) {
    auto bytes = port.read_memory(area.address, area.size, limit);
    if (bytes) return string_reg(*bytes, 0, bytes->size());
    if (bytes.error().is<camera_error::DeviceStatus>()) {
        OCULANE_LOG(log::Level::Trace, log::kGige, "string register {:#06x} unreadable: {}", area.address,
                    bytes.error());
        return std::string();
    }
    return std::unexpected(std::move(bytes.error()));
}

}  // namespace

bool LinkView::is_connected() const {
    MutexLock lock(mutex_);
    return worker_ && worker_->worker_running();
}

CameraResult<DeviceInfo> LinkView::device_info() const {
    MutexLock lock(mutex_);
    if (!worker_ || !info_) return std::unexpected(CameraError::not_connected());
    // The reason is published before the worker is seen to stop.
    if (!worker_->worker_running())
        return std::unexpected(stats_->control_lost() ? CameraError::control_lost() : CameraError::not_connected());
    return *info_;
}

std::optional<LinkStats> LinkView::link_stats() const {
    MutexLock lock(mutex_);
    if (!stats_) return std::nullopt;
    return stats_->snapshot();
}

void LinkView::publish(const Connection* connection) {
    MutexLock lock(mutex_);
    if (!connection) {
        stats_.reset();
        worker_.reset();
        info_.reset();
        return;
    }
    stats_ = connection->stats();
    worker_.emplace(connection->worker().share());
    info_ = connection->device_info();
}

void GigECamera::set_connection(std::unique_ptr<Connection> connection) {
    connection_ = std::move(connection);
    view_->publish(connection_.get());
}

CameraResult<void> GigECamera::connect(const WaitLimit& outer) {
    if (connection_) {
        if (connection_->worker_running()) return {};
        set_connection(nullptr);
    }
    if (!settings_.device.is_v4())
        return std::unexpected(CameraError::io(
            fmt::format("GVCP runs over IPv4 only; cannot reach {}", settings_.device.to_string())));
    if (settings_.local && !settings_.local->is_v4())
        return std::unexpected(CameraError::io(
            fmt::format("GVCP runs over IPv4 only; cannot bind {}", settings_.local->to_string())));

    auto stats = std::make_shared<LinkStatsRecord>();
    WorkerConfig config;
    config.device = Endpoint{settings_.device.v4_value(), gvcp::kPort};
    if (settings_.local) config.local = Endpoint{settings_.local->v4_value(), 0};
    config.ack_timeout = settings_.ack_timeout;
    config.retries = settings_.retries;
    config.heartbeat_timeout_ms = settings_.heartbeat_timeout_ms;
    config.thread = settings_.thread;
    auto spawned = spawn_control_worker(stats, config);
    if (!spawned) return std::unexpected(std::move(spawned.error()));

    // From here on, leaving early releases the port and the worker handle,
    // which stops the worker; it gives control back itself, and only when
    // the take below succeeded.
    ThreadHandle worker = std::move(spawned->handle);
    ControlPort port(std::move(spawned->link), worker.share(),
                     transaction_wait(settings_.ack_timeout, settings_.retries));
    const Duration w = port.wait();
    const WaitLimit overall = outer.narrowed(operation_budget(w, kConnectCommands));
    const auto step = [&] { return overall.narrowed(w); };

    const std::uint32_t ccp = bootstrap::kCcpControl | (settings_.exclusive ? bootstrap::kCcpExclusive : 0);
    if (auto taken = port.write_register(bootstrap::kCcp, ccp, step()); !taken) {
        const CameraError& e = taken.error();
        if (e.is<camera_error::AckTimeout>()) return std::unexpected(CameraError::connect_timeout());
        if (const auto* st = e.get_if<camera_error::DeviceStatus>();
            st && (st->status.code == GvcpStatus::kWriteProtect || st->status.code == GvcpStatus::kAccessDenied))
            return std::unexpected(CameraError::access_denied());
        return std::unexpected(std::move(taken.error()));
    }
    if (auto set = port.write_register(bootstrap::kHeartbeatTimeout, settings_.heartbeat_timeout_ms, step()); !set)
        return std::unexpected(std::move(set.error()));
    auto capability = port.read_register(bootstrap::kGvcpCapability, step());
    if (!capability) return std::unexpected(std::move(capability.error()));
    // Register lists go in one command only where the device says it takes
    // them; elsewhere they go register by register.
    port.set_capability(*capability);

    using namespace bootstrap;
    auto regs = port.read_registers({kVersion, kDeviceMode, kMacHigh, kMacLow, kIpConfigOptions, kIpConfigCurrent,
                                     kCurrentIp, kCurrentSubnetMask, kCurrentGateway},
                                    overall);
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
        auto text = fetch_string(port, field.area, step());
        if (!text) return std::unexpected(std::move(text.error()));
        info.*field.member = std::move(*text);
    }

    OCULANE_LOG_FIELDS(log::Level::Debug, log::kGige, "connected",
                       {{"addr", inet::format_endpoint(settings_.device.v4_value(), gvcp::kPort)},
                        {"model", info.model},
                        {"serial", info.serial}});
    set_connection(std::make_unique<Connection>(std::move(port), std::move(worker), std::move(stats),
                                                std::move(info), *capability, spawned->local));
    return {};
}

void GigECamera::disconnect(Duration deadline) {
    std::unique_ptr<Connection> conn = std::move(connection_);
    view_->publish(nullptr);
    if (!conn) return;
    OCULANE_LOG_FIELDS(log::Level::Debug, log::kGige, "disconnecting",
                       {{"addr", inet::format_endpoint(settings_.device.v4_value(), gvcp::kPort)}});
    const ThreadHandle& worker = conn->worker();
    if (worker.worker_running()) (void)conn->port().shutdown();
    (void)worker.wait_stopped(deadline);
    worker.request_stop();
    conn.reset();  // joins the worker
}

}  // namespace oculane::gige
