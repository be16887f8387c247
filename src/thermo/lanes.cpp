// Lane kernels: the bisections of lane_count temperatures advanced together.
//
// A Vec holds four lanes; its operators act lane by lane with the IEEE
// rounding of the scalar operation (no contraction: the build turns it off),
// and a comparison gives a Mask of all-ones or zero per lane.  Each
// kernel repeats its scalar solver's steps in the same order.  A lane that
// meets a guard records its error and goes on computing values nobody
// reads, as the other lanes of the group must go on.
//
// The kernels are always inlined into one function per instruction set, so
// each copy is compiled for its own; nothing with a Vec in its signature is
// ever called across them.
// Vec never crosses a call, so the ABI of passing it does not matter.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <cmath>
#include <cstring>

#include "lanes.h"
#include "terms.h"
#include "thermo.h"


namespace kelvara::thermo::lanes {
namespace {

// Four lanes per Vec; a kernel advances `chains` Vecs side by side, whose
// independent dependency chains keep the divider busy.
constexpr std::size_t vec_lanes = 4;
constexpr std::size_t chains = lane_count / vec_lanes;
using Vec = double __attribute__((vector_size(vec_lanes * sizeof(double))));
using Mask = std::int64_t __attribute__((vector_size(vec_lanes * sizeof(double))));
using models::aggregate_term;

#define KELVARA_INLINE [[gnu::always_inline]] inline

KELVARA_INLINE Vec load(const double* values) {
    Vec v;
    std::memcpy(&v, values, sizeof v);
    return v;
}

// Zero or below moves the lower bound, above zero or NaN the upper bound.
KELVARA_INLINE void narrow(Vec m, Vec d, Vec& lower, Vec& upper) {
    const Mask down = d <= 0.0;
    lower = down ? m : lower;
    upper = down ? upper : m;
}

// 1 - m* / conc at the midpoint of the final bracket, per lane.
KELVARA_INLINE void finish(const Vec* lower, const Vec* upper, double conc, const Mask* code,
                           Results& results) {
    for (std::size_t c = 0; c < chains; ++c) {
        const Vec m = (lower[c] + upper[c]) * 0.5;
        const Vec ratio = m / conc;
        const Vec fraction = 1.0 - ratio;
        std::memcpy(results.fraction + c * vec_lanes, &fraction, sizeof fraction);
        for (std::size_t lane = 0; lane < vec_lanes; ++lane) {
            results.error[c * vec_lanes + lane] = static_cast<models::ModelError>(code[c][lane]);
        }
    }
}

constexpr std::int64_t isodesmic_code = static_cast<std::int64_t>(models::ModelError::isodesmic_guard);
constexpr std::int64_t cooperative_code =
    static_cast<std::int64_t>(models::ModelError::cooperative_guard);

KELVARA_INLINE void isodesmic_kernel(const double* k_values, double conc, Results& results) {
    Vec k[chains];
    Vec lower[chains];
    Vec upper[chains];
    Mask failed[chains];
    for (std::size_t c = 0; c < chains; ++c) {
        k[c] = load(k_values + c * vec_lanes);
        lower[c] = Vec{};
        upper[c] = 1.0 / k[c];
        failed[c] = Mask{};
    }
    for (std::uint64_t step = 0; step < sweep_iterations; ++step) {
        for (std::size_t c = 0; c < chains; ++c) {
            const Vec m = (lower[c] + upper[c]) * 0.5;
            const Vec p = k[c] * m;
            failed[c] |= p > 1.0;
            const Vec t1 = 1.0 - p;
            const Vec t2 = t1 * t1;
            const Vec t3 = m / t2;
            narrow(m, t3 - conc, lower[c], upper[c]);
        }
    }
    for (std::size_t c = 0; c < chains; ++c) {
        const Vec p = k[c] * ((lower[c] + upper[c]) * 0.5);
        failed[c] |= p > 1.0;
        failed[c] &= isodesmic_code;
    }
    finish(lower, upper, conc, failed, results);
}

KELVARA_INLINE void cooperative_kernel(const double* k_values, const double* sigma_values,
                                       double conc, Results& results) {
    Vec k[chains];
    Vec q[chains];
    Mask k_zero[chains];  // no aggregate term, no guard
    Vec lower[chains];
    Vec upper[chains];
    Mask failed[chains];
    for (std::size_t c = 0; c < chains; ++c) {
        k[c] = load(k_values + c * vec_lanes);
        q[c] = load(sigma_values + c * vec_lanes) / k[c];
        k_zero[c] = k[c] == 0.0;
        lower[c] = Vec{};
        upper[c] = 1.0 / k[c];
        failed[c] = Mask{};
    }
    for (std::uint64_t step = 0; step < sweep_iterations; ++step) {
        for (std::size_t c = 0; c < chains; ++c) {
            const Vec m = (lower[c] + upper[c]) * 0.5;
            const Vec x = k[c] * m;
            failed[c] |= (x >= 1.0) & ~k_zero[c];
            const Vec total = m + aggregate_term(q[c], x);
            const Vec d = k_zero[c] ? m - conc : total - conc;
            narrow(m, d, lower[c], upper[c]);
        }
    }
    for (std::size_t c = 0; c < chains; ++c) {
        failed[c] &= cooperative_code;
    }
    finish(lower, upper, conc, failed, results);
}

KELVARA_INLINE void coop_iso_kernel(const double* k_iso_values, const double* k_coop_values,
                                    const double* sigma_values, double conc, Results& results) {
    double upper_values[lane_count];
    for (std::size_t lane = 0; lane < lane_count; ++lane) {
        upper_values[lane] = std::fmin(1.0 / k_iso_values[lane], 1.0 / k_coop_values[lane]);
    }
    Vec k_iso[chains];
    Vec k_coop[chains];
    Vec q[chains];
    Mask cooperative[chains];
    Vec lower[chains];
    Vec upper[chains];
    Mask code[chains];
    for (std::size_t c = 0; c < chains; ++c) {
        k_iso[c] = load(k_iso_values + c * vec_lanes);
        k_coop[c] = load(k_coop_values + c * vec_lanes);
        q[c] = load(sigma_values + c * vec_lanes) / k_coop[c];
        cooperative[c] = k_coop[c] != 0.0;
        lower[c] = Vec{};
        upper[c] = load(upper_values + c * vec_lanes);
        code[c] = Mask{};
    }
    for (std::uint64_t step = 0; step < sweep_iterations; ++step) {
        for (std::size_t c = 0; c < chains; ++c) {
            const Vec m = (lower[c] + upper[c]) * 0.5;
            // The isodesmic guard is strict and comes first; the cooperative
            // one is not.  A lane keeps the first error it meets.
            const Vec xi = k_iso[c] * m;
            const Vec xc = k_coop[c] * m;
            const Mask iso_fails = xi > 1.0;
            const Mask coop_fails = (xc >= 1.0) & cooperative[c];
            const Mask now =
                (iso_fails & isodesmic_code) | (~iso_fails & coop_fails & cooperative_code);
            code[c] = code[c] == 0 ? now : code[c];
            const Vec a1 = 1.0 - xi;
            const Vec a2 = a1 * a1;
            const Vec total_iso = m / a2;
            const Vec total_coop = cooperative[c] ? m + aggregate_term(q[c], xc) : m;
            const Vec f = (total_iso + total_coop) - m;
            narrow(m, f - conc, lower[c], upper[c]);
        }
    }
    finish(lower, upper, conc, code, results);
}

KELVARA_INLINE void cooperative_n_kernel(const double* k_values, const double* power_values,
                                         const double* coefficients, std::uint32_t count,
                                         double conc, Results& results) {
    const Vec infinity = Vec{} + HUGE_VAL;
    Vec k[chains];
    Vec power[chains];
    Mask k_zero[chains];  // the balance is the monomer alone
    Vec lower[chains];
    Vec upper[chains];
    Mask none[chains];
    for (std::size_t c = 0; c < chains; ++c) {
        k[c] = load(k_values + c * vec_lanes);
        power[c] = load(power_values + c * vec_lanes);
        k_zero[c] = k[c] == 0.0;
        lower[c] = Vec{};
        upper[c] = 1.0 / k[c];
        none[c] = Mask{};
    }
    for (std::uint64_t step = 0; step < sweep_iterations; ++step) {
        Vec m[chains];
        Vec x[chains];
        Vec s[chains];
        Vec px[chains];
        for (std::size_t c = 0; c < chains; ++c) {
            m[c] = (lower[c] + upper[c]) * 0.5;
            x[c] = k[c] * m[c];
            s[c] = Vec{};
            px[c] = x[c] * x[c];
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            for (std::size_t c = 0; c < chains; ++c) {
                const Vec t = px[c] * load(coefficients + i * lane_count + c * vec_lanes);
                s[c] = s[c] - t;
                px[c] = x[c] * px[c];
            }
        }
        for (std::size_t c = 0; c < chains; ++c) {
            const Vec elongation = aggregate_term(power[c], x[c]);
            const Vec series = (m[c] + elongation) + s[c] / k[c];
            // x >= 1 counts as too high; k = 0 leaves the monomer alone.
            const Vec f = k_zero[c] ? m[c] : (x[c] >= 1.0 ? infinity : series);
            narrow(m[c], f - conc, lower[c], upper[c]);
        }
    }
    finish(lower, upper, conc, none, results);
}

// One function per instruction set around each kernel.
#define KELVARA_VARIANTS(name, parameters, arguments)                                       \
    [[gnu::target("avx512f")]] void name##_avx512 parameters noexcept {                     \
        name##_kernel arguments;                                                            \
    }                                                                                       \
    [[gnu::target("avx2")]] void name##_avx2 parameters noexcept { name##_kernel arguments; } \
    void name##_portable parameters noexcept { name##_kernel arguments; }

KELVARA_VARIANTS(isodesmic, (const double* k, double conc, Results& results), (k, conc, results))
KELVARA_VARIANTS(cooperative,
                 (const double* k, const double* sigma, double conc, Results& results),
                 (k, sigma, conc, results))
KELVARA_VARIANTS(coop_iso,
                 (const double* k_iso, const double* k_coop, const double* sigma, double conc,
                  Results& results),
                 (k_iso, k_coop, sigma, conc, results))
KELVARA_VARIANTS(cooperative_n,
                 (const double* k, const double* power, const double* coefficients,
                  std::uint32_t count, double conc, Results& results),
                 (k, power, coefficients, count, conc, results))
#undef KELVARA_VARIANTS

#define KELVARA_DISPATCH(name, arguments)    \
    switch (supported(isa) ? isa : Isa::portable) { \
    case Isa::avx512:                        \
        return name##_avx512 arguments;      \
    case Isa::avx2:                          \
        return name##_avx2 arguments;        \
    case Isa::portable:                      \
        break;                               \
    }                                        \
    return name##_portable arguments;

}  // namespace

bool supported(Isa isa) noexcept {
    switch (isa) {
    case Isa::avx512:
        return __builtin_cpu_supports("avx512f");
    case Isa::avx2:
        return __builtin_cpu_supports("avx2");
    case Isa::portable:
        return true;
    }
    return false;
}

Isa best_isa() noexcept {
    if (supported(Isa::avx512)) {
        return Isa::avx512;
    }
    return supported(Isa::avx2) ? Isa::avx2 : Isa::portable;
}

void isodesmic(Isa isa, const double* k, double conc, Results& results) noexcept {
    KELVARA_DISPATCH(isodesmic, (k, conc, results))
}

void cooperative(Isa isa, const double* k, const double* sigma, double conc,
                 Results& results) noexcept {
    KELVARA_DISPATCH(cooperative, (k, sigma, conc, results))
}

void coop_iso(Isa isa, const double* k_iso, const double* k_coop, const double* sigma,
              double conc, Results& results) noexcept {
    KELVARA_DISPATCH(coop_iso, (k_iso, k_coop, sigma, conc, results))
}

void cooperative_n(Isa isa, const double* k, const double* power, const double* coefficients,
                   std::uint32_t count, double conc, Results& results) noexcept {
    KELVARA_DISPATCH(cooperative_n, (k, power, coefficients, count, conc, results))
}

}  // namespace kelvara::thermo::lanes
