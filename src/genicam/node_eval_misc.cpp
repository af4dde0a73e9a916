// Booleans, enumerations, strings, commands, bounds and access modes: thin
// rules over the integer and float core.
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "genicam/node_eval.hpp"
#include "util/utf8.hpp"
#include "util/int128.hpp"

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
        // A text that does not fit is refused rather than cut, which would
        // store something the caller never asked for; a shorter one is padded
        // with zero bytes.
        if (std::cmp_greater(text.size(), *length))
            return std::unexpected(GenicamError::text_too_long(static_cast<std::int64_t>(text.size()), *length, node.name));
        regcodec::Bytes buffer(static_cast<std::size_t>(*length), 0);
        std::copy_n(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), buffer.begin());
        return register_write(id, buffer);
    }
    return std::unexpected(GenicamError::unsupported_access(node.name));
}

GenicamResult<void> NodeEval::check_string_write(NodeId id, std::string_view text) {
    // Follows String nodes to what stores the text; the errors name the
    // node the check started from, the feature the caller named.
    const std::string& feature = name(id);
    std::vector<NodeId> seen;
    for (;;) {
        if (std::find(seen.begin(), seen.end(), id) != seen.end())
            return std::unexpected(GenicamError::circular_reference(name(id)));
        seen.push_back(id);
        Node& node = map_.node(id);
        if (auto* s = node.get_if<node_data::StringValue>()) {
            const Link* link = s->value.link_if();
            if (!link || !link->is_resolved()) return {};
            id = link->id();
            continue;
        }
        if (auto* e = node.get_if<node_data::Enumeration>()) {
            for (const auto& entry : e->entries)
                if (entry.name == text) return {};
            return std::unexpected(GenicamError::no_enum_entry(feature, std::string(text)));
        }
        if (auto* reg = node.get_if<node_data::Register>();
            reg && std::holds_alternative<register_kind::Str>(reg->kind)) {
            auto length = checked_length(id, reg->common);
            if (!length) return std::unexpected(std::move(length.error()));
            if (std::cmp_greater(text.size(), *length))
                return std::unexpected(
                    GenicamError::text_too_long(static_cast<std::int64_t>(text.size()), *length, feature));
        }
        return {};
    }
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

GenicamResult<NodeEval::Limits> NodeEval::limits_of_ref(const ValueRef& ref) {
    const Link* link = ref.link_if();
    if (!link || !link->is_resolved()) return Limits{};
    auto entered = enter_link(*link);
    if (!entered) return std::unexpected(std::move(entered.error()));
    return limits(entered->first);
}

GenicamResult<NodeEval::Limits> NodeEval::limits(NodeId id) {
    Node& node = map_.node(id);
    // Own bounds first; what is missing comes from the node the value
    // stands for, so an Integer over an Integer with pMin/pMax has them too.
    auto own_and_inherited = [&](const ValueRef& min, const ValueRef& max, ValueRef& value,
                                 std::optional<IndexedValues>& indexed, bool floating) -> GenicamResult<Limits> {
        Limits out;
        auto number = [&](const ValueRef& r) -> GenicamResult<Number> {
            if (floating) {
                auto v = ref_float(r);
                if (!v) return std::unexpected(std::move(v.error()));
                return Number::from_float(*v);
            }
            auto v = ref_int(r);
            if (!v) return std::unexpected(std::move(v.error()));
            return Number::from_int(*v);
        };
        if (!min.is_absent()) {
            auto v = number(min);
            if (!v) return std::unexpected(std::move(v.error()));
            out.min = *v;
        }
        if (!max.is_absent()) {
            auto v = number(max);
            if (!v) return std::unexpected(std::move(v.error()));
            out.max = *v;
        }
        if (out.min && out.max) return out;
        auto in_force = value_in_force(value, indexed);
        if (!in_force) return std::unexpected(std::move(in_force.error()));
        auto inherited = limits_of_ref(**in_force);
        if (!inherited) return std::unexpected(std::move(inherited.error()));
        if (!out.min) out.min = inherited->min;
        if (!out.max) out.max = inherited->max;
        return out;
    };
    if (auto* i = node.get_if<node_data::Integer>()) {
        // Copies: evaluating them may not move the node, but the lambda
        // takes the value references by reference anyway.
        const ValueRef min = i->min, max = i->max;
        return own_and_inherited(min, max, i->value, i->indexed, false);
    }
    if (auto* f = node.get_if<node_data::Float>()) {
        const ValueRef min = f->min, max = f->max;
        return own_and_inherited(min, max, f->value, f->indexed, true);
    }
    if (auto* reg = node.get_if<node_data::Register>()) {
        if (std::holds_alternative<register_kind::Int>(reg->kind)) return natural_limits(id);
        return Limits{};
    }
    if (auto* conv = node.get_if<node_data::Converter>()) {
        auto inner = limits_of_ref(conv->value);
        if (!inner) return std::unexpected(std::move(inner.error()));
        if (!inner->min || !inner->max) return Limits{};
        return mapped_limits(id, *inner->min, *inner->max);
    }
    return Limits{};
}

GenicamResult<NodeEval::Limits> NodeEval::natural_limits(NodeId id) {
    const auto& reg = *map_.node(id).get_if<node_data::Register>();
    const auto kind = std::get<register_kind::Int>(reg.kind);
    auto length = checked_length(id, reg.common);
    if (!length) return std::unexpected(std::move(length.error()));
    // A length or bit range that cannot be read gives no bounds here; the
    // read itself reports it.
    if (*length < 1 || *length > 8) return Limits{};
    auto bits = regcodec::normalise_bits(static_cast<std::size_t>(*length), kind.endianness == Endianness::Big,
                                         kind.lsb, kind.msb);
    if (!bits) return Limits{};
    const auto [lo, hi] = regcodec::field_range(*bits, kind.sign == Sign::Signed);
    return Limits{Number::from_int(lo), Number::from_int(hi)};
}

GenicamResult<NodeEval::Limits> NodeEval::mapped_limits(NodeId id, Number lo, Number hi) {
    // The ends of the range map to the converter's bounds only when the read
    // formula is monotonic over it: a bit mask or a case formula such as
    // "(TO = 1) ? 1 : 0" maps the ends to values that say nothing about the
    // rest. So the formula is sampled at evenly spaced points; one that rises
    // and falls, stays flat over a range, fails or gives NaN leaves the
    // converter without bounds. A decreasing formula (a rate from a period)
    // swaps the ends, and an infinite end is no bound.
    constexpr int kSteps = 8;
    const bool integers = lo.is_int() && hi.is_int();
    auto point = [&](int k) {
        if (k == 0) return lo;
        if (k == kSteps) return hi;
        if (integers) {
            const int128 span = static_cast<int128>(hi.int_value()) - lo.int_value();
            return Number::from_int(static_cast<std::int64_t>(lo.int_value() + span * k / kSteps));
        }
        return Number::from_float(lo.to_double() + (hi.to_double() - lo.to_double()) * k / double{kSteps});
    };
    Number mapped[kSteps + 1];
    for (int k = 0; k <= kSteps; ++k) {
        const ExtraVariable to{"TO", point(k)};
        auto& c = *map_.node(id).get_if<node_data::Converter>();
        auto n = eval_formula(id, c.from, c.variables, &to);
        if (!n) {
            if (n.error().is<genicam_error::FormulaError>()) return Limits{};
            return std::unexpected(std::move(n.error()));
        }
        if (std::isnan(n->to_double())) return Limits{};
        mapped[k] = *n;
    }
    bool rising = true, falling = true;
    for (int k = 0; k < kSteps; ++k) {
        rising = rising && mapped[k + 1].to_double() >= mapped[k].to_double();
        falling = falling && mapped[k + 1].to_double() <= mapped[k].to_double();
    }
    const bool wide = integers ? lo.int_value() != hi.int_value() : lo.to_double() != hi.to_double();
    if (!(rising || falling) || (wide && mapped[0].to_double() == mapped[kSteps].to_double())) return Limits{};
    Number ends[2] = {mapped[0], mapped[kSteps]};
    if (ends[1].to_double() < ends[0].to_double()) std::swap(ends[0], ends[1]);
    Limits out;
    if (!std::isinf(ends[0].to_double())) out.min = ends[0];
    if (!std::isinf(ends[1].to_double())) out.max = ends[1];
    return out;
}

GenicamResult<std::pair<std::int64_t, std::int64_t>> NodeEval::int_bounds(NodeId id) {
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    Node& node = map_.node(id);
    if (node.is<node_data::Integer>()) {
        // Entered, so that bounds that refer back to the node stop.
        auto scope = map_.guard(id);
        if (!scope) return std::unexpected(std::move(scope.error()));
        auto l = limits(id);
        if (!l) return std::unexpected(std::move(l.error()));
        return std::pair{l->min ? l->min->to_int() : kMin, l->max ? l->max->to_int() : kMax};
    }
    if (auto* reg = node.get_if<node_data::Register>();
        reg && std::holds_alternative<register_kind::Int>(reg->kind)) {
        auto l = natural_limits(id);
        if (!l) return std::unexpected(std::move(l.error()));
        return std::pair{l->min ? l->min->to_int() : kMin, l->max ? l->max->to_int() : kMax};
    }
    return std::unexpected(GenicamError::unsupported_access(node.name));
}

GenicamResult<std::int64_t> NodeEval::int_increment(NodeId id) {
    auto* i = map_.node(id).get_if<node_data::Integer>();
    if (!i) return std::unexpected(GenicamError::unsupported_access(name(id)));
    if (!i->inc.is_absent()) return ref_int(i->inc);
    // Without its own, the increment of the Integer its value stands for.
    auto in_force = value_in_force(i->value, i->indexed);
    if (!in_force) return std::unexpected(std::move(in_force.error()));
    const Link* link = (*in_force)->link_if();
    if (!link || !link->is_resolved() || !map_.node(link->id()).is<node_data::Integer>()) return 1;
    auto entered = enter_link(*link);
    if (!entered) return std::unexpected(std::move(entered.error()));
    return int_increment(entered->first);
}

GenicamResult<std::pair<double, double>> NodeEval::float_bounds(NodeId id) {
    const Node& node = map_.node(id);
    if (!node.is<node_data::Float>() && !node.is<node_data::Converter>())
        return std::unexpected(GenicamError::unsupported_access(name(id)));
    auto scope = map_.guard(id);
    if (!scope) return std::unexpected(std::move(scope.error()));
    auto l = limits(id);
    if (!l) return std::unexpected(std::move(l.error()));
    return std::pair{l->min ? l->min->to_double() : std::numeric_limits<double>::lowest(),
                     l->max ? l->max->to_double() : std::numeric_limits<double>::max()};
}

GenicamResult<void> NodeEval::check_int_write(NodeId id, std::int64_t value) {
    const Node& node = map_.node(id);
    if (node.is<node_data::Float>() || node.is<node_data::Converter>())
        return check_float_write(id, static_cast<double>(value));
    if (!node.is<node_data::Integer>()) return {};
    auto bounds = int_bounds(id);
    if (!bounds) return std::unexpected(std::move(bounds.error()));
    auto inc = int_increment(id);
    if (!inc) return std::unexpected(std::move(inc.error()));
    const auto [lo, hi] = *bounds;
    // An increment below 1 from the device cannot be honoured; only the
    // bounds are checked then.
    const std::int64_t step = *inc > 1 ? *inc : 1;
    bool fits = value >= lo && value <= hi;
    // value >= lo here, so the distance fits an unsigned 64-bit number.
    if (fits && step > 1)
        fits = (static_cast<std::uint64_t>(value) - static_cast<std::uint64_t>(lo)) %
                   static_cast<std::uint64_t>(step) == 0;
    if (!fits) return std::unexpected(GenicamError::out_of_range(value, lo, hi, name(id), step));
    return {};
}

GenicamResult<void> NodeEval::check_float_write(NodeId id, double value) {
    const Node& node = map_.node(id);
    if (node.is<node_data::Integer>()) return check_int_write(id, regcodec::saturating_round(value));
    if (!node.is<node_data::Float>() && !node.is<node_data::Converter>()) return {};
    auto bounds = float_bounds(id);
    if (!bounds) return std::unexpected(std::move(bounds.error()));
    // Written so that NaN is out of every range.
    if (!(value >= bounds->first && value <= bounds->second))
        return std::unexpected(GenicamError::float_out_of_range(value, bounds->first, bounds->second, name(id)));
    return {};
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
        if (auto* integer = node.get_if<node_data::Integer>()) value = advisory_value(integer->value, integer->indexed);
        else if (auto* flt = node.get_if<node_data::Float>()) value = advisory_value(flt->value, flt->indexed);
        else if (auto* boolean = node.get_if<node_data::Boolean>()) value = &boolean->value;
        else if (auto* enumeration = node.get_if<node_data::Enumeration>()) value = &enumeration->value;
        else if (auto* str = node.get_if<node_data::StringValue>()) {
            // A text of the description is a label (a family name, say), not
            // a setting of the device; a reference leads to what stores it.
            if (!str->value.link_if()) return AccessMode::RO;
            value = &str->value;
        }
        else if (auto* conv = node.get_if<node_data::Converter>()) {
            // Reads and writes both go through the converted value, so it
            // decides; a converter over a constant cannot be written.
            if (!conv->value.link_if()) return AccessMode::RO;
            value = &conv->value;
        }
        else if (node.is<node_data::Command>()) return AccessMode::WO;
        else if (auto* reg = node.get_if<node_data::Register>()) return reg->common.access;
        else return AccessMode::RO;  // SwissKnife (no write formula), Category, Port

        switch (value->tag()) {
            case ValueRef::Tag::Int:
            case ValueRef::Tag::Float:
                // A constant of the description: writes replace it in the map.
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
