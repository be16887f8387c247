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
        case Model::two_pathways:  // solve_pathways answers; here it gives no number
            for (std::size_t lane = 0; lane < lane_count; ++lane) {
                results.fraction[lane] = std::nan("");
                results.monomer[lane] = std::nan("");
                results.error[lane] = ModelError::none;
            }
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

namespace {

// One pathway at the free monomer m, with x = k m and u = 1 - x given (u
// from ln u, so that it keeps its digits where x is near 1): the log of
// its tail, ln(sigma x) - 3 ln u, and a = 2 - x.
struct Pathway {
    double x;
    double u;
    double a;
    double tail;  // ln(sigma x / u^3); -inf where the pathway holds nothing
};

Pathway pathway(double k, double sigma, double x, double u, double log_u) noexcept {
    Pathway p{x, u, 2.0 - x, -INFINITY};
    if (k > 0.0 && sigma > 0.0 && x > 0.0) {
        p.tail = (std::log(sigma) + std::log(x)) - 3.0 * log_u;
    }
    return p;
}

// Both pathways at t = ln u1 of the stronger one (constant k1); the other's
// u is (k1 - k2) / k1 + r u1 with r = k2 / k1 (a sum of positive terms).
struct State {
    double m;
    Pathway strong;
    Pathway weak;
    double log_f;  // ln of the balance c = m (1 + g_A + g_B), g = a u e^tail
};

State state(double t, double k1, double s1, double k2, double s2) noexcept {
    State out{};
    const double u1 = std::exp(t);
    const double x1 = -std::expm1(t);
    out.m = x1 / k1;
    out.strong = pathway(k1, s1, x1, u1, t);
    const double r = k2 / k1;
    const double u2 = (k1 - k2) / k1 + r * u1;  // k1 - k2 exact where they are close: 1 - r keeps its digits
    out.weak = pathway(k2, s2, r * x1, u2, std::log(u2));
    // ln(1 + g1 + g2) with each g = a u e^tail kept as a logarithm.
    const double l1 = std::log(out.strong.a * u1) + out.strong.tail;
    const double l2 = std::log(out.weak.a * u2) + out.weak.tail;
    const double top = std::fmax(0.0, std::fmax(l1, l2));
    const double sum = std::exp(-top) + std::exp(l1 - top) + std::exp(l2 - top);
    out.log_f = std::log(out.m) + (top + std::log(sum));
    return out;
}

// ln of d balance / d m times e^(-top), with top the larger of 0 and the
// tails: e^(-top) + sum over pathways of e^(tail - top) (a^2 + x).
struct Steepness {
    double top;
    double scaled;  // F_m e^(-top)
    double strong;  // e^(tail - top) of each pathway
    double weak;
};

Steepness steepness(const State& s) noexcept {
    Steepness out{};
    out.top = std::fmax(0.0, std::fmax(s.strong.tail, s.weak.tail));
    out.strong = std::exp(s.strong.tail - out.top);
    out.weak = std::exp(s.weak.tail - out.top);
    out.scaled = std::exp(-out.top) + out.strong * (s.strong.a * s.strong.a + s.strong.x) +
                 out.weak * (s.weak.a * s.weak.a + s.weak.x);
    return out;
}

// ln F - ln c at t and its derivative in t, -F_m (u1 / k1) / F.  Where
// nothing can overflow (u1 above e^-200, both sigmas at most 1e30) in plain
// arithmetic, with g = a sigma x / u^2 and h' = sigma x (a^2 + x) / u^3 of
// each pathway; else with every large factor kept as a logarithm.
struct Balance {
    double g;
    double slope;
};

Balance balance(double t, double target, double k1, double s1, double k2, double s2, double gap,
                double r) noexcept {
    if (t > -200.0 && s1 <= 1e30 && s2 <= 1e30) {
        const double u1 = std::exp(t);
        const double x1 = -std::expm1(t);
        const double m = x1 / k1;
        const double u2 = gap + r * u1;
        const double x2 = r * x1;
        const double a1 = 2.0 - x1;
        const double a2 = 2.0 - x2;
        const double q1 = s1 * x1 / (u1 * u1);
        const double q2 = s2 * x2 / (u2 * u2);
        const double f = m * ((1.0 + a1 * q1) + a2 * q2);
        const double f_m = (1.0 + q1 * (a1 * a1 + x1) / u1) + q2 * (a2 * a2 + x2) / u2;
        return {std::log(f) - target, -f_m * u1 / (k1 * f)};
    }
    const State s = state(t, k1, s1, k2, s2);
    const Steepness d = steepness(s);
    return {s.log_f - target, -std::exp(d.top + std::log(d.scaled) + t - std::log(k1) - s.log_f)};
}

// ln u1 at the root of the balance, in [low, 0] (whose end low holds c at
// least): Newton steps on ln F - ln c (which falls as t rises), each kept
// inside the bracket.
double pathway_root(double conc, double k1, double s1, double k2, double s2, double low) noexcept {
    const double target = std::log(conc);
    double high = 0.0;
    // A start from the regime the root is in: the stronger pathway's tail
    // alone holding c (F ~ 2 sigma1 / (k1 u^2)), or the monomer holding it
    // (m = c); the root lies above both.
    const double by_tail = 0.5 * (std::log(2.0 * s1) - std::log(k1 * conc));
    const double by_monomer = k1 * conc < 1.0 ? std::log1p(-k1 * conc) : low;
    double t = std::fmax(by_tail, by_monomer);
    if (!(t > low && t < high)) {
        t = 0.5 * low;
    }
    const double gap = (k1 - k2) / k1;
    const double r = k2 / k1;
    for (int step = 0; step < 400; ++step) {
        const Balance b = balance(t, target, k1, s1, k2, s2, gap, r);
        const double g = b.g;
        const double slope = b.slope;
        if (g == 0.0) {
            return t;
        }
        if (g > 0.0) {
            low = t;
        } else {
            high = t;
        }
        double next = t - g / slope;
        if (!(next > low && next < high)) {
            next = 0.5 * (low + high);
        }
        if (next == t || next <= low || next >= high) {
            // The bracket is down to neighbouring doubles.
            return next == t ? t : 0.5 * (low + high);
        }
        if (std::fabs(next - t) <= 4e-16 * std::fabs(t)) {
            return next;
        }
        t = next;
    }
    return t;
}

// What one point gives: the monomer, the fraction, B's share and the 8
// derivatives (see PathwayPoints).
struct Outcome {
    double monomer;
    double fraction;
    double share_b;
    double slopes[8];
};

// The outcome at the root t with every large factor kept as a logarithm.
Outcome logged_outcome(double t, double conc, double k1, double s1, double k2, double s2, bool a_strong) noexcept {
    Outcome out{};
    const State s = state(t, k1, s1, k2, s2);
    const Steepness d = steepness(s);
    out.monomer = s.m;
    // At the root c = m (1 + g_A + g_B), g = a u e^tail: the fraction
    // and each share as g / (1 + g_A + g_B), without the cancellation
    // of 1 - m / c where little aggregates.
    const double g_strong = std::exp(std::log(s.strong.a * s.strong.u) + s.strong.tail);
    const double g_weak = std::exp(std::log(s.weak.a * s.weak.u) + s.weak.tail);
    const double held = g_strong + g_weak;
    out.fraction = std::isfinite(held) ? held / (1.0 + held) : 1.0;
    const double g_b = a_strong ? g_weak : g_strong;
    out.share_b = std::isfinite(held) ? g_b / (1.0 + held) : (a_strong ? 0.0 : 1.0);
    // At fixed m each pathway's hold moves by H: 2 m e^tail in ln k,
    // m a u e^tail (the hold itself) in ln sigma; d fraction = H /
    // (c F_m).  B's share moves by H_B (1 + h_A') / (c F_m) in B's
    // constants and by -H_A h_B' / (c F_m) in A's (through m); those
    // ratios lie in [0, 1] and H / c is taken as a logarithm, since
    // the stronger pathway's H alone may overflow.
    const double cd = conc * d.scaled;
    const Pathway* own[2] = {a_strong ? &s.strong : &s.weak, a_strong ? &s.weak : &s.strong};
    const double scale[2] = {a_strong ? d.strong : d.weak, a_strong ? d.weak : d.strong};
    double held_slope[2];  // h' e^(-top) of A and B
    double log_h[4];       // ln(H / c) of A's and B's constants
    for (int j = 0; j < 2; ++j) {
        const Pathway& p = *own[j];
        held_slope[j] = scale[j] * (p.a * p.a + p.x);
        out.slopes[2 * j] = 2.0 * s.m * scale[j] / cd;
        out.slopes[2 * j + 1] = s.m * p.a * p.u * scale[j] / cd;
        log_h[2 * j] = std::log(2.0 * s.m / conc) + p.tail;
        log_h[2 * j + 1] = std::log(s.m * p.a * p.u / conc) + p.tail;
    }
    const double keep_b = std::log((std::exp(-d.top) + held_slope[0]) / d.scaled);  // (1 + h_A') / F_m
    const double lose_a = std::log(held_slope[1] / d.scaled);                      // h_B' / F_m
    out.slopes[4] = -std::exp(log_h[0] + lose_a);
    out.slopes[5] = -std::exp(log_h[1] + lose_a);
    out.slopes[6] = std::exp(log_h[2] + keep_b);
    out.slopes[7] = std::exp(log_h[3] + keep_b);
    return out;
}

// The same where nothing can overflow (t above -200, both sigmas at most
// 1e30), in plain arithmetic: with q = sigma x / u^2 of each pathway, its
// hold is m a q, h' = q (a^2 + x) / u, and at fixed m it moves by 2 m q / u
// in ln k and by m a q in ln sigma.
Outcome plain_outcome(double t, double conc, double k1, double s1, double k2, double s2, bool a_strong) noexcept {
    Outcome out{};
    const double u1 = std::exp(t);
    const double x1 = -std::expm1(t);
    const double m = x1 / k1;
    const double r = k2 / k1;
    const double u2 = (k1 - k2) / k1 + r * u1;
    const double x2 = r * x1;
    const double u[2] = {a_strong ? u1 : u2, a_strong ? u2 : u1};  // A's, B's
    const double x[2] = {a_strong ? x1 : x2, a_strong ? x2 : x1};
    const double sigma[2] = {a_strong ? s1 : s2, a_strong ? s2 : s1};
    double a[2];
    double q[2];
    double held_slope[2];
    for (int j = 0; j < 2; ++j) {
        a[j] = 2.0 - x[j];
        q[j] = sigma[j] * x[j] / (u[j] * u[j]);
        held_slope[j] = q[j] * (a[j] * a[j] + x[j]) / u[j];
    }
    const double g_a = a[0] * q[0];
    const double g_b = a[1] * q[1];
    const double held = g_a + g_b;
    out.monomer = m;
    out.fraction = held / (1.0 + held);
    out.share_b = g_b / (1.0 + held);
    const double f_m = (1.0 + held_slope[0]) + held_slope[1];
    double h[4];  // H / c of A's and B's constants
    for (int j = 0; j < 2; ++j) {
        h[2 * j] = 2.0 * m * q[j] / u[j] / conc;
        h[2 * j + 1] = m * a[j] * q[j] / conc;
    }
    for (int j = 0; j < 4; ++j) {
        out.slopes[j] = h[j] / f_m;
    }
    const double keep_b = (1.0 + held_slope[0]) / f_m;
    const double lose_a = held_slope[1] / f_m;
    out.slopes[4] = -h[0] * lose_a;
    out.slopes[5] = -h[1] * lose_a;
    out.slopes[6] = h[2] * keep_b;
    out.slopes[7] = h[3] * keep_b;
    return out;
}

// The stronger pathway without nucleation (sigma 0, or too small to
// count) pinned at the root's limit m = 1/k1, as the one-pathway models'
// limit is: the fraction is 1 - m / c, the weaker pathway holds what its
// balance gives at that m and the stronger one the rest.  The fraction moves
// with ln k1 alone (by m / c); the weaker's share W = m g / c moves with
// its own constants at fixed m, and by -h' m / c through m in ln k1.
Outcome pinned_outcome(double t, double conc, double k1, double k2, double s2, bool a_strong) noexcept {
    Outcome out{};
    const double u1 = std::exp(t);
    const double m = -std::expm1(t) / k1;
    const double r = k2 / k1;
    const double u = (k1 - k2) / k1 + r * u1;
    const double x = r * -std::expm1(t);
    const double a = 2.0 - x;
    const double q = s2 * x / (u * u);
    const double weak = m * a * q / conc;
    out.monomer = m;
    out.fraction = 1.0 - m / conc;
    out.share_b = a_strong ? weak : out.fraction - weak;
    const int strong = a_strong ? 0 : 1;
    const int other = 1 - strong;
    double moves[4] = {0.0, 0.0, 0.0, 0.0};  // of W, in ln k and ln sigma of A and of B
    moves[2 * other] = 2.0 * m * q / u / conc;
    moves[2 * other + 1] = weak;
    moves[2 * strong] = -(q * (a * a + x) / u) * m / conc;
    out.slopes[2 * strong] = m / conc;
    for (int j = 0; j < 4; ++j) {
        out.slopes[4 + j] = a_strong ? moves[j] : out.slopes[j] - moves[j];
    }
    return out;
}

}  // namespace

Failure solve_pathways(const PathwayPoints& points) noexcept {
    const std::size_t n = points.size;
    for (std::size_t i = 0; i < n; ++i) {
        if ((i + 1) % (poll_groups * lane_count) == 0 && models::poll_stop()) {
            return {ModelError::interrupted, i};
        }
        const double conc = read(points.conc, i);
        const double k_a = read(points.k, i);
        const double sigma_a = read(points.sigma, i);
        const double k_b = read(points.k_b, i);
        const double sigma_b = read(points.sigma_b, i);
        double fraction = std::nan("");
        double monomer = std::nan("");
        double share_b = std::nan("");
        double slopes[8];
        std::fill(slopes, slopes + 8, std::nan(""));
        const bool sound = conc > 0.0 && std::isfinite(conc) && k_a >= 0.0 && k_b >= 0.0 && std::isfinite(k_a) &&
                           std::isfinite(k_b) && sigma_a >= 0.0 && sigma_b >= 0.0 && std::isfinite(sigma_a) &&
                           std::isfinite(sigma_b);
        if (sound && k_a == 0.0 && k_b == 0.0) {
            fraction = 0.0;
            monomer = conc;
            share_b = 0.0;
            std::fill(slopes, slopes + 8, 0.0);
        } else if (sound) {
            const bool a_strong = k_a >= k_b;
            const double k1 = a_strong ? k_a : k_b;
            const double s1 = a_strong ? sigma_a : sigma_b;
            const double k2 = a_strong ? k_b : k_a;
            const double s2 = a_strong ? sigma_b : sigma_a;
            const double kc = k1 * conc;
            const double low = kc < 1.0 ? std::log1p(-kc) : -700.0;
            // Below k1 c = 1 the bracket's end m = c holds c at least; above,
            // a vanishing sigma may hold too little before m reaches 1/k1.
            const bool pinned = kc >= 1.0 && !(state(low, k1, s1, k2, s2).log_f >= std::log(conc));
            // k1 c below rounding of 0: nothing aggregates (t = 0 would be m = 0).
            const double t = pinned ? low : low < 0.0 ? pathway_root(conc, k1, s1, k2, s2, low) : -0x1p-1074;
            const Outcome out = pinned ? pinned_outcome(t, conc, k1, k2, s2, a_strong)
                                : t > -200.0 && s1 <= 1e30 && s2 <= 1e30
                                    ? plain_outcome(t, conc, k1, s1, k2, s2, a_strong)
                                    : logged_outcome(t, conc, k1, s1, k2, s2, a_strong);
            monomer = out.monomer;
            fraction = out.fraction;
            share_b = out.share_b;
            std::copy(out.slopes, out.slopes + 8, slopes);
        }
        write(points.fraction, i, fraction);
        write(points.monomer, i, monomer);
        write(points.share_b, i, share_b);
        if (points.slopes != nullptr) {
            for (std::size_t j = 0; j < 8; ++j) {
                write(points.slopes, j * n + i, slopes[j]);
            }
        }
    }
    return {ModelError::none, 0};
}

void exp_in_place(unsigned char* values, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        write(values, i, std::exp(read(values, i)));
    }
}

}  // namespace kelvara::kernels
