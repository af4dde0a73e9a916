// The feature methods of Camera: argument conversion, the camera-state lock
// and result conversion around the facade's operations.
#include <string>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "genicam/genicamera.hpp"
#include "py/access_mode.hpp"
#include "py/bindings.hpp"
#include "py/camera.hpp"
#include "py/errors.hpp"

namespace nb = nanobind;

namespace oculane::py {

void bind_camera_features(nb::class_<Camera>& cls) {
    cls.def("get_integer", [](Camera& self, const std::string& name) {
        return call_camera(self, [&](GenICamera& c) { return c.get_integer(name); });
    }, nb::arg("name"));
    cls.def("set_integer", [](Camera& self, const std::string& name, std::int64_t value) {
        call_camera(self, [&](GenICamera& c) { return c.set_integer(name, value); });
    }, nb::arg("name"), nb::arg("value"));
    cls.def("integer_bounds", [](Camera& self, const std::string& name) {
        return call_camera(self, [&](GenICamera& c) { return c.integer_bounds(name); });
    }, nb::arg("name"));
    cls.def("integer_increment", [](Camera& self, const std::string& name) {
        return call_camera(self, [&](GenICamera& c) { return c.integer_increment(name); });
    }, nb::arg("name"));
    cls.def("get_float", [](Camera& self, const std::string& name) {
        return call_camera(self, [&](GenICamera& c) { return c.get_float(name); });
    }, nb::arg("name"));
    cls.def("set_float", [](Camera& self, const std::string& name, double value) {
        call_camera(self, [&](GenICamera& c) { return c.set_float(name, value); });
    }, nb::arg("name"), nb::arg("value"));
    cls.def("float_bounds", [](Camera& self, const std::string& name) {
        return call_camera(self, [&](GenICamera& c) { return c.float_bounds(name); });
    }, nb::arg("name"));
    cls.def("get_boolean", [](Camera& self, const std::string& name) {
        return call_camera(self, [&](GenICamera& c) { return c.get_boolean(name); });
    }, nb::arg("name"));
    cls.def("set_boolean", [](Camera& self, const std::string& name, bool value) {
        call_camera(self, [&](GenICamera& c) { return c.set_boolean(name, value); });
    }, nb::arg("name"), nb::arg("value"));
    cls.def("get_string", [](Camera& self, const std::string& name) {
        return call_camera(self, [&](GenICamera& c) { return c.get_string(name); });
    }, nb::arg("name"));
    cls.def("set_string", [](Camera& self, const std::string& name, const std::string& value) {
        call_camera(self, [&](GenICamera& c) { return c.set_string(name, value); });
    }, nb::arg("name"), nb::arg("value"));
    cls.def("get_enum", [](Camera& self, const std::string& name) {
        return call_camera(self, [&](GenICamera& c) { return c.get_enum(name); });
    }, nb::arg("name"));
    cls.def("set_enum", [](Camera& self, const std::string& name, const std::string& entry) {
        call_camera(self, [&](GenICamera& c) { return c.set_enum(name, entry); });
    }, nb::arg("name"), nb::arg("entry"));
    cls.def("enum_entries", [](Camera& self, const std::string& name) {
        auto entries = call_camera(self, [&](GenICamera& c) { return c.enum_entries(name); });
        std::vector<std::string> names;
        names.reserve(entries.size());
        for (auto& e : entries) names.push_back(std::move(e.name));
        return names;
    }, nb::arg("name"));
    cls.def("execute", [](Camera& self, const std::string& name) {
        call_camera(self, [&](GenICamera& c) { return c.execute(name); });
    }, nb::arg("name"));
    cls.def("access_mode", [](Camera& self, const std::string& name) {
        auto mode = call_camera(self, [&](GenICamera& c) { return c.access_mode(name); });
        return access_mode_object(static_cast<int>(mode));
    }, nb::arg("name"));
    cls.def("has_feature", [](Camera& self, const std::string& name) {
        return with_camera(self, [&](GenICamera& c) { return c.has_feature(name); });
    }, nb::arg("name"));
    cls.def("feature_names", [](Camera& self) {
        return unwrap(with_camera(self, [](GenICamera& c) { return c.feature_names(); }));
    });
    cls.def("invalidate_caches", [](Camera& self) {
        unwrap(with_camera(self, [](GenICamera& c) { return c.invalidate_caches(); }));
    });
}

}  // namespace oculane::py
