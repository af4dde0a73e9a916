#include "py/access_mode.hpp"

#include <array>

#include "py/bindings.hpp"
#include "py/value_enum.hpp"

namespace nb = nanobind;

namespace oculane::py {

namespace {

using AccessModeEnum = ValueEnum<struct AccessModeTag>;
constexpr std::array<const char*, 3> kNames = {"RO", "WO", "RW"};

}  // namespace

nb::object access_mode_object(int code) { return AccessModeEnum::value(code, 2); }

void bind_access_mode(nb::module_& m) {
    AccessModeEnum::bind(m, "AccessMode",
                         "How a feature may be used now: `RO` (read only), `WO` (write only)\n"
                         "or `RW`. Each value is one shared object that compares equal to its\n"
                         "int (RO = 0, WO = 1, RW = 2).",
                         kNames);
}

}  // namespace oculane::py
