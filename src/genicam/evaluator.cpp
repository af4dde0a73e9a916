#include "genicam/evaluator.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <unordered_map>
#include <utility>

#include "genicam/register_codec.hpp"

namespace oculane {

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// The largest number of distinct variables a 16-bit index can address.
constexpr std::size_t kMaxVariables = std::size_t{1} << 16;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

struct FunctionName {
    std::string_view name;
    ExprCode code;
};
constexpr std::array<FunctionName, 17> kFunctions{{
    {"SIN", ExprCode::Sin},     {"COS", ExprCode::Cos},     {"TAN", ExprCode::Tan},
    {"ASIN", ExprCode::Asin},   {"ACOS", ExprCode::Acos},   {"ATAN", ExprCode::Atan},
    {"EXP", ExprCode::Exp},     {"LN", ExprCode::Ln},       {"LG", ExprCode::Lg},
    {"SQRT", ExprCode::Sqrt},   {"ABS", ExprCode::Abs},     {"SGN", ExprCode::Sgn},
    {"NEG", ExprCode::FnNeg},   {"TRUNC", ExprCode::Trunc}, {"ROUND", ExprCode::Round},
    {"FLOOR", ExprCode::Floor}, {"CEIL", ExprCode::Ceil},
}};

// Function names are matched without regard to letter case.
const FunctionName* find_function(std::string_view ident) {
    for (const auto& f : kFunctions) {
        if (f.name.size() != ident.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < ident.size() && same; ++i) same = upper(ident[i]) == f.name[i];
        if (same) return &f;
    }
    return nullptr;
}

struct OperatorToken {
    std::string_view text;
    ExprCode code;
};
// Two-character operators come first so that "<=" is never read as "<", "=".
constexpr std::array<OperatorToken, 8> kTwoChar{{
    {"||", ExprCode::LogOr},
    {"&&", ExprCode::LogAnd},
    {"<>", ExprCode::Ne},
    {"<=", ExprCode::Le},
    {">=", ExprCode::Ge},
    {"<<", ExprCode::Shl},
    {">>", ExprCode::Shr},
    {"**", ExprCode::Pow},
}};

bool one_char_operator(char c, bool prev_operand, ExprCode& code) {
    switch (c) {
        case '%': code = ExprCode::Rem; return true;
        case '&': code = ExprCode::BitAnd; return true;
        case '*': code = ExprCode::Mul; return true;
        case '+': code = prev_operand ? ExprCode::Add : ExprCode::Plus; return true;
        case '-': code = prev_operand ? ExprCode::Sub : ExprCode::Neg; return true;
        case '/': code = ExprCode::Div; return true;
        case ':': code = ExprCode::Colon; return true;
        case '<': code = ExprCode::Lt; return true;
        case '=': code = ExprCode::Eq; return true;
        case '>': code = ExprCode::Gt; return true;
        case '?': code = ExprCode::Cond; return true;
        case '^': code = ExprCode::BitXor; return true;
        case '|': code = ExprCode::BitOr; return true;
        case '~': code = ExprCode::BitNot; return true;
        default: return false;
    }
}

constexpr const char* kEmpty = "cannot parse integer from empty string";
constexpr const char* kTooLarge = "number too large to fit in target type";

// Hex digits (no prefix) into a non-negative signed 64-bit value.
std::expected<std::int64_t, const char*> parse_hex(std::string_view digits) {
    if (digits.empty()) return std::unexpected(kEmpty);
    std::uint64_t v = 0;
    for (char c : digits) {
        unsigned d = is_digit(c) ? unsigned(c - '0') : unsigned(upper(c) - 'A' + 10);
        if (v > (static_cast<std::uint64_t>(kMax) >> 4)) return std::unexpected(kTooLarge);
        v = (v << 4) | d;
        if (v > static_cast<std::uint64_t>(kMax)) return std::unexpected(kTooLarge);
    }
    return static_cast<std::int64_t>(v);
}

std::expected<double, const char*> parse_float(std::string_view token) {
    double v = 0;
    auto [ptr, ec] = std::from_chars(token.data(), token.data() + token.size(), v);
    if (ptr != token.data() + token.size()) return std::unexpected("invalid float literal");
    if (ec == std::errc::result_out_of_range) {
        // A literal beyond the double range is taken at its limit rather than
        // refused: infinity for a huge magnitude, zero for a tiny one.
        auto e = token.find_first_of("eE");
        bool negative_exponent = e != std::string_view::npos && e + 1 < token.size() && token[e + 1] == '-';
        return negative_exponent ? 0.0 : std::numeric_limits<double>::infinity();
    }
    if (ec != std::errc{}) return std::unexpected("invalid float literal");
    return v;
}

// The character at `pos` for an error message: a whole UTF-8 sequence when the
// byte starts one, so the message shows the character the user typed.
std::string_view char_at(std::string_view text, std::size_t pos) {
    auto b = static_cast<unsigned char>(text[pos]);
    std::size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 1;
    if (pos + len > text.size()) len = 1;
    for (std::size_t k = 1; k < len; ++k) {
        if ((static_cast<unsigned char>(text[pos + k]) & 0xC0) != 0x80) return text.substr(pos, 1);
    }
    return text.substr(pos, len);
}

// Stack effect of one operation: values taken, values left.
struct Effect {
    int take;
    int give;
};
Effect effect(ExprCode c) {
    switch (c) {
        case ExprCode::PushInt:
        case ExprCode::PushFloat:
        case ExprCode::PushVar: return {0, 1};
        case ExprCode::Colon:
        case ExprCode::LParen: return {0, 0};
        case ExprCode::Cond: return {3, 1};
        case ExprCode::Neg:
        case ExprCode::Plus:
        case ExprCode::BitNot: return {1, 1};
        case ExprCode::RoundPlaces: return {2, 1};
        default: return c >= ExprCode::Sin ? Effect{1, 1} : Effect{2, 1};
    }
}

std::uint64_t u(std::int64_t v) { return static_cast<std::uint64_t>(v); }
std::int64_t s(std::uint64_t v) { return static_cast<std::int64_t>(v); }

Number boolean(bool b) { return Number::from_int(b ? 1 : 0); }

}  // namespace

std::int64_t Number::to_int() const { return is_float_ ? regcodec::saturating_round(f_) : i_; }

bool operator==(const Number& a, const Number& b) {
    if (a.is_float_ != b.is_float_) return false;
    if (a.is_float_) return std::bit_cast<std::uint64_t>(a.f_) == std::bit_cast<std::uint64_t>(b.f_);
    return a.i_ == b.i_;
}

std::string Number::to_string() const {
    return is_float_ ? fmt::format("Float({})", f_) : fmt::format("Int({})", i_);
}

int expr_precedence(ExprCode c) {
    switch (c) {
        case ExprCode::Cond:
        case ExprCode::Colon: return 5;
        case ExprCode::LogOr: return 10;
        case ExprCode::LogAnd: return 20;
        case ExprCode::BitOr: return 40;
        case ExprCode::BitXor: return 50;
        case ExprCode::BitAnd: return 60;
        case ExprCode::Eq:
        case ExprCode::Ne: return 70;
        case ExprCode::Lt:
        case ExprCode::Le:
        case ExprCode::Gt:
        case ExprCode::Ge: return 80;
        case ExprCode::Shl:
        case ExprCode::Shr: return 90;
        case ExprCode::Add:
        case ExprCode::Sub: return 100;
        case ExprCode::Mul:
        case ExprCode::Div:
        case ExprCode::Rem: return 110;
        case ExprCode::Pow: return 120;
        case ExprCode::Neg:
        case ExprCode::Plus:
        case ExprCode::BitNot: return 130;
        case ExprCode::PushInt:
        case ExprCode::PushFloat:
        case ExprCode::PushVar:
        case ExprCode::LParen: return 0;
        default: return 200;  // functions
    }
}

bool expr_right_assoc(ExprCode c) {
    switch (c) {
        case ExprCode::Cond:
        case ExprCode::Colon:
        case ExprCode::Pow:
        case ExprCode::Neg:
        case ExprCode::Plus:
        case ExprCode::BitNot: return true;
        default: return false;
    }
}

void push_operator(ExprOp op, std::vector<ExprOp>& stack, std::vector<ExprOp>& output) {
    const int q = expr_precedence(op.code);
    const bool right = expr_right_assoc(op.code);
    while (!stack.empty() && stack.back().code != ExprCode::LParen) {
        int p = expr_precedence(stack.back().code);
        if (right ? p <= q : p < q) break;
        output.push_back(stack.back());
        stack.pop_back();
    }
    if (op.code == ExprCode::Colon) {
        // A ':' arriving while another ':' is on top closes the inner
        // conditional of the then-branch ("a ? b ? c : d : e"): emit that pair
        // now, or the outer '?' would later take the inner one's operands.
        while (!stack.empty() && stack.back().code == ExprCode::Colon) {
            output.push_back(stack.back());
            stack.pop_back();
            if (!stack.empty() && stack.back().code == ExprCode::Cond) {
                output.push_back(stack.back());
                stack.pop_back();
            }
        }
    }
    stack.push_back(op);
}

std::expected<Expr, std::string> Expr::parse(std::string_view text) {
    Expr expr;
    std::vector<ExprOp> stack;
    std::vector<ExprOp>& out = expr.ops_;
    std::vector<std::string_view> seen;
    std::unordered_map<std::string_view, std::size_t> by_name;
    bool prev_operand = false;
    // What each open parenthesis is: a plain group, a ROUND call, or a ROUND
    // call whose comma has been seen.
    enum class Paren : std::uint8_t { Group, Round, RoundWithPlaces };
    std::vector<Paren> parens;
    bool last_was_function = false;
    std::size_t i = 0;
    const std::size_t n = text.size();

    while (i < n) {
        const char c = text[i];
        if (is_space(c)) {
            ++i;
            continue;
        }
        const bool after_function = std::exchange(last_was_function, false);

        if (is_digit(c) || (c == '.' && i + 1 < n && is_digit(text[i + 1]))) {
            if (c == '0' && n - i >= 3 && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
                std::size_t j = i + 2;
                while (j < n && is_hex(text[j])) ++j;
                auto v = parse_hex(text.substr(i + 2, j - i - 2));
                if (!v) return std::unexpected(fmt::format("bad hex literal: {}", v.error()));
                out.push_back(ExprOp::push_int(*v));
                i = j;
            } else {
                std::size_t j = i;
                bool is_float = false;
                while (j < n) {
                    char d = text[j];
                    if (is_digit(d)) {
                        ++j;
                    } else if (d == '.') {
                        is_float = true;
                        ++j;
                    } else if ((d == 'e' || d == 'E') && j + 1 < n &&
                               (text[j + 1] == '+' || text[j + 1] == '-' || is_digit(text[j + 1]))) {
                        is_float = true;
                        j += 2;
                    } else {
                        break;
                    }
                }
                std::string_view token = text.substr(i, j - i);
                if (is_float) {
                    auto v = parse_float(token);
                    if (!v) return std::unexpected(fmt::format("bad float literal: {}", v.error()));
                    out.push_back(ExprOp::push_float(*v));
                } else {
                    std::uint64_t v = 0;
                    auto [ptr, ec] = std::from_chars(token.data(), token.data() + token.size(), v);
                    if (ec != std::errc{} || ptr != token.data() + token.size() ||
                        v > static_cast<std::uint64_t>(kMax))
                        return std::unexpected(fmt::format("bad int literal: {}", kTooLarge));
                    out.push_back(ExprOp::push_int(static_cast<std::int64_t>(v)));
                }
                i = j;
            }
            prev_operand = true;
            continue;
        }

        if (is_alpha(c) || c == '_') {
            std::size_t j = i + 1;
            while (j < n && (is_alpha(text[j]) || is_digit(text[j]) || text[j] == '_' || text[j] == '.')) ++j;
            std::string_view ident = text.substr(i, j - i);
            i = j;
            if (const FunctionName* f = find_function(ident)) {
                // A function stays on the operator stack until the operand or
                // group that follows it has been output.
                push_operator(ExprOp::op(f->code), stack, out);
                last_was_function = true;
                continue;
            }
            if (ident == "PI") {
                out.push_back(ExprOp::push_float(std::bit_cast<double>(std::uint64_t{0x400921FB54442D18})));
            } else if (ident == "E") {
                out.push_back(ExprOp::push_float(std::bit_cast<double>(std::uint64_t{0x4005BF0A8B145769})));
            } else {
                // Views into `text`, which outlives the parse; past a handful
                // of names a map keeps generated formulas from compiling in
                // quadratic time.
                std::size_t index = seen.size();
                if (by_name.empty()) {
                    index = 0;
                    while (index < seen.size() && seen[index] != ident) ++index;
                } else if (auto it = by_name.find(ident); it != by_name.end()) {
                    index = it->second;
                }
                if (index == seen.size()) {
                    if (index >= kMaxVariables) return std::unexpected(std::string("too many variables"));
                    seen.push_back(ident);
                    expr.variables_.emplace_back(ident);
                    if (!by_name.empty()) {
                        by_name.emplace(ident, index);
                    } else if (seen.size() > 16) {
                        for (std::size_t k = 0; k < seen.size(); ++k) by_name.emplace(seen[k], k);
                    }
                }
                out.push_back(ExprOp::push_var(static_cast<std::uint16_t>(index)));
            }
            prev_operand = true;
            continue;
        }

        if (c == '(') {
            const bool round_call = after_function && stack.back().code == ExprCode::Round;
            parens.push_back(round_call ? Paren::Round : Paren::Group);
            stack.push_back(ExprOp::op(ExprCode::LParen));
            prev_operand = false;
            ++i;
            continue;
        }
        if (c == ')') {
            while (!stack.empty() && stack.back().code != ExprCode::LParen) {
                out.push_back(stack.back());
                stack.pop_back();
            }
            if (stack.empty()) return std::unexpected(std::string("unbalanced parenthesis"));
            stack.pop_back();
            // The ROUND that opened these parentheses is on top again; with a
            // second argument it takes both values.
            if (parens.back() == Paren::RoundWithPlaces) stack.back().code = ExprCode::RoundPlaces;
            parens.pop_back();
            prev_operand = true;
            ++i;
            continue;
        }
        if (c == ',' && prev_operand && !parens.empty() && parens.back() == Paren::Round) {
            // The first argument is complete: flush it up to the call's '('.
            while (stack.back().code != ExprCode::LParen) {
                out.push_back(stack.back());
                stack.pop_back();
            }
            parens.back() = Paren::RoundWithPlaces;
            prev_operand = false;
            ++i;
            continue;
        }

        ExprCode code{};
        bool matched = false;
        if (i + 1 < n) {
            for (const auto& t : kTwoChar) {
                if (text[i] == t.text[0] && text[i + 1] == t.text[1]) {
                    code = t.code;
                    matched = true;
                    i += 2;
                    break;
                }
            }
        }
        if (!matched && one_char_operator(c, prev_operand, code)) {
            matched = true;
            i += 1;
        }
        if (!matched) return std::unexpected(fmt::format("unexpected character '{}'", char_at(text, i)));
        push_operator(ExprOp::op(code), stack, out);
        prev_operand = false;
    }

    while (!stack.empty()) {
        if (stack.back().code == ExprCode::LParen) return std::unexpected(std::string("unbalanced parenthesis"));
        out.push_back(stack.back());
        stack.pop_back();
    }

    // Every operation has a fixed stack effect, so where the program would
    // underflow and how many values it leaves are known now; eval then runs
    // the sound prefix without per-operation checks and reports the
    // structural error where it would have surfaced.
    std::size_t depth = 0, deepest = 0;
    expr.sound_prefix_ = out.size();
    for (std::size_t k = 0; k < out.size(); ++k) {
        Effect e = effect(out[k].code);
        if (depth < static_cast<std::size_t>(e.take)) {
            expr.sound_prefix_ = k;
            break;
        }
        depth = depth - e.take + e.give;
        deepest = std::max(deepest, depth);
    }
    expr.final_depth_ = depth;
    expr.max_depth_ = deepest;
    return expr;
}

namespace {

// Integer division and remainder with the two corner cases defined: the most
// negative value divided by -1 stays itself, and its remainder is 0.
std::int64_t int_div(std::int64_t a, std::int64_t b) { return (a == kMin && b == -1) ? kMin : a / b; }
std::int64_t int_rem(std::int64_t a, std::int64_t b) { return (b == -1) ? 0 : a % b; }

// x rounded to `places` decimal places, halves away from zero. Beyond what a
// double can hold the scale overflows: then x already has fewer places than
// asked for (returned unchanged), or rounds to a signed zero.
double round_places(double x, std::int64_t places) {
    if (!std::isfinite(x)) return x;
    if (places > 400) return x;
    if (places < -400) return std::copysign(0.0, x);
    const double scale = std::pow(10.0, static_cast<double>(places));
    if (scale == 0.0) return std::copysign(0.0, x);
    const double scaled = x * scale;
    if (!std::isfinite(scaled)) return x;
    return std::round(scaled) / scale;
}

}  // namespace

std::expected<Number, std::string> Expr::eval(std::span<const Number> values, Arithmetic mode) const {
    return mode == Arithmetic::Floating ? run<true>(values) : run<false>(values);
}

template <bool kFloating>
std::expected<Number, std::string> Expr::run(std::span<const Number> values) const {
    // Formulas in device descriptions are shallow; a deeper one gets a heap
    // stack. Raw bytes, so the common case initialises nothing.
    constexpr std::size_t kInline = 32;
    alignas(Number) std::byte inline_bytes[kInline * sizeof(Number)];
    std::unique_ptr<Number[]> heap;
    Number* st = std::launder(reinterpret_cast<Number*>(inline_bytes));
    if (max_depth_ > kInline) {
        heap = std::make_unique<Number[]>(max_depth_);
        st = heap.get();
    }
    // sp counts values; the checks for too few values were settled at parse.
    std::size_t sp = 0;

    const ExprOp* op = ops_.data();
    const ExprOp* const end = op + sound_prefix_;
    for (; op != end; ++op) {
        // One flat dispatch: unary operations rewrite the top value, binary
        // ones combine the top two into the lower slot.
        // t[-1] is the top value, t[-2] the one under it (where a binary
        // result goes); only cases with enough values reach for them.
        Number* const t = st + sp;
        switch (op->code) {
            case ExprCode::PushInt: st[sp++] = Number::from_int(op->i); break;
            case ExprCode::PushFloat: st[sp++] = Number::from_float(op->f); break;
            case ExprCode::PushVar:
                if (op->var >= values.size()) [[unlikely]]
                    return std::unexpected(fmt::format("variable '{}' unbound", variables_[op->var]));
                st[sp++] = values[op->var];
                break;
            case ExprCode::Colon: break;
            case ExprCode::Cond:
                st[sp - 3] = st[sp - 3].truthy() ? st[sp - 2] : st[sp - 1];
                sp -= 2;
                break;

            case ExprCode::Neg:
            case ExprCode::FnNeg:
                if (t[-1].is_int()) {
                    const std::int64_t v = t[-1].int_value();
                    t[-1] = (kFloating && v == kMin) ? Number::from_float(-static_cast<double>(v))
                                                     : Number::from_int(s(0 - u(v)));
                } else {
                    t[-1] = Number::from_float(-t[-1].float_value());
                }
                break;
            case ExprCode::Plus: break;
            case ExprCode::BitNot: t[-1] = Number::from_int(~t[-1].to_int()); break;
            case ExprCode::Sin: t[-1] = Number::from_float(std::sin(t[-1].to_double())); break;
            case ExprCode::Cos: t[-1] = Number::from_float(std::cos(t[-1].to_double())); break;
            case ExprCode::Tan: t[-1] = Number::from_float(std::tan(t[-1].to_double())); break;
            case ExprCode::Asin: t[-1] = Number::from_float(std::asin(t[-1].to_double())); break;
            case ExprCode::Acos: t[-1] = Number::from_float(std::acos(t[-1].to_double())); break;
            case ExprCode::Atan: t[-1] = Number::from_float(std::atan(t[-1].to_double())); break;
            case ExprCode::Exp: t[-1] = Number::from_float(std::exp(t[-1].to_double())); break;
            case ExprCode::Ln: t[-1] = Number::from_float(std::log(t[-1].to_double())); break;
            case ExprCode::Lg: t[-1] = Number::from_float(std::log10(t[-1].to_double())); break;
            case ExprCode::Sqrt: t[-1] = Number::from_float(std::sqrt(t[-1].to_double())); break;
            case ExprCode::Abs:
                if (t[-1].is_int()) {
                    // The most negative value has no positive counterpart and stays.
                    std::int64_t v = t[-1].int_value();
                    t[-1] = (kFloating && v == kMin) ? Number::from_float(-static_cast<double>(v))
                                                     : Number::from_int(v < 0 ? s(0 - u(v)) : v);
                } else {
                    t[-1] = Number::from_float(std::fabs(t[-1].float_value()));
                }
                break;
            case ExprCode::Sgn:
                if (t[-1].is_int()) {
                    std::int64_t v = t[-1].int_value();
                    t[-1] = Number::from_int((v > 0) - (v < 0));
                } else {
                    double v = t[-1].float_value();  // NaN compares false both ways: 0
                    t[-1] = Number::from_int((v > 0) - (v < 0));
                }
                break;
            case ExprCode::Trunc: t[-1] = Number::from_float(std::trunc(t[-1].to_double())); break;
            case ExprCode::Round: t[-1] = Number::from_float(std::round(t[-1].to_double())); break;
            case ExprCode::Floor: t[-1] = Number::from_float(std::floor(t[-1].to_double())); break;
            case ExprCode::Ceil: t[-1] = Number::from_float(std::ceil(t[-1].to_double())); break;
            case ExprCode::RoundPlaces:
                t[-2] = Number::from_float(round_places(t[-2].to_double(), t[-1].to_int()));
                --sp;
                break;

            case ExprCode::Add:
                if (t[-2].is_int() && t[-1].is_int()) {
                    std::int64_t r;
                    if (kFloating && __builtin_add_overflow(t[-2].int_value(), t[-1].int_value(), &r))
                        t[-2] = Number::from_float(t[-2].to_double() + t[-1].to_double());
                    else
                        t[-2] = Number::from_int(s(u(t[-2].int_value()) + u(t[-1].int_value())));
                } else {
                    t[-2] = Number::from_float(t[-2].to_double() + t[-1].to_double());
                }
                --sp;
                break;
            case ExprCode::Sub:
                if (t[-2].is_int() && t[-1].is_int()) {
                    std::int64_t r;
                    if (kFloating && __builtin_sub_overflow(t[-2].int_value(), t[-1].int_value(), &r))
                        t[-2] = Number::from_float(t[-2].to_double() - t[-1].to_double());
                    else
                        t[-2] = Number::from_int(s(u(t[-2].int_value()) - u(t[-1].int_value())));
                } else {
                    t[-2] = Number::from_float(t[-2].to_double() - t[-1].to_double());
                }
                --sp;
                break;
            case ExprCode::Mul:
                if (t[-2].is_int() && t[-1].is_int()) {
                    std::int64_t r;
                    if (kFloating && __builtin_mul_overflow(t[-2].int_value(), t[-1].int_value(), &r))
                        t[-2] = Number::from_float(t[-2].to_double() * t[-1].to_double());
                    else
                        t[-2] = Number::from_int(s(u(t[-2].int_value()) * u(t[-1].int_value())));
                } else {
                    t[-2] = Number::from_float(t[-2].to_double() * t[-1].to_double());
                }
                --sp;
                break;
            case ExprCode::Div:
                if (!kFloating && t[-2].is_int() && t[-1].is_int()) {
                    if (t[-1].int_value() == 0) return std::unexpected(std::string("division by zero"));
                    t[-2] = Number::from_int(int_div(t[-2].int_value(), t[-1].int_value()));
                } else {
                    t[-2] = Number::from_float(t[-2].to_double() / t[-1].to_double());
                }
                --sp;
                break;
            case ExprCode::Rem: {
                std::int64_t d = t[-1].to_int();
                if (d == 0) return std::unexpected(std::string("remainder by zero"));
                t[-2] = Number::from_int(int_rem(t[-2].to_int(), d));
                --sp;
                break;
            }
            case ExprCode::Pow:
                t[-2] = Number::from_float(std::pow(t[-2].to_double(), t[-1].to_double()));
                --sp;
                break;
            case ExprCode::BitAnd:
                t[-2] = Number::from_int(t[-2].to_int() & t[-1].to_int());
                --sp;
                break;
            case ExprCode::BitOr:
                t[-2] = Number::from_int(t[-2].to_int() | t[-1].to_int());
                --sp;
                break;
            case ExprCode::BitXor:
                t[-2] = Number::from_int(t[-2].to_int() ^ t[-1].to_int());
                --sp;
                break;
            case ExprCode::Shl:
                t[-2] = Number::from_int(s(u(t[-2].to_int()) << (t[-1].to_int() & 63)));
                --sp;
                break;
            case ExprCode::Shr:
                t[-2] = Number::from_int(t[-2].to_int() >> (t[-1].to_int() & 63));
                --sp;
                break;
            case ExprCode::Eq:
            case ExprCode::Ne:
            case ExprCode::Lt:
            case ExprCode::Le:
            case ExprCode::Gt:
            case ExprCode::Ge: {
                int cmp;  // -1, 0, 1
                if (t[-2].is_int() && t[-1].is_int()) {
                    cmp = (t[-2].int_value() > t[-1].int_value()) - (t[-2].int_value() < t[-1].int_value());
                } else {
                    double p = t[-2].to_double(), q = t[-1].to_double();
                    if (std::isnan(p) || std::isnan(q)) return std::unexpected(std::string("NaN in comparison"));
                    cmp = (p > q) - (p < q);
                }
                const ExprCode c = op->code;
                bool truth = c == ExprCode::Eq   ? cmp == 0
                             : c == ExprCode::Ne ? cmp != 0
                             : c == ExprCode::Lt ? cmp < 0
                             : c == ExprCode::Le ? cmp <= 0
                             : c == ExprCode::Gt ? cmp > 0
                                                 : cmp >= 0;
                t[-2] = boolean(truth);
                --sp;
                break;
            }
            case ExprCode::LogAnd:
                t[-2] = boolean(t[-2].truthy() && t[-1].truthy());
                --sp;
                break;
            case ExprCode::LogOr:
                t[-2] = boolean(t[-2].truthy() || t[-1].truthy());
                --sp;
                break;
            case ExprCode::LParen:
            default: return std::unexpected(std::string("internal: operand in operator position"));
        }
    }

    if (sound_prefix_ != ops_.size()) return std::unexpected(std::string("expression stack underflow"));
    if (final_depth_ != 1) return std::unexpected(std::string("malformed expression"));
    return st[0];
}

}  // namespace oculane
