// The array kernels give the concentration solvers' own doubles, point by
// point, on random and edge-case inputs of every model (short groups,
// guards, zero and huge constants), and their derivatives are finite
// wherever the fraction is.  Run under the sanitizers too.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "arrays.h"
#include "models.h"

namespace {

using kelvara::kernels::Model;
using kelvara::models::ModelError;
namespace models = kelvara::models;

constexpr std::uint64_t steps = 2200;
int failures = 0;
long comparisons = 0;

struct Random {
    std::uint64_t state = 0x2545F4914F6CDD1DULL;
    double uniform(double low, double high) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return low + (high - low) * static_cast<double>(state >> 11) * 0x1p-53;
    }
};

bool same(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

models::Outcome scalar(Model model, std::uint32_t n, double c, double k, double sigma, double k_iso) {
    switch (model) {
    case Model::isodesmic:
        return models::isodesmic_model(c, k, steps);
    case Model::cooperative: {
        const models::Outcome out = models::cooperative_model(c, k, sigma, steps);
        return out.error == ModelError::cooperative_guard ? models::cooperative_model_n(c, k, sigma, 2, steps) : out;
    }
    case Model::cooperative_n:
        return models::cooperative_model_n(c, k, sigma, n, steps);
    case Model::coop_iso:
        return models::coop_iso_model(c, k_iso, k, sigma, steps);
    case Model::isodesmic_direct:
        return models::success(models::isodesmic_model_direct(c, k));
    case Model::two_pathways:  // no solver of its own: see check_pathways
        break;
    }
    return models::failure(ModelError::none);
}

void check(Model model, std::uint32_t n, const std::vector<double>& c, const std::vector<double>& k,
           const std::vector<double>& sigma, const std::vector<double>& k_iso, const char* what) {
    const std::size_t size = c.size();
    std::vector<double> fraction(size), monomer(size), d_k(size), d_sigma(size), d_iso(size);
    kelvara::kernels::Points points;
    points.size = size;
    points.conc = reinterpret_cast<const unsigned char*>(c.data());
    points.k = reinterpret_cast<const unsigned char*>(k.data());
    points.sigma = reinterpret_cast<const unsigned char*>(sigma.data());
    points.k_iso = reinterpret_cast<const unsigned char*>(k_iso.data());
    points.fraction = reinterpret_cast<unsigned char*>(fraction.data());
    points.monomer = reinterpret_cast<unsigned char*>(monomer.data());
    points.d_ln_k = reinterpret_cast<unsigned char*>(d_k.data());
    points.d_ln_sigma = reinterpret_cast<unsigned char*>(d_sigma.data());
    points.d_ln_k_iso = reinterpret_cast<unsigned char*>(d_iso.data());
    const kelvara::kernels::Failure failure = kelvara::kernels::solve(model, n, steps, points);
    // The first failing point in order is the one reported (and then the
    // outputs are not all written).
    std::size_t first = size;
    ModelError error = ModelError::none;
    for (std::size_t i = 0; i < size && error == ModelError::none; ++i) {
        const models::Outcome expected = scalar(model, n, c[i], k[i], sigma[i], k_iso[i]);
        if (!expected.ok()) {
            first = i;
            error = expected.error;
        }
    }
    for (std::size_t i = 0; i < size && error == ModelError::none; ++i) {
        const models::Outcome expected = scalar(model, n, c[i], k[i], sigma[i], k_iso[i]);
        ++comparisons;
        if (!same(expected.value, fraction[i])) {
            std::printf("FAIL %s point %zu: %.17g, the solver %.17g\n", what, i, fraction[i], expected.value);
            ++failures;
            return;
        }
        if (std::isfinite(fraction[i]) && c[i] > 0.0 && k[i] > 0.0 &&
            !(std::isfinite(d_k[i]) && std::isfinite(d_sigma[i]) && std::isfinite(d_iso[i]))) {
            std::printf("FAIL %s point %zu: derivatives %g %g %g\n", what, i, d_k[i], d_sigma[i], d_iso[i]);
            ++failures;
            return;
        }
    }
    if (failure.error != error || (error != ModelError::none && failure.point != first)) {
        std::printf("FAIL %s: error %d at %zu, expected %d at %zu\n", what, static_cast<int>(failure.error),
                    failure.point, static_cast<int>(error), first);
        ++failures;
    }
}

// Two pathways: on random and extreme inputs every output is finite, the
// fraction in [0, 1] with B's share within it, and the balance c = m + h_A
// + h_B holds at the monomer returned (in long double, to a few parts in
// 10^13 of c).
void check_pathways(Random& random) {
    const std::size_t size = 400;
    std::vector<double> c(size), k(size), sigma(size), k_b(size), sigma_b(size);
    for (std::size_t i = 0; i < size; ++i) {
        c[i] = std::pow(10.0, random.uniform(-9.0, -2.0));
        k[i] = std::pow(10.0, random.uniform(-12.0, 12.0)) / c[i];
        k_b[i] = i % 9 == 0 ? k[i] * (1.0 - 1e-13) : std::pow(10.0, random.uniform(-12.0, 12.0)) / c[i];
        sigma[i] = std::pow(10.0, random.uniform(-40.0, i % 4 == 0 ? 8.0 : 0.5));
        sigma_b[i] = i % 13 == 0 ? 0.0 : std::pow(10.0, random.uniform(-40.0, 0.5));
    }
    k[size - 1] = 0.0;
    std::vector<double> fraction(size), monomer(size), share_b(size), slopes(8 * size);
    kelvara::kernels::PathwayPoints points;
    points.size = size;
    points.conc = reinterpret_cast<const unsigned char*>(c.data());
    points.k = reinterpret_cast<const unsigned char*>(k.data());
    points.sigma = reinterpret_cast<const unsigned char*>(sigma.data());
    points.k_b = reinterpret_cast<const unsigned char*>(k_b.data());
    points.sigma_b = reinterpret_cast<const unsigned char*>(sigma_b.data());
    points.fraction = reinterpret_cast<unsigned char*>(fraction.data());
    points.monomer = reinterpret_cast<unsigned char*>(monomer.data());
    points.share_b = reinterpret_cast<unsigned char*>(share_b.data());
    points.slopes = reinterpret_cast<unsigned char*>(slopes.data());
    kelvara::kernels::solve_pathways(points);
    for (std::size_t i = 0; i < size; ++i) {
        bool sound = fraction[i] >= 0.0 && fraction[i] <= 1.0 && share_b[i] >= 0.0 &&
                     share_b[i] <= fraction[i] * (1.0 + 1e-12) + 1e-300 && monomer[i] >= 0.0;
        for (std::size_t j = 0; j < 8; ++j) {
            sound = sound && std::isfinite(slopes[j * size + i]);
        }
        // The balance where neither pathway is pinned at its limit (u of the
        // stronger one not below 1e-6, where m no longer fixes the holds).
        long double held = 0.0L;
        for (const auto& [kk, ss] : {std::pair<double, double>{k[i], sigma[i]}, {k_b[i], sigma_b[i]}}) {
            const long double x = static_cast<long double>(kk) * monomer[i];
            if (kk > 0.0 && 1.0L - x > 1e-6L) {
                held += ss / static_cast<long double>(kk) * x * x * (2.0L - x) / ((1.0L - x) * (1.0L - x));
            } else if (kk > 0.0) {
                held = -1.0L;  // not checked
                break;
            }
        }
        if (held >= 0.0L) {
            const long double balance = (monomer[i] + held) / c[i] - 1.0L;
            sound = sound && std::fabs(static_cast<double>(balance)) < 1e-9;
        }
        ++comparisons;
        if (!sound) {
            std::printf("two pathways, point %zu (c %g, k %g, sigma %g, k_b %g, sigma_b %g): fraction %.17g, "
                        "share_b %.17g, monomer %.17g\n",
                        i, c[i], k[i], sigma[i], k_b[i], sigma_b[i], fraction[i], share_b[i], monomer[i]);
            ++failures;
        }
    }
}

}  // namespace

int main() {
    Random random;
    const Model all[] = {Model::isodesmic, Model::cooperative, Model::cooperative_n, Model::coop_iso,
                         Model::isodesmic_direct};
    for (const Model model : all) {
        for (const std::uint32_t n : {2U, 3U, 7U, 40U, 300U}) {
            if (model != Model::cooperative_n && n != 2) {
                continue;
            }
            for (int trial = 0; trial < 40; ++trial) {
                // Sizes around the group of 16: short, exact and ragged groups.
                const std::size_t size = 1 + static_cast<std::size_t>(random.uniform(0.0, 50.0));
                std::vector<double> c(size), k(size), sigma(size), k_iso(size);
                for (std::size_t i = 0; i < size; ++i) {
                    c[i] = std::pow(10.0, random.uniform(-9.0, -2.0));
                    k[i] = std::pow(10.0, random.uniform(-16.0, 14.0)) / c[i];
                    // Now and then nucleation favoured far beyond sigma = 1.
                    sigma[i] = std::pow(10.0, random.uniform(-40.0, trial % 3 == 0 ? 12.0 : 0.5));
                    k_iso[i] = std::pow(10.0, random.uniform(-6.0, 3.0)) / c[i];
                }
                if (trial % 5 == 0) {
                    k[size / 2] = 0.0;  // no aggregation
                }
                if (trial % 7 == 0) {
                    sigma[size - 1] = 0.0;
                }
                if (trial % 11 == 0) {
                    c[0] = 0.0;
                }
                char what[64];
                std::snprintf(what, sizeof what, "model %d, n %u, %zu points", static_cast<int>(model), n, size);
                check(model, n, c, k, sigma, k_iso, what);
            }
        }
    }
    check_pathways(random);
    // Empty input does nothing and succeeds.
    check(Model::cooperative, 2, {}, {}, {}, {}, "empty");
    if (failures != 0) {
        std::printf("%d failure(s)\n", failures);
        return 1;
    }
    std::printf("kernels: %ld points the same as the solvers\n", comparisons);
    return 0;
}
