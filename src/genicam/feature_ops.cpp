#include "genicam/feature_ops.hpp"

#include <fmt/format.h>

#include "util/log.hpp"

namespace oculane {

namespace {

// Write calls are traced on entry, before any check, so that a failing call
// (an unknown feature, a lost link) is just as visible as a working one.
template <class V>
void trace_write(const char* message, std::string_view name, const char* value_field, const V& value) {
    if (!log::enabled(log::Level::Trace)) return;
    log::emit(log::kGenicam, log::Level::Trace, message,
              {{"feature", std::string(name)}, {value_field, fmt::format("{}", value)}});
}

template <class T>
GenicamResult<T> fail(GenicamError e) {
    return std::unexpected(std::move(e));
}

}  // namespace

template <class Op>
auto FeatureAccess::on_node(std::string_view name, Op&& op) -> std::invoke_result_t<Op, NodeEval&, NodeId> {
    auto id = find(name);
    if (!id) return std::unexpected(std::move(id.error()));
    NodeEval e = eval();
    return op(e, *id);
}

GenicamResult<void> FeatureAccess::check_ready() const {
    if (!s_.connected) return fail<void>(CameraError::not_connected());
    if (!s_.worker_running)
        return fail<void>(s_.control_lost ? CameraError::control_lost() : CameraError::not_connected());
    if (s_.map == nullptr || s_.port == nullptr)
        return fail<void>(GenicamError::description_error("feature model not loaded"));
    return {};
}

GenicamResult<NodeId> FeatureAccess::find(std::string_view name) const {
    if (auto r = check_ready(); !r) return fail<NodeId>(std::move(r.error()));
    return s_.map->lookup(name);
}

GenicamResult<std::int64_t> FeatureAccess::get_integer(std::string_view name) {
    return on_node(name, [&](NodeEval& e, NodeId id) { return e.int_value(id); });
}

GenicamResult<void> FeatureAccess::set_integer(std::string_view name, std::int64_t value) {
    trace_write("set integer", name, "value", value);
    return on_node(name, [&](NodeEval& e, NodeId id) -> GenicamResult<void> {
        if (auto r = e.check_int_write(id, value); !r) return r;
        return e.set_int_value(id, value);
    });
}

GenicamResult<double> FeatureAccess::get_float(std::string_view name) {
    return on_node(name, [&](NodeEval& e, NodeId id) { return e.float_value(id); });
}

GenicamResult<void> FeatureAccess::set_float(std::string_view name, double value) {
    trace_write("set float", name, "value", value);
    return on_node(name, [&](NodeEval& e, NodeId id) -> GenicamResult<void> {
        if (auto r = e.check_float_write(id, value); !r) return r;
        return e.set_float_value(id, value);
    });
}

GenicamResult<bool> FeatureAccess::get_boolean(std::string_view name) {
    return on_node(name, [&](NodeEval& e, NodeId id) { return e.bool_value(id); });
}

GenicamResult<void> FeatureAccess::set_boolean(std::string_view name, bool value) {
    trace_write("set boolean", name, "value", value);
    return on_node(name, [&](NodeEval& e, NodeId id) { return e.set_bool_value(id, value); });
}

GenicamResult<std::string> FeatureAccess::get_string(std::string_view name) {
    return on_node(name, [&](NodeEval& e, NodeId id) { return e.string_value(id); });
}

GenicamResult<void> FeatureAccess::set_string(std::string_view name, std::string_view value) {
    trace_write("set string", name, "value", value);
    return on_node(name, [&](NodeEval& e, NodeId id) -> GenicamResult<void> {
        if (auto r = e.check_string_write(id, value); !r) return r;
        return e.set_string_value(id, value);
    });
}

GenicamResult<void> FeatureAccess::check_integer(std::string_view name, std::int64_t value) {
    return on_node(name, [&](NodeEval& e, NodeId id) { return e.check_int_write(id, value); });
}

GenicamResult<void> FeatureAccess::check_float(std::string_view name, double value) {
    return on_node(name, [&](NodeEval& e, NodeId id) { return e.check_float_write(id, value); });
}

GenicamResult<void> FeatureAccess::check_string(std::string_view name, std::string_view value) {
    return on_node(name, [&](NodeEval& e, NodeId id) { return e.check_string_write(id, value); });
}

GenicamResult<void> FeatureAccess::set_enum(std::string_view name, std::string_view entry) {
    trace_write("set enum", name, "entry", entry);
    return on_node(name, [&](NodeEval& e, NodeId id) { return e.set_enum_entry(id, entry); });
}

GenicamResult<void> FeatureAccess::execute(std::string_view name) {
    if (log::enabled(log::Level::Trace))
        log::emit(log::kGenicam, log::Level::Trace, "execute command", {{"feature", std::string(name)}});
    return on_node(name, [&](NodeEval& e, NodeId id) { return e.execute(id); });
}

GenicamResult<std::vector<EnumEntryValue>> FeatureAccess::enum_entries(std::string_view name) {
    return on_node(name, [&](NodeEval& e, NodeId id) { return e.enum_entries(id); });
}

GenicamResult<std::pair<std::int64_t, std::int64_t>> FeatureAccess::integer_bounds(std::string_view name) {
    return on_node(name, [&](NodeEval& e, NodeId id) { return e.int_bounds(id); });
}

GenicamResult<std::int64_t> FeatureAccess::integer_increment(std::string_view name) {
    return on_node(name, [&](NodeEval& e, NodeId id) { return e.int_increment(id); });
}

GenicamResult<std::pair<double, double>> FeatureAccess::float_bounds(std::string_view name) {
    return on_node(name, [&](NodeEval& e, NodeId id) { return e.float_bounds(id); });
}

GenicamResult<AccessMode> FeatureAccess::access_mode(std::string_view name) {
    auto id = find(name);
    if (!id) return fail<AccessMode>(std::move(id.error()));
    return oculane::access_mode(*s_.map, *id);
}

GenicamResult<void> FeatureAccess::invalidate_caches() {
    if (auto r = check_ready(); !r) return r;
    s_.map->clear_register_caches();
    return {};
}

GenicamResult<void> FeatureAccess::fill_payload_size(std::optional<std::uint64_t>& payload_size) {
    if (payload_size) return {};
    auto size = get_integer("PayloadSize");
    if (!size) return fail<void>(std::move(size.error()));
    if (*size < 0) return fail<void>(GenicamError::description_error("negative PayloadSize"));
    payload_size = static_cast<std::uint64_t>(*size);
    return {};
}

bool FeatureAccess::has_feature(std::string_view name) const {
    return s_.connected && s_.map != nullptr && s_.map->find(name).has_value();
}

GenicamResult<std::vector<std::string>> FeatureAccess::feature_names() const {
    if (!s_.connected || s_.map == nullptr)
        return fail<std::vector<std::string>>(GenicamError::description_error("feature model not loaded"));
    std::vector<std::string> names;
    names.reserve(s_.map->size());
    for (const Node& n : s_.map->nodes()) names.push_back(n.name);
    return names;
}

GenicamResult<FeatureInfo> FeatureAccess::feature_info(std::string_view name) {
    return on_node(name, [&](NodeEval& e, NodeId id) { return describe_feature(e, *s_.map, id); });
}

GenicamResult<FeatureKind> FeatureAccess::feature_kind(std::string_view name) const {
    auto id = find(name);
    if (!id) return std::unexpected(std::move(id.error()));
    const NodeMeta& m = s_.map->node(*id).meta;
    return FeatureKind{std::string(value_kind(m.element)), std::string(m.unit)};
}

GenicamResult<std::vector<CategoryInfo>> FeatureAccess::categories() const {
    if (!s_.connected || s_.map == nullptr)
        return fail<std::vector<CategoryInfo>>(GenicamError::description_error("feature model not loaded"));
    return category_tree(*s_.map);
}

}  // namespace oculane
