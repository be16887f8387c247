// The nucleation correction of the nucleus-size-n model,
//   S = sum_{i=2}^{n-1} i x^i (sigma^(i-1) - sigma^(n-1)),
// taken term by term for i = 2 .. n-1, each term
//   t_i = x^i * ((sigma^(i-1) * i) * expm1(ln(sigma) * (n - i)))
// subtracted from S in turn.  Everything but x^i is the same at every
// midpoint, so it can be tabulated once per sigma and n; evaluating from the
// table performs exactly the same multiplications and subtractions, in the
// same order, and so gives the same double.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvara::models {

// Nuclei with at most this many correction terms (n - 2) are tabulated;
// larger ones are evaluated term by term.
inline constexpr std::uint32_t max_tabulated_terms = 256;

constexpr bool tabulated(std::uint32_t nuc_size) noexcept {
    return nuc_size >= 2 && nuc_size - 2 <= max_tabulated_terms;
}

// Writes the nuc_size - 2 coefficients (sigma^(i-1) * i) * expm1(ln(sigma) * (n - i)),
// `stride` doubles apart (the lane kernels interleave the tables of their lanes).
void tabulate_nucleation(double sigma, std::uint32_t nuc_size, double* coefficients,
                         std::size_t stride = 1) noexcept;

// S from the table.
inline double nucleation_correction(double x, const double* coefficients,
                                    std::uint32_t count) noexcept {
    double s = 0.0;
    double px = x * x;  // x^i
    for (std::uint32_t i = 0; i < count; ++i) {
        const double t = px * coefficients[i];
        s = s - t;
        px = x * px;
    }
    return s;
}

// S term by term, for any nucleus size.
double nucleation_correction_direct(double x, double sigma, std::uint32_t nuc_size) noexcept;

}  // namespace kelvara::models
