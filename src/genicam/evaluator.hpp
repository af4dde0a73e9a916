#pragma once
// The formula language of SwissKnife and Converter nodes: a small infix
// expression language compiled once into a postfix program (`Expr`) and then
// evaluated many times with the variables bound positionally.
//
// The evaluator knows nothing about nodes. Whoever evaluates a formula slot
// binds `Expr::variables()[i]` to `values[i]` (a name appearing several times
// in the text has one slot), so a caller can resolve each variable to a node
// once and keep that mapping next to the compiled program; no string lookup
// happens while evaluating.
//
// Errors are plain texts; the node layer wraps them with the node's name.
// Thread-safety: an `Expr` is immutable after parse; concurrent eval calls on
// one `Expr` are safe.

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

namespace oculane {

// The evaluator's value type: a signed 64-bit integer or a double.
class Number {
public:
    constexpr Number() = default;
    static constexpr Number from_int(std::int64_t v) {
        Number n;
        n.is_float_ = false;
        n.i_ = v;
        return n;
    }
    static constexpr Number from_float(double v) {
        Number n;
        n.is_float_ = true;
        n.f_ = v;
        return n;
    }

    constexpr bool is_int() const { return !is_float_; }
    constexpr bool is_float() const { return is_float_; }
    // Raw payloads: call only for the matching type.
    constexpr std::int64_t int_value() const { return i_; }
    constexpr double float_value() const { return f_; }

    // The value as a double (an Int is converted).
    constexpr double to_double() const { return is_float_ ? f_ : static_cast<double>(i_); }
    // The value as an integer: a Float is rounded to nearest (halves away from
    // zero) and saturated at the 64-bit limits, NaN giving 0.
    std::int64_t to_int() const;
    // Int: not 0. Float: neither +0.0 nor -0.0 (NaN counts as true).
    constexpr bool truthy() const { return is_float_ ? f_ != 0.0 : i_ != 0; }

    // Same type and same payload (Float payloads compared bit for bit, so
    // NaN equals itself and -0.0 differs from +0.0); meant for tests.
    friend bool operator==(const Number& a, const Number& b);

    // "Int(7)" / "Float(3.5)".
    std::string to_string() const;

private:
    bool is_float_ = false;
    union {
        std::int64_t i_ = 0;
        double f_;
    };
};

// Operation codes of a compiled program. Operands first, then operators in
// the order of their table, then functions.
enum class ExprCode : std::uint8_t {
    PushInt,
    PushFloat,
    PushVar,
    // Operators.
    Cond,     // ?
    Colon,    // : (a no-op when executed; it only shapes the compile)
    LogOr,    // ||
    LogAnd,   // &&
    BitOr,    // |
    BitXor,   // ^
    BitAnd,   // &
    Eq,       // =
    Ne,       // <>
    Lt,
    Le,
    Gt,
    Ge,
    Shl,
    Shr,
    Add,
    Sub,
    Mul,
    Div,
    Rem,
    Pow,      // **
    Neg,      // unary -
    Plus,     // unary +
    BitNot,   // ~
    // Functions (one argument each).
    Sin,
    Cos,
    Tan,
    Asin,
    Acos,
    Atan,
    Exp,
    Ln,
    Lg,
    Sqrt,
    Abs,
    Sgn,
    FnNeg,
    Trunc,
    Round,
    Floor,
    Ceil,
    // ROUND(x, n): x rounded to n decimal places (the only function with a
    // second argument; a one-argument ROUND compiles to Round).
    RoundPlaces,
    // Only ever on the compiler's operator stack: the '(' marker.
    LParen,
};

// One operation of the postfix program.
struct ExprOp {
    ExprCode code = ExprCode::LParen;
    std::uint16_t var = 0;  // PushVar: index into Expr::variables()
    union {
        std::int64_t i = 0;  // PushInt
        double f;            // PushFloat
    };

    static ExprOp op(ExprCode c) {
        ExprOp o;
        o.code = c;
        return o;
    }
    static ExprOp push_int(std::int64_t v) {
        ExprOp o;
        o.code = ExprCode::PushInt;
        o.i = v;
        return o;
    }
    static ExprOp push_float(double v) {
        ExprOp o;
        o.code = ExprCode::PushFloat;
        o.f = v;
        return o;
    }
    static ExprOp push_var(std::uint16_t index) {
        ExprOp o;
        o.code = ExprCode::PushVar;
        o.var = index;
        return o;
    }
};

// Precedence (higher binds tighter) and right-associativity of an operator
// or function code; for operand codes the values are meaningless.
int expr_precedence(ExprCode code);
bool expr_right_assoc(ExprCode code);

// The shunting-yard step: pops to `output` what binds at least as tightly as
// `op` (strictly tighter for right-associative ops), then pushes `op`.
void push_operator(ExprOp op, std::vector<ExprOp>& stack, std::vector<ExprOp>& output);

// How a program computes with two integers. `Integer` keeps the typed
// rules: Int op Int gives an Int (wrapping, truncating division). `Floating`
// is the arithmetic of a float formula (SwissKnife, Converter): division
// always gives a Float, and a sum, difference, product or negation that
// leaves the 64-bit range gives the Float result instead of wrapping; exact
// integer results stay Ints, so nothing that fits loses precision.
enum class Arithmetic : std::uint8_t { Integer, Floating };

// A compiled formula.
class Expr {
public:
    // Compiles a formula text. Errors: "bad hex literal: {}", "bad int
    // literal: {}", "bad float literal: {}", "unexpected character '{}'",
    // "unbalanced parenthesis", "too many variables". A comma is accepted
    // only once, directly inside the parentheses of a ROUND call.
    static std::expected<Expr, std::string> parse(std::string_view text);

    // Runs the program with values[i] bound to variables()[i] (`values` may
    // be shorter; reaching an unbound variable is an error). Allocates only
    // for an error text, or when the program needs a deeper value stack than
    // the one kept on the C++ stack. Errors: "variable '{}' unbound",
    // "expression stack underflow", "division by zero", "remainder by zero",
    // "NaN in comparison", "malformed expression",
    // "internal: operand in operator position".
    std::expected<Number, std::string> eval(std::span<const Number> values,
                                            Arithmetic mode = Arithmetic::Integer) const;

    // Variable names in order of first appearance, each once.
    const std::vector<std::string>& variables() const { return variables_; }
    const std::vector<ExprOp>& ops() const { return ops_; }
    // The deepest the value stack gets while running.
    std::size_t max_depth() const { return max_depth_; }

private:
    template <bool kFloating>
    std::expected<Number, std::string> run(std::span<const Number> values) const;

    std::vector<ExprOp> ops_;
    std::vector<std::string> variables_;
    std::size_t max_depth_ = 0;
    // Operations that run before the stack would underflow (all of them in a
    // well-formed program), and the values left after a full run.
    std::size_t sound_prefix_ = 0;
    std::size_t final_depth_ = 0;
};

}  // namespace oculane

template <>
struct fmt::formatter<oculane::Number> : fmt::formatter<std::string> {
    auto format(const oculane::Number& n, format_context& ctx) const {
        return fmt::formatter<std::string>::format(n.to_string(), ctx);
    }
};
