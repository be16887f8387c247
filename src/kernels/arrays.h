// Array kernels of the fit: the fraction aggregated, the free monomer and
// the derivatives of the fraction in the logarithms of the model's
// constants, for any number of points in one call.
//
// Plain C++: nothing here knows about Python.  The fractions are the
// doubles the concentration solvers give with `steps` bisection steps
// (the lanes run the very same operations; a group stops once no lane
// moves, which changes nothing); with steps large enough to reach the fixed
// point they are exact to the last bit at any K c_tot.
#pragma once

#include <cstddef>
#include <cstdint>

#include "models.h"

namespace kelvara::kernels {

enum class Model : std::uint8_t {
    isodesmic = 0,         // bisected: constants k
    cooperative = 1,       // dimer nucleus: k, sigma
    cooperative_n = 2,     // nucleus of nuc_size: k, sigma
    coop_iso = 3,          // both pathways: k (the cooperative one), sigma, k_iso
    isodesmic_direct = 4,  // the closed form of the isodesmic model: k
    two_pathways = 5,      // two dimer-nucleus pathways: k, sigma (A) and k_b, sigma_b (B); see solve_pathways
};

// Every model the kernels solve: the name the package knows it by and the
// constants it takes, by name, in the order solve() takes them (the first
// null pointer ends the list).  The Python module publishes this table as
// _kernels.MODELS, so the codes and the inputs are written here only.
inline constexpr int most_inputs = 4;
struct Kind {
    const char* name;
    Model model;
    const char* inputs[most_inputs];
    bool pathway_b;  // a second cooperative pathway (k_b, sigma_b): solve_pathways answers
};
inline constexpr Kind kinds[] = {
    {"isodesmic", Model::isodesmic, {"k"}, false},
    {"cooperative", Model::cooperative, {"k", "sigma"}, false},
    {"cooperative_n", Model::cooperative_n, {"k", "sigma"}, false},
    {"coop_iso", Model::coop_iso, {"k", "sigma", "k_iso"}, false},
    {"isodesmic_direct", Model::isodesmic_direct, {"k"}, false},
    {"two_pathways", Model::two_pathways, {"k", "sigma", "k_b", "sigma_b"}, true},
};

constexpr int input_count(const Kind& kind) noexcept {
    int count = 0;
    while (count < most_inputs && kind.inputs[count] != nullptr) {
        ++count;
    }
    return count;
}
inline constexpr int kind_count = static_cast<int>(sizeof(kinds) / sizeof(kinds[0]));

constexpr bool known(int model) noexcept { return model >= 0 && model < kind_count; }

constexpr bool kinds_in_code_order() noexcept {
    for (int i = 0; i < kind_count; ++i) {
        if (static_cast<int>(kinds[i].model) != i) {
            return false;
        }
    }
    return true;
}
static_assert(kinds_in_code_order(), "kinds[i] must describe the model of code i");

// Per point inputs and outputs, `size` doubles each, read and written one
// double at a time through memcpy (no alignment is assumed).  An input the
// model does not take, and any output, may be null.
struct Points {
    std::size_t size = 0;
    const unsigned char* conc = nullptr;
    const unsigned char* k = nullptr;
    const unsigned char* sigma = nullptr;
    const unsigned char* k_iso = nullptr;
    unsigned char* fraction = nullptr;
    unsigned char* monomer = nullptr;
    unsigned char* d_ln_k = nullptr;      // d fraction / d ln k
    unsigned char* d_ln_sigma = nullptr;  // d fraction / d ln sigma
    unsigned char* d_ln_k_iso = nullptr;  // d fraction / d ln k_iso
};

// Where Points holds each constant solve() may be given, and the derivative
// of the fraction in its logarithm: a kernel's input is found here by its
// name, so a new constant is a row here and a name in its kinds, not a new
// argument.
struct Input {
    const char* name;
    const unsigned char* Points::*value;
    unsigned char* Points::*slope;
};
inline constexpr Input point_inputs[] = {
    {"k", &Points::k, &Points::d_ln_k},
    {"sigma", &Points::sigma, &Points::d_ln_sigma},
    {"k_iso", &Points::k_iso, &Points::d_ln_k_iso},
};

// The outcome of a call: the first model error in point order and its
// point, or ModelError::none.  Where the dimer-nucleus solver meets its
// guard (the root within rounding of 1/k), the nucleus-size solver with
// n = 2, which gives the same doubles wherever both succeed, answers
// instead.  The caller's stop poll (models::StopScope) is asked every few
// thousand points.
struct Failure {
    models::ModelError error;
    std::size_t point;
};

Failure solve(Model model, std::uint32_t nuc_size, std::uint64_t steps, const Points& points) noexcept;

// The derivatives of the fraction at the free monomer m of one point (the
// implicit derivative of the mass balance F(m) = conc at its root:
// dm/dtheta = -F_theta / F_m, and d fraction = -dm / conc).
struct Slopes {
    double ln_k = 0.0;
    double ln_sigma = 0.0;
    double ln_k_iso = 0.0;
};

Slopes slopes(Model model, std::uint32_t nuc_size, double conc, double k, double sigma, double k_iso,
              double m) noexcept;

// Two cooperative pathways with dimer nuclei, A (k, sigma) and B (k_b,
// sigma_b), competing for the free monomer m:
//   c = m + h_A + h_B,  h = (sigma / k) x^2 (2 - x) / (1 - x)^2,  x = k m,
// the monomer held in each pathway's aggregates.  Solved for ln(1 - k1 m)
// of the stronger pathway (k1 the larger constant; m < 1/k1), so that the
// fraction keeps its digits deep in the aggregate: Newton steps on ln of
// the balance, kept inside a bracket that halves wherever a step would
// leave it.  Where a vanishing sigma cannot balance c below 1/k1 the
// monomer stays at that limit (as the one-pathway models' limit does).
// Outputs (each may be null): the fraction aggregated, the free monomer,
// the share of c held in B, and in `slopes` (8 blocks of `size` doubles)
// the derivatives of the fraction in ln k, ln sigma, ln k_b, ln sigma_b,
// then those of B's share in the same order.  Inputs that give no number
// (c_tot not positive, a constant not finite) give NaN.
struct PathwayPoints {
    std::size_t size = 0;
    const unsigned char* conc = nullptr;
    const unsigned char* k = nullptr;
    const unsigned char* sigma = nullptr;
    const unsigned char* k_b = nullptr;
    const unsigned char* sigma_b = nullptr;
    unsigned char* fraction = nullptr;
    unsigned char* monomer = nullptr;
    unsigned char* share_b = nullptr;
    unsigned char* slopes = nullptr;
};

Failure solve_pathways(const PathwayPoints& points) noexcept;

// exp of each of `size` doubles, in place (the library's exp, as the
// temperature models take it).
void exp_in_place(unsigned char* values, std::size_t size) noexcept;

}  // namespace kelvara::kernels
