#pragma once

namespace oculane {

// Builds a visitor out of lambdas, one per variant alternative.
template <class... F>
struct Overload : F... {
    using F::operator()...;
};
// Deduction from the lambdas; C++20 deduces aggregates without it, but
// clang 16 (the thread-safety check's compiler) does not yet.
template <class... F>
Overload(F...) -> Overload<F...>;

}  // namespace oculane
