// Lane kernels: the bisections of lane_count points (temperatures, or the
// fit's points) advanced together.
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
#include "nucleation.h"
#include "terms.h"

namespace kelvara::models::lanes {
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

KELVARA_INLINE void load_chains(const double* values, Vec* chain) {
    for (std::size_t c = 0; c < chains; ++c) {
        chain[c] = load(values + c * vec_lanes);
    }
}

// The brackets of every lane, chain by chain.
struct Brackets {
    Vec lower[chains];
    Vec upper[chains];

    // [0, upper] in every lane.
    KELVARA_INLINE void open(const Vec* upper_bound) {
        for (std::size_t c = 0; c < chains; ++c) {
            lower[c] = Vec{};
            upper[c] = upper_bound[c];
        }
    }
    // [0, 1/k] in every lane.
    KELVARA_INLINE void open_at_reciprocal(const Vec* k) {
        for (std::size_t c = 0; c < chains; ++c) {
            lower[c] = Vec{};
            upper[c] = 1.0 / k[c];
        }
    }
    KELVARA_INLINE Vec midpoint(std::size_t c) const { return (lower[c] + upper[c]) * 0.5; }
    // Zero or below moves the lower bound, above zero or NaN the upper bound.
    // Returns the lanes whose bracket moved, compared bit for bit (a NaN
    // bound equals itself, -0.0 is not +0.0): where no lane moved, every
    // later step tests the same midpoints, meets the same guards and moves
    // nothing, so a kernel may stop there with what its remaining steps
    // would give.
    KELVARA_INLINE Mask narrow(std::size_t c, Vec m, Vec d) {
        const Mask down = d <= 0.0;
        const Vec new_lower = down ? m : lower[c];
        const Vec new_upper = down ? upper[c] : m;
        const Mask moved = (bits(new_lower) != bits(lower[c])) | (bits(new_upper) != bits(upper[c]));
        lower[c] = new_lower;
        upper[c] = new_upper;
        return moved;
    }

    KELVARA_INLINE static Mask bits(Vec v) {
        Mask out;
        std::memcpy(&out, &v, sizeof out);
        return out;
    }
};

// Whether any lane of any chain moved in a step.
KELVARA_INLINE bool any_moved(const Mask& moved) {
    bool any = false;
    for (std::size_t lane = 0; lane < vec_lanes; ++lane) {
        any |= moved[lane] != 0;
    }
    return any;
}

// 1 - m* / conc at the midpoint of the final bracket, per lane.
KELVARA_INLINE void finish(const Brackets& brackets, const Vec* conc, const Mask* code,
                           Results& results) {
    for (std::size_t c = 0; c < chains; ++c) {
        const Vec m = brackets.midpoint(c);
        std::memcpy(results.monomer + c * vec_lanes, &m, sizeof m);
        const Vec ratio = m / conc[c];
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

KELVARA_INLINE void isodesmic_kernel(const double* k_values, const double* conc_values, std::uint64_t steps,
                             Results& results) {
    Vec k[chains];
    Vec conc[chains];
    load_chains(k_values, k);
    load_chains(conc_values, conc);
    Brackets brackets;
    brackets.open_at_reciprocal(k);
    Mask failed[chains] = {};
    for (std::uint64_t step = 0; step < steps; ++step) {
        Mask moved = {};
        for (std::size_t c = 0; c < chains; ++c) {
            const Vec m = brackets.midpoint(c);
            const Vec p = k[c] * m;
            failed[c] |= p > 1.0;
            const Vec t1 = 1.0 - p;
            const Vec t2 = t1 * t1;
            const Vec t3 = m / t2;
            moved |= brackets.narrow(c, m, t3 - conc[c]);
        }
        if (!any_moved(moved)) {
            break;  // every lane at its fixed point
        }
    }
    for (std::size_t c = 0; c < chains; ++c) {
        const Vec p = k[c] * brackets.midpoint(c);
        failed[c] |= p > 1.0;
        failed[c] &= isodesmic_code;
    }
    finish(brackets, conc, failed, results);
}

KELVARA_INLINE void cooperative_kernel(const double* k_values, const double* sigma_values,
                                       const double* conc_values, std::uint64_t steps,
                                       Results& results) {
    Vec k[chains];
    Vec q[chains];
    Vec conc[chains];
    load_chains(k_values, k);
    load_chains(conc_values, conc);
    load_chains(sigma_values, q);
    Mask k_zero[chains];  // no aggregate term, no guard
    for (std::size_t c = 0; c < chains; ++c) {
        q[c] = q[c] / k[c];
        k_zero[c] = k[c] == 0.0;
    }
    Brackets brackets;
    brackets.open_at_reciprocal(k);
    Mask failed[chains] = {};
    for (std::uint64_t step = 0; step < steps; ++step) {
        Mask moved = {};
        for (std::size_t c = 0; c < chains; ++c) {
            const Vec m = brackets.midpoint(c);
            const Vec x = k[c] * m;
            failed[c] |= (x >= 1.0) & ~k_zero[c];
            const Vec total = m + aggregate_term(q[c], x);
            const Vec d = k_zero[c] ? m - conc[c] : total - conc[c];
            moved |= brackets.narrow(c, m, d);
        }
        if (!any_moved(moved)) {
            break;  // every lane at its fixed point
        }
    }
    for (std::size_t c = 0; c < chains; ++c) {
        failed[c] &= cooperative_code;
    }
    finish(brackets, conc, failed, results);
}

KELVARA_INLINE void coop_iso_kernel(const double* k_iso_values, const double* k_coop_values,
                                    const double* sigma_values, const double* conc_values,
                                    std::uint64_t steps, Results& results) {
    double upper_values[lane_count];
    for (std::size_t lane = 0; lane < lane_count; ++lane) {
        upper_values[lane] = std::fmin(1.0 / k_iso_values[lane], 1.0 / k_coop_values[lane]);
    }
    Vec k_iso[chains];
    Vec k_coop[chains];
    Vec q[chains];
    Vec upper[chains];
    load_chains(k_iso_values, k_iso);
    load_chains(k_coop_values, k_coop);
    load_chains(sigma_values, q);
    load_chains(upper_values, upper);
    Vec conc[chains];
    load_chains(conc_values, conc);
    Mask cooperative[chains];
    for (std::size_t c = 0; c < chains; ++c) {
        q[c] = q[c] / k_coop[c];
        cooperative[c] = k_coop[c] != 0.0;
    }
    Brackets brackets;
    brackets.open(upper);
    Mask code[chains] = {};
    for (std::uint64_t step = 0; step < steps; ++step) {
        Mask moved = {};
        for (std::size_t c = 0; c < chains; ++c) {
            const Vec m = brackets.midpoint(c);
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
            moved |= brackets.narrow(c, m, f - conc[c]);
        }
        if (!any_moved(moved)) {
            break;  // every lane at its fixed point
        }
    }
    finish(brackets, conc, code, results);
}

KELVARA_INLINE void cooperative_n_kernel(const double* k_values, const double* sigma_values,
                                         const double* power_values, const double* coefficients,
                                         std::uint32_t nuc_size, const double* conc_values,
                                         std::uint64_t steps, Results& results) {
    const std::uint32_t count = nuc_size - 2;
    const Vec infinity = Vec{} + HUGE_VAL;
    Vec conc[chains];
    load_chains(conc_values, conc);
    Vec k[chains];
    Vec sigma[chains];
    Vec power[chains];
    load_chains(k_values, k);
    load_chains(sigma_values, sigma);
    load_chains(power_values, power);
    Mask k_zero[chains];  // the balance is the monomer alone
    Mask favoured[chains];  // the positive sum of nucleation.h
    bool any_favoured = false;
    bool all_favoured = true;
    for (std::size_t c = 0; c < chains; ++c) {
        k_zero[c] = k[c] == 0.0;
        for (std::size_t lane = 0; lane < vec_lanes; ++lane) {
            const std::size_t i = c * vec_lanes + lane;
            const bool f = models::favoured(conc_values[i], k_values[i], sigma_values[i], nuc_size);
            favoured[c][lane] = f ? -1 : 0;
            any_favoured |= f;
            all_favoured &= f;
        }
    }
    Brackets brackets;
    brackets.open_at_reciprocal(k);
    for (std::uint64_t step = 0; step < steps; ++step) {
        Vec m[chains];
        Vec x[chains];
        Vec s[chains];
        Vec px[chains];
        for (std::size_t c = 0; c < chains; ++c) {
            m[c] = brackets.midpoint(c);
            x[c] = k[c] * m[c];
            s[c] = Vec{};
            px[c] = x[c] * x[c];
        }
        if (!all_favoured) {
            for (std::uint32_t i = 0; i < count; ++i) {
                for (std::size_t c = 0; c < chains; ++c) {
                    const Vec t = px[c] * load(coefficients + i * lane_count + c * vec_lanes);
                    s[c] = s[c] - t;
                    px[c] = x[c] * px[c];
                }
            }
        }
        Mask moved = {};
        for (std::size_t c = 0; c < chains; ++c) {
            Vec series = Vec{};
            if (!all_favoured) {
                const Vec elongation = aggregate_term(power[c], x[c]);
                series = (m[c] + elongation) + s[c] / k[c];
            }
            if (any_favoured) {
                // Lanes with x >= 1 (or not favoured) take the sum at 0, unused.
                const Vec below_one = (favoured[c] & (x[c] < 1.0)) ? x[c] : Vec{};
                const Vec b = models::favoured_sum_lanes(below_one, sigma[c], nuc_size);
                const Vec total = m[c] + b / k[c];
                series = favoured[c] ? total : series;
            }
            // x >= 1 counts as too high; k = 0 leaves the monomer alone.
            const Vec f = k_zero[c] ? m[c] : (x[c] >= 1.0 ? infinity : series);
            moved |= brackets.narrow(c, m[c], f - conc[c]);
        }
        if (!any_moved(moved)) {
            break;  // every lane at its fixed point
        }
    }
    const Mask none[chains] = {};
    finish(brackets, conc, none, results);
    if (any_favoured) {
        for (std::size_t c = 0; c < chains; ++c) {
            const Vec m = brackets.midpoint(c);
            const Mask closed = (m == brackets.lower[c]) | (m == brackets.upper[c]);
            for (std::size_t lane = 0; lane < vec_lanes; ++lane) {
                if (favoured[c][lane] != 0) {
                    const std::size_t i = c * vec_lanes + lane;
                    results.fraction[i] = models::favoured_fraction(
                        results.monomer[i], conc_values[i], k_values[i], sigma_values[i], nuc_size,
                        closed[lane] != 0);
                }
            }
        }
    }
}

// One function per instruction set around each kernel.  Only x86-64 has
// the AVX copies; elsewhere (ARM, say) the three are the same portable
// code, and supported() never chooses the others.  Every copy gives the
// same doubles: each lane rounds as the scalar operation does.
// -DKELVARA_X86_DISPATCH=0 builds the portable code alone on x86-64 too:
// how the tests show, on this machine, what an ARM build computes.
#ifndef KELVARA_X86_DISPATCH
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KELVARA_X86_DISPATCH 1
#else
#define KELVARA_X86_DISPATCH 0
#endif
#endif
#if KELVARA_X86_DISPATCH
#define KELVARA_VARIANTS(name, parameters, arguments)                                       \
    [[gnu::target("avx512f")]] void name##_avx512 parameters noexcept {                     \
        name##_kernel arguments;                                                            \
    }                                                                                       \
    [[gnu::target("avx2")]] void name##_avx2 parameters noexcept { name##_kernel arguments; } \
    void name##_portable parameters noexcept { name##_kernel arguments; }
#else
#define KELVARA_VARIANTS(name, parameters, arguments)                                       \
    void name##_portable parameters noexcept { name##_kernel arguments; }                   \
    void name##_avx512 parameters noexcept { name##_portable arguments; }                   \
    void name##_avx2 parameters noexcept { name##_portable arguments; }
#endif

KELVARA_VARIANTS(isodesmic,
                 (const double* k, const double* conc, std::uint64_t steps, Results& results),
                 (k, conc, steps, results))
KELVARA_VARIANTS(cooperative,
                 (const double* k, const double* sigma, const double* conc, std::uint64_t steps,
                  Results& results),
                 (k, sigma, conc, steps, results))
KELVARA_VARIANTS(coop_iso,
                 (const double* k_iso, const double* k_coop, const double* sigma, const double* conc,
                  std::uint64_t steps, Results& results),
                 (k_iso, k_coop, sigma, conc, steps, results))
KELVARA_VARIANTS(cooperative_n,
                 (const double* k, const double* sigma, const double* power, const double* coefficients,
                  std::uint32_t nuc_size, const double* conc, std::uint64_t steps, Results& results),
                 (k, sigma, power, coefficients, nuc_size, conc, steps, results))
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
#if KELVARA_X86_DISPATCH
    case Isa::avx512:
        return __builtin_cpu_supports("avx512f");
    case Isa::avx2:
        return __builtin_cpu_supports("avx2");
#else
    case Isa::avx512:
    case Isa::avx2:
        return false;
#endif
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

void isodesmic(Isa isa, const double* k, const double* conc, std::uint64_t steps,
               Results& results) noexcept {
    KELVARA_DISPATCH(isodesmic, (k, conc, steps, results))
}

void cooperative(Isa isa, const double* k, const double* sigma, const double* conc,
                 std::uint64_t steps, Results& results) noexcept {
    KELVARA_DISPATCH(cooperative, (k, sigma, conc, steps, results))
}

void coop_iso(Isa isa, const double* k_iso, const double* k_coop, const double* sigma,
              const double* conc, std::uint64_t steps, Results& results) noexcept {
    KELVARA_DISPATCH(coop_iso, (k_iso, k_coop, sigma, conc, steps, results))
}

void cooperative_n(Isa isa, const double* k, const double* sigma, const double* power,
                   const double* coefficients, std::uint32_t nuc_size, const double* conc,
                   std::uint64_t steps, Results& results) noexcept {
    KELVARA_DISPATCH(cooperative_n, (k, sigma, power, coefficients, nuc_size, conc, steps, results))
}

}  // namespace kelvara::models::lanes
