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
#include "py/int_arg.hpp"

namespace nb = nanobind;

namespace oculane::py {

void bind_camera_features(nb::class_<Camera>& cls) {
    cls.def("get_integer", [](Camera& self, const std::string& name) {
        return call_feature(self, name, [&](GenICamera& c) { return c.get_integer(name); });
    }, nb::arg("name"),
        "The value of an Integer feature. Raises GenicamException for an unknown\n"
        "feature, another kind or one that cannot be read, CameraException for\n"
        "transport trouble; `get(name)` takes any kind.");
    cls.def("set_integer", [](Camera& self, const std::string& name, IntArg<std::int64_t> given) {
        const std::int64_t value = given.get("value");
        call_feature(self, name, [&](GenICamera& c) { return c.set_integer(name, value); });
    }, nb::arg("name"), nb::arg("value"),
        "Write an Integer feature. Its bounds and increment are checked before\n"
        "anything is sent (GenicamException, `kind` \"OutOfRange\"); an int outside\n"
        "signed 64 bits raises ValueError or OverflowError.");
    cls.def("integer_bounds", [](Camera& self, const std::string& name) {
        return call_feature(self, name, [&](GenICamera& c) { return c.integer_bounds(name); });
    }, nb::arg("name"),
        "(minimum, maximum) of an Integer feature, as they are now.");
    cls.def("integer_increment", [](Camera& self, const std::string& name) {
        return call_feature(self, name, [&](GenICamera& c) { return c.integer_increment(name); });
    }, nb::arg("name"),
        "The step between valid values of an Integer feature (1 when it has none).");
    cls.def("get_float", [](Camera& self, const std::string& name) {
        return call_feature(self, name, [&](GenICamera& c) { return c.get_float(name); });
    }, nb::arg("name"),
        "The value of a Float feature.");
    cls.def("set_float", [](Camera& self, const std::string& name, double value) {
        call_feature(self, name, [&](GenICamera& c) { return c.set_float(name, value); });
    }, nb::arg("name"), nb::arg("value"),
        "Write a Float feature (an int is accepted); values outside its bounds\n"
        "are refused before anything is sent.");
    cls.def("float_bounds", [](Camera& self, const std::string& name) {
        return call_feature(self, name, [&](GenICamera& c) { return c.float_bounds(name); });
    }, nb::arg("name"),
        "(minimum, maximum) of a Float feature, as they are now.");
    cls.def("get_boolean", [](Camera& self, const std::string& name) {
        return call_feature(self, name, [&](GenICamera& c) { return c.get_boolean(name); });
    }, nb::arg("name"),
        "The value of a Boolean feature.");
    cls.def("set_boolean", [](Camera& self, const std::string& name, bool value) {
        call_feature(self, name, [&](GenICamera& c) { return c.set_boolean(name, value); });
    }, nb::arg("name"), nb::arg("value"),
        "Write a Boolean feature; only True or False are accepted.");
    cls.def("get_string", [](Camera& self, const std::string& name) {
        return call_feature(self, name, [&](GenICamera& c) { return c.get_string(name); });
    }, nb::arg("name"),
        "The text of a String feature, or the current entry name of an\n"
        "Enumeration (the same operation as `get_enum`).");
    cls.def("set_string", [](Camera& self, const std::string& name, const std::string& value) {
        call_feature(self, name, [&](GenICamera& c) { return c.set_string(name, value); });
    }, nb::arg("name"), nb::arg("value"),
        "Write a String feature. A text longer than its register is refused,\n"
        "not cut.");
    cls.def("get_enum", [](Camera& self, const std::string& name) {
        return call_feature(self, name, [&](GenICamera& c) { return c.get_enum(name); });
    }, nb::arg("name"),
        "The current entry name of an Enumeration (or the text of a String:\n"
        "the same operation as `get_string`).");
    cls.def("set_enum", [](Camera& self, const std::string& name, const std::string& entry) {
        call_feature(self, name, [&](GenICamera& c) { return c.set_enum(name, entry); });
    }, nb::arg("name"), nb::arg("entry"),
        "Select an Enumeration entry by name (`enum_entries` lists them); an\n"
        "unknown entry raises GenicamException (`kind` \"NoEnumEntry\").");
    cls.def("enum_entries", [](Camera& self, const std::string& name) {
        auto entries = call_feature(self, name, [&](GenICamera& c) { return c.enum_entries(name); });
        std::vector<std::string> names;
        names.reserve(entries.size());
        for (auto& e : entries) names.push_back(std::move(e.name));
        return names;
    }, nb::arg("name"),
        "The entry names of an Enumeration, in description order.");
    cls.def("execute", [](Camera& self, const std::string& name) {
        call_feature(self, name, [&](GenICamera& c) { return c.execute(name); });
    }, nb::arg("name"),
        "Run a Command feature, such as \"AcquisitionStart\".");
    cls.def("access_mode", [](Camera& self, const std::string& name) {
        auto mode = call_feature(self, name, [&](GenICamera& c) { return c.access_mode(name); });
        return access_mode_object(static_cast<int>(mode));
    }, nb::arg("name"),
        "The feature's access mode now: `AccessMode.RO`, `WO` or `RW`.");
    cls.def("has_feature", [](Camera& self, const std::string& name) {
        return with_camera(self, [&](GenICamera& c) { return c.has_feature(name); });
    }, nb::arg("name"),
        "True when the feature model is loaded and has a node of this name\n"
        "(`name in camera` is the same). No device access; never raises.");
    cls.def("feature_names", [](Camera& self) {
        return unwrap(with_camera(self, [](GenICamera& c) { return c.feature_names(); }));
    },
        "The name of every node of the feature model (features, categories,\n"
        "registers, ports), in description order. Raises GenicamException when\n"
        "no model is loaded.");
    cls.def("invalidate_caches", [](Camera& self) {
        unwrap(with_camera(self, [](GenICamera& c) { return c.invalidate_caches(); }));
    },
        "Forget every cached register value, so that the next reads go to the\n"
        "device. No device access.");
}

}  // namespace oculane::py
