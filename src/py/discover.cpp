// Module-level discovery: probes every local IPv4 network and returns the
// identity records of the devices that answer.
#include <nanobind/nanobind.h>
#include <nanobind/stl/vector.h>

#include <vector>

#include "gige/discovery/discovery.hpp"
#include "py/bindings.hpp"
#include "py/errors.hpp"
#include "util/duration.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace oculane::py {

namespace {

std::vector<DeviceInfo> discover(double timeout) {
    // An invalid timeout is refused before anything goes on the wire.
    auto duration = duration_from_secs(timeout);
    if (!duration) raise_value_error(duration.error());

    gige::DiscoveryConfig config;
    config.timeout = *duration;

    CameraResult<std::vector<gige::DiscoveredDevice>> result = [&] {
        nb::gil_scoped_release released;
        return gige::discover(config);
    }();
    auto found = unwrap(std::move(result));

    std::vector<DeviceInfo> out;
    out.reserve(found.size());
    for (auto& d : found) out.push_back(std::move(d.info));
    return out;
}

}  // namespace

void bind_discover(nb::module_& m) {
    m.def("discover", &discover, "timeout"_a = 1.0,
          "Broadcast a GigE Vision discovery beacon on every Up IPv4 adapter and\n"
          "return the devices that answer within `timeout` seconds.");
}

}  // namespace oculane::py
