#include "genicam/feature_info.hpp"

#include <tuple>
#include <unordered_map>
#include <unordered_set>

namespace oculane {

std::string_view to_string(Visibility v) {
    switch (v) {
        case Visibility::Beginner: return "Beginner";
        case Visibility::Expert: return "Expert";
        case Visibility::Guru: return "Guru";
        case Visibility::Invisible: return "Invisible";
    }
    return "Beginner";
}

std::string_view value_kind(std::string_view element) {
    static const std::unordered_map<std::string_view, std::string_view> kinds{
        {"Integer", "Integer"},       {"IntReg", "Integer"},        {"MaskedIntReg", "Integer"},
        {"IntSwissKnife", "Integer"}, {"IntConverter", "Integer"},  {"StructEntry", "Integer"},
        {"Float", "Float"},           {"FloatReg", "Float"},        {"SwissKnife", "Float"},
        {"Converter", "Float"},       {"Boolean", "Boolean"},       {"String", "String"},
        {"StringReg", "String"},      {"Enumeration", "Enumeration"}, {"Command", "Command"},
        {"Category", "Category"},     {"Register", "Register"},     {"Port", "Port"},
    };
    auto it = kinds.find(element);
    return it == kinds.end() ? std::string_view("Register") : it->second;
}

namespace {

// A state flag: a constant, or the current value of the node it names
// (non-zero, or a boolean's on value, is true).
GenicamResult<bool> flag(NodeEval& eval, const ValueRef& ref, bool absent) {
    if (ref.is_absent()) return absent;
    if (const auto* v = ref.int_if()) return *v != 0;
    if (const Link* link = ref.link_if(); link && link->is_resolved()) return eval.bool_value(link->id());
    auto v = eval.ref_int(ref);
    if (!v) return std::unexpected(std::move(v.error()));
    return *v != 0;
}

// Parent category of every node a category lists (the first one wins).
std::unordered_map<NodeId, NodeId> parents(const Genicam& map) {
    std::unordered_map<NodeId, NodeId> out;
    for (NodeId id = 0; id < map.size(); ++id)
        if (const auto* c = map.node(id).get_if<node_data::Category>())
            for (const Link& l : c->features)
                if (const NodeId* child = l.id_if(); child && *child != id) out.try_emplace(*child, id);
    return out;
}

std::vector<std::string> names_of(const Genicam& map, const std::vector<Link>& links) {
    std::vector<std::string> out;
    for (const Link& l : links) out.push_back(l.is_resolved() ? map.node(l.id()).name : l.name());
    return out;
}

}  // namespace

GenicamResult<FeatureInfo> describe_feature(NodeEval& eval, const Genicam& map, NodeId id) {
    const Node& node = map.node(id);
    const NodeMeta& m = node.meta;
    FeatureInfo info;
    info.name = node.name;
    info.kind = std::string(value_kind(m.element));
    info.display_name = m.display_name.empty() ? node.name : std::string(m.display_name);
    info.tooltip = m.tooltip;
    info.description = m.description;
    info.unit = m.unit;
    info.representation = m.representation;
    info.visibility = m.visibility;

    // Walks up the category parents; a description whose categories list
    // each other in a ring stops at the first repeat.
    const auto up = parents(map);
    std::unordered_set<NodeId> seen{id};
    for (auto it = up.find(id); it != up.end() && seen.insert(it->second).second; it = up.find(it->second))
        info.category_path.insert(info.category_path.begin(), map.node(it->second).name);

    for (auto [field, ref, absent] : {std::tuple{&info.implemented, &m.is_implemented, true},
                                      std::tuple{&info.available, &m.is_available, true},
                                      std::tuple{&info.locked, &m.is_locked, false}}) {
        auto v = flag(eval, *ref, absent);
        if (!v) return std::unexpected(std::move(v.error()));
        *field = *v;
    }

    info.selected = names_of(map, m.selected);
    for (NodeId other = 0; other < map.size(); ++other)
        for (const Link& l : map.node(other).meta.selected)
            if (const NodeId* target = l.id_if(); target && *target == id) {
                info.selectors.push_back(map.node(other).name);
                break;
            }

    if (const auto* e = node.get_if<node_data::Enumeration>()) {
        for (const auto& entry : e->entries) {
            EnumEntryInfo ei{entry.name, entry.value,
                             entry.display_name.empty() ? entry.name : std::string(entry.display_name)};
            auto implemented = flag(eval, entry.is_implemented, true);
            if (!implemented) return std::unexpected(std::move(implemented.error()));
            auto available = flag(eval, entry.is_available, true);
            if (!available) return std::unexpected(std::move(available.error()));
            ei.implemented = *implemented;
            ei.available = *available;
            info.entries.push_back(std::move(ei));
        }
    }
    return info;
}

std::vector<CategoryInfo> category_tree(const Genicam& map) {
    const auto up = parents(map);
    std::vector<CategoryInfo> out;
    std::unordered_set<NodeId> visited;
    // Depth-first with an explicit stack; a category listed under two
    // parents appears under the first only.
    std::vector<std::pair<NodeId, std::string>> stack;
    for (NodeId id = map.size(); id-- > 0;)
        if (map.node(id).is<node_data::Category>() && !up.contains(id)) stack.emplace_back(id, std::string());
    while (!stack.empty()) {
        auto [id, parent] = std::move(stack.back());
        stack.pop_back();
        if (!visited.insert(id).second) continue;
        const Node& node = map.node(id);
        CategoryInfo c{node.name, node.meta.display_name.empty() ? node.name : std::string(node.meta.display_name),
                       node.meta.visibility, std::move(parent), {}, {}};
        std::vector<NodeId> children;
        for (const Link& l : node.get_if<node_data::Category>()->features) {
            const NodeId* child = l.id_if();
            if (!child) continue;
            if (map.node(*child).is<node_data::Category>()) {
                if (visited.contains(*child)) continue;
                c.subcategories.push_back(map.node(*child).name);
                children.push_back(*child);
            } else {
                c.features.push_back(map.node(*child).name);
            }
        }
        for (auto it = children.rbegin(); it != children.rend(); ++it) stack.emplace_back(*it, c.name);
        out.push_back(std::move(c));
    }
    return out;
}

}  // namespace oculane
