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
    FeatureInfo info = call_camera(self, [&](GenICamera& c) { return c.feature_info(name); });
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
    call_camera(self, [&](GenICamera& c) {
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

}  // namespace

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
