// Floats, float registers, converters and formula evaluation.
#include <algorithm>
#include <array>
#include <cstring>

#include <fmt/format.h>

#include "genicam/node_eval.hpp"

namespace oculane {

namespace {

const std::string kValueReference = "<value reference>";

// Nodes that have an integer value but no float value of their own. A Float
// feature whose value lives in an integer register is common in real
// descriptions; it reads and writes that register as an integer rather than
// failing, in line with how referenced nodes are fetched elsewhere.
bool integer_only(const Node& node) {
    if (node.is<node_data::Boolean>() || node.is<node_data::Enumeration>()) return true;
    auto* reg = node.get_if<node_data::Register>();
    return reg && std::holds_alternative<register_kind::Int>(reg->kind);
}

}  // namespace

bool is_float_valued(const Node& node) {
    if (node.is<node_data::Float>()) return true;
    if (auto* sk = node.get_if<node_data::SwissKnife>()) return sk->floating;
    if (auto* conv = node.get_if<node_data::Converter>()) return conv->floating;
    auto* reg = node.get_if<node_data::Register>();
    return reg && std::holds_alternative<register_kind::Float>(reg->kind);
}

GenicamResult<double> NodeEval::ref_float(const ValueRef& ref) {
    switch (ref.tag()) {
        case ValueRef::Tag::Int:
            return static_cast<double>(*ref.int_if());
        case ValueRef::Tag::Float:
            return *ref.float_if();
        case ValueRef::Tag::Ref: {
            const Link& link = *ref.link_if();
            auto entered = enter_link(link);
            if (!entered) return std::unexpected(std::move(entered.error()));
            const NodeId target = entered->first;
            if (integer_only(map_.node(target))) {
                auto v = int_value_inner(target);
                if (!v) return std::unexpected(std::move(v.error()));
                return static_cast<double>(*v);
            }
            return float_value_inner(target);
        }
        case ValueRef::Tag::Absent:
        case ValueRef::Tag::Text:
            break;
    }
    return std::unexpected(GenicamError::unsupported_access(kValueReference));
}

GenicamResult<double> NodeEval::float_value_inner(NodeId id) {
    Node& node = map_.node(id);
    if (auto* p = node.get_if<node_data::Integer>()) {
        auto ref = value_in_force(p->value, p->indexed);
        if (!ref) return std::unexpected(std::move(ref.error()));
        auto v = ref_int(**ref);
        if (!v) return std::unexpected(std::move(v.error()));
        return static_cast<double>(*v);
    }
    if (auto* p = node.get_if<node_data::Float>()) {
        auto ref = value_in_force(p->value, p->indexed);
        if (!ref) return std::unexpected(std::move(ref.error()));
        return ref_float(**ref);
    }
    if (auto* reg = node.get_if<node_data::Register>()) {
        auto* kind = std::get_if<register_kind::Float>(&reg->kind);
        if (!kind) return std::unexpected(GenicamError::unsupported_access(node.name));
        const bool big = kind->endianness == Endianness::Big;
        auto bytes = register_read(id);
        if (!bytes) return std::unexpected(std::move(bytes.error()));
        auto v = regcodec::decode_float(*bytes, big);
        if (!v) return std::unexpected(GenicamError::formula_error(name(id), std::move(v.error())));
        return *v;
    }
    if (node.is<node_data::Converter>() || node.is<node_data::SwissKnife>()) {
        auto n = eval_formula_node(id);
        if (!n) return std::unexpected(std::move(n.error()));
        return n->to_double();
    }
    return std::unexpected(GenicamError::unsupported_access(node.name));
}

GenicamResult<void> NodeEval::set_float_value_inner(NodeId id, double value) {
    Node& node = map_.node(id);
    GenicamResult<void> result;
    if (node.is<node_data::Integer>()) {
        return set_int_value_inner(id, regcodec::saturating_round(value));
    } else if (auto* p = node.get_if<node_data::Float>()) {
        auto in_force = value_in_force(p->value, p->indexed);
        if (!in_force) return std::unexpected(std::move(in_force.error()));
        ValueRef& ref = **in_force;
        switch (ref.tag()) {
            case ValueRef::Tag::Float:
                ref = ValueRef::floating(value);
                break;
            case ValueRef::Tag::Ref: {
                const Link& link = *ref.link_if();
                auto entered = enter_link(link);
                if (!entered) return std::unexpected(std::move(entered.error()));
                const NodeId target = entered->first;
                result = integer_only(map_.node(target))
                             ? set_int_value_inner(target, regcodec::saturating_round(value))
                             : set_float_value_inner(target, value);
                break;
            }
            default:
                return std::unexpected(GenicamError::access_mode_violation(node.name));
        }
    } else if (auto* reg = node.get_if<node_data::Register>()) {
        auto* kind = std::get_if<register_kind::Float>(&reg->kind);
        if (!kind) return std::unexpected(GenicamError::unsupported_access(node.name));
        const bool big = kind->endianness == Endianness::Big;
        auto length = checked_length(id, reg->common);
        if (!length) return std::unexpected(std::move(length.error()));
        auto bytes = regcodec::encode_float(value, *length, big);
        if (!bytes) return std::unexpected(GenicamError::formula_error(name(id), std::move(bytes.error())));
        return register_write(id, *bytes);
    } else if (auto* conv = node.get_if<node_data::Converter>()) {
        const ExtraVariable from{"FROM", Number::from_float(value)};
        // FormulaTo maps the feature value (FROM) to what the register holds.
        auto n = eval_formula(id, conv->to, conv->variables, &from);
        if (!n) return std::unexpected(std::move(n.error()));
        result = set_ref_value(id, conv->value, *n);
    } else {
        return std::unexpected(GenicamError::unsupported_access(node.name));
    }
    if (result) invalidate_dependents(id);
    return result;
}

GenicamResult<void> NodeEval::set_ref_value(NodeId owner, const ValueRef& ref, Number value) {
    const Link* link = ref.link_if();
    if (!link) return std::unexpected(GenicamError::access_mode_violation(name(owner)));
    auto entered = enter_link(*link);
    if (!entered) return std::unexpected(std::move(entered.error()));
    const NodeId target = entered->first;
    if (is_float_valued(map_.node(target))) return set_float_value_inner(target, value.to_double());
    return set_int_value_inner(target, value.to_int());
}

GenicamResult<Number> NodeEval::node_number(NodeId id) {
    auto scope = map_.guard(id);
    if (!scope) return std::unexpected(std::move(scope.error()));
    if (is_float_valued(map_.node(id))) {
        auto v = float_value_inner(id);
        if (!v) return std::unexpected(std::move(v.error()));
        return Number::from_float(*v);
    }
    auto v = int_value_inner(id);
    if (!v) return std::unexpected(std::move(v.error()));
    return Number::from_int(*v);
}

GenicamResult<Number> NodeEval::eval_formula_node(NodeId id) {
    Node& node = map_.node(id);
    if (node.is<node_data::Converter>()) return eval_converter(id);
    auto& sk = *node.get_if<node_data::SwissKnife>();
    return eval_formula(id, sk.formula, sk.variables, nullptr);
}

GenicamResult<Number> NodeEval::eval_converter(NodeId id) {
    auto& conv = *map_.node(id).get_if<node_data::Converter>();
    Number to;
    if (const Link* link = conv.value.link_if()) {
        if (!link->is_resolved()) return std::unexpected(GenicamError::dangling_reference(link->name()));
        auto n = node_number(link->id());
        if (!n) return std::unexpected(std::move(n.error()));
        to = *n;
    } else {
        auto v = ref_int(conv.value);
        if (!v) return std::unexpected(std::move(v.error()));
        to = Number::from_int(*v);
    }
    // Reads map the register value (TO) back through FormulaFrom. Device
    // descriptions name the formulas by direction of the register: FormulaTo
    // goes to it (and uses FROM), FormulaFrom comes from it (and uses TO).
    const ExtraVariable extra{"TO", to};
    return eval_formula(id, conv.from, conv.variables, &extra);
}

namespace {

bool same_extra(const char* a, const char* b) {
    if (a == b) return true;
    return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

}  // namespace

void NodeEval::bind_formula(FormulaSlot& slot, const std::vector<FormulaVariable>& variables,
                            const char* extra) const {
    const auto& names = slot.compiled->variables();
    slot.bindings.assign(names.size(), FormulaBinding{});
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& var = names[i];
        FormulaBinding& b = slot.bindings[i];
        if (extra != nullptr && var == extra) {
            b.source = FormulaBinding::Source::Extra;
            continue;
        }
        auto listed = std::find_if(variables.begin(), variables.end(),
                                   [&](const FormulaVariable& fv) { return fv.name == var; });
        if (listed != variables.end()) {
            const auto position = static_cast<std::uint32_t>(listed - variables.begin());
            if (listed->is_expression()) {
                b = {FormulaBinding::Source::Expression, position};
            } else if (listed->is_constant()) {
                const bool number = listed->constant.int_if() || listed->constant.float_if();
                b = {number ? FormulaBinding::Source::Constant : FormulaBinding::Source::BadConstant, position};
            } else if (const NodeId* target = listed->target.id_if()) {
                b = {FormulaBinding::Source::Node, *target};
            } else {
                b = {FormulaBinding::Source::Dangling, position};
            }
            continue;
        }
        if (auto target = map_.find(var)) b = {FormulaBinding::Source::Node, *target};
    }
    slot.bound_extra = extra;
}

GenicamResult<Number> NodeEval::eval_formula(NodeId id, FormulaSlot& slot,
                                             std::vector<FormulaVariable>& variables,
                                             const ExtraVariable* extra) {
    const char* extra_name = extra ? extra->name : nullptr;
    if (!slot.compiled) {
        auto parsed = Expr::parse(slot.source);
        if (!parsed) return std::unexpected(GenicamError::formula_error(name(id), std::move(parsed.error())));
        slot.compiled = std::make_shared<const Expr>(std::move(*parsed));
        bind_formula(slot, variables, extra_name);
    } else if (!same_extra(slot.bound_extra, extra_name)) {
        // Each slot is always evaluated with the same extra variable; this
        // only keeps the bindings right if a caller ever did otherwise.
        bind_formula(slot, variables, extra_name);
    }
    // The slot is only ever filled once, above, and a nested evaluation can
    // not reach this slot again (the node is under the evaluation guard), so
    // a plain reference is safe and spares two atomic count updates.
    const Expr& expr = *slot.compiled;
    const std::size_t count = slot.bindings.size();

    // Most formulas have a handful of variables; those stay off the heap.
    std::array<Number, 8> small;
    std::vector<Number> large;
    std::span<Number> values = small;
    if (count > small.size()) {
        large.resize(count);
        values = large;
    }
    for (std::size_t i = 0; i < count; ++i) {
        // Copied: evaluating a variable's node never rebinds this slot, but
        // a copy costs nothing and keeps that reasoning local.
        const FormulaBinding b = slot.bindings[i];
        switch (b.source) {
            case FormulaBinding::Source::Extra:
                values[i] = extra->value;
                break;
            case FormulaBinding::Source::Node: {
                auto n = node_number(b.index);
                if (!n) return std::unexpected(std::move(n.error()));
                values[i] = *n;
                break;
            }
            case FormulaBinding::Source::Constant: {
                const ValueRef& c = variables[b.index].constant;
                values[i] = c.int_if() ? Number::from_int(*c.int_if()) : Number::from_float(*c.float_if());
                break;
            }
            case FormulaBinding::Source::BadConstant: {
                const FormulaVariable& fv = variables[b.index];
                const std::string* text = fv.constant.text_if();
                return std::unexpected(GenicamError::formula_error(
                    name(id), fmt::format("constant '{}' is not a number: '{}'", fv.name, text ? *text : "")));
            }
            case FormulaBinding::Source::Expression: {
                FormulaVariable& fv = variables[b.index];
                FormulaSlot& sub = *fv.expression;
                if (sub.evaluating)
                    return std::unexpected(GenicamError::formula_error(
                        name(id), fmt::format("expression '{}' refers to itself", fv.name)));
                // Distinct expressions chained one into the next would
                // otherwise nest as deep as the description makes them.
                if (expression_depth_ >= Genicam::kMaxEvalDepth)
                    return std::unexpected(GenicamError::formula_error(
                        name(id), fmt::format("expressions nested deeper than {}", Genicam::kMaxEvalDepth)));
                sub.evaluating = true;
                ++expression_depth_;
                auto n = eval_formula(id, sub, variables, extra);
                --expression_depth_;
                sub.evaluating = false;
                if (!n) return std::unexpected(std::move(n.error()));
                values[i] = *n;
                break;
            }
            case FormulaBinding::Source::Dangling:
                return std::unexpected(GenicamError::dangling_reference(variables[b.index].target.name()));
            case FormulaBinding::Source::Unbound:
                return std::unexpected(GenicamError::formula_error(
                    name(id), fmt::format("unbound variable '{}'", expr.variables()[i])));
        }
    }
    // SwissKnife and Converter compute in floating point; their Int forms
    // (and the inline address knives) keep integer arithmetic.
    const Node& owner = map_.node(id);
    const bool floating = is_float_valued(owner);
    auto result = expr.eval(values.first(count), floating ? Arithmetic::Floating : Arithmetic::Integer);
    if (!result) return std::unexpected(GenicamError::formula_error(name(id), std::move(result.error())));
    return *result;
}

GenicamResult<double> NodeEval::float_value(NodeId id) {
    auto scope = map_.guard(id);
    if (!scope) return std::unexpected(std::move(scope.error()));
    return float_value_inner(id);
}

GenicamResult<void> NodeEval::set_float_value(NodeId id, double value) {
    auto scope = map_.guard(id);
    if (!scope) return std::unexpected(std::move(scope.error()));
    return set_float_value_inner(id, value);
}

}  // namespace oculane
