// Nucleated polymerisation in time: every aggregate up to a cutoff, by
// monomer addition and loss, with the tail beyond the cutoff in two moments.
// Plain C++: nothing here knows about Python.
//
// Sizes i = 1 (the monomer m) .. N are explicit.  Reaction i joins a monomer
// to an aggregate of i and makes one of i + 1, at the net rate
//   r_i = f_i (m c_i - c_{i+1} / K_i),
// with f_i = a k+ and K_i = sigma K for the additions that make the nucleus
// and smaller (i + 1 <= n), f_i = k+ and K_i = K beyond.  Every step's loss
// rate is its growth rate over its equilibrium constant, so the state at
// rest is the equilibrium of the nucleus-size-n model: c_i = (sigma K)^(i-1)
// m^i up to n, sigma^(n-1) K^(i-1) m^i beyond.
//
// The aggregates larger than N are kept as their number P and their excess
// size Q = sum_j j c_{N+j}; only the loss of an (N+1)-mer back into the
// explicit sizes needs more, and it is taken from the geometric
// distribution with the same two moments, c_{N+1} = P^2 / Q.  At rest the
// tail is geometric, so the closure is exact there; every exchange keeps
// m + sum_i i c_i + N P + Q (the total) fixed.
//
// The state is scaled by c_tot: y = (m, c_2, .., c_N, P, Q) / c_tot, of
// N + 2 values.  The integrator is the three-stage Radau IIA method (order
// 5, stiffly accurate, L-stable) with simplified Newton iterations; the
// matrices it solves are the identity times a real or complex number minus
// the Jacobian, which is banded (two diagonals either side) apart from the
// monomer's row and column, so each solve takes O(N).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvara::kinetics {

struct Rates {
    std::uint32_t nuc_size;  // n >= 2; the cutoff N must exceed it
    double k;                // elongation constant K, L/mol
    double sigma;            // nucleation factor
    double k_plus;           // elongation rate constant, L/(mol s)
    double ratio;            // a: nucleation's rate constant over k+
    double c_tot;            // mol/L: the scale of the state
};

struct Settings {
    double rtol;
    double atol;  // in units of c_tot
    std::uint64_t max_steps;
};

// What a sensitivity is taken in: the logarithm of K, sigma, k+ or a at the
// run's temperature, or none (a start's constants: only its state at time 0
// moves, and the caller gives that).
enum class Forcing { ln_k, ln_sigma, ln_k_plus, ln_ratio, none };

enum class Status { ok, bad_input, too_small_step, too_many_steps, not_finite, no_memory, stopped };

struct Stats {
    std::uint64_t steps = 0;
    std::uint64_t rejected = 0;
    std::uint64_t evaluations = 0;
    std::uint64_t factorisations = 0;
};

struct Outcome {
    Status status = Status::ok;
    double time = 0.0;  // where the integration stopped, when it failed
    Stats stats;
};

// The sums written per output time, in units of c_tot: the free monomer, the
// monomers in oligomers (2 .. n), in polymers (above n), the number of
// polymers and the monomers in aggregates beyond the cutoff.
inline constexpr std::size_t sum_count = 5;

// Called before every step; true stops the integration (Status::stopped).
using Poll = bool (*)();

// Integrates from `start` at time 0: the state (dim = N + 2 values, scaled),
// then the sensitivities' values at time 0, dim each, one per forcing.  For
// each of `count` non-decreasing, non-negative times it writes sum_count
// sums of the state and then of each sensitivity into `sums`, and when
// `states` is not null the dim values of the state.
Outcome simulate(const Rates& rates, const double* start, std::size_t dim, const Forcing* forcings,
                 std::size_t sensitivities, const double* times, std::size_t count, const Settings& settings,
                 double* sums, double* states, Poll poll) noexcept;

const char* message(Status status) noexcept;

}  // namespace kelvara::kinetics
