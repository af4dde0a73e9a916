// The extension module: registrations only, in the documented order.
#include <nanobind/nanobind.h>

#include "py/bindings.hpp"
#include "py/camera.hpp"
#include "py/errors.hpp"

namespace nb = nanobind;

NB_MODULE(_oculane_core, m) {
    m.doc() = "";
    oculane::py::bind_errors(m);
    // Classes in registration order: Camera, SnapshotSession, Acquisition,
    // Frame, FrameChannel, FrameStatus, AccessMode, StreamStats, LinkStats,
    // the event classes, DeviceInfo; then discover. Each subsystem adds its line here.
    oculane::py::bind_camera(m);
    {
        // The stream methods of Camera live with the classes they return.
        auto camera = nb::borrow<nb::class_<oculane::py::Camera>>(nb::type<oculane::py::Camera>());
        oculane::py::bind_camera_acquisition(camera);
        oculane::py::bind_camera_snaps(camera);
        oculane::py::bind_camera_events(camera);
    }
    oculane::py::bind_snapshot_session(m);
    oculane::py::bind_acquisition(m);
    oculane::py::bind_frame(m);
    oculane::py::bind_frame_chunks(m);
    oculane::py::bind_frame_channel(m);
    oculane::py::bind_frame_status(m);
    oculane::py::bind_access_mode(m);
    oculane::py::bind_stream_stats(m);
    oculane::py::bind_link_stats(m);
    oculane::py::bind_events(m);
    oculane::py::bind_device_info(m);
    oculane::py::bind_discover(m);
    // Private names only (leading underscore), after the documented ones.
    oculane::py::bind_log_bridge(m);
    oculane::py::bind_action(m);
}
