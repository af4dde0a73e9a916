// The feature methods of Camera: argument conversion, the camera-state lock
// and result conversion around the facade's operations.
#include <mutex>
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

namespace {

// Runs a facade operation with the interpreter lock released while it waits
// for the camera-state lock and the device, then converts the outcome with
// the interpreter lock held again.
template <class F>
auto released(Camera& self, F&& op) {
    using Result = decltype(op(std::declval<GenICamera&>()));
    std::optional<Result> result;
    {
        nb::gil_scoped_release unlocked;
        std::lock_guard lock(self.state->mutex);
        result.emplace(op(self.state->camera));
    }
    return unwrap(std::move(*result));
}

// For the quick queries that need the node map but never the device: the
// camera-state lock may be held by a long operation, so it is waited for
// with the interpreter lock released all the same.
template <class F>
auto unlocked(Camera& self, F&& op) {
    using Result = decltype(op(std::declval<GenICamera&>()));
    std::optional<Result> result;
    {
        nb::gil_scoped_release released_gil;
        std::lock_guard lock(self.state->mutex);
        result.emplace(op(self.state->camera));
    }
    return std::move(*result);
}

}  // namespace

void bind_camera_features(nb::class_<Camera>& cls) {
    cls.def("get_integer", [](Camera& self, const std::string& name) {
        return released(self, [&](GenICamera& c) { return c.get_integer(name); });
    }, nb::arg("name"));
    cls.def("set_integer", [](Camera& self, const std::string& name, std::int64_t value) {
        released(self, [&](GenICamera& c) { return c.set_integer(name, value); });
    }, nb::arg("name"), nb::arg("value"));
    cls.def("integer_bounds", [](Camera& self, const std::string& name) {
        return released(self, [&](GenICamera& c) { return c.integer_bounds(name); });
    }, nb::arg("name"));
    cls.def("integer_increment", [](Camera& self, const std::string& name) {
        return released(self, [&](GenICamera& c) { return c.integer_increment(name); });
    }, nb::arg("name"));
    cls.def("get_float", [](Camera& self, const std::string& name) {
        return released(self, [&](GenICamera& c) { return c.get_float(name); });
    }, nb::arg("name"));
    cls.def("set_float", [](Camera& self, const std::string& name, double value) {
        released(self, [&](GenICamera& c) { return c.set_float(name, value); });
    }, nb::arg("name"), nb::arg("value"));
    cls.def("float_bounds", [](Camera& self, const std::string& name) {
        return released(self, [&](GenICamera& c) { return c.float_bounds(name); });
    }, nb::arg("name"));
    cls.def("get_boolean", [](Camera& self, const std::string& name) {
        return released(self, [&](GenICamera& c) { return c.get_boolean(name); });
    }, nb::arg("name"));
    cls.def("set_boolean", [](Camera& self, const std::string& name, bool value) {
        released(self, [&](GenICamera& c) { return c.set_boolean(name, value); });
    }, nb::arg("name"), nb::arg("value"));
    cls.def("get_string", [](Camera& self, const std::string& name) {
        return released(self, [&](GenICamera& c) { return c.get_string(name); });
    }, nb::arg("name"));
    cls.def("set_string", [](Camera& self, const std::string& name, const std::string& value) {
        released(self, [&](GenICamera& c) { return c.set_string(name, value); });
    }, nb::arg("name"), nb::arg("value"));
    cls.def("get_enum", [](Camera& self, const std::string& name) {
        return released(self, [&](GenICamera& c) { return c.get_enum(name); });
    }, nb::arg("name"));
    cls.def("set_enum", [](Camera& self, const std::string& name, const std::string& entry) {
        released(self, [&](GenICamera& c) { return c.set_enum(name, entry); });
    }, nb::arg("name"), nb::arg("entry"));
    cls.def("enum_entries", [](Camera& self, const std::string& name) {
        auto entries = released(self, [&](GenICamera& c) { return c.enum_entries(name); });
        std::vector<std::string> names;
        names.reserve(entries.size());
        for (auto& e : entries) names.push_back(std::move(e.name));
        return names;
    }, nb::arg("name"));
    cls.def("execute", [](Camera& self, const std::string& name) {
        released(self, [&](GenICamera& c) { return c.execute(name); });
    }, nb::arg("name"));
    cls.def("access_mode", [](Camera& self, const std::string& name) {
        auto mode = released(self, [&](GenICamera& c) { return c.access_mode(name); });
        return access_mode_object(static_cast<int>(mode));
    }, nb::arg("name"));
    cls.def("has_feature", [](Camera& self, const std::string& name) {
        return unlocked(self, [&](GenICamera& c) { return c.has_feature(name); });
    }, nb::arg("name"));
    cls.def("feature_names", [](Camera& self) {
        return unwrap(unlocked(self, [](GenICamera& c) { return c.feature_names(); }));
    });
    cls.def("invalidate_caches", [](Camera& self) {
        unwrap(unlocked(self, [](GenICamera& c) { return c.invalidate_caches(); }));
    });
}

}  // namespace oculane::py
