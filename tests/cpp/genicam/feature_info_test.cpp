// Feature metadata: texts, visibility, category paths, selectors and the
// implemented/available/locked flags evaluated over an in-memory port; and
// every node of every shared description described without error.
#include <gtest/gtest.h>

#include "corpus.hpp"
#include "genicam/feature_info.hpp"
#include "genicam/node_eval_fixture.hpp"

namespace oculane::testing {
namespace {

class FeatureInfoTest : public NodeEvalTest {
protected:
    void SetUp() override {
        load(R"(
<Category Name="Root"><pFeature>ImageFormat</pFeature><pFeature>Acquisition</pFeature></Category>
<Category Name="ImageFormat"><DisplayName>Image Format</DisplayName><pFeature>Width</pFeature>
  <pFeature>GainSelector</pFeature><pFeature>Gain</pFeature></Category>
<Category Name="Acquisition"><Visibility>Expert</Visibility><pFeature>Mode</pFeature>
  <pFeature>Missing</pFeature></Category>
<Integer Name="Width"><DisplayName>Width</DisplayName><ToolTip>Image width</ToolTip>
  <Description>Width of the image in pixels.</Description><Visibility>Beginner</Visibility>
  <pIsLocked>Locked</pIsLocked><Representation>Linear</Representation><Value>640</Value></Integer>
<Enumeration Name="GainSelector"><Visibility>Guru</Visibility><pSelected>Gain</pSelected>
  <EnumEntry Name="All"><Value>0</Value></EnumEntry>
  <EnumEntry Name="Red"><DisplayName>Red channel</DisplayName><pIsAvailable>RedThere</pIsAvailable><Value>1</Value></EnumEntry>
  <EnumEntry Name="Blue"><IsImplemented>0</IsImplemented><Value>2</Value></EnumEntry>
  <Value>0</Value></Enumeration>
<Float Name="Gain"><Unit>dB</Unit><Visibility>Invisible</Visibility><pIsAvailable>GainThere</pIsAvailable>
  <Value>1.5</Value></Float>
<IntSwissKnife Name="Mode"><pIsImplemented>Locked</pIsImplemented><Formula>1</Formula></IntSwissKnife>
<Integer Name="Broken"><pIsImplemented>Nowhere</pIsImplemented><Value>1</Value></Integer>
<Integer Name="Locked"><Value>1</Value></Integer>
<Boolean Name="GainThere"><pValue>GainFlag</pValue><OnValue>5</OnValue><OffValue>0</OffValue></Boolean>
<Integer Name="GainFlag"><Value>4</Value></Integer>
<Integer Name="RedThere"><Value>0</Value></Integer>
)");
    }
    FeatureInfo info(std::string_view name) {
        NodeEval e = eval();
        auto r = describe_feature(e, map_, id(name));
        EXPECT_TRUE(r) << name << ": " << error_text(r);
        return r.value_or(FeatureInfo{});
    }
};

// The texts are kept in storage the map shares with its copies, not in the
// description text or the parser's tree.
TEST_F(FeatureInfoTest, TextsOutliveTheParsedMapThroughACopy) {
    Genicam copy = map_;
    map_ = Genicam{};
    NodeEval e(copy, port_);
    auto width = describe_feature(e, copy, *copy.find("Width"));
    ASSERT_TRUE(width) << error_text(width);
    EXPECT_EQ((std::vector<std::string>{width->tooltip, width->description, width->representation}),
              (std::vector<std::string>{"Image width", "Width of the image in pixels.", "Linear"}));
    auto gain = describe_feature(e, copy, *copy.find("GainSelector"));
    ASSERT_TRUE(gain) << error_text(gain);
    EXPECT_EQ(gain->entries[1].display_name, "Red channel");
}

TEST_F(FeatureInfoTest, TextsKindsVisibilityAndPlace) {
    const struct {
        const char* name;
        const char* kind;
        const char* display;
        Visibility visibility;
        std::vector<std::string> path;
    } cases[] = {
        {"Width", "Integer", "Width", Visibility::Beginner, {"Root", "ImageFormat"}},
        {"GainSelector", "Enumeration", "GainSelector", Visibility::Guru, {"Root", "ImageFormat"}},
        {"Gain", "Float", "Gain", Visibility::Invisible, {"Root", "ImageFormat"}},
        {"Mode", "Integer", "Mode", Visibility::Beginner, {"Root", "Acquisition"}},
        {"Acquisition", "Category", "Acquisition", Visibility::Expert, {"Root"}},
        {"Root", "Category", "Root", Visibility::Beginner, {}},
        {"Locked", "Integer", "Locked", Visibility::Beginner, {}},
    };
    for (const auto& c : cases) {
        const FeatureInfo i = info(c.name);
        EXPECT_EQ(i.kind, c.kind) << c.name;
        EXPECT_EQ(i.display_name, c.display) << c.name;
        EXPECT_EQ(i.visibility, c.visibility) << c.name;
        EXPECT_EQ(i.category_path, c.path) << c.name;
    }
    const FeatureInfo w = info("Width");
    EXPECT_EQ((std::vector<std::string>{w.tooltip, w.description, w.representation}),
              (std::vector<std::string>{"Image width", "Width of the image in pixels.", "Linear"}));
    EXPECT_EQ(info("Gain").unit, "dB");
    EXPECT_EQ(info("GainSelector").selected, std::vector<std::string>{"Gain"});
    EXPECT_EQ(info("Gain").selectors, std::vector<std::string>{"GainSelector"});
}

TEST_F(FeatureInfoTest, StateFlagsFollowTheDevice) {
    EXPECT_TRUE(info("Width").locked);
    // A boolean is true at its on value only: 4 is not 5.
    EXPECT_FALSE(info("Gain").available);
    ASSERT_TRUE(set_int("GainFlag", 5));
    EXPECT_TRUE(info("Gain").available);

    auto entries = info("GainSelector").entries;
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ((std::tuple{entries[1].display_name, entries[1].available}), (std::tuple{"Red channel", false}));
    EXPECT_FALSE(entries[2].implemented);
    ASSERT_TRUE(set_int("RedThere", 1));
    EXPECT_TRUE(info("GainSelector").entries[1].available);

    // A flag naming no node is an error, not a silent "yes".
    NodeEval e = eval();
    EXPECT_EQ(error_text(describe_feature(e, map_, id("Broken"))).find("Nowhere") != std::string::npos, true);
}

TEST_F(FeatureInfoTest, CategoryTreeParentsFirst) {
    std::vector<std::string> got;
    for (const auto& c : category_tree(map_))
        got.push_back(c.name + "<" + c.parent + ">" + std::to_string(c.subcategories.size()) + "/" +
                      std::to_string(c.features.size()));
    // "Missing" names no node and is left out.
    EXPECT_EQ(got, (std::vector<std::string>{"Root<>2/0", "ImageFormat<Root>0/3", "Acquisition<Root>0/1"}));
    EXPECT_EQ(category_tree(map_)[1].display_name, "Image Format");
}

TEST(FeatureInfoCorpus, EveryNodeOfEveryDescriptionIsDescribed) {
    const auto dir = test_corpus::find_corpus();
    if (dir.empty()) GTEST_SKIP() << "shared/genicam-corpus not found beside the checkout";
    std::size_t files = 0, tooltips = 0, categorised = 0, flagged = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".xml") continue;
        std::string text = test_corpus::read_file(entry.path());
        auto parsed = parse_description(text);
        ASSERT_TRUE(parsed) << entry.path();
        Genicam map = std::move(*parsed);
        MemoryPort port;
        ++files;
        const auto tree = category_tree(map);
        EXPECT_FALSE(tree.empty()) << entry.path();
        for (NodeId id = 0; id < map.size(); ++id) {
            NodeEval e(map, port);
            auto info = describe_feature(e, map, id);
            if (!info) {
                // A flag formula the maker got wrong (one file's decimation
                // flags name a variable it never binds) is the file's fault
                // and is reported as such; anything else is ours.
                if (info.error().kind() == GenicamError::Kind::FormulaError) continue;
                ADD_FAILURE() << entry.path().filename() << " " << map.node(id).name << ": "
                              << info.error().to_string();
                continue;
            }
            tooltips += !info->tooltip.empty();
            categorised += !info->category_path.empty();
            flagged += !map.node(id).meta.is_available.is_absent() || !map.node(id).meta.is_implemented.is_absent();
        }
    }
    if (files == 0) GTEST_SKIP() << "no descriptions in " << dir;
    // Real descriptions carry these; none found means the parser dropped them.
    EXPECT_GT(tooltips, 100u);
    EXPECT_GT(categorised, 100u);
    EXPECT_GT(flagged, 10u);
}

}  // namespace
}  // namespace oculane::testing
