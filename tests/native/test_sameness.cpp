// The fast paths give the same doubles as the straightforward evaluation:
// every lane kernel the CPU can run against the scalar sweeps, and the
// tabulated nucleation correction against the term-by-term one, on random
// and edge-case inputs, bit for bit.  Model errors must match too, including
// which temperature's error ends a sweep.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "models.h"
#include "nucleation.h"
#include "thermo.h"

namespace {

using kelvara::models::ModelError;
using kelvara::thermo::Method;
using kelvara::thermo::SweepOutcome;
namespace lanes = kelvara::models::lanes;

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::nan("");

int failures = 0;
long comparisons = 0;

struct Random {
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;
    std::uint64_t bits() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    double uniform(double low, double high) {
        return low + (high - low) * static_cast<double>(bits() >> 11) * 0x1p-53;
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(bits() % n); }
    // Mostly ordinary values, sometimes one that breaks something.
    double pick(double low, double high) {
        static const double special[] = {0.0, -0.0, 1.0, -1.0, inf, -inf, nan, 5e-324, 1e-300, 1e300};
        return below(12) == 0 ? special[below(10)] : uniform(low, high);
    }
};

bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) {
        return true;
    }
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, &a, sizeof a);
    std::memcpy(&y, &b, sizeof b);
    return x == y;
}

void compare(const char* what, const SweepOutcome& fast, const SweepOutcome& reference) {
    ++comparisons;
    bool equal = fast.error == reference.error && fast.values.size() == reference.values.size();
    for (std::size_t i = 0; equal && i < fast.values.size(); ++i) {
        equal = same_bits(fast.values[i], reference.values[i]);
    }
    if (!equal && ++failures <= 10) {
        std::printf("FAIL %s: lanes and scalar sweeps differ (errors %d / %d, sizes %zu / %zu)\n",
                    what, static_cast<int>(fast.error), static_cast<int>(reference.error),
                    fast.values.size(), reference.values.size());
    }
}

// Temperatures: ordinary ones, some extreme, and now and then T = 1 K, where
// strong binding makes K subnormal and the bisection solvers fail.
std::vector<double> temperatures(Random& random) {
    std::vector<double> temp(random.below(3 * lanes::lane_count + 2));
    for (double& t : temp) {
        t = random.below(25) == 0 ? 1.0 : random.pick(200.0, 450.0);
    }
    return temp;
}

void sweeps_match(lanes::Isa isa, const char* name) {
    const Method lane_method{true, isa};
    const Method scalar{false, lanes::Isa::portable};
    Random random;
    for (int round = 0; round < 3000; ++round) {
        const std::vector<double> temp = temperatures(random);
        const double dh = random.below(4) == 0 ? 5986.08 : random.pick(-2e5, 5e4);
        const double ds = random.pick(-400.0, 50.0);
        const double dh_nuc = random.pick(-1e4, 6e4);
        const double dh_iso = random.pick(-1e5, 1e4);
        const double ds_iso = random.pick(-300.0, 50.0);
        const double c_tot = random.below(6) == 0 ? random.pick(-1.0, 1.0) : random.uniform(1e-7, 1e-3);
        const double scaler = random.pick(-2.0, 2.0);
        const std::uint32_t nuc_size = static_cast<std::uint32_t>(2 + random.below(12));

        compare(name, kelvara::thermo::temp_isodesmic_model_by(lane_method, temp, dh, ds, c_tot, scaler),
                kelvara::thermo::temp_isodesmic_model_by(scalar, temp, dh, ds, c_tot, scaler));
        compare(name,
                kelvara::thermo::temp_cooperative_model_by(lane_method, temp, dh, ds, dh_nuc, c_tot, scaler),
                kelvara::thermo::temp_cooperative_model_by(scalar, temp, dh, ds, dh_nuc, c_tot, scaler));
        compare(name,
                kelvara::thermo::temp_cooperative_model_n_by(lane_method, temp, dh, ds, dh_nuc, c_tot,
                                                             scaler, nuc_size),
                kelvara::thermo::temp_cooperative_model_n_by(scalar, temp, dh, ds, dh_nuc, c_tot,
                                                             scaler, nuc_size));
        compare(name,
                kelvara::thermo::temp_coop_iso_model_by(lane_method, temp, dh_iso, ds_iso, dh, ds,
                                                        dh_nuc, c_tot, scaler),
                kelvara::thermo::temp_coop_iso_model_by(scalar, temp, dh_iso, ds_iso, dh, ds, dh_nuc,
                                                        c_tot, scaler));
    }
}

// A failing temperature in every position of a group, and lists of every
// length around the group size: the error must be the first one in list order.
void first_failure_wins(lanes::Isa isa, const char* name) {
    const Method lane_method{true, isa};
    const Method scalar{false, lanes::Isa::portable};
    for (std::size_t size = 1; size <= 2 * lanes::lane_count + 1; ++size) {
        for (std::size_t bad = 0; bad < size; ++bad) {
            std::vector<double> temp(size, 300.0);
            temp[bad] = 1.0;  // K subnormal: both guards of the mixed model can fail here
            compare(name, kelvara::thermo::temp_isodesmic_model_by(lane_method, temp, 5986.08, 0.0, 1.0, 1.0),
                    kelvara::thermo::temp_isodesmic_model_by(scalar, temp, 5986.08, 0.0, 1.0, 1.0));
            compare(name,
                    kelvara::thermo::temp_coop_iso_model_by(lane_method, temp, 5986.08, 0.0, 5986.08, 0.0,
                                                            0.0, 1.0, 1.0),
                    kelvara::thermo::temp_coop_iso_model_by(scalar, temp, 5986.08, 0.0, 5986.08, 0.0, 0.0,
                                                            1.0, 1.0));
            // Only the cooperative constant is subnormal: the other message.
            compare(name,
                    kelvara::thermo::temp_coop_iso_model_by(lane_method, temp, 0.0, -9000.0, 5986.08, 0.0,
                                                            0.0, 1.0, 1.0),
                    kelvara::thermo::temp_coop_iso_model_by(scalar, temp, 0.0, -9000.0, 5986.08, 0.0, 0.0,
                                                            1.0, 1.0));
            temp[bad] = 250.0;  // the solver's bracket closes onto 1/K
            compare(name,
                    kelvara::thermo::temp_cooperative_model_by(lane_method, temp, -100000.0, -100.0,
                                                               100000.0, 1e-3, 1.0),
                    kelvara::thermo::temp_cooperative_model_by(scalar, temp, -100000.0, -100.0, 100000.0,
                                                               1e-3, 1.0));
        }
    }
}

// The tabulated correction against the term-by-term one.
void nucleation_table_matches() {
    Random random;
    double table[kelvara::models::max_tabulated_terms];
    for (int round = 0; round < 20000; ++round) {
        const std::uint32_t nuc_size = static_cast<std::uint32_t>(3 + random.below(60));
        const double sigma = random.below(3) == 0 ? random.pick(-0.5, 2.0) : random.uniform(0.0, 1.0);
        const double x = random.below(3) == 0 ? random.pick(-3.0, 1.0) : random.uniform(0.0, 1.0);
        kelvara::models::tabulate_nucleation(sigma, nuc_size, table);
        const double tabulated = kelvara::models::nucleation_correction(x, table, nuc_size - 2);
        const double direct = kelvara::models::nucleation_correction_direct(x, sigma, nuc_size);
        ++comparisons;
        if (!same_bits(tabulated, direct) && ++failures <= 10) {
            std::printf("FAIL correction n=%u sigma=%.17g x=%.17g: %.17g vs %.17g\n", nuc_size, sigma,
                        x, tabulated, direct);
        }
    }
}

// Where nucleation is favoured, the positive sum written out plainly:
// sum_{i=2}^{n-1} i x (sigma x)^(i-1) + x (sigma x)^(n-1) (n (1 - x) + x) / (1 - x)^2,
// powers below the smallest normal double taken as zero.
double reference_favoured_sum(double x, double sigma, std::uint32_t nuc_size) {
    const double y = sigma * x;
    double power = x;
    double sum = 0.0;
    double size = 2.0;
    for (std::uint32_t i = 2; i < nuc_size; ++i) {
        power = power * y;
        power = power < 0x1p-1022 ? 0.0 : power;
        sum = sum + size * power;
        size = size + 1.0;
    }
    power = power * y;
    power = power < 0x1p-1022 ? 0.0 : power;
    const double u = 1.0 - x;
    return sum + (power * (size * u + x)) / (u * u);
}

// The nucleus-size model as first written: one midpoint per step, the
// correction term by term with its expm1 calls; where nucleation is
// favoured, the positive sum, and the aggregated share as the fraction
// once the bracket has closed with more than half of conc left as monomer.
double reference_cooperative_n(double conc, double k, double sigma, std::uint32_t nuc_size,
                               std::uint64_t num_itr) {
    const bool favoured = nuc_size >= 3 && sigma > 1.0 && sigma < inf && k > 0.0 && k < inf &&
                          1.0 / k < inf && conc > 0.0 && conc < inf;
    double lower = 0.0;
    double upper = 1.0 / k;
    const double power = kelvara::models::power_by_squaring(sigma, nuc_size - 1) / k;
    for (std::uint64_t step = 0; step < num_itr; ++step) {
        const double m = (lower + upper) * 0.5;
        double f = m;
        if (k != 0.0) {
            const double x = k * m;
            if (x >= 1.0) {
                f = inf;
            } else if (favoured) {
                f = m + reference_favoured_sum(x, sigma, nuc_size) / k;
            } else {
                const double e = (power * ((x * x) * (2.0 - x))) / ((1.0 - x) * (1.0 - x));
                const double s = nuc_size == 2 ? 0.0
                                               : kelvara::models::nucleation_correction_direct(x, sigma, nuc_size);
                f = (m + e) + s / k;
            }
        }
        if (f - conc <= 0.0) {
            lower = m;
        } else {
            upper = m;
        }
    }
    const double m = (lower + upper) * 0.5;
    if (favoured && num_itr != 0 && (m == lower || m == upper) && m / conc > 0.5 && k * m < 1.0) {
        return (reference_favoured_sum(k * m, sigma, nuc_size) / k) / conc;
    }
    return 1.0 - m / conc;
}

// Per call: the table and three steps per round against the reference, for
// step counts that leave every remainder.
void cooperative_n_matches() {
    Random random;
    for (int round = 0; round < 20000; ++round) {
        const double conc = random.below(8) == 0 ? random.pick(-1.0, 1.0) : random.uniform(1e-7, 1e-3);
        const double k = random.pick(1e3, 1e8);
        const std::size_t kind = random.below(6);
        const double sigma = kind == 0   ? random.pick(-0.5, 2.0)
                             : kind == 1 ? std::pow(10.0, random.uniform(0.0, 12.0))  // nucleation favoured
                                         : random.uniform(0.0, 1.0);
        const std::uint32_t nuc_size = static_cast<std::uint32_t>(2 + random.below(40));
        const std::uint64_t num_itr = random.below(110);
        const kelvara::models::Outcome fast =
            kelvara::models::cooperative_model_n(conc, k, sigma, nuc_size, num_itr);
        const double reference = reference_cooperative_n(conc, k, sigma, nuc_size, num_itr);
        ++comparisons;
        if ((!fast.ok() || !same_bits(fast.value, reference)) && ++failures <= 10) {
            std::printf("FAIL cooperative_model_n(%.17g, %.17g, %.17g, %u, %llu): %.17g vs %.17g\n",
                        conc, k, sigma, nuc_size, static_cast<unsigned long long>(num_itr),
                        fast.value, reference);
        }
    }
}

// The three solvers as first written, every one of num_itr steps taken:
// the outcome the fixed-point exit must reproduce bit for bit.
struct Full {
    double value;
    ModelError error;
};

Full full_isodesmic(double conc, double k, std::uint64_t num_itr) {
    double lower = 0.0;
    double upper = 1.0 / k;
    for (std::uint64_t step = 0; step < num_itr; ++step) {
        const double m = (lower + upper) * 0.5;
        const double p = k * m;
        if (p > 1.0) {
            return {0.0, ModelError::isodesmic_guard};
        }
        const double t1 = 1.0 - p;
        if (m / (t1 * t1) - conc <= 0.0) {
            lower = m;
        } else {
            upper = m;
        }
    }
    if (k * ((lower + upper) * 0.5) > 1.0) {
        return {0.0, ModelError::isodesmic_guard};
    }
    return {1.0 - ((lower + upper) * 0.5) / conc, ModelError::none};
}

Full full_cooperative(double conc, double k, double sigma, std::uint64_t num_itr) {
    double lower = 0.0;
    double upper = 1.0 / k;
    const double q = sigma / k;
    for (std::uint64_t step = 0; step < num_itr; ++step) {
        const double m = (lower + upper) * 0.5;
        double f = m;
        if (k != 0.0) {
            const double x = k * m;
            if (x >= 1.0) {
                return {0.0, ModelError::cooperative_guard};
            }
            f = m + (q * ((x * x) * (2.0 - x))) / ((1.0 - x) * (1.0 - x));
        }
        if (f - conc <= 0.0) {
            lower = m;
        } else {
            upper = m;
        }
    }
    return {1.0 - ((lower + upper) * 0.5) / conc, ModelError::none};
}

Full full_coop_iso(double conc, double k_iso, double k_coop, double sigma, std::uint64_t num_itr) {
    double lower = 0.0;
    double upper = std::fmin(1.0 / k_iso, 1.0 / k_coop);
    const bool cooperative = k_coop != 0.0;
    const double q = cooperative ? sigma / k_coop : 0.0;
    for (std::uint64_t step = 0; step < num_itr; ++step) {
        const double m = (lower + upper) * 0.5;
        const double xi = k_iso * m;
        if (xi > 1.0) {
            return {0.0, ModelError::isodesmic_guard};
        }
        double total_coop = m;
        if (cooperative) {
            const double xc = k_coop * m;
            if (xc >= 1.0) {
                return {0.0, ModelError::cooperative_guard};
            }
            total_coop = m + (q * ((xc * xc) * (2.0 - xc))) / ((1.0 - xc) * (1.0 - xc));
        }
        const double a1 = 1.0 - xi;
        if (((m / (a1 * a1) + total_coop) - m) - conc <= 0.0) {
            lower = m;
        } else {
            upper = m;
        }
    }
    return {1.0 - ((lower + upper) * 0.5) / conc, ModelError::none};
}

void check_full(const char* what, const kelvara::models::Outcome& fast, const Full& full, double a, double b,
                std::uint64_t num_itr) {
    ++comparisons;
    const bool same = fast.error == full.error && (!fast.ok() || same_bits(fast.value, full.value));
    if (!same && ++failures <= 10) {
        std::printf("FAIL %s(%.17g, %.17g, ..., %llu): %.17g (error %d) vs %.17g (error %d)\n", what, a, b,
                    static_cast<unsigned long long>(num_itr), fast.value, static_cast<int>(fast.error),
                    full.value, static_cast<int>(full.error));
    }
}

// Ending the bisection at its fixed point returns what every step would: on
// random and edge inputs, for step counts around the fixed point and far
// beyond it (10^12 against the 4400 steps that reach it from any bracket),
// NaN brackets and guards that fire at the last step included.
void fixed_point_exit_matches_every_step() {
    Random random;
    const std::uint64_t huge = 1000000000000ULL;
    for (int round = 0; round < 20000; ++round) {
        const double conc = random.below(6) == 0 ? random.pick(-1.0, 1.0) : random.uniform(1e-9, 1e-2);
        const double k = random.below(3) == 0 ? random.pick(1e-3, 1e15) : random.uniform(1e2, 1e9);
        const double k2 = random.below(3) == 0 ? random.pick(1e-3, 1e15) : random.uniform(1e2, 1e9);
        const double sigma = random.below(4) == 0 ? random.pick(-0.5, 2.0) : random.uniform(0.0, 1.0);
        std::uint64_t num_itr = random.below(2) == 0 ? random.below(4400) : 1000 + random.below(200);
        const bool far = random.below(8) == 0;
        const std::uint64_t reference_steps = far ? 4400 : num_itr;
        if (far) {
            num_itr = huge;
        }
        check_full("isodesmic_model", kelvara::models::isodesmic_model(conc, k, num_itr),
                   full_isodesmic(conc, k, reference_steps), conc, k, num_itr);
        check_full("cooperative_model", kelvara::models::cooperative_model(conc, k, sigma, num_itr),
                   full_cooperative(conc, k, sigma, reference_steps), conc, k, num_itr);
        check_full("coop_iso_model", kelvara::models::coop_iso_model(conc, k, k2, sigma, num_itr),
                   full_coop_iso(conc, k, k2, sigma, reference_steps), conc, k, num_itr);
        const std::uint32_t nuc_size = static_cast<std::uint32_t>(2 + random.below(12));
        const kelvara::models::Outcome n = kelvara::models::cooperative_model_n(conc, k, sigma, nuc_size, num_itr);
        check_full("cooperative_model_n", n,
                   {reference_cooperative_n(conc, k, sigma, nuc_size, reference_steps), ModelError::none}, conc, k,
                   num_itr);
    }
    // The guard at the very last step: 52 steps pass, the 53rd fails.
    for (const std::uint64_t steps : {std::uint64_t{52}, std::uint64_t{53}, huge}) {
        check_full("cooperative_model", kelvara::models::cooperative_model(1.0, 1e15, 1e-20, steps),
                   full_cooperative(1.0, 1e15, 1e-20, steps == huge ? 4400 : steps), 1.0, 1e15, steps);
    }
}

}  // namespace

int main() {
    const struct {
        lanes::Isa isa;
        const char* name;
    } isas[] = {{lanes::Isa::portable, "portable"}, {lanes::Isa::avx2, "avx2"}, {lanes::Isa::avx512, "avx512"}};
    for (const auto& entry : isas) {
        if (!lanes::supported(entry.isa)) {
            std::printf("%s lanes: not supported by this CPU, not checked\n", entry.name);
            continue;
        }
        sweeps_match(entry.isa, entry.name);
        first_failure_wins(entry.isa, entry.name);
        std::printf("%s lanes: checked\n", entry.name);
    }
    nucleation_table_matches();
    cooperative_n_matches();
    fixed_point_exit_matches_every_step();
    std::printf("%ld comparisons, %d failures\n", comparisons, failures);
    return failures == 0 ? 0 : 1;
}
