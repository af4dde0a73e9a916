#pragma once
// The Python AccessMode values: one shared object per code, so `is` and `==`
// agree and a feature's mode can be compared with AccessMode.RW directly.

#include <nanobind/nanobind.h>

namespace oculane::py {

// The shared object for a code (0 RO, 1 WO, 2 RW). Interpreter lock held.
nanobind::object access_mode_object(int code);

}  // namespace oculane::py
