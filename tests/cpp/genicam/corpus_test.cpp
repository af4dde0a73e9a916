// Real makers' descriptions, read from the shared corpus beside the checkout.
// They are never copied into the repository; without the folder the tests
// skip and say why.

#include <gtest/gtest.h>

#include "corpus.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "genicam/evaluator.hpp"
#include "genicam/node.hpp"
#include "genicam/parser.hpp"
#include "genicam/xml.hpp"

using namespace oculane;

namespace {

namespace fs = std::filesystem;

using ::oculane::test_corpus::find_corpus;

using ::oculane::test_corpus::read_file;

constexpr std::string_view kPrefixedFile = "huaray-ds5131mg30ce.xml";

}  // namespace

class CorpusTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = find_corpus();
        if (dir_.empty()) GTEST_SKIP() << "shared/genicam-corpus not found above " << OCULANE_SOURCE_DIR;
    }
    std::vector<fs::path> files() const {
        std::vector<fs::path> out;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            if (entry.path().extension() == ".xml") out.push_back(entry.path());
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    fs::path dir_;
};

TEST_F(CorpusTest, EveryDescriptionParsesWithItsWellKnownFeatures) {
    auto all = files();
    ASSERT_GE(all.size(), 10u) << "corpus folder has too few descriptions: " << dir_;
    for (const fs::path& path : all) {
        SCOPED_TRACE(path.filename().string());
        std::string text = read_file(path);
        auto map = parse_description(text);
        ASSERT_TRUE(map.has_value()) << map.error().to_string();

        // Sane size: real descriptions hold hundreds to thousands of nodes,
        // roughly one per 100 to 1000 bytes of text.
        EXPECT_GE(map->size(), 50u);
        EXPECT_GE(map->size(), text.size() / 2000);
        EXPECT_LE(map->size(), text.size() / 50);

        bool gentl_only = path.filename().string().find("gentl") != std::string::npos;
        if (!gentl_only) {
            for (std::string_view name : {"Width", "Height", "PixelFormat"}) {
                auto id = map->find(name);
                ASSERT_TRUE(id.has_value()) << name;
                EXPECT_EQ(map->node(*id).name, name);
            }
            auto pf = map->node(*map->find("PixelFormat")).get_if<node_data::Enumeration>();
            ASSERT_NE(pf, nullptr);
            EXPECT_FALSE(pf->entries.empty());
        }
        if (auto payload = map->find("PayloadSize")) {
            EXPECT_EQ(map->node(*payload).name, "PayloadSize");
        }

        // The three nodes the library relies on are always there.
        for (std::string_view name : {"TLParamsLocked", "GevSCPSPacketSize", "GevTimestampTickFrequency"}) {
            EXPECT_TRUE(map->find(name).has_value()) << name;
        }

        // Every resolved link points into the table and the index is
        // consistent with the names.
        for (const auto& [name, id] : map->name_index()) {
            ASSERT_LT(id, map->size());
            EXPECT_EQ(map->node(id).name, name);
        }
        for (const auto& [from, list] : map->invalidation_table()) {
            ASSERT_LT(from, map->size());
            for (NodeId id : list) ASSERT_LT(id, map->size());
        }
    }
}

TEST_F(CorpusTest, PayloadSizePresentWhereTheDeviceHasOne) {
    for (std::string_view file : {"basler-a2A2600-20gmBAS.xml", "flir-bfs-pge-50s4c.xml",
                                  "teledyne-dalsa-shadobox.xml", "avt-manta-g507b.xml"}) {
        SCOPED_TRACE(std::string(file));
        fs::path path = dir_ / file;
        if (!fs::exists(path)) continue;
        auto map = parse_description(read_file(path));
        ASSERT_TRUE(map.has_value()) << map.error().to_string();
        EXPECT_TRUE(map->find("PayloadSize").has_value());
    }
}

TEST_F(CorpusTest, LeadingCommentBeforeDeclarationIsAccepted) {
    fs::path path = dir_ / kPrefixedFile;
    if (!fs::exists(path)) GTEST_SKIP() << kPrefixedFile << " not in the corpus";
    std::string text = read_file(path);
    ASSERT_EQ(text.substr(0, 4), "<!--");
    auto map = parse_description(text);
    ASSERT_TRUE(map.has_value()) << map.error().to_string();
    text.erase(0, text.find("<?xml"));
    auto cut = parse_description(text);
    ASSERT_TRUE(cut.has_value()) << cut.error().to_string();
    // The comment is no content: the same nodes either way.
    ASSERT_EQ(map->size(), cut->size());
    for (NodeId i = 0; i < map->size(); ++i) EXPECT_EQ(map->node(i).name, cut->node(i).name);
}

// A description with address formulas written inside their registers: each
// becomes a swiss knife node of its own, appended before the register.
TEST_F(CorpusTest, InlineAddressFormulasBecomeAnonymousNodes) {
    fs::path path = dir_ / "avt-mako-u-029b.xml";
    if (!fs::exists(path)) GTEST_SKIP() << "avt-mako-u-029b.xml not in the corpus";
    auto map = parse_description(read_file(path));
    ASSERT_TRUE(map.has_value()) << map.error().to_string();
    std::size_t inline_terms = 0;
    for (const Node& n : map->nodes()) {
        const auto* reg = n.get_if<node_data::Register>();
        if (reg == nullptr) continue;
        for (const ValueRef& term : reg->common.address) {
            const Link* link = term.link_if();
            if (link == nullptr || !link->is_resolved()) continue;
            const Node& target = map->node(link->id());
            if (target.is<node_data::SwissKnife>()) {
                ++inline_terms;
                EXPECT_LT(link->id(), static_cast<NodeId>(&n - map->nodes().data())) << n.name;
            }
        }
    }
    // 304 inline formulas, shared by the entries of their StructReg.
    EXPECT_GE(inline_terms, 304u);
}

TEST_F(CorpusTest, EveryFormulaCompiles) {
    for (const fs::path& path : files()) {
        SCOPED_TRACE(path.filename().string());
        std::string text = read_file(path);
        auto map = parse_description(text);
        ASSERT_TRUE(map.has_value()) << map.error().to_string();
        std::size_t compiled = 0;
        auto check = [&](const Node& n, const FormulaSlot& slot) {
            if (slot.source.empty()) return;
            auto expr = Expr::parse(slot.source);
            ++compiled;
            EXPECT_TRUE(expr.has_value()) << n.name << ": " << slot.source << ": " << expr.error();
        };
        for (const Node& n : map->nodes()) {
            if (const auto* sk = n.get_if<node_data::SwissKnife>()) check(n, sk->formula);
            if (const auto* cv = n.get_if<node_data::Converter>()) {
                check(n, cv->to);
                check(n, cv->from);
            }
        }
        // Every file but the smallest carries formulas.
        if (text.size() > 100'000) {
            EXPECT_GT(compiled, 0u);
        }
    }
}
