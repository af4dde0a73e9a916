#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "genicam/evaluator.hpp"
#include "genicam/node.hpp"
#include "genicam/parser.hpp"

using namespace oculane;

namespace {

// A chain A -> B -> C -> A of integers, plus an unrelated register.
Genicam cyclic_map() {
    auto map = parse_description(R"(<R>
        <Integer Name="A"><pValue>B</pValue></Integer>
        <Integer Name="B"><pValue>C</pValue></Integer>
        <Integer Name="C"><pValue>A</pValue></Integer>
        <IntReg Name="Reg"><Address>0</Address><Length>4</Length></IntReg>
        <IntReg Name="Other"><Address>4</Address></IntReg>
        <SwissKnife Name="K"><Formula>1+2</Formula></SwissKnife>
    </R>)");
    EXPECT_TRUE(map.has_value());
    return std::move(*map);
}

// Walks value references the way node evaluation does, guarding each node.
GenicamResult<void> walk(Genicam& map, NodeId id) {
    auto scope = map.guard(id);
    if (!scope) return std::unexpected(scope.error());
    if (const auto* i = map.node(id).get_if<node_data::Integer>()) {
        if (const Link* l = i->value.link_if()) return walk(map, l->id());
    }
    return {};
}

}  // namespace

TEST(EvaluationGuard, CycleIsReportedWithTheReenteredNodeAndLeavesTheStackEmpty) {
    Genicam map = cyclic_map();
    NodeId a = *map.find("A");
    auto r = walk(map, a);
    ASSERT_FALSE(r.has_value());
    ASSERT_TRUE(r.error().is<genicam_error::CircularReference>());
    EXPECT_EQ(r.error().to_string(), "circular reference through 'A'");
    EXPECT_TRUE(map.evaluation_stack().empty());

    // An unrelated evaluation right after succeeds and cleans up after itself.
    EXPECT_TRUE(walk(map, *map.find("Reg")).has_value());
    EXPECT_TRUE(map.evaluation_stack().empty());

    // Entering from the middle of the cycle names that node.
    auto from_b = walk(map, *map.find("B"));
    ASSERT_FALSE(from_b.has_value());
    EXPECT_EQ(from_b.error().to_string(), "circular reference through 'B'");
}

TEST(EvaluationGuard, EnterAndLeavePair) {
    Genicam map = cyclic_map();
    NodeId reg = *map.find("Reg"), other = *map.find("Other");
    ASSERT_TRUE(map.enter(reg).has_value());
    ASSERT_TRUE(map.enter(other).has_value());
    EXPECT_EQ(map.evaluation_stack().size(), 2u);
    EXPECT_EQ(map.evaluation_stack().back(), other);
    map.leave();
    EXPECT_EQ(map.evaluation_stack().back(), reg);
    // Re-entering a node still on the stack is a cycle even when it is not on top.
    ASSERT_TRUE(map.enter(other).has_value());
    EXPECT_FALSE(map.enter(reg).has_value());
    EXPECT_TRUE(map.evaluation_stack().empty());
    map.leave();  // nothing to pop: no effect
    EXPECT_TRUE(map.evaluation_stack().empty());
}

TEST(EvaluationGuard, DeepChainsAreRefusedBeforeTheStackRunsOut) {
    // A long, acyclic chain of references that a description could contain.
    std::string body = "<R>";
    const std::size_t n = Genicam::kMaxEvalDepth + 10;
    for (std::size_t i = 0; i < n; ++i) {
        body += fmt::format("<Integer Name='N{}'><pValue>N{}</pValue></Integer>", i, i + 1);
    }
    body += fmt::format("<Integer Name='N{}'><Value>1</Value></Integer></R>", n);
    Genicam map = parse_description(body).value();
    auto r = walk(map, *map.find("N0"));
    ASSERT_FALSE(r.has_value());
    ASSERT_TRUE(r.error().is<genicam_error::FormulaError>()) << r.error().to_string();
    EXPECT_TRUE(map.evaluation_stack().empty());
    // A chain within the limit is fine.
    EXPECT_TRUE(walk(map, *map.find(fmt::format("N{}", n - Genicam::kMaxEvalDepth + 1))).has_value());
    EXPECT_TRUE(map.evaluation_stack().empty());
}

TEST(NodeMap, LookupIsExactAndReportsMissingNames) {
    Genicam map = cyclic_map();
    EXPECT_EQ(map.lookup("Reg").value(), *map.find("Reg"));
    for (std::string_view missing : {"reg", "Reg ", "", "Nope"}) {
        auto r = map.lookup(missing);
        ASSERT_FALSE(r.has_value()) << missing;
        EXPECT_EQ(r.error().to_string(), fmt::format("feature '{}' not found", missing));
    }
}

TEST(NodeMap, ClearingCachesTouchesOnlyRegisterBytes) {
    Genicam map = cyclic_map();
    auto& reg = *map.node(*map.find("Reg")).get_if<node_data::Register>();
    auto& other = *map.node(*map.find("Other")).get_if<node_data::Register>();
    reg.common.cache = std::vector<std::uint8_t>{1, 2, 3, 4};
    other.common.cache = std::vector<std::uint8_t>{};
    map.clear_register_caches();
    EXPECT_FALSE(reg.common.cache.has_value());
    EXPECT_FALSE(other.common.cache.has_value());
    EXPECT_EQ(reg.common.length, ValueRef::integer(4));
}

TEST(NodeMap, CopiesAreDeepAndShareOnlyCompiledFormulas) {
    Genicam map = cyclic_map();
    NodeId reg = *map.find("Reg"), knife = *map.find("K");
    map.node(reg).get_if<node_data::Register>()->common.cache = std::vector<std::uint8_t>{9};
    auto& slot = map.node(knife).get_if<node_data::SwissKnife>()->formula;
    slot.compiled = std::make_shared<const Expr>(Expr::parse(slot.source).value());

    Genicam copy = map;
    copy.node(reg).get_if<node_data::Register>()->common.cache->at(0) = 7;
    copy.node(*copy.find("A")).get_if<node_data::Integer>()->value = ValueRef::integer(5);
    EXPECT_EQ(map.node(reg).get_if<node_data::Register>()->common.cache->at(0), 9);
    EXPECT_TRUE(map.node(*map.find("A")).get_if<node_data::Integer>()->value.link_if() != nullptr);
    const auto& copied_slot = copy.node(knife).get_if<node_data::SwissKnife>()->formula;
    EXPECT_EQ(copied_slot.source, "1+2");
    ASSERT_NE(copied_slot.compiled, nullptr);
    EXPECT_EQ(copied_slot.compiled->eval({}).value(), Number::from_int(3));
}

TEST(NodeModel, EnumerationCodesAndDefaults) {
    EXPECT_EQ(static_cast<int>(AccessMode::RO), 0);
    EXPECT_EQ(static_cast<int>(AccessMode::WO), 1);
    EXPECT_EQ(static_cast<int>(AccessMode::RW), 2);
    EXPECT_EQ(static_cast<int>(Sign::Signed), 0);
    EXPECT_EQ(static_cast<int>(Endianness::Big), 1);
    EXPECT_EQ(static_cast<int>(CachePolicy::CacheOnRead), 2);
    RegisterCommon common;
    EXPECT_EQ(common.access, AccessMode::RW);
    EXPECT_EQ(common.cache_policy, CachePolicy::CacheOnRead);
    register_kind::Int k;
    EXPECT_EQ(k.sign, Sign::Unsigned);
    EXPECT_EQ(k.endianness, Endianness::Little);
    EXPECT_EQ(ValueRef().tag(), ValueRef::Tag::Absent);
    EXPECT_EQ(ValueRef::ref(Link::by_name("x")).tag(), ValueRef::Tag::Ref);
    EXPECT_EQ(ValueRef::text("x").tag(), ValueRef::Tag::Text);
}
