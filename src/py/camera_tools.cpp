// The tool methods of Camera: feature metadata and the category tree (built
// here, returned as the plain Python records of oculane.features) and the
// settings files (written in Python, oculane.settings, over the public
// feature methods).
#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/variant.h>

#include "genicam/genicamera.hpp"
#include "gige/proto/bootstrap.hpp"
#include "py/bindings.hpp"
#include "py/camera.hpp"
#include "py/errors.hpp"
#include "util/inet.hpp"
#include "util/utf8.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace oculane::py {

namespace {

nb::tuple strings(const std::vector<std::string>& v) {
    nb::list out;
    for (const auto& s : v) out.append(nb::str(s.c_str(), s.size()));
    return nb::tuple(out);
}

nb::object features_module() { return nb::module_::import_("oculane.features"); }

nb::object feature_info(Camera& self, const std::string& name) {
    FeatureInfo info = call_feature(self, name, [&](GenICamera& c) { return c.feature_info(name); });
    nb::object mod = features_module();
    nb::list entries;
    for (const auto& e : info.entries)
        entries.append(mod.attr("EnumEntryInfo")(e.name, e.value, e.display_name, e.implemented, e.available));
    return mod.attr("FeatureInfo")(
        "name"_a = info.name, "kind"_a = info.kind, "display_name"_a = info.display_name,
        "tooltip"_a = info.tooltip, "description"_a = info.description, "unit"_a = info.unit,
        "representation"_a = info.representation,
        "visibility"_a = mod.attr("Visibility")(static_cast<int>(info.visibility)),
        "category_path"_a = strings(info.category_path), "implemented"_a = info.implemented,
        "available"_a = info.available, "locked"_a = info.locked, "selected"_a = strings(info.selected),
        "selectors"_a = strings(info.selectors), "entries"_a = nb::tuple(entries));
}

nb::object categories(Camera& self) {
    std::vector<CategoryInfo> flat = call_camera(self, [](GenICamera& c) { return c.categories(); });
    nb::list rows;
    for (const auto& c : flat)
        rows.append(nb::make_tuple(c.name, c.display_name, static_cast<int>(c.visibility), c.parent,
                                   strings(c.subcategories), strings(c.features)));
    return features_module().attr("_category_tree")(rows);
}

// The description's location as the device names it: the first URL register
// that is not blank (the order connect tries them in), or "" when neither
// could be read. Read fresh, since the connection keeps only the parsed model.
std::string description_location(const gige::Connection& c) {
    for (const auto& reg : {bootstrap::kFirstUrl, bootstrap::kSecondUrl}) {
        auto block = c.port().read_memory(reg.address, reg.size, gige::WaitLimit{});
        if (!block) continue;
        const auto end = std::find(block->begin(), block->end(), std::uint8_t{0});
        std::string text = utf8_lossy(std::span<const std::uint8_t>(block->data(), end - block->begin()));
        if (text.find_first_not_of(" \t\r\n") != std::string::npos) return text;
    }
    return {};
}

struct LinkDetails {
    std::uint32_t capability;
    std::string local;
    std::string description;
};

// What the command line's `info` shows beyond the identity record: the GVCP
// capability word, the local end of the control socket and the description's
// location; None while not connected.
nb::object link_details(Camera& self) {
    const auto details = with_camera(self, [](GenICamera& camera) {
        std::optional<LinkDetails> out;
        if (const gige::Connection* c = camera.transport().connection()) {
            const auto local = c->local_address();
            out.emplace(c->capability(), inet::format_endpoint(local.ip, local.port), description_location(*c));
        }
        return out;
    });
    if (!details) return nb::none();
    nb::dict d;
    d["capability"] = details->capability;
    d["local"] = details->local;
    d["description"] = details->description;
    return d;
}

// The setters' own checks without the write, for tools that set several
// features and must refuse them all when one is bad: an int is checked as an
// integer, a float as a float, a str as an entry name or a string.
void check_write(Camera& self, const std::string& name, const std::variant<std::int64_t, double, std::string>& value) {
    call_feature(self, name, [&](GenICamera& c) {
        return std::visit(
            [&](const auto& v) -> GenicamResult<void> {
                using V = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<V, std::int64_t>) return c.check_integer(name, v);
                else if constexpr (std::is_same_v<V, double>) return c.check_float(name, v);
                else return c.check_string(name, v);
            },
            value);
    });
}

// The feature's kind and unit, from the description alone.
std::pair<std::string, std::string> feature_kind(Camera& self, const std::string& name) {
    FeatureKind k = call_feature(self, name, [&](GenICamera& c) { return c.feature_kind(name); });
    return {std::move(k.kind), std::move(k.unit)};
}

// Generic access is written in Python (oculane.features) over the typed
// methods; these only hand the call over.
nb::object features_call(const char* function, nb::handle self) {
    return features_module().attr(function)(self);
}
nb::object features_call(const char* function, nb::handle self, nb::handle name) {
    return features_module().attr(function)(self, name);
}

}  // namespace

void bind_camera_generic_access(nb::class_<Camera>& cls) {
    cls.def("_feature_kind", &feature_kind, "name"_a);
    cls.def(
        "get", [](nb::handle self, nb::handle name) { return features_call("get_value", self, name); }, "name"_a,
        nb::sig("def get(self, name: str) -> typing.Any"),
        "The feature's value, whatever its kind: an int for an Integer, a float\n"
        "for a Float, a bool for a Boolean, the entry name for an Enumeration, a\n"
        "str for a String. `camera[name]` is the same.\n\n"
        "Raises GenicamException for an unknown feature (kind \"FeatureNotFound\")\n"
        "or one that cannot be read, CameraException for transport trouble, and\n"
        "TypeError for a Command or another node without a value.\n\n"
        "    >>> cam.get(\"PayloadSize\"), cam[\"PixelFormat\"]\n"
        "    (307200, 'Mono8')");
    cls.def(
        "set",
        [](nb::handle self, nb::handle name, nb::handle value) {
            features_module().attr("set_value")(self, name, value);
        },
        "name"_a, "value"_a, nb::sig("def set(self, name: str, value: int | float | bool | str) -> None"),
        "Write a feature, whatever its kind; `camera[name] = value` is the same.\n"
        "The value is converted the way the kind needs: an Integer takes an int\n"
        "(or a float holding a whole number), a Float an int or a float, a\n"
        "Boolean True or False, an Enumeration an entry name, a String a str.\n\n"
        "Raises TypeError for a value of the wrong type or a feature without a\n"
        "value (a Command: use `execute`), ValueError for a float that is not a\n"
        "whole number given to an Integer, OverflowError for an int beyond 64\n"
        "bits; each names the feature. The feature's own checks (bounds,\n"
        "increment, entries, access) raise GenicamException.\n\n"
        "    >>> cam.set(\"ExposureTime\", 2500)     # an int is fine for a Float\n"
        "    >>> cam[\"PixelFormat\"] = \"Mono16\"");
    cls.def(
        "__getitem__", [](nb::handle self, nb::handle name) { return features_call("get_value", self, name); },
        "name"_a, nb::sig("def __getitem__(self, name: str) -> typing.Any"), "`get(name)`.");
    cls.def(
        "__setitem__",
        [](nb::handle self, nb::handle name, nb::handle value) {
            features_module().attr("set_value")(self, name, value);
        },
        "name"_a, "value"_a, nb::sig("def __setitem__(self, name: str, value: int | float | bool | str) -> None"),
        "`set(name, value)`.");
    // With __getitem__ and no __iter__, Python would iterate a camera by
    // asking for camera[0], camera[1], ...: say plainly that it is not
    // iterable (features() is).
    cls.attr("__iter__") = nb::none();
    cls.def(
        "__contains__", [](nb::handle self, nb::handle name) { return features_call("contains", self, name); },
        "name"_a, nb::sig("def __contains__(self, name: object) -> bool"),
        "`name in camera`: the camera's feature model has a node of that name\n"
        "(`has_feature`). False while not connected.");
    cls.def(
        "feature", [](nb::handle self, nb::handle name) { return features_call("feature", self, name); }, "name"_a,
        nb::sig("def feature(self, name: str) -> oculane.features.Feature"),
        "A `Feature` for the name: its kind, unit, value, bounds, increment,\n"
        "entries and access, each read when asked. Raises GenicamException\n"
        "(kind \"FeatureNotFound\") for an unknown name.\n\n"
        "    >>> cam.feature(\"ExposureTime\")\n"
        "    Feature(ExposureTime: Float = 10000.0 us [10..1e+06])");
    cls.def(
        "features", [](nb::handle self) { return features_call("iter_features", self); },
        nb::sig("def features(self) -> collections.abc.Iterator[oculane.features.Feature]"),
        "Every feature of the category tree as a `Feature`, in category order\n"
        "(depth first, each once).\n\n"
        "    >>> [f.name for f in cam.features() if f.kind == \"Float\"]\n"
        "    ['ExposureTime', 'AcquisitionFrameRate', 'Gain', ...]");
    cls.def(
        "_ipython_key_completions_", [](nb::handle self) { return features_call("completions", self); },
        nb::sig("def _ipython_key_completions_(self) -> list[str]"));
}

void bind_camera_tools(nb::class_<Camera>& cls) {
    cls.def("feature_info", &feature_info, "name"_a,
            nb::sig("def feature_info(self, name: str) -> oculane.features.FeatureInfo"),
            "What the feature is: kind, display name, tooltip, description, unit,\n"
            "representation, visibility and category path, and whether it is\n"
            "implemented, available and locked now (read from the device).");
    cls.def("categories", &categories,
            nb::sig("def categories(self) -> tuple[oculane.features.Category, ...]"),
            "The category tree of the description: the top-level categories, each\n"
            "with its features and subcategories.");
    cls.def("_link_details", &link_details);
    cls.def("_check_write", &check_write, "name"_a, "value"_a);
    cls.def(
        "save_settings",
        [](nb::object self, nb::object path) { return nb::module_::import_("oculane.settings").attr("save")(self, path); },
        "path"_a, nb::sig("def save_settings(self, path: str | os.PathLike[str]) -> int"),
        "Write every readable and writable feature to a text file, in an order\n"
        "that restores correctly; returns the number of features written.");
    cls.def(
        "load_settings",
        [](nb::object self, nb::object path) { return nb::module_::import_("oculane.settings").attr("load")(self, path); },
        "path"_a,
        nb::sig("def load_settings(self, path: str | os.PathLike[str]) -> list[oculane.settings.SettingsIssue]"),
        "Apply a settings file. Returns the lines that could not be applied, each\n"
        "with its reason; a file that cannot be parsed changes nothing.");
}

}  // namespace oculane::py
