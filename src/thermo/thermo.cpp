// The temperature sweep and the five temperature-dependent models.
//
// Every model is sweep() around a step of its own: the step holds what does
// not depend on the temperature (computed once per call) and turns one
// temperature into a fraction aggregated or a model error.
#include <cmath>
#include <utility>

#include "thermo.h"

namespace kelvara::thermo {
namespace {

using models::ModelError;
using models::Outcome;

// An empty list does no work.  The first model error ends the sweep and
// discards the values computed so far.  Each temperature is read before its
// slot is overwritten by scaler * fraction.
template <typename Step>
SweepOutcome sweep(std::vector<double> temp, double scaler, const Step& step) noexcept {
    for (double& value : temp) {
        const Outcome outcome = step(value);
        if (!outcome.ok()) {
            return {std::vector<double>(), outcome.error};
        }
        value = scaler * outcome.value;
    }
    return {std::move(temp), ModelError::none};
}

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

struct IsodesmicStep {
    double q;
    double delta_h;
    double c_tot;

    Outcome operator()(double temperature) const noexcept {
        const double k = constant_at(q, delta_h, temperature * gas_constant);
        return models::isodesmic_model(c_tot, k, sweep_iterations);
    }
};

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

struct CooperativeStep {
    double q;
    double delta_h;
    double minus_delta_h_nuc;
    double c_tot;

    Outcome operator()(double temperature) const noexcept {
        const double rt = temperature * gas_constant;
        const double k = constant_at(q, delta_h, rt);
        const double sigma = nucleation_factor(minus_delta_h_nuc, rt);
        return models::cooperative_model(c_tot, k, sigma, sweep_iterations);
    }
};

struct CooperativeNStep {
    double q;
    double delta_h;
    double minus_delta_h_nuc;
    double c_tot;
    std::uint32_t nuc_size;

    Outcome operator()(double temperature) const noexcept {
        const double rt = temperature * gas_constant;
        const double k = constant_at(q, delta_h, rt);
        const double sigma = nucleation_factor(minus_delta_h_nuc, rt);
        return models::cooperative_model_n(c_tot, k, sigma, nuc_size, sweep_iterations);
    }
};

struct CoopIsoStep {
    double q_iso;
    double delta_h_iso;
    double q_coop;
    double delta_h_coop;
    double minus_delta_h_nuc_coop;
    double c_tot;

    Outcome operator()(double temperature) const noexcept {
        const double rt = temperature * gas_constant;
        const double k_iso = constant_at(q_iso, delta_h_iso, rt);
        const double k_coop = constant_at(q_coop, delta_h_coop, rt);
        const double sigma = nucleation_factor(minus_delta_h_nuc_coop, rt);
        return models::coop_iso_model(c_tot, k_iso, k_coop, sigma, sweep_iterations);
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

SweepOutcome temp_isodesmic_model_direct(std::vector<double> temp, double delta_h, double delta_s,
                                         double c_tot, double scaler) noexcept {
    const IsodesmicDirectStep step{delta_s / gas_constant, delta_h, c_tot};
    return sweep(std::move(temp), scaler, step);
}

SweepOutcome temp_isodesmic_model(std::vector<double> temp, double delta_h, double delta_s,
                                  double c_tot, double scaler) noexcept {
    const IsodesmicStep step{delta_s / gas_constant, delta_h, c_tot};
    return sweep(std::move(temp), scaler, step);
}

SweepOutcome temp_cooperative_model(std::vector<double> temp, double delta_h, double delta_s,
                                    double delta_h_nuc, double c_tot, double scaler) noexcept {
    const CooperativeStep step{delta_s / gas_constant, delta_h, -delta_h_nuc, c_tot};
    return sweep(std::move(temp), scaler, step);
}

SweepOutcome temp_cooperative_model_n(std::vector<double> temp, double delta_h, double delta_s,
                                      double delta_h_nuc, double c_tot, double scaler,
                                      std::uint32_t nuc_size) noexcept {
    const CooperativeNStep step{delta_s / gas_constant, delta_h, -delta_h_nuc, c_tot, nuc_size};
    return sweep(std::move(temp), scaler, step);
}

SweepOutcome temp_coop_iso_model(std::vector<double> temp, double delta_h_iso, double delta_s_iso,
                                 double delta_h_coop, double delta_s_coop,
                                 double delta_h_nuc_coop, double c_tot, double scaler) noexcept {
    const CoopIsoStep step{delta_s_iso / gas_constant, delta_h_iso, delta_s_coop / gas_constant,
                           delta_h_coop, -delta_h_nuc_coop, c_tot};
    return sweep(std::move(temp), scaler, step);
}

}  // namespace kelvara::thermo
