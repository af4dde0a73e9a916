#pragma once
// The camera state behind a Python Camera: the transport camera and, once
// loaded, the feature model. Not synchronised itself; its owner keeps it
// behind the camera-state lock and holds that lock for every operation.

#include "error/camera_error.hpp"
#include "error/genicam_error.hpp"
#include "gige/gige_camera.hpp"
#include "util/duration.hpp"

namespace oculane {

class GenICamera {
public:
    explicit GenICamera(gige::GigESettings settings) : transport_(std::move(settings)) {}

    gige::GigECamera& transport() { return transport_; }
    const gige::GigECamera& transport() const { return transport_; }

    // The transport step of connecting: control worker, privilege, identity.
    CameraResult<void> connect_transport() { return transport_.connect(); }

    // The feature-model step of connecting: makes sure the description is
    // fetched and parsed for the current connection. Until the feature model
    // is wired in there is nothing to load, so it succeeds.
    GenicamResult<void> ensure_model();

    void disconnect(Duration deadline) { transport_.disconnect(deadline); }

private:
    gige::GigECamera transport_;
};

}  // namespace oculane
