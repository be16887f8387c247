// Isodesmic model: every monomer addition has the same constant K, so the
// mass balance is conc = m / (1 - K m)^2 with m the free monomer.
//
// One operation per statement where rounding order matters.
#include <cfloat>
#include <cmath>

#include "models.h"

namespace kelvara::models {

double isodesmic_fraction(double x) noexcept {
    if (x > 0.0 && x <= DBL_MAX) {
        // With t = sqrt(X + 1/4), the fraction aggregated is
        //   1 - 2 / (1 + 2X + sqrt(1 + 4X)) = 1 - 1 / (X + 1/2 + t).
        // Below X = 1 that difference cancels; multiplying out
        // (2X + 1 - sqrt(4X + 1)) = 4X^2 / (2X + 1 + sqrt(4X + 1)) and
        // sqrt(4X + 1) - 1 = 4X / (sqrt(4X + 1) + 1) leaves a form made of
        // sums of positive terms only:
        //   X (2t + 3) / ((2t + 1) (X + 1/2 + t)).
        // Neither form overflows for any finite X (4X and 2X would).
        const double t = std::sqrt(x + 0.25);
        const double denominator = (x + 0.5) + t;
        if (x < 1.0) {
            const double numerator = x * (2.0 * t + 3.0);
            return numerator / ((2.0 * t + 1.0) * denominator);
        }
        return 1.0 - 1.0 / denominator;
    }
    // Zero, negative, infinite or NaN X: the textbook formula, step by step
    // (NaN at 0 and at +-inf, -3 at -1/4, NaN below -1/4).
    const double a = x + x;
    const double b = a + 1.0;
    double d = x * 4.0;
    d = d + 1.0;
    const double s = std::sqrt(d);
    const double n = b - s;
    const double t = n / a;
    const double u = t / x;
    return 1.0 - u;
}

double isodesmic_model_direct(double x, double k) noexcept {
    return isodesmic_fraction(x * k);
}

Outcome isodesmic_model(double conc, double k, std::uint64_t num_itr) noexcept {
    // The bracket starts at [0, 1/k]; for positive k and conc the residual
    // m / (1 - k m)^2 - conc is negative at 0 and unbounded as k m -> 1, so
    // the root stays inside.
    //
    // The guard is strict: p == 1.0 passes (its residual is +inf and moves
    // the upper bound), and so does a NaN p.
    Bracket bracket{0.0, 1.0 / k};
    for (std::uint64_t step = 0; step < num_itr; ++step) {
        const double m = bracket.midpoint();
        const double p = k * m;
        if (p > 1.0) {
            return failure(ModelError::isodesmic_guard);
        }
        const double t1 = 1.0 - p;
        const double t2 = t1 * t1;
        const double t3 = m / t2;
        if (!bracket.narrow_moves(m, t3 - conc)) {
            break;  // a fixed point: the rest would change nothing
        }
    }
    // The final midpoint is guarded like every tested one (also when
    // num_itr is 0), but its residual is never evaluated.
    const double p = k * bracket.midpoint();
    if (p > 1.0) {
        return failure(ModelError::isodesmic_guard);
    }
    return success(bracket.fraction(conc));
}

}  // namespace kelvara::models
