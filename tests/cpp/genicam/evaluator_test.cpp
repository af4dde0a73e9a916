#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "genicam/evaluator.hpp"

using namespace oculane;

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
const double kInf = std::numeric_limits<double>::infinity();

Number I(std::int64_t v) { return Number::from_int(v); }
Number F(double v) { return Number::from_float(v); }

std::expected<Number, std::string> run(std::string_view text, std::vector<Number> values = {},
                                       Arithmetic mode = Arithmetic::Integer) {
    auto expr = Expr::parse(text);
    if (!expr) return std::unexpected("parse: " + expr.error());
    return expr->eval(values, mode);
}

struct ValueCase {
    const char* text;
    Number want;
};

void check_values(const std::vector<ValueCase>& cases, Arithmetic mode = Arithmetic::Integer) {
    for (const auto& c : cases) {
        auto got = run(c.text, {}, mode);
        ASSERT_TRUE(got.has_value()) << c.text << ": " << got.error();
        EXPECT_EQ(*got, c.want) << c.text << " gave " << got->to_string();
    }
}

struct ErrorCase {
    const char* text;
    const char* error;  // "parse: ..." for compile failures
};

void check_errors(const std::vector<ErrorCase>& cases) {
    for (const auto& c : cases) {
        auto got = run(c.text);
        ASSERT_FALSE(got.has_value()) << c.text << " gave " << got->to_string();
        EXPECT_EQ(got.error(), c.error) << c.text;
    }
}

}  // namespace

TEST(FormulaPrecedence, OperatorTable) {
    check_values({
        {"1+2*3", I(7)},
        {"(1+2)*3", I(9)},
        {"2**3**2", F(512)},
        {"-2**2", F(4)},       // unary minus binds tighter than the power
        {"2**-1", F(0.5)},     // and a unary minus after ** applies to the exponent
        {"-2**-2", F(0.25)},
        {"--3", I(3)},
        {"-+-3", I(3)},
        {"~0", I(-1)},
        {"~-1+1", I(1)},
        {"10-4-3", I(3)},      // left associative
        {"64/4/2", I(8)},
        {"1<<2+1", I(8)},      // additive binds tighter than shift
        {"1+1<3", I(1)},
        {"1<2=1", I(1)},       // ordering before equality
        {"6&3=2", I(0)},       // equality before bitwise and: 6 & (3=2)
        {"1|2^3&1", I(3)},     // 1 | (2 ^ (3 & 1))
        {"1||0&&0", I(1)},     // && before ||
        {"0&&1||1", I(1)},
        {"2*3%4", I(2)},
        {"7 <> 7", I(0)},
        {"3 >= 3", I(1)},
        {"3 <= 2", I(0)},
        {" \t\n\r\f 4 ", I(4)},
    });
}

TEST(FormulaConditional, ChoosesAndKeepsType) {
    check_values({
        {"5>3 ? 10 : 20", I(10)},
        {"0 ? 1 : 2.5", F(2.5)},
        {"1 ? 2 : 3.0", I(2)},
        {"0.0 ? 1 : 2", I(2)},
        {"-0.0 ? 1 : 2", I(2)},
        {"0.5 ? 1 : 2", I(1)},
        {"1 ? 2 : 3 + 4", I(2)},
        {"0 ? 2 : 3 + 4", I(7)},
        // Nested in the else branch (right associative).
        {"0 ? 1 : 0 ? 2 : 3", I(3)},
        {"0 ? 1 : 1 ? 2 : 3", I(2)},
        // Nested in the then branch without parentheses.
        {"1 ? 2 ? 3 : 4 : 5", I(3)},
        {"1 ? 0 ? 3 : 4 : 5", I(4)},
        {"0 ? 2 ? 3 : 4 : 5", I(5)},
        {"1 ? 1 ? 1 ? 7 : 8 : 9 : 10", I(7)},
        {"1 ? 1 ? 0 ? 7 : 8 : 9 : 10", I(8)},
        {"1 ? (0 ? 3 : 4) : 5", I(4)},
        {"(1 ? 2 : 3) * 10", I(20)},
    });
}

TEST(FormulaArithmetic, IntFloatTyping) {
    check_values({
        {"7/2", I(3)},
        {"-7/2", I(-3)},
        {"7.0/2", F(3.5)},
        {"7%2.6", I(1)},     // divisor rounds to 3
        {"-7%3", I(-1)},     // sign of the dividend
        {"7%-3", I(1)},
        {"7.5%4", I(0)},     // 7.5 rounds to 8
        {"1/0.0", F(kInf)},
        {"1+2.0", F(3)},
        {"2*3", I(6)},
        {"2.0*3", F(6)},
        {"1.5+1.5", F(3)},
        {"9223372036854775807+1", I(kMin)},  // wraps
        {"-9223372036854775807-2", I(kMax)},
        {"4611686018427387904*4", I(0)},
        {"(-9223372036854775807-1)/-1", I(kMin)},
        {"(-9223372036854775807-1)%-1", I(0)},
        {"2**0.5", F(std::sqrt(2.0))},
        {"1e3", F(1000)},
        {"1.5E-1", F(0.15)},
        {".5", F(0.5)},
        {"1.", F(1)},
        {"1e999", F(kInf)},
        {"0x10", I(16)},
        {"0XfF", I(255)},
        {"0x7FFFFFFFFFFFFFFF", I(kMax)},
        {"0x00000000000000000001", I(1)},
    });
}

// The arithmetic of float formulas: division is always floating point and
// integer results that leave the 64-bit range become floats; everything
// exact stays exact.
TEST(FormulaArithmetic, FloatingMode) {
    check_values(
        {
            {"7/2", F(3.5)},
            {"1000000/43970", F(1000000.0 / 43970)},
            {"(7 & 0xF)/2", F(3.5)},  // Ints made by bit operations divide as floats too
            {"1/0", F(kInf)},         // no integer division, so no division-by-zero error
            {"9223372036854775807+1", F(9223372036854775808.0)},
            {"4611686018427387904*4", F(18446744073709551616.0)},
            {"-(-9223372036854775807-1)", F(9223372036854775808.0)},
            {"ABS(-9223372036854775807-1)", F(9223372036854775808.0)},
            {"9007199254740993 - 1", I(9007199254740992)},  // exact where it fits
        },
        Arithmetic::Floating);
}

TEST(FormulaBits, ShiftsAndConversions) {
    check_values({
        {"0xFF & 0x0F", I(15)},
        {"1 << 65", I(2)},       // count taken modulo 64
        {"-8 >> 1", I(-4)},      // arithmetic shift
        {"1 << 63", I(kMin)},
        {"1 << -1", I(kMin)},    // low 6 bits of -1 are 63
        {"2.6 | 0", I(3)},       // floats round before bit operations
        {"-2.5 & -1", I(-3)},    // halves away from zero
        {"~1.4", I(-2)},
        {"1e300 | 0", I(kMax)},  // saturates
        {"-1e300 | 0", I(kMin)},
        {"(0.0/0.0) | 5", I(5)}, // NaN converts to 0
        {"5 ^ 1", I(4)},
    });
}

TEST(FormulaComparison, MixedAndLogical) {
    check_values({
        {"1 = 1.0", I(1)},
        {"9007199254740993 = 9007199254740992", I(0)},  // two Ints compare exactly
        {"9007199254740993 = 9007199254740992.0", I(1)}, // mixed compare as doubles
        {"2.5 > 2", I(1)},
        {"(0.0/0.0) && 1", I(1)},  // NaN is true
        {"0.0 || -0.0", I(0)},
        {"3 && 4", I(1)},
    });
}

TEST(FormulaFunctions, CaseAndGroups) {
    check_values({
        {"sin(0)", F(0)},
        {"SIN(0)", F(0)},
        {"SiN 0", F(0)},
        {"ABS(-3)", I(3)},
        {"ABS(-3.5)", F(3.5)},
        {"ABS(-9223372036854775807-1)", I(kMin)},
        {"SGN(-0.5)", I(-1)},
        {"SGN(0.0/0.0)", I(0)},
        {"SGN(7)", I(1)},
        {"SGN(-0.0)", I(0)},
        {"ROUND(2.5)", F(3)},
        {"ROUND(-2.5)", F(-3)},
        {"TRUNC(7)", F(7)},
        {"TRUNC(-7.9)", F(-7)},
        {"FLOOR(-0.5)", F(-1)},
        {"CEIL(0.2)", F(1)},
        {"NEG(5)", I(-5)},
        {"neg 2.5", F(-2.5)},
        {"SQRT(16)", F(4)},
        {"LG(1000)", F(3)},
        {"LN(1)", F(0)},
        {"EXP(0)", F(1)},
        {"ATAN(0)+ACOS(1)+ASIN(0)+COS(0)+TAN(0)", F(1)},
        // A function applies to the operand or group that follows it.
        {"ABS(2-5)*2", I(6)},
        {"ABS 2-5", I(-3)},
        {"2*ABS(1-4)", I(6)},
        {"ABS(-2)**2", F(4)},
        {"SQRT(SQRT(16))", F(2)},
        {"-ABS(-4)", I(-4)},
        {"ROUND(2.4) + ROUND(2.6)", F(5)},
        {"ABS(-1) ? ROUND(0.4) : 9", F(0)},
    });
    auto nan = run("SQRT(-1)");
    ASSERT_TRUE(nan.has_value());
    EXPECT_TRUE(nan->is_float() && std::isnan(nan->float_value()));
}

TEST(FormulaConstants, ExactSpelling) {
    auto pi = Expr::parse("PI");
    ASSERT_TRUE(pi);
    EXPECT_TRUE(pi->variables().empty());
    EXPECT_EQ(std::bit_cast<std::uint64_t>(pi->eval({})->float_value()), 0x400921FB54442D18u);
    auto e = run("E");
    ASSERT_TRUE(e);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(e->float_value()), 0x4005BF0A8B145769u);

    // Other spellings are plain variables.
    for (const char* name : {"Pi", "pi", "e", "PI2", "E_"}) {
        auto expr = Expr::parse(name);
        ASSERT_TRUE(expr) << name;
        ASSERT_EQ(expr->variables().size(), 1u) << name;
        EXPECT_EQ(expr->variables()[0], name);
        EXPECT_EQ(expr->eval(std::vector{I(42)}), I(42)) << name;
    }
}

TEST(FormulaVariables, FirstAppearanceOrderAndBinding) {
    auto expr = Expr::parse("B + A.x*B - _c1 + A.x");
    ASSERT_TRUE(expr);
    EXPECT_EQ(expr->variables(), (std::vector<std::string>{"B", "A.x", "_c1"}));
    EXPECT_EQ(expr->eval(std::vector{I(10), I(3), I(1)}), I(10 + 30 - 1 + 3));
    EXPECT_EQ(expr->eval(std::vector{I(10), F(0.5), I(1)}), F(10 + 5 - 1 + 0.5));

    auto xy = Expr::parse("X+Y");
    ASSERT_TRUE(xy);
    auto unbound = xy->eval(std::vector{I(1)});
    ASSERT_FALSE(unbound);
    EXPECT_EQ(unbound.error(), "variable 'Y' unbound");
    // Names compare exactly: x and X are two variables.
    auto cased = Expr::parse("x+X");
    ASSERT_TRUE(cased);
    EXPECT_EQ(cased->variables().size(), 2u);
}

TEST(FormulaErrors, ParseAndEvalTexts) {
    check_errors({
        {"1/0", "division by zero"},
        {"1%0", "remainder by zero"},
        {"1%0.4", "remainder by zero"},  // divisor rounds to 0
        {"1 ? 2", "expression stack underflow"},
        {"1 2", "malformed expression"},
        {"", "malformed expression"},
        {"   ", "malformed expression"},
        {"()", "malformed expression"},
        {"1 +", "expression stack underflow"},
        {"*", "expression stack underflow"},
        {"exp*2", "expression stack underflow"},  // the word is EXP, not a variable
        {"(0.0/0.0) < 1", "NaN in comparison"},
        {"(0.0/0.0) = (0.0/0.0)", "NaN in comparison"},
        {"0x8000000000000000", "parse: bad hex literal: number too large to fit in target type"},
        {"0xG", "parse: bad hex literal: cannot parse integer from empty string"},
        {"9223372036854775808", "parse: bad int literal: number too large to fit in target type"},
        {"1.2.3", "parse: bad float literal: invalid float literal"},
        {"1e+", "parse: bad float literal: invalid float literal"},
        {"(1+2", "parse: unbalanced parenthesis"},
        {"1+2)", "parse: unbalanced parenthesis"},
        {"((1)", "parse: unbalanced parenthesis"},
        {"a!=b", "parse: unexpected character '!'"},
        {"1==2", "expression stack underflow"},  // no "==": the second '=' finds one value
        {"1 , 2", "parse: unexpected character ','"},
        {"2 # 3", "parse: unexpected character '#'"},
        {"1 \xc2\xb5 2", "parse: unexpected character '\xc2\xb5'"},
    });
}

TEST(FormulaCompile, PostfixShape) {
    auto expr = Expr::parse("a*(b+2)");
    ASSERT_TRUE(expr);
    std::vector<ExprCode> codes;
    for (const auto& op : expr->ops()) codes.push_back(op.code);
    EXPECT_EQ(codes, (std::vector<ExprCode>{ExprCode::PushVar, ExprCode::PushVar, ExprCode::PushInt,
                                            ExprCode::Add, ExprCode::Mul}));
    EXPECT_EQ(expr->max_depth(), 3u);
}

TEST(FormulaCompile, DeepProgramsUseLargerStack) {
    // Right-nested parentheses keep many values pending at once.
    std::string text;
    const int depth = 200;
    for (int i = 0; i < depth; ++i) text += "1+(";
    text += "1";
    for (int i = 0; i < depth; ++i) text += ")";
    auto expr = Expr::parse(text);
    ASSERT_TRUE(expr);
    EXPECT_GT(expr->max_depth(), 32u);
    EXPECT_EQ(expr->eval({}), I(depth + 1));
}

TEST(FormulaCompile, TooManyVariablesIsRefused) {
    std::string text = "v0";
    for (int i = 1; i <= 65536; ++i) text += fmt::format("+v{}", i);
    auto expr = Expr::parse(text);
    ASSERT_FALSE(expr);
    EXPECT_EQ(expr.error(), "too many variables");
}

TEST(FormulaFunctions, RoundWithDecimalPlaces) {
    check_values({
        {"ROUND(2.5, 0)", F(3)},
        {"ROUND(-2.5, 0)", F(-3)},        // halves away from zero
        {"ROUND(1.25, 1)", F(1.3)},
        {"ROUND(-1.25, 1)", F(-1.3)},
        {"ROUND(1234.5678, 2)", F(1234.57)},
        {"ROUND(1260, -2)", F(1300)},     // negative places round to tens, hundreds, ...
        {"ROUND(7, 1)", F(7)},            // an Int argument gives a Float
        {"round(3.14159, 3)", F(3.142)},
        {"ROUND (2.25 , 1.4)", F(2.3)},   // places are rounded to an integer first
        {"ROUND((1 + 2) / 2.0, 0) + 273", F(275)},
        {"ROUND(ROUND(0.375, 3) * 2, 2)", F(0.75)},
        {"ROUND(1 ? 0.26 : 0.5, 1)", F(0.3)},
        {"ROUND(1.5e300, 10)", F(1.5e300)},   // the scaled value overflows: unchanged
        {"ROUND(123.0, -500)", F(0)},
        {"ROUND(2.5)", F(3)},             // the one-argument form is unchanged
        {"2 * ROUND(0.45, 1) + 1", F(2)},
    });
}

// The comma belongs to ROUND's own parentheses only.
TEST(FormulaErrors, CommaOutsideRound) {
    check_errors({
        {"ROUND((1, 2))", "parse: unexpected character ','"},
        {"ROUND(1, 2, 3)", "parse: unexpected character ','"},
        {"FLOOR(1.5, 2)", "parse: unexpected character ','"},
        {"(ROUND(1.5), 2)", "parse: unexpected character ','"},
        {"ROUND(, 2)", "parse: unexpected character ','"},
        {"ROUND 1, 2", "parse: unexpected character ','"},
        {"ROUND(1,)", "expression stack underflow"},
    });
}
