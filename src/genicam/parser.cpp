#include "genicam/parser.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <deque>
#include <cstdlib>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "genicam/xml.hpp"
#include "util/log.hpp"
#include "util/overload.hpp"

namespace oculane {

namespace {

constexpr std::string_view kWhitespace = " \t\n\r\f\v";

std::string_view trim(std::string_view s) {
    auto first = s.find_first_not_of(kWhitespace);
    if (first == std::string_view::npos) return {};
    auto last = s.find_last_not_of(kWhitespace);
    return s.substr(first, last - first + 1);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<std::int64_t> parse_description_int(std::string_view text) {
    std::string_view t = trim(text);
    if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        std::string_view digits = t.substr(2);
        if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
        if (digits.empty()) return std::nullopt;
        std::uint64_t v = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, 16);
        if (ec != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
        return std::bit_cast<std::int64_t>(v);
    }
    // One sign at most ("+-1" is invalid), and digits must follow it.
    std::size_t digits_at = 0;
    if (!t.empty() && t[0] == '+') {
        t.remove_prefix(1);
    } else if (!t.empty() && t[0] == '-') {
        digits_at = 1;
    }
    if (t.size() <= digits_at || !is_digit(t[digits_at])) return std::nullopt;
    std::int64_t v = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v, 10);
    if (ec != std::errc{} || end != t.data() + t.size()) return std::nullopt;
    return v;
}

std::optional<double> parse_description_float(std::string_view text) {
    std::string_view t = trim(text);
    if (!t.empty() && t[0] == '+') {
        t.remove_prefix(1);
        if (!t.empty() && (t[0] == '+' || t[0] == '-')) return std::nullopt;
    }
    // Only the bare words inf, infinity and nan; not the "nan(...)" form.
    if (t.empty() || t.find('(') != std::string_view::npos) return std::nullopt;
    double v = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
    if (end != t.data() + t.size()) return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        // Beyond the double range: the number is still valid text, and reads
        // as an infinity or a zero like any decimal conversion would give.
        return std::strtod(std::string(t).c_str(), nullptr);
    }
    if (ec != std::errc{}) return std::nullopt;
    return v;
}

namespace {

using xml::Element;

// Every element name the builder looks for. The tree numbers elements by
// their position here, so dispatch and child lookups compare small integers.
#define OCULANE_DESCRIPTION_NAMES(X)                                                                        \
    X(Group) X(Port) X(Category) X(Integer) X(Float) X(Boolean) X(String) X(Enumeration) X(Command)         \
    X(Register) X(IntReg) X(MaskedIntReg) X(FloatReg) X(StringReg) X(StructReg) X(Converter)                \
    X(IntConverter) X(SwissKnife) X(IntSwissKnife) X(EnumEntry) X(StructEntry) X(ChunkID) X(pChunkID)       \
    X(EventID) X(pEventID) X(pFeature) X(Value) X(pValue) X(Min) X(pMin) X(Max) X(pMax) X(Inc) X(pInc)      \
    X(OnValue) X(OffValue) X(CommandValue) X(pCommandValue) X(Address) X(pAddress) X(Length) X(pLength)     \
    X(AccessMode) X(Cachable) X(pIndex) X(pPort) X(Sign) X(Endianess) X(Bit) X(LSB) X(MSB) X(FormulaTo)     \
    X(FormulaFrom) X(Formula) X(pVariable) X(Constant) X(Expression) X(ValueIndexed) X(pValueIndexed)       \
    X(ValueDefault) X(pValueDefault) X(DisplayName) X(ToolTip) X(Description) X(Unit) X(Representation)    \
    X(Visibility) X(IsImplemented) X(pIsImplemented) X(IsAvailable) X(pIsAvailable) X(IsLocked)            \
    X(pIsLocked) X(pSelected) X(pInvalidator)

enum class N : xml::Vocabulary::Id {
#define OCULANE_NAME_ID(name) name,
    OCULANE_DESCRIPTION_NAMES(OCULANE_NAME_ID)
#undef OCULANE_NAME_ID
};
constexpr std::string_view kNames[] = {
#define OCULANE_NAME_TEXT(name) #name,
    OCULANE_DESCRIPTION_NAMES(OCULANE_NAME_TEXT)
#undef OCULANE_NAME_TEXT
};
constexpr std::size_t kNameCount = std::size(kNames);

std::string_view text_of(N n) { return kNames[static_cast<std::size_t>(n)]; }

const xml::Vocabulary& vocabulary() {
    static const xml::Vocabulary v(kNames);
    return v;
}

bool is(Element e, N n) { return e.name_id() == static_cast<xml::Vocabulary::Id>(n); }

// One element and the first child of each known name, found in one pass over
// its children: a node reads a dozen or more of them.
class Fields {
public:
    explicit Fields(Element e) : e_(e) {
        first_.fill(Element::kNone);
        for (Element c : e.children()) {
            const std::size_t id = c.name_id();
            if (id < kNameCount && first_[id] == Element::kNone) first_[id] = c.index();
        }
    }
    Element element() const { return e_; }
    std::optional<Element> child(N n) const {
        const std::uint32_t at = first_[static_cast<std::size_t>(n)];
        if (at == Element::kNone) return std::nullopt;
        return e_.element_at(at);
    }
    bool has(N n) const { return first_[static_cast<std::size_t>(n)] != Element::kNone; }

private:
    Element e_;
    std::array<std::uint32_t, kNameCount> first_;
};

// Trimmed text of the first child element with this name, when it has text.
std::optional<std::string_view> child_text(const Fields& f, N name) {
    auto c = f.child(name);
    if (!c) return std::nullopt;
    auto t = c->text();
    if (!t) return std::nullopt;
    return trim(*t);
}

// The first number in the description that does not parse, with the node
// it belongs to: reported once the document is walked, instead of the field
// silently going missing (an Address that does not fit 64 bits would read
// address 0). One per thread, set for the length of a parse, so the helpers
// below keep their plain signatures.
struct LiteralErrors {
    std::string_view node;  // a view of the document, or of an anonymous name the builder keeps
    std::optional<GenicamError> first;
};
thread_local LiteralErrors* t_literal_errors = nullptr;

void bad_literal(std::string_view what, std::string_view text, std::string_view kind) {
    LiteralErrors* errors = t_literal_errors;
    if (errors == nullptr || errors->first) return;
    errors->first = GenicamError::description_error(
        fmt::format("node '{}': {} '{}' is not {}", errors->node, what, trim(text), kind));
}

std::optional<std::int64_t> checked_int(std::string_view what, std::string_view text) {
    auto v = parse_description_int(text);
    if (!v) bad_literal(what, text, "a 64-bit integer");
    return v;
}

// A link to, or a value reference to, the node a description text names
// (space around the name is not part of it).
Link link_to(std::string_view name) { return Link::by_name(std::string(trim(name))); }
ValueRef ref_to(std::string_view name) { return ValueRef::ref(link_to(name)); }

std::optional<std::int64_t> child_int(const Fields& f, N name) {
    auto t = child_text(f, name);
    if (!t) return std::nullopt;
    return checked_int(text_of(name), *t);
}

ValueRef int_ref(const Fields& f, N name, N p_name) {
    if (auto p = child_text(f, p_name)) return ref_to(*p);
    if (auto v = child_int(f, name)) return ValueRef::integer(*v);
    return ValueRef::absent();
}

ValueRef float_ref(const Fields& f, N name, N p_name) {
    if (auto p = child_text(f, p_name)) return ref_to(*p);
    if (auto t = child_text(f, name)) {
        if (auto v = parse_description_float(*t)) return ValueRef::floating(*v);
        if (auto i = parse_description_int(*t)) return ValueRef::integer(*i);
        bad_literal(text_of(name), *t, "a number");
    }
    return ValueRef::absent();
}

// Unknown words fall back to the defaults, as a missing element does.
Sign sign_of(const Fields& f) {
    auto t = child_text(f, N::Sign);
    if (t == "Signed") return Sign::Signed;
    if (t == "Unsigned") return Sign::Unsigned;
    return kDefaultSign;
}

Endianness endianness_of(const Fields& f) {
    // The element name is spelled this way in descriptions.
    auto t = child_text(f, N::Endianess);
    if (t == "BigEndian") return Endianness::Big;
    if (t == "LittleEndian") return Endianness::Little;
    return kDefaultEndianness;
}

std::optional<AccessMode> exact_access_mode(const Fields& f) {
    auto t = child_text(f, N::AccessMode);
    if (t == "RO") return AccessMode::RO;
    if (t == "WO") return AccessMode::WO;
    if (t == "RW") return AccessMode::RW;
    return std::nullopt;
}

CachePolicy cache_policy_of(const Fields& f) {
    auto t = child_text(f, N::Cachable);
    if (t == "NoCache") return CachePolicy::NoCache;
    if (t == "WriteThrough") return CachePolicy::WriteThrough;
    return kDefaultCachePolicy;
}

register_kind::Int bit_field_of(const Fields& f) {
    auto as_bit = [](std::optional<std::int64_t> v) -> std::optional<std::uint32_t> {
        if (!v) return std::nullopt;
        return static_cast<std::uint32_t>(*v);
    };
    auto bit = as_bit(child_int(f, N::Bit));
    auto lsb = as_bit(child_int(f, N::LSB));
    auto msb = as_bit(child_int(f, N::MSB));
    register_kind::Int k;
    k.lsb = lsb ? lsb : bit;
    k.msb = msb ? msb : bit;
    k.sign = sign_of(f);
    k.endianness = endianness_of(f);
    return k;
}

// A number written in the description: integer syntax (hexadecimal
// included) gives an Int, otherwise a decimal float gives a Float; anything
// else is kept as text so that using it can say what was wrong.
ValueRef number_of(std::string_view text) {
    if (auto i = parse_description_int(text)) return ValueRef::integer(*i);
    if (auto f = parse_description_float(text)) return ValueRef::floating(*f);
    return ValueRef::text(std::string(trim(text)));
}

// pVariable, Constant and Expression entries in document order: the first
// entry of a name wins, whichever kind it is.
std::vector<FormulaVariable> variables_of(Element e) {
    std::vector<FormulaVariable> vars;
    for (Element c : e.children()) {
        if (!is(c, N::pVariable) && !is(c, N::Constant) && !is(c, N::Expression)) continue;
        auto name = c.attribute("Name");
        auto text = c.text();
        if (!name || !text) continue;
        FormulaVariable v{std::string(*name), Link::by_name({})};
        if (is(c, N::pVariable)) {
            v.target = link_to(*text);
        } else if (is(c, N::Constant)) {
            v.constant = number_of(*text);
        } else {
            v.expression.emplace().source = std::string(trim(*text));
        }
        vars.push_back(std::move(v));
    }
    return vars;
}

// Selector-indexed values of an Integer or Float; nothing without pIndex.
// Entries whose Index is not an integer are left out.
std::optional<IndexedValues> indexed_of(const Fields& f, bool floating) {
    auto selector = child_text(f, N::pIndex);
    if (!selector) return std::nullopt;
    auto constant = [&](std::string_view what, std::string_view text) -> ValueRef {
        if (!floating) {
            if (auto v = checked_int(what, text)) return ValueRef::integer(*v);
            return ValueRef::absent();
        }
        if (auto v = parse_description_float(text)) return ValueRef::floating(*v);
        if (auto i = parse_description_int(text)) return ValueRef::integer(*i);
        bad_literal(what, text, "a number");
        return ValueRef::absent();
    };
    IndexedValues iv;
    iv.selector = ref_to(*selector);
    for (Element c : f.element().children()) {
        const bool by_ref = is(c, N::pValueIndexed);
        if (!by_ref && !is(c, N::ValueIndexed)) continue;
        auto index_text = c.attribute("Index");
        auto text = c.text();
        if (!index_text || !text) continue;
        auto index = checked_int("Index", *index_text);
        if (!index) continue;
        ValueRef v = by_ref ? ref_to(*text) : constant(text_of(N::ValueIndexed), *text);
        if (!v.is_absent()) iv.entries.emplace_back(*index, std::move(v));
    }
    if (auto p = child_text(f, N::pValueDefault)) {
        iv.fallback = ref_to(*p);
    } else if (auto t = child_text(f, N::ValueDefault)) {
        iv.fallback = constant("ValueDefault", *t);
    }
    return iv;
}

// pIndex of a register: Offset="N" or pOffset="Node" as attributes.
std::optional<RegisterIndex> register_index_of(const Fields& f) {
    auto c = f.child(N::pIndex);
    if (!c) return std::nullopt;
    auto text = c->text();
    if (!text || trim(*text).empty()) return std::nullopt;
    RegisterIndex ri;
    ri.selector = ref_to(*text);
    if (auto p = c->attribute("pOffset")) {
        ri.offset = ref_to(*p);
    } else if (auto o = c->attribute("Offset")) {
        if (auto v = checked_int("Offset", *o)) ri.offset = ValueRef::integer(*v);
    }
    return ri;
}

FormulaSlot formula_of(const Fields& f, N name) {
    FormulaSlot slot;
    if (auto t = child_text(f, name)) slot.source = std::string(*t);
    return slot;
}

Visibility visibility_of(const Fields& f) {
    auto t = child_text(f, N::Visibility);
    if (t == "Expert") return Visibility::Expert;
    if (t == "Guru") return Visibility::Guru;
    if (t == "Invisible") return Visibility::Invisible;
    return Visibility::Beginner;
}

// Presentation and state links of a node (or enumeration entry); evaluation
// never reads them.
NodeMeta meta_of(const Fields& f, TextArena& texts) {
    NodeMeta m;
    const std::size_t element = f.element().name_id();
    m.element = element < kNameCount ? kNames[element] : texts.store(f.element().name());
    auto text = [&](N child) { return texts.store(child_text(f, child).value_or("")); };
    m.display_name = text(N::DisplayName);
    m.tooltip = text(N::ToolTip);
    m.description = text(N::Description);
    m.unit = text(N::Unit);
    m.representation = text(N::Representation);
    m.visibility = visibility_of(f);
    m.is_implemented = int_ref(f, N::IsImplemented, N::pIsImplemented);
    m.is_available = int_ref(f, N::IsAvailable, N::pIsAvailable);
    m.is_locked = int_ref(f, N::IsLocked, N::pIsLocked);
    for (Element c : f.element().children())
        if (is(c, N::pSelected))
            if (auto t = c.text()) m.selected.push_back(link_to(*t));
    return m;
}

// The three nodes the library itself uses, added when a description lacks
// them. Parsed exactly like description elements.
struct BuiltIn {
    std::string_view name;
    std::string_view fragment;
};
constexpr BuiltIn kBuiltIns[] = {
    {"TLParamsLocked",
     "<Integer Name=\"TLParamsLocked\"><Value>0</Value><Min>0</Min><Max>1</Max></Integer>"},
    {"GevSCPSPacketSize",
     "<MaskedIntReg Name=\"GevSCPSPacketSize\"><Address>0xd04</Address><Length>4</Length>"
     "<AccessMode>RW</AccessMode><pPort>Device</pPort><Cachable>NoCache</Cachable>"
     "<LSB>31</LSB><MSB>16</MSB><Endianess>BigEndian</Endianess></MaskedIntReg>"},
    {"GevTimestampTickFrequency",
     "<IntReg Name=\"GevTimestampTickFrequency\"><Address>0x93c</Address><Length>8</Length>"
     "<AccessMode>RO</AccessMode><pPort>Device</pPort><Endianess>BigEndian</Endianess></IntReg>"},
};

class Builder {
public:
    // Walks the root's children, descending into Groups at any depth. The
    // walk keeps its own stack so that nesting depth costs no call depth.
    void walk(Element root) {
        // Collected first so that the node table and the name index are
        // sized once: a node is large, and regrowing the table moves them all.
        std::vector<Element> todo;
        std::vector<Element::Iterator> stack{root.children().begin()};
        while (!stack.empty()) {
            Element::Iterator& it = stack.back();
            if (it == Element::Iterator()) {
                stack.pop_back();
                continue;
            }
            Element e = *it;
            ++it;
            if (is(e, N::Group)) {
                stack.push_back(e.children().begin());
            } else {
                todo.push_back(e);
            }
        }
        // Struct entries and inline knives make nodes of their own.
        std::size_t expected = todo.size() + std::size(kBuiltIns);
        for (Element e : todo)
            for (Element c : e.children()) expected += is(c, N::StructEntry) || is(c, N::IntSwissKnife);
        nodes_.reserve(expected);
        index_.reserve(expected);
        for (Element e : todo) add_element(e);
    }

    GenicamResult<void> add_built_ins() {
        first_built_in_ = static_cast<NodeId>(nodes_.size());
        for (const BuiltIn& b : kBuiltIns) {
            if (index_.contains(b.name)) continue;
            auto doc = xml::Document::parse(b.fragment,
                                            xml::ParseOptions{.allow_doctype = false, .vocabulary = &vocabulary()});
            if (!doc) {
                return std::unexpected(
                    GenicamError::description_error(fmt::format("default node {}: {}", b.name, doc.error())));
            }
            add_element(doc->root());
            // Kept to the end: the pending invalidator names view it.
            built_in_docs_.push_back(std::move(*doc));
        }
        return {};
    }

    Genicam finish() && {
        resolve_links();
        // The built-in registers are the device's own, also in a description
        // that has no port of the name their fragments give.
        for (NodeId id = first_built_in_; id < nodes_.size(); ++id) {
            auto* reg = nodes_[id].get_if<node_data::Register>();
            if (reg && reg->common.port.link_if() && !reg->common.port.link_if()->is_resolved())
                reg->common.port = ValueRef::absent();
        }
        Genicam::InvalidationTable invalidation;
        for (auto& [node, names] : pending_invalidators_) {
            for (std::string_view name : names) {
                auto it = index_.find(name);
                if (it != index_.end()) invalidation[it->second].push_back(node);
            }
        }
        return Genicam(std::move(nodes_), std::move(index_), std::move(invalidation), std::move(texts_));
    }

    // Returns the id of the node appended for the element itself, if any.
    std::optional<NodeId> add_element(Element e) {
        std::optional<std::string_view> name = e.attribute("Name");
        // Unnamed elements are numbered whether or not they make a node.
        if (!name) ++anonymous_counter_;
        const std::size_t kind = e.name_id();
        if (kind >= kNameCount || handlers()[kind] == nullptr) return std::nullopt;
        if (!name) {
            name = anonymous_names_.emplace_back(
                fmt::format("__anonymous_{}_{}", e.name(), anonymous_counter_));
        }
        // Numbers that do not parse are reported with the node they belong
        // to; an inline knife names itself, then its register again.
        const std::string_view outer = std::exchange(literal_errors_.node, *name);
        auto id = (this->*(handlers()[kind]))(Fields(e), std::string(*name));
        literal_errors_.node = outer;
        return id;
    }

    // The first description error met while walking, if any.
    std::optional<GenicamError> error() const {
        if (duplicate_) return GenicamError::description_error(fmt::format("duplicate node name '{}'", *duplicate_));
        return literal_errors_.first;
    }

    // Numbers are checked against this builder's error slot while it lives.
    Builder() { t_literal_errors = &literal_errors_; }
    ~Builder() { t_literal_errors = nullptr; }
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;

private:
    using Handler = std::optional<NodeId> (Builder::*)(const Fields&, std::string);

    // By element name id; null for elements that make no node.
    static const std::array<Handler, kNameCount>& handlers() {
        static const std::array<Handler, kNameCount> table = [] {
            std::array<Handler, kNameCount> t{};
            auto set = [&](N n, Handler h) { t[static_cast<std::size_t>(n)] = h; };
            set(N::Port, &Builder::add_port);
            set(N::Category, &Builder::add_category);
            set(N::Integer, &Builder::add_integer);
            set(N::Float, &Builder::add_float);
            set(N::Boolean, &Builder::add_boolean);
            set(N::String, &Builder::add_string);
            set(N::Enumeration, &Builder::add_enumeration);
            set(N::Command, &Builder::add_command);
            set(N::Register, &Builder::add_bytes_register);
            set(N::IntReg, &Builder::add_int_register);
            set(N::MaskedIntReg, &Builder::add_masked_int_register);
            set(N::FloatReg, &Builder::add_float_register);
            set(N::StringReg, &Builder::add_string_register);
            set(N::StructReg, &Builder::add_struct_register);
            set(N::Converter, &Builder::add_converter);
            set(N::IntConverter, &Builder::add_converter);
            set(N::SwissKnife, &Builder::add_swiss_knife);
            set(N::IntSwissKnife, &Builder::add_swiss_knife);
            return t;
        }();
        return table;
    }

    NodeId append(NodeData data, std::string name, const Fields& invalidators_from) {
        auto id = static_cast<NodeId>(nodes_.size());
        // Two nodes of one name leave every reference to it ambiguous.
        if (!index_.insert_or_assign(name, id).second && !duplicate_) duplicate_ = name;
        nodes_.push_back(Node{std::move(data), std::move(name)});
        nodes_.back().meta = meta_of(invalidators_from, *texts_);
        std::vector<std::string_view> names;
        for (Element c : invalidators_from.element().children()) {
            if (!is(c, N::pInvalidator)) continue;
            if (auto t = c.text()) names.push_back(trim(*t));
        }
        if (!names.empty()) pending_invalidators_.emplace_back(id, std::move(names));
        return id;
    }

    std::optional<NodeId> add_port(const Fields& f, std::string name) {
        node_data::Port port;
        // The id is hexadecimal digits, with or without a 0x prefix ("8000",
        // "0504000D"); one that is no such number matches no chunk or event.
        auto port_id = [&](N constant, N ref) {
            if (auto name_of = child_text(f, ref)) {
                port.id = ref_to(*name_of);
            } else if (auto digits_text = child_text(f, constant)) {
                std::string_view digits = *digits_text;
                if (digits.starts_with("0x") || digits.starts_with("0X")) digits.remove_prefix(2);
                std::uint64_t v = 0;
                const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, 16);
                if (ec == std::errc{} && end == digits.data() + digits.size() && !digits.empty())
                    port.id = ValueRef::integer(static_cast<std::int64_t>(v));
            }
        };
        if (f.has(N::ChunkID) || f.has(N::pChunkID)) {
            port.kind = node_data::PortKind::Chunk;
            port_id(N::ChunkID, N::pChunkID);
        } else if (f.has(N::EventID) || f.has(N::pEventID)) {
            port.kind = node_data::PortKind::Event;
            port_id(N::EventID, N::pEventID);
        }
        return append(std::move(port), std::move(name), f);
    }

    std::optional<NodeId> add_category(const Fields& f, std::string name) {
        node_data::Category c;
        for (Element child : f.element().children()) {
            if (!is(child, N::pFeature)) continue;
            if (auto t = child.text()) c.features.push_back(link_to(*t));
        }
        return append(std::move(c), std::move(name), f);
    }

    std::optional<NodeId> add_integer(const Fields& f, std::string name) {
        node_data::Integer n{int_ref(f, N::Value, N::pValue), int_ref(f, N::Min, N::pMin),
                             int_ref(f, N::Max, N::pMax), int_ref(f, N::Inc, N::pInc), indexed_of(f, false)};
        return append(std::move(n), std::move(name), f);
    }

    std::optional<NodeId> add_float(const Fields& f, std::string name) {
        node_data::Float n{float_ref(f, N::Value, N::pValue), float_ref(f, N::Min, N::pMin),
                           float_ref(f, N::Max, N::pMax), indexed_of(f, true)};
        return append(std::move(n), std::move(name), f);
    }

    std::optional<NodeId> add_boolean(const Fields& f, std::string name) {
        node_data::Boolean n;
        n.value = int_ref(f, N::Value, N::pValue);
        n.on_value = child_int(f, N::OnValue).value_or(1);
        n.off_value = child_int(f, N::OffValue).value_or(0);
        return append(std::move(n), std::move(name), f);
    }

    std::optional<NodeId> add_string(const Fields& f, std::string name) {
        node_data::StringValue n;
        if (auto p = child_text(f, N::pValue)) {
            n.value = ref_to(*p);
        } else if (auto v = child_text(f, N::Value)) {
            n.value = ValueRef::text(std::string(*v));
        }
        return append(std::move(n), std::move(name), f);
    }

    std::optional<NodeId> add_enumeration(const Fields& f, std::string name) {
        node_data::Enumeration n;
        for (Element c : f.element().children()) {
            if (!is(c, N::EnumEntry)) continue;
            auto entry_name = c.attribute("Name");
            if (!entry_name) continue;
            const Fields entry(c);
            auto value = child_int(entry, N::Value);
            if (!value) continue;
            const NodeMeta m = meta_of(entry, *texts_);
            n.entries.push_back(node_data::EnumEntry{std::string(*entry_name), *value, m.display_name,
                                                     m.is_implemented, m.is_available});
        }
        n.value = int_ref(f, N::Value, N::pValue);
        return append(std::move(n), std::move(name), f);
    }

    std::optional<NodeId> add_command(const Fields& f, std::string name) {
        node_data::Command n{int_ref(f, N::Value, N::pValue), int_ref(f, N::CommandValue, N::pCommandValue)};
        return append(std::move(n), std::move(name), f);
    }

    // Address terms in document order; an inline IntSwissKnife becomes a node
    // of its own, appended before the register that uses it.
    RegisterCommon register_common(const Fields& f) {
        RegisterCommon common;
        for (Element c : f.element().children()) {
            if (is(c, N::Address)) {
                if (auto t = c.text()) {
                    if (auto v = checked_int("Address", *t)) common.address.push_back(ValueRef::integer(*v));
                }
            } else if (is(c, N::pAddress)) {
                if (auto t = c.text()) common.address.push_back(ref_to(*t));
            } else if (is(c, N::IntSwissKnife)) {
                if (auto id = add_element(c)) common.address.push_back(ValueRef::ref(Link::to(*id)));
            }
        }
        common.length = int_ref(f, N::Length, N::pLength);
        // An unknown or missing mode does not restrict; only RO and WO do.
        common.access = exact_access_mode(f).value_or(kDefaultAccessMode);
        common.cache_policy = cache_policy_of(f);
        common.index = register_index_of(f);
        if (auto p = child_text(f, N::pPort)) common.port = ref_to(*p);
        return common;
    }

    std::optional<NodeId> add_register(const Fields& f, std::string name, RegisterKind kind) {
        node_data::Register r{register_common(f), std::move(kind)};
        return append(std::move(r), std::move(name), f);
    }

    std::optional<NodeId> add_bytes_register(const Fields& f, std::string name) {
        return add_register(f, std::move(name), register_kind::Bytes{});
    }
    std::optional<NodeId> add_int_register(const Fields& f, std::string name) {
        return add_register(f, std::move(name),
                            register_kind::Int{std::nullopt, std::nullopt, sign_of(f), endianness_of(f)});
    }
    std::optional<NodeId> add_masked_int_register(const Fields& f, std::string name) {
        return add_register(f, std::move(name), bit_field_of(f));
    }
    std::optional<NodeId> add_float_register(const Fields& f, std::string name) {
        return add_register(f, std::move(name), register_kind::Float{endianness_of(f)});
    }
    std::optional<NodeId> add_string_register(const Fields& f, std::string name) {
        return add_register(f, std::move(name), register_kind::Str{});
    }

    // One Int register per named StructEntry sharing the StructReg's address;
    // nothing for the StructReg itself.
    std::optional<NodeId> add_struct_register(const Fields& f, std::string /*name*/) {
        RegisterCommon common = register_common(f);
        Endianness endianness = endianness_of(f);
        Sign sign = sign_of(f);
        for (Element c : f.element().children()) {
            if (!is(c, N::StructEntry)) continue;
            auto entry_name = c.attribute("Name");
            if (!entry_name) continue;
            const Fields entry(c);
            RegisterCommon copy = common;
            if (auto mode = exact_access_mode(entry)) copy.access = *mode;
            const std::string_view outer = std::exchange(literal_errors_.node, *entry_name);
            register_kind::Int kind = bit_field_of(entry);
            literal_errors_.node = outer;
            if (!entry.has(N::Endianess)) kind.endianness = endianness;
            if (!entry.has(N::Sign)) kind.sign = sign;
            append(node_data::Register{std::move(copy), kind}, std::string(*entry_name), entry);
        }
        return std::nullopt;
    }

    std::optional<NodeId> add_converter(const Fields& f, std::string name) {
        node_data::Converter n{int_ref(f, N::Value, N::pValue), formula_of(f, N::FormulaTo),
                               formula_of(f, N::FormulaFrom), variables_of(f.element()), is(f.element(), N::Converter)};
        return append(std::move(n), std::move(name), f);
    }

    std::optional<NodeId> add_swiss_knife(const Fields& f, std::string name) {
        node_data::SwissKnife n{formula_of(f, N::Formula), variables_of(f.element()), is(f.element(), N::SwissKnife)};
        return append(std::move(n), std::move(name), f);
    }

    void resolve(Link& link) {
        if (const std::string* name = link.name_if()) {
            auto it = index_.find(*name);
            if (it != index_.end()) link.resolve(it->second);
        }
    }
    void resolve(ValueRef& ref) {
        if (Link* link = ref.link_if()) resolve(*link);
    }
    void resolve(std::vector<FormulaVariable>& vars) {
        for (auto& v : vars)
            if (!v.is_constant() && !v.is_expression()) resolve(v.target);
    }
    void resolve(std::optional<IndexedValues>& iv) {
        if (!iv) return;
        resolve(iv->selector);
        for (auto& entry : iv->entries) resolve(entry.second);
        resolve(iv->fallback);
    }

    void resolve_links() {
        for (Node& node : nodes_) {
            resolve(node.meta.is_implemented);
            resolve(node.meta.is_available);
            resolve(node.meta.is_locked);
            for (Link& l : node.meta.selected) resolve(l);
            std::visit(Overload{
                           [&](node_data::Converter& n) {
                               resolve(n.value);
                               resolve(n.variables);
                           },
                           [&](node_data::Category& n) {
                               for (Link& l : n.features) resolve(l);
                           },
                           [&](node_data::Integer& n) {
                               resolve(n.value);
                               resolve(n.min);
                               resolve(n.max);
                               resolve(n.inc);
                               resolve(n.indexed);
                           },
                           [&](node_data::Float& n) {
                               resolve(n.value);
                               resolve(n.min);
                               resolve(n.max);
                               resolve(n.indexed);
                           },
                           [&](node_data::Boolean& n) { resolve(n.value); },
                           [&](node_data::StringValue& n) { resolve(n.value); },
                           [&](node_data::Enumeration& n) {
                               resolve(n.value);
                               for (auto& entry : n.entries) {
                                   resolve(entry.is_implemented);
                                   resolve(entry.is_available);
                               }
                           },
                           [&](node_data::Command& n) {
                               resolve(n.value);
                               resolve(n.command_value);
                           },
                           [&](node_data::Register& n) {
                               resolve(n.common.length);
                               for (ValueRef& a : n.common.address) resolve(a);
                               if (n.common.index) {
                                   resolve(n.common.index->selector);
                                   resolve(n.common.index->offset);
                               }
                               resolve(n.common.port);
                           },
                           [&](node_data::SwissKnife& n) { resolve(n.variables); },
                           [&](node_data::Port& n) { resolve(n.id); },
                       },
                       node.data);
        }
    }

    std::vector<Node> nodes_;
    std::shared_ptr<TextArena> texts_ = std::make_shared<TextArena>();
    // Views of the documents, which outlive the builder's use of them.
    std::vector<std::pair<NodeId, std::vector<std::string_view>>> pending_invalidators_;
    std::vector<xml::Document> built_in_docs_;
    std::deque<std::string> anonymous_names_;  // a deque: views of them stay valid
    Genicam::NameIndex index_;
    std::uint32_t anonymous_counter_ = 0;
    NodeId first_built_in_ = 0;
    std::optional<std::string> duplicate_;
    LiteralErrors literal_errors_;
};

}  // namespace

GenicamResult<Genicam> parse_description(std::string_view text) {
    auto doc = xml::Document::parse(text, xml::ParseOptions{.vocabulary = &vocabulary()});
    if (!doc) return std::unexpected(GenicamError::description_error(std::move(doc.error())));
    Builder builder;
    builder.walk(doc->root());
    if (auto e = builder.error()) return std::unexpected(std::move(*e));
    if (auto r = builder.add_built_ins(); !r) return std::unexpected(std::move(r.error()));
    Genicam map = std::move(builder).finish();
    if (log::enabled(log::Level::Debug)) {
        log::emit(log::kGenicam, log::Level::Debug, "device description parsed",
                  {{"bytes", std::to_string(text.size())},
                   {"elements", std::to_string(doc->element_count())},
                   {"nodes", std::to_string(map.size())},
                   {"names", std::to_string(map.name_index().size())}});
    }
    return map;
}

}  // namespace oculane
