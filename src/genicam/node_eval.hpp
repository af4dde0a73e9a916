#pragma once
// Evaluation of feature nodes against device registers: integers, floats,
// formulas, booleans, enumerations, strings, commands, bounds and access
// modes, over the node map and a PortIo.
//
// A NodeEval is a short-lived view that pairs a node map with the port of
// one camera; it holds no state of its own beyond a nesting counter.
// Everything it changes lives in the map (register caches, compiled
// formulas, constants overwritten by writes, the evaluation stack). The caller guarantees exclusive access to
// the map for the whole call, which the camera-state lock provides.
//
// Nested evaluations (a referenced node, an address term, a formula
// variable) run inside the map's evaluation guard, so a description whose
// references form a cycle fails with CircularReference instead of recursing
// without end. The *_inner operations expect their own node to be entered
// already; the feature-level operations (bool_value and below) do not.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "error/genicam_error.hpp"
#include "genicam/evaluator.hpp"
#include "genicam/node.hpp"
#include "genicam/port.hpp"
#include "genicam/register_codec.hpp"

namespace oculane {

// A register length above this is refused before any buffer is made: a
// description (or a register it reads its length from) must not make us
// allocate without bound. Same cap as for description data.
inline constexpr std::int64_t kMaxRegisterLength = std::int64_t{64} << 20;

struct EnumEntryValue {
    std::string name;
    std::int64_t value = 0;
};

// The bytes behind chunk and event ports while the chunk data of a frame
// or the data of an event is evaluated.
class PortData {
public:
    virtual ~PortData() = default;
    // The data of the chunk (or event) with this id; nothing when the frame
    // (or event) carries none.
    virtual std::optional<std::span<const std::uint8_t>> bytes(node_data::PortKind kind, std::uint64_t id) = 0;
};

class NodeEval {
public:
    NodeEval(Genicam& map, PortIo& port) : map_(map), port_(port) {}
    // Evaluation of chunk or event data: registers on chunk and event ports
    // read `data`, and nothing reaches the device (a device register is known
    // only from its cached bytes, else Unavailable); `port` is never used.
    NodeEval(Genicam& map, PortIo& port, PortData& data) : map_(map), port_(port), data_(&data) {}

    // --- integer core -----------------------------------------------------
    GenicamResult<std::int64_t> ref_int(const ValueRef& ref);
    // Writes through a value reference that belongs to `owner`; an integer
    // constant of a value-holding node is replaced in the map.
    GenicamResult<void> set_ref_int(NodeId owner, ValueRef& ref, std::int64_t value);
    GenicamResult<std::int64_t> int_value_inner(NodeId id);
    GenicamResult<void> set_int_value_inner(NodeId id, std::int64_t value);
    // (address, length) of a register node; the length defaults to 4 bytes.
    GenicamResult<std::pair<std::int64_t, std::int64_t>> register_address(NodeId id);
    GenicamResult<regcodec::Bytes> register_read(NodeId id);
    GenicamResult<void> register_write(NodeId id, std::span<const std::uint8_t> bytes);

    // --- floats and formulas ----------------------------------------------
    GenicamResult<double> ref_float(const ValueRef& ref);
    GenicamResult<double> float_value_inner(NodeId id);
    GenicamResult<void> set_float_value_inner(NodeId id, double value);
    GenicamResult<void> set_ref_value(NodeId owner, const ValueRef& ref, Number value);
    struct ExtraVariable {
        const char* name;
        Number value;
    };
    // `slot` and `variables` belong to node `id`.
    GenicamResult<Number> eval_formula(NodeId id, FormulaSlot& slot,
                                       std::vector<FormulaVariable>& variables,
                                       const ExtraVariable* extra);
    GenicamResult<Number> eval_converter(NodeId id);
    // The typed value of a Converter (its read formula) or a SwissKnife.
    GenicamResult<Number> eval_formula_node(NodeId id);
    // The value reference in force for an Integer or Float: without a
    // selector its plain value; with one, the entry for the selector's
    // current value, else the default, else the plain value.
    GenicamResult<ValueRef*> value_in_force(ValueRef& value, std::optional<IndexedValues>& indexed);

    // --- guarded entry points (enter the node, evaluate, leave) ------------
    GenicamResult<std::int64_t> int_value(NodeId id);
    GenicamResult<void> set_int_value(NodeId id, std::int64_t value);
    GenicamResult<double> float_value(NodeId id);
    GenicamResult<void> set_float_value(NodeId id, double value);

    // --- feature-level operations -------------------------------------------
    GenicamResult<bool> bool_value(NodeId id);
    GenicamResult<void> set_bool_value(NodeId id, bool value);
    GenicamResult<std::vector<EnumEntryValue>> enum_entries(NodeId id);
    GenicamResult<void> set_enum_entry(NodeId id, std::string_view entry);
    GenicamResult<std::string> string_value(NodeId id);
    GenicamResult<void> set_string_value(NodeId id, std::string_view text);
    GenicamResult<void> execute(NodeId id);
    GenicamResult<std::pair<std::int64_t, std::int64_t>> int_bounds(NodeId id);
    GenicamResult<std::int64_t> int_increment(NodeId id);
    // Float and Converter nodes; a Converter's bounds are those of the node
    // it converts, mapped through its read formula.
    GenicamResult<std::pair<double, double>> float_bounds(NodeId id);

    // Checks a value against the bounds (and, for integers, the increment)
    // of the node it is about to be written to: OutOfRange or
    // FloatOutOfRange when it does not fit. Only reads, so a refused write
    // sends nothing. Nodes without bounds accept everything.
    GenicamResult<void> check_int_write(NodeId id, std::int64_t value);
    GenicamResult<void> check_float_write(NodeId id, double value);
    // The same for a text: an enumeration must have the entry, a string
    // register must hold the text's UTF-8 bytes (OutOfRange on its length).
    GenicamResult<void> check_string_write(NodeId id, std::string_view text);

private:
    // Bounds a node has: its own Min/Max, else those of the node its value
    // stands for (through Integer, Float and Converter nodes, down to the
    // natural range of an integer register); absent where none is known.
    struct Limits {
        std::optional<Number> min, max;
    };
    GenicamResult<Limits> limits(NodeId id);
    GenicamResult<Limits> limits_of_ref(const ValueRef& ref);
    // What an integer register can hold by its length, sign and bit field.
    GenicamResult<Limits> natural_limits(NodeId id);
    // A converter's bounds from those of its value, through its read formula.
    GenicamResult<Limits> mapped_limits(NodeId id, Number lo, Number hi);

    // Drops the cached bytes of the register nodes that name `id` as their
    // invalidator (one level).
    void invalidate_dependents(NodeId id);
    GenicamResult<std::int64_t> checked_length(NodeId id, const RegisterCommon& common);
    // Registers reach the device only through a device port (or no pPort):
    // chunk- and event-port registers are Unavailable, and a pPort that
    // names no port node is a DescriptionError.
    GenicamResult<void> check_port(NodeId id, const RegisterCommon& common) const;
    // With chunk or event data: the bytes of a register on a chunk or event
    // port out of that data, or the refusal of a device read; nothing when
    // the register is to be read as usual.
    GenicamResult<std::optional<regcodec::Bytes>> data_read(NodeId id, const RegisterCommon& common);
    // A referenced node's value as the evaluator's number: float-valued
    // nodes give their float value, every other node its integer.
    GenicamResult<Number> node_number(NodeId id);
    const std::string& name(NodeId id) const { return map_.node(id).name; }
    // The node a reference names, entered for a nested evaluation that lasts
    // as long as the returned scope; DanglingReference for a name that
    // matched no node.
    GenicamResult<std::pair<NodeId, EvalScope>> enter_link(const Link& link);
    // Settles where each variable of the slot's compiled program comes from.
    void bind_formula(FormulaSlot& slot, const std::vector<FormulaVariable>& variables,
                      const char* extra) const;

    Genicam& map_;
    PortIo& port_;
    PortData* data_ = nullptr;
    // Nesting of Expression entries inside the formula being evaluated; the
    // only state of a NodeEval, back to 0 whenever a call returns.
    std::size_t expression_depth_ = 0;
};

// True for the nodes whose values are fetched and written as floats when
// another node refers to them: Float nodes, float registers, SwissKnife and
// Converter (not their Int forms).
bool is_float_valued(const Node& node);

// The advisory access mode of a node, from the model alone (no device
// access). A reference chain that loops fails with CircularReference.
GenicamResult<AccessMode> access_mode(const Genicam& map, NodeId id);

}  // namespace oculane
