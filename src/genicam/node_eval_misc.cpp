// Booleans, enumerations, strings, commands, bounds and access modes: thin
// rules over the integer and float core.
#include <algorithm>
#include <limits>

#include <fmt/format.h>

#include "genicam/node_eval.hpp"
#include "util/utf8.hpp"

namespace oculane {

GenicamResult<bool> NodeEval::bool_value(NodeId id) {
    if (auto* b = map_.node(id).get_if<node_data::Boolean>()) {
        const std::int64_t on = b->on_value;
        auto v = ref_int(b->value);
        if (!v) return std::unexpected(std::move(v.error()));
        return *v == on;
    }
    auto v = int_value(id);
    if (!v) return std::unexpected(std::move(v.error()));
    return *v != 0;
}

GenicamResult<void> NodeEval::set_bool_value(NodeId id, bool value) {
    std::int64_t raw = value ? 1 : 0;
    if (auto* b = map_.node(id).get_if<node_data::Boolean>()) raw = value ? b->on_value : b->off_value;
    return set_int_value(id, raw);
}

GenicamResult<std::vector<EnumEntryValue>> NodeEval::enum_entries(NodeId id) {
    auto* e = map_.node(id).get_if<node_data::Enumeration>();
    if (!e) return std::unexpected(GenicamError::unsupported_access(name(id)));
    std::vector<EnumEntryValue> out;
    out.reserve(e->entries.size());
    for (const auto& entry : e->entries) out.push_back({entry.name, entry.value});
    return out;
}

GenicamResult<void> NodeEval::set_enum_entry(NodeId id, std::string_view entry) {
    auto* e = map_.node(id).get_if<node_data::Enumeration>();
    if (!e) return std::unexpected(GenicamError::unsupported_access(name(id)));
    auto it = std::find_if(e->entries.begin(), e->entries.end(),
                           [&](const node_data::EnumEntry& x) { return x.name == entry; });
    if (it == e->entries.end())
        return std::unexpected(GenicamError::no_enum_entry(name(id), std::string(entry)));
    return set_int_value(id, it->value);
}

GenicamResult<std::string> NodeEval::string_value(NodeId id) {
    Node& node = map_.node(id);
    if (auto* s = node.get_if<node_data::StringValue>()) {
        if (auto* text = s->value.text_if()) return *text;
        if (auto* link = s->value.link_if()) {
            // Entered so that strings referring to each other in a loop stop
            // with CircularReference instead of recursing without end.
            auto entered = enter_link(*link);
            if (!entered) return std::unexpected(std::move(entered.error()));
            return string_value(entered->first);
        }
        return std::unexpected(GenicamError::unsupported_access(node.name));
    }
    if (node.is<node_data::Enumeration>()) {
        auto v = int_value(id);
        if (!v) return std::unexpected(std::move(v.error()));
        for (const auto& entry : map_.node(id).get_if<node_data::Enumeration>()->entries)
            if (entry.value == *v) return entry.name;
        return std::unexpected(GenicamError::no_enum_entry(name(id), fmt::format("value {}", *v)));
    }
    if (auto* reg = node.get_if<node_data::Register>()) {
        if (!std::holds_alternative<register_kind::Str>(reg->kind))
            return std::unexpected(GenicamError::unsupported_access(node.name));
        auto bytes = register_read(id);
        if (!bytes) return std::unexpected(std::move(bytes.error()));
        auto end = std::find(bytes->begin(), bytes->end(), std::uint8_t{0});
        return utf8_lossy(std::span<const std::uint8_t>(bytes->data(), end - bytes->begin()));
    }
    return std::unexpected(GenicamError::unsupported_access(node.name));
}

GenicamResult<void> NodeEval::set_string_value(NodeId id, std::string_view text) {
    Node& node = map_.node(id);
    if (auto* s = node.get_if<node_data::StringValue>()) {
        if (s->value.text_if()) {
            s->value = ValueRef::text(std::string(text));
            invalidate_dependents(id);
            return {};
        }
        if (auto* link = s->value.link_if()) {
            auto entered = enter_link(*link);
            if (!entered) return std::unexpected(std::move(entered.error()));
            auto r = set_string_value(entered->first, text);
            if (r) invalidate_dependents(id);
            return r;
        }
        return std::unexpected(GenicamError::access_mode_violation(node.name));
    }
    if (node.is<node_data::Enumeration>()) return set_enum_entry(id, text);
    if (auto* reg = node.get_if<node_data::Register>()) {
        if (!std::holds_alternative<register_kind::Str>(reg->kind))
            return std::unexpected(GenicamError::unsupported_access(node.name));
        auto length = checked_length(id, reg->common);
        if (!length) return std::unexpected(std::move(length.error()));
        // Cut to the register (even inside a multi-byte character) or padded
        // with zero bytes.
        regcodec::Bytes buffer(static_cast<std::size_t>(*length), 0);
        std::copy_n(reinterpret_cast<const std::uint8_t*>(text.data()),
                    std::min(buffer.size(), text.size()), buffer.begin());
        return register_write(id, buffer);
    }
    return std::unexpected(GenicamError::unsupported_access(node.name));
}

GenicamResult<void> NodeEval::execute(NodeId id) {
    auto* c = map_.node(id).get_if<node_data::Command>();
    if (!c) return std::unexpected(GenicamError::unsupported_access(name(id)));
    std::int64_t command_value = 1;
    if (!c->command_value.is_absent()) {
        auto v = ref_int(c->command_value);
        if (!v) return std::unexpected(std::move(v.error()));
        command_value = *v;
    }
    auto r = set_ref_int(id, c->value, command_value);
    if (r) invalidate_dependents(id);
    return r;
}

GenicamResult<std::pair<std::int64_t, std::int64_t>> NodeEval::int_bounds(NodeId id) {
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    Node& node = map_.node(id);
    if (auto* i = node.get_if<node_data::Integer>()) {
        std::int64_t lo = kMin, hi = kMax;
        if (!i->min.is_absent()) {
            auto v = ref_int(i->min);
            if (!v) return std::unexpected(std::move(v.error()));
            lo = *v;
        }
        if (!i->max.is_absent()) {
            auto v = ref_int(i->max);
            if (!v) return std::unexpected(std::move(v.error()));
            hi = *v;
        }
        return std::pair{lo, hi};
    }
    if (auto* reg = node.get_if<node_data::Register>();
        reg && std::holds_alternative<register_kind::Int>(reg->kind))
        return std::pair{kMin, kMax};
    return std::unexpected(GenicamError::unsupported_access(node.name));
}

GenicamResult<std::int64_t> NodeEval::int_increment(NodeId id) {
    auto* i = map_.node(id).get_if<node_data::Integer>();
    if (!i) return std::unexpected(GenicamError::unsupported_access(name(id)));
    if (i->inc.is_absent()) return 1;
    return ref_int(i->inc);
}

GenicamResult<std::pair<double, double>> NodeEval::float_bounds(NodeId id) {
    auto* f = map_.node(id).get_if<node_data::Float>();
    if (!f) return std::unexpected(GenicamError::unsupported_access(name(id)));
    double lo = std::numeric_limits<double>::lowest(), hi = std::numeric_limits<double>::max();
    if (!f->min.is_absent()) {
        auto v = ref_float(f->min);
        if (!v) return std::unexpected(std::move(v.error()));
        lo = *v;
    }
    if (!f->max.is_absent()) {
        auto v = ref_float(f->max);
        if (!v) return std::unexpected(std::move(v.error()));
        hi = *v;
    }
    return std::pair{lo, hi};
}

namespace {

// The access mode comes from the model alone, so a selector is not
// evaluated: the default entry stands for the node (it is what most
// selector values give), else the first entry, else the plain value.
const ValueRef* advisory_value(const ValueRef& value, const std::optional<IndexedValues>& indexed) {
    if (!indexed) return &value;
    if (!indexed->fallback.is_absent()) return &indexed->fallback;
    if (!indexed->entries.empty()) return &indexed->entries.front().second;
    return &value;
}

}  // namespace

GenicamResult<AccessMode> access_mode(const Genicam& map, NodeId id) {
    // Meeting a node a second time on the walk means the references loop.
    std::vector<NodeId> seen;
    for (;;) {
        if (std::find(seen.begin(), seen.end(), id) != seen.end())
            return std::unexpected(GenicamError::circular_reference(map.node(id).name));
        seen.push_back(id);
        const Node& node = map.node(id);
        const ValueRef* value = nullptr;
        if (auto* p = node.get_if<node_data::Integer>()) value = advisory_value(p->value, p->indexed);
        else if (auto* p = node.get_if<node_data::Float>()) value = advisory_value(p->value, p->indexed);
        else if (auto* p = node.get_if<node_data::Boolean>()) value = &p->value;
        else if (auto* p = node.get_if<node_data::Enumeration>()) value = &p->value;
        else if (node.is<node_data::Command>()) return AccessMode::WO;
        else if (auto* reg = node.get_if<node_data::Register>()) return reg->common.access;
        else return AccessMode::RO;

        switch (value->tag()) {
            case ValueRef::Tag::Int:
            case ValueRef::Tag::Float:
                return AccessMode::RW;
            case ValueRef::Tag::Ref:
                if (const NodeId* next = value->link_if()->id_if()) {
                    id = *next;
                    continue;
                }
                return AccessMode::RO;
            default:
                return AccessMode::RO;
        }
    }
}

}  // namespace oculane
