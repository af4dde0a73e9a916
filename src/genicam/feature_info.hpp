#pragma once
// What a feature is, for people and tools: its kind, texts, unit,
// visibility, place in the category tree and whether it is implemented,
// available and locked at the moment (the last three evaluated against the
// device), plus the category tree itself.
//
// Like every node operation this runs under the camera-state lock, with
// exclusive use of the node map.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error/genicam_error.hpp"
#include "genicam/node.hpp"
#include "genicam/node_eval.hpp"

namespace oculane {

struct EnumEntryInfo {
    std::string name;
    std::int64_t value = 0;
    std::string display_name;
    bool implemented = true;
    bool available = true;
};

struct FeatureInfo {
    std::string name;
    // What the value is: Integer, Float, Boolean, String, Enumeration,
    // Command, Category, Register or Port.
    std::string kind;
    std::string display_name;  // the name itself when the description gives none
    std::string tooltip;
    std::string description;
    std::string unit;
    std::string representation;
    Visibility visibility = Visibility::Beginner;
    std::vector<std::string> category_path;  // outermost category first; empty when in none
    bool implemented = true;
    bool available = true;
    bool locked = false;
    std::vector<std::string> selected;   // features this one selects (pSelected)
    std::vector<std::string> selectors;  // features that select this one
    std::vector<EnumEntryInfo> entries;  // enumerations only, document order
};

// What generic access needs of a feature: the kind of its value (as
// FeatureInfo::kind) and its unit, both from the description alone.
struct FeatureKind {
    std::string kind;
    std::string unit;
};

struct CategoryInfo {
    std::string name;
    std::string display_name;
    Visibility visibility = Visibility::Beginner;
    std::string parent;  // empty for a top-level category
    std::vector<std::string> subcategories;
    std::vector<std::string> features;  // members that are not categories, document order
};

// The kind a description element gives its node ("MaskedIntReg" -> "Integer").
std::string_view value_kind(std::string_view element);

GenicamResult<FeatureInfo> describe_feature(NodeEval& eval, const Genicam& map, NodeId id);

// Every category reachable from the top-level ones (those no category lists),
// parents before children, each once; members naming no node are left out.
std::vector<CategoryInfo> category_tree(const Genicam& map);

}  // namespace oculane
