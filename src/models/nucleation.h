// The nucleation correction of the nucleus-size-n model,
//   S = sum_{i=2}^{n-1} i x^i (sigma^(i-1) - sigma^(n-1)),
// taken term by term for i = 2 .. n-1, each term
//   t_i = x^i * ((sigma^(i-1) * i) * expm1(ln(sigma) * (n - i)))
// subtracted from S in turn.  Everything but x^i is the same at every
// midpoint, so it can be tabulated once per sigma and n; evaluating from the
// table performs exactly the same multiplications and subtractions, in the
// same order, and so gives the same double.
#pragma once

#include <cmath>
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

// Where nucleation is favoured (sigma > 1) the balance above cancels: the
// elongation part carries sigma^(n-1) for every size from 2 up, and S takes
// nearly all of it away again, so that for n = 8 and sigma = 100 the
// fraction keeps no correct digit.  There the sum is taken as it stands,
// every term positive, in powers of y = sigma x:
//   k F - x = B(x) = sum_{i=2}^{n-1} i x y^(i-1) + x y^(n-1) (n u + x) / u^2,
// u = 1 - x (the tail is sigma^(n-1) sum_{i>=n} i x^i).  Its relative error
// is a few ulps per term, whatever sigma and n are.
//
// The rule that picks it: nucleus of 3 or more, 1 < sigma < inf, and a
// positive finite k and conc with 1/k finite.  Everything else (sigma <= 1,
// n = 2, and NaN, negative, zero or infinite arguments) keeps the balance
// above, double for double.
constexpr bool favoured(double conc, double k, double sigma, std::uint32_t nuc_size) noexcept {
    return nuc_size >= 3 && sigma > 1.0 && sigma < HUGE_VAL && k > 0.0 && k < HUGE_VAL &&
           1.0 / k < HUGE_VAL && conc > 0.0 && conc < HUGE_VAL;
}

// B(x) for 0 <= x < 1, in this order: y <- sigma x; p <- x; b <- +0;
// w <- 2; n - 2 times {p <- flush(p y); t <- w p; b <- b + t; w <- w + 1};
// p <- flush(p y); u <- 1 - x; a <- w u + x (w is n by now);
// B <- b + (p a) / (u u).  flush(p) is 0 below the smallest normal double:
// a power that decays would otherwise stick at the smallest subnormal
// (5e-324 y rounds back to 5e-324 for y > 1/2) instead of vanishing, and
// the terms it drops are below 1e-307 of x.  Real is double or a vector of
// doubles acting lane by lane; the scalar favoured_sum below gives the same
// doubles.
inline constexpr double smallest_normal = 0x1p-1022;

template <typename Real>
[[gnu::always_inline]] inline Real flush(Real p) noexcept {
    return p < smallest_normal ? Real{} : p;
}

// The sum's last step: b, the sizes 2 .. n-1, plus the tail x y^(n-1)
// (n u + x) / u^2, given p = x y^(n-1) and w = n.
template <typename Real>
[[gnu::always_inline]] inline Real favoured_total(Real b, Real p, Real x, double w) noexcept {
    const Real u = 1.0 - x;
    const Real nu = w * u;
    const Real a = nu + x;
    const Real top = p * a;
    const Real bottom = u * u;
    const Real tail = top / bottom;
    return b + tail;
}

template <typename Real>
[[gnu::always_inline]] inline Real favoured_sum_lanes(Real x, Real sigma,
                                                      std::uint32_t nuc_size) noexcept {
    const Real y = sigma * x;
    Real p = x;
    Real b = x - x;  // +0 in every lane (x is finite here)
    double w = 2.0;
    for (std::uint32_t i = 2; i < nuc_size; ++i) {
        p = flush(p * y);
        const Real t = w * p;
        b = b + t;
        w = w + 1.0;
    }
    return favoured_total(b, flush(p * y), x, w);
}

// B(x) for any nucleus size, the same doubles as favoured_sum_lanes.  It
// ends early once nothing can change any more (a power that vanished stays
// zero, an infinite sum stays infinite), and polls the caller's stop
// request within nuclei of millions.
double favoured_sum(double x, double sigma, std::uint32_t nuc_size) noexcept;

// The fraction aggregated at the final midpoint m* of a favoured solve:
// 1 - m*/conc, except where that would cancel (m* above half of conc) once
// the bracket has closed on the root (no double left between its bounds):
// there the aggregated share B(k m*)/k/conc, which keeps its digits when
// the fraction is small.
double favoured_fraction(double monomer, double conc, double k, double sigma,
                         std::uint32_t nuc_size, bool closed) noexcept;

}  // namespace kelvara::models
