#pragma once
// The transport-level camera: connection settings plus, while connected, the
// Connection (control worker, port, identity record, counters).
//
// Thread safety: not synchronised. The owner (the camera state) holds its
// lock around every call.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "error/camera_error.hpp"
#include "gige/control_port.hpp"
#include "gige/ip_address.hpp"
#include "gige/proto/device_info.hpp"
#include "gige/runner/control_worker.hpp"
#include "gige/runner/link_stats.hpp"
#include "thread_util/mutex.hpp"
#include "thread_util/thread_config.hpp"
#include "thread_util/thread_handle.hpp"
#include "util/duration.hpp"

namespace oculane {
struct StreamConfig;
class StreamChannel;
}  // namespace oculane

namespace oculane::gige {

struct GigESettings {
    IpAddress device;                  // GVCP port 3956
    std::optional<IpAddress> local;    // control socket address; any when absent
    Duration ack_timeout = std::chrono::milliseconds(500);
    std::uint8_t retries = 4;
    std::uint32_t heartbeat_timeout_ms = 3000;
    bool exclusive = false;
    ThreadConfig thread;               // of the control worker
};

class Connection {
public:
    Connection(ControlPort port, ThreadHandle worker, std::shared_ptr<LinkStatsRecord> stats,
               DeviceInfo info, std::uint32_t capability, Endpoint local)
        : worker_(std::move(worker)),
          port_(std::move(port)),
          stats_(std::move(stats)),
          info_(std::move(info)),
          capability_(capability),
          local_(local) {}

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const ControlPort& port() const { return port_; }
    const DeviceInfo& device_info() const { return info_; }
    std::uint32_t capability() const { return capability_; }
    Endpoint local_address() const { return local_; }
    const std::shared_ptr<LinkStatsRecord>& stats() const { return stats_; }
    const ThreadHandle& worker() const { return worker_; }
    bool worker_running() const { return worker_.worker_running(); }
    bool control_lost() const { return stats_->control_lost(); }

    // The description file, filled by the feature-model step after connect.
    std::vector<std::uint8_t> description;

private:
    // Declared first so it is released last: the port goes, then the owning
    // handle stops, wakes and joins the worker (which gives control back).
    ThreadHandle worker_;
    ControlPort port_;
    std::shared_ptr<LinkStatsRecord> stats_;
    DeviceInfo info_;
    std::uint32_t capability_;
    Endpoint local_;
};

// The connection facts quick queries need, readable without the camera's
// owner lock so that they never wait behind a long operation: kept current by
// connect and disconnect.
//
// Thread safety: every member may be called from any thread; the lock is held
// only to copy or replace the fields.
class LinkView {
public:
    // A connection exists and its worker runs.
    bool is_connected() const;
    // NotConnected, or ControlLost when the worker ended because of it.
    CameraResult<DeviceInfo> device_info() const;
    std::optional<LinkStats> link_stats() const;

    void publish(const Connection* connection);

private:
    mutable Mutex mutex_;
    std::shared_ptr<LinkStatsRecord> stats_ OCULANE_GUARDED_BY(mutex_);
    std::optional<ThreadHandle> worker_ OCULANE_GUARDED_BY(mutex_);  // non-owning
    std::optional<DeviceInfo> info_ OCULANE_GUARDED_BY(mutex_);
};

class GigECamera {
public:
    explicit GigECamera(GigESettings settings)
        : settings_(std::move(settings)), view_(std::make_shared<LinkView>()) {}

    // Starts the worker, takes control, sets the heartbeat timeout and reads
    // the identity. Succeeds at once when a live connection exists. The whole
    // of it ends by `limit` and by its own overall budget, whichever comes
    // first; an interrupt ends it with interrupted_error().
    CameraResult<void> connect(const WaitLimit& limit = {});
    // Asks the worker to stop, waits for it at most `deadline`, then stops
    // and joins it. Never fails.
    void disconnect(Duration deadline);

    const GigESettings& settings() const { return settings_; }
    Connection* connection() { return connection_.get(); }
    const Connection* connection() const { return connection_.get(); }
    // A connection exists and its worker runs.
    bool is_connected() const { return view_->is_connected(); }
    // NotConnected, or ControlLost when the worker ended because of it.
    CameraResult<DeviceInfo> device_info() const { return view_->device_info(); }
    std::optional<LinkStats> link_stats() const { return view_->link_stats(); }
    // Shared, for readers that do not hold the owner's lock.
    const std::shared_ptr<LinkView>& view() const { return view_; }

    // Binds a stream socket, programs stream channel `config.channel` on the
    // camera, settles the packet size (given, or by the fire test) and starts
    // the stream worker "oculane-gvsp<channel>". Every failure after the port
    // register was written writes 0 back to it. Include
    // "gige/stream/stream_channel.hpp" to use the result.
    CameraResult<std::unique_ptr<StreamChannel>> open_stream(const StreamConfig& config);

private:
    void set_connection(std::unique_ptr<Connection> connection);

    std::unique_ptr<Connection> connection_;
    GigESettings settings_;
    std::shared_ptr<LinkView> view_;
};

}  // namespace oculane::gige
