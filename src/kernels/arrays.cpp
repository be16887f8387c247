// The array kernels: groups of lane_count points through the lane solvers
// of the temperature sweeps (per-lane concentrations, any step count), then
// the derivatives point by point.
#include "arrays.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "lanes.h"
#include "nucleation.h"

namespace kelvara::kernels {
namespace {

using models::ModelError;
using models::lanes::lane_count;
namespace lanes = models::lanes;

// Groups between two polls of the caller's stop request.
constexpr std::size_t poll_groups = 64;

double read(const unsigned char* values, std::size_t index) noexcept {
    double value;
    std::memcpy(&value, values + index * sizeof value, sizeof value);
    return value;
}

void write(unsigned char* values, std::size_t index, double value) noexcept {
    if (values != nullptr) {
        std::memcpy(values + index * sizeof value, &value, sizeof value);
    }
}

// One group's inputs, a short last group padded with copies of its last
// point (whose results are not read).
struct Group {
    std::size_t start;
    std::size_t count;
    double conc[lane_count];
    double k[lane_count];
    double sigma[lane_count];
    double k_iso[lane_count];

    Group(const Points& points, std::size_t first) noexcept
        : start(first), count(std::min(lane_count, points.size - first)) {
        for (std::size_t lane = 0; lane < lane_count; ++lane) {
            const std::size_t i = start + std::min(lane, count - 1);
            conc[lane] = read(points.conc, i);
            k[lane] = read(points.k, i);
            sigma[lane] = points.sigma != nullptr ? read(points.sigma, i) : 0.0;
            k_iso[lane] = points.k_iso != nullptr ? read(points.k_iso, i) : 0.0;
        }
    }
};

// The closed form of the isodesmic model at X = conc k, and the free
// monomer without the cancellation of 1 - fraction where the fraction is
// near one: 1 - fraction = 1 / (X + 1/2 + sqrt(X + 1/4)) for X >= 1.
void isodesmic_direct(const Group& group, lanes::Results& results) noexcept {
    for (std::size_t lane = 0; lane < lane_count; ++lane) {
        const double x = group.conc[lane] * group.k[lane];
        const double fraction = models::isodesmic_fraction(x);
        double free = 1.0 - fraction;
        if (x >= 1.0 && x <= 1.7976931348623157e308) {
            const double t = std::sqrt(x + 0.25);
            free = 1.0 / ((x + 0.5) + t);
        }
        results.fraction[lane] = fraction;
        results.monomer[lane] = group.conc[lane] * free;
        results.error[lane] = ModelError::none;
    }
}

void cooperative_n(const Group& group, std::uint32_t nuc_size, std::uint64_t steps,
                   lanes::Isa isa, lanes::Results& results) noexcept {
    if (!models::tabulated(nuc_size)) {
        for (std::size_t lane = 0; lane < lane_count; ++lane) {
            const models::Outcome outcome = models::solve_cooperative_n(
                group.conc[lane], group.k[lane], group.sigma[lane], nuc_size, steps, results.monomer[lane]);
            results.fraction[lane] = outcome.value;
            results.error[lane] = outcome.error;
        }
        return;
    }
    double power[lane_count];
    double coefficients[models::max_tabulated_terms * lane_count];
    for (std::size_t lane = 0; lane < lane_count; ++lane) {
        const double sigma = group.sigma[lane];
        power[lane] = models::power_by_squaring(sigma, nuc_size - 1) / group.k[lane];
        models::tabulate_nucleation(sigma, nuc_size, coefficients + lane, lane_count);
    }
    lanes::cooperative_n(isa, group.k, group.sigma, power, coefficients, nuc_size, group.conc, steps,
                         results);
}

// The sums of the first n - 1 sizes of a nucleus of n at x (c_i =
// sigma^(i-1)): f = sum i c_i x^i (from i = 1: k F without the tail),
// f_m = sum i^2 c_i x^(i-1) (from i = 1) and s = sum i (i - 1) c_i x^i.
struct Sums {
    double f = 0.0;
    double f_m = 0.0;
    double s = 0.0;
};

Sums finite_sums(std::uint32_t n, double sigma, double x) noexcept {
    Sums out{x, 1.0, 0.0};
    double ps = 1.0;  // sigma^(i-1) x^(i-1)
    for (std::uint32_t i = 2; i < n; ++i) {
        ps = ps * (sigma * x);
        const double di = static_cast<double>(i);
        out.f = out.f + di * ps * x;
        out.f_m = out.f_m + di * di * ps;
        out.s = out.s + di * (di - 1.0) * ps * x;
    }
    return out;
}

// ln(sigma^(n-1) x^(n-1)): the tail's coefficient, kept as a logarithm so
// that neither a tiny sigma nor a tiny u (its powers divide it) can
// overflow or vanish on the way.
double log_tail(std::uint32_t n, double sigma, double x) noexcept {
    return static_cast<double>(n - 1) * (std::log(sigma) + std::log(x));
}

// ln u, u = 1 - k m at the root of k F(m) = k conc, by Newton steps on
// ln(k F) in ln u:  k F = f + x a e^(L - 2 t),  d ln(k F) / d t = -u k F_m /
// (k F), u k F_m = u f_m + (a^2 + x) e^(L - 2 t), L the log tail.  Starts
// at u0 when that holds some digits, else where the tail alone balances.
double refined_log_distance(std::uint32_t n, double k_conc, double sigma, double u0) noexcept {
    const double estimate = 0.5 * (static_cast<double>(n - 1) * std::log(sigma) - std::log(k_conc));
    double t = u0 > 1e-12 ? std::log(u0) : std::fmin(estimate, std::log(1e-4));
    const double target = std::log(k_conc);
    for (int step = 0; step < 100; ++step) {
        const double u = std::exp(t);
        const double x = 1.0 - u;
        const Sums sums = finite_sums(n, sigma, x);
        const double a = static_cast<double>(n) * u + x;
        const double tail = std::exp(log_tail(n, sigma, x) - 2.0 * t);
        const double k_f = sums.f + x * a * tail;
        const double u_k_f_m = u * sums.f_m + (a * a + x) * tail;
        double dt = (std::log(k_f) - target) * k_f / u_k_f_m;
        if (!std::isfinite(dt)) {
            break;
        }
        dt = std::fmax(-2.0, std::fmin(2.0, dt));
        t = t + dt;
        if (std::fabs(dt) < 1e-13) {
            break;
        }
    }
    // sigma = 0 leaves no tail to balance: u stays as the bisection left it.
    if (!std::isfinite(t)) {
        t = std::log(std::fmax(u0, 0x1p-53));
    }
    return std::fmax(t, -700.0);
}

}  // namespace

Failure solve(Model model, std::uint32_t nuc_size, std::uint64_t steps, const Points& points) noexcept {
    if (model == Model::cooperative_n && nuc_size < 2) {
        return {ModelError::nucleus_size, 0};
    }
    const lanes::Isa isa = lanes::best_isa();
    const bool slopes_wanted =
        points.d_ln_k != nullptr || points.d_ln_sigma != nullptr || points.d_ln_k_iso != nullptr;
    for (std::size_t start = 0; start < points.size; start += lane_count) {
        if ((start / lane_count + 1) % poll_groups == 0 && models::poll_stop()) {
            return {ModelError::interrupted, start};
        }
        const Group group(points, start);
        lanes::Results results;
        switch (model) {
        case Model::isodesmic:
            lanes::isodesmic(isa, group.k, group.conc, steps, results);
            break;
        case Model::cooperative:
            lanes::cooperative(isa, group.k, group.sigma, group.conc, steps, results);
            for (std::size_t lane = 0; lane < group.count; ++lane) {
                if (results.error[lane] == ModelError::cooperative_guard) {
                    const models::Outcome outcome = models::solve_cooperative_n(
                        group.conc[lane], group.k[lane], group.sigma[lane], 2, steps, results.monomer[lane]);
                    results.fraction[lane] = outcome.value;
                    results.error[lane] = outcome.error;
                }
            }
            break;
        case Model::cooperative_n:
            cooperative_n(group, nuc_size, steps, isa, results);
            break;
        case Model::coop_iso:
            lanes::coop_iso(isa, group.k_iso, group.k, group.sigma, group.conc, steps, results);
            break;
        case Model::isodesmic_direct:
            isodesmic_direct(group, results);
            break;
        }
        for (std::size_t lane = 0; lane < group.count; ++lane) {
            if (results.error[lane] != ModelError::none) {
                return {results.error[lane], start + lane};
            }
        }
        for (std::size_t lane = 0; lane < group.count; ++lane) {
            const std::size_t i = start + lane;
            write(points.fraction, i, results.fraction[lane]);
            write(points.monomer, i, results.monomer[lane]);
            if (slopes_wanted) {
                const Slopes s = slopes(model, nuc_size, group.conc[lane], group.k[lane], group.sigma[lane],
                                        group.k_iso[lane], results.monomer[lane]);
                write(points.d_ln_k, i, s.ln_k);
                write(points.d_ln_sigma, i, s.ln_sigma);
                write(points.d_ln_k_iso, i, s.ln_k_iso);
            }
        }
    }
    return {ModelError::none, 0};
}

// With x = k m and u = 1 - x, each balance F and its derivatives in closed
// form, written as sums of positive terms (no cancellation for x in [0, 1)):
// - isodesmic: F = m / u^2, F_m = (1 + x) / u^3, F_ln k = 2 m x / u^3;
// - nucleus of n (the dimer is n = 2), with P = sigma^(n-1) and
//   a = n u + x, S_m = sum_{i=2}^{n-1} i^2 sigma^(i-1) x^(i-1) and
//   S = sum_{i=2}^{n-1} i (i - 1) sigma^(i-1) x^i:
//     F_m      = 1 + S_m + P x^(n-1) (a^2 + x) / u^3,
//     k F_ln k = S + P x^n (a ((n - 1) u + x) + x) / u^3,
//     k F_ln s = S + (n - 1) P x^n a / u^2;
// - both pathways: the isodesmic terms in k_iso plus the dimer terms in k.
// d fraction / d theta = F_theta / (conc F_m).
Slopes slopes(Model model, std::uint32_t nuc_size, double conc, double k, double sigma, double k_iso,
              double m) noexcept {
    Slopes out;
    if (model == Model::isodesmic || model == Model::isodesmic_direct) {
        const double x = k * m;
        out.ln_k = 2.0 * m * x / (conc * (1.0 + x));
        return out;
    }
    double base = 1.0;  // F_m of the monomer, or of the monomer and the isodesmic pathway
    double iso = 0.0;   // F_ln k_iso
    if (model == Model::coop_iso && k_iso != 0.0) {
        const double xi = k_iso * m;
        const double ui = std::fmax(1.0 - xi, 0x1p-53);
        const double ui3 = ui * ui * ui;
        base = (1.0 + xi) / ui3;
        iso = 2.0 * m * xi / ui3;
    }
    if (k == 0.0) {
        out.ln_k_iso = iso / (conc * base);
        return out;
    }
    const std::uint32_t n = model == Model::cooperative_n ? nuc_size : 2;
    double x = k * m;
    double t = 0.0;  // ln u
    if (model != Model::coop_iso && 1.0 - x < 1e-4 && !(sigma > 0.0)) {
        // No nucleation: the monomer is pinned at 1/k (the limit of a
        // vanishing sigma), and moves with it alone.
        out.ln_k = m / conc;
        return out;
    }
    if (model != Model::coop_iso && 1.0 - x < 1e-4) {
        // Deep in the polymer, 1 - k m from the double m keeps few digits
        // of u; the balance itself, solved for ln u, restores them.
        t = refined_log_distance(n, k * conc, sigma, 1.0 - x);
        x = -std::expm1(t);
    } else {
        t = std::log(std::fmax(1.0 - x, 0x1p-53));
    }
    const double u = std::exp(t);
    const Sums sums = finite_sums(n, sigma, x);
    const double dn = static_cast<double>(n);
    const double a = dn * u + x;
    // Everything times u^3, then scaled so that the larger of the two
    // parts is of order one: w multiplies the finite part, v the tail.
    const double lt3 = log_tail(n, sigma, x) - 3.0 * t;
    const double top = std::fmax(lt3, 0.0);
    const double w = std::exp(-top);
    const double v = std::exp(lt3 - top);
    const double d = w * (base - 1.0 + sums.f_m) + v * (a * a + x);
    const double n_k = w * sums.s + v * x * (a * ((dn - 1.0) * u + x) + x);
    const double n_sigma = w * sums.s + v * x * (dn - 1.0) * a * u;
    const double scale = k * conc * d;
    out.ln_k = n_k / scale;
    out.ln_sigma = n_sigma / scale;
    out.ln_k_iso = w * iso / (conc * d);
    return out;
}

void exp_in_place(unsigned char* values, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        write(values, i, std::exp(read(values, i)));
    }
}

}  // namespace kelvara::kernels
