// Several independent bisections advanced side by side: one lane per
// point (a temperature of a sweep, a point of a fit), a group of
// `lane_count` points per pass (four vectors
// of four lanes, whose independent dependency chains overlap).  Every lane
// performs exactly the operations of the scalar solver, in the same order,
// so each point gets the same double as a call of the solver would
// give it; only the instruction stream is shared.
//
// Each kernel exists for several instruction sets; `best_isa()` names the
// widest the CPU offers, and the others stay callable so that tests can
// compare every one of them with the scalar solvers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "models.h"

namespace kelvara::models::lanes {

inline constexpr std::size_t lane_count = 16;

enum class Isa : std::uint8_t { portable, avx2, avx512 };

Isa best_isa() noexcept;
bool supported(Isa isa) noexcept;

// Inputs per lane (the constants and the total concentration) and the
// number of bisection steps; outputs are the fraction aggregated, the free
// monomer (the midpoint of the final bracket) and the model error of the
// lane (ModelError::none if it has none).  A group stops early once no lane
// moves, which changes nothing (see Brackets::narrow).
struct Results {
    double fraction[lane_count];
    double monomer[lane_count];
    models::ModelError error[lane_count];
};

void isodesmic(Isa isa, const double* k, const double* conc, std::uint64_t steps,
               Results& results) noexcept;
void cooperative(Isa isa, const double* k, const double* sigma, const double* conc,
                 std::uint64_t steps, Results& results) noexcept;
void coop_iso(Isa isa, const double* k_iso, const double* k_coop, const double* sigma,
              const double* conc, std::uint64_t steps, Results& results) noexcept;
// For tabulated nucleus sizes only.  coefficients: nuc_size - 2 rows of
// lane_count values, the tabulated nucleation terms of each lane (see
// nucleation.h); power: sigma^(n-1) / k per lane.  Lanes where nucleation
// is favoured (models::favoured) take the positive sum instead, as the
// scalar solver does; their tables are not read.
void cooperative_n(Isa isa, const double* k, const double* sigma, const double* power,
                   const double* coefficients, std::uint32_t nuc_size, const double* conc,
                   std::uint64_t steps, Results& results) noexcept;

}  // namespace kelvara::models::lanes
