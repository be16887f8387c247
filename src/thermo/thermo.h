// Temperature-dependent models: equilibrium constants from enthalpy and
// entropy changes, swept over a list of temperatures.  Plain C++.
#pragma once

namespace kelvara::thermo {

// Molar gas constant in J/(mol K); it fixes the units of every sweep.
inline constexpr double gas_constant = 8.314;

// Bisection steps of every solver call made by a sweep.
inline constexpr unsigned sweep_iterations = 100;

}  // namespace kelvara::thermo
