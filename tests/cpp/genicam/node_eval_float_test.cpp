#include <cmath>

#include "genicam/node_eval_fixture.hpp"

namespace oculane::testing {
namespace {

TEST_F(NodeEvalTest, FloatRegisters) {
    load(reg("FloatReg", "L", "0x0", "4") +
         reg("FloatReg", "B", "0x4", "4", "<Endianess>BigEndian</Endianess>") +
         reg("FloatReg", "D", "0x8", "8", "<Endianess>BigEndian</Endianess>"));
    port_.poke(0x0, {0, 0, 128, 63});
    port_.poke(0x4, {63, 128, 0, 0});
    port_.poke(0x8, {0x3F, 0xF8, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(get_float("L").value(), 1.0);
    EXPECT_EQ(get_float("B").value(), 1.0);
    EXPECT_EQ(get_float("D").value(), 1.5);

    ASSERT_TRUE(set_float("L", 0.1));
    EXPECT_EQ(get_float("L").value(), static_cast<double>(0.1f));
    map_.clear_register_caches();
    EXPECT_EQ(get_float("L").value(), static_cast<double>(0.1f));
    ASSERT_TRUE(set_float("D", 0.1));
    map_.clear_register_caches();
    EXPECT_EQ(get_float("D").value(), 0.1);
}

TEST_F(NodeEvalTest, IntegersAsFloats) {
    load("<Integer Name=\"I\"><Value>7</Value></Integer>");
    EXPECT_EQ(get_float("I").value(), 7.0);
    const struct {
        double in;
        std::int64_t out;
    } cases[] = {{2.5, 3}, {-2.5, -3}, {2.49, 2}, {NAN, 0}, {1e30, INT64_MAX}};
    for (const auto& c : cases) {
        ASSERT_TRUE(set_float("I", c.in));
        EXPECT_EQ(get_int("I").value(), c.out) << c.in;
    }
}

TEST_F(NodeEvalTest, FloatNodesByTheirValueReference) {
    load("<Float Name=\"Const\"><Value>1.5</Value></Float>"
         "<Float Name=\"Hex\"><Value>0x10</Value></Float>"
         "<Float Name=\"ByRef\"><pValue>Reg</pValue><Min>-1</Min><pMax>Const</pMax></Float>"
         "<Float Name=\"NoBounds\"><Value>0</Value></Float>" +
         reg("FloatReg", "Reg", "0", "8"));
    ASSERT_TRUE(set_float("Const", 2.25));
    EXPECT_EQ(get_float("Const").value(), 2.25);
    EXPECT_EQ(get_float("Hex").value(), 16.0);
    EXPECT_EQ(error_text(set_float("Hex", 1.0)), "node 'Hex' is not accessible this way (access mode)");
    ASSERT_TRUE(set_float("ByRef", -0.5));
    EXPECT_EQ(get_float("ByRef").value(), -0.5);
    EXPECT_EQ(port_.writes(), 1u);
    EXPECT_EQ(eval().float_bounds(id("ByRef")).value(), (std::pair{-1.0, 2.25}));
    EXPECT_EQ(eval().float_bounds(id("NoBounds")).value(), (std::pair{-1.7976931348623157e308, 1.7976931348623157e308}));
    EXPECT_EQ(error_text(eval().float_bounds(id("Reg"))), "node 'Reg' does not support this access");
    EXPECT_EQ(get_int("Const").value(), 2);  // 2.25 rounded
}

TEST_F(NodeEvalTest, SwissKnifeVariablesTakeTheirNodesType) {
    load("<Float Name=\"F\"><Value>0.5</Value></Float>"
         "<SwissKnife Name=\"Half\"><Formula>1.5</Formula></SwissKnife>"
         "<SwissKnife Name=\"UsesFloat\"><pVariable Name=\"X\">F</pVariable><Formula>X*2</Formula></SwissKnife>"
         "<SwissKnife Name=\"UsesKnife\"><pVariable Name=\"X\">Half</pVariable><Formula>X/4</Formula></SwissKnife>");
    EXPECT_EQ(get_float("UsesFloat").value(), 1.0);
    // Half is fetched as an integer (1.5 rounds to 2), and 2/4 is integer division.
    EXPECT_EQ(get_float("UsesKnife").value(), 0.0);
    EXPECT_EQ(get_int("Half").value(), 2);
    EXPECT_EQ(error_text(set_int("Half", 1)), "node 'Half' does not support this access");
    EXPECT_EQ(error_text(set_float("Half", 1)), "node 'Half' does not support this access");
}

TEST_F(NodeEvalTest, ConverterReadsThroughFormulaFromAndWritesThroughFormulaTo) {
    load(reg("IntReg", "Raw", "0x0", "4") +
         "<Converter Name=\"Conv\"><pVariable Name=\"K\">Scale</pVariable>"
         "<FormulaTo>FROM/K</FormulaTo><FormulaFrom>TO*K</FormulaFrom><pValue>Raw</pValue></Converter>"
         "<Integer Name=\"Scale\"><Value>4</Value></Integer>"
         "<IntConverter Name=\"ConstConv\"><FormulaTo>FROM</FormulaTo><FormulaFrom>TO+1</FormulaFrom>"
         "<Value>3</Value></IntConverter>");
    port_.poke(0, {5, 0, 0, 0});
    EXPECT_EQ(get_float("Conv").value(), 20.0);
    EXPECT_EQ(get_int("Conv").value(), 20);
    ASSERT_TRUE(set_float("Conv", 10.0));  // 10.0 / 4 = 2.5, rounded to 3
    EXPECT_EQ(port_.peek(0, 4), (std::vector<std::uint8_t>{3, 0, 0, 0}));
    ASSERT_TRUE(set_int("Conv", 10));  // integer 10 / 4 = 2
    EXPECT_EQ(port_.peek(0, 4), (std::vector<std::uint8_t>{2, 0, 0, 0}));
    // A constant value feeds TO; writes have nowhere to go.
    EXPECT_EQ(get_int("ConstConv").value(), 4);
    EXPECT_EQ(error_text(set_int("ConstConv", 1)), "node 'ConstConv' is not accessible this way (access mode)");
}

TEST_F(NodeEvalTest, VariableBindingOrder) {
    load("<Integer Name=\"TO\"><Value>100</Value></Integer>"
         "<Integer Name=\"A\"><Value>1</Value></Integer>"
         "<Integer Name=\"B\"><Value>2</Value></Integer>"
         "<IntConverter Name=\"ExtraWins\"><pVariable Name=\"TO\">A</pVariable>"
         "<FormulaTo>FROM</FormulaTo><FormulaFrom>TO</FormulaFrom><pValue>B</pValue></IntConverter>"
         "<IntSwissKnife Name=\"ListWins\"><pVariable Name=\"A\">B</pVariable><Formula>A</Formula></IntSwissKnife>"
         "<IntSwissKnife Name=\"ByName\"><Formula>A+B</Formula></IntSwissKnife>"
         "<IntSwissKnife Name=\"Dangling\"><pVariable Name=\"A\">Gone</pVariable><Formula>A</Formula></IntSwissKnife>"
         "<IntSwissKnife Name=\"Unbound\"><Formula>Y+1</Formula></IntSwissKnife>");
    EXPECT_EQ(get_int("ExtraWins").value(), 2);
    EXPECT_EQ(get_int("ListWins").value(), 2);
    EXPECT_EQ(get_int("ByName").value(), 3);
    EXPECT_EQ(error_text(get_int("Dangling")), "dangling reference 'Gone'");
    EXPECT_EQ(error_text(get_int("Unbound")), "formula in 'Unbound': unbound variable 'Y'");
}

TEST_F(NodeEvalTest, FormulaFailuresRepeat) {
    load("<IntSwissKnife Name=\"Bad\"><Formula>(1+2</Formula></IntSwissKnife>"
         "<IntSwissKnife Name=\"Div\"><Formula>1/0</Formula></IntSwissKnife>");
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(error_text(get_int("Bad")), "formula in 'Bad': unbalanced parenthesis");
        EXPECT_EQ(error_text(get_float("Div")), "formula in 'Div': division by zero");
    }
}

}  // namespace
}  // namespace oculane::testing

namespace oculane::testing {
namespace {

TEST_F(NodeEvalTest, FloatOverAnIntegerRegisterUsesItsInteger) {
    load("<Float Name=\"F\"><pValue>Raw</pValue></Float>" + reg("IntReg", "Raw", "0", "4") +
         "<Float Name=\"FromKnife\"><pValue>K</pValue></Float>"
         "<SwissKnife Name=\"K\"><pVariable Name=\"R\">Raw</pVariable><Formula>R/4.0</Formula></SwissKnife>");
    port_.poke(0, {6, 0, 0, 0});
    EXPECT_EQ(get_float("F").value(), 6.0);
    EXPECT_EQ(get_float("FromKnife").value(), 1.5);  // a float formula keeps its fraction
    ASSERT_TRUE(set_float("F", 2.5));
    EXPECT_EQ(port_.peek(0, 4), (std::vector<std::uint8_t>{3, 0, 0, 0}));
    // The register itself still has no float value of its own.
    EXPECT_EQ(error_text(get_float("Raw")), "node 'Raw' does not support this access");
}

}  // namespace
}  // namespace oculane::testing
