// Native checks of the model layer: built and run by CTest without Python.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "models.h"
#include "thermo.h"

namespace {

using kelvara::models::ModelError;
using kelvara::models::Outcome;

int failures = 0;

void check_bits(const char* what, double got, double expected) {
    std::uint64_t got_bits = 0;
    std::uint64_t expected_bits = 0;
    std::memcpy(&got_bits, &got, sizeof got);
    std::memcpy(&expected_bits, &expected, sizeof expected);
    if (got_bits != expected_bits && !(std::isnan(got) && std::isnan(expected))) {
        std::printf("FAIL %s: got %.17g, expected %.17g\n", what, got, expected);
        ++failures;
    }
}

void check_value(const char* what, const Outcome& outcome, double expected) {
    if (!outcome.ok()) {
        std::printf("FAIL %s: model error \"%s\"\n", what, kelvara::models::message(outcome.error));
        ++failures;
        return;
    }
    check_bits(what, outcome.value, expected);
}

void check_error(const char* what, const Outcome& outcome, ModelError expected) {
    if (outcome.error != expected) {
        std::printf("FAIL %s: expected \"%s\", got \"%s\"\n", what,
                    kelvara::models::message(expected), kelvara::models::message(outcome.error));
        ++failures;
    }
}

void isodesmic_solver() {
    using kelvara::models::isodesmic_model;
    constexpr double inf = std::numeric_limits<double>::infinity();
    check_value("no step: m* = 0.5", isodesmic_model(1.0, 1.0, 0), 0.5);
    check_value("one step", isodesmic_model(1.0, 1.0, 1), 0.75);
    check_value("zero residual moves lower", isodesmic_model(2.0, 1.0, 1), 0.625);
    check_value("two steps", isodesmic_model(2.0, 1.0, 2), 0.6875);
    check_value("exact root", isodesmic_model(2.0, 1.0, 100), 0.75);
    check_value("golden", isodesmic_model(1.0, 1.0, 100), 0.6180339887498948);
    check_value("bracket closes on 1/k", isodesmic_model(1e40, 1.0, 100), 1.0);
    check_value("k = +0", isodesmic_model(1.0, 0.0, 100), -inf);
    check_value("negative k", isodesmic_model(1.0, -1.0, 100), 2.0);
    check_value("conc = 0", isodesmic_model(0.0, 1.0, 100), -inf);
    check_value("negative conc", isodesmic_model(-1.0, 1.0, 100), 1.0);
    check_error("tiny k", isodesmic_model(1.0, 5e-324, 100), ModelError::isodesmic_guard);
    check_error("tiny k, no step", isodesmic_model(1.0, 5e-324, 0), ModelError::isodesmic_guard);
    if (std::strlen(kelvara::models::message(ModelError::isodesmic_guard)) != 58) {
        std::printf("FAIL isodesmic message length\n");
        ++failures;
    }
}

void isodesmic_direct() {
    using kelvara::models::isodesmic_fraction;
    check_bits("X = 1", isodesmic_fraction(1.0), 0.6180339887498949);
    check_bits("X = 2", isodesmic_fraction(2.0), 0.75);
    check_bits("X = -0.25", isodesmic_fraction(-0.25), -3.0);
    check_bits("X = 0", isodesmic_fraction(0.0), std::nan(""));
    check_bits("X = inf", isodesmic_fraction(std::numeric_limits<double>::infinity()),
               std::nan(""));
    check_bits("X = DBL_MAX", isodesmic_fraction(std::numeric_limits<double>::max()), 1.0);
    // Small X: 1 - 2/(1 + 2X + sqrt(1 + 4X)) is about 2X, never 1 nor negative.
    const double tiny = isodesmic_fraction(1e-20);
    if (!(tiny > 1.99999e-20 && tiny < 2.00001e-20)) {
        std::printf("FAIL X = 1e-20 gave %.17g\n", tiny);
        ++failures;
    }
    check_bits("direct(x, k)", kelvara::models::isodesmic_model_direct(0.5, 4.0), 0.75);
}

void cooperative_solvers() {
    using namespace kelvara::models;
    check_value("cooperative, 100 steps", cooperative_model(1e-5, 1e6, 1e-3, 100), 0.9010478877239755);
    check_value("cooperative, sigma 1", cooperative_model(1e-5, 1e6, 1.0, 100), 0.9270156211871643);
    check_value("cooperative, 52 steps", cooperative_model(1.0, 1e15, 1e-20, 52), 0.999999999999999);
    check_error("cooperative, 53 steps", cooperative_model(1.0, 1e15, 1e-20, 53),
                ModelError::cooperative_guard);
    check_value("n = 2, 53 steps", cooperative_model_n(1.0, 1e15, 1e-20, 2, 53), 0.999999999999999);
    check_value("n = 3, one step", cooperative_model_n(1e-5, 1e6, 1e-3, 3, 1), 0.925);
    check_value("n = 6, sigma 1", cooperative_model_n(1e-5, 1e6, 1.0, 6, 100), 0.9270156211871643);
    check_error("n = 1", cooperative_model_n(1e-5, 1e6, 1e-3, 1, 0), ModelError::nucleus_size);
    check_value("mixed, all ones", coop_iso_model(1.0, 1.0, 1.0, 1.0, 100), 0.6888921825340181);
    check_value("mixed, k_coop = 0", coop_iso_model(1e-5, 1e5, 0.0, 0.3, 100), 0.6180339887498949);
    check_error("mixed, cooperative guard", coop_iso_model(1.0, -1.0, -2.0, 0.5, 1),
                ModelError::cooperative_guard);
    check_error("mixed, isodesmic guard", coop_iso_model(1.0, -2.0, -1.0, 0.5, 2),
                ModelError::isodesmic_guard);
}

void sweeps() {
    using namespace kelvara::thermo;
    const SweepOutcome k_one = temp_isodesmic_model({300.0}, 0.0, 0.0, 1.0, 2.0);
    check_bits("sweep at K = 1", k_one.values.at(0), 1.2360679774997896);
    const SweepOutcome failed = temp_isodesmic_model({300.0, 1.0}, 5986.08, 0.0, 1.0, 1.0);
    if (failed.error != ModelError::isodesmic_guard || !failed.values.empty()) {
        std::printf("FAIL a sweep failing at its second temperature\n");
        ++failures;
    }
    const SweepOutcome empty = temp_cooperative_model_n({}, 0.0, 0.0, 0.0, 1.0, 1.0, 0);
    if (empty.error != ModelError::none || !empty.values.empty()) {
        std::printf("FAIL an empty sweep\n");
        ++failures;
    }
}

void power_factor() {
    using kelvara::models::power_by_squaring;
    check_bits("sigma^0", power_by_squaring(0.3, 0), 1.0);
    check_bits("sigma^1", power_by_squaring(0.3, 1), 0.3);
    check_bits("sigma^5", power_by_squaring(0.3, 5), 0.3 * (0.3 * 0.3) * (0.3 * 0.3));
    // Exponents beyond the signed 32-bit range: no overflow, no wrap-around.
    check_bits("(-1)^(2^32 - 2)", power_by_squaring(-1.0, 4294967294U), 1.0);
    check_bits("(-1)^(2^32 - 3)", power_by_squaring(-1.0, 4294967293U), -1.0);
    check_bits("(-1)^(2^31 + 1)", power_by_squaring(-1.0, 2147483649U), -1.0);
    check_bits("0.5^(2^31)", power_by_squaring(0.5, 2147483648U), 0.0);
    check_bits("2^(2^31)", power_by_squaring(2.0, 2147483648U),
               std::numeric_limits<double>::infinity());
    // (1 + 2^-32)^(2^32 - 2) is e to about 1e-9; squaring loses a few more.
    const double near_e = power_by_squaring(1.0 + 0x1p-32, 4294967294U);
    if (std::fabs(near_e - std::exp(1.0)) > 1e-5) {
        std::printf("FAIL (1 + 2^-32)^(2^32 - 2) gave %.17g\n", near_e);
        ++failures;
    }
}

void equilibrium_rule() {
    // The sweeps take delta_s / R once per call and T * R once per
    // temperature; the rule as written takes T * -R and adds.  Same doubles.
    using kelvara::thermo::equilibrium_constant;
    using kelvara::thermo::gas_constant;
    std::uint64_t state = 88172645463325252ULL;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<double>(state >> 11) * 0x1p-53;
    };
    for (int i = 0; i < 200000; ++i) {
        const double temp = 1.0 + 500.0 * next();
        const double delta_h = -300000.0 + 600000.0 * next();
        const double delta_s = -1000.0 + 2000.0 * next();
        const double q = delta_s / gas_constant;
        const double rt = temp * gas_constant;
        const double hoisted = std::exp(q - delta_h / rt);
        check_bits("hoisted rule", hoisted, equilibrium_constant(delta_h, delta_s, temp));
        if (failures > 10) {
            return;
        }
    }
}

}  // namespace

int main() {
    static_assert(kelvara::thermo::gas_constant == 8.314);
    isodesmic_solver();
    isodesmic_direct();
    cooperative_solvers();
    sweeps();
    power_factor();
    equilibrium_rule();
    if (failures != 0) {
        std::printf("%d native check(s) failed\n", failures);
        return 1;
    }
    std::printf("all native checks passed\n");
    return 0;
}
