// Arithmetic shared by the cooperative solvers.  Internal to src/models.
#pragma once

namespace kelvara::models {

// q x^2 (2 - x) / (1 - x)^2 = q * sum_{i>=2} i x^i: with q = sigma / k the
// monomer held in the aggregates of a cooperative pathway.  Evaluated as
// (q * ((x * x) * (2 - x))) / ((1 - x) * (1 - x)), each step rounded once.
inline double aggregate_term(double q, double x) noexcept {
    const double one_minus_x = 1.0 - x;
    const double x_squared = x * x;
    const double two_minus_x = 2.0 - x;
    const double series = x_squared * two_minus_x;
    const double numerator = q * series;
    const double denominator = one_minus_x * one_minus_x;
    return numerator / denominator;
}

}  // namespace kelvara::models
