// Temperature-dependent models: equilibrium constants from enthalpy and
// entropy changes, swept over a list of temperatures through the
// concentration-based solvers.  Plain C++: nothing here knows about Python.
//
// Floating point: each expression rounds once, in the order written.
#pragma once

#include <cstdint>
#include <vector>

#include "lanes.h"
#include "models.h"

namespace kelvara::thermo {

namespace lanes = models::lanes;

// Molar gas constant in J/(mol K); it fixes the units of every sweep:
// enthalpies in J/mol, entropies in J/(mol K), temperatures in kelvin.
inline constexpr double gas_constant = 8.314;

// Bisection steps of every solver call made by a sweep.
inline constexpr std::uint64_t sweep_iterations = 100;

// K = exp(delta_s / R + delta_h / (T * -R)), in exactly that order.  The
// sweeps compute delta_s / R once per call and T * R once per temperature,
// as exp(q - delta_h / (T * R)): the same double for every input, because
// the two forms differ only in where a sign is applied.
double equilibrium_constant(double delta_h, double delta_s, double temp) noexcept;

// The outcome of a sweep: one value per temperature, in list order, or the
// first model error (and then no values at all).
struct SweepOutcome {
    std::vector<double> values;
    models::ModelError error;
};

// Each sweep takes the temperature list by value and returns the same
// storage holding scaler * (fraction aggregated) at each temperature, so a
// call allocates nothing beyond the list it was given.
SweepOutcome temp_isodesmic_model_direct(std::vector<double> temp, double delta_h, double delta_s,
                                         double c_tot, double scaler) noexcept;
SweepOutcome temp_isodesmic_model(std::vector<double> temp, double delta_h, double delta_s,
                                  double c_tot, double scaler) noexcept;
SweepOutcome temp_cooperative_model(std::vector<double> temp, double delta_h, double delta_s,
                                    double delta_h_nuc, double c_tot, double scaler) noexcept;
SweepOutcome temp_cooperative_model_n(std::vector<double> temp, double delta_h, double delta_s,
                                      double delta_h_nuc, double c_tot, double scaler,
                                      std::uint32_t nuc_size) noexcept;
SweepOutcome temp_coop_iso_model(std::vector<double> temp, double delta_h_iso, double delta_s_iso,
                                 double delta_h_coop, double delta_s_coop,
                                 double delta_h_nuc_coop, double c_tot, double scaler) noexcept;

// How a sweep evaluates its temperatures: side by side in the lane kernels
// of one instruction set, or one at a time through the scalar solvers (the
// straightforward evaluation the lanes must reproduce bit for bit).  The
// sweeps above use best_method(); the *_by variants take one, for tests and
// benchmarks.
struct Method {
    bool lanes;
    lanes::Isa isa;
};

Method best_method() noexcept;

SweepOutcome temp_isodesmic_model_by(Method method, std::vector<double> temp, double delta_h,
                                     double delta_s, double c_tot, double scaler) noexcept;
SweepOutcome temp_cooperative_model_by(Method method, std::vector<double> temp, double delta_h,
                                       double delta_s, double delta_h_nuc, double c_tot,
                                       double scaler) noexcept;
SweepOutcome temp_cooperative_model_n_by(Method method, std::vector<double> temp, double delta_h,
                                         double delta_s, double delta_h_nuc, double c_tot,
                                         double scaler, std::uint32_t nuc_size) noexcept;
SweepOutcome temp_coop_iso_model_by(Method method, std::vector<double> temp, double delta_h_iso,
                                    double delta_s_iso, double delta_h_coop, double delta_s_coop,
                                    double delta_h_nuc_coop, double c_tot, double scaler) noexcept;

}  // namespace kelvara::thermo
