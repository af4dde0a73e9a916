// Formula variables bound to constants written in the description, and the
// binding table kept next to each compiled program.
#include "genicam/node_eval_fixture.hpp"

namespace oculane::testing {
namespace {

TEST_F(NodeEvalTest, ConstantsBindAsTypedNumbers) {
    load("<IntSwissKnife Name=\"Dec\"><Constant Name=\"C\">7</Constant><Formula>C*2</Formula></IntSwissKnife>"
         "<IntSwissKnife Name=\"Hex\"><Constant Name=\"C\">0x10</Constant><Formula>C+1</Formula></IntSwissKnife>"
         "<IntSwissKnife Name=\"Neg\"><Constant Name=\"C\"> -3 </Constant><Formula>C</Formula></IntSwissKnife>"
         // A decimal point makes a float constant; a SwissKnife divides in
         // floating point either way, an IntSwissKnife as integers.
         "<SwissKnife Name=\"Flt\"><Constant Name=\"C\">1000.0</Constant><Formula>1500/C</Formula></SwissKnife>"
         "<SwissKnife Name=\"FltDiv\"><Constant Name=\"C\">1000</Constant><Formula>1500/C</Formula></SwissKnife>"
         "<IntSwissKnife Name=\"IntDiv\"><Constant Name=\"C\">1000</Constant><Formula>1500/C</Formula></IntSwissKnife>"
         "<SwissKnife Name=\"Exp\"><Constant Name=\"C\">2.5e1</Constant><Formula>C</Formula></SwissKnife>");
    const struct {
        const char* node;
        double want;
    } cases[] = {{"Dec", 14}, {"Hex", 17}, {"Neg", -3}, {"Flt", 1.5}, {"FltDiv", 1.5}, {"IntDiv", 1}, {"Exp", 25}};
    for (const auto& c : cases) {
        auto got = get_float(c.node);
        ASSERT_TRUE(got.has_value()) << c.node << ": " << error_text(got);
        EXPECT_EQ(*got, c.want) << c.node;
    }
    EXPECT_EQ(port_.reads(), 0u);
}

TEST_F(NodeEvalTest, ConstantsInConverters) {
    load(reg("IntReg", "Raw", "0x0", "4") +
         "<Converter Name=\"Temp\"><Constant Name=\"K\">273150.0</Constant><Constant Name=\"M\">1000</Constant>"
         "<FormulaTo>FROM*M+K</FormulaTo><FormulaFrom>(TO-K)/M</FormulaFrom><pValue>Raw</pValue></Converter>");
    port_.poke(0, {0xE8, 0x2B, 0x04, 0x00});  // 273384 = 273150 + 234
    EXPECT_DOUBLE_EQ(get_float("Temp").value(), 0.234);
    ASSERT_TRUE(set_float("Temp", 1.0));
    EXPECT_EQ(port_.peek(0, 4), (std::vector<std::uint8_t>{0xE6, 0x2E, 0x04, 0x00}));  // 274150
}

// Order: the converter's TO/FROM, then the node's own entries (constants and
// pVariables in document order, first match wins), then feature names.
TEST_F(NodeEvalTest, ConstantsTakePartInBindingOrder) {
    load("<Integer Name=\"A\"><Value>1</Value></Integer>"
         "<Integer Name=\"B\"><Value>2</Value></Integer>"
         "<IntSwissKnife Name=\"ConstFirst\"><Constant Name=\"A\">10</Constant><pVariable Name=\"A\">B</pVariable>"
         "<Formula>A</Formula></IntSwissKnife>"
         "<IntSwissKnife Name=\"VarFirst\"><pVariable Name=\"A\">B</pVariable><Constant Name=\"A\">10</Constant>"
         "<Formula>A</Formula></IntSwissKnife>"
         "<IntSwissKnife Name=\"ShadowsFeature\"><Constant Name=\"B\">5</Constant><Formula>A+B</Formula></IntSwissKnife>"
         "<IntConverter Name=\"ExtraWins\"><Constant Name=\"TO\">99</Constant>"
         "<FormulaTo>FROM</FormulaTo><FormulaFrom>TO</FormulaFrom><pValue>A</pValue></IntConverter>");
    EXPECT_EQ(get_int("ConstFirst").value(), 10);
    EXPECT_EQ(get_int("VarFirst").value(), 2);
    EXPECT_EQ(get_int("ShadowsFeature").value(), 6);
    EXPECT_EQ(get_int("ExtraWins").value(), 1);
}

TEST_F(NodeEvalTest, ConstantThatIsNotANumberFailsAtEvaluation) {
    load("<IntSwissKnife Name=\"Bad\"><Constant Name=\"C\">twelve</Constant><Formula>C</Formula></IntSwissKnife>"
         "<IntSwissKnife Name=\"Unused\"><Constant Name=\"C\">twelve</Constant><Formula>3</Formula></IntSwissKnife>");
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(error_text(get_int("Bad")), "formula in 'Bad': constant 'C' is not a number: 'twelve'");
    EXPECT_EQ(get_int("Unused").value(), 3);
}

// The binding table is made once with the program; later evaluations must
// still see the current values of the bound nodes and report binding errors
// each time, in variable order.
TEST_F(NodeEvalTest, BoundVariablesFollowTheirNodes) {
    load(reg("IntReg", "Raw", "0x0", "4", "<Cachable>NoCache</Cachable>") +
         "<Integer Name=\"Gain\"><Value>3</Value></Integer>"
         "<IntSwissKnife Name=\"K\"><pVariable Name=\"R\">Raw</pVariable><Formula>R*Gain</Formula></IntSwissKnife>"
         "<IntSwissKnife Name=\"Errors\"><pVariable Name=\"D\">Gone</pVariable><Formula>Y+D</Formula></IntSwissKnife>");
    for (std::uint8_t raw : {1, 2, 5}) {
        port_.poke(0, {raw, 0, 0, 0});
        EXPECT_EQ(get_int("K").value(), raw * 3);
    }
    ASSERT_TRUE(set_int("Gain", 4));
    EXPECT_EQ(get_int("K").value(), 20);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(error_text(get_int("Errors")), "formula in 'Errors': unbound variable 'Y'");
}

// A copy of the map carries the compiled program and its bindings; node ids
// are the same in the copy, so they evaluate against the copy's nodes.
TEST_F(NodeEvalTest, CopiedMapEvaluatesWithItsOwnNodes) {
    load("<Integer Name=\"A\"><Value>1</Value></Integer>"
         "<IntSwissKnife Name=\"K\"><pVariable Name=\"X\">A</pVariable><Formula>X+1</Formula></IntSwissKnife>");
    EXPECT_EQ(get_int("K").value(), 2);
    Genicam copy = map_;
    NodeEval copy_eval(copy, port_);
    ASSERT_TRUE(copy_eval.set_int_value(*copy.find("A"), 41));
    EXPECT_EQ(copy_eval.int_value(*copy.find("K")).value(), 42);
    EXPECT_EQ(get_int("K").value(), 2);
}

}  // namespace
}  // namespace oculane::testing

namespace oculane::testing {
namespace {

// An Expression entry is a sub-formula evaluated with the node's bindings.
TEST_F(NodeEvalTest, ExpressionsAreSubFormulas) {
    load(reg("IntReg", "Raw", "0x0", "4") +
         "<Integer Name=\"Gain\"><Value>3</Value></Integer>"
         "<IntSwissKnife Name=\"K\"><pVariable Name=\"G\">Gain</pVariable><Constant Name=\"C\">10</Constant>"
         "<Expression Name=\"E1\">G * C</Expression><Expression Name=\"E2\">E1 + G</Expression>"
         "<Formula>E2 - E1 + E2</Formula></IntSwissKnife>"
         "<IntConverter Name=\"Conv\"><Expression Name=\"Half\">TO / 2</Expression><Expression Name=\"Twice\">FROM * 2</Expression>"
         "<FormulaTo>Twice</FormulaTo><FormulaFrom>Half + 1</FormulaFrom><pValue>Raw</pValue></IntConverter>"
         "<IntSwissKnife Name=\"Self\"><Expression Name=\"A\">B + 1</Expression><Expression Name=\"B\">A</Expression>"
         "<Formula>A</Formula></IntSwissKnife>"
         "<IntSwissKnife Name=\"BadSub\"><Expression Name=\"A\">(1</Expression><Formula>A</Formula></IntSwissKnife>");
    EXPECT_EQ(get_int("K").value(), 36);  // 33 - 30 + 33
    ASSERT_TRUE(set_int("Gain", 1));
    EXPECT_EQ(get_int("K").value(), 12);  // 11 - 10 + 11
    port_.poke(0, {40, 0, 0, 0});
    EXPECT_EQ(get_int("Conv").value(), 21);
    ASSERT_TRUE(set_int("Conv", 7));
    EXPECT_EQ(port_.peek(0, 4), (std::vector<std::uint8_t>{14, 0, 0, 0}));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(error_text(get_int("Self")), "formula in 'Self': expression 'A' refers to itself");
        EXPECT_EQ(error_text(get_int("BadSub")), "formula in 'BadSub': unbalanced parenthesis");
    }
}

// A long chain of distinct expressions is refused, not followed until the
// stack runs out.
TEST_F(NodeEvalTest, DeepExpressionChainsAreRefused) {
    auto chain = [](int length) {
        std::string body;
        for (int i = 0; i < length; ++i)
            body += "<Expression Name=\"E" + std::to_string(i) + "\">E" + std::to_string(i + 1) + " + 1</Expression>";
        body += "<Constant Name=\"E" + std::to_string(length) + "\">0</Constant>";
        return body;
    };
    load("<IntSwissKnife Name=\"Short\">" + chain(100) + "<Formula>E0</Formula></IntSwissKnife>"
         "<IntSwissKnife Name=\"Long\">" + chain(5000) + "<Formula>E0</Formula></IntSwissKnife>");
    EXPECT_EQ(get_int("Short").value(), 100);
    EXPECT_EQ(error_text(get_int("Long")), "formula in 'Long': expressions nested deeper than 512");
    EXPECT_EQ(get_int("Short").value(), 100);  // nothing left behind by the refusal
}

}  // namespace
}  // namespace oculane::testing
