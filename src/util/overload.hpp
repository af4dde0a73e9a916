#pragma once

namespace oculane {

// Builds a visitor out of lambdas, one per variant alternative.
template <class... F>
struct Overload : F... {
    using F::operator()...;
};

}  // namespace oculane
