// The integer core of node evaluation: value references, integer reads and
// writes, register addresses, register access with its cache, invalidation.
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "genicam/node_eval.hpp"
#include "util/int128.hpp"

namespace oculane {

namespace {

const std::string kValueReference = "<value reference>";

bool holds_int_value(const Node& n) {
    return n.is<node_data::Integer>() || n.is<node_data::Boolean>() ||
           n.is<node_data::Enumeration>() || n.is<node_data::Command>();
}

// Value references of the kinds without a selector.
ValueRef* value_ref_of(Node& n) {
    if (auto* p = n.get_if<node_data::Boolean>()) return &p->value;
    if (auto* p = n.get_if<node_data::Enumeration>()) return &p->value;
    if (auto* p = n.get_if<node_data::Command>()) return &p->value;
    return nullptr;
}

// True when a register's address and length are constants of the
// description, so they cannot change between two reads.
bool fixed_location(const RegisterCommon& common) {
    if (common.index || common.length.link_if()) return false;
    for (const ValueRef& term : common.address)
        if (!term.int_if()) return false;
    return true;
}

}  // namespace

GenicamResult<std::pair<NodeId, EvalScope>> NodeEval::enter_link(const Link& link) {
    const NodeId* target = link.id_if();
    if (!target) return std::unexpected(GenicamError::dangling_reference(link.name()));
    auto scope = map_.guard(*target);
    if (!scope) return std::unexpected(std::move(scope.error()));
    return std::pair<NodeId, EvalScope>(*target, std::move(*scope));
}

GenicamResult<std::int64_t> NodeEval::ref_int(const ValueRef& ref) {
    switch (ref.tag()) {
        case ValueRef::Tag::Int:
            return *ref.int_if();
        case ValueRef::Tag::Float:
            return regcodec::saturating_round(*ref.float_if());
        case ValueRef::Tag::Ref: {
            const Link& link = *ref.link_if();
            auto entered = enter_link(link);
            if (!entered) return std::unexpected(std::move(entered.error()));
            return int_value_inner(entered->first);
        }
        case ValueRef::Tag::Absent:
        case ValueRef::Tag::Text:
            break;
    }
    return std::unexpected(GenicamError::unsupported_access(kValueReference));
}

GenicamResult<void> NodeEval::set_ref_int(NodeId owner, ValueRef& ref, std::int64_t value) {
    switch (ref.tag()) {
        case ValueRef::Tag::Int:
            if (!holds_int_value(map_.node(owner)))
                return std::unexpected(GenicamError::access_mode_violation(name(owner)));
            ref = ValueRef::integer(value);
            return {};
        case ValueRef::Tag::Ref: {
            const Link& link = *ref.link_if();
            auto entered = enter_link(link);
            if (!entered) return std::unexpected(std::move(entered.error()));
            return set_int_value_inner(entered->first, value);
        }
        case ValueRef::Tag::Absent:
        case ValueRef::Tag::Float:
        case ValueRef::Tag::Text:
            break;
    }
    return std::unexpected(GenicamError::access_mode_violation(name(owner)));
}

GenicamResult<ValueRef*> NodeEval::value_in_force(ValueRef& value, std::optional<IndexedValues>& indexed) {
    if (!indexed) return &value;
    auto selected = ref_int(indexed->selector);
    if (!selected) return std::unexpected(std::move(selected.error()));
    // Evaluating the selector changes no node's structure, so `indexed`
    // still holds the same entries.
    for (auto& [index, entry] : indexed->entries)
        if (index == *selected) return &entry;
    if (!indexed->fallback.is_absent()) return &indexed->fallback;
    return &value;
}

GenicamResult<std::int64_t> NodeEval::int_value_inner(NodeId id) {
    Node& node = map_.node(id);
    if (auto* p = node.get_if<node_data::Integer>()) {
        auto ref = value_in_force(p->value, p->indexed);
        if (!ref) return std::unexpected(std::move(ref.error()));
        return ref_int(**ref);
    }
    if (auto* p = node.get_if<node_data::Boolean>()) return ref_int(p->value);
    if (auto* p = node.get_if<node_data::Enumeration>()) return ref_int(p->value);
    if (auto* p = node.get_if<node_data::Float>()) {
        auto v = ref_float(p->value);
        if (!v) return std::unexpected(std::move(v.error()));
        return regcodec::saturating_round(*v);
    }
    if (auto* reg = node.get_if<node_data::Register>()) {
        auto* kind = std::get_if<register_kind::Int>(&reg->kind);
        if (!kind) return std::unexpected(GenicamError::unsupported_access(node.name));
        const bool big = kind->endianness == Endianness::Big;
        const bool is_signed = kind->sign == Sign::Signed;
        const auto lsb = kind->lsb;
        const auto msb = kind->msb;
        auto bytes = register_read(id);
        if (!bytes) return std::unexpected(std::move(bytes.error()));
        auto v = regcodec::decode_int(*bytes, big, lsb, msb, is_signed);
        if (!v) return std::unexpected(GenicamError::formula_error(name(id), std::move(v.error())));
        return *v;
    }
    if (node.is<node_data::Converter>() || node.is<node_data::SwissKnife>()) {
        auto n = eval_formula_node(id);
        if (!n) return std::unexpected(std::move(n.error()));
        return n->to_int();
    }
    return std::unexpected(GenicamError::unsupported_access(node.name));
}

GenicamResult<void> NodeEval::set_int_value_inner(NodeId id, std::int64_t value) {
    Node& node = map_.node(id);
    GenicamResult<void> result;
    if (auto* p = node.get_if<node_data::Integer>()) {
        auto ref = value_in_force(p->value, p->indexed);
        if (!ref) return std::unexpected(std::move(ref.error()));
        result = set_ref_int(id, **ref, value);
    } else if (ValueRef* ref = value_ref_of(node)) {
        result = set_ref_int(id, *ref, value);
    } else if (auto* reg = node.get_if<node_data::Register>()) {
        auto* kind = std::get_if<register_kind::Int>(&reg->kind);
        if (!kind) return std::unexpected(GenicamError::unsupported_access(node.name));
        const bool big = kind->endianness == Endianness::Big;
        const auto lsb = kind->lsb;
        const auto msb = kind->msb;
        auto length = checked_length(id, reg->common);
        if (!length) return std::unexpected(std::move(length.error()));
        std::expected<regcodec::Bytes, std::string> bytes;
        if (lsb || msb) {
            // Only the field changes; the other bits keep what the register
            // holds (a write-only masked register therefore cannot be written).
            auto current = register_read(id);
            if (!current) return std::unexpected(std::move(current.error()));
            bytes = regcodec::insert_int(*current, value, big, lsb, msb);
        } else {
            bytes = regcodec::encode_int(value, *length, big);
        }
        if (!bytes) return std::unexpected(GenicamError::formula_error(name(id), std::move(bytes.error())));
        return register_write(id, *bytes);
    } else if (node.is<node_data::Converter>()) {
        const ExtraVariable from{"FROM", Number::from_int(value)};
        auto& conv = *node.get_if<node_data::Converter>();
        auto n = eval_formula(id, conv.to, conv.variables, &from);
        if (!n) return std::unexpected(std::move(n.error()));
        result = set_ref_value(id, conv.value, *n);
    } else {
        return std::unexpected(GenicamError::unsupported_access(node.name));
    }
    if (result) invalidate_dependents(id);
    return result;
}

GenicamResult<std::int64_t> NodeEval::checked_length(NodeId id, const RegisterCommon& common) {
    // Reads and writes agree on the 4-byte default: a register that reads
    // fine must not fail when it is written back.
    if (common.length.is_absent()) return 4;
    auto length = ref_int(common.length);
    if (!length) return length;
    if (*length < 0 || *length > kMaxRegisterLength)
        return std::unexpected(GenicamError::formula_error(
            name(id), fmt::format("register length {} is negative or too large", *length)));
    return length;
}

GenicamResult<std::pair<std::int64_t, std::int64_t>> NodeEval::register_address(NodeId id) {
    auto* reg = map_.node(id).get_if<node_data::Register>();
    if (!reg) return std::unexpected(GenicamError::unsupported_access(name(id)));
    // Constants are unsigned 64-bit addresses (0xFFFFFFFF00000000 is no
    // negative number); node values may be negative offsets. The sum must be
    // an address: one that wraps, either way, is a fault of the description,
    // not a read at some unrelated address.
    int128 address = 0;
    for (const ValueRef& term : reg->common.address) {
        auto v = ref_int(term);
        if (!v) return std::unexpected(std::move(v.error()));
        address += term.int_if() ? static_cast<int128>(static_cast<std::uint64_t>(*v)) : static_cast<int128>(*v);
    }
    auto length = checked_length(id, reg->common);
    if (!length) return std::unexpected(std::move(length.error()));
    if (reg->common.index) {
        // Copied: the references stay put, but nothing here needs to rely on it.
        const RegisterIndex index = *reg->common.index;
        auto selected = ref_int(index.selector);
        if (!selected) return std::unexpected(std::move(selected.error()));
        std::int64_t offset = *length;
        if (!index.offset.is_absent()) {
            auto v = ref_int(index.offset);
            if (!v) return std::unexpected(std::move(v.error()));
            offset = *v;
        }
        address += static_cast<int128>(*selected) * offset;
    }
    constexpr auto kTop = static_cast<int128>(std::numeric_limits<std::uint64_t>::max());
    if (address < 0 || address > kTop)
        return std::unexpected(GenicamError::description_error(
            fmt::format("address of register '{}' does not fit 64 bits", name(id))));
    return std::pair{static_cast<std::int64_t>(static_cast<std::uint64_t>(address)), *length};
}

GenicamResult<void> NodeEval::check_port(NodeId id, const RegisterCommon& common) const {
    if (common.port.is_absent()) return {};
    const Link& link = *common.port.link_if();
    const node_data::Port* port = nullptr;
    if (const NodeId* target = link.id_if()) port = map_.node(*target).get_if<node_data::Port>();
    const std::string& port_name = link.is_resolved() ? map_.node(link.id()).name : link.name();
    if (!port)
        return std::unexpected(GenicamError::description_error(
            fmt::format("register '{}' is read through '{}', which is not a port", name(id), port_name)));
    // Until frames and events hand their data to the feature model, such
    // nodes have no value to give; reading device registers at their
    // addresses would return unrelated bytes.
    switch (port->kind) {
        case node_data::PortKind::Device:
            return {};
        case node_data::PortKind::Chunk:
            return std::unexpected(GenicamError::unavailable(
                name(id), fmt::format("it is carried in the chunk data of frames (port '{}')", port_name)));
        case node_data::PortKind::Event:
            return std::unexpected(GenicamError::unavailable(
                name(id), fmt::format("it is carried in event data (port '{}')", port_name)));
    }
    return {};
}

GenicamResult<std::optional<regcodec::Bytes>> NodeEval::data_read(NodeId id, const RegisterCommon& common) {
    const node_data::Port* port = nullptr;
    std::string_view port_name;
    if (const Link* link = common.port.link_if(); link && link->is_resolved()) {
        port = map_.node(link->id()).get_if<node_data::Port>();
        port_name = map_.node(link->id()).name;
    }
    if (port == nullptr || port->kind == node_data::PortKind::Device) {
        // Not a port at all: check_port names the fault.
        if (!common.port.is_absent() && port == nullptr) return std::nullopt;
        // Bytes the live model had read at the current address still serve.
        auto where = register_address(id);
        if (!where) return std::unexpected(std::move(where.error()));
        if (common.cache_policy != CachePolicy::NoCache && common.cache && common.cache_address == where->first &&
            std::cmp_equal(common.cache->size(), where->second))
            return std::optional<regcodec::Bytes>(*common.cache);
        return std::unexpected(GenicamError::unavailable(
            name(id), "chunk and event values are evaluated without device access, and its value is not cached"));
    }
    const bool chunk = port->kind == node_data::PortKind::Chunk;
    if (port->id.is_absent())
        return std::unexpected(GenicamError::unavailable(
            name(id), fmt::format("its port '{}' has no usable {} id", port_name, chunk ? "chunk" : "event")));
    auto port_id = ref_int(port->id);
    if (!port_id) return std::unexpected(std::move(port_id.error()));
    const auto wanted = static_cast<std::uint64_t>(*port_id);
    auto data = data_->bytes(port->kind, wanted);
    if (!data)
        return std::unexpected(GenicamError::unavailable(
            name(id), chunk ? fmt::format("the frame carries no chunk {:#x} (port '{}')", wanted, port_name)
                            : fmt::format("the event carries no data for port '{}' (event id {:#x})", port_name,
                                          wanted)));
    auto where = register_address(id);
    if (!where) return std::unexpected(std::move(where.error()));
    const auto first = static_cast<std::uint64_t>(where->first);
    const auto length = static_cast<std::uint64_t>(where->second);
    if (first > data->size() || length > data->size() - first)
        return std::unexpected(GenicamError::unavailable(
            name(id), fmt::format("it needs bytes {} to {} of {} {:#x}, which holds {} bytes", first, first + length,
                                  chunk ? "chunk" : "event", wanted, data->size())));
    return regcodec::Bytes(data->begin() + static_cast<std::ptrdiff_t>(first),
                           data->begin() + static_cast<std::ptrdiff_t>(first + length));
}

GenicamResult<regcodec::Bytes> NodeEval::register_read(NodeId id) {
    auto* reg = map_.node(id).get_if<node_data::Register>();
    if (!reg) return std::unexpected(GenicamError::unsupported_access(name(id)));
    if (reg->common.access == AccessMode::WO)
        return std::unexpected(GenicamError::access_mode_violation(name(id)));
    const bool cached = reg->common.cache_policy != CachePolicy::NoCache && reg->common.cache;
    // A register at a constant address keeps its cache without looking at
    // the address; one whose address or length depends on other nodes (a
    // selector, a pAddress knife) only for the address and length the
    // cached bytes came from.
    if (cached && fixed_location(reg->common)) return *reg->common.cache;
    // Chunk and event data never get cached: the next frame brings other bytes.
    if (data_ != nullptr) {
        auto from_data = data_read(id, reg->common);
        if (!from_data) return std::unexpected(std::move(from_data.error()));
        if (*from_data) return std::move(**from_data);
    }
    // Checked on the way to the device only: a register behind any other
    // port never gets cached bytes, since its reads and writes stop here.
    if (auto r = check_port(id, reg->common); !r) return std::unexpected(std::move(r.error()));
    auto where = register_address(id);
    if (!where) return std::unexpected(std::move(where.error()));
    // Evaluating the address may have touched other nodes, never this one's
    // data, so `reg` is still the same register.
    if (cached && reg->common.cache && reg->common.cache_address == where->first &&
        std::cmp_equal(reg->common.cache->size(), where->second))
        return *reg->common.cache;
    regcodec::Bytes bytes(static_cast<std::size_t>(where->second), 0);
    if (auto r = port_.read(static_cast<std::uint64_t>(where->first), bytes); !r)
        return std::unexpected(GenicamError::transport(std::move(r.error())));
    if (reg->common.cache_policy != CachePolicy::NoCache) {
        reg->common.cache = bytes;
        reg->common.cache_address = where->first;
    }
    return bytes;
}

GenicamResult<void> NodeEval::register_write(NodeId id, std::span<const std::uint8_t> bytes) {
    auto* reg = map_.node(id).get_if<node_data::Register>();
    if (!reg) return std::unexpected(GenicamError::unsupported_access(name(id)));
    if (auto r = check_port(id, reg->common); !r) return std::unexpected(std::move(r.error()));
    if (reg->common.access == AccessMode::RO)
        return std::unexpected(GenicamError::access_mode_violation(name(id)));
    auto where = register_address(id);
    if (!where) return std::unexpected(std::move(where.error()));
    if (auto r = port_.write(static_cast<std::uint64_t>(where->first), bytes); !r)
        return std::unexpected(GenicamError::transport(std::move(r.error())));
    if (reg->common.cache_policy == CachePolicy::WriteThrough) {
        reg->common.cache.emplace(bytes.begin(), bytes.end());
        reg->common.cache_address = where->first;
    } else {
        reg->common.cache.reset();
    }
    invalidate_dependents(id);
    return {};
}

void NodeEval::invalidate_dependents(NodeId id) {
    for (NodeId dependent : map_.invalidated_by(id))
        if (auto* reg = map_.node(dependent).get_if<node_data::Register>()) reg->common.cache.reset();
}

GenicamResult<std::int64_t> NodeEval::int_value(NodeId id) {
    auto scope = map_.guard(id);
    if (!scope) return std::unexpected(std::move(scope.error()));
    return int_value_inner(id);
}

GenicamResult<void> NodeEval::set_int_value(NodeId id, std::int64_t value) {
    auto scope = map_.guard(id);
    if (!scope) return std::unexpected(std::move(scope.error()));
    return set_int_value_inner(id, value);
}

}  // namespace oculane
