#pragma once
// The camera state behind a Python Camera: the transport camera and, once
// loaded, the feature model. Not synchronised itself; its owner keeps it
// behind the camera-state lock and holds that lock for every operation.
//
// The feature model belongs to one connection: it is dropped whenever a new
// connection replaces the old one and at disconnect. It lives here rather
// than in the transport's connection record because the transport layer
// sits below the feature model and does not know its types.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/camera_error.hpp"
#include "error/genicam_error.hpp"
#include "genicam/description.hpp"
#include "genicam/feature_ops.hpp"
#include "genicam/node.hpp"
#include "genicam/port.hpp"
#include "gige/gige_camera.hpp"
#include "gige/stream/stream_channel.hpp"
#include "util/duration.hpp"

namespace oculane {

class GenICamera {
public:
    explicit GenICamera(gige::GigESettings settings) : transport_(std::move(settings)) {}

    gige::GigECamera& transport() { return transport_; }
    const gige::GigECamera& transport() const { return transport_; }

    // The transport step of connecting: control worker, privilege, identity.
    // A live connection is kept as it is, with its feature model; any other
    // outcome starts without a model.
    CameraResult<void> connect_transport(const gige::WaitLimit& limit = {});

    // The feature-model step of connecting: makes sure the description is
    // fetched and parsed for the current connection (a loaded model is kept).
    GenicamResult<void> ensure_model(const gige::WaitLimit& limit = {});

    void disconnect(Duration deadline);

    // ---- feature operations (the camera-state lock held by the caller) ----
    GenicamResult<std::int64_t> get_integer(std::string_view name) { return features().get_integer(name); }
    GenicamResult<void> set_integer(std::string_view name, std::int64_t v) { return features().set_integer(name, v); }
    GenicamResult<double> get_float(std::string_view name) { return features().get_float(name); }
    GenicamResult<void> set_float(std::string_view name, double v) { return features().set_float(name, v); }
    GenicamResult<bool> get_boolean(std::string_view name) { return features().get_boolean(name); }
    GenicamResult<void> set_boolean(std::string_view name, bool v) { return features().set_boolean(name, v); }
    GenicamResult<std::string> get_string(std::string_view name) { return features().get_string(name); }
    GenicamResult<std::string> get_enum(std::string_view name) { return features().get_enum(name); }
    GenicamResult<void> set_string(std::string_view name, std::string_view v) { return features().set_string(name, v); }
    GenicamResult<void> set_enum(std::string_view name, std::string_view e) { return features().set_enum(name, e); }
    GenicamResult<void> execute(std::string_view name) { return features().execute(name); }
    GenicamResult<std::vector<EnumEntryValue>> enum_entries(std::string_view name) {
        return features().enum_entries(name);
    }
    GenicamResult<std::pair<std::int64_t, std::int64_t>> integer_bounds(std::string_view name) {
        return features().integer_bounds(name);
    }
    GenicamResult<std::int64_t> integer_increment(std::string_view name) { return features().integer_increment(name); }
    GenicamResult<std::pair<double, double>> float_bounds(std::string_view name) {
        return features().float_bounds(name);
    }
    GenicamResult<AccessMode> access_mode(std::string_view name) { return features().access_mode(name); }
    GenicamResult<void> check_integer(std::string_view name, std::int64_t v) { return features().check_integer(name, v); }
    GenicamResult<void> check_float(std::string_view name, double v) { return features().check_float(name, v); }
    GenicamResult<void> check_string(std::string_view name, std::string_view v) { return features().check_string(name, v); }
    GenicamResult<void> invalidate_caches() { return features().invalidate_caches(); }
    GenicamResult<void> fill_payload_size(std::optional<std::uint64_t>& payload_size) {
        return features().fill_payload_size(payload_size);
    }
    // The stream config's payload size from PayloadSize, unless it has one.
    GenicamResult<void> fill_payload_size(StreamConfig& config) { return fill_payload_size(config.payload_size); }
    // One frame through a snapshot session opened and closed around it, all
    // under the caller's hold of the camera-state lock. The frame comes back
    // whatever its status; none before the timeout is SnapTimeout.
    GenicamResult<FramePtr> snap(StreamConfig config, Duration timeout);
    bool has_feature(std::string_view name) { return features().has_feature(name); }
    GenicamResult<std::vector<std::string>> feature_names() { return features().feature_names(); }
    GenicamResult<FeatureInfo> feature_info(std::string_view name) { return features().feature_info(name); }
    GenicamResult<std::vector<CategoryInfo>> categories() { return features().categories(); }
    GenicamResult<FeatureKind> feature_kind(std::string_view name) { return features().feature_kind(name); }

    // Bounds the device traffic of every feature operation until the guard
    // ends: each access still waits at most its own transaction wait, and none
    // past `limit`. For cleanup paths (an acquisition or session released
    // unstopped, at interpreter exit too) that must not spend the seconds of
    // a full retry cycle on a camera that may be gone.
    class TrafficLimit {
    public:
        TrafficLimit(const TrafficLimit&) = delete;
        TrafficLimit& operator=(const TrafficLimit&) = delete;
        ~TrafficLimit() { camera_.port_ref_.limit(nullptr); }

    private:
        friend class GenICamera;
        TrafficLimit(GenICamera& camera, const gige::WaitLimit& limit) : camera_(camera), limit_(limit) {
            camera_.port_ref_.limit(&limit_);
        }
        GenICamera& camera_;
        gige::WaitLimit limit_;
    };
    [[nodiscard]] TrafficLimit limit_traffic(const gige::WaitLimit& limit) { return TrafficLimit(*this, limit); }

    // The node map of the current connection, if loaded.
    Genicam* node_map() { return node_map_ ? &*node_map_ : nullptr; }
    // The location text the description came from ("Local:...zip;...");
    // empty until it was fetched on this connection.
    const std::string& description_location() const { return description_location_; }

private:
    // PortIo over the current connection's control port, re-pointed at each
    // call so that it never outlives the connection it reaches.
    class PortRef final : public PortIo {
    public:
        void bind(const gige::ControlPort* port) { port_ = port; }
        void limit(const gige::WaitLimit* limit) { limit_ = limit; }
        CameraResult<void> read(std::uint64_t address, std::span<std::uint8_t> dst) override {
            if (!port_) return std::unexpected(CameraError::not_connected());
            return port_->read(address, dst, limit_ ? *limit_ : gige::WaitLimit{});
        }
        CameraResult<void> write(std::uint64_t address, std::span<const std::uint8_t> src) override {
            if (!port_) return std::unexpected(CameraError::not_connected());
            return port_->write(address, src, limit_ ? *limit_ : gige::WaitLimit{});
        }

    private:
        const gige::ControlPort* port_ = nullptr;
        const gige::WaitLimit* limit_ = nullptr;  // set by a TrafficLimit
    };

    FeatureAccess features();
    void drop_model();

    gige::GigECamera transport_;
    std::optional<Genicam> node_map_;
    // Kept even when it fails to parse, so a retry parses it again without
    // downloading it again.
    DescriptionBytes description_;
    std::string description_location_;
    PortRef port_ref_;
};

}  // namespace oculane
