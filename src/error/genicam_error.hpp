#pragma once
// Feature-model errors: unknown features, access rules, references, formulas,
// enumeration entries, ranges, the description file and the snap timeout.
// Transport wraps a CameraError raised underneath a feature operation.

#include <cstdint>
#include <expected>
#include <string>
#include <type_traits>
#include <variant>

#include <fmt/format.h>

#include "error/camera_error.hpp"

namespace oculane {

namespace genicam_error {
struct FeatureNotFound {
    std::string name;
};
struct UnsupportedAccess {
    std::string node;
};
struct AccessModeViolation {
    std::string node;
};
struct DanglingReference {
    std::string name;
};
struct CircularReference {
    std::string node;
};
struct FormulaError {
    std::string node;
    std::string message;
};
struct NoEnumEntry {
    std::string enumeration;
    std::string entry;
};
struct OutOfRange {
    std::int64_t value = 0;
    std::int64_t min = 0;
    std::int64_t max = 0;
    std::string name;
    // The feature's increment: above 1, a value must also be min plus a
    // multiple of it, and the text says so.
    std::int64_t inc = 1;
    // The value is the length in bytes of a text, too long for its string
    // register; the text says "text length" instead of "value".
    bool text_length = false;
};
struct DescriptionError {
    std::string message;
};
struct SnapTimeout {};
struct Transport {
    CameraError error;
};
// A float value outside a Float feature's bounds (NaN included).
struct FloatOutOfRange {
    double value = 0;
    double min = 0;
    double max = 0;
    std::string name;
};
// A node whose value does not live in device registers, e.g. one carried in
// frame chunk data or in event data; nothing is sent to the device.
struct Unavailable {
    std::string node;
    std::string reason;
};
}  // namespace genicam_error

class GenicamError {
public:
    using Variant =
        std::variant<genicam_error::FeatureNotFound, genicam_error::UnsupportedAccess,
                     genicam_error::AccessModeViolation, genicam_error::DanglingReference,
                     genicam_error::CircularReference, genicam_error::FormulaError,
                     genicam_error::NoEnumEntry, genicam_error::OutOfRange,
                     genicam_error::DescriptionError, genicam_error::SnapTimeout,
                     genicam_error::Transport, genicam_error::FloatOutOfRange,
                     genicam_error::Unavailable>;

    enum class Kind : std::uint8_t {
        FeatureNotFound,
        UnsupportedAccess,
        AccessModeViolation,
        DanglingReference,
        CircularReference,
        FormulaError,
        NoEnumEntry,
        OutOfRange,
        DescriptionError,
        SnapTimeout,
        Transport,
        FloatOutOfRange,
        Unavailable,
    };

    // Any alternative converts implicitly, so `return genicam_error::SnapTimeout{};` works.
    template <class T>
        requires std::is_constructible_v<Variant, T&&> && (!std::is_same_v<std::decay_t<T>, GenicamError>)
    GenicamError(T&& alternative) : v_(std::forward<T>(alternative)) {}  // NOLINT: implicit by design
    // A transport failure inside a feature operation is wrapped unchanged.
    GenicamError(CameraError e) : v_(genicam_error::Transport{std::move(e)}) {}  // NOLINT

    static GenicamError feature_not_found(std::string name) {
        return genicam_error::FeatureNotFound{std::move(name)};
    }
    static GenicamError unsupported_access(std::string node) {
        return genicam_error::UnsupportedAccess{std::move(node)};
    }
    static GenicamError access_mode_violation(std::string node) {
        return genicam_error::AccessModeViolation{std::move(node)};
    }
    static GenicamError dangling_reference(std::string name) {
        return genicam_error::DanglingReference{std::move(name)};
    }
    static GenicamError circular_reference(std::string node) {
        return genicam_error::CircularReference{std::move(node)};
    }
    static GenicamError formula_error(std::string node, std::string message) {
        return genicam_error::FormulaError{std::move(node), std::move(message)};
    }
    static GenicamError no_enum_entry(std::string enumeration, std::string entry) {
        return genicam_error::NoEnumEntry{std::move(enumeration), std::move(entry)};
    }
    static GenicamError out_of_range(std::int64_t value, std::int64_t min, std::int64_t max,
                                     std::string name, std::int64_t inc = 1) {
        return genicam_error::OutOfRange{value, min, max, std::move(name), inc};
    }
    // A text of `length` UTF-8 bytes for a string register of `max` bytes.
    static GenicamError text_too_long(std::int64_t length, std::int64_t max, std::string name) {
        genicam_error::OutOfRange e{length, 0, max, std::move(name)};
        e.text_length = true;
        return e;
    }
    static GenicamError float_out_of_range(double value, double min, double max, std::string name) {
        return genicam_error::FloatOutOfRange{value, min, max, std::move(name)};
    }
    static GenicamError unavailable(std::string node, std::string reason) {
        return genicam_error::Unavailable{std::move(node), std::move(reason)};
    }
    static GenicamError description_error(std::string message) {
        return genicam_error::DescriptionError{std::move(message)};
    }
    static GenicamError snap_timeout() { return genicam_error::SnapTimeout{}; }
    static GenicamError transport(CameraError e) { return genicam_error::Transport{std::move(e)}; }

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    template <class T>
    bool is() const { return std::holds_alternative<T>(v_); }
    template <class T>
    const T* get_if() const { return std::get_if<T>(&v_); }
    const Variant& variant() const { return v_; }

    // The wrapped transport error, or nullptr for every other variant.
    const CameraError* transport_error() const {
        auto* t = std::get_if<genicam_error::Transport>(&v_);
        return t ? &t->error : nullptr;
    }

    std::string to_string() const;
    // The variant's name, e.g. "FeatureNotFound"; a Transport error gives the
    // wrapped error's ("AckTimeout"), as it is raised as that error.
    const char* kind_name() const;
    // The feature (or enumeration) the error names, for the variants that
    // name one: FeatureNotFound, NoEnumEntry, OutOfRange and FloatOutOfRange.
    const std::string* feature_name() const;

private:
    Variant v_;
};

template <class T>
using GenicamResult = std::expected<T, GenicamError>;

}  // namespace oculane

template <>
struct fmt::formatter<oculane::GenicamError> : fmt::formatter<std::string> {
    auto format(const oculane::GenicamError& e, format_context& ctx) const {
        return fmt::formatter<std::string>::format(e.to_string(), ctx);
    }
};
