#include "genicam/data_model.hpp"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "genicam/feature_info.hpp"
#include "util/overload.hpp"

namespace oculane {

namespace {

// Stands in for the control port: evaluation of chunk and event data
// refuses device registers before it would get here.
class NoDevice final : public PortIo {
public:
    CameraResult<void> read(std::uint64_t, std::span<std::uint8_t>) override {
        return std::unexpected(CameraError::unsupported("device reads while chunk or event data is evaluated"));
    }
    CameraResult<void> write(std::uint64_t, std::span<const std::uint8_t>) override {
        return std::unexpected(CameraError::unsupported("device writes while chunk or event data is evaluated"));
    }
};

void visit_ref(const ValueRef& ref, std::vector<NodeId>& out) {
    if (const Link* link = ref.link_if(); link && link->is_resolved()) out.push_back(link->id());
}

void visit_variables(const std::vector<FormulaVariable>& vars, std::vector<NodeId>& out) {
    for (const auto& v : vars)
        if (!v.is_constant() && !v.is_expression() && v.target.is_resolved()) out.push_back(v.target.id());
}

void visit_indexed(const std::optional<IndexedValues>& iv, std::vector<NodeId>& out) {
    if (!iv) return;
    for (const auto& entry : iv->entries) visit_ref(entry.second, out);
    visit_ref(iv->fallback, out);
}

// The nodes a node's value is computed from (not its bounds or state flags).
void value_links(const Node& node, std::vector<NodeId>& out) {
    std::visit(Overload{
                   [&](const node_data::Converter& n) {
                       visit_ref(n.value, out);
                       visit_variables(n.variables, out);
                   },
                   [](const node_data::Category&) {},
                   [&](const node_data::Integer& n) {
                       visit_ref(n.value, out);
                       visit_indexed(n.indexed, out);
                   },
                   [&](const node_data::Float& n) {
                       visit_ref(n.value, out);
                       visit_indexed(n.indexed, out);
                   },
                   [&](const node_data::Boolean& n) { visit_ref(n.value, out); },
                   [&](const node_data::StringValue& n) { visit_ref(n.value, out); },
                   [&](const node_data::Enumeration& n) { visit_ref(n.value, out); },
                   [&](const node_data::Command& n) { visit_ref(n.value, out); },
                   [&](const node_data::Register& n) { visit_ref(n.common.port, out); },
                   [&](const node_data::SwissKnife& n) { visit_variables(n.variables, out); },
                   [](const node_data::Port&) {},
               },
               node.data);
}

bool has_value_kind(const Node& node) {
    const auto kind = value_kind(node.meta.element);
    return kind == "Integer" || kind == "Float" || kind == "Boolean" || kind == "String" || kind == "Enumeration";
}

bool is_data_port(const Node& node) {
    const auto* port = node.get_if<node_data::Port>();
    return port && port->kind != node_data::PortKind::Device;
}

}  // namespace

std::optional<std::span<const std::uint8_t>> ChunkPortData::bytes(node_data::PortKind kind, std::uint64_t id) {
    if (kind != node_data::PortKind::Chunk || id > 0xFFFFFFFFu) return std::nullopt;
    return chunk_data(payload_, chunks_, static_cast<std::uint32_t>(id));
}

std::optional<std::span<const std::uint8_t>> EventPortData::bytes(node_data::PortKind kind, std::uint64_t id) {
    if (kind != node_data::PortKind::Event || id != id_) return std::nullopt;
    return raw_;
}

std::shared_ptr<DataModel> DataModel::of(const Genicam& live) {
    const auto nodes = live.nodes();
    if (std::none_of(nodes.begin(), nodes.end(), is_data_port)) return nullptr;
    return std::make_shared<DataModel>(live);
}

DataModel::DataModel(Genicam map) : map_(std::move(map)) {}

void DataModel::index() {
    if (indexed_) return;
    indexed_ = true;
    // The id of every chunk and event port; a pChunkID that names another
    // node is evaluated once, here.
    std::unordered_map<NodeId, std::uint64_t> port_ids;
    {
        NoDevice device;
        ChunkPortData none({}, {});
        NodeEval eval(map_, device, none);
        for (NodeId id = 0; id < map_.size(); ++id) {
            const Node& node = map_.node(id);
            if (!is_data_port(node)) continue;
            const ValueRef ref = node.get_if<node_data::Port>()->id;
            if (ref.is_absent()) continue;
            if (auto v = eval.ref_int(ref)) port_ids.emplace(id, static_cast<std::uint64_t>(*v));
        }
    }
    std::unordered_set<NodeId> listed;
    for (const Node& node : map_.nodes())
        if (const auto* c = node.get_if<node_data::Category>())
            for (const Link& l : c->features)
                if (l.is_resolved()) listed.insert(l.id());
    std::vector<NodeId> sorted(listed.begin(), listed.end());
    std::sort(sorted.begin(), sorted.end());

    std::vector<NodeId> stack;
    std::unordered_set<NodeId> seen;
    for (NodeId start : sorted) {
        if (!has_value_kind(map_.node(start))) continue;
        DataFeature feature{start};
        bool reached = false;
        stack.assign(1, start);
        seen.clear();
        // Each node once: descriptions may loop, and the walk must end.
        while (!stack.empty()) {
            const NodeId at = stack.back();
            stack.pop_back();
            if (!seen.insert(at).second) continue;
            const Node& node = map_.node(at);
            if (is_data_port(node)) {
                auto it = port_ids.find(at);
                if (it == port_ids.end()) continue;
                const auto kind = node.get_if<node_data::Port>()->kind;
                if (!reached) feature.kind = kind;
                reached = true;
                if (kind == feature.kind) feature.ports.push_back(it->second);
                continue;
            }
            value_links(node, stack);
        }
        if (reached) features_.push_back(std::move(feature));
    }

    for (const auto& [port, id] : port_ids) {
        const Node& node = map_.node(port);
        if (node.get_if<node_data::Port>()->kind != node_data::PortKind::Event) continue;
        std::string_view name = node.name;
        std::string found;
        if (name.size() > 9 && name.starts_with("Event") && name.ends_with("Port")) {
            found = std::string(name.substr(5, name.size() - 9));
        } else {
            // Else the shortest feature reading it that is named Event<Name>.
            for (const auto& f : features_) {
                const std::string& fname = map_.node(f.id).name;
                if (f.kind != node_data::PortKind::Event || !fname.starts_with("Event") || fname.size() <= 5) continue;
                if (std::find(f.ports.begin(), f.ports.end(), id) == f.ports.end()) continue;
                if (found.empty() || fname.size() - 5 < found.size()) found = fname.substr(5);
            }
            if (found.empty()) found = node.name;
        }
        events_.push_back(EventKind{id, std::move(found)});
    }
    std::sort(events_.begin(), events_.end(), [](const EventKind& a, const EventKind& b) { return a.id < b.id; });
}

GenicamResult<DataValue> DataModel::evaluate(NodeId id, PortData& data) {
    NoDevice device;
    NodeEval eval(map_, device, data);
    const auto kind = value_kind(map_.node(id).meta.element);
    auto wrap = [](auto r) -> GenicamResult<DataValue> {
        if (!r) return std::unexpected(std::move(r.error()));
        return DataValue(std::move(*r));
    };
    if (kind == "Integer") return wrap(eval.int_value(id));
    if (kind == "Float") return wrap(eval.float_value(id));
    if (kind == "Boolean") return wrap(eval.bool_value(id));
    if (kind == "String" || kind == "Enumeration") return wrap(eval.string_value(id));
    return std::unexpected(GenicamError::unsupported_access(map_.node(id).name));
}

GenicamResult<DataValue> DataModel::value(std::string_view name, PortData& data) {
    MutexLock lock(m_);
    auto id = map_.lookup(name);
    if (!id) return std::unexpected(std::move(id.error()));
    return evaluate(*id, data);
}

std::vector<std::pair<std::string, DataValue>> DataModel::chunk_values(PortData& data,
                                                                       std::span<const ChunkEntry> chunks) {
    MutexLock lock(m_);
    index();
    std::vector<std::pair<std::string, DataValue>> out;
    for (const auto& f : features_) {
        if (f.kind != node_data::PortKind::Chunk) continue;
        const bool present = std::all_of(f.ports.begin(), f.ports.end(), [&](std::uint64_t id) {
            return std::any_of(chunks.begin(), chunks.end(), [&](const ChunkEntry& c) { return c.id == id; });
        });
        if (!present) continue;
        if (auto v = evaluate(f.id, data)) out.emplace_back(map_.node(f.id).name, std::move(*v));
    }
    return out;
}

std::vector<std::pair<std::string, DataValue>> DataModel::event_values(PortData& data, std::uint64_t event_id) {
    MutexLock lock(m_);
    index();
    std::vector<std::pair<std::string, DataValue>> out;
    for (const auto& f : features_) {
        if (f.kind != node_data::PortKind::Event) continue;
        if (std::find(f.ports.begin(), f.ports.end(), event_id) == f.ports.end()) continue;
        if (auto v = evaluate(f.id, data)) out.emplace_back(map_.node(f.id).name, std::move(*v));
    }
    return out;
}

std::string DataModel::event_name(std::uint64_t event_id) {
    MutexLock lock(m_);
    index();
    for (const auto& e : events_)
        if (e.id == event_id) return e.name;
    return {};
}

std::optional<std::uint64_t> DataModel::event_id(std::string_view name) {
    MutexLock lock(m_);
    index();
    for (const auto& e : events_)
        if (e.name == name) return e.id;
    return std::nullopt;
}

std::vector<std::string> DataModel::chunk_feature_names() {
    MutexLock lock(m_);
    index();
    std::vector<std::string> out;
    for (const auto& f : features_)
        if (f.kind == node_data::PortKind::Chunk) out.push_back(map_.node(f.id).name);
    return out;
}

}  // namespace oculane
