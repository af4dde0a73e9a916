#pragma once
// One registration function per Python-facing subsystem, called by the module
// initialiser in the documented order.

#include <nanobind/nanobind.h>

namespace oculane::py {

class Camera;

// Camera: construction, connection, busy slot, link counters.
void bind_camera(nanobind::module_& m);
// The feature methods on Camera, added by the feature-access bindings.
void bind_camera_features(nanobind::class_<Camera>& cls);
// Feature metadata, the category tree and settings files on Camera.
void bind_camera_tools(nanobind::class_<Camera>& cls);
// get, set, camera[name], name in camera, feature and features.
void bind_camera_generic_access(nanobind::class_<Camera>& cls);
void bind_link_stats(nanobind::module_& m);
// Camera.start_acquisition, and Camera.snap with Camera.snapshot_session.
void bind_camera_acquisition(nanobind::class_<Camera>& cls);
void bind_camera_snaps(nanobind::class_<Camera>& cls);

// The stream side: SnapshotSession, Acquisition, Frame, FrameChannel,
// FrameStatus (shared value objects) and StreamStats.
void bind_snapshot_session(nanobind::module_& m);
void bind_acquisition(nanobind::module_& m);
void bind_frame(nanobind::module_& m);
// Event and EventSubscription (events.cpp), and Camera.events.
void bind_events(nanobind::module_& m);
void bind_camera_events(nanobind::class_<Camera>& cls);
// Chunk data members of Frame (frame_chunks.cpp); after bind_frame.
void bind_frame_chunks(nanobind::module_& m);
void bind_frame_channel(nanobind::module_& m);
void bind_frame_status(nanobind::module_& m);
void bind_stream_stats(nanobind::module_& m);

// DeviceInfo: read-only identity record (also returned by Camera.device_info()).
void bind_device_info(nanobind::module_& m);
// discover(timeout=1.0)
void bind_discover(nanobind::module_& m);
void bind_action(nanobind::module_& m);
// Private helpers of oculane.logging_bridge: log events queued for Python.
void bind_log_bridge(nanobind::module_& m);
// AccessMode: RO, WO, RW as shared value objects.
void bind_access_mode(nanobind::module_& m);

}  // namespace oculane::py
