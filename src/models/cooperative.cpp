// Cooperative (nucleation-elongation) model with a dimer nucleus.
//
// With x = k m, the monomer held in aggregates of every size from 2 up is
// (sigma / k) x^2 (2 - x) / (1 - x)^2, so the mass balance is
//   F(m) = m + (sigma / k) x^2 (2 - x) / (1 - x)^2 - conc,
// finite only for x < 1: the root lies in [0, 1/k).
//
// One operation per statement where rounding order matters.
#include "models.h"
#include "terms.h"

namespace kelvara::models {

Outcome cooperative_model(double conc, double k, double sigma, std::uint64_t num_itr) noexcept {
    // The bracket starts at [0, 1/k].  The answer is the midpoint of the
    // final bracket, neither tested nor guarded.
    Bracket bracket{0.0, 1.0 / k};
    if (num_itr == 0) {
        return success(bracket.fraction(conc));
    }
    if (k == 0.0) {
        // No aggregate term and no guard.
        for (std::uint64_t step = 0; step < num_itr; ++step) {
            const double m = bracket.midpoint();
            if (!bracket.narrow_moves(m, m - conc)) {
                break;  // a fixed point: the rest would change nothing
            }
        }
        return success(bracket.fraction(conc));
    }
    const double q = sigma / k;
    for (std::uint64_t step = 0; step < num_itr; ++step) {
        const double m = bracket.midpoint();
        const double x = k * m;
        // Not strict: x == 1.0 is an error here; a NaN x passes.
        if (x >= 1.0) {
            return failure(ModelError::cooperative_guard);
        }
        const double total = m + aggregate_term(q, x);
        if (!bracket.narrow_moves(m, total - conc)) {
            break;  // a fixed point: the rest would change nothing
        }
    }
    return success(bracket.fraction(conc));
}

}  // namespace kelvara::models
