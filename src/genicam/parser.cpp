#include "genicam/parser.hpp"

#include <bit>
#include <charconv>
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

// Trimmed text of the first child element with this name, when it has text.
std::optional<std::string_view> child_text(Element e, std::string_view name) {
    auto c = e.child(name);
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
    std::string node;
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

std::optional<std::int64_t> child_int(Element e, std::string_view name) {
    auto t = child_text(e, name);
    if (!t) return std::nullopt;
    return checked_int(name, *t);
}

ValueRef int_ref(Element e, std::string_view name, std::string_view p_name) {
    if (auto p = child_text(e, p_name)) return ref_to(*p);
    if (auto v = child_int(e, name)) return ValueRef::integer(*v);
    return ValueRef::absent();
}

ValueRef float_ref(Element e, std::string_view name, std::string_view p_name) {
    if (auto p = child_text(e, p_name)) return ref_to(*p);
    if (auto t = child_text(e, name)) {
        if (auto f = parse_description_float(*t)) return ValueRef::floating(*f);
        if (auto i = parse_description_int(*t)) return ValueRef::integer(*i);
        bad_literal(name, *t, "a number");
    }
    return ValueRef::absent();
}

// Unknown words fall back to the defaults, as a missing element does.
Sign sign_of(Element e) {
    auto t = child_text(e, "Sign");
    if (t == "Signed") return Sign::Signed;
    if (t == "Unsigned") return Sign::Unsigned;
    return kDefaultSign;
}

Endianness endianness_of(Element e) {
    // The element name is spelled this way in descriptions.
    auto t = child_text(e, "Endianess");
    if (t == "BigEndian") return Endianness::Big;
    if (t == "LittleEndian") return Endianness::Little;
    return kDefaultEndianness;
}

std::optional<AccessMode> exact_access_mode(Element e) {
    auto t = child_text(e, "AccessMode");
    if (t == "RO") return AccessMode::RO;
    if (t == "WO") return AccessMode::WO;
    if (t == "RW") return AccessMode::RW;
    return std::nullopt;
}

CachePolicy cache_policy_of(Element e) {
    auto t = child_text(e, "Cachable");
    if (t == "NoCache") return CachePolicy::NoCache;
    if (t == "WriteThrough") return CachePolicy::WriteThrough;
    return kDefaultCachePolicy;
}

register_kind::Int bit_field_of(Element e) {
    auto as_bit = [](std::optional<std::int64_t> v) -> std::optional<std::uint32_t> {
        if (!v) return std::nullopt;
        return static_cast<std::uint32_t>(*v);
    };
    auto bit = as_bit(child_int(e, "Bit"));
    auto lsb = as_bit(child_int(e, "LSB"));
    auto msb = as_bit(child_int(e, "MSB"));
    register_kind::Int k;
    k.lsb = lsb ? lsb : bit;
    k.msb = msb ? msb : bit;
    k.sign = sign_of(e);
    k.endianness = endianness_of(e);
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
        std::string_view kind = c.name();
        if (kind != "pVariable" && kind != "Constant" && kind != "Expression") continue;
        auto name = c.attribute("Name");
        auto text = c.text();
        if (!name || !text) continue;
        FormulaVariable v{std::string(*name), Link::by_name({})};
        if (kind == "pVariable") {
            v.target = link_to(*text);
        } else if (kind == "Constant") {
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
std::optional<IndexedValues> indexed_of(Element e, bool floating) {
    auto selector = child_text(e, "pIndex");
    if (!selector) return std::nullopt;
    auto constant = [&](std::string_view what, std::string_view text) -> ValueRef {
        if (!floating) {
            if (auto v = checked_int(what, text)) return ValueRef::integer(*v);
            return ValueRef::absent();
        }
        if (auto f = parse_description_float(text)) return ValueRef::floating(*f);
        if (auto i = parse_description_int(text)) return ValueRef::integer(*i);
        bad_literal(what, text, "a number");
        return ValueRef::absent();
    };
    IndexedValues iv;
    iv.selector = ref_to(*selector);
    for (Element c : e.children()) {
        std::string_view n = c.name();
        const bool by_ref = n == "pValueIndexed";
        if (!by_ref && n != "ValueIndexed") continue;
        auto index_text = c.attribute("Index");
        auto text = c.text();
        if (!index_text || !text) continue;
        auto index = checked_int("Index", *index_text);
        if (!index) continue;
        ValueRef v = by_ref ? ref_to(*text) : constant(n, *text);
        if (!v.is_absent()) iv.entries.emplace_back(*index, std::move(v));
    }
    if (auto p = child_text(e, "pValueDefault")) {
        iv.fallback = ref_to(*p);
    } else if (auto t = child_text(e, "ValueDefault")) {
        iv.fallback = constant("ValueDefault", *t);
    }
    return iv;
}

// pIndex of a register: Offset="N" or pOffset="Node" as attributes.
std::optional<RegisterIndex> register_index_of(Element e) {
    auto c = e.child("pIndex");
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

FormulaSlot formula_of(Element e, std::string_view name) {
    FormulaSlot slot;
    if (auto t = child_text(e, name)) slot.source = std::string(*t);
    return slot;
}

Visibility visibility_of(Element e) {
    auto t = child_text(e, "Visibility");
    if (t == "Expert") return Visibility::Expert;
    if (t == "Guru") return Visibility::Guru;
    if (t == "Invisible") return Visibility::Invisible;
    return Visibility::Beginner;
}

// Presentation and state links of a node (or enumeration entry); evaluation
// never reads them.
NodeMeta meta_of(Element e) {
    NodeMeta m;
    m.element = std::string(e.name());
    auto text = [&](std::string_view child) { return std::string(child_text(e, child).value_or("")); };
    m.display_name = text("DisplayName");
    m.tooltip = text("ToolTip");
    m.description = text("Description");
    m.unit = text("Unit");
    m.representation = text("Representation");
    m.visibility = visibility_of(e);
    m.is_implemented = int_ref(e, "IsImplemented", "pIsImplemented");
    m.is_available = int_ref(e, "IsAvailable", "pIsAvailable");
    m.is_locked = int_ref(e, "IsLocked", "pIsLocked");
    for (Element c : e.children())
        if (c.name() == "pSelected")
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
        std::vector<Element::Iterator> stack{root.children().begin()};
        while (!stack.empty()) {
            Element::Iterator& it = stack.back();
            if (it == Element::Iterator()) {
                stack.pop_back();
                continue;
            }
            Element e = *it;
            ++it;
            if (e.name() == "Group") {
                stack.push_back(e.children().begin());
            } else {
                add_element(e);
            }
        }
    }

    GenicamResult<void> add_built_ins() {
        first_built_in_ = static_cast<NodeId>(nodes_.size());
        for (const BuiltIn& b : kBuiltIns) {
            if (index_.contains(b.name)) continue;
            auto doc = xml::Document::parse(b.fragment, xml::ParseOptions{.allow_doctype = false});
            if (!doc) {
                return std::unexpected(
                    GenicamError::description_error(fmt::format("default node {}: {}", b.name, doc.error())));
            }
            add_element(doc->root());
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
            for (const std::string& name : names) {
                auto it = index_.find(name);
                if (it != index_.end()) invalidation[it->second].push_back(node);
            }
        }
        return Genicam(std::move(nodes_), std::move(index_), std::move(invalidation));
    }

    // Returns the id of the node appended for the element itself, if any.
    std::optional<NodeId> add_element(Element e) {
        std::string name;
        if (auto attr = e.attribute("Name")) {
            name = std::string(*attr);
        } else {
            ++anonymous_counter_;
            name = fmt::format("__anonymous_{}_{}", e.name(), anonymous_counter_);
        }
        auto handler = handlers().find(e.name());
        if (handler == handlers().end()) return std::nullopt;
        // Numbers that do not parse are reported with the node they belong
        // to; an inline knife names itself, then its register again.
        std::string outer = std::exchange(literal_errors_.node, name);
        auto id = (this->*(handler->second))(e, std::move(name));
        literal_errors_.node = std::move(outer);
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
    using Handler = std::optional<NodeId> (Builder::*)(Element, std::string);

    static const std::unordered_map<std::string_view, Handler>& handlers() {
        static const std::unordered_map<std::string_view, Handler> table{
            {"Port", &Builder::add_port},
            {"Category", &Builder::add_category},
            {"Integer", &Builder::add_integer},
            {"Float", &Builder::add_float},
            {"Boolean", &Builder::add_boolean},
            {"String", &Builder::add_string},
            {"Enumeration", &Builder::add_enumeration},
            {"Command", &Builder::add_command},
            {"Register", &Builder::add_bytes_register},
            {"IntReg", &Builder::add_int_register},
            {"MaskedIntReg", &Builder::add_masked_int_register},
            {"FloatReg", &Builder::add_float_register},
            {"StringReg", &Builder::add_string_register},
            {"StructReg", &Builder::add_struct_register},
            {"Converter", &Builder::add_converter},
            {"IntConverter", &Builder::add_converter},
            {"SwissKnife", &Builder::add_swiss_knife},
            {"IntSwissKnife", &Builder::add_swiss_knife},
        };
        return table;
    }

    NodeId append(NodeData data, std::string name, Element invalidators_from) {
        auto id = static_cast<NodeId>(nodes_.size());
        // Two nodes of one name leave every reference to it ambiguous.
        if (!index_.insert_or_assign(name, id).second && !duplicate_) duplicate_ = name;
        nodes_.push_back(Node{std::move(data), std::move(name)});
        nodes_.back().meta = meta_of(invalidators_from);
        std::vector<std::string> names;
        for (Element c : invalidators_from.children()) {
            if (c.name() != "pInvalidator") continue;
            if (auto t = c.text()) names.emplace_back(trim(*t));
        }
        if (!names.empty()) pending_invalidators_.emplace_back(id, std::move(names));
        return id;
    }

    std::optional<NodeId> add_port(Element e, std::string name) {
        node_data::Port port;
        // The id is hexadecimal digits, with or without a 0x prefix ("8000",
        // "0504000D"); one that is no such number matches no chunk or event.
        auto port_id = [&](const char* constant, const char* ref) {
            if (auto t = e.child(ref); t && t->text()) {
                port.id = ref_to(*t->text());
            } else if (auto c = e.child(constant); c && c->text()) {
                std::string_view digits = trim(*c->text());
                if (digits.starts_with("0x") || digits.starts_with("0X")) digits.remove_prefix(2);
                std::uint64_t v = 0;
                const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, 16);
                if (ec == std::errc{} && end == digits.data() + digits.size() && !digits.empty())
                    port.id = ValueRef::integer(static_cast<std::int64_t>(v));
            }
        };
        if (e.child("ChunkID") || e.child("pChunkID")) {
            port.kind = node_data::PortKind::Chunk;
            port_id("ChunkID", "pChunkID");
        } else if (e.child("EventID") || e.child("pEventID")) {
            port.kind = node_data::PortKind::Event;
            port_id("EventID", "pEventID");
        }
        return append(std::move(port), std::move(name), e);
    }

    std::optional<NodeId> add_category(Element e, std::string name) {
        node_data::Category c;
        for (Element child : e.children()) {
            if (child.name() != "pFeature") continue;
            if (auto t = child.text()) c.features.push_back(link_to(*t));
        }
        return append(std::move(c), std::move(name), e);
    }

    std::optional<NodeId> add_integer(Element e, std::string name) {
        node_data::Integer n{int_ref(e, "Value", "pValue"), int_ref(e, "Min", "pMin"),
                             int_ref(e, "Max", "pMax"), int_ref(e, "Inc", "pInc"), indexed_of(e, false)};
        return append(std::move(n), std::move(name), e);
    }

    std::optional<NodeId> add_float(Element e, std::string name) {
        node_data::Float n{float_ref(e, "Value", "pValue"), float_ref(e, "Min", "pMin"),
                           float_ref(e, "Max", "pMax"), indexed_of(e, true)};
        return append(std::move(n), std::move(name), e);
    }

    std::optional<NodeId> add_boolean(Element e, std::string name) {
        node_data::Boolean n;
        n.value = int_ref(e, "Value", "pValue");
        n.on_value = child_int(e, "OnValue").value_or(1);
        n.off_value = child_int(e, "OffValue").value_or(0);
        return append(std::move(n), std::move(name), e);
    }

    std::optional<NodeId> add_string(Element e, std::string name) {
        node_data::StringValue n;
        if (auto p = child_text(e, "pValue")) {
            n.value = ref_to(*p);
        } else if (auto v = child_text(e, "Value")) {
            n.value = ValueRef::text(std::string(*v));
        }
        return append(std::move(n), std::move(name), e);
    }

    std::optional<NodeId> add_enumeration(Element e, std::string name) {
        node_data::Enumeration n;
        for (Element c : e.children()) {
            if (c.name() != "EnumEntry") continue;
            auto entry_name = c.attribute("Name");
            auto value = child_int(c, "Value");
            if (!entry_name || !value) continue;
            const NodeMeta m = meta_of(c);
            n.entries.push_back(node_data::EnumEntry{std::string(*entry_name), *value, m.display_name,
                                                     m.is_implemented, m.is_available});
        }
        n.value = int_ref(e, "Value", "pValue");
        return append(std::move(n), std::move(name), e);
    }

    std::optional<NodeId> add_command(Element e, std::string name) {
        node_data::Command n{int_ref(e, "Value", "pValue"), int_ref(e, "CommandValue", "pCommandValue")};
        return append(std::move(n), std::move(name), e);
    }

    // Address terms in document order; an inline IntSwissKnife becomes a node
    // of its own, appended before the register that uses it.
    RegisterCommon register_common(Element e) {
        RegisterCommon common;
        for (Element c : e.children()) {
            std::string_view n = c.name();
            if (n == "Address") {
                if (auto t = c.text()) {
                    if (auto v = checked_int("Address", *t)) common.address.push_back(ValueRef::integer(*v));
                }
            } else if (n == "pAddress") {
                if (auto t = c.text()) common.address.push_back(ref_to(*t));
            } else if (n == "IntSwissKnife") {
                if (auto id = add_element(c)) common.address.push_back(ValueRef::ref(Link::to(*id)));
            }
        }
        common.length = int_ref(e, "Length", "pLength");
        // An unknown or missing mode does not restrict; only RO and WO do.
        common.access = exact_access_mode(e).value_or(kDefaultAccessMode);
        common.cache_policy = cache_policy_of(e);
        common.index = register_index_of(e);
        if (auto p = child_text(e, "pPort")) common.port = ref_to(*p);
        return common;
    }

    std::optional<NodeId> add_register(Element e, std::string name, RegisterKind kind) {
        node_data::Register r{register_common(e), std::move(kind)};
        return append(std::move(r), std::move(name), e);
    }

    std::optional<NodeId> add_bytes_register(Element e, std::string name) {
        return add_register(e, std::move(name), register_kind::Bytes{});
    }
    std::optional<NodeId> add_int_register(Element e, std::string name) {
        return add_register(e, std::move(name),
                            register_kind::Int{std::nullopt, std::nullopt, sign_of(e), endianness_of(e)});
    }
    std::optional<NodeId> add_masked_int_register(Element e, std::string name) {
        return add_register(e, std::move(name), bit_field_of(e));
    }
    std::optional<NodeId> add_float_register(Element e, std::string name) {
        return add_register(e, std::move(name), register_kind::Float{endianness_of(e)});
    }
    std::optional<NodeId> add_string_register(Element e, std::string name) {
        return add_register(e, std::move(name), register_kind::Str{});
    }

    // One Int register per named StructEntry sharing the StructReg's address;
    // nothing for the StructReg itself.
    std::optional<NodeId> add_struct_register(Element e, std::string /*name*/) {
        RegisterCommon common = register_common(e);
        Endianness endianness = endianness_of(e);
        Sign sign = sign_of(e);
        for (Element entry : e.children()) {
            if (entry.name() != "StructEntry") continue;
            auto entry_name = entry.attribute("Name");
            if (!entry_name) continue;
            RegisterCommon copy = common;
            if (auto mode = exact_access_mode(entry)) copy.access = *mode;
            std::string outer = std::exchange(literal_errors_.node, std::string(*entry_name));
            register_kind::Int kind = bit_field_of(entry);
            literal_errors_.node = std::move(outer);
            if (!entry.child("Endianess")) kind.endianness = endianness;
            if (!entry.child("Sign")) kind.sign = sign;
            append(node_data::Register{std::move(copy), kind}, std::string(*entry_name), entry);
        }
        return std::nullopt;
    }

    std::optional<NodeId> add_converter(Element e, std::string name) {
        node_data::Converter n{int_ref(e, "Value", "pValue"), formula_of(e, "FormulaTo"),
                               formula_of(e, "FormulaFrom"), variables_of(e), e.name() == "Converter"};
        return append(std::move(n), std::move(name), e);
    }

    std::optional<NodeId> add_swiss_knife(Element e, std::string name) {
        node_data::SwissKnife n{formula_of(e, "Formula"), variables_of(e), e.name() == "SwissKnife"};
        return append(std::move(n), std::move(name), e);
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
    std::vector<std::pair<NodeId, std::vector<std::string>>> pending_invalidators_;
    Genicam::NameIndex index_;
    std::uint32_t anonymous_counter_ = 0;
    NodeId first_built_in_ = 0;
    std::optional<std::string> duplicate_;
    LiteralErrors literal_errors_;
};

}  // namespace

GenicamResult<Genicam> parse_description(std::string_view text) {
    auto doc = xml::Document::parse(text);
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
