// Every value feature of every shared description, evaluated over a register
// space that reads as zeros and accepts every write. Read from the shared
// corpus beside the checkout; skipped with a reason where it is absent.

#include <gtest/gtest.h>

#include "corpus.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "genicam/feature_ops.hpp"
#include "genicam/memory_port.hpp"
#include "genicam/node_eval.hpp"
#include "genicam/parser.hpp"

namespace oculane::testing {
namespace {

namespace fs = std::filesystem;

using ::oculane::test_corpus::find_corpus;

using ::oculane::test_corpus::read_file;

// Every node a node's evaluation may reach: its links and the feature names
// its formulas use directly. A superset of what evaluation follows.
std::vector<NodeId> successors(const Genicam& map, NodeId id) {
    std::vector<NodeId> out;
    auto add_ref = [&](const ValueRef& r) {
        if (auto* l = r.link_if(); l && l->is_resolved()) out.push_back(l->id());
    };
    auto add_formula = [&](const FormulaSlot& slot, const std::vector<FormulaVariable>& vars) {
        for (auto& v : vars)
            if (v.target.is_resolved()) out.push_back(v.target.id());
        auto expr = Expr::parse(slot.source);
        if (!expr) return;
        for (auto& name : expr->variables()) {
            bool listed = std::any_of(vars.begin(), vars.end(), [&](auto& v) { return v.name == name; });
            if (!listed)
                if (auto target = map.find(name)) out.push_back(*target);
        }
    };
    auto add_indexed = [&](const std::optional<IndexedValues>& iv) {
        if (!iv) return;
        add_ref(iv->selector);
        for (auto& entry : iv->entries) add_ref(entry.second);
        add_ref(iv->fallback);
    };
    const NodeData& d = map.node(id).data;
    if (auto* integer = std::get_if<node_data::Integer>(&d)) {
        for (auto* r : {&integer->value, &integer->min, &integer->max, &integer->inc}) add_ref(*r);
        add_indexed(integer->indexed);
    } else if (auto* flt = std::get_if<node_data::Float>(&d)) {
        for (auto* r : {&flt->value, &flt->min, &flt->max}) add_ref(*r);
        add_indexed(flt->indexed);
    } else if (auto* boolean = std::get_if<node_data::Boolean>(&d)) {
        add_ref(boolean->value);
    } else if (auto* str = std::get_if<node_data::StringValue>(&d)) {
        add_ref(str->value);
    } else if (auto* enumeration = std::get_if<node_data::Enumeration>(&d)) {
        add_ref(enumeration->value);
    } else if (auto* cmd = std::get_if<node_data::Command>(&d)) {
        add_ref(cmd->value);
        add_ref(cmd->command_value);
    } else if (auto* reg = std::get_if<node_data::Register>(&d)) {
        add_ref(reg->common.length);
        for (auto& a : reg->common.address) add_ref(a);
        if (reg->common.index) {
            add_ref(reg->common.index->selector);
            add_ref(reg->common.index->offset);
        }
    } else if (auto* conv = std::get_if<node_data::Converter>(&d)) {
        add_ref(conv->value);
        add_formula(conv->to, conv->variables);
        add_formula(conv->from, conv->variables);
    } else if (auto* knife = std::get_if<node_data::SwissKnife>(&d)) {
        add_formula(knife->formula, knife->variables);
    }
    return out;
}

// True when some cycle of the reference graph is reachable from `start`.
bool reaches_cycle(const Genicam& map, NodeId start) {
    enum : std::uint8_t { White, Grey, Black };
    std::vector<std::uint8_t> colour(map.size(), White);
    struct Frame {
        NodeId id;
        std::vector<NodeId> next;
        std::size_t i = 0;
    };
    std::vector<Frame> stack;
    stack.push_back({start, successors(map, start)});
    colour[start] = Grey;
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.i == f.next.size()) {
            colour[f.id] = Black;
            stack.pop_back();
            continue;
        }
        NodeId n = f.next[f.i++];
        if (colour[n] == Grey) return true;
        if (colour[n] == White) {
            colour[n] = Grey;
            stack.push_back({n, successors(map, n)});
        }
    }
    return false;
}

TEST(CorpusEvaluation, EveryValueFeatureReadsOrFailsCleanly) {
    const fs::path dir = find_corpus();
    if (dir.empty()) GTEST_SKIP() << "shared/genicam-corpus not found above " << OCULANE_SOURCE_DIR;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".xml") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());

    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        std::string text = read_file(file);
        auto parsed = parse_description(text);
        ASSERT_TRUE(parsed.has_value()) << parsed.error().to_string();
        Genicam& map = *parsed;
        MemoryPort port;
        FeatureAccess features({true, true, false, &map, &port});

        std::size_t ok = 0, failed = 0, cycles = 0;
        std::map<std::string, std::size_t> by_kind;
        for (NodeId id = 0; id < map.size(); ++id) {
            const Node& node = map.node(id);
            const std::string name = node.name;
            std::optional<GenicamError> error;
            auto note = [&](const auto& r) {
                if (r) ++ok; else error = r.error();
            };
            if (node.is<node_data::Integer>()) note(features.get_integer(name));
            else if (node.is<node_data::Float>()) note(features.get_float(name));
            else if (node.is<node_data::Boolean>()) note(features.get_boolean(name));
            else if (node.is<node_data::Enumeration>()) note(features.get_enum(name));
            else if (node.is<node_data::StringValue>()) note(features.get_string(name));
            else continue;
            ASSERT_TRUE(map.evaluation_stack().empty()) << name;
            if (!error) continue;
            ++failed;
            std::string kind = error->to_string();
            kind = kind.substr(0, std::min(kind.find('\''), kind.find(':')));
            ++by_kind[kind];
            // A duplicate name reaches the node appended last; judge that one.
            const NodeId evaluated = *map.find(name);
            if (error->is<genicam_error::CircularReference>()) {
                ++cycles;
                EXPECT_TRUE(reaches_cycle(map, evaluated)) << name << ": " << error->to_string();
            }
            EXPECT_FALSE(error->is<genicam_error::FeatureNotFound>()) << name;
            // A variable is only unbound when the description declares it
            // nowhere: no node, pVariable or Constant carries that name (one
            // maker's file has four such formulas).
            const std::string message = error->to_string();
            if (auto at = message.find("unbound variable '"); at != std::string::npos) {
                const std::size_t from = at + std::string_view("unbound variable '").size();
                const std::string var = message.substr(from, message.find('\'', from) - from);
                EXPECT_EQ(text.find("Name=\"" + var + "\""), std::string::npos) << name << ": " << message;
            }
        }
        EXPECT_GT(ok, 0u);
        std::cout << file.filename().string() << ": " << ok << " read, " << failed << " failed ("
                  << cycles << " circular), " << port.reads() << " register reads;";
        for (auto& [k, n] : by_kind) std::cout << " [" << k << "] " << n;
        std::cout << "\n";
    }
}

}  // namespace
}  // namespace oculane::testing
