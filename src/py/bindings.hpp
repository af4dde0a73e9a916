#pragma once
// One registration function per Python-facing subsystem, called by the module
// initialiser in the documented order.

#include <nanobind/nanobind.h>

namespace oculane::py {

// DeviceInfo: read-only identity record (also returned by Camera.device_info()).
void bind_device_info(nanobind::module_& m);
// discover(timeout=1.0)
void bind_discover(nanobind::module_& m);

}  // namespace oculane::py
