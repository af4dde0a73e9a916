#pragma once
// One registration function per Python-facing subsystem, called by the module
// initialiser in the documented order.

#include <nanobind/nanobind.h>

namespace oculane::py {}  // namespace oculane::py
