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
#include <cstring>

namespace kelvara::models {

enum class ModelError : std::uint8_t {
    none,
    isodesmic_guard,
    cooperative_guard,
    nucleus_size,
    interrupted,  // the caller's stop poll said stop (see StopScope)
};

// The fixed text of a model error ("" for ModelError::none).
const char* message(ModelError error) noexcept;

// A caller's way to stop a long computation.  The long loops (very long
// sweeps, the term-by-term nucleation sum of huge nuclei) call poll_stop()
// every few milliseconds of work; the poll installed by the innermost
// StopScope on this thread answers, and once it says stop, poll_stop()
// keeps saying so without asking again until that scope ends, and the
// routine returns ModelError::interrupted.
// Without a scope nothing is polled.  A call that is not stopped computes
// exactly what it would without any of this.
using StopPoll = bool (*)() noexcept;

class StopScope {
public:
    explicit StopScope(StopPoll poll) noexcept;
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

private:
    StopPoll previous_poll_;
    bool previous_stopped_;
};

bool poll_stop() noexcept;  // asks the poll, remembers a stop

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

// Cooperative (nucleation-elongation) model with a dimer nucleus: the dimer
// forms with sigma * k, every further addition with k.
Outcome cooperative_model(double conc, double k, double sigma, std::uint64_t num_itr) noexcept;

// Cooperative model with a nucleus of nuc_size monomers (2 and above).
Outcome cooperative_model_n(double conc, double k, double sigma, std::uint32_t nuc_size,
                            std::uint64_t num_itr) noexcept;

// The same, and the free monomer: the midpoint of the final bracket.
Outcome solve_cooperative_n(double conc, double k, double sigma, std::uint32_t nuc_size,
                            std::uint64_t num_itr, double& monomer) noexcept;

// Isodesmic and cooperative (dimer nucleus) pathways competing for one
// monomer.
Outcome coop_iso_model(double conc, double k_iso, double k_coop, double sigma,
                       std::uint64_t num_itr) noexcept;

// sigma^exponent by square-and-multiply over the bits of the exponent,
// lowest bit first (the power factor of cooperative_model_n).
double power_by_squaring(double sigma, std::uint32_t exponent) noexcept;

// The bracket [lower, upper] on the free monomer concentration that every
// solver halves: exactly num_itr midpoints, no convergence test.
struct Bracket {
    double lower;
    double upper;

    // The sum first, then the product with 0.5.
    double midpoint() const noexcept { return (lower + upper) * 0.5; }

    // d is the balance at m minus the total concentration.  Zero or below
    // moves the lower bound (so an exact root does); above zero, or NaN,
    // moves the upper bound.
    void narrow(double m, double d) noexcept {
        if (d <= 0.0) {
            lower = m;
        } else {
            upper = m;
        }
    }

    // narrow(), and whether the bracket moved.  Every step depends only on
    // the bracket: when the bound it sets already held m bit for bit, each
    // later step tests the same midpoint, meets the same guard outcome and
    // leaves the same bracket, so the loop may end with what the remaining
    // steps would return.  Bits, not values: a NaN bound equals itself,
    // and -0.0 is not +0.0.
    bool narrow_moves(double m, double d) noexcept {
        double& bound = d <= 0.0 ? lower : upper;
        const bool moved = std::memcmp(&bound, &m, sizeof m) != 0;
        bound = m;
        return moved;
    }

    // No double lies strictly between the bounds: the midpoint is one of
    // them, and bisection can narrow no further.
    bool closed() const noexcept {
        const double m = midpoint();
        return m == lower || m == upper;
    }

    // The bracket bit for bit equal to another.
    bool same_as(const Bracket& other) const noexcept {
        return std::memcmp(&lower, &other.lower, sizeof lower) == 0 &&
               std::memcmp(&upper, &other.upper, sizeof upper) == 0;
    }

    // 1 - m* / conc at the midpoint m* of the bracket, not the last
    // midpoint tested.
    double fraction(double conc) const noexcept {
        const double ratio = midpoint() / conc;
        return 1.0 - ratio;
    }
};

}  // namespace kelvara::models
