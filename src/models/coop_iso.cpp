// Mixed model: an isodesmic pathway (every addition k_iso) and a cooperative
// pathway with a dimer nucleus (sigma k_coop, then k_coop) compete for one
// monomer.  With xi = k_iso m and xc = k_coop m the mass balance is
//   conc = m / (1 - xi)^2 + (sigma / k_coop) xc^2 (2 - xc) / (1 - xc)^2,
// taken as the isodesmic total plus the cooperative total minus the monomer
// that both count.
//
// One operation per statement where rounding order matters.
#include <cmath>

#include "models.h"
#include "terms.h"

namespace kelvara::models {

Outcome coop_iso_model(double conc, double k_iso, double k_coop, double sigma,
                       std::uint64_t num_itr) noexcept {
    // The bracket starts at [0, min(1/k_iso, 1/k_coop)], where the minimum
    // ignores a NaN quotient (IEEE minNum): a constant of +0 drops out.
    Bracket bracket{0.0, std::fmin(1.0 / k_iso, 1.0 / k_coop)};
    if (num_itr == 0) {
        return success(bracket.fraction(conc));
    }
    const bool cooperative = k_coop != 0.0;
    const double q = cooperative ? sigma / k_coop : 0.0;
    for (std::uint64_t step = 0; step < num_itr; ++step) {
        const double m = bracket.midpoint();
        // The guards differ on purpose: xi == 1.0 passes (its total is then
        // infinite), xc == 1.0 fails; NaN passes both.  The isodesmic guard
        // is tested first.
        const double xi = k_iso * m;
        if (xi > 1.0) {
            return failure(ModelError::isodesmic_guard);
        }
        double xc = 0.0;
        if (cooperative) {
            xc = k_coop * m;
            if (xc >= 1.0) {
                return failure(ModelError::cooperative_guard);
            }
        }
        const double a1 = 1.0 - xi;
        const double a2 = a1 * a1;
        const double total_iso = m / a2;
        double total_coop = m;
        if (cooperative) {
            total_coop = m + aggregate_term(q, xc);
        }
        const double f = (total_iso + total_coop) - m;
        if (!bracket.narrow_moves(m, f - conc)) {
            break;  // a fixed point: the rest would change nothing
        }
    }
    return success(bracket.fraction(conc));
}

}  // namespace kelvara::models
