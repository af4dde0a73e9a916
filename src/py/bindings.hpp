#pragma once
// One registration function per Python-facing subsystem, called by the module
// initialiser in the documented order.

#include <nanobind/nanobind.h>

namespace oculane::py {

// AccessMode: RO, WO, RW as shared value objects.
void bind_access_mode(nanobind::module_& m);

}  // namespace oculane::py
