// The temperature sweep and the five temperature-dependent models.
//
// Every model is a sweep around a step of its own: the step holds what does
// not depend on the temperature (computed once per call), gives the
// constants at one temperature, and solves either one temperature (scalar)
// or a group of lane_count temperatures side by side (lanes).
#include <algorithm>
#include <cmath>
#include <utility>

#include "nucleation.h"
#include "thermo.h"

namespace kelvara::thermo {
namespace {

using lanes::lane_count;
using models::ModelError;
using models::Outcome;

// exp(q - delta_h / rt): the equilibrium-constant rule with q = delta_s / R
// and rt = T * R computed by the caller.
double constant_at(double q, double delta_h, double rt) noexcept {
    const double h = delta_h / rt;
    return std::exp(q - h);
}

// exp(-delta_h_nuc / rt): the rule with no entropy term; the negation is
// exact, so taking it once per call changes nothing.
double nucleation_factor(double minus_delta_h_nuc, double rt) noexcept {
    return std::exp(minus_delta_h_nuc / rt);
}

// An empty list does no work.  The first model error in list order ends the
// sweep and discards the values computed so far.  Each temperature is read
// before its slot is overwritten by scaler * fraction.
// Temperatures between two polls of the caller's stop request: a poll
// costs a few nanoseconds, a temperature from a microsecond (the common
// models) to milliseconds (nuclei too large for the tables).
constexpr std::size_t poll_interval = 64;

template <typename Step>
SweepOutcome scalar_sweep(std::vector<double> temp, double scaler, const Step& step) noexcept {
    std::size_t done = 0;
    for (double& value : temp) {
        if (++done % poll_interval == 0 && models::poll_stop()) {
            return {std::vector<double>(), ModelError::interrupted};
        }
        const Outcome outcome = step(value);
        if (!outcome.ok()) {
            return {std::vector<double>(), outcome.error};
        }
        value = scaler * outcome.value;
    }
    return {std::move(temp), ModelError::none};
}

// The same rules, lane_count temperatures per pass.  A short last group is
// padded with copies of its last temperature, whose results are not read.
// Groups are taken in list order and all earlier groups succeeded, so the
// first failing lane of the first failing group is the first failing
// temperature of the list.
template <typename Step>
SweepOutcome lane_sweep(lanes::Isa isa, std::vector<double> temp, double scaler,
                        const Step& step) noexcept {
    double conc[lane_count];
    std::fill(conc, conc + lane_count, step.c_tot);
    const std::size_t size = temp.size();
    for (std::size_t start = 0; start < size; start += lane_count) {
        if ((start / lane_count + 1) % (4 * poll_interval / lane_count) == 0 && models::poll_stop()) {
            return {std::vector<double>(), ModelError::interrupted};
        }
        const std::size_t count = std::min(lane_count, size - start);
        double group[lane_count];
        for (std::size_t lane = 0; lane < lane_count; ++lane) {
            group[lane] = temp[start + std::min(lane, count - 1)];
        }
        lanes::Results results;
        step.solve_lanes(isa, group, conc, results);
        for (std::size_t lane = 0; lane < count; ++lane) {
            if (results.error[lane] != ModelError::none) {
                return {std::vector<double>(), results.error[lane]};
            }
        }
        for (std::size_t lane = 0; lane < count; ++lane) {
            temp[start + lane] = scaler * results.fraction[lane];
        }
    }
    return {std::move(temp), ModelError::none};
}

template <typename Step>
SweepOutcome sweep(Method method, std::vector<double> temp, double scaler,
                   const Step& step) noexcept {
    if (method.lanes) {
        return lane_sweep(method.isa, std::move(temp), scaler, step);
    }
    return scalar_sweep(std::move(temp), scaler, step);
}

struct IsodesmicDirectStep {
    double q;
    double delta_h;
    double c_tot;

    Outcome operator()(double temperature) const noexcept {
        const double k = constant_at(q, delta_h, temperature * gas_constant);
        const double x = c_tot * k;
        return models::success(models::isodesmic_fraction(x));
    }
};

struct IsodesmicStep {
    double q;
    double delta_h;
    double c_tot;

    double k_at(double temperature) const noexcept {
        return constant_at(q, delta_h, temperature * gas_constant);
    }
    Outcome operator()(double temperature) const noexcept {
        return models::isodesmic_model(c_tot, k_at(temperature), sweep_iterations);
    }
    void solve_lanes(lanes::Isa isa, const double* temps, const double* conc,
                     lanes::Results& results) const noexcept {
        double k[lane_count];
        for (std::size_t lane = 0; lane < lane_count; ++lane) {
            k[lane] = k_at(temps[lane]);
        }
        lanes::isodesmic(isa, k, conc, sweep_iterations, results);
    }
};

// Elongation constant and cooperativity factor at one temperature.
struct CooperativeConstants {
    double q;
    double delta_h;
    double minus_delta_h_nuc;

    void at(double temperature, double& k, double& sigma) const noexcept {
        const double rt = temperature * gas_constant;
        k = constant_at(q, delta_h, rt);
        sigma = nucleation_factor(minus_delta_h_nuc, rt);
    }
};

struct CooperativeStep {
    CooperativeConstants constants;
    double c_tot;

    Outcome operator()(double temperature) const noexcept {
        double k = 0.0;
        double sigma = 0.0;
        constants.at(temperature, k, sigma);
        return models::cooperative_model(c_tot, k, sigma, sweep_iterations);
    }
    void solve_lanes(lanes::Isa isa, const double* temps, const double* conc,
                     lanes::Results& results) const noexcept {
        double k[lane_count];
        double sigma[lane_count];
        for (std::size_t lane = 0; lane < lane_count; ++lane) {
            constants.at(temps[lane], k[lane], sigma[lane]);
        }
        lanes::cooperative(isa, k, sigma, conc, sweep_iterations, results);
    }
};

struct CooperativeNStep {
    CooperativeConstants constants;
    double c_tot;
    std::uint32_t nuc_size;

    Outcome operator()(double temperature) const noexcept {
        double k = 0.0;
        double sigma = 0.0;
        constants.at(temperature, k, sigma);
        return models::cooperative_model_n(c_tot, k, sigma, nuc_size, sweep_iterations);
    }
    // Only for tabulated nucleus sizes (see nucleation.h).
    void solve_lanes(lanes::Isa isa, const double* temps, const double* conc,
                     lanes::Results& results) const noexcept {
        double k[lane_count];
        double sigma[lane_count];
        double power[lane_count];
        double coefficients[models::max_tabulated_terms * lane_count];
        for (std::size_t lane = 0; lane < lane_count; ++lane) {
            constants.at(temps[lane], k[lane], sigma[lane]);
            power[lane] = models::power_by_squaring(sigma[lane], nuc_size - 1) / k[lane];
            models::tabulate_nucleation(sigma[lane], nuc_size, coefficients + lane, lane_count);
        }
        lanes::cooperative_n(isa, k, sigma, power, coefficients, nuc_size, conc, sweep_iterations,
                             results);
    }
};

struct CoopIsoStep {
    double q_iso;
    double delta_h_iso;
    CooperativeConstants cooperative;
    double c_tot;

    void at(double temperature, double& k_iso, double& k_coop, double& sigma) const noexcept {
        cooperative.at(temperature, k_coop, sigma);
        k_iso = constant_at(q_iso, delta_h_iso, temperature * gas_constant);
    }
    Outcome operator()(double temperature) const noexcept {
        double k_iso = 0.0;
        double k_coop = 0.0;
        double sigma = 0.0;
        at(temperature, k_iso, k_coop, sigma);
        return models::coop_iso_model(c_tot, k_iso, k_coop, sigma, sweep_iterations);
    }
    void solve_lanes(lanes::Isa isa, const double* temps, const double* conc,
                     lanes::Results& results) const noexcept {
        double k_iso[lane_count];
        double k_coop[lane_count];
        double sigma[lane_count];
        for (std::size_t lane = 0; lane < lane_count; ++lane) {
            at(temps[lane], k_iso[lane], k_coop[lane], sigma[lane]);
        }
        lanes::coop_iso(isa, k_iso, k_coop, sigma, conc, sweep_iterations, results);
    }
};

}  // namespace

double equilibrium_constant(double delta_h, double delta_s, double temp) noexcept {
    const double q = delta_s / gas_constant;
    const double p = temp * (-gas_constant);
    const double h = delta_h / p;
    const double s = q + h;
    return std::exp(s);
}

Method best_method() noexcept {
    return {true, lanes::best_isa()};
}

SweepOutcome temp_isodesmic_model_direct(std::vector<double> temp, double delta_h, double delta_s,
                                         double c_tot, double scaler) noexcept {
    // Short enough per temperature that lanes would gain nothing.
    const IsodesmicDirectStep step{delta_s / gas_constant, delta_h, c_tot};
    return scalar_sweep(std::move(temp), scaler, step);
}

SweepOutcome temp_isodesmic_model_by(Method method, std::vector<double> temp, double delta_h,
                                     double delta_s, double c_tot, double scaler) noexcept {
    const IsodesmicStep step{delta_s / gas_constant, delta_h, c_tot};
    return sweep(method, std::move(temp), scaler, step);
}

SweepOutcome temp_cooperative_model_by(Method method, std::vector<double> temp, double delta_h,
                                       double delta_s, double delta_h_nuc, double c_tot,
                                       double scaler) noexcept {
    const CooperativeStep step{{delta_s / gas_constant, delta_h, -delta_h_nuc}, c_tot};
    return sweep(method, std::move(temp), scaler, step);
}

SweepOutcome temp_cooperative_model_n_by(Method method, std::vector<double> temp, double delta_h,
                                         double delta_s, double delta_h_nuc, double c_tot,
                                         double scaler, std::uint32_t nuc_size) noexcept {
    const CooperativeNStep step{{delta_s / gas_constant, delta_h, -delta_h_nuc}, c_tot, nuc_size};
    // Nuclei below 2 fail at the first temperature and very large ones are
    // evaluated term by term: both one temperature at a time.
    if (!models::tabulated(nuc_size)) {
        method.lanes = false;
    }
    return sweep(method, std::move(temp), scaler, step);
}

SweepOutcome temp_coop_iso_model_by(Method method, std::vector<double> temp, double delta_h_iso,
                                    double delta_s_iso, double delta_h_coop, double delta_s_coop,
                                    double delta_h_nuc_coop, double c_tot, double scaler) noexcept {
    const CoopIsoStep step{delta_s_iso / gas_constant, delta_h_iso,
                           {delta_s_coop / gas_constant, delta_h_coop, -delta_h_nuc_coop}, c_tot};
    return sweep(method, std::move(temp), scaler, step);
}

SweepOutcome temp_isodesmic_model(std::vector<double> temp, double delta_h, double delta_s,
                                  double c_tot, double scaler) noexcept {
    return temp_isodesmic_model_by(best_method(), std::move(temp), delta_h, delta_s, c_tot, scaler);
}

SweepOutcome temp_cooperative_model(std::vector<double> temp, double delta_h, double delta_s,
                                    double delta_h_nuc, double c_tot, double scaler) noexcept {
    return temp_cooperative_model_by(best_method(), std::move(temp), delta_h, delta_s, delta_h_nuc,
                                     c_tot, scaler);
}

SweepOutcome temp_cooperative_model_n(std::vector<double> temp, double delta_h, double delta_s,
                                      double delta_h_nuc, double c_tot, double scaler,
                                      std::uint32_t nuc_size) noexcept {
    return temp_cooperative_model_n_by(best_method(), std::move(temp), delta_h, delta_s,
                                       delta_h_nuc, c_tot, scaler, nuc_size);
}

SweepOutcome temp_coop_iso_model(std::vector<double> temp, double delta_h_iso, double delta_s_iso,
                                 double delta_h_coop, double delta_s_coop,
                                 double delta_h_nuc_coop, double c_tot, double scaler) noexcept {
    return temp_coop_iso_model_by(best_method(), std::move(temp), delta_h_iso, delta_s_iso,
                                  delta_h_coop, delta_s_coop, delta_h_nuc_coop, c_tot, scaler);
}

}  // namespace kelvara::thermo
