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

}  // namespace

int main() {
    static_assert(kelvara::thermo::gas_constant == 8.314);
    isodesmic_solver();
    isodesmic_direct();
    if (failures != 0) {
        std::printf("%d native check(s) failed\n", failures);
        return 1;
    }
    std::printf("all native checks passed\n");
    return 0;
}
