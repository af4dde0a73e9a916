#pragma once
// The in-memory feature model of one camera description: a flat node table
// indexed by NodeId, the name index, the invalidation table and the
// evaluation stack that guards nested evaluations against cycles.
//
// The description parser is the only producer. Node evaluation reads it and
// updates its few mutable parts (register byte caches, compiled formulas, the
// evaluation stack). There is no internal locking: every user reaches the map
// through the camera-state lock, so at most one thread touches it at a time.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "error/genicam_error.hpp"

namespace oculane {

// A compiled formula (postfix program). Only held here through a pointer, so
// the model does not depend on the evaluator's header.
class Expr;

// Dense index into the node table, in the order the parser appended nodes.
using NodeId = std::uint32_t;

// Numeric codes are part of the Python surface (AccessMode) and stay fixed.
enum class AccessMode : std::uint8_t { RO = 0, WO = 1, RW = 2 };
enum class Sign : std::uint8_t { Signed = 0, Unsigned = 1 };
enum class Endianness : std::uint8_t { Little = 0, Big = 1 };
enum class CachePolicy : std::uint8_t { NoCache = 0, WriteThrough = 1, CacheOnRead = 2 };

// Defaults when the description does not say (or says something unknown).
inline constexpr AccessMode kDefaultAccessMode = AccessMode::RW;
inline constexpr Sign kDefaultSign = Sign::Unsigned;
inline constexpr Endianness kDefaultEndianness = Endianness::Little;
inline constexpr CachePolicy kDefaultCachePolicy = CachePolicy::CacheOnRead;

// Texts of the access modes as descriptions spell them ("RO", "WO", "RW").
std::string_view to_string(AccessMode mode);

// A reference to another node: by name until the parser resolves it, then by
// id. A name that matches no node stays a name for good; evaluating it is a
// DanglingReference, not a parse error.
class Link {
public:
    static Link by_name(std::string name) { return Link(std::move(name)); }
    static Link to(NodeId id) { return Link(id); }

    bool is_resolved() const { return std::holds_alternative<NodeId>(v_); }
    // nullptr when the link is in the other state.
    const NodeId* id_if() const { return std::get_if<NodeId>(&v_); }
    const std::string* name_if() const { return std::get_if<std::string>(&v_); }
    // Preconditions: is_resolved() for id(), !is_resolved() for name().
    NodeId id() const { return std::get<NodeId>(v_); }
    const std::string& name() const { return std::get<std::string>(v_); }

    void resolve(NodeId id) { v_ = id; }

    const std::variant<std::string, NodeId>& variant() const { return v_; }
    bool operator==(const Link&) const = default;

private:
    explicit Link(std::string name) : v_(std::move(name)) {}
    explicit Link(NodeId id) : v_(id) {}
    std::variant<std::string, NodeId> v_;
};

// A value that is a constant or a reference to another node. The variant
// index is the tag: 0 Absent, 1 Int, 2 Float, 3 Text, 4 Ref.
class ValueRef {
public:
    struct Absent {
        bool operator==(const Absent&) const = default;
    };
    using Variant = std::variant<Absent, std::int64_t, double, std::string, Link>;
    enum class Tag : std::uint8_t { Absent = 0, Int = 1, Float = 2, Text = 3, Ref = 4 };

    ValueRef() = default;
    static ValueRef absent() { return ValueRef(); }
    static ValueRef integer(std::int64_t v) { return ValueRef(Variant(std::in_place_index<1>, v)); }
    static ValueRef floating(double v) { return ValueRef(Variant(std::in_place_index<2>, v)); }
    static ValueRef text(std::string v) {
        return ValueRef(Variant(std::in_place_index<3>, std::move(v)));
    }
    static ValueRef ref(Link link) { return ValueRef(Variant(std::in_place_index<4>, std::move(link))); }

    Tag tag() const { return static_cast<Tag>(v_.index()); }
    bool is_absent() const { return v_.index() == 0; }
    // nullptr unless the value holds that alternative.
    const std::int64_t* int_if() const { return std::get_if<1>(&v_); }
    const double* float_if() const { return std::get_if<2>(&v_); }
    const std::string* text_if() const { return std::get_if<3>(&v_); }
    const Link* link_if() const { return std::get_if<4>(&v_); }
    Link* link_if() { return std::get_if<4>(&v_); }

    const Variant& variant() const { return v_; }
    Variant& variant() { return v_; }
    bool operator==(const ValueRef&) const = default;

private:
    explicit ValueRef(Variant v) : v_(std::move(v)) {}
    Variant v_;
};

// Where one variable of a compiled formula takes its value from, settled
// once when the program is compiled so that evaluation does no name lookups.
// Failures are kept as bindings too: they are reported when the formula is
// evaluated, every time, in variable order.
struct FormulaBinding {
    enum class Source : std::uint8_t {
        Extra,        // the converter's TO or FROM
        Node,         // `index` is a node id (pVariable entry or feature name)
        Constant,     // `index` is the position of the Constant entry in the variable list
        BadConstant,  // as Constant, but its text is not a number
        Expression,   // `index` is the position of an Expression entry (a sub-formula)
        Dangling,     // `index` is the position of a pVariable whose target matched no node
        Unbound,      // nothing of this name
    };
    Source source = Source::Unbound;
    std::uint32_t index = 0;
};

// A formula text and its compiled program. The program is compiled on first
// evaluation and kept, together with one binding per program variable; a
// compile failure leaves `compiled` empty so that the next evaluation
// reports the failure again. A compiled program is immutable, so copies of
// a slot may share it; the bindings hold node ids, which a copied map keeps.
struct FormulaSlot {
    std::string source;                       // trimmed text, empty when there was none
    std::shared_ptr<const Expr> compiled;     // null until compiled
    std::vector<FormulaBinding> bindings;     // parallel to compiled->variables()
    // Name of the extra variable the bindings were made with (null: none).
    const char* bound_extra = nullptr;
    // Set while an Expression entry's formula is being evaluated, so that
    // expressions naming each other stop instead of recursing without end.
    bool evaluating = false;
};

// A formula variable: its name inside the formula and where its value comes
// from: a node (pVariable), a number written in the description (Constant)
// or a sub-formula evaluated with the same bindings (Expression). All kinds
// share one list so that document order decides between entries of the
// same name.
struct FormulaVariable {
    std::string name;
    Link target;         // pVariable; unused otherwise
    ValueRef constant;   // Constant: Int or Float, Text when not a number; Absent otherwise
    std::optional<FormulaSlot> expression;  // Expression only
    bool is_constant() const { return !constant.is_absent(); }
    bool is_expression() const { return expression.has_value(); }
};

// Values chosen by a selector: the entry whose index equals the selector
// node's current integer value, else the default, else the node's plain
// value.
struct IndexedValues {
    ValueRef selector;                                      // pIndex, always a Ref
    std::vector<std::pair<std::int64_t, ValueRef>> entries;  // (ValueIndexed | pValueIndexed), document order
    ValueRef fallback;                                      // ValueDefault / pValueDefault
};

// A register repeated per selector value: the address moves by
// selector value * offset.
struct RegisterIndex {
    ValueRef selector;  // pIndex, always a Ref
    ValueRef offset;    // Offset (Int) or pOffset (Ref); Absent: the register's length
};

// Shared part of every register node.
struct RegisterCommon {
    ValueRef length;                                // Length / pLength; Absent reads as 4 bytes
    std::vector<ValueRef> address;                  // summed; Int, or Ref (pAddress or inline swiss knife)
    std::optional<std::vector<std::uint8_t>> cache; // last bytes read or written; empty after parsing
    AccessMode access = kDefaultAccessMode;
    CachePolicy cache_policy = kDefaultCachePolicy;
    std::optional<RegisterIndex> index;
    // pPort: the port node the register is read through; Absent means the
    // device's own registers.
    ValueRef port;
    // The address the cached bytes came from. A register whose address
    // depends on other nodes (pAddress, pIndex) reuses its cache only at that
    // address: a selector change, by whatever path, then misses the cache.
    std::int64_t cache_address = 0;
};

namespace register_kind {
// IntReg (no bit numbers), MaskedIntReg and StructEntry. Bit numbers are as
// the description writes them; for big-endian registers they count from the
// most significant bit.
struct Int {
    std::optional<std::uint32_t> lsb;
    std::optional<std::uint32_t> msb;
    Sign sign = kDefaultSign;
    Endianness endianness = kDefaultEndianness;
};
struct Bytes {};
struct Float {
    Endianness endianness = kDefaultEndianness;
};
struct Str {};
}  // namespace register_kind

using RegisterKind =
    std::variant<register_kind::Int, register_kind::Bytes, register_kind::Float, register_kind::Str>;

namespace node_data {
// Converter and IntConverter: to = FormulaTo (feature value FROM to register),
// from = FormulaFrom (register value TO back to the feature).
struct Converter {
    ValueRef value;
    FormulaSlot to;
    FormulaSlot from;
    std::vector<FormulaVariable> variables;
    // Converter computes in floating point and has a float value;
    // IntConverter keeps integer arithmetic.
    bool floating = false;
};
struct Category {
    std::vector<Link> features;
};
struct Integer {
    ValueRef value, min, max, inc;
    std::optional<IndexedValues> indexed;
};
struct Float {
    ValueRef value, min, max;
    std::optional<IndexedValues> indexed;
};
struct Boolean {
    ValueRef value;
    std::int64_t on_value = 1;
    std::int64_t off_value = 0;
};
// From the element String.
struct StringValue {
    ValueRef value;
};
struct EnumEntry {
    std::string name;
    std::int64_t value = 0;
    // Presentation and state, as for a node (NodeMeta); absent: yes.
    std::string_view display_name;
    ValueRef is_implemented;
    ValueRef is_available;
};
struct Enumeration {
    ValueRef value;
    std::vector<EnumEntry> entries;  // document order
};
struct Command {
    ValueRef value;
    ValueRef command_value;
};
// Register, IntReg, MaskedIntReg, FloatReg, StringReg and each StructEntry.
struct Register {
    RegisterCommon common;
    RegisterKind kind;
};
// SwissKnife and IntSwissKnife.
struct SwissKnife {
    FormulaSlot formula;
    std::vector<FormulaVariable> variables;
    // SwissKnife computes in floating point and has a float value;
    // IntSwissKnife keeps integer arithmetic.
    bool floating = false;
};
// Where a port's bytes come from: the device's registers, the chunk data
// of frames (ChunkID) or the data of events (EventID).
enum class PortKind : std::uint8_t { Device, Chunk, Event };
struct Port {
    PortKind kind = PortKind::Device;
    // ChunkID / EventID (Int) or pChunkID / pEventID (Ref); Absent for a
    // device port, or an id that is no number.
    ValueRef id;
};
}  // namespace node_data

using NodeData =
    std::variant<node_data::Converter, node_data::Category, node_data::Integer, node_data::Float,
                 node_data::Boolean, node_data::StringValue, node_data::Enumeration,
                 node_data::Command, node_data::Register, node_data::SwissKnife, node_data::Port>;

enum class Visibility : std::uint8_t { Beginner = 0, Expert = 1, Guru = 2, Invisible = 3 };
std::string_view to_string(Visibility v);

// Texts kept for a node map's lifetime: display names, tooltips and the
// like, a few hundred kilobytes for a large description, copied into a few
// large blocks rather than one allocation each. Blocks never move, so a view
// of a stored text stays valid while the arena lives.
class TextArena {
public:
    TextArena() = default;
    TextArena(const TextArena&) = delete;
    TextArena& operator=(const TextArena&) = delete;

    std::string_view store(std::string_view text);
    std::size_t bytes() const { return bytes_; }

private:
    static constexpr std::size_t kBlock = std::size_t{64} << 10;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;  // where the next short text goes
    std::size_t free_ = 0;  // room left there
    std::size_t bytes_ = 0;
};

// What a description says about a node for the people using it, and the
// nodes that tell whether it is implemented, available or locked at the
// moment (absent: implemented, available, not locked). Nothing here takes
// part in evaluating the node's value. The texts are views of the map's
// TextArena (or of static storage), valid while the map or a copy of it
// lives.
struct NodeMeta {
    std::string_view element;  // the element the node came from, e.g. "IntSwissKnife"
    std::string_view display_name;
    std::string_view tooltip;
    std::string_view description;
    std::string_view unit;
    std::string_view representation;
    Visibility visibility = Visibility::Beginner;
    ValueRef is_implemented;
    ValueRef is_available;
    ValueRef is_locked;
    std::vector<Link> selected;  // pSelected: the features whose value this one selects
};

struct Node {
    NodeData data;
    std::string name;  // never changes after parsing
    NodeMeta meta;

    template <class T>
    bool is() const { return std::holds_alternative<T>(data); }
    template <class T>
    const T* get_if() const { return std::get_if<T>(&data); }
    template <class T>
    T* get_if() { return std::get_if<T>(&data); }
};

// Name of the kind of node held, e.g. "Integer" or "Register" (for messages).
std::string_view kind_name(const NodeData& data);

struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};

class Genicam;

// Leaves the evaluation guard when it goes out of scope (see Genicam::enter).
class EvalScope {
public:
    explicit EvalScope(Genicam& map) : map_(&map) {}
    EvalScope(EvalScope&& other) noexcept : map_(std::exchange(other.map_, nullptr)) {}
    EvalScope& operator=(EvalScope&&) = delete;
    EvalScope(const EvalScope&) = delete;
    ~EvalScope();

private:
    Genicam* map_;
};

// The node map. Copying makes a deep copy (compiled formulas are immutable
// and shared).
class Genicam {
public:
    using NameIndex = std::unordered_map<std::string, NodeId, NameHash, std::equal_to<>>;
    using InvalidationTable = std::unordered_map<NodeId, std::vector<NodeId>>;

    // Nested evaluations deeper than this are refused: a description could
    // otherwise chain references until the evaluating thread's stack runs out.
    static constexpr std::size_t kMaxEvalDepth = 512;

    Genicam() = default;
    // `texts` holds the texts the nodes' metadata views.
    Genicam(std::vector<Node> nodes, NameIndex name_index, InvalidationTable invalidation,
            std::shared_ptr<const TextArena> texts = nullptr)
        : nodes_(std::move(nodes)),
          name_index_(std::move(name_index)),
          invalidation_(std::move(invalidation)),
          texts_(std::move(texts)) {}

    std::size_t size() const { return nodes_.size(); }
    // Ids held in links and in the invalidation table are always valid.
    const Node& node(NodeId id) const { return nodes_[id]; }
    Node& node(NodeId id) { return nodes_[id]; }
    std::span<const Node> nodes() const { return nodes_; }
    std::span<Node> nodes() { return nodes_; }

    // Exact, case-sensitive name match; with duplicate names, the node
    // appended last.
    std::optional<NodeId> find(std::string_view name) const;
    // As find, with FeatureNotFound for a missing name.
    GenicamResult<NodeId> lookup(std::string_view name) const;
    const NameIndex& name_index() const { return name_index_; }

    // Nodes whose cached values a change of `id` makes stale (one level).
    std::span<const NodeId> invalidated_by(NodeId id) const;
    const InvalidationTable& invalidation_table() const { return invalidation_; }

    // Evaluation guard. enter pushes the id, or, when the id is already under
    // evaluation, empties the whole stack and fails with CircularReference
    // naming the entered node; leaving after that finds the stack empty and
    // does nothing, so the next top-level evaluation starts clean. An overly
    // deep nesting is refused the same way, with a FormulaError.
    GenicamResult<void> enter(NodeId id);
    void leave();
    // enter, returning a scope that leaves when destroyed.
    GenicamResult<EvalScope> guard(NodeId id);
    std::span<const NodeId> evaluation_stack() const { return eval_stack_; }

    // Drops the cached bytes of every register node.
    void clear_register_caches();

private:
    std::vector<Node> nodes_;
    std::vector<NodeId> eval_stack_;
    NameIndex name_index_;
    InvalidationTable invalidation_;
    // Immutable once parsed, so copies of the map share it.
    std::shared_ptr<const TextArena> texts_;
};

inline EvalScope::~EvalScope() {
    if (map_ != nullptr) map_->leave();
}

}  // namespace oculane
