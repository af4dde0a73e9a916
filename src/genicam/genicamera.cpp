#include "genicam/genicamera.hpp"

#include "genicam/parser.hpp"

namespace oculane {

CameraResult<void> GenICamera::connect_transport(const gige::WaitLimit& limit) {
    const bool was_live = transport_.is_connected();
    auto r = transport_.connect(limit);
    if (!was_live) drop_model();
    return r;
}

void GenICamera::disconnect(Duration deadline) {
    drop_model();
    transport_.disconnect(deadline);
}

void GenICamera::drop_model() {
    node_map_.reset();
    description_.reset();
    description_location_.clear();
    port_ref_.bind(nullptr);
}

GenicamResult<void> GenICamera::ensure_model(const gige::WaitLimit& limit) {
    auto connection_error = [this]() -> std::optional<CameraError> {
        const gige::Connection* c = transport_.connection();
        if (!c) return CameraError::not_connected();
        if (!c->worker_running())
            return c->control_lost() ? CameraError::control_lost() : CameraError::not_connected();
        return std::nullopt;
    };
    auto genicam_xml = [this, &limit]() {
        // Over the control port itself rather than the PortIo view, so that the
        // URL registers and a large description get the waits sized for them.
        return cached_description(description_,
                                  [&] {
                                      return fetch_description(transport_.connection()->port(), limit,
                                                               &description_location_);
                                  });
    };
    return ensure_feature_model(node_map_, connection_error, genicam_xml,
                                [](std::string_view text) { return parse_description(text); });
}

FeatureAccess GenICamera::features() {
    FeatureState s;
    if (const gige::Connection* c = transport_.connection()) {
        s.connected = true;
        s.worker_running = c->worker_running();
        s.control_lost = c->control_lost();
        port_ref_.bind(&c->port());
        s.port = &port_ref_;
        s.map = node_map();
    }
    return FeatureAccess(s);
}

}  // namespace oculane
