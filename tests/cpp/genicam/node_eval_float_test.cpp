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
         "<IntSwissKnife Name=\"IntHalf\"><Formula>3/2</Formula></IntSwissKnife>"
         "<SwissKnife Name=\"UsesFloat\"><pVariable Name=\"X\">F</pVariable><Formula>X*2</Formula></SwissKnife>"
         "<SwissKnife Name=\"UsesKnife\"><pVariable Name=\"X\">Half</pVariable><Formula>X/4</Formula></SwissKnife>"
         "<IntSwissKnife Name=\"IntUsesKnife\"><pVariable Name=\"X\">Half</pVariable><Formula>X*2</Formula></IntSwissKnife>"
         "<IntSwissKnife Name=\"IntUsesInt\"><pVariable Name=\"X\">IntHalf</pVariable><Formula>X/4</Formula></IntSwissKnife>");
    const struct {
        const char* node;
        double want;
    } cases[] = {
        {"UsesFloat", 1.0},
        {"UsesKnife", 0.375},   // Half is a float node: 1.5, not 2
        {"IntUsesKnife", 3.0},  // a float variable stays a float in an integer formula
        {"IntHalf", 1.0},       // IntSwissKnife divides as integers
        {"IntUsesInt", 0.0},    // and its value is an integer to others
    };
    for (const auto& c : cases) {
        auto got = get_float(c.node);
        ASSERT_TRUE(got.has_value()) << c.node << ": " << error_text(got);
        EXPECT_EQ(*got, c.want) << c.node;
    }
    EXPECT_EQ(get_int("Half").value(), 2);
    EXPECT_EQ(error_text(set_int("Half", 1)), "node 'Half' does not support this access");
    EXPECT_EQ(error_text(set_float("Half", 1)), "node 'Half' does not support this access");
}

// Float formulas compute in floating point even when every value in them is
// an integer (a frame rate of 1000000/43970 us is 22.743, not 22); their Int
// forms keep integer arithmetic.
TEST_F(NodeEvalTest, FloatFormulasComputeInFloatingPoint) {
    load(reg("IntReg", "Period", "0x0", "4") +
         "<Converter Name=\"Rate\"><FormulaTo>1000000/FROM</FormulaTo><FormulaFrom>1000000/TO</FormulaFrom>"
         "<pValue>Period</pValue></Converter>"
         "<IntConverter Name=\"IntRate\"><FormulaTo>1000000/FROM</FormulaTo><FormulaFrom>1000000/TO</FormulaFrom>"
         "<pValue>Period</pValue></IntConverter>"
         "<SwissKnife Name=\"Knife\"><pVariable Name=\"P\">Period</pVariable><Formula>1000000/P</Formula></SwissKnife>"
         "<IntSwissKnife Name=\"IntKnife\"><pVariable Name=\"P\">Period</pVariable><Formula>1000000/P</Formula></IntSwissKnife>"
         "<SwissKnife Name=\"Mask\"><pVariable Name=\"P\">Period</pVariable><Formula>(P &amp; 0xFF)/2</Formula></SwissKnife>"
         "<SwissKnife Name=\"Big\"><Formula>0x7FFFFFFFFFFFFFFF+1</Formula></SwissKnife>"
         "<IntSwissKnife Name=\"IntBig\"><Formula>0x7FFFFFFFFFFFFFFF+1</Formula></IntSwissKnife>"
         "<SwissKnife Name=\"Kelvin\"><pVariable Name=\"R\">Period</pVariable><Formula>R/3</Formula></SwissKnife>"
         "<SwissKnife Name=\"Celsius\"><pVariable Name=\"d\">Kelvin</pVariable><Formula>d - 273.15</Formula></SwissKnife>");
    port_.poke(0, {0xC2, 0xAB, 0, 0});  // 43970
    const struct {
        const char* node;
        double want;
    } cases[] = {
        {"Rate", 1000000.0 / 43970},
        {"IntRate", 22.0},
        {"Knife", 1000000.0 / 43970},
        {"IntKnife", 22.0},
        {"Mask", 97.0},  // 0xC2 / 2, not truncated
        {"Big", 9223372036854775808.0},  // leaves the integer range instead of wrapping
        {"IntBig", -9223372036854775808.0},
        {"Celsius", 43970.0 / 3 - 273.15},  // the float variable is not truncated
    };
    for (const auto& c : cases) {
        auto got = get_float(c.node);
        ASSERT_TRUE(got.has_value()) << c.node << ": " << error_text(got);
        EXPECT_DOUBLE_EQ(*got, c.want) << c.node;
    }
    // Writing the rate goes through the float formula too: 1000000/25 = 40000.
    ASSERT_TRUE(set_float("Rate", 25.0));
    EXPECT_EQ(port_.peek(0, 4), (std::vector<std::uint8_t>{0x40, 0x9C, 0, 0}));
    ASSERT_TRUE(set_float("Rate", 30.0));  // 33333.33 rounds to 33333
    EXPECT_EQ(port_.peek(0, 4), (std::vector<std::uint8_t>{0x35, 0x82, 0, 0}));
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
    ASSERT_TRUE(set_int("Conv", 10));  // a float formula: 10 / 4 = 2.5 again, rounded to 3
    EXPECT_EQ(port_.peek(0, 4), (std::vector<std::uint8_t>{3, 0, 0, 0}));
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
