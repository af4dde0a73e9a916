// The extension module: registrations only, in the documented order.
#include <nanobind/nanobind.h>

#include "py/bindings.hpp"
#include "py/errors.hpp"

namespace nb = nanobind;

NB_MODULE(_oculane_core, m) {
    m.doc() = "";
    oculane::py::bind_errors(m);
    // Classes in registration order: Camera, SnapshotSession, Acquisition,
    // Frame, FrameChannel, FrameStatus, AccessMode, StreamStats, LinkStats,
    // DeviceInfo; then discover. Each subsystem adds its line here.
    oculane::py::bind_camera(m);
    // SnapshotSession
    // Acquisition
    // Frame
    // FrameChannel
    // FrameStatus
    oculane::py::bind_access_mode(m);
    // StreamStats
    oculane::py::bind_link_stats(m);
    oculane::py::bind_device_info(m);
    oculane::py::bind_discover(m);
    // Private names only (leading underscore), after the documented ones.
    oculane::py::bind_log_bridge(m);
}
