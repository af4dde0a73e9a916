// Python view of a device's identity record: read-only, produced only by
// discovery and by a connected camera.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include <tuple>

#include <fmt/format.h>

#include "gige/proto/device_info.hpp"
#include "py/bindings.hpp"

namespace nb = nanobind;

namespace oculane::py {

void bind_device_info(nb::module_& m) {
    nb::class_<DeviceInfo>(m, "DeviceInfo",
                           "Identity and addressing of a device, parsed from the first\n"
                           "[`DISCOVERY_DATA_SIZE`] bytes of bootstrap register space (the discovery\n"
                           "acknowledge payload, or the same block read via READMEM).")
        .def_prop_ro("manufacturer", [](const DeviceInfo& d) { return d.manufacturer; }, "The maker's name.")
        .def_prop_ro("model", [](const DeviceInfo& d) { return d.model; }, "The model name.")
        .def_prop_ro("serial", [](const DeviceInfo& d) { return d.serial; }, "The serial number.")
        .def_prop_ro("device_version", [](const DeviceInfo& d) { return d.device_version; },
                     "The device's version text (firmware, hardware).")
        .def_prop_ro("manufacturer_info", [](const DeviceInfo& d) { return d.manufacturer_info; },
                     "Free text the maker puts in the record.")
        .def_prop_ro("user_defined_name", [](const DeviceInfo& d) { return d.user_defined_name; },
                     "The name a user gave the device (DeviceUserID), or \"\".")
        .def_prop_ro("ip", [](const DeviceInfo& d) { return d.ip_string(); },
                     "The current IPv4 address, dotted decimal (\"192.168.1.10\").")
        .def_prop_ro("subnet_mask", [](const DeviceInfo& d) { return format_ipv4(d.subnet_mask); },
                     "The current subnet mask, dotted decimal.")
        .def_prop_ro("gateway", [](const DeviceInfo& d) { return format_ipv4(d.gateway); },
                     "The default gateway, dotted decimal.")
        .def_prop_ro("mac", [](const DeviceInfo& d) { return d.mac_string(); },
                     "The MAC address, lower-case hex bytes joined by \":\" (\"00:0c:df:04:a1:7e\").")
        .def_prop_ro(
            "spec_version",
            [](const DeviceInfo& d) { return std::make_tuple(int{d.spec_major}, int{d.spec_minor}); },
            "GigE Vision spec version as `(major, minor)`.")
        .def("__repr__", [](const DeviceInfo& d) {
            return fmt::format("DeviceInfo({} {} serial={} ip={})", d.manufacturer, d.model, d.serial,
                               d.ip_string());
        });
}

}  // namespace oculane::py
