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
void bind_link_stats(nanobind::module_& m);

}  // namespace oculane::py
