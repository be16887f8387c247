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

#include "models.h"
#include "terms.h"

namespace kelvara::models {
namespace {

// S, term by term for i = 2 .. n-1, each subtracted in turn.  sigma^j - 1
// is taken as expm1(j ln sigma), which stays accurate for sigma near 1.
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
double nucleation_correction(double x, double sigma, std::uint32_t nuc_size) noexcept {
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

// The mass balance at m.  x >= 1 counts as too high (+inf): the series
// diverges there, and this model reports no error for it.
double balance(double m, double k, double sigma, double power, std::uint32_t nuc_size) noexcept {
    if (k == 0.0) {
        return m;
    }
    const double x = k * m;
    if (x >= 1.0) {
        return HUGE_VAL;
    }
    // sigma^(n-1) / k * sum_{i>=2} i x^i
    const double elongation = aggregate_term(power, x);
    const double correction = nuc_size == 2 ? 0.0 : nucleation_correction(x, sigma, nuc_size);
    return (m + elongation) + correction / k;
}

}  // namespace

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
    if (nuc_size < 2) {
        return failure(ModelError::nucleus_size);
    }
    // The bracket starts at [0, 1/k]; the answer is the midpoint of the
    // final bracket.
    Bracket bracket{0.0, 1.0 / k};
    if (num_itr == 0) {
        return success(bracket.fraction(conc));
    }
    const double power = power_by_squaring(sigma, nuc_size - 1) / k;
    for (std::uint64_t step = 0; step < num_itr; ++step) {
        const double m = bracket.midpoint();
        const double f = balance(m, k, sigma, power, nuc_size);
        bracket.narrow(m, f - conc);
    }
    return success(bracket.fraction(conc));
}

}  // namespace kelvara::models
