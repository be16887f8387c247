// Concentration-based aggregation models: bisection solvers for the free
// monomer concentration and the closed-form isodesmic fraction.
//
// Plain C++: nothing here knows about Python.  Every routine is a pure
// function of its arguments, allocates nothing, and reports failure as a
// ModelError instead of throwing.
//
// Floating point: the order of operations is the contract.  Each
// expression rounds once, in the order written; the build disables FMA
// contraction so that the compiler cannot fuse a product into a sum.
#pragma once

#include <cstdint>

namespace kelvara::models {

enum class ModelError : std::uint8_t {
    none,
    isodesmic_guard,
    cooperative_guard,
    nucleus_size,
};

// The fixed text of a model error ("" for ModelError::none).
const char* message(ModelError error) noexcept;

// A fraction aggregated, or the model error that replaced it.
struct Outcome {
    double value;
    ModelError error;

    constexpr bool ok() const noexcept { return error == ModelError::none; }
};

constexpr Outcome success(double value) noexcept { return {value, ModelError::none}; }
constexpr Outcome failure(ModelError error) noexcept { return {0.0, error}; }

// Fraction aggregated of the isodesmic model as a function of
// X = total concentration * K.  Accurate to a few ulps for every positive
// finite X; zero, negative and non-finite X follow the textbook formula
// 1 - ((2X + 1 - sqrt(4X + 1)) / (2X)) / X step by step.
double isodesmic_fraction(double x) noexcept;

// isodesmic_fraction(x * k).
double isodesmic_model_direct(double x, double k) noexcept;

// Isodesmic model solved by num_itr bisection steps on [0, 1/k].
Outcome isodesmic_model(double conc, double k, std::uint64_t num_itr) noexcept;

}  // namespace kelvara::models
