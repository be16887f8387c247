// Arithmetic shared by the cooperative solvers and their lane kernels.
// Internal to the model layers.
#pragma once

namespace kelvara::models {

// q x^2 (2 - x) / (1 - x)^2 = q * sum_{i>=2} i x^i: with q = sigma / k the
// monomer held in the aggregates of a cooperative pathway.  Evaluated as
// (q * ((x * x) * (2 - x))) / ((1 - x) * (1 - x)), each step rounded once.
// Real is double, or a vector of doubles whose operators act lane by lane;
// always inlined, so that each caller's instruction set applies.
template <typename Real>
[[gnu::always_inline]] inline Real aggregate_term(Real q, Real x) noexcept {
    const Real one_minus_x = 1.0 - x;
    const Real x_squared = x * x;
    const Real two_minus_x = 2.0 - x;
    const Real series = x_squared * two_minus_x;
    const Real numerator = q * series;
    const Real denominator = one_minus_x * one_minus_x;
    return numerator / denominator;
}

}  // namespace kelvara::models
