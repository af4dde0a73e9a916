#include "genicam/node.hpp"

#include <algorithm>
#include <cstring>

#include "util/overload.hpp"

namespace oculane {

std::string_view to_string(AccessMode mode) {
    switch (mode) {
        case AccessMode::RO: return "RO";
        case AccessMode::WO: return "WO";
        case AccessMode::RW: return "RW";
    }
    return "RW";
}

std::string_view TextArena::store(std::string_view text) {
    if (text.empty()) return {};
    bytes_ += text.size();
    if (text.size() > kBlock / 4) {
        // A long text gets a block of its own; the current block keeps its room.
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(text.size()));
        std::memcpy(blocks_.back().get(), text.data(), text.size());
        return {blocks_.back().get(), text.size()};
    }
    if (text.size() > free_) {
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlock));
        next_ = blocks_.back().get();
        free_ = kBlock;
    }
    char* at = next_;
    std::memcpy(at, text.data(), text.size());
    next_ += text.size();
    free_ -= text.size();
    return {at, text.size()};
}

std::string_view kind_name(const NodeData& data) {
    return std::visit(
        Overload{
            [](const node_data::Converter&) { return std::string_view("Converter"); },
            [](const node_data::Category&) { return std::string_view("Category"); },
            [](const node_data::Integer&) { return std::string_view("Integer"); },
            [](const node_data::Float&) { return std::string_view("Float"); },
            [](const node_data::Boolean&) { return std::string_view("Boolean"); },
            [](const node_data::StringValue&) { return std::string_view("StringValue"); },
            [](const node_data::Enumeration&) { return std::string_view("Enumeration"); },
            [](const node_data::Command&) { return std::string_view("Command"); },
            [](const node_data::Register&) { return std::string_view("Register"); },
            [](const node_data::SwissKnife&) { return std::string_view("SwissKnife"); },
            [](const node_data::Port&) { return std::string_view("Port"); },
        },
        data);
}

std::optional<NodeId> Genicam::find(std::string_view name) const {
    auto it = name_index_.find(name);
    if (it == name_index_.end()) return std::nullopt;
    return it->second;
}

GenicamResult<NodeId> Genicam::lookup(std::string_view name) const {
    if (auto id = find(name)) return *id;
    return std::unexpected(GenicamError::feature_not_found(std::string(name)));
}

std::span<const NodeId> Genicam::invalidated_by(NodeId id) const {
    auto it = invalidation_.find(id);
    if (it == invalidation_.end()) return {};
    return it->second;
}

GenicamResult<void> Genicam::enter(NodeId id) {
    if (std::find(eval_stack_.begin(), eval_stack_.end(), id) != eval_stack_.end()) {
        eval_stack_.clear();
        return std::unexpected(GenicamError::circular_reference(nodes_[id].name));
    }
    if (eval_stack_.size() >= kMaxEvalDepth) {
        eval_stack_.clear();
        return std::unexpected(GenicamError::formula_error(
            nodes_[id].name, fmt::format("references nested deeper than {} nodes", kMaxEvalDepth)));
    }
    eval_stack_.push_back(id);
    return {};
}

void Genicam::leave() {
    if (!eval_stack_.empty()) eval_stack_.pop_back();
}

GenicamResult<EvalScope> Genicam::guard(NodeId id) {
    if (auto r = enter(id); !r) return std::unexpected(std::move(r.error()));
    return EvalScope(*this);
}

void Genicam::clear_register_caches() {
    for (Node& n : nodes_) {
        if (auto* reg = n.get_if<node_data::Register>()) reg->common.cache.reset();
    }
}

}  // namespace oculane
