// Cooperative model with a nucleus of n monomers: every addition up to size
// n has the constant sigma k, every further addition k.  With x = k c,
//   F(c) = (1/k) [x + sum_{i=2}^{n-1} i sigma^(i-1) x^i
//                   + sigma^(n-1) sum_{i>=n} i x^i],
// evaluated as m + P x^2 (2 - x) / (1 - x)^2 + S / k with the power factor
// P = sigma^(n-1) / k and the nucleation correction
//   S = sum_{i=2}^{n-1} i x^i (sigma^(i-1) - sigma^(n-1)).
//
// One operation per statement where rounding order matters.
#include <cmath>

// Pair never crosses a call, so the ABI of passing it does not matter.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "models.h"
#include "nucleation.h"
#include "terms.h"

namespace kelvara::models {
namespace {

// The mass balance at m, with the correction tabulated when it fits.
// x >= 1 counts as too high (+inf): the series diverges there, and this
// model reports no error for it.
struct Balance {
    double k;
    double sigma;
    double power;  // sigma^(n-1) / k
    std::uint32_t nuc_size;
    const double* coefficients;  // null: evaluate term by term
    bool favoured;               // sigma > 1: the positive sum (nucleation.h)

    double operator()(double m) const noexcept {
        if (k == 0.0) {
            return m;
        }
        const double x = k * m;
        if (x >= 1.0) {
            return HUGE_VAL;
        }
        if (favoured) {
            const double b = favoured_sum(x, sigma, nuc_size);
            return m + b / k;
        }
        // sigma^(n-1) / k * sum_{i>=2} i x^i
        const double elongation = aggregate_term(power, x);
        double correction = 0.0;
        if (coefficients != nullptr) {
            correction = nucleation_correction(x, coefficients, nuc_size - 2);
        } else if (nuc_size != 2) {
            correction = nucleation_correction_direct(x, sigma, nuc_size);
        }
        return (m + elongation) + correction / k;
    }
};

// Two points at once, one per lane of an SSE2 register, each lane rounded
// exactly as the scalar operation.
using Pair = double __attribute__((vector_size(2 * sizeof(double))));

// The balance minus conc at two points, from the table: Balance's
// operations lane by lane (the series branch is computed everywhere and
// replaced by +inf where x >= 1).
[[gnu::always_inline]] inline Pair excess_at(const Balance& balance, Pair m, double conc) {
    if (balance.k == 0.0) {
        return m - conc;
    }
    const Pair x = balance.k * m;
    if (balance.favoured) {
        // Where x >= 1 the sum is not used (nor finite): take it at 0.
        const Pair below_one = x >= 1.0 ? Pair{} : x;
        const Pair b = favoured_sum_lanes(below_one, balance.sigma - Pair{}, balance.nuc_size);
        const Pair total = m + b / balance.k;
        const Pair f = x >= 1.0 ? Pair{} + HUGE_VAL : total;
        return f - conc;
    }
    Pair s = {};
    Pair px = x * x;
    for (std::uint32_t i = 0; i < balance.nuc_size - 2; ++i) {
        const Pair t = px * balance.coefficients[i];
        s = s - t;
        px = x * px;
    }
    const Pair power = balance.power - Pair{};  // both lanes; x - 0 keeps a -0
    const Pair elongation = aggregate_term(power, x);
    const Pair series = (m + elongation) + s / balance.k;
    const Pair f = x >= 1.0 ? Pair{} + HUGE_VAL : series;
    return f - conc;
}

// Three bisection steps per round.  Whatever the first two decisions are,
// the midpoints the three steps test are among seven known in advance: the
// midpoint, the two the next step may test and the four after those, each
// formed by the very expression the step-by-step loop uses, (lower + upper)
// * 0.5 of the bracket it would have.  They are evaluated together, work the
// CPU overlaps where one step would wait on the previous; then the three
// decisions are taken in order with the values of the points actually
// reached.  So the same midpoints are tested and the same bracket results.
[[gnu::always_inline]] inline void three_steps(const Balance& balance, double conc,
                                               Bracket& bracket) {
    const double lower = bracket.lower;
    const double upper = bracket.upper;
    const double m = (lower + upper) * 0.5;
    const double m_low = (lower + m) * 0.5;
    const double m_high = (m + upper) * 0.5;
    const Pair children = {m_low, m_high};
    const Pair below = {(lower + m_low) * 0.5, (m_low + m) * 0.5};
    const Pair above = {(m + m_high) * 0.5, (m_high + upper) * 0.5};
    const double d = balance(m) - conc;
    const Pair d_children = excess_at(balance, children, conc);
    const Pair d_below = excess_at(balance, below, conc);
    const Pair d_above = excess_at(balance, above, conc);

    bracket.narrow(m, d);
    const bool up = d <= 0.0;  // the bracket is now [m, upper], else [lower, m]
    const int child = up ? 1 : 0;
    bracket.narrow(children[child], d_children[child]);
    const bool then_up = d_children[child] <= 0.0;
    const int grandchild = then_up ? 1 : 0;
    const Pair& next = up ? above : below;
    const Pair& d_next = up ? d_above : d_below;
    bracket.narrow(next[grandchild], d_next[grandchild]);
}

// The fraction at the midpoint of the final bracket, and that midpoint.
Outcome finish(const Balance& balance, double conc, const Bracket& bracket, double& monomer) noexcept {
    monomer = bracket.midpoint();
    if (!balance.favoured) {
        return success(bracket.fraction(conc));
    }
    const double fraction = favoured_fraction(monomer, conc, balance.k, balance.sigma, balance.nuc_size,
                                              bracket.closed());
    // A nucleus too large for the tables polls within its sum, which a stop
    // leaves unfinished.
    if (!tabulated(balance.nuc_size) && poll_stop()) {
        return failure(ModelError::interrupted);
    }
    return success(fraction);
}

}  // namespace

void tabulate_nucleation(double sigma, std::uint32_t nuc_size, double* coefficients,
                         std::size_t stride) noexcept {
    const double log_sigma = std::log1p(sigma - 1.0);
    double ps = sigma;               // sigma^(i-1)
    double w = 2.0;                  // i
    std::uint32_t j = nuc_size - 2;  // n - i
    for (std::uint32_t i = 0; j != 0; ++i) {
        const double e = std::expm1(log_sigma * static_cast<double>(j));
        coefficients[i * stride] = (ps * w) * e;
        ps = sigma * ps;
        w = w + 1.0;
        j = j - 1;
    }
}

// S term by term.  sigma^j - 1 is taken as expm1(j ln sigma), which stays
// accurate for sigma near 1.
//
// The loop stops early only where the rest cannot change anything the
// caller sees, so that very large nuclei (up to 2^32 - 1) cost no more than
// the terms that matter:
// - With sigma in [0, 1] and |x| <= 1, every factor of a term is finite
//   (x^i and sigma^(i-1) at most 1, expm1 in [-1, 0]).  Once x^i or
//   sigma^(i-1) is exactly zero it stays zero, and so does every later term
//   (with sigma = 1 every term is zero from the start).  Subtracting a zero
//   never changes S: S starts at +0, can only return to zero as +0, and
//   +0 - (+-0) is +0.
// - Once S is NaN it stays NaN, and a NaN balance moves the upper bound
//   whatever its bits.
double nucleation_correction_direct(double x, double sigma, std::uint32_t nuc_size) noexcept {
    const double log_sigma = std::log1p(sigma - 1.0);
    const bool bounded = sigma >= 0.0 && sigma <= 1.0 && x >= -1.0 && x <= 1.0;
    if (bounded && log_sigma == 0.0) {
        return 0.0;
    }
    double s = 0.0;
    double px = x * x;               // x^i
    double ps = sigma;               // sigma^(i-1)
    double w = 2.0;                  // i
    std::uint32_t j = nuc_size - 2;  // n - i
    while (j != 0) {
        if (bounded && (px == 0.0 || ps == 0.0)) {
            break;
        }
        // About a millisecond of terms between polls; a stop leaves S
        // unfinished, and the solver returns before using it.
        if ((j & 0xFFFFFU) == 0 && poll_stop()) {
            break;
        }
        const double e = std::expm1(log_sigma * static_cast<double>(j));
        const double t = px * ((ps * w) * e);
        s = s - t;
        if (std::isnan(s)) {
            break;
        }
        px = x * px;
        ps = sigma * ps;
        w = w + 1.0;
        j = j - 1;
    }
    return s;
}

double favoured_sum(double x, double sigma, std::uint32_t nuc_size) noexcept {
    const double y = sigma * x;
    double p = x;    // x y^(i-1)
    double b = 0.0;  // the sizes 2 .. i
    double w = 2.0;  // i
    for (std::uint32_t j = nuc_size - 2; j != 0; --j) {
        p = flush(p * y);
        // A power that vanished stays zero and adds zeros, tail included;
        // an infinite sum stays infinite (no term is negative or NaN).
        if (p == 0.0) {
            return b;
        }
        const double t = w * p;
        b = b + t;
        if (b == HUGE_VAL) {
            return b;
        }
        if ((j & 0xFFFFFU) == 0 && poll_stop()) {
            return b;  // unfinished: the solver returns before using it
        }
        w = w + 1.0;
    }
    return favoured_total(b, flush(p * y), x, w);
}

double favoured_fraction(double monomer, double conc, double k, double sigma, std::uint32_t nuc_size,
                         bool closed) noexcept {
    const double ratio = monomer / conc;
    if (closed && ratio > 0.5) {
        const double x = k * monomer;
        if (x < 1.0) {
            const double aggregated = favoured_sum(x, sigma, nuc_size) / k;
            return aggregated / conc;
        }
    }
    return 1.0 - ratio;
}

double power_by_squaring(double sigma, std::uint32_t exponent) noexcept {
    double result = (exponent & 1U) != 0 ? sigma : 1.0;
    double base = sigma;
    for (exponent >>= 1; exponent != 0; exponent >>= 1) {
        base = base * base;
        if ((exponent & 1U) != 0) {
            result = result * base;
        }
    }
    return result;
}

Outcome cooperative_model_n(double conc, double k, double sigma, std::uint32_t nuc_size,
                            std::uint64_t num_itr) noexcept {
    double monomer = 0.0;
    return solve_cooperative_n(conc, k, sigma, nuc_size, num_itr, monomer);
}

Outcome solve_cooperative_n(double conc, double k, double sigma, std::uint32_t nuc_size,
                            std::uint64_t num_itr, double& monomer) noexcept {
    if (nuc_size < 2) {
        return failure(ModelError::nucleus_size);
    }
    // The bracket starts at [0, 1/k]; the answer is the midpoint of the
    // final bracket.
    Bracket bracket{0.0, 1.0 / k};
    monomer = bracket.midpoint();
    if (num_itr == 0) {
        return success(bracket.fraction(conc));
    }
    // Everything in the balance that does not depend on m, once per call.
    const bool positive_sum = favoured(conc, k, sigma, nuc_size);
    double coefficients[max_tabulated_terms];
    const bool table = tabulated(nuc_size);
    if (table && !positive_sum) {
        tabulate_nucleation(sigma, nuc_size, coefficients);
    }
    const Balance balance{k, sigma, power_by_squaring(sigma, nuc_size - 1) / k, nuc_size,
                          table ? coefficients : nullptr, positive_sum};
    // A round (or step) that leaves the bracket as it was has reached a
    // fixed point: every later one would too, so the loops may end there.
    std::uint64_t step = 0;
    if (table) {
        for (; num_itr - step >= 3; step += 3) {
            const Bracket before = bracket;
            three_steps(balance, conc, bracket);
            if (bracket.same_as(before)) {
                return finish(balance, conc, bracket, monomer);
            }
        }
    }
    for (; step < num_itr; ++step) {
        const double m = bracket.midpoint();
        const double excess = balance(m) - conc;
        // A step costs at least the 257 terms of a nucleus too large for
        // the tables, so a poll per step is cheap; the sum itself polls
        // within nuclei of millions.
        if (poll_stop()) {
            return failure(ModelError::interrupted);
        }
        if (!bracket.narrow_moves(m, excess)) {
            break;
        }
    }
    return finish(balance, conc, bracket, monomer);
}

}  // namespace kelvara::models
