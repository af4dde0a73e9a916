// Placeholder for the feature methods of Camera; the feature-access work
// replaces this file with the real bindings.
#include "py/bindings.hpp"
#include "py/camera.hpp"

namespace oculane::py {

void bind_camera_features(nanobind::class_<Camera>&) {}

}  // namespace oculane::py
