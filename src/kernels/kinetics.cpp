// Nucleated polymerisation in time (kinetics.h): the Radau IIA integrator of
// the reaction system in reactions.h.
//
// The integrator follows E. Hairer and G. Wanner, Solving Ordinary
// Differential Equations II (Springer, 1996), section IV.8: three-stage
// Radau IIA, the stage equations transformed to one real and one complex
// system, a third-order embedded error estimate and the predictive step-size
// controller of Gustafsson.  As there, the Jacobian and its factors are kept
// while the step size holds and the iterations converge fast.
#include "kinetics.h"
#include "reactions.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace kelvara::kinetics {
namespace {
using namespace detail;

// The method's constants.
const double s6 = std::sqrt(6.0);
const double nodes[3] = {(4.0 - s6) / 10.0, (4.0 + s6) / 10.0, 1.0};
const double estimate[3] = {(-13.0 - 7.0 * s6) / 3.0, (-13.0 + 7.0 * s6) / 3.0, -1.0 / 3.0};
const double mu_real = 3.0 + std::cbrt(9.0) - std::cbrt(3.0);
const Cx mu_complex = {3.0 + 0.5 * (std::cbrt(3.0) - std::cbrt(9.0)),
                       -0.5 * (std::pow(3.0, 5.0 / 6.0) + std::pow(3.0, 7.0 / 6.0))};
// A = T diag(mu_real, mu_complex, conj) T^-1 (the stage matrix's inverse's
// eigen decomposition), to the digits of the reference implementation.
const double t_matrix[3][3] = {{0.09443876248897524, -0.14125529502095421, 0.03002919410514742},
                               {0.25021312296533332, 0.20412935229379994, -0.38294211275726192},
                               {1.0, 1.0, 0.0}};
const double t_inverse[3][3] = {{4.17871859155190428, 0.32768282076106237, 0.52337644549944951},
                                {-4.17871859155190428, -0.32768282076106237, 0.47662355450055044},
                                {0.50287263494578682, -2.57192694985560522, 0.59603920482822492}};
// The collocation polynomial through the stages, for output between steps.
const double dense[3][3] = {{13.0 / 3.0 + 7.0 * s6 / 3.0, -23.0 / 3.0 - 22.0 * s6 / 3.0, 10.0 / 3.0 + 5.0 * s6},
                            {13.0 / 3.0 - 7.0 * s6 / 3.0, -23.0 / 3.0 + 22.0 * s6 / 3.0, 10.0 / 3.0 - 5.0 * s6},
                            {1.0 / 3.0, -8.0 / 3.0, 10.0 / 3.0}};
constexpr int newton_iterations = 6;
constexpr double min_factor = 0.2;
constexpr double max_factor = 10.0;

// The largest |x_i| / scale_i (`scale` holds the inverses): every species is held to its tolerance (a
// mean over a thousand sizes would let the monomer drift).
double error_norm(const double* x, const double* scale, std::size_t size) noexcept {
    double most = 0.0;
    for (std::size_t i = 0; i < size; ++i) {
        const double e = std::fabs(x[i]) * scale[i];
        if (!(e <= most)) {
            most = e;  // NaN wins
        }
    }
    return most;
}

// The linear sums an output needs, of a state or of a step's polynomial
// coefficients.
void sums_of(const double* y, std::size_t n, std::uint32_t nuc_size, double* out) noexcept {
    double oligomers = 0.0;
    double polymers = 0.0;
    double count = 0.0;
    for (std::size_t i = 2; i <= n; ++i) {
        const double c = y[i - 1];
        if (i <= nuc_size) {
            oligomers += static_cast<double>(i) * c;
        } else {
            polymers += static_cast<double>(i) * c;
            count += c;
        }
    }
    const double p = y[n];
    const double q = y[n + 1];
    out[0] = y[0];
    out[1] = oligomers;
    out[2] = polymers + static_cast<double>(n) * p + q;
    out[3] = count + p;
    out[4] = static_cast<double>(n) * p + q;
}

double predict_factor(double h, double h_old, double err, double err_old) noexcept {
    double multiplier = 1.0;
    if (err_old > 0.0 && h_old > 0.0 && err != 0.0) {
        multiplier = h / h_old * std::pow(err_old / err, 0.25);
    }
    return std::min(1.0, multiplier) * (err == 0.0 ? std::numeric_limits<double>::infinity() : std::pow(err, -0.25));
}

// The state and its sensitivities side by side: y, then s_1 .. s_p, each
// of dim values.  Each s_j follows s_j' = J(y) s_j + d f / d p_j; the stage
// equations of all of them are solved with the state's factored matrices
// (the augmented Jacobian is block lower triangular, and its diagonal blocks
// are all J), and only the state's error sets the step.
class Integrator {
public:
    Integrator(const System& system, std::size_t dim, const Forcing* forcings, std::size_t count,
               const Settings& settings, std::uint32_t nuc_size)
        : system_(system), dim_(dim), total_(dim * (1 + count)), forcings_(forcings, forcings + count),
          settings_(settings), nuc_size_(nuc_size), y_(total_), f_(total_), scale_(total_), z_(3 * total_),
          w_(3 * total_), stage_(3 * total_), work_(total_), real_(total_), complex_(total_), y_new_(total_),
          error_(dim) {
        newton_tol_ = std::max(10.0 * std::numeric_limits<double>::epsilon() / settings.rtol,
                               std::min(0.03, std::sqrt(settings.rtol)));
    }

    Outcome run(const double* start, const double* times, std::size_t count, double* sums, double* states,
                Poll poll) {
        Outcome outcome;
        std::copy(start, start + total_, y_.begin());
        double t = 0.0;
        std::size_t next = 0;
        const std::size_t blocks = 1 + forcings_.size();
        auto write = [&](std::size_t at, const double* y) {
            for (std::size_t j = 0; j < blocks; ++j) {
                sums_of(y + j * dim_, system_.size(), nuc_size_, sums + sum_count * (blocks * at + j));
            }
            if (states != nullptr) {
                std::copy(y, y + dim_, states + dim_ * at);
            }
        };
        while (next < count && times[next] <= 0.0) {
            write(next++, y_.data());
        }
        if (next == count) {
            return outcome;
        }
        const double end = times[count - 1];
        rate(y_.data(), f_.data(), outcome.stats);
        double h = initial_step(end, outcome.stats);
        double h_old = 0.0;
        double err_old = 0.0;
        // The last accepted step's polynomial, y_old + sum_k coefficients_k x^(k+1)
        // over x in [0, 1] from t_old: the Newton iterations start from it.
        bool have_polynomial = false;
        double t_old = 0.0;
        double h_last = 0.0;
        std::vector<double> y_old(total_);
        std::vector<double> coefficients(3 * total_);
        std::vector<double> point(total_);
        system_.jacobian(y_.data(), jacobian_);
        bool current_jacobian = true;
        bool factored = false;
        double factored_h = 0.0;
        while (next < count) {
            if (poll != nullptr && poll()) {  // every step: a step of many sizes takes long
                return failed(outcome, Status::stopped, t);
            }
            if (outcome.stats.steps >= settings_.max_steps) {
                return failed(outcome, Status::too_many_steps, t);
            }
            bool rejected = false;
            double err = 0.0;
            int iterations = 0;
            double rate_of_convergence = 0.0;
            double t_new = t;
            for (;;) {
                const double min_step = 10.0 * std::fabs(std::nextafter(t, HUGE_VAL) - t);
                if (!(h >= min_step)) {
                    return failed(outcome, std::isfinite(h) ? Status::too_small_step : Status::not_finite, t);
                }
                t_new = t + h;
                if (t_new > end) {
                    t_new = end;
                }
                h = t_new - t;
                if (!factored || factored_h != h) {
                    ++outcome.stats.factorisations;
                    factored = real_lu_.factor(jacobian_, mu_real / h) &&
                               complex_lu_.factor(jacobian_, Cx{mu_complex.re / h, mu_complex.im / h});
                    factored_h = h;
                }
                for (std::size_t i = 0; i < total_; ++i) {
                    scale_[i] = 1.0 / (settings_.atol + std::fabs(y_[i]) * settings_.rtol);
                }
                if (have_polynomial) {
                    for (int s = 0; s < 3; ++s) {
                        const double x = (t + nodes[s] * h - t_old) / h_last;
                        const double x2 = x * x;
                        const double x3 = x2 * x;
                        for (std::size_t i = 0; i < total_; ++i) {
                            z_[s * total_ + i] = y_old[i] + (coefficients[i] * x + coefficients[total_ + i] * x2 +
                                                             coefficients[2 * total_ + i] * x3) - y_[i];
                        }
                    }
                } else {
                    std::fill(z_.begin(), z_.end(), 0.0);
                }
                if (!factored || !newton(h, iterations, rate_of_convergence, outcome.stats)) {
                    if (factored && !current_jacobian) {
                        system_.jacobian(y_.data(), jacobian_);
                        current_jacobian = true;
                        factored = false;
                        continue;
                    }
                    h *= 0.5;
                    factored = false;
                    rejected = true;
                    ++outcome.stats.rejected;
                    continue;
                }
                // the embedded estimate, of the state alone
                for (std::size_t i = 0; i < total_; ++i) {
                    y_new_[i] = y_[i] + z_[2 * total_ + i];
                }
                for (std::size_t i = 0; i < dim_; ++i) {
                    scale_[i] = 1.0 / (settings_.atol + std::max(std::fabs(y_[i]), std::fabs(y_new_[i])) * settings_.rtol);
                }
                err = estimate_error(h, f_.data());
                if (rejected && err > 1.0) {
                    for (std::size_t i = 0; i < dim_; ++i) {
                        point[i] = y_[i] + error_[i];
                    }
                    system_.rate(point.data(), work_.data());
                    ++outcome.stats.evaluations;
                    err = estimate_error(h, work_.data());
                }
                const double safety = 0.9 * (2 * newton_iterations + 1) / (2 * newton_iterations + iterations);
                if (err > 1.0 || !std::isfinite(err)) {
                    const double factor = std::isfinite(err) ? predict_factor(h, h_old, err, err_old) : 0.0;
                    h *= std::max(min_factor, safety * factor);
                    factored = false;
                    rejected = true;
                    ++outcome.stats.rejected;
                    continue;
                }
                // accepted: the outputs that fall in (t, t_new]
                for (int k = 0; k < 3; ++k) {
                    for (std::size_t i = 0; i < total_; ++i) {
                        coefficients[k * total_ + i] =
                            z_[i] * dense[0][k] + z_[total_ + i] * dense[1][k] + z_[2 * total_ + i] * dense[2][k];
                    }
                }
                while (next < count && times[next] <= t_new) {
                    if (times[next] == t_new) {
                        write(next++, y_new_.data());
                        continue;
                    }
                    const double x = (times[next] - t) / h;
                    const double x2 = x * x;
                    const double x3 = x2 * x;
                    for (std::size_t i = 0; i < total_; ++i) {
                        point[i] = y_[i] + (coefficients[i] * x + coefficients[total_ + i] * x2 +
                                            coefficients[2 * total_ + i] * x3);
                    }
                    write(next++, point.data());
                }
                const bool recompute = iterations > 2 && rate_of_convergence > 1e-3;
                double factor = std::min(max_factor, safety * predict_factor(h, h_old, err, err_old));
                if (!recompute && factor < 1.2) {
                    factor = 1.0;
                }
                have_polynomial = true;
                t_old = t;
                h_last = h;
                std::swap(y_old, y_);
                std::swap(y_, y_new_);
                h_old = h;
                err_old = err;
                t = t_new;
                rate(y_.data(), f_.data(), outcome.stats);
                ++outcome.stats.steps;
                if (recompute) {
                    system_.jacobian(y_.data(), jacobian_);
                    factored = false;
                }
                current_jacobian = recompute;
                h *= factor;
                break;
            }
        }
        return outcome;
    }

private:
    static Outcome failed(Outcome outcome, Status status, double t) noexcept {
        outcome.status = status;
        outcome.time = t;
        return outcome;
    }

    // The augmented right-hand side: the state's rate, then each
    // sensitivity's J(y) s_j + d f / d p_j.
    void rate(const double* y, double* dy, Stats& stats) {
        system_.rate(y, dy);
        for (std::size_t j = 0; j < forcings_.size(); ++j) {
            double* out = dy + dim_ * (1 + j);
            system_.forcing(forcings_[j], y, out);
            system_.tangent(y, y + dim_ * (1 + j), sensitivity_.data());
            for (std::size_t i = 0; i < dim_; ++i) {
                out[i] += sensitivity_[i];
            }
        }
        ++stats.evaluations;
    }

    // The scaled norm of the state's embedded error estimate, from the
    // derivative `f` at the step's start; the estimate is left in error_.
    double estimate_error(double h, const double* f) {
        for (std::size_t i = 0; i < dim_; ++i) {
            const double ze =
                (estimate[0] * z_[i] + estimate[1] * z_[total_ + i] + estimate[2] * z_[2 * total_ + i]) / h;
            error_[i] = f[i] + ze;
        }
        real_lu_.solve(error_.data());
        return error_norm(error_.data(), scale_.data(), dim_);
    }

    // The first step (Hairer, Norsett and Wanner, Solving ODEs I, II.4),
    // for an error estimate of order 3, from the state alone.
    double initial_step(double end, Stats& stats) {
        for (std::size_t i = 0; i < dim_; ++i) {
            scale_[i] = 1.0 / (settings_.atol + std::fabs(y_[i]) * settings_.rtol);
        }
        const double d0 = error_norm(y_.data(), scale_.data(), dim_);
        const double d1 = error_norm(f_.data(), scale_.data(), dim_);
        double h0 = d0 < 1e-5 || d1 < 1e-5 ? 1e-6 : 0.01 * d0 / d1;
        h0 = std::min(h0, end);
        for (std::size_t i = 0; i < dim_; ++i) {
            y_new_[i] = y_[i] + h0 * f_[i];
        }
        system_.rate(y_new_.data(), work_.data());
        ++stats.evaluations;
        for (std::size_t i = 0; i < dim_; ++i) {
            work_[i] = work_[i] - f_[i];
        }
        const double d2 = error_norm(work_.data(), scale_.data(), dim_) / h0;
        const double h1 = d1 <= 1e-15 && d2 <= 1e-15 ? std::max(1e-6, h0 * 1e-3)
                                                     : std::pow(0.01 / std::max(d1, d2), 0.25);
        return std::min(100.0 * h0, h1);
    }

    // The stage equations of one step: the state's by simplified Newton
    // iterations (their rate of convergence is the step's), then, with the
    // state's stages fixed, the sensitivities' (linear in them: the same
    // iterations converge at the rate of J's change over the step, and are
    // allowed more of them).  z_ holds the stage increments, from the
    // predictor, and their solution when both converge.
    bool newton(double h, int& iterations, double& rate_of_convergence, Stats& stats) {
        const std::size_t n = total_;
        auto state_stage = [&](int s) {
            for (std::size_t i = 0; i < dim_; ++i) {
                work_[i] = y_[i] + z_[s * n + i];
            }
            system_.rate(work_.data(), stage_.data() + s * n);
            ++stats.evaluations;
        };
        if (!iterate(h, 0, dim_, newton_iterations, iterations, rate_of_convergence, state_stage)) {
            return false;
        }
        if (n == dim_) {
            return true;
        }
        // The state at each stage, and each sensitivity's forcing there.
        stage_states_.resize(3 * dim_);
        forced_.resize(3 * (n - dim_));
        for (int s = 0; s < 3; ++s) {
            double* at = stage_states_.data() + s * dim_;
            for (std::size_t i = 0; i < dim_; ++i) {
                at[i] = y_[i] + z_[s * n + i];
            }
            for (std::size_t j = 0; j < forcings_.size(); ++j) {
                system_.forcing(forcings_[j], at, forced_.data() + s * (n - dim_) + j * dim_);
            }
        }
        auto sensitivity_stage = [&](int s) {
            const double* at = stage_states_.data() + s * dim_;
            for (std::size_t j = 0; j < forcings_.size(); ++j) {
                const std::size_t offset = dim_ * (1 + j);
                for (std::size_t i = 0; i < dim_; ++i) {
                    work_[i] = y_[offset + i] + z_[s * n + offset + i];
                }
                double* out = stage_.data() + s * n + offset;
                system_.tangent(at, work_.data(), out);
                const double* forced = forced_.data() + s * (n - dim_) + j * dim_;
                for (std::size_t i = 0; i < dim_; ++i) {
                    out[i] += forced[i];
                }
            }
            ++stats.evaluations;
        };
        int more = 0;
        double rate = 0.0;
        return iterate(h, dim_, n, 3 * newton_iterations, more, rate, sensitivity_stage);
    }

    // Simplified Newton iterations on the components [begin, end) of each
    // stage, `stage(s)` filling stage_ with the right-hand side at stage s.
    template <typename Stage>
    bool iterate(double h, std::size_t begin, std::size_t end, int most, int& iterations, double& rate_of_convergence,
                 Stage&& stage) {
        const std::size_t n = total_;
        for (int s = 0; s < 3; ++s) {
            for (std::size_t i = begin; i < end; ++i) {
                w_[s * n + i] = t_inverse[s][0] * z_[i] + t_inverse[s][1] * z_[n + i] + t_inverse[s][2] * z_[2 * n + i];
            }
        }
        const double m_real = mu_real / h;
        const Cx m_complex = {mu_complex.re / h, mu_complex.im / h};
        double previous = -1.0;
        rate_of_convergence = -1.0;
        for (int k = 0; k < most; ++k) {
            iterations = k + 1;
            for (int s = 0; s < 3; ++s) {
                stage(s);
            }
            for (std::size_t i = begin; i < end; ++i) {
                const double f0 = stage_[i];
                const double f1 = stage_[n + i];
                const double f2 = stage_[2 * n + i];
                if (!std::isfinite(f0) || !std::isfinite(f1) || !std::isfinite(f2)) {
                    return false;
                }
                real_[i] = t_inverse[0][0] * f0 + t_inverse[0][1] * f1 + t_inverse[0][2] * f2 - m_real * w_[i];
                const Cx fc = {t_inverse[1][0] * f0 + t_inverse[1][1] * f1 + t_inverse[1][2] * f2,
                               t_inverse[2][0] * f0 + t_inverse[2][1] * f1 + t_inverse[2][2] * f2};
                complex_[i] = fc - m_complex * Cx{w_[n + i], w_[2 * n + i]};
            }
            for (std::size_t offset = begin; offset < end; offset += dim_) {
                real_lu_.solve(real_.data() + offset);
                complex_lu_.solve(complex_.data() + offset);
            }
            double norm = 0.0;
            for (std::size_t i = begin; i < end; ++i) {
                const double a = std::max(std::fabs(real_[i]), std::max(std::fabs(complex_[i].re), std::fabs(complex_[i].im)));
                norm = std::max(norm, a * scale_[i]);
            }
            if (!std::isfinite(norm)) {
                return false;
            }
            if (previous >= 0.0) {
                rate_of_convergence = norm / previous;
            }
            const double rate = rate_of_convergence;
            if (rate >= 0.0 && (rate >= 1.0 || std::pow(rate, most - k) / (1.0 - rate) * norm > newton_tol_)) {
                return false;
            }
            for (std::size_t i = begin; i < end; ++i) {
                w_[i] += real_[i];
                w_[n + i] += complex_[i].re;
                w_[2 * n + i] += complex_[i].im;
            }
            for (int s = 0; s < 3; ++s) {
                for (std::size_t i = begin; i < end; ++i) {
                    z_[s * n + i] = t_matrix[s][0] * w_[i] + t_matrix[s][1] * w_[n + i] + t_matrix[s][2] * w_[2 * n + i];
                }
            }
            if (norm == 0.0 || (rate >= 0.0 && rate / (1.0 - rate) * norm < newton_tol_)) {
                return true;
            }
            previous = norm;
        }
        return false;
    }

    const System& system_;
    std::size_t dim_;
    std::size_t total_;
    std::vector<Forcing> forcings_;
    Settings settings_;
    std::uint32_t nuc_size_;
    double newton_tol_ = 0.0;
    std::vector<double> y_, f_, scale_, z_, w_, stage_, work_, real_;
    std::vector<Cx> complex_;
    std::vector<double> y_new_, error_;
    std::vector<double> sensitivity_ = std::vector<double>(dim_);
    std::vector<double> stage_states_, forced_;
    Jacobian jacobian_;
    Factored<double> real_lu_;
    Factored<Cx> complex_lu_;
};

}  // namespace

Outcome simulate(const Rates& rates, const double* start, std::size_t dim, const Forcing* forcings,
                 std::size_t sensitivities, const double* times, std::size_t count, const Settings& settings,
                 double* sums, double* states, Poll poll) noexcept {
    Outcome outcome;
    const bool sound = dim >= 4 && rates.nuc_size >= 2 && dim - 2 > rates.nuc_size && rates.k > 0.0 &&
                       rates.sigma > 0.0 && rates.k_plus > 0.0 && rates.ratio > 0.0 && rates.c_tot > 0.0 &&
                       settings.rtol > 0.0 && settings.atol > 0.0;
    bool ordered = true;
    for (std::size_t i = 0; i < count; ++i) {
        ordered = ordered && std::isfinite(times[i]) && times[i] >= 0.0 && (i == 0 || times[i] >= times[i - 1]);
    }
    if (!sound || !ordered) {
        outcome.status = Status::bad_input;
        return outcome;
    }
    try {
        const System system(rates, dim);
        Integrator integrator(system, dim, forcings, sensitivities, settings, rates.nuc_size);
        return integrator.run(start, times, count, sums, states, poll);
    } catch (...) {  // allocation
        outcome.status = Status::no_memory;
        return outcome;
    }
}

const char* message(Status status) noexcept {
    switch (status) {
        case Status::ok:
            return "ok";
        case Status::bad_input:
            return "the rates, the cutoff or the times are out of range";
        case Status::too_small_step:
            return "the integration could not meet its tolerance: its step fell below the rounding of the time";
        case Status::too_many_steps:
            return "the integration took more steps than it is allowed";
        case Status::not_finite:
            return "the integration met a value that is not a number";
        case Status::no_memory:
            return "the integration ran out of memory";
        case Status::stopped:
            return "interrupted";
    }
    return "unknown";
}

}  // namespace kelvara::kinetics
