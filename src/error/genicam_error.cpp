#include "error/genicam_error.hpp"

#include <iterator>

#include "util/overload.hpp"

namespace oculane {

const char* GenicamError::kind_name() const {
    static constexpr const char* kNames[] = {
        "FeatureNotFound",   "UnsupportedAccess", "AccessModeViolation", "DanglingReference", "CircularReference",
        "FormulaError",      "NoEnumEntry",       "OutOfRange",          "DescriptionError",  "SnapTimeout",
        "Transport",         "FloatOutOfRange",   "Unavailable"};
    static_assert(std::size(kNames) == std::variant_size_v<Variant>);
    if (const CameraError* inner = transport_error()) return inner->kind_name();
    return kNames[v_.index()];
}

const std::string* GenicamError::feature_name() const {
    using namespace genicam_error;
    if (const auto* e = get_if<FeatureNotFound>()) return &e->name;
    if (const auto* e = get_if<NoEnumEntry>()) return &e->enumeration;
    if (const auto* e = get_if<OutOfRange>()) return &e->name;
    if (const auto* e = get_if<FloatOutOfRange>()) return &e->name;
    return nullptr;
}

std::string GenicamError::to_string() const {
    using namespace genicam_error;
    return std::visit(
        Overload{
            [](const FeatureNotFound& e) { return fmt::format("feature '{}' not found", e.name); },
            [](const UnsupportedAccess& e) {
                return fmt::format("node '{}' does not support this access", e.node);
            },
            [](const AccessModeViolation& e) {
                return fmt::format("node '{}' is not accessible this way (access mode)", e.node);
            },
            [](const DanglingReference& e) { return fmt::format("dangling reference '{}'", e.name); },
            [](const CircularReference& e) {
                return fmt::format("circular reference through '{}'", e.node);
            },
            [](const FormulaError& e) { return fmt::format("formula in '{}': {}", e.node, e.message); },
            [](const NoEnumEntry& e) {
                return fmt::format("enumeration '{}' has no entry '{}'", e.enumeration, e.entry);
            },
            [](const OutOfRange& e) {
                if (e.text_length)
                    return fmt::format("text length {} out of range [{}, {}] for '{}'", e.value, e.min,
                                       e.max, e.name);
                if (e.inc > 1)
                    return fmt::format("value {} out of range [{}, {}] in steps of {} for '{}'", e.value,
                                       e.min, e.max, e.inc, e.name);
                return fmt::format("value {} out of range [{}, {}] for '{}'", e.value, e.min, e.max,
                                   e.name);
            },
            [](const FloatOutOfRange& e) {
                return fmt::format("value {} out of range [{}, {}] for '{}'", e.value, e.min, e.max,
                                   e.name);
            },
            [](const Unavailable& e) {
                return fmt::format("node '{}' cannot be read from the device: {}", e.node, e.reason);
            },
            [](const DescriptionError& e) { return fmt::format("device description: {}", e.message); },
            [](const SnapTimeout&) { return std::string("no frame arrived within the snap timeout"); },
            [](const Transport& e) { return e.error.to_string(); },
        },
        v_);
}

}  // namespace oculane
